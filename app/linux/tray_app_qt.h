// The tray shell on Qt: the status icon, its popup menu and the menu
// commands' host. What the menu shows and what every command does is the
// core's (menu.h); this class builds the QMenu from BuildMenuItems, sets the
// check marks from IsItemChecked and hands every chosen item to
// RunMenuCommand, after the menu has closed.
//
// While the configuration dialog is open the tray stays usable: the modes and
// "Log" work as usual; what a second "Configurazione..." and "Esci" do then is
// the core's (RunMenuCommand, EndProgram), this class only answers whether the
// dialog is open, raises it and cancels it.
#pragma once

#include <QIcon>
#include <QObject>
#include <QPoint>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

#include "app/dialog/config_dialog.h"
#include "app/menu.h"
#include "settings/profile_store.h"

class QActionGroup;
class QMenu;
class QSystemTrayIcon;
class QTimer;
class StatusNotifierHostWatch;
class StatusNotifierItem;
class QtConfigDialog;
struct SharedState;
struct WakeEvent;

struct TrayAppOptions {
    SharedState* shared = nullptr;
    WakeEvent* wake = nullptr;                     // may be set later, see SetWakeEvent
    const DialUpService* dialogService = nullptr;  // lists the phonebook for the dialog
    ProfileStore settingsStore{};                  // where OK saves the settings
    // Starts a program without waiting for it and without a shell; false when
    // it could not be started. Defaults to QProcess::startDetached.
    std::function<bool(const QString& program, const QStringList& args)> startDetached;
    // Ends the program: called once, by "Esci" or by Stop(). Defaults to
    // QCoreApplication::quit.
    std::function<void()> quit;
};

class QtTrayApp : public QObject {
    Q_OBJECT
  public:
    explicit QtTrayApp(const TrayAppOptions& options, QObject* parent = nullptr);
    ~QtTrayApp() override;

    void SetWakeEvent(WakeEvent* wake) { options_.wake = wake; }

    // The popup menu (its rule items match the live rule table).
    QMenu* Menu() const { return menu_; }
    // Carries out one menu command, as choosing its item does.
    void RunCommand(int commandId);
    // The dialog on screen, or null.
    QtConfigDialog* OpenDialog() const { return dialog_; }

    // Shows the status icon as soon as a tray is there: a StatusNotifierItem
    // host on the session bus (watched for; the program's own item, see
    // status_notifier_linux.h), or, under X11, an XEmbed tray (checked for
    // every 5 s; Qt's tray icon). When there is still no tray some seconds after
    // this call, says so once: a desktop notification and a line on stderr.
    void ShowIconWhenTrayAppears();
    // Whether the icon sits in a tray now.
    bool IconInTray() const;
    // Cancels an open dialog, writes the stop line (once), hides the icon and
    // ends the event loop (EndProgram). "Esci", SIGTERM, SIGINT, SIGHUP and the
    // end of the session all come here. Returns false when it had already run.
    bool Stop();
    bool Stopped() const { return stopped_; }

    // The command line that shows the log: the desktop's opener with the log
    // file's absolute path.
    static QStringList LogViewerCommand();

  private:
    void CreateIcon();
    void StartXEmbedChecks();
    void ShowIconNow(bool statusNotifier);
    void ReportNoTray();
    void RebuildMenu();
    void UpdateCheckMarks();
    void PopUpMenu(const QPoint& at);
    int RunDialog();
    void RaiseDialog();
    void ShowLog();
    void Finish();

    static int HostRunDialog(void* ctx);
    static void HostRebuild(void* ctx);
    static void HostSave(void* ctx);
    static void HostShowLog(void* ctx);
    static void HostExit(void* ctx);
    static bool HostDialogOpen(void* ctx);
    static void HostRaiseDialog(void* ctx);
    static void HostCancelDialog(void* ctx);

    TrayAppOptions options_;
    MenuHost host_{};
    ConfigDialog dialogCore_{};
    QtConfigDialog* dialog_ = nullptr;
    QMenu* menu_ = nullptr;
    QActionGroup* modeGroup_ = nullptr;             // the mode items of the current menu
    QSystemTrayIcon* icon_ = nullptr;               // in an XEmbed tray
    StatusNotifierItem* statusNotifier_ = nullptr;  // on a StatusNotifierItem panel
    QTimer* noTrayNotice_ = nullptr;
    QTimer* xembedCheck_ = nullptr;                 // under X11, while there is no tray
    StatusNotifierHostWatch* hostWatch_ = nullptr;  // while the icon waits for a tray
    QIcon programIcon_;
    bool stopped_ = false;
};

// The program's icon, from the built-in images.
QIcon TeleoraIcon();
