// Measures how fast the real Teleora.exe reacts, under Wine with the test
// double of rasapi32.dll, and prints the figures as Markdown table rows on
// stdout (progress on stderr). Not a test: scripts/measure-windows-exe.sh runs
// it in its Wine session.
//   measure [DROPS]
// - Drop -> first dial call: "Connesso" with a pause of 30 s; the double drops
//   the line DROPS times (default 10), each at a random moment, once with the
//   connection notifications and once with a double that never signals them.
//   The double times the drop and the dial itself.
// - A rule's window, one whole-program trial: a rule mode whose window today
//   opens at the next whole minute and closes two minutes later; the dial and
//   the hang-up are timed from their minute with the double's local clock.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "driver.h"
#include "support/test_support.h"

namespace {

constexpr int kPauseMs = 30000;

struct Stamp {
    std::string what;  // "dial" or "hangup"
    int msOfDay = 0;
    long long sinceDropUs = -1;
};

std::vector<Stamp> Stamps(const std::string& dir) {
    std::vector<Stamp> stamps;
    for (const std::string& line : ReadCrLfLines(dir + "/rastimes.txt")) {
        char what[16] = {};
        unsigned h = 0, m = 0, s = 0, ms = 0;
        long long us = -1;
        if (sscanf(line.c_str(), "%15s %u:%u:%u.%u %lld", what, &h, &m, &s, &ms, &us) == 6) {
            stamps.push_back(
                Stamp{what, static_cast<int>(((h * 60 + m) * 60 + s) * 1000 + ms), us});
        }
    }
    return stamps;
}

size_t CountStamps(const std::string& dir, const std::string& what) {
    size_t n = 0;
    for (const Stamp& stamp : Stamps(dir)) n += stamp.what == what ? 1 : 0;
    return n;
}

const Stamp* LastStamp(const std::vector<Stamp>& stamps, const std::string& what) {
    for (auto it = stamps.rbegin(); it != stamps.rend(); ++it) {
        if (it->what == what) return &*it;
    }
    return nullptr;
}

void Stop(TeleoraRun* run) {
    PostCommand(*run, kEsci);
    WaitForExit(run, 20000);
    Finish(run);
}

// Drop -> first dial call, in milliseconds, one value per drop; empty on failure.
std::vector<double> MeasureDrops(bool notify, int drops, HANDLE dropEvent, std::mt19937* random) {
    ScratchDir dir;
    WriteText(dir.File("Teleora.ini"), General(kPauseMs, 0, "Office", 0));
    WriteText(dir.File("rasdouble.txt"),
              std::string("entry Office\nmeasure\n") + (notify ? "" : "notify off\n"));
    TeleoraRun run;
    std::vector<double> ms;
    if (!Launch(&run, dir.path)) return ms;
    PostCommand(run, kConnesso);
    if (!WaitUntil([&] { return CountStamps(dir.path, "dial") >= 1; })) {
        Stop(&run);
        return ms;
    }
    // With notifications the moment hardly matters; without them it decides
    // how much of the pause is left, so it is spread over the whole pause.
    std::uniform_int_distribution<int> moment(0, notify ? 1000 : kPauseMs - 1);
    for (int i = 0; i < drops; ++i) {
        Sleep(static_cast<DWORD>(moment(*random)));
        size_t dials = CountStamps(dir.path, "dial");
        SetEvent(dropEvent);
        if (!WaitUntil([&] { return CountStamps(dir.path, "dial") > dials; }, kPauseMs + 10000)) {
            ms.clear();
            break;
        }
        const Stamp* dial = LastStamp(Stamps(dir.path), "dial");
        ms.push_back(static_cast<double>(dial->sinceDropUs) / 1000.0);
        fprintf(stderr, "drop %d (%s notifications): first dial call after %.1f ms\n", i + 1,
                notify ? "with" : "without", ms.back());
    }
    Stop(&run);
    return ms;
}

int MsOfDay(const SYSTEMTIME& t) {
    return ((t.wHour * 60 + t.wMinute) * 60 + t.wSecond) * 1000 + t.wMilliseconds;
}

// A rule whose window today runs from minute `start` (of the day) to start + 1,
// both included; every other day's window is empty.
std::string EdgeRule(int today, int start) {
    std::string text = "[Rule0]\r\nszName=Prova\r\n";
    for (int d = 0; d < 7; ++d) {
        int from = d == today ? start : 0;
        int to = d == today ? start + 1 : 0;
        std::string day = std::to_string(d);
        text += "hStart" + day + "=" + std::to_string(from / 60) + "\r\nmStart" + day + "=" +
                std::to_string(from % 60) + "\r\nhStop" + day + "=" + std::to_string(to / 60) +
                "\r\nmStop" + day + "=" + std::to_string(to % 60) + "\r\n";
    }
    return text;
}

// Window start -> dial and window end -> hang-up, in milliseconds after their
// minute; false on failure.
bool MeasureEdges(double* startMs, double* stopMs) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    // The window and its end stay within today, and the program is up and in
    // the rule mode some 15 s before the window opens.
    int start = now.wHour * 60 + now.wMinute + (now.wSecond < 45 ? 1 : 2);
    if (start + 2 >= 24 * 60) {
        Sleep(static_cast<DWORD>(24 * 3600 * 1000 - MsOfDay(now) + 2000));
        GetLocalTime(&now);
        start = now.wHour * 60 + now.wMinute + 1;
    }
    ScratchDir dir;
    WriteText(dir.File("Teleora.ini"),
              General(kPauseMs, 0, "Office", 1) + EdgeRule(now.wDayOfWeek, start));
    WriteText(dir.File("rasdouble.txt"), "entry Office\nmeasure\n");
    TeleoraRun run;
    if (!Launch(&run, dir.path)) return false;
    PostCommand(run, kRule0);
    fprintf(stderr, "window %02d:%02d-%02d:%02d: waiting for its start and its end\n", start / 60,
            start % 60, (start + 1) / 60, (start + 1) % 60);
    bool met = WaitUntil([&] { return CountStamps(dir.path, "hangup") >= 1; }, 200000);
    Stop(&run);
    std::vector<Stamp> stamps = Stamps(dir.path);
    const Stamp* dial = LastStamp(stamps, "dial");
    const Stamp* hangUp = LastStamp(stamps, "hangup");
    if (!met || dial == nullptr || hangUp == nullptr || CountStamps(dir.path, "dial") != 1) {
        return false;
    }
    *startMs = dial->msOfDay - start * 60000;
    *stopMs = hangUp->msOfDay - (start + 2) * 60000;
    return true;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// The smallest value with at least 90 % of the values at or below it.
double P90(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    size_t rank = (v.size() * 9 + 9) / 10;
    return v[rank - 1];
}

}  // namespace

int main(int argc, char** argv) {
    int drops = argc > 1 ? atoi(argv[1]) : 10;
    if (drops < 1) return 2;
    HANDLE dropEvent = CreateEventA(nullptr, FALSE, FALSE, "TeleoraRasDoubleDrop");
    if (dropEvent == nullptr) return 1;
    std::mt19937 random(GetTickCount());

    std::vector<double> with = MeasureDrops(true, drops, dropEvent, &random);
    std::vector<double> without = MeasureDrops(false, drops, dropEvent, &random);
    double startMs = 0, stopMs = 0;
    bool edges = MeasureEdges(&startMs, &stopMs);
    if (with.empty() || without.empty() || !edges) {
        fprintf(stderr, "measuring failed (%s)\n",
                with.empty() ? "drops with notifications"
                             : (without.empty() ? "drops without notifications" : "window edges"));
        return 1;
    }
    auto verdict = [](bool met) { return met ? "met" : "**missed**"; };
    const char* row = "| Windows program: %s | %s | %s | %s |\n";
    char measured[96];
    snprintf(measured, sizeof measured, "%.1f ms (%.1f ms)", Median(with), P90(with));
    printf(row,
           ("drop → first dial call, with notifications, pause 30 s, median (p90) over " +
            std::to_string(drops) + " drops")
               .c_str(),
           measured, "median ≤ 1 s", verdict(Median(with) <= 1000));
    snprintf(measured, sizeof measured, "%.0f ms (%.0f ms)", Median(without), P90(without));
    printf(row,
           ("drop → first dial call, without notifications (the double never signals), pause "
            "30 s, median (p90) over " +
            std::to_string(drops) + " drops at random moments")
               .c_str(),
           measured, "reference", "—");
    snprintf(measured, sizeof measured, "%.0f ms after the minute", startMs);
    printf(row, "rule window's start → first dial call, pause 30 s, one trial", measured,
           "≤ 100 ms after the minute", verdict(startMs >= 0 && startMs <= 100));
    snprintf(measured, sizeof measured, "%.0f ms after the minute", stopMs);
    printf(row, "rule window's end → hang-up call, same trial", measured,
           "≤ 100 ms after the minute", verdict(stopMs >= 0 && stopMs <= 100));
    CloseHandle(dropEvent);
    return 0;
}
