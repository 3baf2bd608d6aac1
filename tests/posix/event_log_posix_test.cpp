// The event log against real processes and folders: two processes appending
// to one file, a read-only working folder, and the log LogEvent uses before
// anything is configured. None of these tests configures the process-wide log,
// so a forked child starts from the default one.
#include <gtest/gtest.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "log/event_log.h"
#include "support/posix_sandbox.h"
#include "support/test_support.h"

namespace {

constexpr int kProcesses = 2;
constexpr int kThreadsPerProcess = 2;
constexpr int kLinesPerThread = 400;

// Long enough that one line is far bigger than a small write would be.
std::string LineName(int process, int thread, int i) {
    return "P" + std::to_string(process) + "T" + std::to_string(thread) + "-" + std::to_string(i) +
           "-" + std::string(700, static_cast<char>('a' + process * kThreadsPerProcess + thread));
}

// What one forked process does: its threads each append their lines.
void AppendFromThreads(const std::string& path, int process) {
    FixedClock clock;
    EventLog log{path.c_str(), clock.clock(), nullptr};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreadsPerProcess; ++t) {
        threads.emplace_back([&log, process, t] {
            for (int i = 0; i < kLinesPerThread; ++i) {
                LogEventTo(log, "RasHangUp", LineName(process, t, i).c_str(), i % 3);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
}

TEST(EventLogPosix, TwoProcessesWithTwoThreadsEachNeverTearALine) {
    ScratchDir dir;
    std::string path = dir.File(kLogFileName);
    WriteWholeFile(path, "first line\r\n");

    fflush(nullptr);
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0) << "fork failed";
        if (pid == 0) {
            AppendFromThreads(path, p);
            _exit(0);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        pid_t done;
        do {
            done = waitpid(pid, &status, 0);
        } while (done < 0 && errno == EINTR);
        ASSERT_EQ(done, pid);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    }

    std::vector<std::string> expected{"first line"};
    for (int p = 0; p < kProcesses; ++p) {
        for (int t = 0; t < kThreadsPerProcess; ++t) {
            for (int i = 0; i < kLinesPerThread; ++i) {
                int code = i % 3;
                expected.push_back("6/12/2026 05:01:02: RasHangUp (" + LineName(p, t, i) +
                                   ") retcode " + std::to_string(code) + ": " +
                                   (code == 0 ? "Success." : "Unknown."));
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

TEST(EventLogPosix, ReadOnlyFolderGetsNoLineAndTheCodeComesBack) {
    ScratchDir dir;
    std::string existing = dir.File(kLogFileName);
    const std::string before = "1/1/2026 00:00:01: Teleora started (Info) retcode 0: Success.\r\n";
    WriteWholeFile(existing, before);
    std::string fresh = dir.File("fresh.txt");

    int rc = RunInChild([&] {
        if (!MakeReadOnly(dir.path)) return kSandboxUnavailable;
        FixedClock clock;
        FakeDialUp fake;
        fake.errorTexts[691] = "Access denied.";
        EventLog log{existing.c_str(), clock.clock(), &fake.service};
        if (LogEventTo(log, "RasDial", "Office", 691) != 691) return 1;
        if (LogEventTo(log, "RasHangUp", "Office", 0) != 0) return 2;
        EventLog missing{fresh.c_str(), clock.clock(), &fake.service};
        if (LogEventTo(missing, "RasDial", "Office", -5) != -5) return 3;
        return 0;
    });
    if (rc == kSandboxUnavailable) GTEST_SKIP() << SandboxUnavailableReason();
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(ReadWholeFile(existing), before);
    EXPECT_FALSE(FileExists(fresh));
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
    const char* rest[] = {"Teleora started (Info) retcode 0: Success.",
                          "RasDial (Office) retcode 678: Unknown."};
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

}  // namespace
