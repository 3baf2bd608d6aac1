// The platform floor (common/) as each platform builds it: the wake event and
// the clock.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "common/local_time.h"
#include "common/wake_event.h"

namespace {

TEST(WakeEvent, AutoResetSemantics) {
    WakeEvent* event = CreateWakeEvent(true, nullptr);
    ASSERT_NE(event, nullptr);
    EXPECT_TRUE(WaitWakeEvent(event, 0));   // created set
    EXPECT_FALSE(WaitWakeEvent(event, 0));  // the wait consumed it
    SignalWakeEvent(event);
    SignalWakeEvent(event);  // two signals, still one wake
    EXPECT_TRUE(WaitWakeEvent(event, kWaitForever));
    EXPECT_FALSE(WaitWakeEvent(event, 1));
    DestroyWakeEvent(event);
    EXPECT_FALSE(WaitWakeEvent(nullptr, 0));
}

TEST(WakeEvent, ASignalFromAnotherThreadEndsAnEndlessWait) {
    WakeEvent* event = CreateWakeEvent(false, nullptr);
    std::thread signaller([event] { SignalWakeEvent(event); });
    EXPECT_TRUE(WaitWakeEvent(event, kWaitForever));
    signaller.join();
    DestroyWakeEvent(event);
}

// The platform's clock fills the milliseconds too: in range, and moving.
TEST(PlatformClock, MillisecondsAreFilledAndInRange) {
    const int first = GetLocalTimeNow().millisecond;
    bool moved = false;
    for (int i = 0; i < 2000 && !moved; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const int now = GetLocalTimeNow().millisecond;
        ASSERT_GE(now, 0);
        ASSERT_LE(now, 999);
        moved = now != first;
    }
    EXPECT_TRUE(moved);
}

}  // namespace
