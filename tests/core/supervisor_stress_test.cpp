// The supervisor loop under a user who never stops: a user-interface thread
// confirms a new rule table and switches modes thousands of times while passes
// run against the fake service. Built for ThreadSanitizer (the tsan preset),
// it also runs in the plain and AddressSanitizer builds.
//
// How a wrong pass would show: in table g only rule g % 10 has a window (all
// day, every day); every other rule has none, and the chosen entry "T<g>" is
// listed as connected before table g is published. Each mode the thread picks
// for table g (its rule, or "Connesso") decides Up, and Up with the entry
// listed does nothing; "Disabilitato" does nothing either. bDropAny is off. So
// a correct pass never hangs anything up. A pass that applied the previous
// table's rule number to table g, or that read a table torn between two
// generations, finds that rule without a window, decides Down and hangs up
// the listed "T<g>": the hang-up names the generation it came from.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "app/menu.h"
#include "common/wake_event.h"
#include "settings/shared_state.h"
#include "supervisor/supervisor.h"
#include "support/loop_thread.h"
#include "support/test_support.h"

namespace {

constexpr int kGenerations = 2000;
constexpr int kListedGenerations = 4;  // the entries of the newest tables stay listed

std::string EntryOf(int g) {
    return "T" + std::to_string(g);
}

void MakeTable(int g, Settings* s) {
    SetDefaultSettings(s);
    snprintf(s->szRasEntry, sizeof s->szRasEntry, "%s", EntryOf(g).c_str());
    s->tDelay = 1;
    s->bDropAny = 0;
    s->ruleTable.nUserEntries = kMaxRules;
    for (int i = 0; i < kMaxRules; ++i) {
        std::string name = EntryOf(g) + "/" + std::to_string(i);
        InitRule(&s->ruleTable.rules[i], name.c_str());
        if (i == g % kMaxRules) {
            for (DayWindow& w : s->ruleTable.rules[i].days) w = DayWindow{0, 0, 23, 59};
        }
    }
}

// Counts the passes that got as far as listing the connections (every pass
// whose decision is not Skip).
std::atomic<long> g_listings{0};
FakeDialUp* g_fake = nullptr;

int32_t CountedEnum(void* ctx, void* buffer, uint32_t* sizeInOut, uint32_t* count) {
    g_listings.fetch_add(1);
    int32_t (*real)(void*, void*, uint32_t*, uint32_t*) = g_fake->service.enumConnections;
    return real(ctx, buffer, sizeInOut, count);
}

TEST(SupervisorStress, NoPassPairsARuleNumberWithAnotherTable) {
    FakeDialUp fake;
    g_fake = &fake;
    g_listings = 0;
    DialUpService service = fake.service;
    service.enumConnections = &CountedEnum;
    FixedClock clock;
    clock.time.hour = 12;

    Settings first;
    MakeTable(0, &first);
    {
        std::lock_guard<std::mutex> lock(fake.mutex);
        fake.active.push_back(FakeConnection{1, EntryOf(0)});
    }
    SharedState shared;
    InitSharedState(&shared, first);
    Supervisor supervisor{};
    supervisor.service = &service;
    supervisor.shared = &shared;
    supervisor.clock = clock.clock();
    supervisor.log = EventLog{nullptr, clock.clock(), ErrorTextOf(&service)};  // no log file
    std::thread passes = StartLoopThread(&supervisor);

    long listingsSeen = 0;
    for (int g = 1; g <= kGenerations; ++g) {
        {
            std::lock_guard<std::mutex> lock(fake.mutex);
            fake.active.push_back(FakeConnection{static_cast<DialUpHandle>(g + 1), EntryOf(g)});
            if (fake.active.size() > kListedGenerations) fake.active.erase(fake.active.begin());
        }
        Settings next;
        MakeTable(g, &next);
        PublishDialogSettings(&shared, next);  // as the dialog's OK does
        // Now and then the user takes a moment before picking a mode: the
        // passes meanwhile (at least one, the pause being 1 ms) see the new
        // table with whatever mode the confirmation left.
        if (g % 4 == 0) {
            SignalWakeEvent(supervisor.wake);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        SelectMode(&shared, supervisor.wake, ModeRuleBase + g % kMaxRules);
        SelectMode(&shared, supervisor.wake, ModeAlwaysUp);
        SelectMode(&shared, supervisor.wake, ModeRuleBase + g % kMaxRules);
        // Now and then let a pass catch up, so passes and changes interleave
        // all along instead of the passes running only at the end.
        if (g % 8 == 0) {
            while (g_listings.load() == listingsSeen) std::this_thread::yield();
            listingsSeen = g_listings.load();
        }
    }
    StopLoopThread(&supervisor, &passes);

    EXPECT_GE(g_listings.load(), kGenerations / 8);
    std::vector<std::string> hangUps = fake.CallsOf("hangup");
    EXPECT_TRUE(hangUps.empty()) << hangUps.size() << " passes decided Down; the first hung up "
                                 << hangUps.front() << " (handle g + 1 is the entry of table g)";
    // The only other calls a pass may make: a dial attempt for a table whose
    // entry was no longer listed when a late pass ran.
    for (const std::string& call : fake.CallsOf("params")) EXPECT_EQ(call.rfind("params T", 0), 0u);
}

}  // namespace
