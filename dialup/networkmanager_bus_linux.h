// The NetworkManager binding's bus plumbing: calls bounded by an operation's
// budget, property reads, and the lists of dial-up profiles and active
// connections. Failures come back as result codes (networkmanager_codes.h).
#pragma once

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <QList>
#include <QString>
#include <QVariant>
#include <QVariantMap>
#include <algorithm>
#include <cstdint>
#include <vector>

#include "dialup/dialup_service.h"

inline const QString kNmService = QStringLiteral("org.freedesktop.NetworkManager");
inline const QString kNmPath = QStringLiteral("/org/freedesktop/NetworkManager");
inline const QString kNmIface = QStringLiteral("org.freedesktop.NetworkManager");
inline const QString kNmActiveIface =
    QStringLiteral("org.freedesktop.NetworkManager.Connection.Active");
inline const QString kNmDeviceIface = QStringLiteral("org.freedesktop.NetworkManager.Device");

constexpr int kNmEntryNameMax = kEntryNameFieldSize - 1;  // 256 bytes

// The dial-up kinds, as NetworkManager names them in connection.type.
bool IsDialUpConnectionType(const char* type);

// The named connection to the system bus, (re)opened when it is not
// connected. *opened says whether the name is in use (to be closed with
// QDBusConnection::disconnectFromBus). Returns false when the bus cannot be
// reached.
bool NmOpenBus(const QString& name, bool* opened, QDBusConnection* out);

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
// (kNmNoAnswer when nothing is).
NmCallResult NmCall(const QDBusConnection& bus, const NmBudget& budget, const QString& path,
                    const QString& iface, const QString& method, const QList<QVariant>& args = {});

// One property, unwrapped from its QDBusVariant.
int32_t NmGetProperty(const QDBusConnection& bus, const NmBudget& budget, const QString& path,
                      const QString& iface, const QString& name, QVariant* out);

// Every property of one interface of an object.
int32_t NmGetAllProperties(const QDBusConnection& bus, const NmBudget& budget, const QString& path,
                           const QString& iface, QVariantMap* out);

// Reads a D-Bus value that may still be wrapped in a QDBusArgument.
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

// Values of a property map or a reply, unwrapped from QDBusVariant.
bool NmReadPaths(const QVariant& value, QList<QDBusObjectPath>* out);
uint NmReadUint(const QVariantMap& map, const QString& key);
QString NmReadString(const QVariantMap& map, const QString& key);

struct NmActiveInfo {
    QString path;
    QString id;
    QString uuid;
    QString type;
    uint state = 0;
    QList<QDBusObjectPath> devices;
};

struct NmProfileInfo {
    QString path;
    QString id;
    QString uuid;
    QString type;
};

// The active connections and the connection profiles of the dial-up kinds
// whose ids fit an entry-name field. One that vanishes between listing and
// reading is left out.
int32_t NmListActive(const QDBusConnection& bus, const NmBudget& budget,
                     std::vector<NmActiveInfo>* out);
int32_t NmListProfiles(const QDBusConnection& bus, const NmBudget& budget,
                       std::vector<NmProfileInfo>* out);
