// The event log: one line per start, stop and dial-up operation, appended to
// "teleoralog.txt" in the working folder as
//   d/m/yyyy hh:mm:ss: <operation> (<name>) retcode <code>: <result text>\r\n
// The file is opened, appended at its current end with one write per line and
// closed on every call, so lines from two threads or two processes never
// interleave and the user may edit or delete the file while the program runs.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/local_time.h"

struct DialUpService;

constexpr const char* kLogFileName = "teleoralog.txt";

struct EventLog {
    const char* path;               // the log file
    Clock clock;                    // the time on each line
    const DialUpService* service;   // the texts of non-zero codes; may be null
};

// The process-wide log that LogEvent writes to. Set up once at start-up,
// before the supervisor thread starts.
void ConfigureEventLog(const EventLog& log);

// Appends one line to the process-wide log and returns code unchanged. A log
// that cannot be opened drops the line silently.
int32_t LogEvent(const char* operation, const char* name, int32_t code);

// The same against a given log (tests and the supervisor use it).
int32_t LogEventTo(const EventLog& log, const char* operation, const char* name, int32_t code);

// Formats one line, CR LF included, into buffer (bounded, always terminated)
// and returns its length. "Success." for 0, else the service's text, else
// "Unknown.".
size_t FormatLogLine(const LocalTime& time, const char* operation, const char* name,
                     int32_t code, const char* resultText, char* buffer, size_t size);

// The result text for code: "Success.", the service's text, or "Unknown.".
void ResultText(const DialUpService* service, int32_t code, char* buffer, size_t size);
