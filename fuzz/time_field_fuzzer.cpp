// The dialog's time field: any text parses to an hour 0-23 and a minute 0-59,
// and the text the field is rewritten with parses back to the same values (the
// field is rewritten after every keystroke, so this must be a fixed point).
// The pause field: a number is returned only for text that is all digits
// between optional blanks.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/dialog/config_dialog.h"

namespace {

void Require(bool ok, const char* what, const std::string& text) {
    if (ok) return;
    fprintf(stderr, "violated: %s for text \"%s\"\n", what, text.c_str());
    abort();
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The fields hand over at most 63 characters, but the parser must cope
    // with any terminated text.
    std::string text(reinterpret_cast<const char*>(data), size);
    text = text.substr(0, strlen(text.c_str()));

    int32_t hour = -1;
    int32_t minute = -1;
    char shown[kFieldTextSize];
    RewriteTimeField(text.c_str(), &hour, &minute, shown, sizeof shown);
    Require(hour >= 0 && hour <= 23, "hour in 0-23", text);
    Require(minute >= 0 && minute <= 59, "minute in 0-59", text);

    Require(strlen(shown) == 5 && shown[2] == ':', "rewritten as hh:mm", text);
    int32_t hourAgain = -1;
    int32_t minuteAgain = -1;
    ParseTimeField(shown, &hourAgain, &minuteAgain);
    Require(hourAgain == hour && minuteAgain == minute, "the rewritten field reads the same", text);

    // The caret goes to the colon or the end, wherever it was in the typed text.
    const int carets[] = {0, 1, 2, 3, static_cast<int>(text.size())};
    for (int caret : carets) {
        const int placed = CaretAfterRewrite(text.c_str(), caret, shown);
        Require(placed == 2 || placed == 5, "the caret goes to the colon or the end", text);
    }

    uint32_t seconds = ParsePauseField(text.c_str());
    if (seconds != 0) {
        size_t begin = 0;
        while (begin < text.size() && IsBlank(text[begin])) ++begin;
        size_t end = begin;
        while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
        size_t rest = end;
        while (rest < text.size() && IsBlank(text[rest])) ++rest;
        Require(end > begin && rest == text.size(), "a pause is all digits", text);
        std::string digits = text.substr(begin, end - begin);
        digits.erase(0, digits.find_first_not_of('0'));
        Require(std::to_string(seconds) == digits, "the pause is the number written", text);
    }
    return 0;
}
