#include "common/local_time.h"

#ifdef _WIN32
#include <windows.h>

LocalTime GetLocalTimeNow() {
    SYSTEMTIME st;
    GetLocalTime(&st);
    return LocalTime{st.wYear, st.wMonth, st.wDay, st.wDayOfWeek, st.wHour, st.wMinute, st.wSecond};
}
#else
#include <ctime>

LocalTime GetLocalTimeNow() {
    time_t t = time(nullptr);
    struct tm tm {};
    localtime_r(&t, &tm);
    // A leap second (60) is shown as 59, as GetLocalTime would.
    return LocalTime{tm.tm_year + 1900,
                     tm.tm_mon + 1,
                     tm.tm_mday,
                     tm.tm_wday,
                     tm.tm_hour,
                     tm.tm_min,
                     tm.tm_sec > 59 ? 59 : tm.tm_sec};
}
#endif

static LocalTime SystemNow(void*) {
    return GetLocalTimeNow();
}

Clock SystemClock() {
    return Clock{&SystemNow, nullptr};
}
