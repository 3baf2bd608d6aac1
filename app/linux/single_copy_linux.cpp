#include "app/linux/single_copy_linux.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

namespace {

const char kPath[] = "/it/bresk/Teleora";

// The user's bus socket at path, as a D-Bus address ("" when path is not a
// socket of this user). Bytes outside D-Bus's plain set are %-escaped.
std::string BusAddressAt(const std::string& path) {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0 || !S_ISSOCK(info.st_mode) || info.st_uid != getuid()) {
        return std::string();
    }
    std::string address = "unix:path=";
    for (const unsigned char c : path) {
        if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
            c == '-' || c == '_' || c == '/' || c == '.' || c == '\\' || c == '*') {
            address += char(c);
        } else {
            static const char kHex[] = "0123456789abcdef";
            address += '%';
            address += kHex[c >> 4];
            address += kHex[c & 15];
        }
    }
    return address;
}

}  // namespace

void FindSessionBus() {
    if (getenv("DBUS_SESSION_BUS_ADDRESS") != nullptr) return;
    std::string address;
    const char* runtime = getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/')
        address = BusAddressAt(std::string(runtime) + "/bus");
    if (address.empty()) {
        address = BusAddressAt("/run/user/" + std::to_string(getuid()) + "/bus");
    }
    if (!address.empty()) setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
}

bool RunningCopyPresent() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return false;
    return bus.interface()->isServiceRegistered(QString::fromUtf8(kTeleoraBusName)).value();
}

SingleCopy::SingleCopy(std::function<QString(const QString&)> apply, QObject* parent)
    : QObject(parent), apply_(std::move(apply)) {}

bool SingleCopy::Claim() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return true;
    // The object is served before the name is taken, so a start that finds
    // the name taken always finds the object behind it.
    bus.registerObject(QString::fromUtf8(kPath), this, QDBusConnection::ExportAllSlots);
    const auto claimed = bus.interface()->registerService(
        QString::fromUtf8(kTeleoraBusName), QDBusConnectionInterface::DontQueueService,
        QDBusConnectionInterface::DontAllowReplacement);
    if (claimed.isValid() && claimed.value() == QDBusConnectionInterface::ServiceRegistered) {
        return true;
    }
    bus.unregisterObject(QString::fromUtf8(kPath));
    // Refused: another copy owns the name. A bus that could not answer at all
    // is no reason not to run.
    if (claimed.isValid()) return false;
    return !bus.interface()->isServiceRegistered(QString::fromUtf8(kTeleoraBusName)).value();
}

QString SingleCopy::SelectMode(const QString& name) {
    return apply_(name);
}

int HandOverToRunningCopy(const char* modeName) {
    QDBusMessage call = QDBusMessage::createMethodCall(
        QString::fromUtf8(kTeleoraBusName), QString::fromUtf8(kPath),
        QString::fromUtf8(kTeleoraBusName), QStringLiteral("SelectMode"));
    call << QString::fromUtf8(modeName != nullptr ? modeName : "");
    const QDBusMessage reply = QDBusConnection::sessionBus().call(call, QDBus::Block, 10000);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        fprintf(stderr, "teleora: Teleora already runs in this session but did not answer (%s)\n",
                qPrintable(reply.errorMessage()));
        return 1;
    }
    const QString refusal = reply.arguments().first().toString();
    if (refusal.isEmpty()) {
        if (modeName == nullptr) {
            fputs("teleora: Teleora already runs in this session\n", stderr);
        } else {
            fprintf(stderr,
                    "teleora: Teleora already runs in this session and now uses the mode \"%s\"\n",
                    modeName);
        }
        return 0;
    }
    fprintf(stderr, "%s\n", refusal.toUtf8().constData());
    return 2;
}
