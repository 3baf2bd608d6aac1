// Benchmarks of the core: the schedule decision, one supervisor pass against
// the tests' fake service, the wake-up of the supervisor, the event log and the
// settings file. Figures that need a reference (the wake-up, the log) measure
// the bare system mechanism in the same run, so the comparison holds on any
// machine. scripts/bench.sh runs them and writes docs/performance.md.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/menu.h"
#include "common/wake_event.h"
#include "log/event_log.h"
#include "settings/ini_file.h"
#include "settings/settings_file.h"
#include "settings/shared_state.h"
#include "supervisor/schedule.h"
#include "supervisor/supervisor.h"
#include "support/fake_dialup.h"
#include "support/loop_thread.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

// A private folder for the files the benchmarks write, removed at exit.
const std::string& ScratchFolder() {
    static std::string folder = [] {
        const char* base = getenv("TMPDIR");
        std::string pattern =
            std::string(base != nullptr ? base : "/tmp") + "/teleora-bench-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) abort();
        return pattern;
    }();
    return folder;
}

void RemoveScratch() {
    std::string command = "rm -rf '" + ScratchFolder() + "'";
    if (system(command.c_str()) != 0)
        fprintf(stderr, "could not remove %s\n", ScratchFolder().c_str());
}

Settings TenRules() {
    Settings s;
    SetDefaultSettings(&s);
    snprintf(s.szRasEntry, sizeof s.szRasEntry, "Office");
    s.ruleTable.nUserEntries = kMaxRules;
    for (int i = 0; i < kMaxRules; ++i) {
        char name[32];
        snprintf(name, sizeof name, "Regola %d", i);
        InitRule(&s.ruleTable.rules[i], name);
        for (int d = 0; d < kDaysPerWeek; ++d) {
            s.ruleTable.rules[i].days[d] = DayWindow{8 + i % 3, 30, (20 + d) % 24, 15};
        }
    }
    return s;
}

// --- The schedule decision ---

void BM_RuleIsActive(benchmark::State& state) {
    DayWindow windows[] = {{8, 30, 12, 0}, {22, 0, 6, 0}, {9, 0, 9, 0}, {0, 0, 23, 59}};
    int minute = 0;
    for (auto _ : state) {
        for (const DayWindow& w : windows) {
            benchmark::DoNotOptimize(RuleIsActive(w, minute / 60 % 24, minute % 60));
        }
        minute += 7;
    }
    state.SetItemsProcessed(state.iterations() * 4);
}
BENCHMARK(BM_RuleIsActive);

void BM_ShouldBeConnected(benchmark::State& state) {
    Settings s = TenRules();
    LocalTime now{2026, 12, 7, 1, 10, 0, 0, 0};
    int step = 0;
    for (auto _ : state) {
        Mode mode = ModeRuleBase + step % kMaxRules;
        now.dayOfWeek = step % kDaysPerWeek;
        now.hour = step % 24;
        now.minute = step % 60;
        benchmark::DoNotOptimize(ShouldBeConnected(mode, s.ruleTable, now));
        ++step;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ShouldBeConnected);

// --- One supervisor pass against the fake service ---

// The fake service with what the benchmarks time: the enumerations it saw,
// when the first one since a reset came, and when a dial came.
struct TimedFake {
    FakeDialUp fake;
    std::atomic<long> enumerations{0};
    std::atomic<SteadyClock::rep> firstCallAt{0};  // for the wake-up benchmark
    std::atomic<SteadyClock::rep> dialAt{0};       // for the window-edge benchmark
    TimedFake() {
        fake.record = false;
        fake.phonebook = {"Office"};
        fake.observe = [this](const char* operation) {
            SteadyClock::rep now = SteadyClock::now().time_since_epoch().count();
            if (strcmp(operation, "enum") == 0) {
                SteadyClock::rep expected = 0;
                firstCallAt.compare_exchange_strong(expected, now);
                enumerations.fetch_add(1, std::memory_order_relaxed);
            } else if (strcmp(operation, "dial") == 0) {
                dialAt.store(now);
            }
        };
    }
};

// "Connesso" with the chosen entry up as the last of N connections and
// bDropAny off: the pass lists, compares every name and changes nothing.
void BM_SupervisorPass(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    TimedFake memory;
    for (int i = 0; i < n; ++i) {
        std::string name = i + 1 == n ? "Office" : "Other " + std::to_string(i);
        memory.fake.active.push_back(FakeConnection{static_cast<DialUpHandle>(i + 1), name});
    }
    const DialUpService& service = memory.fake.service;
    SettingsSnapshot snapshot;
    snapshot.settings = TenRules();
    snapshot.settings.bDropAny = 0;
    snapshot.mode = ModeAlwaysUp;
    EventLog log{nullptr, SystemClock(), {}};
    ConnectionBuffer buffer{};
    InitConnectionBuffer(&buffer, service);
    uint32_t capacity = buffer.capacity;
    long growths = 0;
    for (auto _ : state) {
        RunSupervisorPass(&buffer, service, snapshot, SystemClock(), log);
        if (buffer.capacity != capacity) {
            ++growths;
            capacity = buffer.capacity;
        }
    }
    ReleaseConnectionBuffer(&buffer);
    state.counters["connections"] = n;
    state.counters["buffer_growths"] = static_cast<double>(growths);
    state.counters["enumerations_per_pass"] =
        static_cast<double>(memory.enumerations.load()) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_SupervisorPass)->Arg(0)->Arg(1)->Arg(10)->Arg(100)->Arg(1000);

// --- Wake-up latency ---

double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    size_t mid = values.size() / 2;
    return values.size() % 2 == 1 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

void ReportLatencies(benchmark::State& state, const std::vector<double>& microseconds) {
    std::vector<double> sorted = microseconds;
    std::sort(sorted.begin(), sorted.end());
    state.counters["median_us"] = Median(sorted);
    state.counters["p90_us"] = sorted.empty() ? 0 : sorted[sorted.size() * 9 / 10];
}

// SelectMode on this thread, the supervisor loop waiting on its event in
// another: the time until the service sees the pass's first call.
void BM_WakeSelectModeToFirstCall(benchmark::State& state) {
    TimedFake memory;
    memory.fake.active.push_back(
        FakeConnection{1, "Office"});  // already up: the pass ends after listing
    const DialUpService& service = memory.fake.service;
    Settings settings = TenRules();
    settings.tDelay = -1;  // no time-out: only the event starts a pass
    SharedState shared;
    InitSharedState(&shared, settings);
    Supervisor supervisor{};
    supervisor.service = &service;
    supervisor.shared = &shared;
    supervisor.clock = SystemClock();
    supervisor.log = EventLog{nullptr, SystemClock(), {}};
    std::thread loop = StartLoopThread(&supervisor);
    // The first pass (signalled at creation, mode "Disabilitato") is over
    // once the loop waits again; give it that moment.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));

    std::vector<double> latencies;
    for (auto _ : state) {
        memory.firstCallAt = 0;
        long before = memory.enumerations.load();
        auto start = SteadyClock::now();
        SelectMode(&shared, supervisor.wake, ModeAlwaysUp);
        while (memory.enumerations.load() == before) {
        }
        auto first = SteadyClock::time_point(SteadyClock::duration(memory.firstCallAt.load()));
        double us = std::chrono::duration<double, std::micro>(first - start).count();
        state.SetIterationTime(us / 1e6);
        latencies.push_back(us);
        // Let the pass end and the loop return to its wait before the next
        // signal, or the signal would find it still busy.
        state.PauseTiming();
        PublishMode(&shared, ModeDisabled);
        std::this_thread::sleep_for(std::chrono::microseconds(300));
        state.ResumeTiming();
    }
    StopLoopThread(&supervisor, &loop);
    ReportLatencies(state, latencies);
}
BENCHMARK(BM_WakeSelectModeToFirstCall)->UseManualTime()->Iterations(2000);

// A rule window Sunday 06:00-06:59 and a pause of 30 s: the time from the
// minute 06:00 on the running clock to the dial the service sees.
void BM_WindowEdgeToFirstDial(benchmark::State& state) {
    std::vector<double> latencies;
    for (auto _ : state) {
        TimedFake memory;
        const DialUpService& service = memory.fake.service;
        Settings settings = TenRules();
        settings.tDelay = 30000;
        settings.ruleTable.rules[0].days[0] = DayWindow{6, 0, 6, 59};
        SharedState shared;
        InitSharedState(&shared, settings);
        RunningClock running{LocalTime{2026, 12, 6, 0, 5, 59, 59, 700}};  // 300 ms before 06:00
        const auto edge = running.origin + std::chrono::milliseconds(300);
        Supervisor supervisor{};
        supervisor.service = &service;
        supervisor.shared = &shared;
        supervisor.clock = Clock{&RunningClock::Now, &running};
        supervisor.log = EventLog{nullptr, SystemClock(), {}};
        PublishMode(&shared, ModeRuleBase);
        std::thread loop = StartLoopThread(&supervisor);
        while (memory.dialAt.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        auto dial = SteadyClock::time_point(SteadyClock::duration(memory.dialAt.load()));
        double us = std::chrono::duration<double, std::micro>(dial - edge).count();
        state.SetIterationTime(us / 1e6);
        latencies.push_back(us);
        StopLoopThread(&supervisor, &loop);
    }
    ReportLatencies(state, latencies);
}
BENCHMARK(BM_WindowEdgeToFirstDial)->UseManualTime()->Iterations(12);

// The bare mechanism: a thread waiting on a condition variable, woken by a
// notify; the time from before the notify until the waiter runs.
void BM_WakeBareConditionVariable(benchmark::State& state) {
    std::mutex mutex;
    std::condition_variable changed;
    bool signalled = false;
    bool stop = false;
    std::atomic<long> wakes{0};
    std::atomic<SteadyClock::rep> wokeAt{0};
    std::thread waiter([&] {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            changed.wait(lock, [&] { return signalled || stop; });
            if (stop) return;
            signalled = false;
            wokeAt = SteadyClock::now().time_since_epoch().count();
            wakes.fetch_add(1);
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::vector<double> latencies;
    for (auto _ : state) {
        long before = wakes.load();
        auto start = SteadyClock::now();
        {
            std::lock_guard<std::mutex> lock(mutex);
            signalled = true;
        }
        changed.notify_one();
        while (wakes.load() == before) {
        }
        auto woke = SteadyClock::time_point(SteadyClock::duration(wokeAt.load()));
        double us = std::chrono::duration<double, std::micro>(woke - start).count();
        state.SetIterationTime(us / 1e6);
        latencies.push_back(us);
        state.PauseTiming();
        std::this_thread::sleep_for(std::chrono::microseconds(300));
        state.ResumeTiming();
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        stop = true;
    }
    changed.notify_one();
    waiter.join();
    ReportLatencies(state, latencies);
}
BENCHMARK(BM_WakeBareConditionVariable)->UseManualTime()->Iterations(2000);

// --- The event log ---

std::string LogPath() {
    return ScratchFolder() + "/" + kLogFileName;
}

void BM_LogEvent(benchmark::State& state) {
    if (state.thread_index() == 0) {
        unlink(LogPath().c_str());
        ConfigureEventLog(EventLog{LogPath().c_str(), SystemClock(), {}});
    }
    for (auto _ : state) LogEvent("RasDial", "Office", 0);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LogEvent)->Threads(1)->Threads(2)->UseRealTime();

// The same line with open, append and close and nothing else.
void BM_LogBareOpenAppendClose(benchmark::State& state) {
    static const char kLine[] = "7/12/2026 13:10:00: RasDial (Office) retcode 0: Success.\r\n";
    std::string path = ScratchFolder() + "/bare.txt";
    if (state.thread_index() == 0) unlink(path.c_str());
    for (auto _ : state) {
        int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) {
            state.SkipWithError("cannot open the file");
            break;
        }
        benchmark::DoNotOptimize(write(fd, kLine, sizeof kLine - 1));
        close(fd);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LogBareOpenAppendClose)->Threads(1)->Threads(2)->UseRealTime();

// --- The settings file ---

std::string SettingsPath() {
    return ScratchFolder() + "/" + kSettingsFileName;
}

void WriteTenRuleFile() {
    IniFileStore ini;
    OpenIniFileStore(&ini, SettingsPath().c_str());
    SaveSettings(MakeIniProfileStore(&ini), TenRules());
}

// The floor for a load: the same file read whole with open, read and close.
void BM_ReadSettingsFileBare(benchmark::State& state) {
    WriteTenRuleFile();
    std::string text;
    for (auto _ : state) {
        text.clear();
        int fd = open(SettingsPath().c_str(), O_RDONLY | O_CLOEXEC);
        char chunk[65536];
        ssize_t got = 0;
        while (fd >= 0 && (got = read(fd, chunk, sizeof chunk)) > 0) {
            text.append(chunk, static_cast<size_t>(got));
        }
        if (fd >= 0) close(fd);
        benchmark::DoNotOptimize(text.data());
    }
    state.counters["bytes"] = static_cast<double>(text.size());
}
BENCHMARK(BM_ReadSettingsFileBare)->Unit(benchmark::kMicrosecond);

// Open the store (read and index the file) and read every setting.
void BM_LoadSettingsTenRules(benchmark::State& state) {
    WriteTenRuleFile();
    for (auto _ : state) {
        IniFileStore ini;
        OpenIniFileStore(&ini, SettingsPath().c_str());
        Settings s;
        LoadSettings(MakeIniProfileStore(&ini), &s);
        benchmark::DoNotOptimize(s.ruleTable.nUserEntries);
    }
}
BENCHMARK(BM_LoadSettingsTenRules)->Unit(benchmark::kMicrosecond);

// A save includes flushing the new file to the disk before it replaces the
// old one.
void BM_SaveSettingsTenRules(benchmark::State& state) {
    Settings s = TenRules();
    unlink(SettingsPath().c_str());
    for (auto _ : state) {
        IniFileStore ini;
        OpenIniFileStore(&ini, SettingsPath().c_str());
        if (!SaveSettings(MakeIniProfileStore(&ini), s)) {
            state.SkipWithError("the save failed");
            break;
        }
        s.tDelay = s.tDelay == 5000 ? 6000 : 5000;  // every save changes the file
    }
}
BENCHMARK(BM_SaveSettingsTenRules)->Unit(benchmark::kMicrosecond);

// --- A settings file as large as may be read ---

// Kilobytes of the process's memory: "VmRSS" now or "VmHWM", its peak since
// the last ResetPeakMemory.
long MemoryKb(const char* field) {
    long kb = -1;
    if (FILE* status = fopen("/proc/self/status", "re")) {
        char line[256];
        while (fgets(line, sizeof line, status) != nullptr) {
            if (strncmp(line, field, strlen(field)) == 0) kb = atol(line + strlen(field) + 1);
        }
        fclose(status);
    }
    return kb;
}

void ResetPeakMemory() {
    if (FILE* refs = fopen("/proc/self/clear_refs", "we")) {
        fputs("5", refs);
        fclose(refs);
    }
}

// The bytes of the ten-rule file as a save writes them.
std::string TenRulesText() {
    unlink(SettingsPath().c_str());
    WriteTenRuleFile();
    std::string text;
    if (FILE* file = fopen(SettingsPath().c_str(), "rbe")) {
        char chunk[4096];
        size_t got = 0;
        while ((got = fread(chunk, 1, sizeof chunk, file)) > 0) text.append(chunk, got);
        fclose(file);
    }
    if (text.empty()) abort();
    return text;
}

// A file of exactly the largest readable size: kind 0 all line feeds (the
// most lines a file can have), kind 1 lines of 1 KiB (key lines of section
// "Generale", so every look-up there reads them all), kind 2 section headers
// "[a]" with the ten rules' settings at the end (the most sections a file can
// have before the ones that are read).
std::string HugeSettingsText(int64_t kind) {
    std::string text;
    text.reserve(kMaxIniFileSize);
    if (kind == 0) return std::string(kMaxIniFileSize, '\n');
    if (kind == 2) {
        std::string tail = TenRulesText();
        while (text.size() + 4 + tail.size() <= kMaxIniFileSize) text += "[a]\n";
        text.append(kMaxIniFileSize - text.size() - tail.size(), '\n');
        return text + tail;
    }
    text = "[Generale]\r\n";
    for (int i = 0; text.size() < kMaxIniFileSize; ++i) {
        std::string line = "k" + std::to_string(i) + "=";
        line.append(1022 - line.size(), 'v').append("\r\n");
        text.append(line, 0, kMaxIniFileSize - text.size());
    }
    return text;
}

void WriteBytes(const std::string& path, const std::string& bytes) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
        abort();
    }
    close(fd);
}

// Load (open the store and read every setting) or save (open, then save the
// ten-rule settings) of the file; the time covers the load or the save, the
// peak memory (over the memory before) covers it all, opening included.
void HugeSettingsFile(benchmark::State& state, bool save) {
    const std::string path = SettingsPath();
    const std::string text = HugeSettingsText(state.range(0));
    const Settings tenRules = TenRules();
    long worstKb = 0;
    for (auto _ : state) {
        state.PauseTiming();
        WriteBytes(path, text);
        malloc_trim(0);  // what earlier iterations freed no longer hides in the resident set
        ResetPeakMemory();
        const long beforeKb = MemoryKb("VmRSS:");
        {
            IniFileStore ini;
            if (!save) state.ResumeTiming();
            OpenIniFileStore(&ini, path.c_str());
            Settings s;
            LoadSettings(MakeIniProfileStore(&ini), &s);
            benchmark::DoNotOptimize(s.tDelay);
            if (save) {
                state.ResumeTiming();
                if (!SaveSettings(MakeIniProfileStore(&ini), tenRules)) {
                    state.SkipWithError("the save failed");
                    break;
                }
            }
            state.PauseTiming();
        }
        worstKb = std::max(worstKb, MemoryKb("VmHWM:") - beforeKb);
        state.ResumeTiming();
    }
    state.counters["peak_MiB"] = static_cast<double>(worstKb) / 1024;
    state.counters["peak_per_file_size"] = static_cast<double>(worstKb) * 1024 / kMaxIniFileSize;
}

void BM_LoadHugeSettingsFile(benchmark::State& state) {
    HugeSettingsFile(state, false);
}
BENCHMARK(BM_LoadHugeSettingsFile)
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

void BM_SaveHugeSettingsFile(benchmark::State& state) {
    HugeSettingsFile(state, true);
}
BENCHMARK(BM_SaveHugeSettingsFile)
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    ScratchFolder();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    RemoveScratch();
    return 0;
}
