#include "dialup/networkmanager_watch_linux.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <thread>

#include "common/wake_event.h"
#include "dialup/networkmanager_bus_linux.h"
#include "dialup/networkmanager_codes.h"

namespace {

// Without a system bus the watcher tries again, less and less often
// (kNmFirstRetryBusMs to kNmLastRetryBusMs): a machine that has none costs
// one wake-up every five minutes in the end.
constexpr int kProbeBusMs = 3000;
const QString kWatchBus = QStringLiteral("teleora-watch");

std::atomic<int> g_kindsKept{0};

}  // namespace

// Lives on its own thread; every call it makes is asynchronous.
class NmWatcher : public QObject {
    Q_OBJECT

  public:
    explicit NmWatcher(WakeEvent* wake) : wake_(wake) {}

  public slots:
    void Start() {
        // Qt's connect would wait for a silent bus for ever, holding up every
        // other bus connection of the program: it is tried only once the bus
        // has answered, and on a thread of its own, since a bus may still
        // stall after that; this thread only hears how it went.
        try {
            std::thread([this] {
                const bool connected =
                    NmSystemBusAnswers(kProbeBusMs) &&
                    QDBusConnection::connectToBus(QDBusConnection::SystemBus, kWatchBus)
                        .isConnected();
                QMetaObject::invokeMethod(
                    this, [this, connected] { Connected(connected); }, Qt::QueuedConnection);
            }).detach();
        } catch (...) {
            Connected(false);  // no thread to connect on: try again later
        }
    }

    void Connected(bool connected) {
        if (!connected) {
            QDBusConnection::disconnectFromBus(kWatchBus);
            QTimer::singleShot(retryMs_, this, &NmWatcher::Start);
            retryMs_ = qMin(retryMs_ * 2, kNmLastRetryBusMs);
            return;
        }
        bus_ = QDBusConnection(kWatchBus);
        retryMs_ = kNmFirstRetryBusMs;
        bus_.connect(kNmService, kNmPath, kNmPropertiesIface, QStringLiteral("PropertiesChanged"),
                     this, SLOT(OnManagerProperties(QDBusMessage)));
        bus_.connect(kNmService, QString(), kNmActiveIface, QStringLiteral("StateChanged"), this,
                     SLOT(OnStateChanged(QDBusMessage)));
        auto* owner = new QDBusServiceWatcher(kNmService, bus_,
                                              QDBusServiceWatcher::WatchForOwnerChange, this);
        connect(owner, &QDBusServiceWatcher::serviceOwnerChanged, this, &NmWatcher::OnRestart);
        FetchActive();
    }

    // The manager's ActiveConnections changed: a connection appeared or went.
    void OnManagerProperties(const QDBusMessage& message) {
        const QList<QVariant> args = message.arguments();
        if (args.size() < 2 || args[0].toString() != kNmIface) return;
        const QVariantMap changed = qdbus_cast<QVariantMap>(args[1]);
        auto it = changed.find(QStringLiteral("ActiveConnections"));
        if (it == changed.end()) return;
        Update(qdbus_cast<QList<QDBusObjectPath>>(*it));
    }

    void OnStateChanged(const QDBusMessage& message) {
        const QString path = message.path();
        auto it = dialUp_.find(path);
        if (it == dialUp_.end()) {
            FetchType(path);  // not known yet: wakes once its kind is known
        } else if (*it) {
            Wake();
        }
    }

    void OnRestart() {
        dialUp_.clear();
        g_kindsKept = 0;
        known_.clear();
        Wake();
        FetchActive();
    }

  private:
    void Wake() { SignalWakeEvent(wake_); }

    void FetchActive() {
        QDBusMessage get = QDBusMessage::createMethodCall(kNmService, kNmPath, kNmPropertiesIface,
                                                          QStringLiteral("Get"));
        get << kNmIface << QStringLiteral("ActiveConnections");
        auto* call = new QDBusPendingCallWatcher(bus_.asyncCall(get), this);
        connect(call, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
            QDBusPendingReply<QDBusVariant> reply = *w;
            w->deleteLater();
            if (reply.isError()) return;
            Update(qdbus_cast<QList<QDBusObjectPath>>(reply.value().variant()));
        });
    }

    // Which of the active connections are dial-up ones is asked once per
    // connection; a LAN connection's appearing or going wakes nothing.
    void FetchType(const QString& path) {
        QDBusMessage get = QDBusMessage::createMethodCall(kNmService, path, kNmPropertiesIface,
                                                          QStringLiteral("Get"));
        get << kNmActiveIface << QStringLiteral("Type");
        auto* call = new QDBusPendingCallWatcher(bus_.asyncCall(get), this);
        connect(call, &QDBusPendingCallWatcher::finished, this,
                [this, path](QDBusPendingCallWatcher* w) {
                    QDBusPendingReply<QDBusVariant> reply = *w;
                    w->deleteLater();
                    if (reply.isError()) return;
                    // A bluetooth link's kind (DUN or PAN) is not on the
                    // active connection: it counts as dial-up, which at worst
                    // runs one pass too many.
                    const QByteArray type = reply.value().variant().toString().toUtf8();
                    const bool dialUp = IsDialUpConnectionType(type.constData(), nullptr);
                    // A connection that has gone meanwhile is not kept.
                    if (!known_.contains(path)) return;
                    dialUp_.insert(path, dialUp);
                    g_kindsKept = int(dialUp_.size());
                    if (dialUp) Wake();
                });
    }

    void Update(const QList<QDBusObjectPath>& paths) {
        QSet<QString> now;
        for (const QDBusObjectPath& p : paths) now.insert(p.path());
        bool wake = false;
        for (const QString& gone : known_) {
            if (now.contains(gone)) continue;
            wake = wake || dialUp_.value(gone, false);
            dialUp_.remove(gone);
        }
        g_kindsKept = int(dialUp_.size());
        known_ = now;
        for (const QString& path : now) {
            if (!dialUp_.contains(path)) FetchType(path);
        }
        if (wake) Wake();
    }

    WakeEvent* wake_;
    int retryMs_ = kNmFirstRetryBusMs;
    QDBusConnection bus_{QString()};
    QSet<QString> known_;
    QHash<QString, bool> dialUp_;  // active connection path -> dial-up kind
};

int NetworkManagerWatchKindsKept() {
    return g_kindsKept.load();
}

int32_t StartNetworkManagerWatch(WakeEvent* wake) {
    auto* thread = new QThread;
    thread->setObjectName(QStringLiteral("nm-watch"));
    auto* watcher = new NmWatcher(wake);
    watcher->moveToThread(thread);
    QObject::connect(thread, &QThread::started, watcher, &NmWatcher::Start);
    thread->start();
    return thread->isRunning() ? 0 : kNmNoBus;
}

#include "networkmanager_watch_linux.moc"
