// The Linux program's entry point: a Qt tray program on NetworkManager.
//
// Start-up follows the Windows program's order: load the settings, share
// them, set up the log, write "Teleora started", build the menu with its rule
// items, start the supervisor, show the tray icon (once a tray host exists),
// run the event loop. Two steps come before it: one copy runs per user
// session (a later start hands its --mode to that copy and ends, with or
// without a display), and a mode
// named with --mode is checked against the settings before anything starts,
// then chosen as the menu would choose it once the supervisor runs.
// "Esci", SIGTERM, SIGINT, SIGHUP and the session's end write "Teleora
// stopped" once and end the process at once with 0: the supervisor is never
// joined, so a D-Bus call or a dial in progress on its thread cannot hold the
// exit up, and nothing is torn down under it.
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QCoreApplication>
#include <QPixmapCache>
#include <QSocketNotifier>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "app/linux/command_line.h"
#include "app/linux/single_copy_linux.h"
#include "app/linux/tray_app_qt.h"
#include "app/menu.h"
#include "dialup/networkmanager_dialup_linux.h"
#include "log/event_log.h"
#include "settings/ini_file.h"
#include "settings/settings_file.h"
#include "settings/shared_state.h"
#include "supervisor/supervisor.h"

namespace {

// The program's state, in one record that lives for the whole process and is
// never destroyed: the process ends with _exit.
struct App {
    IniFileStore iniStore;
    ProfileStore store;
    Settings loaded;
    SharedState shared;
    Supervisor supervisor;
    DialUpService supervisorService;
    DialUpService dialogService;
    QtTrayApp* tray = nullptr;
    int signalPipe[2] = {-1, -1};
};

App g_app;

// The interrupted code may be about to read errno: the handler's write must
// not change it.
void OnSignal(int) {
    const int savedErrno = errno;
    const char byte = 1;
    ssize_t ignored = write(g_app.signalPipe[1], &byte, 1);
    (void)ignored;
    errno = savedErrno;
}

// Signals only write a byte to a socket pair; the event loop reads it and
// stops the program on the user-interface thread.
void CatchStopSignals(App* app) {
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, app->signalPipe) != 0) return;
    fcntl(app->signalPipe[1], F_SETFL, O_NONBLOCK);
    struct sigaction action {};
    action.sa_handler = &OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
}

bool HaveDisplay() {
    return getenv("DISPLAY") != nullptr || getenv("WAYLAND_DISPLAY") != nullptr ||
           getenv("QT_QPA_PLATFORM") != nullptr;
}

// The menu command a mode's name stands for under table, or 0 with the
// message that lists the names there are.
int CommandForName(const RuleTable& table, const QString& name, QString* refusal) {
    const int command = CommandForModeName(table, name.toUtf8().constData());
    if (command == 0) {
        char choices[kMaxMenuItems * (kRuleNameSize + 4)];
        ListModeNames(table, choices, sizeof choices);
        *refusal = QStringLiteral("teleora: there is no mode named \"%1\"; the modes are: %2")
                       .arg(name, QString::fromUtf8(choices));
    }
    return command;
}

// What the running copy does with a later start's --mode: the menu choice
// of that name, under the rules it runs with now.
QString ApplyModeFromLaterStart(App* app, const QString& name) {
    if (name.isEmpty() || app->tray == nullptr) return QString();
    Settings live;
    CopyLiveSettings(&app->shared, &live);
    QString refusal;
    const int command = CommandForName(live.ruleTable, name, &refusal);
    if (command != 0) app->tray->RunCommand(command);
    return refusal;
}

}  // namespace

int main(int argc, char** argv) {
    const char* modeName = nullptr;
    const int commandLineExit = HandleCommandLine(argc, argv, &modeName);
    if (commandLineExit != kContinueStart) return commandLineExit;
    // A later start needs only the session bus: from a timer, cron or a login
    // without a display it hands its --mode over all the same. A display is
    // asked for only by a start that is to become the running copy.
    FindSessionBus();
    if (!HaveDisplay()) {
        QCoreApplication core(argc, argv);
        if (RunningCopyPresent()) {
            const int status = HandOverToRunningCopy(modeName);
            fflush(nullptr);
            _exit(status);
        }
        fputs(
            "teleora: Teleora does not run in this session and there is no graphical session to "
            "start it in (DISPLAY, WAYLAND_DISPLAY and QT_QPA_PLATFORM are unset)\n",
            stderr);
        fflush(nullptr);
        _exit(1);
    }
    App* const self = &g_app;
    signal(SIGPIPE, SIG_IGN);
    CatchStopSignals(self);

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Teleora"));
    QApplication::setDesktopFileName(QStringLiteral("teleora"));
    QApplication::setQuitOnLastWindowClosed(false);
    // Qt keeps every scaled icon in its pixmap cache and wakes the program 30 s
    // later to clear it out; for a handful of tiny icons the cache saves
    // nothing and only costs that wake-up after each start and menu use.
    QPixmapCache::setCacheLimit(0);
    QApplication::setWindowIcon(TeleoraIcon());

    auto* single =
        new SingleCopy([self](const QString& name) { return ApplyModeFromLaterStart(self, name); });
    if (!single->Claim()) {
        const int status = HandOverToRunningCopy(modeName);
        fflush(nullptr);
        _exit(status);
    }

    OpenIniFileStore(&self->iniStore, kSettingsFileName);
    self->store = MakeIniProfileStore(&self->iniStore);
    LoadSettings(self->store, &self->loaded);
    int startCommand = 0;
    if (modeName != nullptr) {
        QString refusal;
        startCommand =
            CommandForName(self->loaded.ruleTable, QString::fromUtf8(modeName), &refusal);
        if (startCommand == 0) {
            fprintf(stderr, "%s\n", refusal.toUtf8().constData());
            fflush(nullptr);
            _exit(2);
        }
    }
    InitSharedState(&self->shared, self->loaded);

    // One NetworkManager instance per thread: the supervisor's, with room for a
    // slow daemon, and the dialog's, kept short so the dialog opens promptly.
    NmDialUpOptions supervisorOptions;
    NmDialUpOptions dialogOptions;
    dialogOptions.callTimeoutMs = 1000;
    dialogOptions.operationBudgetMs = 2000;
    self->supervisorService =
        MakeNetworkManagerDialUpService(CreateNetworkManagerDialUp(supervisorOptions));
    self->dialogService =
        MakeNetworkManagerDialUpService(CreateNetworkManagerDialUp(dialogOptions));

    const EventLog log{kLogFileName, SystemClock(), ErrorTextOf(&self->supervisorService)};
    ConfigureEventLog(log);
    LogProgramStarted();

    TrayAppOptions options;
    options.shared = &self->shared;
    options.dialogService = &self->dialogService;
    options.settingsStore = self->store;
    self->tray = new QtTrayApp(options);
    QtTrayApp* const tray = self->tray;

    self->supervisor.service = &self->supervisorService;
    self->supervisor.shared = &self->shared;
    self->supervisor.clock = SystemClock();
    self->supervisor.log = log;
    StartSupervisor(&self->supervisor);
    tray->SetWakeEvent(self->supervisor.wake);
    if (startCommand != 0) tray->RunCommand(startCommand);

    if (self->signalPipe[0] >= 0) {
        auto* notifier = new QSocketNotifier(self->signalPipe[0], QSocketNotifier::Read, tray);
        QObject::connect(notifier, &QSocketNotifier::activated, tray, [self, tray] {
            char bytes[16];
            ssize_t ignored = read(self->signalPipe[0], bytes, sizeof bytes);
            (void)ignored;
            tray->Stop();
        });
    }
    // The session manager ends the program by quitting the application.
    QObject::connect(&app, &QCoreApplication::aboutToQuit, tray, [tray] { tray->Stop(); });

    tray->ShowIconWhenTrayAppears();
    app.exec();
    tray->Stop();  // no-op when the loop ended through Stop already
    fflush(nullptr);
    _exit(0);
}
