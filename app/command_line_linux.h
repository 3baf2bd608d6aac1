// The Linux program's command line, read before anything else starts: only
// "--version" and "--help" are its own, both answered on stdout without a
// display. Qt's standard options (-platform, -display, -session, ...) pass on
// to QApplication; anything else is refused.
#pragma once

// The value of HandleCommandLine when the program should go on and start.
inline constexpr int kContinueStart = -1;

// Answers --version and --help (exit code 0) and refuses unknown options or
// arguments with a message on stderr (exit code 2). Returns kContinueStart
// when the program should start normally.
int HandleCommandLine(int argc, const char* const* argv);
