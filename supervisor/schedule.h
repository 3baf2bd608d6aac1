// The schedule decision: must the chosen entry be up, down, or left alone?
#pragma once

#include <cstdint>

#include "common/local_time.h"
#include "settings/settings.h"

enum class Decision { Skip, Up, Down };

// True when (hour, minute) lies in window. Start equal to stop: never.
// Start before stop: start <= t <= stop. Start after stop (across midnight):
// t >= start or t <= stop. Both ends inclusive; values are compared as they
// are, without range checks.
bool RuleIsActive(const DayWindow& window, int hour, int minute);

// ModeDisabled: Skip (now is not looked at). ModeAlwaysUp: Up. ModeAlwaysDown:
// Down. A rule mode: Up when the rule's window for now's weekday holds now's
// hour and minute, else Down. A mode that names no slot of the table (or a
// weekday outside 0-6) gives Skip.
Decision ShouldBeConnected(Mode mode, const RuleTable& rules, const LocalTime& now);

// No change ahead: a fixed mode, an always-active or never-active rule.
constexpr int64_t kNoDecisionChange = -1;

// Milliseconds from now to the start of the next minute at which
// ShouldBeConnected gives another answer for the same mode: a window's start
// minute, or the minute after its stop minute, as each weekday's own window
// decides (so midnight and the week's end can be changes too). At most a week
// ahead; kNoDecisionChange when the answer never changes. Pure: seconds and
// milliseconds of now count only here.
int64_t MillisecondsToNextChange(Mode mode, const RuleTable& rules, const LocalTime& now);
