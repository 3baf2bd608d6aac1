// The live Settings and Mode, shared by the user-interface thread (the only
// writer) and the supervisor thread (which copies them at the start of every
// pass). One lock guards both, so a pass always sees a consistent whole.
#pragma once

#include "common/lock.h"
#include "settings/settings.h"

struct SharedState {
    Lock lock;
    Settings settings;
    Mode mode;
    // Counts the user's choices (a mode picked in the menu, the dialog's OK).
    // The supervisor tells them from connection notifications by it: both
    // signal the same WakeEvent.
    uint32_t userChoices;
};

// What one supervisor pass works from.
struct SettingsSnapshot {
    Settings settings;
    Mode mode;
    uint32_t userChoices;
};

// Sets up the lock, stores the loaded settings and starts in ModeDisabled.
// Called once, before any second thread exists.
void InitSharedState(SharedState* state, const Settings& loaded);

// Copies settings and mode as one consistent whole.
void TakeSnapshot(SharedState* state, SettingsSnapshot* out);

// Copies only the settings (the dialog's and the menu's reading).
void CopyLiveSettings(SharedState* state, Settings* out);

Mode CurrentMode(SharedState* state);

// Stores a new mode and counts a user's choice. The caller signals the WakeEvent (see SelectMode).
void PublishMode(SharedState* state, Mode mode);

// Replaces every setting with the dialog's and resets the mode to
// ModeDisabled in the same step: no pass can apply an old rule number to the
// new rule table.
void PublishDialogSettings(SharedState* state, const Settings& confirmed);
