// The event log against real processes and folders: two processes appending
// to one file, a read-only working folder, and the log LogEvent uses before
// anything is configured. Only forked children configure the process-wide log,
// so every test starts from the default one.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "common/lock.h"
#include "log/event_log.h"
#include "supervisor/supervisor.h"
#include "support/loop_thread.h"
#include "support/posix_sandbox.h"
#include "support/test_support.h"

namespace {

constexpr int kProcesses = 2;
constexpr int kThreadsPerProcess = 2;

// Forks kProcesses children; each runs setUp() and then appendLine(process,
// thread, i) for i below lines on each of its kThreadsPerProcess threads.
// Returns false (with a failure recorded) when a child did not end cleanly.
template <typename SetUp, typename AppendLine>
bool AppendFromProcessesAndThreads(int lines, SetUp setUp, AppendLine appendLine) {
    fflush(nullptr);
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        pid_t pid = fork();
        if (pid < 0) {
            ADD_FAILURE() << "fork failed";
            break;
        }
        if (pid == 0) {
            setUp();
            std::vector<std::thread> threads;
            for (int t = 0; t < kThreadsPerProcess; ++t) {
                threads.emplace_back([&appendLine, p, t, lines] {
                    for (int i = 0; i < lines; ++i) appendLine(p, t, i);
                });
            }
            for (std::thread& thread : threads) thread.join();
            _exit(0);
        }
        children.push_back(pid);
    }
    bool ok = children.size() == kProcesses;
    for (pid_t pid : children) {
        int status = 0;
        pid_t done;
        do {
            done = waitpid(pid, &status, 0);
        } while (done < 0 && errno == EINTR);
        if (done != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            ADD_FAILURE() << "child status " << status;
            ok = false;
        }
    }
    return ok;
}

// Long enough that one line is far bigger than a small write would be.
std::string LineName(int process, int thread, int i) {
    return "P" + std::to_string(process) + "T" + std::to_string(thread) + "-" + std::to_string(i) +
           "-" + std::string(700, static_cast<char>('a' + process * kThreadsPerProcess + thread));
}

TEST(EventLogPosix, TwoProcessesWithTwoThreadsEachNeverTearALongLine) {
    constexpr int kLinesPerThread = 400;
    ScratchDir dir;
    std::string path = dir.File(kLogFileName);
    WriteWholeFile(path, "first line\r\n");

    FixedClock clock;
    EventLog log{path.c_str(), clock.clock(), {}};
    ASSERT_TRUE(AppendFromProcessesAndThreads(
        kLinesPerThread, [] {},
        [&log](int p, int t, int i) {
            LogEventTo(log, "RasHangUp", LineName(p, t, i).c_str(), i % 3);
        }));

    std::vector<std::string> expected{"first line"};
    for (int p = 0; p < kProcesses; ++p) {
        for (int t = 0; t < kThreadsPerProcess; ++t) {
            for (int i = 0; i < kLinesPerThread; ++i) {
                expected.push_back("6/12/2026 05:01:02: " +
                                   LogLine("RasHangUp", LineName(p, t, i), i % 3));
            }
        }
    }
    std::vector<std::string> lines = ReadCrLfLines(path);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "first line") << "the earlier content was overwritten";
    std::sort(expected.begin(), expected.end());
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines.size(), expected.size());
    EXPECT_TRUE(lines == expected) << "a line is missing, doubled or torn";
}

// The load: two threads in each of two processes append 50,000 lines each
// through LogEvent (the process-wide log, configured in each child). Every
// line must be there exactly once, whole, and nothing else.
TEST(EventLogPosix, FiftyThousandLinesPerThreadFromTwoProcessesArriveWholeAndOnce) {
    // About a second in the plain build, several under the sanitizers.
    const int linesPerThread = 50000;
    ScratchDir dir;
    std::string path = dir.File(kLogFileName);
    FixedClock clock;
    auto configure = [&] { ConfigureEventLog(EventLog{path.c_str(), clock.clock(), {}}); };
    ASSERT_TRUE(AppendFromProcessesAndThreads(linesPerThread, configure, [](int p, int t, int i) {
        char name[32];
        snprintf(name, sizeof name, "P%dT%d-%d", p, t, i);
        LogEvent("RasDial", name, i % 2);
    }));

    const std::string text = ReadWholeFile(path);
    std::vector<std::vector<unsigned char>> seen(kProcesses * kThreadsPerProcess,
                                                 std::vector<unsigned char>(linesPerThread, 0));
    size_t lines = 0;
    size_t bad = 0;
    size_t doubled = 0;
    std::string firstBad;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find("\r\n", start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 2;
        ++lines;
        int p = -1, t = -1, i = -1, consumed = 0;
        bool parsed = sscanf(line.c_str(), "6/12/2026 05:01:02: RasDial (P%dT%d-%d)%n", &p, &t, &i,
                             &consumed) == 3 &&
                      consumed > 0 && p >= 0 && p < kProcesses && t >= 0 &&
                      t < kThreadsPerProcess && i >= 0 && i < linesPerThread;
        std::string expected;
        if (parsed) {
            expected =
                "6/12/2026 05:01:02: " +
                LogLine("RasDial",
                        "P" + std::to_string(p) + "T" + std::to_string(t) + "-" + std::to_string(i),
                        i % 2);
        }
        if (!parsed || line != expected) {
            if (bad++ == 0) firstBad = line;
            continue;
        }
        unsigned char& mark = seen[p * kThreadsPerProcess + t][i];
        if (mark != 0) ++doubled;
        mark = 1;
    }
    size_t missing = 0;
    for (const auto& thread : seen) missing += std::count(thread.begin(), thread.end(), 0);
    EXPECT_EQ(bad, 0u) << "torn or foreign line, the first: " << firstBad;
    EXPECT_EQ(doubled, 0u);
    EXPECT_EQ(missing, 0u);
    EXPECT_EQ(lines, static_cast<size_t>(kProcesses * kThreadsPerProcess * linesPerThread));
    EXPECT_TRUE(text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0);
}

TEST(EventLogPosix, ReadOnlyFolderGetsNoLineAndTheCodeComesBack) {
    ScratchDir dir;
    std::string existing = dir.File(kLogFileName);
    const std::string before =
        "1/1/2026 00:00:01: " + LogLine("Teleora started", "Info", 0) + "\r\n";
    WriteWholeFile(existing, before);
    std::string fresh = dir.File("fresh.txt");

    int rc = RunInChild([&] {
        if (!MakeReadOnly(dir.path)) return kSandboxUnavailable;
        FixedClock clock;
        FakeDialUp fake;
        fake.errorTexts[691] = "Access denied.";
        EventLog log{existing.c_str(), clock.clock(), ErrorTextOf(&fake.service)};
        if (LogEventTo(log, "RasDial", "Office", 691) != 691) return 1;
        if (LogEventTo(log, "RasHangUp", "Office", 0) != 0) return 2;
        EventLog missing{fresh.c_str(), clock.clock(), ErrorTextOf(&fake.service)};
        if (LogEventTo(missing, "RasDial", "Office", -5) != -5) return 3;
        return 0;
    });
    if (rc == kSandboxUnavailable) GTEST_SKIP() << SandboxUnavailableReason();
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(ReadWholeFile(existing), before);
    EXPECT_FALSE(FileExists(fresh));
}

// A log the user may write but not read still gets its lines (without the
// check for a line cut short).
TEST(EventLogPosix, AWriteOnlyLogStillGetsItsLines) {
    ScratchDir dir;
    const std::string path = dir.File(kLogFileName);
    WriteWholeFile(path, "kept\r\n");
    ASSERT_EQ(chmod(path.c_str(), 0222), 0);
    ASSERT_EQ(chmod(dir.path.c_str(), 0711), 0);
    int rc = RunInChild([&] {
        if (!DropPrivileges()) return kSandboxUnavailable;
        FixedClock clock;
        LogEventTo(EventLog{path.c_str(), clock.clock(), {}}, "RasDial", "Office", 0);
        return 0;
    });
    if (rc == kSandboxUnavailable) GTEST_SKIP() << SandboxUnavailableReason();
    ASSERT_EQ(chmod(path.c_str(), 0644), 0);
    EXPECT_EQ(ReadWholeFile(path),
              "kept\r\n6/12/2026 05:01:02: " + LogLine("RasDial", "Office", 0) + "\r\n");
}

TEST(EventLogPosix, ReadOnlyWorkingFolderRunsWithoutALog) {
    ScratchDir dir;
    int rc = RunInChild([&] {
        if (!MakeReadOnly(dir.path)) return kSandboxUnavailable;
        // Entered after the read-only mount, so the working folder is the
        // mounted one, not the writable folder beneath it.
        if (chdir(dir.path.c_str()) != 0) return 10;
        if (LogEvent("Teleora started", "Info", 0) != 0) return 1;
        if (LogEvent("RasDial", "Office", 678) != 678) return 2;
        return 0;
    });
    if (rc == kSandboxUnavailable) GTEST_SKIP() << SandboxUnavailableReason();
    EXPECT_EQ(rc, 0);
    EXPECT_FALSE(FileExists(dir.File(kLogFileName)));
}

TEST(EventLogPosix, UnconfiguredLogIsTheFileInTheWorkingFolder) {
    ScratchDir dir;
    LocalTime before = GetLocalTimeNow();
    int rc = RunInChild([&] {
        if (chdir(dir.path.c_str()) != 0) return 10;
        if (LogEvent("Teleora started", "Info", 0) != 0) return 1;
        if (LogEvent("RasDial", "Office", 678) != 678) return 2;
        return 0;
    });
    LocalTime after = GetLocalTimeNow();
    ASSERT_EQ(rc, 0);

    std::vector<std::string> lines = ReadCrLfLines(dir.File(kLogFileName));
    ASSERT_EQ(lines.size(), 2u);
    // The system clock's date and time; the date is checked against the
    // clock read around the child (a midnight in between allows either).
    const std::regex shape(R"(^(\d{1,2})/(\d{1,2})/(\d{4}) \d\d:\d\d:\d\d: (.*)$)");
    const std::string rest[] = {LogLine("Teleora started", "Info", 0),
                                LogLine("RasDial", "Office", 678)};
    for (size_t i = 0; i < lines.size(); ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(lines[i], m, shape)) << lines[i];
        EXPECT_EQ(m[4].str(), rest[i]);
        auto sameDate = [&](const LocalTime& t) {
            return std::stoi(m[1].str()) == t.day && std::stoi(m[2].str()) == t.month &&
                   std::stoi(m[3].str()) == t.year;
        };
        EXPECT_TRUE(sameDate(before) || sameDate(after)) << lines[i];
    }
}

// Something other than a plain file named like the log: a link is not
// followed (its target is neither created nor written) and a FIFO, with or
// without a reader, neither blocks the call nor gets a line. Each call runs in
// a child under an alarm, so a call that blocks fails instead of hanging.
TEST(EventLogPosix, OnlyAPlainFileGetsLines) {
    ScratchDir dir;
    const std::string target = dir.File("elsewhere.txt");
    const std::string existing = dir.File("existing.txt");
    WriteWholeFile(existing, "kept\r\n");
    const std::string fifo = dir.File("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string links[] = {dir.File("to-missing"), dir.File("to-existing")};
    ASSERT_EQ(symlink(target.c_str(), links[0].c_str()), 0);
    ASSERT_EQ(symlink(existing.c_str(), links[1].c_str()), 0);

    FixedClock clock;
    auto logTo = [&](const std::string& path, bool withReader) {
        return RunInChild([&] {
            alarm(5);
            int reader = withReader ? open(path.c_str(), O_RDONLY | O_NONBLOCK) : -1;
            if (LogEventTo(EventLog{path.c_str(), clock.clock(), {}}, "RasDial", "Office", 678) !=
                678) {
                return 1;
            }
            char byte;
            if (reader >= 0 && read(reader, &byte, 1) > 0) return 2;  // a line reached the FIFO
            return 0;
        });
    };
    EXPECT_EQ(logTo(links[0], false), 0);
    EXPECT_EQ(logTo(links[1], false), 0);
    EXPECT_EQ(logTo(fifo, false), 0) << "128 + 14: blocked on a FIFO without a reader";
    EXPECT_EQ(logTo(fifo, true), 0);
    EXPECT_FALSE(FileExists(target));
    EXPECT_EQ(ReadWholeFile(existing), "kept\r\n");
}

// Names are UTF-8 here: the C1 controls (C2 80 to C2 9F) become one blank
// each, like the ASCII ones; the characters around them stay.
TEST(EventLogPosix, C1ControlsInUtf8BecomeBlanks) {
    const struct {
        const char* name;
        const char* expected;
    } cases[] = {
        {"Rosso\xc2\x9b"
         "31mFine",
         "Rosso 31mFine"},
        {"\xc2\x80\xc2\x9f\xc2\xa0\xc3\xa8", "  \xc2\xa0\xc3\xa8"},  // NBSP and è stay
        {"Caff\xc3\xa8\xc2", "Caff\xc3\xa8\xc2"},                    // a lone lead byte at the end
        {"\xc2\x1b", "\xc2 "},
        {"Office", "Office) retcode 0: Fine "},  // at the very end of the result text
    };
    for (const auto& c : cases) {
        char line[kLogLineSize];
        const bool inText = strchr(c.expected, ')') != nullptr;
        size_t length = FormatLogLine(LocalTime{2026, 12, 6, 0, 5, 1, 2, 0}, "RasDial", c.name, 0,
                                      inText ? "Fine\xc2\x9b" : "Success.", line, sizeof line);
        EXPECT_EQ(std::string(line, length), std::string("6/12/2026 05:01:02: RasDial (") +
                                                 c.expected +
                                                 (inText ? "\r\n" : ") retcode 0: Success.\r\n"))
            << c.name;
    }
}

// The log's lock, like every Lock, is ready zero-filled: threads that take a
// fresh one for the first time all at once set it up once and exclude each
// other.
TEST(EventLogPosix, AZeroFilledLockIsSetUpOnceAndExcludes) {
    for (int round = 0; round < 50; ++round) {
        Lock lock{};
        long counter = 0;
        std::atomic<int> ready{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&] {
                ready.fetch_add(1);
                while (ready.load() < 4) std::this_thread::yield();
                for (int i = 0; i < 1000; ++i) {
                    LockGuard guard(&lock);
                    long seen = counter;
                    if (i % 100 == 0) std::this_thread::yield();
                    counter = seen + 1;
                }
            });
        }
        for (std::thread& thread : threads) thread.join();
        ASSERT_EQ(counter, 4000) << "round " << round;
    }
    // A thread that comes while another is inside the set-up waits for it.
    static std::atomic<bool> inside, setUpDone;
    inside = false;
    setUpDone = false;
    gLockSetUpHook = [] {
        inside = true;
        while (!setUpDone) std::this_thread::yield();
    };
    Lock lock{};
    std::thread first([&] { LockGuard guard(&lock); });
    ASSERT_TRUE(Eventually([] { return inside.load(); }));
    std::atomic<bool> secondIn{false}, sawSetUpDone{false};
    std::thread second([&] {
        LockGuard guard(&lock);
        sawSetUpDone = setUpDone.load();
        secondIn = true;
    });
    EXPECT_FALSE(Eventually([&] { return secondIn.load(); }, 100)) << "no wait for the set-up";
    setUpDone = true;
    first.join();
    second.join();
    gLockSetUpHook = nullptr;
    EXPECT_TRUE(sawSetUpDone);
}

}  // namespace
