#include "app/linux/tray_app_qt.h"

#include <QAction>
#include <QActionGroup>
#include <QCoreApplication>
#include <QCursor>
#include <QDir>
#include <QEventLoop>
#include <QGuiApplication>
#include <QMenu>
#include <QProcess>
#include <QSystemTrayIcon>
#include <QTimer>
#include <cstdio>

#include "app/linux/config_dialog_qt.h"
#include "app/linux/status_notifier_linux.h"
#include "app/linux/tray_host_linux.h"
#include "app/linux/xembed_tray_linux.h"
#include "log/event_log.h"
#include "resources/ui_texts.h"
#include "settings/settings_file.h"
#include "settings/shared_state.h"

// The icons are built into the static UI library; the linker keeps its
// resource object (and its start-up registration) only if something refers to
// it, so the registration is asked for here, before the first icon is loaded.
// Registering more than once is harmless.
static void RegisterIconResources() {
    Q_INIT_RESOURCE(icons_qt);
}

namespace {

// How long after start the tray may take to appear before the program says
// that there is none (a panel started at login may come up after it).
constexpr int kNoTrayNoticeDelayMs = 10000;
// How often X11 is asked whether an XEmbed tray has appeared meanwhile.
constexpr int kXEmbedTrayCheckMs = 5000;
// The item's identity on a StatusNotifierItem panel; the icon's name is also
// the notification's.
const char kItemId[] = "teleora";
const char kIconName[] = "teleora";

bool OnWayland() {
    return QGuiApplication::platformName().startsWith(QStringLiteral("wayland"));
}

}  // namespace

QIcon TeleoraIcon() {
    RegisterIconResources();
    QIcon icon;
    for (int size : {16, 32, 48, 64}) {
        icon.addFile(QStringLiteral(":/teleora/teleora-%1.png").arg(size), QSize(size, size));
    }
    return icon;
}

QtTrayApp::QtTrayApp(const TrayAppOptions& options, QObject* parent)
    : QObject(parent), options_(options), programIcon_(TeleoraIcon()) {
    if (!options_.startDetached) {
        options_.startDetached = [](const QString& program, const QStringList& args) {
            return QProcess::startDetached(program, args);
        };
    }
    if (!options_.quit) options_.quit = [] { QCoreApplication::quit(); };

    host_.ctx = this;
    host_.runConfigDialog = &HostRunDialog;
    host_.rebuildRuleItems = &HostRebuild;
    host_.saveSettings = &HostSave;
    host_.showLog = &HostShowLog;
    host_.exitProgram = &HostExit;
    host_.dialogOpen = &HostDialogOpen;
    host_.raiseDialog = &HostRaiseDialog;
    host_.cancelDialog = &HostCancelDialog;

    dialogCore_.shared = options_.shared;
    dialogCore_.service = options_.dialogService;
    dialogCore_.open = false;

    menu_ = new QMenu;
    menu_->setTitle(QStringLiteral(UI_MENU_TITLE));
    connect(menu_, &QMenu::aboutToShow, this, [this] { UpdateCheckMarks(); });
    RebuildMenu();
}

// Qt's tray icon, for an XEmbed tray only: Qt picks the icon's kind once per
// process, the first time a tray icon is made or a tray is asked for, and it
// is made only when no StatusNotifierItem host is there, so it is XEmbed.
void QtTrayApp::CreateIcon() {
    if (icon_ != nullptr) return;
    icon_ = new QSystemTrayIcon(programIcon_, this);
    icon_->setToolTip(QStringLiteral(UI_PROGRAM_NAME));
    // A right click opens the menu through Qt, a left click here at the pointer.
    icon_->setContextMenu(menu_);
    connect(icon_, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason why) {
                if (why == QSystemTrayIcon::Trigger) PopUpMenu(QCursor::pos());
            });
}

QtTrayApp::~QtTrayApp() {
    delete icon_;
    delete dialog_;
    delete menu_;
}

void QtTrayApp::RebuildMenu() {
    Settings live;
    CopyLiveSettings(options_.shared, &live);
    MenuItem items[kMaxMenuItems];
    const int n =
        BuildMenuItems(live.ruleTable, CurrentMode(options_.shared), items, kMaxMenuItems);
    menu_->clear();
    // The mode items form one exclusive group: the menu marks them as
    // alternatives, and exactly one carries the mark.
    delete modeGroup_;
    modeGroup_ = new QActionGroup(this);
    modeGroup_->setExclusionPolicy(QActionGroup::ExclusionPolicy::Exclusive);
    for (int i = 0; i < n; ++i) {
        if (items[i].separator) {
            menu_->addSeparator();
            continue;
        }
        QAction* action = menu_->addAction(QString::fromUtf8(items[i].text));
        const int id = items[i].commandId;
        Mode unused;
        action->setData(id);
        if (ModeForCommand(id, &unused)) {
            action->setCheckable(true);
            modeGroup_->addAction(action);
        }
        action->setChecked(items[i].checked);
        // The command runs once the menu has closed, as a posted call, so a
        // dialog it opens does not run inside the menu's own handling.
        connect(action, &QAction::triggered, this, [this, id] {
            QMetaObject::invokeMethod(
                this, [this, id] { RunCommand(id); }, Qt::QueuedConnection);
        });
    }
}

void QtTrayApp::UpdateCheckMarks() {
    Settings live;
    CopyLiveSettings(options_.shared, &live);
    const Mode mode = CurrentMode(options_.shared);
    for (QAction* action : menu_->actions()) {
        if (action->isSeparator()) continue;
        action->setChecked(
            IsItemChecked(action->data().toInt(), mode, live.ruleTable.nUserEntries));
    }
}

void QtTrayApp::PopUpMenu(const QPoint& at) {
    if (menu_->isVisible()) return;
    menu_->popup(at);
}

void QtTrayApp::RunCommand(int commandId) {
    if (stopped_) return;
    RunMenuCommand(host_, options_.shared, options_.wake, commandId);
    // The check mark follows at once (a panel's copy of the menu with it).
    if (!stopped_) UpdateCheckMarks();
}

void QtTrayApp::ShowIconWhenTrayAppears() {
    if (noTrayNotice_ != nullptr || stopped_) return;
    noTrayNotice_ = new QTimer(this);
    noTrayNotice_->setSingleShot(true);
    connect(noTrayNotice_, &QTimer::timeout, this, [this] {
        if (!IconInTray()) ReportNoTray();
    });
    noTrayNotice_->start(kNoTrayNoticeDelayMs);
    hostWatch_ = new StatusNotifierHostWatch(this);
    connect(hostWatch_, &StatusNotifierHostWatch::Answered, this, [this](bool host, bool first) {
        if (host) {
            ShowIconNow(true);
        } else if (first) {
            StartXEmbedChecks();
        }
    });
    hostWatch_->Start();
}

// Without a StatusNotifierItem host at start, under X11: an XEmbed tray now,
// or one checked for every few seconds (once the icon exists, Qt itself
// follows the XEmbed tray going and coming).
void QtTrayApp::StartXEmbedChecks() {
    if (OnWayland() || icon_ != nullptr || statusNotifier_ != nullptr || stopped_) return;
    if (XEmbedTrayPresent()) {
        ShowIconNow(false);
        return;
    }
    xembedCheck_ = new QTimer(this);
    connect(xembedCheck_, &QTimer::timeout, this, [this] {
        if (XEmbedTrayPresent()) ShowIconNow(false);
    });
    xembedCheck_->start(kXEmbedTrayCheckMs);
}

// One icon, of the tray's kind, for the whole run.
void QtTrayApp::ShowIconNow(bool statusNotifier) {
    if (xembedCheck_ != nullptr) xembedCheck_->stop();
    if (icon_ != nullptr || statusNotifier_ != nullptr || stopped_) return;
    // One icon for the whole run: no host's coming or going changes its kind.
    if (hostWatch_ != nullptr) hostWatch_->Stop();
    if (!statusNotifier) {
        CreateIcon();
        icon_->show();
        return;
    }
    // A left click (Activate) or the context menu request opens the menu at
    // the icon under X11. On Wayland a program cannot place a popup of its
    // own at a panel's icon (it would become an ordinary window): there both
    // do nothing and the panel shows the exported menu itself.
    std::function<void(const QPoint&)> popUp;
    if (!OnWayland()) popUp = [this](const QPoint& at) { PopUpMenu(at); };
    const StatusNotifierIdentity identity{
        QString::fromUtf8(kItemId), QStringLiteral(UI_PROGRAM_NAME), QString::fromUtf8(kIconName),
        QStringLiteral(UI_PROGRAM_NAME)};
    statusNotifier_ = new StatusNotifierItem(menu_, programIcon_, identity, std::move(popUp), this);
    if (!statusNotifier_->Show()) {
        delete statusNotifier_;
        statusNotifier_ = nullptr;
    }
}

bool QtTrayApp::IconInTray() const {
    return statusNotifier_ != nullptr ||
           (icon_ != nullptr && icon_->isVisible() && QSystemTrayIcon::isSystemTrayAvailable());
}

void QtTrayApp::ReportNoTray() {
    fprintf(stderr, "teleora: %s\n", kUiNoTrayNotice);
    fflush(stderr);
    NotifyDesktop(QStringLiteral(UI_PROGRAM_NAME), QString::fromUtf8(kIconName),
                  QStringLiteral(UI_PROGRAM_NAME), QString::fromUtf8(kUiNoTrayNotice));
}

bool QtTrayApp::Stop() {
    if (stopped_) return false;
    EndProgram(host_);
    return true;
}

void QtTrayApp::Finish() {
    if (stopped_) return;
    stopped_ = true;
    LogProgramStopped();
    if (noTrayNotice_ != nullptr) noTrayNotice_->stop();
    if (xembedCheck_ != nullptr) xembedCheck_->stop();
    if (hostWatch_ != nullptr) hostWatch_->Stop();
    if (icon_ != nullptr) icon_->hide();
    if (statusNotifier_ != nullptr) statusNotifier_->Hide();
    menu_->hide();
    options_.quit();
}

QStringList QtTrayApp::LogViewerCommand() {
    return {QStringLiteral("xdg-open"),
            QDir::current().absoluteFilePath(QString::fromUtf8(kLogFileName))};
}

void QtTrayApp::ShowLog() {
    const QStringList command = LogViewerCommand();
    if (options_.startDetached(command.first(), command.mid(1))) return;
    // Without the freedesktop opener, GLib's does the same job.
    options_.startDetached(QStringLiteral("gio"), {QStringLiteral("open"), command.last()});
}

// Shows the dialog and runs a local event loop until it ends, so the tray
// stays usable meanwhile (the dialog is not application-modal).
int QtTrayApp::RunDialog() {
    dialog_ = new QtConfigDialog(&dialogCore_);
    dialog_->setWindowIcon(programIcon_);
    dialogCore_.open = true;
    OnDialogInit(&dialogCore_);
    int result = kDialogCancel;
    QEventLoop loop;
    connect(dialog_, &QDialog::finished, &loop, [&loop, &result](int code) {
        result = code;
        loop.quit();
    });
    if (!stopped_) {
        RaiseDialog();
        loop.exec();
    }
    dialogCore_.open = false;
    dialog_->hide();
    dialog_->deleteLater();
    dialog_ = nullptr;
    return result == kDialogOk ? kDialogOk : kDialogCancel;
}

int QtTrayApp::HostRunDialog(void* ctx) {
    return static_cast<QtTrayApp*>(ctx)->RunDialog();
}

void QtTrayApp::HostRebuild(void* ctx) {
    static_cast<QtTrayApp*>(ctx)->RebuildMenu();
}

void QtTrayApp::HostSave(void* ctx) {
    auto* self = static_cast<QtTrayApp*>(ctx);
    if (self->options_.settingsStore.beginSave == nullptr) return;
    Settings live;
    CopyLiveSettings(self->options_.shared, &live);
    SaveSettings(self->options_.settingsStore, live);
}

void QtTrayApp::HostShowLog(void* ctx) {
    static_cast<QtTrayApp*>(ctx)->ShowLog();
}

void QtTrayApp::RaiseDialog() {
    dialog_->show();
    dialog_->raise();
    dialog_->activateWindow();
}

void QtTrayApp::HostExit(void* ctx) {
    static_cast<QtTrayApp*>(ctx)->Finish();
}

bool QtTrayApp::HostDialogOpen(void* ctx) {
    const auto* self = static_cast<QtTrayApp*>(ctx);
    return self->dialog_ != nullptr && self->dialogCore_.open;
}

void QtTrayApp::HostRaiseDialog(void* ctx) {
    static_cast<QtTrayApp*>(ctx)->RaiseDialog();
}

void QtTrayApp::HostCancelDialog(void* ctx) {
    OnCancel(&static_cast<QtTrayApp*>(ctx)->dialogCore_);
}
