// Helpers shared by the tests: a scratch folder, whole-file reads, a fixed
// clock, and (fake_dialup.h) the scripted dial-up service.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/local_time.h"
#include "support/fake_dialup.h"

// A fresh empty folder, removed with its contents at the end of the scope.
struct ScratchDir {
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    std::string File(const std::string& name) const { return path + "/" + name; }
    std::string path;
};

std::string ReadWholeFile(const std::string& path);
void WriteWholeFile(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);
// The file's lines, split at CR LF (the log's line end).
std::vector<std::string> ReadCrLfLines(const std::string& path);

// A log line as the tests read it, without its date and time:
// "<operation> (<name>) retcode <code>: <text>", where the text is
// "Success." for 0 and "Unknown." for any other code unless given.
std::string LogLine(const std::string& operation, const std::string& name, int32_t code,
                    const char* text = nullptr);

// A clock that shows a fixed time, changed by assigning to `time`.
struct FixedClock {
    LocalTime time{2026, 12, 6, 0, 5, 1, 2, 0};  // Sunday 6/12/2026 05:01:02
    Clock clock();
};
