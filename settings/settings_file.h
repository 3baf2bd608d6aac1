// Loading and saving the settings file ("Teleora.ini" in the working folder):
// section "Generale" with tDelay, bDropAny, szRasEntry and nUserEntries, and a
// section "Rule%d" per rule with szName and hStart%d/mStart%d/hStop%d/mStop%d
// for each weekday d (0 = Sunday).
#pragma once

#include "settings/profile_store.h"
#include "settings/settings.h"

constexpr const char* kSettingsFileName = "Teleora.ini";

// Fills settings from the store. Absent keys take their defaults; a missing
// or unreadable file gives the default settings. At most kMaxRules rules are
// read: a larger nUserEntries keeps the first ten.
void LoadSettings(const ProfileStore& store, Settings* settings);

// Writes every value of settings. Rule sections above nUserEntries are left
// as they are. Returns false when the store reported a failed save (the
// program goes on with the settings as confirmed either way).
bool SaveSettings(const ProfileStore& store, const Settings& settings);
