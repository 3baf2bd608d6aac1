#include "common/local_time.h"

static LocalTime SystemNow(void*) {
    return GetLocalTimeNow();
}

Clock SystemClock() {
    return Clock{&SystemNow, nullptr};
}
