#include "support/test_support.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "common/wake_event.h"

namespace fs = std::filesystem;

ScratchDir::ScratchDir() {
    static std::atomic<int> counter{0};
    fs::path base = fs::temp_directory_path();
    for (;;) {
        fs::path candidate = base / ("teleora-test-" + std::to_string(getpid()) + "-" +
                                     std::to_string(counter.fetch_add(1)));
        std::error_code ec;
        if (fs::create_directory(candidate, ec)) {
            path = candidate.string();
            return;
        }
    }
}

ScratchDir::~ScratchDir() {
    std::error_code ec;
    fs::remove_all(path, ec);
}

std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteWholeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool FileExists(const std::string& path) {
    std::error_code ec;
    return fs::exists(path, ec);
}

std::vector<std::string> ReadCrLfLines(const std::string& path) {
    std::string text = ReadWholeFile(path);
    std::vector<std::string> lines;
    size_t start = 0;
    for (;;) {
        size_t end = text.find("\r\n", start);
        if (end == std::string::npos) break;
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    if (start < text.size()) lines.push_back(text.substr(start));  // an unterminated tail
    return lines;
}

std::string LogLine(const std::string& operation, const std::string& name, int32_t code,
                    const char* text) {
    if (text == nullptr) text = code == 0 ? "Success." : "Unknown.";
    return operation + " (" + name + ") retcode " + std::to_string(code) + ": " + text;
}

static LocalTime FixedNow(void* ctx) {
    return static_cast<FixedClock*>(ctx)->time;
}

Clock FixedClock::clock() {
    return Clock{&FixedNow, this};
}
