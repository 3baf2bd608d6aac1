#include "support/nm_mock.h"

#include <pwd.h>
#include <unistd.h>

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDeadlineTimer>
#include <QFile>
#include <QThread>
#include <cstdlib>

#ifndef TELEORA_NM_MOCK_TEMPLATE
#error "TELEORA_NM_MOCK_TEMPLATE must name the mock template"
#endif

namespace {
const QString kNm = QStringLiteral("org.freedesktop.NetworkManager");

void Stop(std::unique_ptr<QProcess>& process) {
    if (!process) return;
    if (process->state() != QProcess::NotRunning) {
        process->kill();
        process->waitForFinished(5000);
    }
    process.reset();
}

// The private bus's configuration, written into dir: it listens there and
// admits the user running the test and nobody else. Under a restrictive
// default policy replies and signals pass only when allowed by name.
QString WriteBusConf(const QString& dir) {
    const passwd* user = getpwuid(geteuid());
    if (user == nullptr) return {};
    const QString name = QString::fromLocal8Bit(user->pw_name);
    QString conf = QStringLiteral(
        "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
        " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
        "<busconfig>\n"
        "  <type>system</type>\n"
        "  <listen>unix:dir=%1</listen>\n"
        "  <auth>EXTERNAL</auth>\n"
        "  <policy context=\"default\">\n"
        "    <deny user=\"*\"/>\n"
        "    <allow user=\"%2\"/>\n"
        "    <deny own=\"*\"/>\n"
        "    <deny send_type=\"method_call\"/>\n"
        "  </policy>\n"
        "  <policy user=\"%2\">\n"
        "    <allow own=\"*\"/>\n");
    for (const char* type : {"method_call", "signal", "method_return", "error"}) {
        conf += QStringLiteral("    <allow send_type=\"%1\"/>\n    <allow receive_type=\"%1\"/>\n")
                    .arg(QLatin1String(type));
    }
    conf += QStringLiteral("  </policy>\n</busconfig>\n");
    const QString path = dir + QStringLiteral("/bus.conf");
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(conf.arg(dir, name).toUtf8()) < 0) {
        return {};
    }
    return path;
}
}  // namespace

NmMock::~NmMock() {
    QDBusConnection::disconnectFromBus(QStringLiteral("nm-mock-control-%1").arg(generation_));
    Stop(mock_);
    Stop(bus_);
}

bool NmMock::Start(const QString& parameters) {
    if (!bus_) {
        const QString conf = busDir_.isValid() ? WriteBusConf(busDir_.path()) : QString();
        if (conf.isEmpty()) {
            error_ = QStringLiteral("the private bus's configuration could not be written");
            return false;
        }
        bus_ = std::make_unique<QProcess>();
        bus_->setProgram(QStringLiteral("dbus-daemon"));
        bus_->setArguments({QStringLiteral("--nofork"), QStringLiteral("--print-address=1"),
                            QStringLiteral("--config-file=") + conf});
        bus_->start();
        if (!bus_->waitForStarted(5000) || !bus_->waitForReadyRead(5000)) {
            error_ = QStringLiteral("dbus-daemon did not start (package dbus)");
            return false;
        }
        address_ = QString::fromUtf8(bus_->readLine()).trimmed();
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", address_.toUtf8());
    }
    Stop(mock_);
    mock_ = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), address_);
    mock_->setProcessEnvironment(env);
    mock_->setStandardOutputFile(QProcess::nullDevice());
    mock_->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QStringList args = {QStringLiteral("-m"), QStringLiteral("dbusmock"),
                        QStringLiteral("--template"), QStringLiteral(TELEORA_NM_MOCK_TEMPLATE)};
    if (!parameters.isEmpty()) args << QStringLiteral("-p") << parameters;
    mock_->start(QStringLiteral("/usr/bin/python3"), args);
    if (!mock_->waitForStarted(5000)) {
        error_ = QStringLiteral("python3-dbusmock did not start");
        return false;
    }
    QDeadlineTimer deadline(15000);
    while (!deadline.hasExpired()) {
        if (Control().interface()->isServiceRegistered(kNm).value()) return true;
        if (mock_->state() == QProcess::NotRunning) break;
        QThread::msleep(20);
    }
    error_ = QStringLiteral("the NetworkManager mock did not appear on the bus");
    return false;
}

void NmMock::KillMock() {
    Stop(mock_);
    QDeadlineTimer deadline(5000);
    while (!deadline.hasExpired() && Control().interface()->isServiceRegistered(kNm).value()) {
        QThread::msleep(10);
    }
}

qint64 NmMock::MockPid() const {
    return mock_ ? mock_->processId() : 0;
}

QDBusConnection NmMock::Control() {
    const QString name = QStringLiteral("nm-mock-control-%1").arg(generation_);
    QDBusConnection connection(name);
    if (connection.isConnected()) return connection;
    QDBusConnection::disconnectFromBus(name);
    ++generation_;
    return QDBusConnection::connectToBus(address_,
                                         QStringLiteral("nm-mock-control-%1").arg(generation_));
}

QDBusMessage NmMock::CallMock(const QString& method, const QList<QVariant>& args) {
    QDBusMessage call =
        QDBusMessage::createMethodCall(kNm, QStringLiteral("/org/freedesktop"),
                                       QStringLiteral("org.freedesktop.DBus.Mock"), method);
    call.setArguments(args);
    return Control().call(call, QDBus::Block, 10000);
}

QString NmMock::AddProfile(const QString& id, const QString& type) {
    QDBusMessage reply = CallMock(QStringLiteral("AddProfile"), {id, type});
    if (reply.arguments().isEmpty()) return QString();
    return reply.arguments().first().value<QDBusObjectPath>().path();
}

void NmMock::SetActivationOutcome(const QString& id, uint reason, uint delayMs, int deviceReason) {
    CallMock(QStringLiteral("SetActivationOutcome"), {id, reason, delayMs, deviceReason});
}

void NmMock::SetActivationError(const QString& id, const QString& name, const QString& message) {
    CallMock(QStringLiteral("SetActivationError"), {id, name, message});
}

void NmMock::Freeze(uint ms) {
    CallMock(QStringLiteral("Freeze"), {ms});
}

void NmMock::FreezeAfterActivation(const QString& id, uint ms) {
    CallMock(QStringLiteral("FreezeAfterActivation"), {id, ms});
}

void NmMock::BreakReply(const QString& what) {
    CallMock(QStringLiteral("BreakReply"), {what});
}

QStringList NmMock::ActiveIds() {
    QDBusMessage reply = CallMock(QStringLiteral("ActiveIds"), {});
    if (reply.arguments().isEmpty()) return {};
    return reply.arguments().first().toStringList();
}

void NmMock::Drop(const QString& id) {
    CallMock(QStringLiteral("Drop"), {id});
}

QString NmMock::Activate(const QString& profilePath) {
    QDBusMessage call =
        QDBusMessage::createMethodCall(kNm, QStringLiteral("/org/freedesktop/NetworkManager"), kNm,
                                       QStringLiteral("ActivateConnection"));
    call.setArguments({QVariant::fromValue(QDBusObjectPath(profilePath)),
                       QVariant::fromValue(QDBusObjectPath(QStringLiteral("/"))),
                       QVariant::fromValue(QDBusObjectPath(QStringLiteral("/")))});
    QDBusMessage reply = Control().call(call, QDBus::Block, 10000);
    if (reply.arguments().isEmpty()) return QString();
    return reply.arguments().first().value<QDBusObjectPath>().path();
}
