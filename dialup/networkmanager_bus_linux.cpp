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

// Sends all of data: Unreachable when the socket fails, Silent when the bus
// does not take it in time.
Probe SendAll(int fd, const QByteArray& data, const QDeadlineTimer& deadline) {
    qsizetype sent = 0;
    while (sent < data.size()) {
        const ssize_t n = send(fd, data.constData() + sent, size_t(data.size() - sent),
                               MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += n;
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return Probe::Unreachable;
        } else if (!PollUntil(fd, POLLOUT, deadline)) {
            return Probe::Silent;
        }
    }
    return Probe::Answered;
}

// Receives into got until it holds the number of bytes wanted(got) asks for
// (never more); false when wanted gives up (-1), the bus closes, or the bytes
// are not there in time.
template <typename Wanted>
bool ReceiveUntil(int fd, QByteArray* got, Wanted wanted, const QDeadlineTimer& deadline) {
    char chunk[256];
    for (;;) {
        const qsizetype want = wanted(*got);
        if (want < 0) return false;
        if (got->size() >= want) return true;
        if (!PollUntil(fd, POLLIN, deadline)) return false;
        const size_t room = size_t(std::min<qsizetype>(want - got->size(), sizeof chunk));
        const ssize_t n = recv(fd, chunk, room, MSG_DONTWAIT);
        if (n == 0) return false;  // closed on us: no bus to use
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
        if (n > 0) got->append(chunk, n);
    }
}

// The bus's own Hello, the first message every connection sends after
// BEGIN: a method call to org.freedesktop.DBus, little-endian.
QByteArray HelloMessage() {
    QByteArray m("l\1\0\1", 4);  // order, method call, no flags, version 1
    auto u32 = [&m](uint32_t v) {
        for (int i = 0; i < 4; ++i) m.append(char((v >> (8 * i)) & 0xff));
    };
    auto pad = [&m](int to) {
        while (m.size() % to != 0) m.append('\0');
    };
    u32(0);  // no body
    u32(1);  // serial
    u32(0);  // length of the header fields, set below
    const struct {
        char code;
        char type;
        const char* value;
    } fields[] = {{1, 'o', "/org/freedesktop/DBus"},
                  {2, 's', "org.freedesktop.DBus"},
                  {3, 's', "Hello"},
                  {6, 's', "org.freedesktop.DBus"}};
    for (const auto& field : fields) {
        pad(8);
        m.append(field.code);
        m.append("\1", 1);  // a one-letter signature
        m.append(field.type);
        m.append('\0');
        const uint32_t length = uint32_t(strlen(field.value));
        u32(length);
        m.append(field.value, qsizetype(length) + 1);
    }
    const uint32_t fieldsLength = uint32_t(m.size() - 16);
    for (int i = 0; i < 4; ++i) m[12 + i] = char((fieldsLength >> (8 * i)) & 0xff);
    pad(8);
    return m;
}

// How many bytes of the message that got starts with are needed: its fixed
// header first, then the whole message; -1 for one no bus would send.
qsizetype MessageBytesWanted(const QByteArray& got) {
    if (got.size() < 16) return 16;
    const bool little = got[0] == 'l';
    if (!little && got[0] != 'B') return -1;
    auto u32 = [&got, little](int at) {
        uint64_t v = 0;
        for (int i = 0; i < 4; ++i) {
            v = (v << 8) | static_cast<unsigned char>(got[at + (little ? 3 - i : i)]);
        }
        return v;
    };
    const uint64_t length = 16 + ((u32(12) + 7) & ~uint64_t(7)) + u32(4);
    return length <= (uint64_t(1) << 27) ? qsizetype(length) : -1;  // 128 MiB at most
}

// Connects to one unix socket of the bus and carries a connection as far as
// the answer to its Hello: "AUTH EXTERNAL <uid>", "OK", "BEGIN", then Hello
// and its reply read whole. Unreachable when nobody listens there, Silent
// when any answer is not there in time: a bus that authenticates and then
// stalls would hold Qt's connect just as one that never answers.
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
    QByteArray auth("\0AUTH EXTERNAL ", 15);
    auth += QByteArray(uid).toHex() + "\r\n";
    Probe sent = SendAll(fd, auth, deadline);
    if (sent != Probe::Answered) return sent;
    QByteArray answer;
    const auto line = [](const QByteArray& got) -> qsizetype {
        if (got.endsWith('\n')) return got.size();
        return got.size() < 256 ? got.size() + 1 : -1;
    };
    if (!ReceiveUntil(fd, &answer, line, deadline) || !answer.startsWith("OK ")) {
        return Probe::Silent;
    }
    sent = SendAll(fd, "BEGIN\r\n" + HelloMessage(), deadline);
    if (sent != Probe::Answered) return Probe::Silent;
    QByteArray reply;
    return ReceiveUntil(fd, &reply, MessageBytesWanted, deadline) ? Probe::Answered : Probe::Silent;
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
    if (!state->pending && std::chrono::steady_clock::now() < state->quietUntil) return false;
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
        state->slow = false;
    }
    NmPendingConnect& pending = *state->pending;
    std::unique_lock<std::mutex> lock(pending.lock);
    if (!pending.ended.wait_for(lock, std::chrono::milliseconds(std::max(waitMs, 0)),
                                [&pending] { return pending.done; })) {
        state->slow = true;
        return false;
    }
    const bool connected = pending.connected;
    lock.unlock();
    state->pending.reset();
    state->opened = true;
    // A bus that held the connect past its wait may do so again, holding
    // every other connect of the process meanwhile: it is left alone a while.
    if (state->slow) {
        state->quietMs = std::clamp(state->quietMs * 2, kNmFirstRetryBusMs, kNmLastRetryBusMs);
        state->quietUntil =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(state->quietMs);
    } else if (connected) {
        state->quietMs = 0;
    }
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
