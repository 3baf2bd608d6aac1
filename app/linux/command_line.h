// The Linux program's command line, read before anything else starts: only
// "--version", "--help" (both answered on stdout without a display) and
// "--mode NAME" are its own. Qt's standard options (-platform, -display, -session, ...) pass on
// to QApplication; anything else is refused.
#pragma once

// The value of HandleCommandLine when the program should go on and start.
inline constexpr int kContinueStart = -1;

// Answers --version and --help (exit code 0) and refuses unknown options or
// arguments, and --mode without a name or with an empty one, with a message
// on stderr (exit code 2). Returns kContinueStart when the program should start normally, with
// *modeName pointing at the name given with --mode (the last one), or null.
int HandleCommandLine(int argc, const char* const* argv, const char** modeName);
