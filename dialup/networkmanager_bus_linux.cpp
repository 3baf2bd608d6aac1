#include "dialup/networkmanager_bus_linux.h"

#include <QDBusMessage>
#include <QDBusMetaType>
#include <QMap>
#include <cstring>

#include "dialup/networkmanager_codes.h"

namespace {

const QString kSettingsPath = QStringLiteral("/org/freedesktop/NetworkManager/Settings");
const QString kSettingsIface = QStringLiteral("org.freedesktop.NetworkManager.Settings");
const QString kProfileIface = QStringLiteral("org.freedesktop.NetworkManager.Settings.Connection");
const QString kPropsIface = QStringLiteral("org.freedesktop.DBus.Properties");

const char* const kDialUpTypes[] = {"vpn",  "wireguard", "pppoe", "gsm",
                                    "cdma", "bluetooth", "adsl"};

QVariant Unwrap(const QVariant& value) {
    if (value.metaType() == QMetaType::fromType<QDBusVariant>()) {
        return value.value<QDBusVariant>().variant();
    }
    return value;
}

// A name that fits the 256-byte entry-name field.
bool FitsEntryField(const QString& name) {
    return name.toUtf8().size() <= kNmEntryNameMax;
}

}  // namespace

bool IsDialUpConnectionType(const char* type) {
    for (const char* kind : kDialUpTypes) {
        if (strcmp(type, kind) == 0) return true;
    }
    return false;
}

bool NmOpenBus(const QString& name, bool* opened, QDBusConnection* out) {
    if (*opened) {
        QDBusConnection existing(name);
        if (existing.isConnected()) {
            *out = existing;
            return true;
        }
        QDBusConnection::disconnectFromBus(name);
        *opened = false;
    }
    static const int registered = [] {
        qDBusRegisterMetaType<QMap<QString, QVariantMap>>();
        return 1;
    }();
    (void)registered;
    QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SystemBus, name);
    *opened = true;
    if (!bus.isConnected()) return false;
    *out = bus;
    return true;
}

NmCallResult NmCall(const QDBusConnection& bus, const NmBudget& budget, const QString& path,
                    const QString& iface, const QString& method, const QList<QVariant>& args) {
    NmCallResult result;
    int timeout = budget.NextCallMs();
    if (timeout <= 0) {
        result.code = kNmNoAnswer;
        return result;
    }
    QDBusMessage message = QDBusMessage::createMethodCall(kNmService, path, iface, method);
    message.setArguments(args);
    QDBusMessage reply = bus.call(message, QDBus::Block, timeout);
    if (reply.type() == QDBusMessage::ReplyMessage) {
        result.arguments = reply.arguments();
        return result;
    }
    if (reply.type() == QDBusMessage::ErrorMessage) {
        result.code = NmCodeForDbusError(reply.errorName().toUtf8().constData());
    } else {
        result.code = kNmBadReply;
    }
    return result;
}

int32_t NmGetProperty(const QDBusConnection& bus, const NmBudget& budget, const QString& path,
                      const QString& iface, const QString& name, QVariant* out) {
    NmCallResult r = NmCall(bus, budget, path, kPropsIface, QStringLiteral("Get"), {iface, name});
    if (r.code != 0) return r.code;
    if (r.arguments.isEmpty()) return kNmBadReply;
    *out = Unwrap(r.arguments.first());
    return 0;
}

int32_t NmGetAllProperties(const QDBusConnection& bus, const NmBudget& budget, const QString& path,
                           const QString& iface, QVariantMap* out) {
    NmCallResult r = NmCall(bus, budget, path, kPropsIface, QStringLiteral("GetAll"), {iface});
    if (r.code != 0) return r.code;
    if (r.arguments.isEmpty() || !NmDemarshal(r.arguments.first(), out)) return kNmBadReply;
    return 0;
}

bool NmReadPaths(const QVariant& value, QList<QDBusObjectPath>* out) {
    return NmDemarshal(Unwrap(value), out);
}

uint NmReadUint(const QVariantMap& map, const QString& key) {
    return Unwrap(map.value(key)).toUInt();
}

QString NmReadString(const QVariantMap& map, const QString& key) {
    return Unwrap(map.value(key)).toString();
}

int32_t NmListActive(const QDBusConnection& bus, const NmBudget& budget,
                     std::vector<NmActiveInfo>* out) {
    QVariant value;
    int32_t rc =
        NmGetProperty(bus, budget, kNmPath, kNmIface, QStringLiteral("ActiveConnections"), &value);
    if (rc != 0) return rc;
    QList<QDBusObjectPath> paths;
    if (!NmReadPaths(value, &paths)) return kNmBadReply;
    for (const QDBusObjectPath& path : paths) {
        QVariantMap props;
        rc = NmGetAllProperties(bus, budget, path.path(), kNmActiveIface, &props);
        if (rc == kNmNoSuchObject) continue;  // ended between the two calls
        if (rc != 0) return rc;
        NmActiveInfo info;
        info.path = path.path();
        info.id = NmReadString(props, QStringLiteral("Id"));
        info.uuid = NmReadString(props, QStringLiteral("Uuid"));
        info.type = NmReadString(props, QStringLiteral("Type"));
        info.state = NmReadUint(props, QStringLiteral("State"));
        NmReadPaths(props.value(QStringLiteral("Devices")), &info.devices);
        if (!IsDialUpConnectionType(info.type.toUtf8().constData())) continue;
        if (!FitsEntryField(info.id)) continue;
        out->push_back(info);
    }
    return 0;
}

int32_t NmListProfiles(const QDBusConnection& bus, const NmBudget& budget,
                       std::vector<NmProfileInfo>* out) {
    NmCallResult r =
        NmCall(bus, budget, kSettingsPath, kSettingsIface, QStringLiteral("ListConnections"));
    if (r.code != 0) return r.code;
    QList<QDBusObjectPath> paths;
    if (r.arguments.isEmpty() || !NmReadPaths(r.arguments.first(), &paths)) return kNmBadReply;
    for (const QDBusObjectPath& path : paths) {
        NmCallResult s =
            NmCall(bus, budget, path.path(), kProfileIface, QStringLiteral("GetSettings"));
        if (s.code == kNmNoSuchObject) continue;  // deleted meanwhile
        if (s.code != 0) return s.code;
        QMap<QString, QVariantMap> settings;
        if (s.arguments.isEmpty() || !NmDemarshal(s.arguments.first(), &settings)) {
            return kNmBadReply;
        }
        const QVariantMap connection = settings.value(QStringLiteral("connection"));
        NmProfileInfo info;
        info.path = path.path();
        info.id = NmReadString(connection, QStringLiteral("id"));
        info.uuid = NmReadString(connection, QStringLiteral("uuid"));
        info.type = NmReadString(connection, QStringLiteral("type"));
        if (!IsDialUpConnectionType(info.type.toUtf8().constData())) continue;
        if (!FitsEntryField(info.id)) continue;
        out->push_back(info);
    }
    return 0;
}
