#include "app/linux/tray_host_linux.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QStringList>
#include <QVariantMap>

namespace {

// How long the watcher may take to say whether a host is there.
constexpr int kHostQuestionTimeoutMs = 2000;

}  // namespace

void StatusNotifierHostWatch::Start() {
    const QString watcherName = QString::fromUtf8(kStatusNotifierWatcher);
    QDBusConnection bus = QDBusConnection::sessionBus();
    auto* watcher =
        new QDBusServiceWatcher(watcherName, bus, QDBusServiceWatcher::WatchForRegistration, this);
    connect(watcher, &QDBusServiceWatcher::serviceRegistered, this, &StatusNotifierHostWatch::Ask);
    // Only the watcher's owner is heard: the bus drops that signal from anyone else.
    bus.connect(watcherName, QString::fromUtf8(kStatusNotifierWatcherPath), watcherName,
                QStringLiteral("StatusNotifierHostRegistered"), this, SLOT(Ask()));
    Ask();
}

void StatusNotifierHostWatch::Ask() {
    if (stopped_) return;
    if (question_ != nullptr) {
        askAgain_ = true;
        return;
    }
    askAgain_ = false;
    QDBusMessage get = QDBusMessage::createMethodCall(
        QString::fromUtf8(kStatusNotifierWatcher), QString::fromUtf8(kStatusNotifierWatcherPath),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << QString::fromUtf8(kStatusNotifierWatcher)
        << QStringLiteral("IsStatusNotifierHostRegistered");
    question_ = new QDBusPendingCallWatcher(
        QDBusConnection::sessionBus().asyncCall(get, kHostQuestionTimeoutMs), this);
    connect(
        question_, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* call) {
            const QDBusMessage reply = call->reply();
            call->deleteLater();
            question_ = nullptr;
            if (stopped_) return;
            const bool host = reply.type() == QDBusMessage::ReplyMessage &&
                              !reply.arguments().isEmpty() &&
                              reply.arguments().first().value<QDBusVariant>().variant().toBool();
            const bool first = first_;
            first_ = false;
            emit Answered(host, first);
            if (askAgain_) Ask();
        });
}

void NotifyDesktop(const QString& appName, const QString& iconName, const QString& summary,
                   const QString& body) {
    const QString service = QString::fromUtf8(kNotificationService);
    QDBusMessage notify = QDBusMessage::createMethodCall(
        service, QLatin1Char('/') + QString(service).replace(QLatin1Char('.'), QLatin1Char('/')),
        service, QStringLiteral("Notify"));
    notify << appName << 0u << iconName << summary << body << QStringList() << QVariantMap() << -1;
    QDBusConnection::sessionBus().asyncCall(notify);
}
