// The six operations of the dial-up service on NetworkManager, with the
// instance's handles and connection records; the bus plumbing is in
// networkmanager_bus_linux, the codes and texts in networkmanager_codes.
#include "dialup/networkmanager_dialup_linux.h"

#include <QAtomicInt>
#include <QCoreApplication>
#include <QDBusMessage>
#include <QDBusServiceWatcher>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QObject>
#include <QTimer>
#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "common/text.h"
#include "dialup/networkmanager_bus_linux.h"
#include "dialup/networkmanager_watch_linux.h"

namespace {

// NMActiveConnectionState and NMDeviceState values the dial looks at.
constexpr uint kActiveActivated = 2;
constexpr uint kActiveDeactivated = 4;
constexpr uint kDeviceFailed = 120;
// NMActiveConnectionStateReason values after which the device's own reason
// tells more (unknown, none, device disconnected).
constexpr uint kReasonUnknown = 0;
constexpr uint kReasonNone = 1;
constexpr uint kReasonDeviceDisconnected = 3;

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
    NmBusState bus;
    SignalSink* sink = nullptr;  // created in the using thread, lives as long as the instance
    std::vector<HandleSlot> handles;
    DialUpHandle nextHandle = 1;
    // What getEntryDialParams found, for the next dial.
    bool haveDialParams = false;
    QString dialProfilePath;
    QString dialProfileUuid;  // also the Uuid of the profile's active connection
};

namespace {

// Runs the bus work of one operation: on the instance's own bus connection,
// (re)opened when it is not connected (kNmNoBus when it cannot be), within a
// budget of operationBudgetMs (the connect included), with anything Qt throws read as kNmBadReply.
template <typename Work>
int32_t Bounded(NetworkManagerDialUp* nm, Work work) {
    try {
        if (nm->sink == nullptr) {
            nm->sink = new (std::nothrow) SignalSink;
            if (nm->sink == nullptr) return kNmNoBus;
        }
        // The connect counts against the operation's budget like any call.
        NmBudget budget(nm->options.operationBudgetMs, nm->options.callTimeoutMs);
        QDBusConnection bus(QString{});
        if (!NmOpenBus(nm->connectionName, budget.NextCallMs(), &nm->bus, &bus)) return kNmNoBus;
        return work(bus, budget);
    } catch (...) {
        return kNmBadReply;
    }
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
void KeepHandles(NetworkManagerDialUp* nm, const std::vector<NmActiveInfo>& listed) {
    std::vector<HandleSlot> kept;
    for (const HandleSlot& slot : nm->handles) {
        for (const NmActiveInfo& info : listed) {
            if (slot.path == info.path && slot.uuid == info.uuid) {
                kept.push_back(slot);
                break;
            }
        }
    }
    nm->handles.swap(kept);
}

// The supervisor's buffer promises no alignment, so records are copied in
// and out whole: record index, written (preparing the buffer, enumerating)
// and read (the size check, the accessors) here only.
void WriteRecord(void* buffer, uint32_t index, DialUpHandle handle, const QByteArray& name) {
    NmConnectionRecord record;
    memset(&record, 0, sizeof record);
    record.size = sizeof(NmConnectionRecord);
    record.handle = handle;
    size_t n = std::min<size_t>(static_cast<size_t>(name.size()), kNmEntryNameMax);
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
    if (reason > static_cast<uint>(kNmReasonLast - kNmReasonBase)) return kNmReasonBase;
    return kNmReasonBase + static_cast<int32_t>(reason);
}

// Waits until the active connection at activePath, now in state, is
// activated (0) or deactivated (its failure code), NetworkManager leaves the
// bus, or dialTimeoutMs pass: by signal, or by a look at the state every half
// second in case a signal was lost.
int32_t WaitForDial(NetworkManagerDialUp* nm, const QDBusConnection& bus, const QString& activePath,
                    const QList<QDBusObjectPath>& devices, uint state) {
    SignalSink* sink = nm->sink;
    QElapsedTimer waited;
    waited.start();
    QEventLoop loop;
    QTimer poll;
    poll.setInterval(500);
    QObject::connect(&poll, &QTimer::timeout, &loop, &QEventLoop::quit);
    poll.start();
    struct LoopScope {
        SignalSink* sink;
        ~LoopScope() { sink->loop = nullptr; }
    } scope{sink};
    sink->loop = &loop;
    for (;;) {
        loop.processEvents(QEventLoop::AllEvents);
        for (const StateEvent& e : sink->activeEvents) {
            if (e.path == activePath &&
                (e.state == kActiveActivated || e.state == kActiveDeactivated)) {
                state = e.state;
            }
        }
        if (state == kActiveActivated) return 0;
        if (state == kActiveDeactivated) return FailureCode(*sink, activePath, devices);
        if (sink->serviceGone) return kNmNotRunning;
        if (waited.elapsed() >= nm->options.dialTimeoutMs) return kNmDialTimeout;
        loop.exec();
        if (sink->serviceGone || waited.elapsed() >= nm->options.dialTimeoutMs) continue;
        QVariant value;
        NmBudget pollBudget(nm->options.callTimeoutMs, nm->options.callTimeoutMs);
        int32_t rc = NmGetProperty(bus, pollBudget, activePath, kNmActiveIface,
                                   QStringLiteral("State"), "u", &value);
        if (rc == kNmNoSuchObject) {
            state = kActiveDeactivated;  // gone: its signal says why, if it came
            loop.processEvents(QEventLoop::AllEvents);
        } else if (rc == 0) {
            state = value.toUInt();
        }
    }
}

// --- The six operations -----------------------------------------------------

void PrepareBuffer(void*, void* buffer) {
    WriteRecord(buffer, 0, 0, QByteArray());
}

int32_t EnumConnections(void* ctx, void* buffer, uint32_t* sizeInOut, uint32_t* count) {
    auto* nm = static_cast<NetworkManagerDialUp*>(ctx);
    if (ReadRecord(buffer, 0).size != sizeof(NmConnectionRecord)) return kNmBadRecordSize;
    return Bounded(nm, [&](QDBusConnection& bus, const NmBudget& budget) -> int32_t {
        std::vector<NmActiveInfo> active;
        int32_t rc = NmListActive(bus, budget, &active);
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
    });
}

DialUpHandle ConnectionHandle(void*, const void* buffer, uint32_t index) {
    return ReadRecord(buffer, index).handle;
}

void ConnectionEntryName(void*, const void* buffer, uint32_t index, char* out, size_t outSize) {
    NmConnectionRecord record = ReadRecord(buffer, index);
    CopyBounded(out, record.entryName, outSize);
}

int32_t HangUp(void* ctx, DialUpHandle handle) {
    auto* nm = static_cast<NetworkManagerDialUp*>(ctx);
    const HandleSlot* slot = nullptr;
    for (const HandleSlot& s : nm->handles) {
        if (s.handle == handle) slot = &s;
    }
    if (slot == nullptr) return kNmBadHandle;
    const QString path = slot->path;
    const QString uuid = slot->uuid;
    return Bounded(nm, [&](QDBusConnection& bus, const NmBudget& budget) -> int32_t {
        // The path may name another connection by now (NetworkManager
        // restarted and numbers its active connections afresh): hang up only
        // the one the handle was given for, and only a dial-up one.
        NmActiveInfo info;
        bool dialUp = false;
        int32_t rc = NmReadActive(bus, budget, path, nullptr, &info, &dialUp);
        if (rc == kNmNoSuchObject) return kNmConnectionNotActive;
        if (rc != 0) return rc;
        if (info.uuid != uuid || !dialUp) return kNmConnectionNotActive;
        return NmCall(bus, budget, kNmPath, kNmIface, QStringLiteral("DeactivateConnection"), "",
                      {QVariant::fromValue(QDBusObjectPath(path))})
            .code;
    });
}

int32_t GetEntryDialParams(void* ctx, const char* entry) {
    auto* nm = static_cast<NetworkManagerDialUp*>(ctx);
    nm->haveDialParams = false;
    if (BoundedLength(entry, kNmEntryNameMax + 1) > static_cast<size_t>(kNmEntryNameMax)) {
        return kNmNoSuchProfile;
    }
    return Bounded(nm, [&](QDBusConnection& bus, const NmBudget& budget) -> int32_t {
        std::vector<NmProfileInfo> profiles;
        int32_t rc = NmListProfiles(bus, budget, &profiles);
        if (rc != 0) return rc;
        const QByteArray wanted(entry);
        for (const NmProfileInfo& profile : profiles) {
            if (profile.id.toUtf8() == wanted) {
                nm->dialProfilePath = profile.path;
                nm->dialProfileUuid = profile.uuid;
                nm->haveDialParams = true;
                return 0;
            }
        }
        return kNmNoSuchProfile;
    });
}

int32_t Dial(void* ctx, DialUpHandle* handle) {
    auto* nm = static_cast<NetworkManagerDialUp*>(ctx);
    if (!nm->haveDialParams) return kNmNoDialParams;
    return Bounded(nm, [&](QDBusConnection& bus, const NmBudget& budget) -> int32_t {
        SignalSink* sink = nm->sink;
        // Signals left over from an earlier dial are delivered now and dropped.
        QCoreApplication::sendPostedEvents(sink);
        sink->activeEvents.clear();
        sink->deviceFailures.clear();
        sink->serviceGone = false;

        // Listen before activating, so no state change is missed.
        bus.connect(kNmService, QString(), kNmActiveIface, QStringLiteral("StateChanged"), sink,
                    SLOT(activeStateChanged(uint, uint, QDBusMessage)));
        bus.connect(kNmService, QString(), kNmDeviceIface, QStringLiteral("StateChanged"), sink,
                    SLOT(deviceStateChanged(uint, uint, uint, QDBusMessage)));
        QDBusServiceWatcher watcher(kNmService, bus, QDBusServiceWatcher::WatchForUnregistration);
        QObject::connect(&watcher, &QDBusServiceWatcher::serviceUnregistered, sink,
                         &SignalSink::nameVanished);
        struct Unsubscribe {
            QDBusConnection& bus;
            SignalSink* sink;
            ~Unsubscribe() {
                bus.disconnect(kNmService, QString(), kNmActiveIface,
                               QStringLiteral("StateChanged"), sink,
                               SLOT(activeStateChanged(uint, uint, QDBusMessage)));
                bus.disconnect(kNmService, QString(), kNmDeviceIface,
                               QStringLiteral("StateChanged"), sink,
                               SLOT(deviceStateChanged(uint, uint, uint, QDBusMessage)));
            }
        } unsubscribe{bus, sink};

        const QDBusObjectPath root(QStringLiteral("/"));
        NmCallResult r =
            NmCall(bus, budget, kNmPath, kNmIface, QStringLiteral("ActivateConnection"), "o",
                   {QVariant::fromValue(QDBusObjectPath(nm->dialProfilePath)),
                    QVariant::fromValue(root), QVariant::fromValue(root)});
        if (r.code != 0) return r.code;
        QDBusObjectPath activePath;
        if (!NmDemarshal(r.arguments.first(), &activePath)) return kNmBadReply;
        NmActiveInfo info;
        bool dialUp = false;
        int32_t rc = NmReadActive(bus, budget, activePath.path(), nullptr, &info, &dialUp);
        // A connection that is gone already failed at once (its signal says
        // why); any other error is the reason the state cannot be known.
        if (rc != 0 && rc != kNmNoSuchObject) {
            *handle = HandleFor(nm, activePath.path(), nm->dialProfileUuid);
            return rc;
        }
        *handle = HandleFor(nm, activePath.path(), rc == 0 ? info.uuid : QString());
        const uint state = rc == 0 ? info.state : kActiveDeactivated;
        return WaitForDial(nm, bus, activePath.path(), info.devices, state);
    });
}

int32_t EnumEntries(void* ctx, PhonebookEntries* out) {
    auto* nm = static_cast<NetworkManagerDialUp*>(ctx);
    out->count = 0;
    int32_t rc = Bounded(nm, [&](QDBusConnection& bus, const NmBudget& budget) -> int32_t {
        std::vector<NmProfileInfo> profiles;
        int32_t listRc = NmListProfiles(bus, budget, &profiles);
        if (listRc != 0) return listRc;
        if (profiles.size() > static_cast<size_t>(kMaxPhonebookEntries)) return kNmTooManyEntries;
        for (const NmProfileInfo& profile : profiles) {
            CopyBounded(out->names[out->count], profile.id.toUtf8().constData(),
                        kEntryNameFieldSize);
            ++out->count;
        }
        return 0;
    });
    if (rc != 0) out->count = 0;
    return rc;
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
    NmCloseBus(instance->connectionName, &instance->bus);
    delete instance->sink;
    delete instance;
}

DialUpService MakeNetworkManagerDialUpService(NetworkManagerDialUp* instance) {
    DialUpService service{};
    service.ctx = instance;
    service.connectionRecordSize = sizeof(NmConnectionRecord);
    service.maxEntryNameLength = kNmEntryNameMax;
    service.prepareConnectionBuffer = &PrepareBuffer;
    service.enumConnections = &EnumConnections;
    service.connectionHandle = &ConnectionHandle;
    service.connectionEntryName = &ConnectionEntryName;
    service.hangUp = &HangUp;
    service.getEntryDialParams = &GetEntryDialParams;
    service.dial = &Dial;
    service.enumEntries = &EnumEntries;
    service.getErrorString = &GetErrorString;
    service.watchConnections = [](void*, WakeEvent* wake) {
        return StartNetworkManagerWatch(wake);
    };
    return service;
}

#include "networkmanager_dialup_linux.moc"
