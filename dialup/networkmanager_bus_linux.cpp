#include "dialup/networkmanager_bus_linux.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDeadlineTimer>
#include <QMap>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "dialup/networkmanager_codes.h"

namespace {

const QString kSettingsPath = QStringLiteral("/org/freedesktop/NetworkManager/Settings");
const QString kSettingsIface = QStringLiteral("org.freedesktop.NetworkManager.Settings");
const QString kProfileIface = QStringLiteral("org.freedesktop.NetworkManager.Settings.Connection");

const char* const kDialUpTypes[] = {"vpn", "wireguard", "pppoe", "gsm", "cdma", "adsl"};

QVariant Unwrap(const QVariant& value) {
    if (value.metaType() == QMetaType::fromType<QDBusVariant>()) {
        return value.value<QDBusVariant>().variant();
    }
    return value;
}

// The value of key in map when it has the given signature.
bool ReadTyped(const QVariantMap& map, const QString& key, const char* signature, QVariant* out) {
    auto it = map.constFind(key);
    if (it == map.constEnd()) return false;
    *out = Unwrap(*it);
    return NmSignatureOf(*out) == QLatin1String(signature);
}

// A name that fits the 256-byte entry-name field.
bool FitsEntryField(const QString& name) {
    return name.toUtf8().size() <= kNmEntryNameMax;
}

// Whether a profile's read failed with NetworkManager or the bus as a whole.
// Any other failure concerns that one profile: one deleted meanwhile, or one
// this user may not read (NetworkManager refuses another user's private
// profile, while its active connection is listed to everybody), makes only
// that profile, or its connection, not a dial-up one for this listing.
bool ServiceFailed(int32_t rc) {
    return rc == kNmNotRunning || rc == kNmNoBus || rc == kNmNoAnswer;
}

// One connection profile's id, uuid and type, and whether it is a dial-up
// one. kNmNoSuchObject when it has been deleted.
int32_t ReadProfile(const QDBusConnection& bus, const NmBudget& budget, const QString& path,
                    NmProfileInfo* info, bool* dialUp) {
    NmCallResult s =
        NmCall(bus, budget, path, kProfileIface, QStringLiteral("GetSettings"), "a{sa{sv}}");
    if (s.code != 0) return s.code;
    QMap<QString, QVariantMap> settings;
    if (!NmDemarshal(s.arguments.first(), &settings)) return kNmBadReply;
    const QVariantMap connection = settings.value(QStringLiteral("connection"));
    info->path = path;
    if (!NmReadString(connection, QStringLiteral("id"), &info->id) ||
        !NmReadString(connection, QStringLiteral("uuid"), &info->uuid) ||
        !NmReadString(connection, QStringLiteral("type"), &info->type)) {
        return kNmBadReply;
    }
    QString bluetoothType;
    const QVariantMap bluetooth = settings.value(QStringLiteral("bluetooth"));
    if (bluetooth.contains(QStringLiteral("type")) &&
        !NmReadString(bluetooth, QStringLiteral("type"), &bluetoothType)) {
        return kNmBadReply;
    }
    *dialUp =
        IsDialUpConnectionType(info->type.toUtf8().constData(), bluetoothType.toUtf8().constData());
    return 0;
}

enum class Probe { Answered, Silent, Unreachable };

// Waits for events on fd until the deadline; false when none came.
bool PollUntil(int fd, short events, const QDeadlineTimer& deadline) {
    pollfd p{fd, events, 0};
    for (;;) {
        const qint64 left = deadline.remainingTime();
        if (left == 0) return false;
        const int rc = poll(&p, 1, static_cast<int>(std::min<qint64>(left, 60000)));
        if (rc > 0) return true;
        if (rc < 0 && errno != EINTR) return false;
    }
}

// Connects to one unix socket of the bus and waits for the answer to
// "AUTH EXTERNAL <uid>": Unreachable when nobody listens there, Silent when
// the answer is not "OK" in time.
Probe ProbeSocket(const sockaddr_un& address, socklen_t length, const QDeadlineTimer& deadline) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return Probe::Unreachable;
    struct Closer {
        int fd;
        ~Closer() { close(fd); }
    } closer{fd};
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        // A full queue of connections the bus has not taken is a bus that
        // does not answer.
        if (errno == EAGAIN) return Probe::Silent;
        if (errno != EINPROGRESS) return Probe::Unreachable;
        if (!PollUntil(fd, POLLOUT, deadline)) return Probe::Silent;
    }
    // The credentials byte, then the uid as hex-encoded decimal digits.
    char uid[24];
    snprintf(uid, sizeof uid, "%u", static_cast<unsigned>(geteuid()));
    QByteArray hello("\0AUTH EXTERNAL ", 15);
    hello += QByteArray(uid).toHex() + "\r\n";
    qsizetype sent = 0;
    while (sent < hello.size()) {
        const ssize_t n = send(fd, hello.constData() + sent, size_t(hello.size() - sent),
                               MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += n;
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return Probe::Unreachable;
        } else if (!PollUntil(fd, POLLOUT, deadline)) {
            return Probe::Silent;
        }
    }
    char answer[256];
    size_t got = 0;
    while (got < sizeof answer && memchr(answer, '\n', got) == nullptr) {
        if (!PollUntil(fd, POLLIN, deadline)) return Probe::Silent;
        const ssize_t n = recv(fd, answer + got, sizeof answer - got, MSG_DONTWAIT);
        if (n == 0) return Probe::Silent;  // closed on us: no bus to use
        if (n < 0 && errno != EAGAIN && errno != EINTR) return Probe::Silent;
        if (n > 0) got += size_t(n);
    }
    return got >= 3 && memcmp(answer, "OK ", 3) == 0 ? Probe::Answered : Probe::Silent;
}

}  // namespace

bool NmSystemBusAnswers(int waitMs) {
    const QDeadlineTimer deadline(std::max(waitMs, 0));
    QByteArray address = qgetenv("DBUS_SYSTEM_BUS_ADDRESS");
    if (address.isEmpty()) address = "unix:path=/var/run/dbus/system_bus_socket";
    // As libdbus does, the entries are tried in order until one connects.
    for (const QByteArray& entry : address.split(';')) {
        if (entry.isEmpty()) continue;
        if (!entry.startsWith("unix:")) return true;  // not ours to try
        sockaddr_un socketAddress{};
        socketAddress.sun_family = AF_UNIX;
        QByteArray path;
        bool abstract = false;
        for (const QByteArray& pair : entry.mid(5).split(',')) {
            if (pair.startsWith("path=")) path = QByteArray::fromPercentEncoding(pair.mid(5));
            if (pair.startsWith("abstract=")) {
                path = QByteArray::fromPercentEncoding(pair.mid(9));
                abstract = true;
            }
        }
        const size_t offset = abstract ? 1 : 0;  // an abstract name starts with a zero byte
        if (path.isEmpty() || size_t(path.size()) + offset >= sizeof socketAddress.sun_path) {
            continue;
        }
        memcpy(socketAddress.sun_path + offset, path.constData(), size_t(path.size()));
        // A path with its terminator, or the zero byte and an abstract name.
        const socklen_t length =
            socklen_t(offsetof(sockaddr_un, sun_path) + 1 + size_t(path.size()));
        const Probe probe = ProbeSocket(socketAddress, length, deadline);
        if (probe != Probe::Unreachable) return probe == Probe::Answered;
    }
    return false;
}

struct NmPendingConnect {
    std::mutex lock;
    std::condition_variable ended;
    bool done = false;
    bool connected = false;
    bool abandoned = false;  // the instance went away: close the name when done
};

bool IsDialUpConnectionType(const char* type, const char* bluetoothType) {
    if (strcmp(type, "bluetooth") == 0)
        return bluetoothType == nullptr || strcmp(bluetoothType, "dun") == 0;
    for (const char* kind : kDialUpTypes) {
        if (strcmp(type, kind) == 0) return true;
    }
    return false;
}

bool NmOpenBus(const QString& name, int waitMs, NmBusState* state, QDBusConnection* out) {
    if (!state->pending && state->opened) {
        QDBusConnection existing(name);
        if (existing.isConnected()) {
            *out = existing;
            return true;
        }
        QDBusConnection::disconnectFromBus(name);
        state->opened = false;
    }
    static const int registered = [] {
        qDBusRegisterMetaType<QMap<QString, QVariantMap>>();
        return 1;
    }();
    (void)registered;
    if (!state->pending) {
        QElapsedTimer probing;
        probing.start();
        if (!NmSystemBusAnswers(waitMs)) return false;
        waitMs -= static_cast<int>(probing.elapsed());
        auto pending = std::make_shared<NmPendingConnect>();
        try {
            std::thread([pending, name] {
                const bool connected =
                    QDBusConnection::connectToBus(QDBusConnection::SystemBus, name).isConnected();
                std::lock_guard<std::mutex> guard(pending->lock);
                pending->done = true;
                pending->connected = connected;
                if (pending->abandoned) QDBusConnection::disconnectFromBus(name);
                pending->ended.notify_all();
            }).detach();
        } catch (...) {
            return false;  // no thread to connect on
        }
        state->pending = pending;
    }
    NmPendingConnect& pending = *state->pending;
    std::unique_lock<std::mutex> lock(pending.lock);
    if (!pending.ended.wait_for(lock, std::chrono::milliseconds(std::max(waitMs, 0)),
                                [&pending] { return pending.done; })) {
        return false;
    }
    const bool connected = pending.connected;
    lock.unlock();
    state->pending.reset();
    state->opened = true;
    if (!connected) return false;
    *out = QDBusConnection(name);
    return true;
}

void NmCloseBus(const QString& name, NmBusState* state) {
    if (state->pending) {
        std::lock_guard<std::mutex> guard(state->pending->lock);
        if (!state->pending->done) {
            state->pending->abandoned = true;
            state->pending.reset();
            state->opened = false;
            return;
        }
    }
    // A connect that ended since the last wait used the name as well.
    if (state->opened || state->pending) QDBusConnection::disconnectFromBus(name);
    state->pending.reset();
    state->opened = false;
}

QString NmSignatureOf(const QVariant& value) {
    if (value.metaType() == QMetaType::fromType<QDBusArgument>()) {
        return value.value<QDBusArgument>().currentSignature();
    }
    const char* signature = QDBusMetaType::typeToSignature(value.metaType());
    return signature != nullptr ? QString::fromLatin1(signature) : QString();
}

NmCallResult NmCall(const QDBusConnection& bus, const NmBudget& budget, const QString& path,
                    const QString& iface, const QString& method, const char* replySignature,
                    const QList<QVariant>& args) {
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
        if (reply.signature() != QLatin1String(replySignature)) {
            result.code = kNmBadReply;
            return result;
        }
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
                      const QString& iface, const QString& name, const char* signature,
                      QVariant* out) {
    NmCallResult r =
        NmCall(bus, budget, path, kNmPropertiesIface, QStringLiteral("Get"), "v", {iface, name});
    if (r.code != 0) return r.code;
    *out = Unwrap(r.arguments.first());
    return NmSignatureOf(*out) == QLatin1String(signature) ? 0 : kNmBadReply;
}

int32_t NmGetAllProperties(const QDBusConnection& bus, const NmBudget& budget, const QString& path,
                           const QString& iface, QVariantMap* out) {
    NmCallResult r =
        NmCall(bus, budget, path, kNmPropertiesIface, QStringLiteral("GetAll"), "a{sv}", {iface});
    if (r.code != 0) return r.code;
    return NmDemarshal(r.arguments.first(), out) ? 0 : kNmBadReply;
}

bool NmReadPaths(const QVariant& value, QList<QDBusObjectPath>* out) {
    const QVariant unwrapped = Unwrap(value);
    return NmSignatureOf(unwrapped) == QLatin1String("ao") && NmDemarshal(unwrapped, out);
}

bool NmReadUint(const QVariantMap& map, const QString& key, uint* out) {
    QVariant value;
    if (!ReadTyped(map, key, "u", &value)) return false;
    *out = value.toUInt();
    return true;
}

bool NmReadString(const QVariantMap& map, const QString& key, QString* out) {
    QVariant value;
    if (!ReadTyped(map, key, "s", &value)) return false;
    *out = value.toString();
    return true;
}

int32_t NmReadActive(const QDBusConnection& bus, const NmBudget& budget, const QString& path,
                     NmProfileKinds* kinds, NmActiveInfo* out, bool* dialUp) {
    QVariantMap props;
    int32_t rc = NmGetAllProperties(bus, budget, path, kNmActiveIface, &props);
    if (rc != 0) return rc;
    QVariant profile;
    out->path = path;
    if (!NmReadString(props, QStringLiteral("Id"), &out->id) ||
        !NmReadString(props, QStringLiteral("Uuid"), &out->uuid) ||
        !NmReadString(props, QStringLiteral("Type"), &out->type) ||
        !NmReadUint(props, QStringLiteral("State"), &out->state) ||
        !NmReadPaths(props.value(QStringLiteral("Devices")), &out->devices) ||
        !ReadTyped(props, QStringLiteral("Connection"), "o", &profile)) {
        return kNmBadReply;
    }
    out->profile = profile.value<QDBusObjectPath>().path();
    *dialUp = IsDialUpConnectionType(out->type.toUtf8().constData(), nullptr);
    if (out->type != QLatin1String("bluetooth")) return 0;  // else the profile tells
    if (kinds != nullptr && kinds->contains(out->profile)) {
        *dialUp = kinds->value(out->profile);
        return 0;
    }
    NmProfileInfo info;
    rc = ReadProfile(bus, budget, out->profile, &info, dialUp);
    if (rc != 0 && !ServiceFailed(rc)) {
        *dialUp = false;  // nothing tells it is a modem's (see ServiceFailed)
    } else if (rc != 0) {
        return rc;
    }
    if (kinds != nullptr) kinds->insert(out->profile, *dialUp);
    return 0;
}

int32_t NmListActive(const QDBusConnection& bus, const NmBudget& budget,
                     std::vector<NmActiveInfo>* out) {
    QVariant value;
    int32_t rc = NmGetProperty(bus, budget, kNmPath, kNmIface, QStringLiteral("ActiveConnections"),
                               "ao", &value);
    if (rc != 0) return rc;
    QList<QDBusObjectPath> paths;
    if (!NmReadPaths(value, &paths)) return kNmBadReply;
    NmProfileKinds kinds;
    for (const QDBusObjectPath& path : paths) {
        NmActiveInfo info;
        bool dialUp = false;
        rc = NmReadActive(bus, budget, path.path(), &kinds, &info, &dialUp);
        if (rc == kNmNoSuchObject) continue;  // ended between the two calls
        if (rc != 0) return rc;
        if (!dialUp || !FitsEntryField(info.id)) continue;
        out->push_back(info);
    }
    return 0;
}

int32_t NmListProfiles(const QDBusConnection& bus, const NmBudget& budget,
                       std::vector<NmProfileInfo>* out) {
    NmCallResult r =
        NmCall(bus, budget, kSettingsPath, kSettingsIface, QStringLiteral("ListConnections"), "ao");
    if (r.code != 0) return r.code;
    QList<QDBusObjectPath> paths;
    if (!NmReadPaths(r.arguments.first(), &paths)) return kNmBadReply;
    for (const QDBusObjectPath& path : paths) {
        NmProfileInfo info;
        bool dialUp = false;
        int32_t rc = ReadProfile(bus, budget, path.path(), &info, &dialUp);
        if (rc != 0 && ServiceFailed(rc)) return rc;
        if (rc != 0) continue;  // deleted meanwhile, or not this user's to read
        if (!dialUp || !FitsEntryField(info.id)) continue;
        out->push_back(info);
    }
    return 0;
}
