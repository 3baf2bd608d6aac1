#include "app/linux/command_line.h"

#include <cstdio>
#include <cstring>

#ifndef TELEORA_VERSION
#define TELEORA_VERSION "unknown"
#endif

namespace {

const char kHelp[] =
    "Usage: teleora [--mode NAME] [--help] [--version]\n"
    "\n"
    "Keeps one dial-up connection (a NetworkManager VPN, WireGuard, PPPoE,\n"
    "mobile broadband, Bluetooth dial-up (DUN) or ADSL profile) up, down, or up\n"
    "only inside weekly time windows. It runs as an icon in the desktop's tray;\n"
    "its menu and its \"Configurazione...\" dialog are in Italian.\n"
    "\n"
    "It reads Teleora.ini and appends to teleoralog.txt in the folder it is\n"
    "started in. It needs a graphical session with a tray. One copy runs per\n"
    "user session: starting it again, also without a display (from a timer\n"
    "or cron), only passes --mode to the running copy.\n"
    "\n"
    "  --mode NAME  choose the menu's item NAME at start, as a click would:\n"
    "               \"Connesso\", \"Disconnesso\", \"Disabilitato\" or a rule's\n"
    "               name (case of A-Z ignored); without it the program starts\n"
    "               in \"Disabilitato\". An unknown or empty name ends it with\n"
    "               code 2.\n"
    "  --help       show this text and exit\n"
    "  --version    show the version and exit\n"
    "\n"
    "Qt's standard options (-platform, -display, -session, ...) are accepted.\n"
    "\n"
    "Exit status: 0 when it ends from its menu or with the session, after\n"
    "--help or --version, and after handing over to the running copy; 1 with\n"
    "no running copy and no graphical session (DISPLAY, WAYLAND_DISPLAY and\n"
    "QT_QPA_PLATFORM unset), or when the running copy does not answer; 2 for\n"
    "an unknown option, or a --mode name that is empty or no mode and no rule.\n"
    "See teleora(1).\n";

// Qt's standard options that take a value (as "-opt value" or "-opt=value"),
// and those that take none. Qt accepts them with one or two dashes.
const char* const kQtOptionsWithValue[] = {"platform",        "platformpluginpath",
                                           "platformtheme",   "plugin",
                                           "qwindowgeometry", "qwindowicon",
                                           "qwindowtitle",    "session",
                                           "display",         "style",
                                           "stylesheet",      "name",
                                           "title",           "geometry",
                                           "qmljsdebugger"};
const char* const kQtFlags[] = {"reverse", "widgetcount", "nograb", "dograb", "sync"};

template <size_t N>
bool InList(const char* const (&list)[N], const char* name, size_t length) {
    for (const char* item : list) {
        if (strlen(item) == length && strncmp(item, name, length) == 0) return true;
    }
    return false;
}

}  // namespace

int HandleCommandLine(int argc, const char* const* argv, const char** modeName) {
    *modeName = nullptr;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        const bool modeWithValue = strncmp(arg, "--mode=", 7) == 0;
        if (modeWithValue || strcmp(arg, "--mode") == 0) {
            // An empty name (a script's unset variable) is refused as a
            // missing one: it never reads as a switch that was made.
            const char* name = modeWithValue ? arg + 7 : i + 1 < argc ? argv[++i] : "";
            if (name[0] == '\0') {
                fputs("teleora: --mode needs a name\nTry 'teleora --help'.\n", stderr);
                return 2;
            }
            *modeName = name;
            continue;
        }
        if (strcmp(arg, "--version") == 0) {
            printf("teleora %s\n", TELEORA_VERSION);
            return fflush(stdout) == 0 ? 0 : 1;
        }
        if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) {
            fputs(kHelp, stdout);
            return fflush(stdout) == 0 ? 0 : 1;
        }
        if (arg[0] == '-' && arg[1] != '\0') {
            const char* name = arg + (arg[1] == '-' ? 2 : 1);
            const char* equals = strchr(name, '=');
            const size_t length = equals ? size_t(equals - name) : strlen(name);
            if (InList(kQtFlags, name, length) && !equals) continue;
            if (InList(kQtOptionsWithValue, name, length)) {
                if (!equals) ++i;  // the value follows as the next argument
                if (i < argc) continue;
            }
        }
        fprintf(stderr,
                "teleora: unknown option or argument '%s'\n"
                "Try 'teleora --help'.\n",
                arg);
        return 2;
    }
    return kContinueStart;
}
