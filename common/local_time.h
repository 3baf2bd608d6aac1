// Local wall-clock time, as the platform's local-time call reports it, and the
// clock seam through which the supervisor and the log read it.
#pragma once

#include <cstdint>

struct LocalTime {
    int year;         // e.g. 2026
    int month;        // 1-12
    int day;          // 1-31
    int dayOfWeek;    // 0 = Sunday ... 6 = Saturday
    int hour;         // 0-23
    int minute;       // 0-59
    int second;       // 0-59
    int millisecond;  // 0-999
};

// A clock is a function plus its context, so tests can set the time.
struct Clock {
    LocalTime (*now)(void* ctx);
    void* ctx;
};

// The platform's local time (local_time_posix.cpp: clock_gettime and
// localtime_r; local_time_win32.cpp: GetLocalTime).
LocalTime GetLocalTimeNow();

// A Clock that reads GetLocalTimeNow().
Clock SystemClock();

inline LocalTime ReadClock(const Clock& clock) {
    return clock.now(clock.ctx);
}
