#include "supervisor/schedule.h"

namespace {

// Lexicographic comparison of (hour, minute) pairs: <0, 0, >0.
int CompareTimes(int h1, int m1, int h2, int m2) {
    if (h1 != h2) return h1 < h2 ? -1 : 1;
    if (m1 != m2) return m1 < m2 ? -1 : 1;
    return 0;
}

}  // namespace

bool RuleIsActive(const DayWindow& w, int hour, int minute) {
    int startVsStop = CompareTimes(w.hStart, w.mStart, w.hStop, w.mStop);
    if (startVsStop == 0) return false;
    bool afterStart = CompareTimes(hour, minute, w.hStart, w.mStart) >= 0;
    bool beforeStop = CompareTimes(hour, minute, w.hStop, w.mStop) <= 0;
    if (startVsStop < 0) return afterStart && beforeStop;
    return afterStart || beforeStop;
}

Decision ShouldBeConnected(Mode mode, const RuleTable& rules, const LocalTime& now) {
    switch (mode) {
        case ModeDisabled:
            return Decision::Skip;
        case ModeAlwaysUp:
            return Decision::Up;
        case ModeAlwaysDown:
            return Decision::Down;
        default:
            break;
    }
    // Only the menu sets a rule mode, and only for ids 41000-41009; anything
    // else must not index outside the table.
    if (mode < ModeRuleBase || mode - ModeRuleBase >= kMaxRules) return Decision::Skip;
    if (now.dayOfWeek < 0 || now.dayOfWeek >= kDaysPerWeek) return Decision::Skip;
    const DayWindow& window = rules.rules[mode - ModeRuleBase].days[now.dayOfWeek];
    return RuleIsActive(window, now.hour, now.minute) ? Decision::Up : Decision::Down;
}
