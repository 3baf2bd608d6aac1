#include "supervisor/supervisor.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/menu.h"
#include "common/text.h"
#include "support/loop_thread.h"
#include "support/test_support.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

constexpr uint32_t kRecord = sizeof(FakeConnectionRecord);

// One supervisor's world: the fake service, a log in a scratch folder, a
// fixed clock and the connection buffer, with settings for the chosen entry
// "Office".
struct PassFixture : ::testing::Test {
    void SetUp() override {
        fake.phonebook = {"Office", "Home", "office"};
        fake.errorTexts[1] = "Error one.";
        fake.errorTexts[651] = "The modem reported an error.";
        SetDefaultSettings(&snapshot.settings);
        CopyBounded(snapshot.settings.szRasEntry, "Office", kRasEntrySize);
        snapshot.settings.bDropAny = 0;
        snapshot.mode = ModeDisabled;
        logPath = dir.File("teleoralog.txt");
        log = EventLog{logPath.c_str(), clock.clock(), ErrorTextOf(&fake.service)};
        ASSERT_TRUE(InitConnectionBuffer(&buffer, fake.service));
    }
    void TearDown() override { ReleaseConnectionBuffer(&buffer); }

    void Connect(DialUpHandle handle, const std::string& name) {
        fake.active.push_back(FakeConnection{handle, name});
    }
    void Pass() { RunSupervisorPass(&buffer, fake.service, snapshot, clock.clock(), log); }
    // The log's lines without their date and time.
    std::vector<std::string> LogLines() {
        std::vector<std::string> out;
        for (const std::string& line : ReadCrLfLines(logPath)) {
            EXPECT_EQ(line.rfind("6/12/2026 ", 0), 0u) << line;
            size_t rest = line.find(": ");
            out.push_back(rest == std::string::npos ? line : line.substr(rest + 2));
        }
        return out;
    }

    ScratchDir dir;
    std::string logPath;
    FakeDialUp fake;
    FixedClock clock;
    EventLog log{};
    SettingsSnapshot snapshot{};
    ConnectionBuffer buffer{};
};

TEST_F(PassFixture, DisabledTouchesNothingEvenWithDropOthersOn) {
    snapshot.settings.bDropAny = 1;
    Connect(7, "Home");
    Pass();
    EXPECT_THAT(fake.calls, IsEmpty());
    EXPECT_FALSE(FileExists(logPath));
}

TEST_F(PassFixture, AlwaysDownWithDropOthersHangsUpEverything) {
    snapshot.settings.bDropAny = 1;
    snapshot.mode = ModeAlwaysDown;
    Connect(7, "Home");
    Connect(8, "Office");
    Pass();
    EXPECT_THAT(fake.calls,
                ElementsAre("enum " + std::to_string(kRecord),
                            "enum " + std::to_string(2 * kRecord), "hangup 7", "hangup 8"));
    EXPECT_THAT(LogLines(),
                ElementsAre(LogLine("RasEnumConnections", "Realloc", 0),
                            LogLine("RasHangUp", "Home", 0), LogLine("RasHangUp", "Office", 0)));
}

TEST_F(PassFixture, AlwaysDownWithoutDropOthersHangsUpOnlyTheChosenEntry) {
    snapshot.mode = ModeAlwaysDown;
    Connect(8, "Office");
    Pass();
    Connect(7, "Home");
    Pass();
    EXPECT_THAT(fake.CallsOf("hangup"), ElementsAre("hangup 8"));
    EXPECT_TRUE(fake.IsActive("Home"));
    EXPECT_THAT(LogLines(), ElementsAre(LogLine("RasHangUp", "Office", 0)));
}

TEST_F(PassFixture, AlwaysUpDropsTheOtherAndDialsInTheSamePass) {
    snapshot.settings.bDropAny = 1;
    snapshot.mode = ModeAlwaysUp;
    Connect(7, "Home");
    Pass();
    EXPECT_THAT(fake.calls, ElementsAre("enum " + std::to_string(kRecord), "hangup 7",
                                        "params Office", "dial Office"));
    EXPECT_THAT(LogLines(),
                ElementsAre(LogLine("RasHangUp", "Home", 0), LogLine("RasDial", "Office", 0)));
}

// Held back by the retry delay, a pass still drops what must be down.
TEST_F(PassFixture, AHeldPassStillHangsUpButDialsNothing) {
    snapshot.settings.bDropAny = 1;
    snapshot.mode = ModeAlwaysUp;
    Connect(7, "Home");
    EXPECT_EQ(RunSupervisorPass(&buffer, fake.service, snapshot, clock.clock(), log, false),
              DialOutcome::Held);
    EXPECT_THAT(fake.calls, ElementsAre("enum " + std::to_string(kRecord), "hangup 7"));
}

TEST_F(PassFixture, AlreadyUpDialsNothingAndLogsNothing) {
    snapshot.mode = ModeAlwaysUp;
    Connect(8, "Office");
    Pass();
    snapshot.settings.bDropAny = 1;  // with nothing else to drop, still silent
    Pass();
    EXPECT_THAT(fake.calls,
                ElementsAre("enum " + std::to_string(kRecord), "enum " + std::to_string(kRecord)));
    EXPECT_FALSE(FileExists(logPath));
}

TEST_F(PassFixture, NoConnectionsAndUpDials) {
    snapshot.mode = ModeAlwaysUp;
    Pass();
    EXPECT_TRUE(fake.IsActive("Office"));
    EXPECT_THAT(LogLines(), ElementsAre(LogLine("RasDial", "Office", 0)));
}

TEST_F(PassFixture, NamesCompareCaseSensitively) {
    snapshot.mode = ModeAlwaysUp;
    Connect(5, "office");
    Pass();  // "office" is another entry: Office is dialled, office stays
    EXPECT_THAT(fake.CallsOf("dial"), ElementsAre("dial Office"));
    EXPECT_TRUE(fake.IsActive("office"));
    snapshot.settings.bDropAny = 1;
    Pass();  // now the other one goes
    EXPECT_THAT(fake.CallsOf("hangup"), ElementsAre("hangup 5"));
    EXPECT_THAT(LogLines(), ElementsAre(LogLine("RasDial", "Office", 0),
                                        LogLine("RasEnumConnections", "Realloc", 0),
                                        LogLine("RasHangUp", "office", 0)));
}

TEST_F(PassFixture, BufferGrowsOnceToTheReportedSizeAndStays) {
    snapshot.mode = ModeAlwaysUp;
    for (DialUpHandle h = 1; h <= 4; ++h) Connect(h, "Other" + std::to_string(h));
    Connect(9, "Office");
    Pass();
    EXPECT_EQ(buffer.capacity, 5 * kRecord);
    EXPECT_EQ(buffer.sizeInOut, 5 * kRecord);
    EXPECT_EQ(buffer.count, 5u);
    Pass();
    EXPECT_EQ(buffer.capacity, 5 * kRecord);
    EXPECT_THAT(LogLines(), ElementsAre(LogLine("RasEnumConnections", "Realloc", 0)));
    EXPECT_THAT(fake.CallsOf("dial"), IsEmpty());
    // The first record is still prepared after the resize.
    FakeConnectionRecord first;
    memcpy(&first, buffer.bytes, sizeof first);
    EXPECT_EQ(first.dwSize, kRecord);
}

TEST_F(PassFixture, FailingServiceIsRetriedOnceAndLoggedEveryPass) {
    snapshot.mode = ModeAlwaysUp;
    // Unavailable: both calls fail and report a size of 0.
    fake.enumResults = {711, 711, 711, 711};
    fake.enumReportedSizes = {0, 0, 0, 0};
    fake.errorTexts[711] = "The service could not start.";
    Pass();
    Pass();
    EXPECT_EQ(buffer.capacity, kRecord);  // never below one record
    EXPECT_EQ(buffer.sizeInOut, kRecord);
    EXPECT_THAT(fake.CallsOf("dial"), IsEmpty());
    EXPECT_THAT(fake.CallsOf("hangup"), IsEmpty());
    EXPECT_THAT(
        LogLines(),
        ElementsAre(LogLine("RasEnumConnections", "Realloc", 711, "The service could not start."),
                    LogLine("RasEnumConnections", "Realloc", 711, "The service could not start.")));
    // Once the service is back, the next pass dials.
    Pass();
    EXPECT_TRUE(fake.IsActive("Office"));
}

TEST_F(PassFixture, FirstFailureOfAnotherKindStillResizesAndRepeats) {
    snapshot.mode = ModeAlwaysDown;
    Connect(8, "Office");
    fake.enumResults = {5};
    fake.enumReportedSizes = {3 * kRecord};
    Pass();
    EXPECT_EQ(buffer.capacity, 3 * kRecord);
    EXPECT_THAT(LogLines(), ElementsAre(LogLine("RasEnumConnections", "Realloc", 0),
                                        LogLine("RasHangUp", "Office", 0)));
}

TEST_F(PassFixture, AServiceAskingForAnAbsurdSizeDoesNotGrowTheBuffer) {
    snapshot.mode = ModeAlwaysUp;
    fake.enumResults = {603, 603};
    fake.enumReportedSizes = {0xFFFFFFFFu, 0xFFFFFFFFu};
    Pass();
    EXPECT_EQ(buffer.capacity, kRecord);
    EXPECT_THAT(fake.CallsOf("dial"), IsEmpty());
    EXPECT_EQ(LogLines().size(), 1u);
}

TEST_F(PassFixture, OnlyRecordsThatFitAreReadWhateverCountTheServiceClaims) {
    snapshot.settings.bDropAny = 1;
    snapshot.mode = ModeAlwaysDown;
    Connect(7, "Home");
    fake.enumReportedCounts = {1000};
    Pass();
    EXPECT_EQ(buffer.count, 1u);
    EXPECT_THAT(fake.CallsOf("hangup"), ElementsAre("hangup 7"));
}

TEST_F(PassFixture, UnreadableDialParamsWriteTheErrorLineAndSkipTheDial) {
    snapshot.mode = ModeAlwaysUp;
    CopyBounded(snapshot.settings.szRasEntry, "Nowhere", kRasEntrySize);
    Pass();
    fake.errorTexts.erase(1);
    Pass();
    EXPECT_THAT(fake.CallsOf("dial"), IsEmpty());
    EXPECT_THAT(LogLines(), ElementsAre(LogLine("RasGetEntryDialParams", "Error", 1, "Error one."),
                                        LogLine("RasGetEntryDialParams", "Error", 1)));
}

TEST_F(PassFixture, TooLongAnEntryNameIsNeverHandedToTheService) {
    snapshot.mode = ModeAlwaysUp;
    std::string longName(300, 'x');
    fake.phonebook.push_back(longName.substr(0, 256));
    CopyBounded(snapshot.settings.szRasEntry, longName.c_str(), kRasEntrySize);
    Pass();
    EXPECT_THAT(fake.CallsOf("params"), IsEmpty());
    EXPECT_THAT(fake.CallsOf("dial"), IsEmpty());
    EXPECT_THAT(LogLines(),
                ElementsAre(LogLine("RasGetEntryDialParams", "Error", 1, "Error one.")));
}

TEST_F(PassFixture, NameOfExactlyTheFieldLengthIsDialled) {
    snapshot.mode = ModeAlwaysUp;
    std::string name(256, 'n');
    fake.phonebook.push_back(name);
    CopyBounded(snapshot.settings.szRasEntry, name.c_str(), kRasEntrySize);
    Pass();
    EXPECT_THAT(fake.CallsOf("dial"), ElementsAre("dial " + name));
    Pass();  // and recognised as up by the next pass
    EXPECT_EQ(fake.CallsOf("dial").size(), 1u);
}

TEST_F(PassFixture, FailedDialLeavingAHandleIsHungUpWithoutALogLine) {
    snapshot.mode = ModeAlwaysUp;
    fake.dialResult = 651;
    fake.failedDialHandle = 42;
    Pass();
    EXPECT_THAT(fake.CallsOf("hangup"), ElementsAre("hangup 42"));
    fake.failedDialHandle = 0;
    Pass();  // retried each pass; no handle, no clean-up
    EXPECT_THAT(fake.CallsOf("hangup"), ElementsAre("hangup 42"));
    EXPECT_THAT(LogLines(),
                ElementsAre(LogLine("RasDial", "Office", 651, "The modem reported an error."),
                            LogLine("RasDial", "Office", 651, "The modem reported an error.")));
}

TEST_F(PassFixture, FailedHangUpIsLoggedWithItsCode) {
    snapshot.mode = ModeAlwaysDown;
    Connect(8, "Office");
    fake.hangUpResult = 651;
    Pass();
    EXPECT_THAT(LogLines(),
                ElementsAre(LogLine("RasHangUp", "Office", 651, "The modem reported an error.")));
}

TEST_F(PassFixture, RuleModeFollowsTheWindowOfTheDay) {
    snapshot.settings.ruleTable.nUserEntries = 2;
    snapshot.settings.ruleTable.rules[1].days[0] = DayWindow{5, 0, 6, 0};  // Sunday 05:00-06:00
    snapshot.mode = ModeRuleBase + 1;
    clock.time.hour = 5;
    Pass();  // inside: dialled
    EXPECT_TRUE(fake.IsActive("Office"));
    clock.time.hour = 6;
    clock.time.minute = 1;
    Pass();  // outside: hung up
    EXPECT_FALSE(fake.IsActive("Office"));
    EXPECT_THAT(LogLines(),
                ElementsAre(LogLine("RasDial", "Office", 0), LogLine("RasHangUp", "Office", 0)));
}

// The thread around the pass: waits, wakes on the event, applies the mode.
struct LoopFixture : PassFixture {
    void StartLoop(int32_t tDelay, Clock loopClock = Clock{}) {
        snapshot.settings.tDelay = tDelay;
        InitSharedState(&shared, snapshot.settings);
        supervisor.stopRequested = false;
        supervisor.service = &fake.service;
        supervisor.shared = &shared;
        supervisor.clock = loopClock.now != nullptr ? loopClock : clock.clock();
        supervisor.log = log;
        supervisor.buffer = buffer;
        buffer.bytes = nullptr;  // the supervisor owns it now
        thread = StartLoopThread(&supervisor);
    }
    void StopLoop() { StopLoopThread(&supervisor, &thread); }
    SharedState shared;
    Supervisor supervisor{};
    std::thread thread;
};

TEST_F(LoopFixture, ASelectedModeIsAppliedOnTheSignalAlone) {
    Connect(8, "Office");
    StartLoop(-1);  // no time-out: only the event starts a pass
    SelectMode(&shared, supervisor.wake, ModeAlwaysDown);
    while (fake.CallsOf("hangup").empty()) std::this_thread::yield();
    StopLoop();
    EXPECT_FALSE(fake.IsActive("Office"));
    EXPECT_THAT(LogLines(), ElementsAre(LogLine("RasHangUp", "Office", 0)));
}

TEST_F(LoopFixture, PassesRepeatAfterThePauseWithoutASignal) {
    fake.dialResult = 651;
    StartLoop(1);
    PublishMode(&shared, ModeAlwaysUp);  // no signal: the time-out starts the passes
    while (fake.CallsOf("dial").size() < 3) std::this_thread::yield();
    StopLoop();
    std::vector<std::string> lines = LogLines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], LogLine("RasDial", "Office", 651, "The modem reported an error."));
}

TEST(PassTimeout, ShortPausesAreRaisedToTheFloor) {
    struct Case {
        int32_t tDelay;
        bool haveEvent;
        uint32_t expected;
    };
    const Case cases[] = {
        {0, true, kMinPassTimeoutMs}, {99, true, kMinPassTimeoutMs}, {100, true, 100},
        {5000, true, 5000},           {-1, true, kWaitForever},      {-1, false, kDefaultDelay},
        {-2, true, 0xFFFFFFFEu},      {0, false, kMinPassTimeoutMs}};
    for (const Case& c : cases) {
        EXPECT_EQ(PassTimeout(c.tDelay, c.haveEvent), c.expected) << c.tDelay;
    }
}

// Pass starts (the fake's enumerations) never less than the floor apart, and
// a failed dial retried no sooner than one pause after it ended: with a pause
// of 0, with a notification after each failed dial (the retry timer then
// fires right after the pass it woke), with a dial that takes three pauses.
TEST_F(LoopFixture, APauseOfZeroStillRestsBetweenPasses) {
    struct Case {
        bool notify;
        uint32_t dialMs;
    };
    fake.OfferNotifications();
    fake.dialResult = 651;
    for (const Case c : {Case{false, 0}, Case{true, 30}, Case{false, 300}}) {
        fake.calls.clear();
        fake.enumTimes.clear();
        fake.dialStarts.clear();
        fake.dialEnds.clear();
        fake.dialMs = c.dialMs;
        StartLoop(0);
        ASSERT_TRUE(WatchConnections(fake.service, supervisor.wake));
        PublishMode(&shared, ModeAlwaysUp);
        for (size_t dials = 0, seen = 0; (dials = fake.CallsOf("dial").size()) < 4; seen = dials) {
            if (c.notify && dials > seen) fake.Notify();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        StopLoop();
        for (size_t i = 1; i < fake.enumTimes.size(); ++i) {
            EXPECT_GE(fake.enumTimes[i] - fake.enumTimes[i - 1], kMinPassTimeoutMs - 2) << i;
        }
        for (size_t i = 1; i < fake.dialStarts.size(); ++i) {
            EXPECT_GE(fake.dialStarts[i] - fake.dialEnds[i - 1], kMinPassTimeoutMs - 2) << i;
        }
    }
}

TEST_F(LoopFixture, TheFirstPassRunsAtOnceWithoutAnySignal) {
    Connect(8, "Office");
    snapshot.settings.tDelay = -1;  // endless pause: only the event can start a pass
    InitSharedState(&shared, snapshot.settings);
    PublishMode(&shared, ModeAlwaysDown);
    supervisor.service = &fake.service;
    supervisor.shared = &shared;
    supervisor.log = log;
    supervisor.clock = clock.clock();
    thread = StartLoopThread(&supervisor);  // its event signalled, as StartSupervisor makes it
    while (fake.CallsOf("hangup").empty()) std::this_thread::yield();
    StopLoop();
    EXPECT_EQ(fake.CallsOf("enum").size(), 1u);
}

TEST_F(LoopFixture, ConnectionChangesAreMetLongBeforeThePauseEnds) {
    struct Case {
        Mode mode;
        bool dropped;  // else: comes up behind our back
        bool activeAfter;
        std::string line;
    };
    const Case cases[] = {{ModeAlwaysUp, true, true, LogLine("RasDial", "Office", 0)},
                          {ModeAlwaysDown, false, false, LogLine("RasHangUp", "Office", 0)}};
    fake.OfferNotifications();
    for (const Case& c : cases) {
        std::remove(logPath.c_str());
        fake.active.clear();
        fake.calls.clear();
        if (c.dropped) Connect(8, "Office");
        StartLoop(30000);
        ASSERT_TRUE(WatchConnections(fake.service, supervisor.wake));
        SelectMode(&shared, supervisor.wake, c.mode);
        ASSERT_TRUE(Eventually([&] { return !fake.CallsOf("enum").empty(); }));
        if (c.dropped) {
            fake.Drop("Office");
        } else {
            fake.ComeUp(9, "Office");
        }
        EXPECT_TRUE(Eventually([&] { return fake.IsActive("Office") == c.activeAfter; }));
        EXPECT_TRUE(Eventually([&] { return !ReadCrLfLines(logPath).empty(); }));
        StopLoop();
        EXPECT_THAT(LogLines(), ElementsAre(c.line));
    }
}

TEST_F(LoopFixture, AFailingDialIsRetriedOncePerPauseWhateverWakesTheLoop) {
    fake.OfferNotifications();
    fake.dialResult = 651;
    StartLoop(1000);
    ASSERT_TRUE(WatchConnections(fake.service, supervisor.wake));
    SelectMode(&shared, supervisor.wake, ModeAlwaysUp);
    ASSERT_TRUE(Eventually([&] { return !fake.CallsOf("dial").empty(); }));
    const auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(2500)) {
        fake.Notify();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    size_t dials = fake.CallsOf("dial").size();
    size_t passes = fake.CallsOf("enum").size();
    // About 2.5 pauses: two or three more dials, not one per notification;
    // the notifications still ran passes, at most one per 100 ms.
    EXPECT_GE(dials, 2u);
    EXPECT_LE(dials, 4u);
    EXPECT_GE(passes, 10u);
    EXPECT_LE(passes, 2500u / kMinPassTimeoutMs + 6);
    // A user's choice lifts the delay at once.
    SelectMode(&shared, supervisor.wake, ModeAlwaysUp);
    EXPECT_TRUE(Eventually([&] { return fake.CallsOf("dial").size() > dials; }));
    StopLoop();
}

// With a pause of 30 s after a failed dial, choosing "Connesso" again dials
// at once, even right after a notification-woken pass (the choice ends the
// rest between such passes).
TEST_F(LoopFixture, AUsersChoiceLiftsTheRetryDelayAndEndsTheRest) {
    fake.OfferNotifications();
    fake.dialResult = 651;
    StartLoop(30000);
    ASSERT_TRUE(WatchConnections(fake.service, supervisor.wake));
    SelectMode(&shared, supervisor.wake, ModeAlwaysUp);
    ASSERT_TRUE(Eventually([&] { return !fake.CallsOf("dial").empty(); }));
    uint64_t fastest = UINT64_MAX;
    for (size_t dials = 1; dials < 4; ++dials) {
        const size_t passes = fake.CallsOf("enum").size();
        fake.Notify();
        ASSERT_TRUE(Eventually([&] { return fake.CallsOf("enum").size() > passes; }));
        const uint64_t chosen = MonotonicMilliseconds();
        SelectMode(&shared, supervisor.wake, ModeAlwaysUp);
        ASSERT_TRUE(Eventually([&] { return fake.CallsOf("dial").size() > dials; }));
        std::lock_guard<std::mutex> lock(fake.mutex);
        fastest = std::min(fastest, fake.dialStarts.back() - chosen);
    }
    StopLoop();
    EXPECT_LT(fastest, kMinPassTimeoutMs / 2);
}

TEST_F(LoopFixture, WithoutNotificationsStandardErrorHearsOnceAndTheLogNothing) {
    struct Case {
        bool offered;
        int32_t result;
        const char* said;
        bool wakeMade = true;  // false: the wake event could not be created
    };
    const Case cases[] = {
        {false, 0, "(code 1)"}, {true, 7, "(code 7)"}, {true, 0, "(code 1)", false}};
    for (const Case& c : cases) {
        std::remove(logPath.c_str());
        fake.calls.clear();
        fake.service.watchConnections = nullptr;
        if (c.offered) fake.OfferNotifications();
        fake.watchResult = c.result;
        WakeEvent* wake = c.wakeMade ? CreateWakeEvent(false, nullptr) : nullptr;
        ::testing::internal::CaptureStderr();
        EXPECT_FALSE(WatchConnections(fake.service, wake));
        std::string said = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(said.find(c.said), std::string::npos) << said;
        EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
        fake.Drop("Office");
        EXPECT_EQ(fake.CallsOf("watch").empty(), !c.wakeMade || !c.offered);
        if (wake != nullptr) {
            EXPECT_FALSE(WaitWakeEvent(wake, 0));  // nothing signals it
            DestroyWakeEvent(wake);
        }
        EXPECT_FALSE(FileExists(logPath));
    }
}

// StartSupervisor leaves the registration to the thread it starts, as that
// thread's first step: a slow service never holds back the caller (the
// tray's start-up). The thread is detached and outlives the test, so all it
// touches lives as long as the process; it ends up waiting for ever.
TEST(StartSupervisor, TheThreadRegistersForNotificationsBeforeItsFirstPass) {
    static FakeDialUp fake;
    static SharedState shared;
    static Supervisor supervisor{};
    static std::atomic<std::thread::id> registeredOn{};
    fake.service.watchConnections = [](void*, WakeEvent*) -> int32_t {
        registeredOn = std::this_thread::get_id();
        std::lock_guard<std::mutex> lock(fake.mutex);
        fake.calls.push_back("watch");
        return 0;
    };
    Settings settings;
    SetDefaultSettings(&settings);
    settings.tDelay = -1;
    InitSharedState(&shared, settings);
    PublishMode(&shared, ModeAlwaysDown);  // the first pass lists the connections
    supervisor.service = &fake.service;
    supervisor.shared = &shared;
    supervisor.clock = SystemClock();
    supervisor.log = EventLog{nullptr, SystemClock(), {}};  // no lines
    ASSERT_TRUE(StartSupervisor(&supervisor));
    ASSERT_TRUE(Eventually([&] { return fake.CallsOf("enum").size() == 1; }));
    std::lock_guard<std::mutex> lock(fake.mutex);
    EXPECT_EQ(fake.calls.front(), "watch");
    EXPECT_NE(registeredOn.load(), std::this_thread::get_id());
}

// Sunday 23:58:59.5 running in real time, but half a second on it is Monday
// 00:00: the minute between, when the rule is off, is skipped.
struct SkippingClock {
    RunningClock before{LocalTime{2026, 12, 6, 0, 23, 58, 59, 500}};
    RunningClock after{LocalTime{2026, 12, 7, 1, 0, 0, 0, 0},
                       before.origin + std::chrono::milliseconds(500)};
    static LocalTime Now(void* ctx) {
        auto* c = static_cast<SkippingClock*>(ctx);
        bool late = std::chrono::steady_clock::now() >= c->after.origin;
        return RunningClock::Now(late ? &c->after : &c->before);
    }
};

// A dial fails half a second before Sunday's window ends; Monday's window
// opens at the next edge, which ends the 30 s retry delay: dialled at once.
TEST_F(LoopFixture, AWindowEdgeEndsTheRetryDelay) {
    fake.dialResult = 651;
    snapshot.settings.ruleTable.nUserEntries = 1;
    snapshot.settings.ruleTable.rules[0].days[0] = DayWindow{23, 0, 23, 58};
    snapshot.settings.ruleTable.rules[0].days[1] = DayWindow{0, 0, 1, 0};
    SkippingClock skipping;
    StartLoop(30000, Clock{&SkippingClock::Now, &skipping});
    SelectMode(&shared, supervisor.wake, ModeRuleBase);
    EXPECT_TRUE(Eventually([&] { return fake.CallsOf("dial").size() >= 2; }));
    StopLoop();
}

TEST_F(LoopFixture, RuleWindowEdgesAreMetOnTheMinute) {
    struct Case {
        int hour, minute;  // start: one second before this minute
        bool connected;
        const char* call;
    };
    // Sunday 06:00-06:59: dialled at 06:00, hung up at 07:00 (the stop is
    // inclusive).
    const Case cases[] = {{6, 0, false, "dial"}, {7, 0, true, "hangup"}};
    for (const Case& c : cases) {
        fake.active.clear();
        if (c.connected) Connect(8, "Office");
        snapshot.settings.ruleTable.nUserEntries = 1;
        snapshot.settings.ruleTable.rules[0].days[0] = DayWindow{6, 0, 6, 59};
        RunningClock running{LocalTime{2026, 12, 6, 0, c.hour - 1, 59, 59, 0}};
        fake.calls.clear();
        StartLoop(30000, Clock{&RunningClock::Now, &running});
        SelectMode(&shared, supervisor.wake, ModeRuleBase);
        EXPECT_TRUE(Eventually([&] { return !fake.CallsOf(c.call).empty(); })) << c.call;
        LocalTime at = RunningClock::Now(&running);
        EXPECT_EQ(at.hour * 60 + at.minute, c.hour * 60 + c.minute) << c.call;
        StopLoop();
    }
}

}  // namespace
