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

int64_t MillisecondsToNextChange(Mode mode, const RuleTable& rules, const LocalTime& now) {
    if (mode < ModeRuleBase || mode - ModeRuleBase >= kMaxRules) return kNoDecisionChange;
    if (now.dayOfWeek < 0 || now.dayOfWeek >= kDaysPerWeek) return kNoDecisionChange;
    constexpr int kMinutesPerDay = 24 * 60;
    const Rule& rule = rules.rules[mode - ModeRuleBase];
    const int start = now.dayOfWeek * kMinutesPerDay + now.hour * 60 + now.minute;
    const bool activeNow = RuleIsActive(rule.days[now.dayOfWeek], now.hour, now.minute);
    // A week of minutes brings every minute of the week round once; a hour or
    // minute outside its range in now still finds the next real minute.
    for (int ahead = 1; ahead <= kDaysPerWeek * kMinutesPerDay; ++ahead) {
        int t =
            ((start + ahead) % (kDaysPerWeek * kMinutesPerDay) + kDaysPerWeek * kMinutesPerDay) %
            (kDaysPerWeek * kMinutesPerDay);
        const int day = t / kMinutesPerDay;
        const int hour = t % kMinutesPerDay / 60;
        const int minute = t % 60;
        if (RuleIsActive(rule.days[day], hour, minute) == activeNow) continue;
        const int64_t ms = int64_t{ahead} * 60000 - int64_t{now.second} * 1000 - now.millisecond;
        return ms < 0 ? 0 : ms;
    }
    return kNoDecisionChange;
}
