// The NetworkManager binding's bus plumbing: calls bounded by an operation's
// budget, property reads, and the lists of dial-up profiles and active
// connections. Failures come back as result codes (networkmanager_codes.h).
#pragma once

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QString>
#include <QVariant>
#include <QVariantMap>
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "dialup/dialup_service.h"

inline const QString kNmService = QStringLiteral("org.freedesktop.NetworkManager");
inline const QString kNmPath = QStringLiteral("/org/freedesktop/NetworkManager");
inline const QString kNmIface = QStringLiteral("org.freedesktop.NetworkManager");
inline const QString kNmActiveIface =
    QStringLiteral("org.freedesktop.NetworkManager.Connection.Active");
inline const QString kNmDeviceIface = QStringLiteral("org.freedesktop.NetworkManager.Device");
inline const QString kNmPropertiesIface = QStringLiteral("org.freedesktop.DBus.Properties");

constexpr int kNmEntryNameMax = kEntryNameFieldSize - 1;  // 256 bytes

// The one rule for which connections are dial-up ones, by the kinds
// NetworkManager names in connection.type: a "bluetooth" profile dials a
// modem only when its bluetooth.type is "dun" (PAN and NAP links are the
// LAN's). A null bluetoothType is one not known yet (an active connection
// does not tell it): such a link counts as dial-up until its profile says.
bool IsDialUpConnectionType(const char* type, const char* bluetoothType);

// Whether the system bus (DBUS_SYSTEM_BUS_ADDRESS, or the standard socket)
// answers a connection within waitMs: the first of its unix sockets that
// takes the connection must answer "OK" to an EXTERNAL authentication and,
// after BEGIN, send the whole reply to Hello. QtDBus runs every connect of
// the process under one lock, so a bus that accepts the socket, or
// authenticates, and then stays silent would hold up every other D-Bus
// connection of the program (the tray's on the session bus too) for
// libdbus's 25 s: the system bus is handed to Qt only once it has answered
// here. An address of another transport cannot be tried this way and passes.
bool NmSystemBusAnswers(int waitMs);

// A bus whose connect outlived the wait it was given (one that answered the
// probe, then stalled) is not tried again for 5 s, then ever longer, at most
// 5 minutes; the watcher waits as long between its tries without a bus.
constexpr int kNmFirstRetryBusMs = 5000;
constexpr int kNmLastRetryBusMs = 300000;

struct NmPendingConnect;  // a connect still running on its helper thread

// An instance's named connection to the system bus: whether the name is in
// use (to be closed with NmCloseBus), a connect that outlived the wait of an
// earlier operation, and, after such a connect, how long the bus is left
// alone.
struct NmBusState {
    bool opened = false;
    std::shared_ptr<NmPendingConnect> pending;
    bool slow = false;  // the pending connect outlived its first wait
    std::chrono::steady_clock::time_point quietUntil{};
    int quietMs = 0;  // the next back-off; 0 before the first
};

// The named connection to the system bus, (re)opened when it is not
// connected, after NmSystemBusAnswers. QtDBus's connect has no time-out of
// its own (a bus that stops answering after the handshake holds it for as
// long as it stays silent), so it runs on a helper thread and is waited for
// at most waitMs, the probe included; one still running is waited for again
// by the next call instead of starting another, and once one that outlived
// its wait has ended the bus is not tried for a while (kNmFirstRetryBusMs,
// doubling up to kNmLastRetryBusMs; a prompt connect starts over). Returns
// false when the bus cannot be reached in time or is being left alone.
bool NmOpenBus(const QString& name, int waitMs, NmBusState* state, QDBusConnection* out);
// Closes the name; a connect still running closes it when it ends.
void NmCloseBus(const QString& name, NmBusState* state);

// A deadline for one operation; every call gets what is left of it.
class NmBudget {
  public:
    NmBudget(int totalMs, int callMs) : totalMs_(totalMs), callMs_(callMs) { timer_.start(); }
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

struct NmCallResult {
    int32_t code = 0;  // 0 or the mapped error
    QList<QVariant> arguments;
};

// One method call on NetworkManager, bounded by what is left of the budget
// (kNmNoAnswer when nothing is). A reply whose signature is not
// replySignature is kNmBadReply.
NmCallResult NmCall(const QDBusConnection& bus, const NmBudget& budget, const QString& path,
                    const QString& iface, const QString& method, const char* replySignature,
                    const QList<QVariant>& args = {});

// The D-Bus signature of a value as QtDBus hands it over ("" when unknown).
QString NmSignatureOf(const QVariant& value);

// One property of the given signature, unwrapped from its QDBusVariant
// (kNmBadReply for another type).
int32_t NmGetProperty(const QDBusConnection& bus, const NmBudget& budget, const QString& path,
                      const QString& iface, const QString& name, const char* signature,
                      QVariant* out);

// Every property of one interface of an object.
int32_t NmGetAllProperties(const QDBusConnection& bus, const NmBudget& budget, const QString& path,
                           const QString& iface, QVariantMap* out);

// Reads a D-Bus value that may still be wrapped in a QDBusArgument; the
// caller has checked its signature.
template <typename T>
bool NmDemarshal(const QVariant& value, T* out) {
    if (value.metaType() == QMetaType::fromType<QDBusArgument>()) {
        const QDBusArgument arg = value.value<QDBusArgument>();
        *out = qdbus_cast<T>(arg);
        return true;
    }
    if (!value.canConvert<T>()) return false;
    *out = value.value<T>();
    return true;
}

// Values of a property map or a reply, unwrapped from QDBusVariant; false
// when the value is missing or of another type.
bool NmReadPaths(const QVariant& value, QList<QDBusObjectPath>* out);
bool NmReadUint(const QVariantMap& map, const QString& key, uint* out);
bool NmReadString(const QVariantMap& map, const QString& key, QString* out);

struct NmActiveInfo {
    QString path;
    QString id;
    QString uuid;
    QString type;
    QString profile;  // the path of its connection profile
    uint state = 0;
    QList<QDBusObjectPath> devices;
};

// Whether each profile looked up so far is a dial-up one, by profile path,
// within one operation.
using NmProfileKinds = QHash<QString, bool>;

// One active connection's properties, and whether it is a dial-up one: an
// active connection does not carry its bluetooth.type, so a bluetooth one's
// profile is looked up (through kinds, when given), and one whose profile
// cannot be read is not a dial-up one. kNmNoSuchObject when it has ended.
int32_t NmReadActive(const QDBusConnection& bus, const NmBudget& budget, const QString& path,
                     NmProfileKinds* kinds, NmActiveInfo* out, bool* dialUp);

struct NmProfileInfo {
    QString path;
    QString id;
    QString uuid;
    QString type;
};

// The active connections and the connection profiles of the dial-up kinds
// whose ids fit an entry-name field. One that vanishes between listing and
// reading, or whose profile this user may not read, is left out; only a
// failure of the list itself, or of NetworkManager or the bus, fails them.
int32_t NmListActive(const QDBusConnection& bus, const NmBudget& budget,
                     std::vector<NmActiveInfo>* out);
int32_t NmListProfiles(const QDBusConnection& bus, const NmBudget& budget,
                       std::vector<NmProfileInfo>* out);
