#include "dialup/networkmanager_dialup_linux.h"

#include <QAtomicInt>
#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QThread>
#include <QTimer>
#include <QVariant>
#include <QVariantMap>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "common/text.h"

namespace {

const QString kNmService = QStringLiteral("org.freedesktop.NetworkManager");
const QString kNmPath = QStringLiteral("/org/freedesktop/NetworkManager");
const QString kNmIface = QStringLiteral("org.freedesktop.NetworkManager");
const QString kSettingsPath = QStringLiteral("/org/freedesktop/NetworkManager/Settings");
const QString kSettingsIface = QStringLiteral("org.freedesktop.NetworkManager.Settings");
const QString kProfileIface = QStringLiteral("org.freedesktop.NetworkManager.Settings.Connection");
const QString kActiveIface = QStringLiteral("org.freedesktop.NetworkManager.Connection.Active");
const QString kDeviceIface = QStringLiteral("org.freedesktop.NetworkManager.Device");
const QString kPropsIface = QStringLiteral("org.freedesktop.DBus.Properties");

// NMActiveConnectionState and NMDeviceState values the dial looks at.
constexpr uint kActiveActivated = 2;
constexpr uint kActiveDeactivated = 4;
constexpr uint kDeviceFailed = 120;
// NMActiveConnectionStateReason values after which the device's own reason
// tells more (unknown, none, device disconnected).
constexpr uint kReasonUnknown = 0;
constexpr uint kReasonNone = 1;
constexpr uint kReasonDeviceDisconnected = 3;

constexpr int kEntryNameMax = kEntryNameFieldSize - 1;  // 256 bytes

const char* const kDialUpTypes[] = {"vpn",  "wireguard", "pppoe", "gsm",
                                    "cdma", "bluetooth", "adsl"};

// --- The code table ---------------------------------------------------------

struct CodeText {
    int32_t code;
    const char* text;
};

const CodeText kOwnTexts[] = {
    {kNmNoSuchProfile,
     "No dial-up connection profile of this name could be read from NetworkManager."},
    {kNmNotRunning, "NetworkManager is not running."},
    {kNmNoBus, "The system message bus cannot be reached."},
    {kNmNoAnswer, "NetworkManager did not answer in time."},
    {kNmBufferTooSmall, "The buffer is too small for the list of connections."},
    {kNmBadRecordSize, "The connection buffer has a record size this service does not know."},
    {kNmNoDialParams, "No dial parameters were read before the dial."},
    {kNmBadHandle, "The connection handle is not valid."},
    {kNmDialTimeout, "The connection did not come up in time."},
    {kNmBadReply, "NetworkManager gave an answer this program cannot read."},
    {kNmTooManyEntries, "There are more dial-up connection profiles than the list can hold."},
};

// 100 + NMActiveConnectionStateReason.
const char* const kActiveReasonTexts[] = {
    "The connection failed for an unknown reason.",                         // 0 unknown
    "The connection failed; NetworkManager gave no reason.",                // 1 none
    "The connection was disconnected by the user.",                         // 2
    "The device of the connection was disconnected.",                       // 3
    "The service providing the connection stopped unexpectedly.",           // 4
    "The connection's IP configuration was invalid.",                       // 5
    "The connection attempt timed out.",                                    // 6
    "The service providing the connection did not start in time.",          // 7
    "The service providing the connection failed to start.",                // 8
    "The connection needs secrets (passwords, keys) that were not given.",  // 9
    "The login failed: the user name or password was refused.",             // 10
    "The connection profile was deleted.",                                  // 11
    "A connection this one depends on failed.",                             // 12
    "The device of the connection could not be created.",                   // 13
    "The device of the connection was removed.",                            // 14
};

// 300 + NMDeviceStateReason.
const char* const kDeviceReasonTexts[] = {
    "The device failed; no reason was given.",                 // 0
    "The device failed for an unknown reason.",                // 1
    "The device is now managed.",                              // 2
    "The device is now unmanaged.",                            // 3
    "The device could not be readied for configuration.",      // 4
    "No IP configuration could be obtained.",                  // 5
    "The IP configuration is no longer valid.",                // 6
    "Secrets were required but not provided.",                 // 7
    "The 802.1X supplicant disconnected.",                     // 8
    "The 802.1X supplicant configuration failed.",             // 9
    "The 802.1X supplicant failed.",                           // 10
    "The 802.1X supplicant took too long to authenticate.",    // 11
    "PPP service failed to start.",                            // 12
    "The PPP service disconnected.",                           // 13
    "PPP failed.",                                             // 14
    "The DHCP client failed to start.",                        // 15
    "DHCP client error.",                                      // 16
    "The DHCP client failed.",                                 // 17
    "The shared connection service failed to start.",          // 18
    "The shared connection service failed.",                   // 19
    "The AutoIP service failed to start.",                     // 20
    "AutoIP service error.",                                   // 21
    "The AutoIP service failed.",                              // 22
    "The line is busy.",                                       // 23
    "No dial tone.",                                           // 24
    "No carrier could be established.",                        // 25
    "The dialling request timed out.",                         // 26
    "The dialling attempt failed.",                            // 27
    "The modem could not be initialised.",                     // 28
    "The access point name (APN) could not be selected.",      // 29
    "The modem is not searching for networks.",                // 30
    "The network refused the registration.",                   // 31
    "The network registration timed out.",                     // 32
    "The registration with the network failed.",               // 33
    "The PIN check failed.",                                   // 34
    "Firmware the device needs may be missing.",               // 35
    "The device was removed.",                                 // 36
    "NetworkManager went to sleep.",                           // 37
    "The device's active connection disappeared.",             // 38
    "The device was disconnected by the user or a program.",   // 39
    "The carrier or link changed.",                            // 40
    "The device's existing connection was taken over.",        // 41
    "The supplicant is now available.",                        // 42
    "The modem could not be found.",                           // 43
    "The Bluetooth connection failed or timed out.",           // 44
    "The SIM card is not inserted.",                           // 45
    "The SIM card needs its PIN.",                             // 46
    "The SIM card needs its PUK.",                             // 47
    "The SIM card is wrong.",                                  // 48
    "The InfiniBand device does not support connected mode.",  // 49
    "A dependency of the connection failed.",                  // 50
    "The Ethernet-over-ADSL (RFC 2684) bridge failed.",        // 51
    "ModemManager is not available.",                          // 52
    "The Wi-Fi network could not be found.",                   // 53
    "A secondary connection of the base connection failed.",   // 54
    "DCB or FCoE setup failed.",                               // 55
    "teamd control failed.",                                   // 56
    "The modem failed or is no longer available.",             // 57
    "The modem is now ready and available.",                   // 58
    "The SIM PIN was incorrect.",                              // 59
    "A new activation of the connection was queued.",          // 60
    "The device's parent changed.",                            // 61
    "The management of the device's parent changed.",          // 62
    "The Open vSwitch database could not be reached.",         // 63
    "A duplicate IP address was detected.",                    // 64
    "The chosen IP method is not supported.",                  // 65
    "The SR-IOV parameters could not be configured.",          // 66
    "The Wi-Fi P2P peer could not be found.",                  // 67
};

struct DbusError {
    const char* name;
    int32_t code;
};

// NetworkManager's and the bus's error names. Several names may share a code.
const DbusError kDbusErrors[] = {
    {"org.freedesktop.DBus.Error.ServiceUnknown", kNmNotRunning},
    {"org.freedesktop.DBus.Error.NameHasNoOwner", kNmNotRunning},
    {"org.freedesktop.DBus.Error.NoReply", kNmNoAnswer},
    {"org.freedesktop.DBus.Error.Timeout", kNmNoAnswer},
    {"org.freedesktop.DBus.Error.TimedOut", kNmNoAnswer},
    {"org.freedesktop.DBus.Error.Disconnected", kNmNoBus},
    {"org.freedesktop.DBus.Error.NoServer", kNmNoBus},
    {"org.freedesktop.DBus.Error.NoNetwork", kNmNoBus},
    {"org.freedesktop.DBus.Error.FileNotFound", kNmNoBus},
    {"org.freedesktop.NetworkManager.Failed", kNmDbusErrorBase + 1},
    {"org.freedesktop.NetworkManager.PermissionDenied", kNmDbusErrorBase + 2},
    {"org.freedesktop.NetworkManager.Settings.PermissionDenied", kNmDbusErrorBase + 2},
    {"org.freedesktop.NetworkManager.UnknownConnection", kNmDbusErrorBase + 3},
    {"org.freedesktop.NetworkManager.UnknownDevice", kNmDbusErrorBase + 4},
    {"org.freedesktop.NetworkManager.ConnectionNotAvailable", kNmDbusErrorBase + 5},
    {"org.freedesktop.NetworkManager.ConnectionNotActive", kNmDbusErrorBase + 6},
    {"org.freedesktop.NetworkManager.ConnectionAlreadyActive", kNmDbusErrorBase + 7},
    {"org.freedesktop.NetworkManager.DependencyFailed", kNmDbusErrorBase + 8},
    {"org.freedesktop.NetworkManager.InvalidArguments", kNmDbusErrorBase + 9},
    {"org.freedesktop.NetworkManager.Settings.InvalidArguments", kNmDbusErrorBase + 9},
    {"org.freedesktop.DBus.Error.InvalidArgs", kNmDbusErrorBase + 9},
    {"org.freedesktop.NetworkManager.MissingPlugin", kNmDbusErrorBase + 10},
    {"org.freedesktop.DBus.Error.AccessDenied", kNmDbusErrorBase + 11},
    {"org.freedesktop.DBus.Error.UnknownObject", kNmDbusErrorBase + 12},
    {"org.freedesktop.DBus.Error.UnknownMethod", kNmDbusErrorBase + 12},
    {"org.freedesktop.DBus.Error.UnknownInterface", kNmDbusErrorBase + 12},
    {"org.freedesktop.DBus.Error.UnknownProperty", kNmDbusErrorBase + 12},
    {"org.freedesktop.NetworkManager.Settings.InvalidConnection", kNmDbusErrorBase + 13},
    {"org.freedesktop.NetworkManager.AgentManager.NoSecrets", kNmDbusErrorBase + 14},
    {"org.freedesktop.NetworkManager.AgentManager.UserCanceled", kNmDbusErrorBase + 15},
};

const char* const kDbusErrorTexts[] = {
    "NetworkManager refused the request with an error this program does not know.",  // 200
    "NetworkManager could not carry out the request.",                               // 201
    "Not authorised to control this connection.",                                    // 202
    "NetworkManager could not find the connection (the profile, or the base "
    "connection a VPN needs).",                                 // 203
    "No suitable device was found for the connection.",         // 204
    "The connection is not available on any device.",           // 205
    "The connection is not active.",                            // 206
    "The connection is already active.",                        // 207
    "A connection this one depends on is not active.",          // 208
    "NetworkManager rejected the request's arguments.",         // 209
    "The plugin this connection needs is not installed.",       // 210
    "The system message bus denied access to NetworkManager.",  // 211
    "NetworkManager has no such object or method (the connection may have just "
    "ended).",                                                          // 212
    "The connection profile is invalid.",                               // 213
    "No secrets (passwords, keys) were available for the connection.",  // 214
    "The request for the connection's secrets was cancelled.",          // 215
};

constexpr int kActiveReasonCount = static_cast<int>(std::size(kActiveReasonTexts));
constexpr int kDeviceReasonCount = static_cast<int>(std::size(kDeviceReasonTexts));
constexpr int kDbusErrorCount = static_cast<int>(std::size(kDbusErrorTexts));

// --- D-Bus plumbing ---------------------------------------------------------

// A deadline for one operation; every call gets what is left of it.
class Budget {
  public:
    Budget(int totalMs, int callMs) : totalMs_(totalMs), callMs_(callMs) { timer_.start(); }
    // Milliseconds the next call may take; 0 when the budget is spent.
    int NextCallMs() const {
        qint64 left = totalMs_ - timer_.elapsed();
        if (left <= 0) return 0;
        return static_cast<int>(std::min<qint64>(left, callMs_));
    }

  private:
    QElapsedTimer timer_;
    int totalMs_;
    int callMs_;
};

struct CallResult {
    int32_t code = 0;  // 0 or the mapped error
    QList<QVariant> arguments;
};

// Reads a D-Bus value that may still be wrapped in a QDBusArgument.
template <typename T>
bool Demarshal(const QVariant& value, T* out) {
    if (value.metaType() == QMetaType::fromType<QDBusArgument>()) {
        const QDBusArgument arg = value.value<QDBusArgument>();
        *out = qdbus_cast<T>(arg);
        return true;
    }
    if (!value.canConvert<T>()) return false;
    *out = value.value<T>();
    return true;
}

QVariant Unwrap(const QVariant& value) {
    if (value.metaType() == QMetaType::fromType<QDBusVariant>()) {
        return value.value<QDBusVariant>().variant();
    }
    return value;
}

struct ActiveInfo {
    QString path;
    QString id;
    QString uuid;
    QString type;
    uint state = 0;
    QList<QDBusObjectPath> devices;
};

struct ProfileInfo {
    QString path;
    QString id;
    QString uuid;
    QString type;
};

struct StateEvent {
    QString path;
    uint state;
    uint reason;
};

// Receives NetworkManager's signals during a dial. It lives in the thread
// that uses the instance, so the dial's local event loop delivers them.
class SignalSink : public QObject {
    Q_OBJECT
  public:
    std::vector<StateEvent> activeEvents;
    std::vector<StateEvent> deviceFailures;
    bool serviceGone = false;
    QEventLoop* loop = nullptr;  // quit on every event while a dial waits

  public slots:
    void activeStateChanged(uint state, uint reason, const QDBusMessage& message) {
        if (activeEvents.size() < 256) activeEvents.push_back({message.path(), state, reason});
        Wake();
    }
    void deviceStateChanged(uint newState, uint, uint reason, const QDBusMessage& message) {
        if (newState == kDeviceFailed && deviceFailures.size() < 64) {
            deviceFailures.push_back({message.path(), newState, reason});
        }
        Wake();
    }
    void nameVanished() {
        serviceGone = true;
        Wake();
    }

  private:
    void Wake() {
        if (loop != nullptr) loop->quit();
    }
};

struct HandleSlot {
    DialUpHandle handle;
    QString path;
    QString uuid;
};

QAtomicInt g_instanceCounter;

}  // namespace

struct NetworkManagerDialUp {
    NmDialUpOptions options;
    QString connectionName;
    bool opened = false;
    SignalSink* sink = nullptr;  // created in the using thread, lives as long as the instance
    std::vector<HandleSlot> handles;
    DialUpHandle nextHandle = 1;
    // What getEntryDialParams found, for the next dial.
    bool haveDialParams = false;
    QString dialProfilePath;
    QString dialProfileUuid;  // also the Uuid of the profile's active connection
};

namespace {

// The instance's own bus connection, (re)opened when it is not connected.
bool Bus(NetworkManagerDialUp* nm, QDBusConnection* out) {
    if (nm->opened) {
        QDBusConnection existing(nm->connectionName);
        if (existing.isConnected()) {
            *out = existing;
            return true;
        }
        QDBusConnection::disconnectFromBus(nm->connectionName);
        nm->opened = false;
    }
    if (nm->sink == nullptr) {
        static const int registered = [] {
            qDBusRegisterMetaType<QMap<QString, QVariantMap>>();
            return 1;
        }();
        (void)registered;
        nm->sink = new (std::nothrow) SignalSink;
        if (nm->sink == nullptr) return false;
    }
    QDBusConnection bus =
        QDBusConnection::connectToBus(QDBusConnection::SystemBus, nm->connectionName);
    nm->opened = true;
    if (!bus.isConnected()) return false;
    *out = bus;
    return true;
}

CallResult Call(const QDBusConnection& bus, const Budget& budget, const QString& path,
                const QString& iface, const QString& method, const QList<QVariant>& args = {}) {
    CallResult result;
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

int32_t GetProperty(const QDBusConnection& bus, const Budget& budget, const QString& path,
                    const QString& iface, const QString& name, QVariant* out) {
    CallResult r = Call(bus, budget, path, kPropsIface, QStringLiteral("Get"), {iface, name});
    if (r.code != 0) return r.code;
    if (r.arguments.isEmpty()) return kNmBadReply;
    *out = Unwrap(r.arguments.first());
    return 0;
}

int32_t GetAllProperties(const QDBusConnection& bus, const Budget& budget, const QString& path,
                         const QString& iface, QVariantMap* out) {
    CallResult r = Call(bus, budget, path, kPropsIface, QStringLiteral("GetAll"), {iface});
    if (r.code != 0) return r.code;
    if (r.arguments.isEmpty() || !Demarshal(r.arguments.first(), out)) return kNmBadReply;
    return 0;
}

bool ReadPaths(const QVariant& value, QList<QDBusObjectPath>* out) {
    return Demarshal(Unwrap(value), out);
}

uint ReadUint(const QVariantMap& map, const QString& key) {
    return Unwrap(map.value(key)).toUInt();
}

QString ReadString(const QVariantMap& map, const QString& key) {
    return Unwrap(map.value(key)).toString();
}

// A name that fits the 256-byte entry-name field.
bool FitsEntryField(const QString& name) {
    return name.toUtf8().size() <= kEntryNameMax;
}

int32_t ListActive(const QDBusConnection& bus, const Budget& budget, std::vector<ActiveInfo>* out) {
    QVariant value;
    int32_t rc =
        GetProperty(bus, budget, kNmPath, kNmIface, QStringLiteral("ActiveConnections"), &value);
    if (rc != 0) return rc;
    QList<QDBusObjectPath> paths;
    if (!ReadPaths(value, &paths)) return kNmBadReply;
    for (const QDBusObjectPath& path : paths) {
        QVariantMap props;
        rc = GetAllProperties(bus, budget, path.path(), kActiveIface, &props);
        if (rc == kNmDbusErrorBase + 12) continue;  // ended between the two calls
        if (rc != 0) return rc;
        ActiveInfo info;
        info.path = path.path();
        info.id = ReadString(props, QStringLiteral("Id"));
        info.uuid = ReadString(props, QStringLiteral("Uuid"));
        info.type = ReadString(props, QStringLiteral("Type"));
        info.state = ReadUint(props, QStringLiteral("State"));
        ReadPaths(props.value(QStringLiteral("Devices")), &info.devices);
        if (!IsDialUpConnectionType(info.type.toUtf8().constData())) continue;
        if (!FitsEntryField(info.id)) continue;
        out->push_back(info);
    }
    return 0;
}

int32_t ListProfiles(const QDBusConnection& bus, const Budget& budget,
                     std::vector<ProfileInfo>* out) {
    CallResult r =
        Call(bus, budget, kSettingsPath, kSettingsIface, QStringLiteral("ListConnections"));
    if (r.code != 0) return r.code;
    QList<QDBusObjectPath> paths;
    if (r.arguments.isEmpty() || !ReadPaths(r.arguments.first(), &paths)) return kNmBadReply;
    for (const QDBusObjectPath& path : paths) {
        CallResult s = Call(bus, budget, path.path(), kProfileIface, QStringLiteral("GetSettings"));
        if (s.code == kNmDbusErrorBase + 12) continue;  // deleted meanwhile
        if (s.code != 0) return s.code;
        QMap<QString, QVariantMap> settings;
        if (s.arguments.isEmpty() || !Demarshal(s.arguments.first(), &settings)) return kNmBadReply;
        const QVariantMap connection = settings.value(QStringLiteral("connection"));
        ProfileInfo info;
        info.path = path.path();
        info.id = ReadString(connection, QStringLiteral("id"));
        info.uuid = ReadString(connection, QStringLiteral("uuid"));
        info.type = ReadString(connection, QStringLiteral("type"));
        if (!IsDialUpConnectionType(info.type.toUtf8().constData())) continue;
        if (!FitsEntryField(info.id)) continue;
        out->push_back(info);
    }
    return 0;
}

// The handle of an active connection, the same one for as long as it lives.
DialUpHandle HandleFor(NetworkManagerDialUp* nm, const QString& path, const QString& uuid) {
    for (const HandleSlot& slot : nm->handles) {
        if (slot.path == path && slot.uuid == uuid) return slot.handle;
    }
    DialUpHandle handle = nm->nextHandle++;
    nm->handles.push_back({handle, path, uuid});
    return handle;
}

// Keeps only the handles of the listed connections.
void KeepHandles(NetworkManagerDialUp* nm, const std::vector<ActiveInfo>& listed) {
    std::vector<HandleSlot> kept;
    for (const HandleSlot& slot : nm->handles) {
        for (const ActiveInfo& info : listed) {
            if (slot.path == info.path && slot.uuid == info.uuid) {
                kept.push_back(slot);
                break;
            }
        }
    }
    nm->handles.swap(kept);
}

void WriteRecord(void* buffer, uint32_t index, DialUpHandle handle, const QByteArray& name) {
    NmConnectionRecord record;
    memset(&record, 0, sizeof record);
    record.size = sizeof(NmConnectionRecord);
    record.handle = handle;
    size_t n = std::min<size_t>(static_cast<size_t>(name.size()), kEntryNameMax);
    memcpy(record.entryName, name.constData(), n);
    memcpy(static_cast<unsigned char*>(buffer) + static_cast<size_t>(index) * sizeof record,
           &record, sizeof record);
}

NmConnectionRecord ReadRecord(const void* buffer, uint32_t index) {
    NmConnectionRecord record;
    memcpy(&record,
           static_cast<const unsigned char*>(buffer) + static_cast<size_t>(index) * sizeof record,
           sizeof record);
    record.entryName[kEntryNameFieldSize - 1] = '\0';
    return record;
}

// --- The six operations -----------------------------------------------------

void PrepareBuffer(void*, void* buffer) {
    NmConnectionRecord record;
    memset(&record, 0, sizeof record);
    record.size = sizeof(NmConnectionRecord);
    memcpy(buffer, &record, sizeof record);
}

int32_t EnumConnections(void* ctx, void* buffer, uint32_t* sizeInOut, uint32_t* count) {
    try {
        auto* nm = static_cast<NetworkManagerDialUp*>(ctx);
        uint32_t firstSize = 0;
        memcpy(&firstSize, buffer, sizeof firstSize);
        if (firstSize != sizeof(NmConnectionRecord)) return kNmBadRecordSize;
        QDBusConnection bus(QString{});
        if (!Bus(nm, &bus)) return kNmNoBus;
        Budget budget(nm->options.operationBudgetMs, nm->options.callTimeoutMs);
        std::vector<ActiveInfo> active;
        int32_t rc = ListActive(bus, budget, &active);
        if (rc != 0) return rc;
        uint64_t needed = static_cast<uint64_t>(active.size()) * sizeof(NmConnectionRecord);
        if (needed > *sizeInOut) {
            *sizeInOut = needed > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(needed);
            return kNmBufferTooSmall;
        }
        KeepHandles(nm, active);
        for (uint32_t i = 0; i < active.size(); ++i) {
            DialUpHandle handle = HandleFor(nm, active[i].path, active[i].uuid);
            WriteRecord(buffer, i, handle, active[i].id.toUtf8());
        }
        *count = static_cast<uint32_t>(active.size());
        return 0;
    } catch (...) {
        return kNmBadReply;
    }
}

DialUpHandle ConnectionHandle(void*, const void* buffer, uint32_t index) {
    return ReadRecord(buffer, index).handle;
}

void ConnectionEntryName(void*, const void* buffer, uint32_t index, char* out, size_t outSize) {
    NmConnectionRecord record = ReadRecord(buffer, index);
    CopyBounded(out, record.entryName, outSize);
}

int32_t HangUp(void* ctx, DialUpHandle handle) {
    try {
        auto* nm = static_cast<NetworkManagerDialUp*>(ctx);
        const HandleSlot* slot = nullptr;
        for (const HandleSlot& s : nm->handles) {
            if (s.handle == handle) slot = &s;
        }
        if (slot == nullptr) return kNmBadHandle;
        const QString path = slot->path;
        const QString uuid = slot->uuid;
        QDBusConnection bus(QString{});
        if (!Bus(nm, &bus)) return kNmNoBus;
        Budget budget(nm->options.operationBudgetMs, nm->options.callTimeoutMs);
        // The path may name another connection by now (NetworkManager restarted
        // and numbers its active connections afresh): hang up only the one the
        // handle was given for, and only a dial-up one.
        QVariantMap props;
        int32_t rc = GetAllProperties(bus, budget, path, kActiveIface, &props);
        if (rc == kNmDbusErrorBase + 12) return kNmDbusErrorBase + 6;
        if (rc != 0) return rc;
        if (ReadString(props, QStringLiteral("Uuid")) != uuid ||
            !IsDialUpConnectionType(
                ReadString(props, QStringLiteral("Type")).toUtf8().constData())) {
            return kNmDbusErrorBase + 6;
        }
        CallResult r = Call(bus, budget, kNmPath, kNmIface, QStringLiteral("DeactivateConnection"),
                            {QVariant::fromValue(QDBusObjectPath(path))});
        return r.code;
    } catch (...) {
        return kNmBadReply;
    }
}

int32_t GetEntryDialParams(void* ctx, const char* entry) {
    try {
        auto* nm = static_cast<NetworkManagerDialUp*>(ctx);
        nm->haveDialParams = false;
        if (BoundedLength(entry, kEntryNameMax + 1) > static_cast<size_t>(kEntryNameMax)) {
            return kNmNoSuchProfile;
        }
        QDBusConnection bus(QString{});
        if (!Bus(nm, &bus)) return kNmNoBus;
        Budget budget(nm->options.operationBudgetMs, nm->options.callTimeoutMs);
        std::vector<ProfileInfo> profiles;
        int32_t rc = ListProfiles(bus, budget, &profiles);
        if (rc != 0) return rc;
        const QByteArray wanted(entry);
        for (const ProfileInfo& profile : profiles) {
            if (profile.id.toUtf8() == wanted) {
                nm->dialProfilePath = profile.path;
                nm->dialProfileUuid = profile.uuid;
                nm->haveDialParams = true;
                return 0;
            }
        }
        return kNmNoSuchProfile;
    } catch (...) {
        return kNmBadReply;
    }
}

// What the dial learnt about one active connection's end.
int32_t FailureCode(const SignalSink& sink, const QString& activePath,
                    const QList<QDBusObjectPath>& devices) {
    uint reason = kReasonUnknown;
    bool haveReason = false;
    for (const StateEvent& e : sink.activeEvents) {
        if (e.path == activePath && e.state == kActiveDeactivated) {
            reason = e.reason;
            haveReason = true;
        }
    }
    // When the connection only says its device went away, the device's own
    // reason is the one that explains the failure.
    if (!haveReason || reason == kReasonUnknown || reason == kReasonNone ||
        reason == kReasonDeviceDisconnected) {
        for (const StateEvent& e : sink.deviceFailures) {
            bool ours = devices.isEmpty();
            for (const QDBusObjectPath& d : devices) ours = ours || d.path() == e.path;
            if (ours && e.reason < static_cast<uint>(kNmDeviceReasonLast - kNmDeviceReasonBase)) {
                return kNmDeviceReasonBase + static_cast<int32_t>(e.reason);
            }
        }
    }
    if (reason >= static_cast<uint>(kNmDbusErrorBase - kNmReasonBase)) return kNmReasonBase;
    return kNmReasonBase + static_cast<int32_t>(reason);
}

int32_t Dial(void* ctx, DialUpHandle* handle) {
    try {
        auto* nm = static_cast<NetworkManagerDialUp*>(ctx);
        if (!nm->haveDialParams) return kNmNoDialParams;
        QDBusConnection bus(QString{});
        if (!Bus(nm, &bus)) return kNmNoBus;
        SignalSink* sink = nm->sink;
        // Signals left over from an earlier dial are delivered now and dropped.
        QCoreApplication::sendPostedEvents(sink);
        sink->activeEvents.clear();
        sink->deviceFailures.clear();
        sink->serviceGone = false;

        // Listen before activating, so no state change is missed.
        bus.connect(kNmService, QString(), kActiveIface, QStringLiteral("StateChanged"), sink,
                    SLOT(activeStateChanged(uint, uint, QDBusMessage)));
        bus.connect(kNmService, QString(), kDeviceIface, QStringLiteral("StateChanged"), sink,
                    SLOT(deviceStateChanged(uint, uint, uint, QDBusMessage)));
        QDBusServiceWatcher watcher(kNmService, bus, QDBusServiceWatcher::WatchForUnregistration);
        QObject::connect(&watcher, &QDBusServiceWatcher::serviceUnregistered, sink,
                         &SignalSink::nameVanished);
        struct Unsubscribe {
            QDBusConnection& bus;
            SignalSink* sink;
            ~Unsubscribe() {
                sink->loop = nullptr;
                bus.disconnect(kNmService, QString(), kActiveIface, QStringLiteral("StateChanged"),
                               sink, SLOT(activeStateChanged(uint, uint, QDBusMessage)));
                bus.disconnect(kNmService, QString(), kDeviceIface, QStringLiteral("StateChanged"),
                               sink, SLOT(deviceStateChanged(uint, uint, uint, QDBusMessage)));
            }
        } unsubscribe{bus, sink};

        Budget budget(nm->options.operationBudgetMs, nm->options.callTimeoutMs);
        const QDBusObjectPath root(QStringLiteral("/"));
        CallResult r = Call(bus, budget, kNmPath, kNmIface, QStringLiteral("ActivateConnection"),
                            {QVariant::fromValue(QDBusObjectPath(nm->dialProfilePath)),
                             QVariant::fromValue(root), QVariant::fromValue(root)});
        if (r.code != 0) return r.code;
        QDBusObjectPath activePath;
        if (r.arguments.isEmpty() || !Demarshal(r.arguments.first(), &activePath))
            return kNmBadReply;

        QVariantMap props;
        int32_t rc = GetAllProperties(bus, budget, activePath.path(), kActiveIface, &props);
        // A connection that is gone already failed at once (its signal says
        // why); any other error is the reason the state cannot be known.
        if (rc != 0 && rc != kNmDbusErrorBase + 12) {
            *handle = HandleFor(nm, activePath.path(), nm->dialProfileUuid);
            return rc;
        }
        QString uuid = ReadString(props, QStringLiteral("Uuid"));
        *handle = HandleFor(nm, activePath.path(), uuid);
        QList<QDBusObjectPath> devices;
        ReadPaths(props.value(QStringLiteral("Devices")), &devices);
        uint state = rc == 0 ? ReadUint(props, QStringLiteral("State")) : kActiveDeactivated;

        // Wait for activated or deactivated: by signal, or by a look at the
        // state every half second in case a signal was lost.
        QElapsedTimer waited;
        waited.start();
        QEventLoop loop;
        QTimer poll;
        poll.setInterval(500);
        QObject::connect(&poll, &QTimer::timeout, &loop, &QEventLoop::quit);
        poll.start();
        sink->loop = &loop;
        for (;;) {
            loop.processEvents(QEventLoop::AllEvents);
            for (const StateEvent& e : sink->activeEvents) {
                if (e.path == activePath.path() &&
                    (e.state == kActiveActivated || e.state == kActiveDeactivated)) {
                    state = e.state;
                }
            }
            if (state == kActiveActivated) return 0;
            if (state == kActiveDeactivated) return FailureCode(*sink, activePath.path(), devices);
            if (sink->serviceGone) return kNmNotRunning;
            if (waited.elapsed() >= nm->options.dialTimeoutMs) return kNmDialTimeout;
            loop.exec();
            if (sink->serviceGone || waited.elapsed() >= nm->options.dialTimeoutMs) continue;
            QVariant value;
            Budget pollBudget(nm->options.callTimeoutMs, nm->options.callTimeoutMs);
            rc = GetProperty(bus, pollBudget, activePath.path(), kActiveIface,
                             QStringLiteral("State"), &value);
            if (rc == kNmDbusErrorBase + 12) {
                state = kActiveDeactivated;  // gone: its signal says why, if it came
                loop.processEvents(QEventLoop::AllEvents);
            } else if (rc == 0) {
                state = value.toUInt();
            }
        }
    } catch (...) {
        return kNmBadReply;
    }
}

int32_t EnumEntries(void* ctx, PhonebookEntries* out) {
    try {
        auto* nm = static_cast<NetworkManagerDialUp*>(ctx);
        out->count = 0;
        QDBusConnection bus(QString{});
        if (!Bus(nm, &bus)) return kNmNoBus;
        Budget budget(nm->options.operationBudgetMs, nm->options.callTimeoutMs);
        std::vector<ProfileInfo> profiles;
        int32_t rc = ListProfiles(bus, budget, &profiles);
        if (rc != 0) return rc;
        if (profiles.size() > static_cast<size_t>(kMaxPhonebookEntries)) return kNmTooManyEntries;
        for (const ProfileInfo& profile : profiles) {
            CopyBounded(out->names[out->count], profile.id.toUtf8().constData(),
                        kEntryNameFieldSize);
            ++out->count;
        }
        return 0;
    } catch (...) {
        out->count = 0;
        return kNmBadReply;
    }
}

int32_t GetErrorString(void*, int32_t code, char* buffer, uint32_t size) {
    return NmErrorText(code, buffer, size);
}

}  // namespace

NetworkManagerDialUp* CreateNetworkManagerDialUp(const NmDialUpOptions& options) {
    auto* nm = new (std::nothrow) NetworkManagerDialUp;
    if (nm == nullptr) return nullptr;
    nm->options = options;
    nm->connectionName =
        QStringLiteral("teleora-networkmanager-%1").arg(g_instanceCounter.fetchAndAddRelaxed(1));
    return nm;
}

void DestroyNetworkManagerDialUp(NetworkManagerDialUp* instance) {
    if (instance == nullptr) return;
    if (instance->opened) QDBusConnection::disconnectFromBus(instance->connectionName);
    delete instance->sink;
    delete instance;
}

DialUpService MakeNetworkManagerDialUpService(NetworkManagerDialUp* instance) {
    DialUpService service{};
    service.ctx = instance;
    service.connectionRecordSize = sizeof(NmConnectionRecord);
    service.maxEntryNameLength = kEntryNameMax;
    service.prepareConnectionBuffer = &PrepareBuffer;
    service.enumConnections = &EnumConnections;
    service.connectionHandle = &ConnectionHandle;
    service.connectionEntryName = &ConnectionEntryName;
    service.hangUp = &HangUp;
    service.getEntryDialParams = &GetEntryDialParams;
    service.dial = &Dial;
    service.enumEntries = &EnumEntries;
    service.getErrorString = &GetErrorString;
    return service;
}

namespace {

// The text of one of NetworkManager's reasons: from its table, or, for a
// reason newer than the table, the numbered fallback.
void ReasonText(int reason, const char* const* texts, int count, const char* fallback, char* buffer,
                uint32_t size) {
    if (reason < count) {
        CopyBounded(buffer, texts[reason], size);
    } else {
        snprintf(buffer, size, fallback, reason);
    }
}

}  // namespace

int32_t NmErrorText(int32_t code, char* buffer, uint32_t size) {
    if (buffer == nullptr || size == 0) return 1;
    buffer[0] = '\0';
    for (const CodeText& entry : kOwnTexts) {
        if (entry.code == code) {
            CopyBounded(buffer, entry.text, size);
            return 0;
        }
    }
    if (code >= kNmReasonBase && code < kNmDbusErrorBase) {
        ReasonText(code - kNmReasonBase, kActiveReasonTexts, kActiveReasonCount,
                   "The connection failed (NetworkManager reason %d).", buffer, size);
        return 0;
    }
    if (code >= kNmDbusErrorBase && code < kNmDbusErrorBase + kDbusErrorCount) {
        CopyBounded(buffer, kDbusErrorTexts[code - kNmDbusErrorBase], size);
        return 0;
    }
    if (code >= kNmDeviceReasonBase && code <= kNmDeviceReasonLast) {
        ReasonText(code - kNmDeviceReasonBase, kDeviceReasonTexts, kDeviceReasonCount,
                   "The device failed (NetworkManager device reason %d).", buffer, size);
        return 0;
    }
    return 1;
}

bool IsDialUpConnectionType(const char* type) {
    for (const char* kind : kDialUpTypes) {
        if (strcmp(type, kind) == 0) return true;
    }
    return false;
}

int32_t NmCodeForDbusError(const char* errorName) {
    for (const DbusError& entry : kDbusErrors) {
        if (strcmp(entry.name, errorName) == 0) return entry.code;
    }
    return kNmDbusErrorBase;
}

#include "networkmanager_dialup_linux.moc"
