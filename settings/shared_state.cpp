#include "settings/shared_state.h"

namespace {

struct Guard {
    explicit Guard(SharedState* s) : state(s) {
#ifdef _WIN32
        EnterCriticalSection(&state->lock);
#else
        state->lock.lock();
#endif
    }
    ~Guard() {
#ifdef _WIN32
        LeaveCriticalSection(&state->lock);
#else
        state->lock.unlock();
#endif
    }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
    SharedState* state;
};

}  // namespace

void InitSharedState(SharedState* state, const Settings& loaded) {
#ifdef _WIN32
    InitializeCriticalSection(&state->lock);
#endif
    Guard guard(state);
    state->settings = loaded;
    state->mode = ModeDisabled;
}

void TakeSnapshot(SharedState* state, SettingsSnapshot* out) {
    Guard guard(state);
    out->settings = state->settings;
    out->mode = state->mode;
}

void CopyLiveSettings(SharedState* state, Settings* out) {
    Guard guard(state);
    *out = state->settings;
}

Mode CurrentMode(SharedState* state) {
    Guard guard(state);
    return state->mode;
}

void PublishMode(SharedState* state, Mode mode) {
    Guard guard(state);
    state->mode = mode;
}

void PublishDialogSettings(SharedState* state, const Settings& confirmed) {
    Guard guard(state);
    state->settings = confirmed;
    state->mode = ModeDisabled;
}
