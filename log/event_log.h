// The event log: one line per start, stop and dial-up operation, appended to
// "teleoralog.txt" in the working folder as
//   d/m/yyyy hh:mm:ss: <operation> (<name>) retcode <code>: <result text>\r\n
// The file is opened, appended at its current end with one write per line and
// closed on every call, so lines from two threads or two processes never
// interleave and the user may edit or delete the file while the program runs.
// The bytes are written as they are (never through a text-mode stream), so the
// line ends in CR LF on every platform.
//
// Calls are serialised inside the process by one lock held around the whole
// call: opening, reading the clock, asking for the result text, writing and
// closing. The text function (the dial-up service's getErrorString) is
// therefore never called from two threads at once through the log.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/local_time.h"

constexpr const char* kLogFileName = "teleoralog.txt";

// The words of the lines: the operations, named after the Remote Access
// Service's functions on every platform, and the names in brackets of the
// lines that name no entry.
constexpr const char* kLogEnumConnections = "RasEnumConnections";        // with kLogRealloc
constexpr const char* kLogGetEntryDialParams = "RasGetEntryDialParams";  // with kLogError
constexpr const char* kLogDial = "RasDial";
constexpr const char* kLogHangUp = "RasHangUp";
constexpr const char* kLogStarted = "Teleora started";  // with kLogInfo
constexpr const char* kLogStopped = "Teleora stopped";  // with kLogInfo
constexpr const char* kLogRealloc = "Realloc";
constexpr const char* kLogError = "Error";
constexpr const char* kLogInfo = "Info";

// Room for the longest line: the date and time, an operation, an entry name
// of up to 1023 characters, the code and a result text of up to 1023
// characters, CR LF and the terminator. Longer input is cut, and the cut line
// still ends in CR LF.
constexpr size_t kLogLineSize = 4096;

// Room for one result text, terminator included; a longer text is cut.
constexpr size_t kResultTextSize = 1024;

// Longest log path ConfigureEventLog keeps (terminator included). A longer
// path is not cut (that would name another file): its lines are dropped.
constexpr size_t kLogPathSize = 4096;

// Where the log finds the text of a non-zero result code: a function with the
// shape of the dial-up service's getErrorString (0 when it wrote a text) and
// its context. The supervisor hands the service's own (ErrorTextOf); a null
// text makes every non-zero code read "Unknown.".
struct ErrorTextSource {
    int32_t (*text)(void* ctx, int32_t code, char* buffer, uint32_t size);
    void* ctx;
};

struct EventLog {
    const char* path;           // the log file; null drops every line
    Clock clock;                // the time on each line; a null now reads the system clock
    ErrorTextSource errorText;  // the texts of non-zero codes
};

// Sets the process-wide log that LogEvent writes to. The path is copied (the
// caller's string need not outlive the call); the clock's context and the
// text's context must stay valid for as long as lines are logged. A null path means
// kLogFileName. Meant to be called once at start-up, before the supervisor
// thread starts; it takes the log's lock all the same, so a LogEvent running
// on another thread sees either the old log or the new one, never a mix.
//
// Until it is called, LogEvent writes to kLogFileName in the working folder
// with the system clock and no text source (every non-zero code reads
// "Unknown.").
void ConfigureEventLog(const EventLog& log);

// Appends one line to the process-wide log and returns code unchanged. A log
// that cannot be opened drops the line silently. Safe from any thread.
int32_t LogEvent(const char* operation, const char* name, int32_t code);

// The same against a given log (tests and the supervisor use it).
int32_t LogEventTo(const EventLog& log, const char* operation, const char* name, int32_t code);

// Formats one line, CR LF included, into buffer (bounded, always terminated)
// and returns its length. Every control character inside operation, name or
// resultText (LogControlLength) becomes one blank (line breaks at the end of
// resultText are dropped), so the result is always exactly one line and holds
// nothing a terminal showing it would act on. Null strings read as empty. When the line
// does not fit it is cut before the CR LF; a buffer smaller than 3 bytes gets
// an empty string (length 0).
size_t FormatLogLine(const LocalTime& time, const char* operation, const char* name, int32_t code,
                     const char* resultText, char* buffer, size_t size);

// The result text for code, into buffer (bounded, always terminated):
// "Success." for 0 (the source is not asked), else the source's text without
// its trailing line breaks, else "Unknown." (no source, the source reports
// failure, or its text is empty).
void ResultText(const ErrorTextSource& source, int32_t code, char* buffer, size_t size);

// The platform half (event_log_posix.cpp, event_log_win32.cpp).

// How many of the length bytes at text form one control character: 1 for a
// byte below 0x20 or 0x7F; on POSIX, where names are UTF-8, 2 for a C1
// control (C2 80 to C2 9F); 0 when text does not start with a control.
size_t LogControlLength(const char* text, size_t length);

// The log file,
// open for appending from construction to the end of the owner's scope.
class LogFile {
  public:
    // Opens path for writing at its end, creating it when missing, without
    // keeping anyone else from reading, writing or deleting it. Never follows
    // a link and never waits: anything but a plain file (a link, a FIFO, a
    // device) is left closed, and its lines are dropped.
    explicit LogFile(const char* path);
    ~LogFile();
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    bool isOpen() const { return handle_ != -1; }

    // Writes the bytes with one write (an open file only). Every write lands
    // at the file's end at that moment (FILE_APPEND_DATA, O_APPEND), so the
    // line follows whatever another process appended meanwhile and never
    // splits someone else's.
    void append(const char* bytes, size_t length);

    // Called just before append: locks the file against the other copies of
    // the program until it is closed (where the system offers such a lock),
    // then returns its last byte, or -1 when it is empty or cannot be read.
    // A last byte other than LF is a line cut short (a full disk, a crash),
    // which the next line must not be glued to.
    int lockAndReadLastByte();

  private:
    intptr_t handle_;  // the descriptor or HANDLE; -1 when not open
};
