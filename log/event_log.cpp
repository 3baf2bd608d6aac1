#include "log/event_log.h"

#include <cstdio>
#include <cstring>

#include "common/lock.h"
#include "common/text.h"

namespace {

// One lock for every log of the process: it serialises whole calls (so the
// text lookup never runs on two threads at once through the log) and guards
// the configured log below.
Lock g_logLock{};

// The process-wide log, as ConfigureEventLog left it. Read and written only
// under g_logLock.
struct ConfiguredLog {
    bool configured;  // false: the default log (kLogFileName, system clock, no texts)
    bool pathFits;    // false: the configured path was too long to keep
    char path[kLogPathSize];
    Clock clock;
    ErrorTextSource errorText;
};

ConfiguredLog g_configured{};

bool IsLineBreak(char c) {
    return c == '\r' || c == '\n';
}

// Length of text once the line breaks at its end are dropped.
size_t LengthWithoutTrailingBreaks(const char* text, size_t length) {
    while (length > 0 && IsLineBreak(text[length - 1])) --length;
    return length;
}

// Fills a line buffer, keeping room for the closing CR LF and terminator.
struct LineBuilder {
    char* out;
    size_t room;  // characters available before the CR LF
    size_t length;
};

void PutChar(LineBuilder* line, char c) {
    if (line->length < line->room) line->out[line->length++] = c;
}

// Copies count bytes of text (stopping early at a terminator), with each
// control character turned into one blank so the line stays one line.
void PutText(LineBuilder* line, const char* text, size_t count) {
    if (text == nullptr) return;
    for (size_t i = 0; i < count && text[i] != '\0' && line->length < line->room;) {
        size_t control = LogControlLength(text + i, count - i);
        PutChar(line, control > 0 ? ' ' : text[i]);
        i += control > 0 ? control : 1;
    }
}

void PutString(LineBuilder* line, const char* text) {
    PutText(line, text, kLogLineSize);
}

// One line into log; the caller holds g_logLock. A file that cannot be opened
// ends the call at once: no clock, no text, no line.
int32_t AppendLine(const EventLog& log, const char* operation, const char* name, int32_t code) {
    if (log.path == nullptr) return code;
    LogFile file(log.path);
    if (!file.isOpen()) return code;

    Clock clock = log.clock.now != nullptr ? log.clock : SystemClock();
    LocalTime time = ReadClock(clock);
    char text[kResultTextSize];
    ResultText(log.errorText, code, text, sizeof text);
    // A cut line left by an earlier write is ended first, in the same write,
    // so the new line starts a line of its own: CR LF, or only LF after a
    // lone CR.
    char line[2 + kLogLineSize] = {'\r', '\n'};
    int last = file.lockAndReadLastByte();
    size_t start = last < 0 || last == '\n' ? 2 : last == '\r' ? 1 : 0;
    size_t length = FormatLogLine(time, operation, name, code, text, line + 2, kLogLineSize);

    file.append(line + start, 2 - start + length);
    return code;
}

}  // namespace

void ResultText(const ErrorTextSource& source, int32_t code, char* buffer, size_t size) {
    if (buffer == nullptr || size == 0) return;
    if (code == 0) {
        CopyBounded(buffer, "Success.", size);
        return;
    }
    if (source.text != nullptr) {
        char text[kResultTextSize] = {};
        if (source.text(source.ctx, code, text, sizeof text) == 0) {
            text[sizeof text - 1] = '\0';  // the source may fill the buffer to its end
            size_t length = LengthWithoutTrailingBreaks(text, strlen(text));
            text[length] = '\0';
            if (length > 0) {
                CopyBounded(buffer, text, size);
                return;
            }
        }
    }
    CopyBounded(buffer, "Unknown.", size);
}

size_t FormatLogLine(const LocalTime& time, const char* operation, const char* name, int32_t code,
                     const char* resultText, char* buffer, size_t size) {
    if (buffer == nullptr || size == 0) return 0;
    if (size < 3) {  // no room for CR LF and the terminator: no line at all
        buffer[0] = '\0';
        return 0;
    }
    LineBuilder line{buffer, size - 3, 0};

    char number[96];
    snprintf(number, sizeof number, "%d/%d/%d %02d:%02d:%02d: ", time.day, time.month, time.year,
             time.hour, time.minute, time.second);
    PutString(&line, number);
    PutString(&line, operation);
    PutString(&line, " (");
    PutString(&line, name);
    snprintf(number, sizeof number, ") retcode %d: ", static_cast<int>(code));
    PutString(&line, number);
    if (resultText != nullptr) {
        size_t length = BoundedLength(resultText, kLogLineSize);
        PutText(&line, resultText, LengthWithoutTrailingBreaks(resultText, length));
    }

    buffer[line.length++] = '\r';
    buffer[line.length++] = '\n';
    buffer[line.length] = '\0';
    return line.length;
}

void ConfigureEventLog(const EventLog& log) {
    const char* path = log.path != nullptr ? log.path : kLogFileName;
    LockGuard guard(&g_logLock);
    size_t length = BoundedLength(path, kLogPathSize);
    g_configured.pathFits = length < kLogPathSize;
    if (g_configured.pathFits) {
        memcpy(g_configured.path, path, length);
        g_configured.path[length] = '\0';
    } else {
        g_configured.path[0] = '\0';
    }
    g_configured.clock = log.clock;
    g_configured.errorText = log.errorText;
    g_configured.configured = true;
}

int32_t LogEvent(const char* operation, const char* name, int32_t code) {
    LockGuard guard(&g_logLock);
    EventLog log{kLogFileName, SystemClock(), {}};
    if (g_configured.configured) {
        log.path = g_configured.pathFits ? g_configured.path : nullptr;
        log.clock = g_configured.clock;
        log.errorText = g_configured.errorText;
    }
    return AppendLine(log, operation, name, code);
}

int32_t LogEventTo(const EventLog& log, const char* operation, const char* name, int32_t code) {
    LockGuard guard(&g_logLock);
    return AppendLine(log, operation, name, code);
}
