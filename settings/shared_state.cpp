#include "settings/shared_state.h"

void InitSharedState(SharedState* state, const Settings& loaded) {
    state->lock = Lock{};
    LockGuard guard(&state->lock);
    state->settings = loaded;
    state->mode = ModeDisabled;
    state->userChoices = 0;
}

void TakeSnapshot(SharedState* state, SettingsSnapshot* out) {
    LockGuard guard(&state->lock);
    out->settings = state->settings;
    out->mode = state->mode;
    out->userChoices = state->userChoices;
}

void CopyLiveSettings(SharedState* state, Settings* out) {
    LockGuard guard(&state->lock);
    *out = state->settings;
}

Mode CurrentMode(SharedState* state) {
    LockGuard guard(&state->lock);
    return state->mode;
}

void PublishMode(SharedState* state, Mode mode) {
    LockGuard guard(&state->lock);
    state->mode = mode;
    ++state->userChoices;
}

void PublishDialogSettings(SharedState* state, const Settings& confirmed) {
    LockGuard guard(&state->lock);
    state->settings = confirmed;
    state->mode = ModeDisabled;
    ++state->userChoices;
}
