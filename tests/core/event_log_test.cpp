#include "log/event_log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "supervisor/supervisor.h"
#include "support/test_support.h"

namespace {

std::string Line(const LocalTime& time, const char* operation, const char* name, int32_t code,
                 const char* text) {
    char buffer[kLogLineSize];
    size_t length = FormatLogLine(time, operation, name, code, text, buffer, sizeof buffer);
    EXPECT_EQ(length, strlen(buffer));
    return std::string(buffer, length);
}

std::string Text(const DialUpService* service, int32_t code) {
    char buffer[kErrorTextSize];
    memset(buffer, '#', sizeof buffer);
    ResultText(ErrorTextOf(service), code, buffer, sizeof buffer);
    EXPECT_NE(memchr(buffer, '\0', sizeof buffer), nullptr) << "result text not terminated";
    return std::string(buffer);
}

constexpr LocalTime kDialTime{2026, 12, 6, 0, 5, 1, 2, 0};  // Sunday 6/12/2026 05:01:02
constexpr LocalTime kMarchTime{2001, 3, 5, 1, 9, 7, 3, 0};
constexpr LocalTime kMidnight{2000, 1, 1, 6, 0, 0, 0, 0};
constexpr LocalTime kLastSecond{1999, 12, 31, 5, 23, 59, 59, 999};

// A line of the fixed clock's time as the file holds it.
std::string Written(const std::string& operation, const std::string& name, int32_t code,
                    const char* text = nullptr) {
    return "6/12/2026 05:01:02: " + LogLine(operation, name, code, text) + "\r\n";
}

// ---------------------------------------------------------------------------
// The line, byte for byte.

struct FormatCase {
    const char* label;
    LocalTime time;
    const char* operation;
    const char* name;
    int32_t code;
    const char* text;
    const char* expected;
};

TEST(EventLogFormat, LinesByteForByte) {
    const FormatCase cases[] = {
        {"dial of Office", kDialTime, "RasDial", "Office", 0, "Success.",
         "6/12/2026 05:01:02: RasDial (Office) retcode 0: Success.\r\n"},
        {"day and month unpadded, time padded", kMarchTime, "RasHangUp", "Home", 0, "Success.",
         "5/3/2001 09:07:03: RasHangUp (Home) retcode 0: Success.\r\n"},
        {"midnight", kMidnight, "Teleora started", "Info", 0, "Success.",
         "1/1/2000 00:00:00: Teleora started (Info) retcode 0: Success.\r\n"},
        {"last second of a year", kLastSecond, "Teleora stopped", "Info", 0, "Success.",
         "31/12/1999 23:59:59: Teleora stopped (Info) retcode 0: Success.\r\n"},
        {"negative code", kDialTime, "RasDial", "Office", -1, "Unknown.",
         "6/12/2026 05:01:02: RasDial (Office) retcode -1: Unknown.\r\n"},
        {"lowest code", kDialTime, "RasDial", "Office", INT32_MIN, "Unknown.",
         "6/12/2026 05:01:02: RasDial (Office) retcode -2147483648: Unknown.\r\n"},
        {"highest code", kDialTime, "RasHangUp", "Office", INT32_MAX, "Unknown.",
         "6/12/2026 05:01:02: RasHangUp (Office) retcode 2147483647: Unknown.\r\n"},
        {"dial parameters not read", kDialTime, "RasGetEntryDialParams", "Error", 1,
         "Function failed.",
         "6/12/2026 05:01:02: RasGetEntryDialParams (Error) retcode 1: Function failed.\r\n"},
        {"empty name", kDialTime, "RasHangUp", "", 5, "Access denied.",
         "6/12/2026 05:01:02: RasHangUp () retcode 5: Access denied.\r\n"},
        {"null strings read as empty", kDialTime, nullptr, nullptr, 5, nullptr,
         "6/12/2026 05:01:02:  () retcode 5: \r\n"},
        {"text ending in CR LF", kDialTime, "RasDial", "Office", 678, "No answer.\r\n",
         "6/12/2026 05:01:02: RasDial (Office) retcode 678: No answer.\r\n"},
        {"text ending in LF, CR LF", kDialTime, "RasDial", "Office", 678, "No answer.\n\r\n",
         "6/12/2026 05:01:02: RasDial (Office) retcode 678: No answer.\r\n"},
        {"text ending in a lone CR", kDialTime, "RasDial", "Office", 678, "No answer.\r",
         "6/12/2026 05:01:02: RasDial (Office) retcode 678: No answer.\r\n"},
        {"breaks inside the text", kDialTime, "RasDial", "Office", 691,
         "Access denied.\r\nCheck the password.\r\n",
         "6/12/2026 05:01:02: RasDial (Office) retcode 691: Access denied.  Check the "
         "password.\r\n"},
        {"breaks in operation and name", kDialTime, "Ras\nDial", "Off\r\nice\r", 0, "Success.",
         "6/12/2026 05:01:02: Ras Dial (Off  ice ) retcode 0: Success.\r\n"},
        {"terminal controls in a name", kDialTime, "RasDial",
         "Rosso\x1b[31m\x07\x7f"
         "Fine",
         0, "Success.", "6/12/2026 05:01:02: RasDial (Rosso [31m  Fine) retcode 0: Success.\r\n"},
        {"every other control", kDialTime, "Ras\tDial\x01", "\x08Office\x1f", 5,
         "Access\x0c\x1b]0;x\x07",
         "6/12/2026 05:01:02: Ras Dial  ( Office ) retcode 5: Access  ]0;x \r\n"},
    };
    for (const FormatCase& c : cases) {
        EXPECT_EQ(Line(c.time, c.operation, c.name, c.code, c.text), c.expected) << c.label;
    }
}

TEST(EventLogFormat, LongestNameAndTextFitWhole) {
    std::string name(1023, 'n');
    std::string text(1023, 't');
    std::string line = Line(LocalTime{9999, 12, 31, 5, 23, 59, 59, 999}, "RasGetEntryDialParams",
                            name.c_str(), INT32_MIN, text.c_str());
    EXPECT_EQ(line, "31/12/9999 23:59:59: RasGetEntryDialParams (" + name +
                        ") retcode -2147483648: " + text + "\r\n");
}

TEST(EventLogFormat, CutLinesStillEndInCrLfAndStayInTheirBuffer) {
    const std::string full = Line(kDialTime, "RasDial", "Office", 0, "Success.");
    const std::string body = full.substr(0, full.size() - 2);
    for (size_t size :
         {size_t{1}, size_t{2}, size_t{3}, size_t{4}, size_t{10}, full.size(), full.size() + 1}) {
        std::vector<char> buffer(size + 8, '#');
        size_t length =
            FormatLogLine(kDialTime, "RasDial", "Office", 0, "Success.", buffer.data(), size);
        std::string got(buffer.data());
        EXPECT_EQ(length, got.size()) << "size " << size;
        EXPECT_LT(length, size) << "size " << size;
        for (size_t i = size; i < buffer.size(); ++i) {
            EXPECT_EQ(buffer[i], '#') << "size " << size << " wrote past the end at " << i;
        }
        if (size < 3) {
            EXPECT_EQ(got, "") << "size " << size;
        } else {
            EXPECT_EQ(got, body.substr(0, size - 3) + "\r\n") << "size " << size;
        }
    }
    char untouched = '#';
    EXPECT_EQ(FormatLogLine(kDialTime, "RasDial", "Office", 0, "Success.", &untouched, 0), 0u);
    EXPECT_EQ(untouched, '#');

    // A full-size buffer with more than it can take.
    std::string huge(2 * kLogLineSize, 'x');
    char buffer[kLogLineSize];
    size_t length = FormatLogLine(kDialTime, huge.c_str(), huge.c_str(), 0, huge.c_str(), buffer,
                                  sizeof buffer);
    ASSERT_EQ(length, kLogLineSize - 1);
    EXPECT_EQ(std::string(buffer + length - 2), "\r\n");
    EXPECT_EQ(std::count(buffer, buffer + length, '\n'), 1);
}

// ---------------------------------------------------------------------------
// The result text.

struct TextCase {
    const char* label;
    int32_t code;
    const char* serviceText;  // null: the service has no text for the code
    const char* expected;
};

TEST(EventLogResultText, FromTheService) {
    const TextCase cases[] = {
        {"zero is always success", 0, "Text the service has for 0", "Success."},
        {"the service's text", 5, "Access denied.", "Access denied."},
        {"a negative code's text", -7, "Odd failure.", "Odd failure."},
        {"no text", 1, nullptr, "Unknown."},
        {"trailing CR LF dropped", 678, "No answer.\r\n", "No answer."},
        {"only line breaks", 679, "\r\n", "Unknown."},
        {"empty text", 680, "", "Unknown."},
    };
    for (const TextCase& c : cases) {
        FakeDialUp fake;
        if (c.serviceText != nullptr) fake.errorTexts[c.code] = c.serviceText;
        EXPECT_EQ(Text(&fake.service, c.code), c.expected) << c.label;
        if (c.code == 0) {
            EXPECT_TRUE(fake.calls.empty()) << c.label << ": service asked for 0";
        }
    }
}

TEST(EventLogResultText, WithoutAService) {
    EXPECT_EQ(Text(nullptr, 0), "Success.");
    EXPECT_EQ(Text(nullptr, 1), "Unknown.");
    EXPECT_EQ(Text(nullptr, -603), "Unknown.");
}

TEST(EventLogResultText, MisbehavingServices) {
    FakeDialUp fake;
    fake.errorTexts[5] = std::string(2 * kResultTextSize, 'x');  // fills the buffer, unterminated
    fake.errorTexts[6] = "";                                     // success without a text
    EXPECT_EQ(Text(&fake.service, 5), std::string(kResultTextSize - 1, 'x'));
    EXPECT_EQ(Text(&fake.service, 6), "Unknown.");
    // A text written, but failure reported.
    fake.service.getErrorString = [](void*, int32_t, char* buffer, uint32_t size) {
        snprintf(buffer, size, "%s", "half a text");
        return 1;
    };
    EXPECT_EQ(Text(&fake.service, 5), "Unknown.");
    fake.service.getErrorString = nullptr;
    EXPECT_EQ(Text(&fake.service, 5), "Unknown.");
}

TEST(EventLogResultText, SmallBufferIsCutAndTerminated) {
    FakeDialUp fake;
    fake.errorTexts[5] = "Access denied.";
    char buffer[8];
    memset(buffer, '#', sizeof buffer);
    ResultText(ErrorTextOf(&fake.service), 5, buffer, 7);
    EXPECT_STREQ(buffer, "Access");
    EXPECT_EQ(buffer[7], '#');
    ResultText(ErrorTextOf(&fake.service), 0, buffer, 5);
    EXPECT_STREQ(buffer, "Succ");
}

// ---------------------------------------------------------------------------
// Appending to the file.

struct LogFixture {
    ScratchDir dir;
    FixedClock clock;
    FakeDialUp fake;
    std::string path = dir.File(kLogFileName);
    EventLog Log() { return EventLog{path.c_str(), clock.clock(), ErrorTextOf(&fake.service)}; }
};

TEST(EventLogFile, WritesEachLineAndReturnsTheCode) {
    LogFixture f;
    f.fake.errorTexts[1] = "The function failed.";
    f.fake.errorTexts[678] = "There was no answer.\r\n";
    EventLog log = f.Log();

    struct Call {
        const char* operation;
        const char* name;
        int32_t code;
        const char* text;  // as the line shows it
    };
    const Call calls[] = {
        {"Teleora started", "Info", 0, nullptr},
        {"RasGetEntryDialParams", "Error", 1, "The function failed."},
        {"RasDial", "Office", 678, "There was no answer."},
        {"RasHangUp", "Home", 5, nullptr},
        {"RasEnumConnections", "Realloc", -603, nullptr},
        {"RasDial", "Office", INT32_MIN, nullptr},
    };
    std::string expected;
    for (const Call& c : calls) {
        EXPECT_EQ(LogEventTo(log, c.operation, c.name, c.code), c.code) << c.operation;
        expected += Written(c.operation, c.name, c.code, c.text);
    }
    EXPECT_EQ(ReadWholeFile(f.path), expected);
}

TEST(EventLogFile, EachLineReadsTheClockAnew) {
    LogFixture f;
    LogEventTo(f.Log(), "RasDial", "Office", 0);
    f.clock.time = LocalTime{2001, 3, 5, 1, 9, 7, 3, 0};
    LogEventTo(f.Log(), "RasHangUp", "Office", 0);
    EXPECT_EQ(ReadWholeFile(f.path), Written("RasDial", "Office", 0) + "5/3/2001 09:07:03: " +
                                         LogLine("RasHangUp", "Office", 0) + "\r\n");
}

TEST(EventLogFile, AppendsAfterWhateverIsThere) {
    LogFixture f;
    WriteWholeFile(f.path, "earlier line\r\n");
    LogEventTo(f.Log(), "RasDial", "Office", 0);
    // Someone else (the user, a second copy) appends between two calls.
    WriteWholeFile(f.path, ReadWholeFile(f.path) + "written by someone else\r\n");
    LogEventTo(f.Log(), "RasHangUp", "Office", 0);
    // A line cut short (a full disk): the next line still starts a line.
    WriteWholeFile(f.path, ReadWholeFile(f.path) + "6/12/2026 05:01:02: RasDial (Provi");
    LogEventTo(f.Log(), "RasDial", "Office", 0);
    // Cut between its CR and its LF: only the LF is missing.
    WriteWholeFile(f.path, ReadWholeFile(f.path) + "cut after CR\r");
    LogEventTo(f.Log(), "RasDial", "Office", 0);
    EXPECT_EQ(ReadWholeFile(f.path),
              "earlier line\r\n" + Written("RasDial", "Office", 0) + "written by someone else\r\n" +
                  Written("RasHangUp", "Office", 0) + "6/12/2026 05:01:02: RasDial (Provi\r\n" +
                  Written("RasDial", "Office", 0) + "cut after CR\r\n" +
                  Written("RasDial", "Office", 0));
}

TEST(EventLogFile, CreatesAMissingFileAndRecreatesADeletedOne) {
    LogFixture f;
    ASSERT_FALSE(FileExists(f.path));
    LogEventTo(f.Log(), "Teleora started", "Info", 0);
    EXPECT_EQ(ReadWholeFile(f.path), Written("Teleora started", "Info", 0));
    // The user deletes the file while the program runs.
    ASSERT_EQ(std::remove(f.path.c_str()), 0);
    LogEventTo(f.Log(), "Teleora stopped", "Info", 0);
    EXPECT_EQ(ReadWholeFile(f.path), Written("Teleora stopped", "Info", 0));
}

TEST(EventLogFile, UnopenableLogDropsTheLineSilently) {
    LogFixture f;
    f.fake.errorTexts[5] = "Access denied.";
    std::string missingFolder = f.dir.File("no-such-folder");
    std::string path = missingFolder + "/" + kLogFileName;
    EventLog log{path.c_str(), f.clock.clock(), ErrorTextOf(&f.fake.service)};
    for (int32_t code : {0, 5, -1}) {
        EXPECT_EQ(LogEventTo(log, "RasDial", "Office", code), code);
    }
    EXPECT_FALSE(FileExists(missingFolder));
    EXPECT_TRUE(f.fake.calls.empty()) << "the service was asked for a line never written";

    // The folder itself is no file to append to either.
    EventLog folder{f.dir.path.c_str(), f.clock.clock(), {}};
    EXPECT_EQ(LogEventTo(folder, "RasDial", "Office", 7), 7);

    EventLog none{nullptr, f.clock.clock(), {}};
    EXPECT_EQ(LogEventTo(none, "RasDial", "Office", 9), 9);
}

// ---------------------------------------------------------------------------
// The process-wide log.

// Puts the process-wide log back to its start-up state, so no later test
// writes through a service or clock that no longer exists. Declared after
// what the configured log points at, so it runs first.
struct ResetProcessLogAtEnd {
    ~ResetProcessLogAtEnd() { ConfigureEventLog(EventLog{kLogFileName, SystemClock(), {}}); }
};

TEST(EventLogProcessWide, WritesToTheConfiguredLog) {
    LogFixture f;
    f.fake.errorTexts[691] = "Access denied.";
    ResetProcessLogAtEnd reset;  // before f's clock and service go
    {
        // The log keeps its own copy of the path.
        std::string path = f.path;
        ConfigureEventLog(EventLog{path.c_str(), f.clock.clock(), ErrorTextOf(&f.fake.service)});
        path.assign(path.size(), 'z');
    }
    EXPECT_EQ(LogEvent("RasDial", "Office", 691), 691);
    EXPECT_EQ(LogEvent("RasHangUp", "Office", 0), 0);
    EXPECT_EQ(ReadWholeFile(f.path), Written("RasDial", "Office", 691, "Access denied.") +
                                         Written("RasHangUp", "Office", 0));

    // Configuring again moves the following lines to the new log.
    std::string second = f.dir.File("second.txt");
    ConfigureEventLog(EventLog{second.c_str(), f.clock.clock(), {}});
    LogEvent("RasDial", "Office", 691);
    EXPECT_EQ(ReadCrLfLines(f.path).size(), 2u);
    EXPECT_EQ(ReadWholeFile(second), Written("RasDial", "Office", 691));
}

TEST(EventLogProcessWide, APathTooLongToKeepIsNotCut) {
    LogFixture f;
    // "<dir>/././.../log" is exactly what a cut to kLogPathSize - 1 characters
    // would leave of "<dir>/././.../logfile".
    std::string cut = f.dir.path + "/";
    std::string tail = (cut.size() % 2 == 0) ? "log" : "logs";
    while (cut.size() + tail.size() < kLogPathSize - 1) cut += "./";
    cut += tail;
    ASSERT_EQ(cut.size(), kLogPathSize - 1);
    std::string full = cut + "file";
    ResetProcessLogAtEnd reset;
    ConfigureEventLog(EventLog{full.c_str(), f.clock.clock(), {}});
    EXPECT_EQ(LogEvent("RasDial", "Office", 3), 3);
    EXPECT_FALSE(FileExists(f.dir.File(tail)));
}

// A service that notices when two threads are inside getErrorString at once.
struct WatchedService {
    std::atomic<int> inside{0};
    std::atomic<int> calls{0};
    std::atomic<bool> overlapped{false};
};

int32_t WatchedErrorString(void* ctx, int32_t, char* buffer, uint32_t size) {
    auto* watched = static_cast<WatchedService*>(ctx);
    if (watched->inside.fetch_add(1) != 0) watched->overlapped = true;
    // Stay inside a little, so an unserialised second caller would meet us.
    for (int i = 0; i < 20; ++i) std::this_thread::yield();
    snprintf(buffer, size, "%s", std::string(300, 'e').c_str());
    watched->calls.fetch_add(1);
    watched->inside.fetch_sub(1);
    return 0;
}

// Through the process-wide log (LogEvent) and through a given one (LogEventTo).
TEST(EventLogProcessWide, TwoThreadsWriteEveryLineWholeAndOnce) {
    for (bool given : {false, true}) {
        LogFixture f;
        WatchedService watched;
        DialUpService service{};
        service.ctx = &watched;
        service.getErrorString = &WatchedErrorString;
        ResetProcessLogAtEnd reset;  // before the service goes
        const EventLog log{f.path.c_str(), f.clock.clock(), ErrorTextOf(&service)};
        ConfigureEventLog(log);

        constexpr int kThreads = 2;
        constexpr int kLines = 300;
        // Long names and a service text on every other line make each write large
        // and send both threads into the service.
        auto lineName = [](int thread, int i) {
            return "T" + std::to_string(thread) + "-" + std::to_string(i) + "-" +
                   std::string(500, static_cast<char>('a' + thread));
        };
        std::atomic<int> ready{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([t, given, &log, &lineName, &ready] {
                ready.fetch_add(1);
                while (ready.load() < kThreads) std::this_thread::yield();
                for (int i = 0; i < kLines; ++i) {
                    if (given) {
                        LogEventTo(log, "RasDial", lineName(t, i).c_str(), i % 2 == 0 ? 0 : 7);
                    } else {
                        LogEvent("RasDial", lineName(t, i).c_str(), i % 2 == 0 ? 0 : 7);
                    }
                }
            });
        }
        for (std::thread& thread : threads) thread.join();

        std::vector<std::string> expected;
        for (int t = 0; t < kThreads; ++t) {
            for (int i = 0; i < kLines; ++i) {
                const std::string text = i % 2 == 0 ? "Success." : std::string(300, 'e');
                expected.push_back("6/12/2026 05:01:02: " + LogLine("RasDial", lineName(t, i),
                                                                    i % 2 == 0 ? 0 : 7,
                                                                    text.c_str()));
            }
        }
        std::vector<std::string> lines = ReadCrLfLines(f.path);
        std::sort(expected.begin(), expected.end());
        std::sort(lines.begin(), lines.end());
        EXPECT_EQ(lines, expected);
        EXPECT_EQ(watched.calls.load(), kThreads * kLines / 2);
        EXPECT_FALSE(watched.overlapped.load()) << "two threads were in the service at once";
    }
}

}  // namespace
