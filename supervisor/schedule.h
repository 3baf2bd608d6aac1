// The schedule decision: must the chosen entry be up, down, or left alone?
#pragma once

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
