#include <ctime>

#include "common/local_time.h"

LocalTime GetLocalTimeNow() {
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm tm {};
    localtime_r(&now.tv_sec, &tm);
    // A leap second (60) is shown as 59, as GetLocalTime would.
    return LocalTime{tm.tm_year + 1900,
                     tm.tm_mon + 1,
                     tm.tm_mday,
                     tm.tm_wday,
                     tm.tm_hour,
                     tm.tm_min,
                     tm.tm_sec > 59 ? 59 : tm.tm_sec,
                     static_cast<int>(now.tv_nsec / 1000000)};
}
