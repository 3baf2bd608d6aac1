// A private system bus with the NetworkManager mock (nm_mock_template.py) on
// it, for the binding's and the tray's tests. Start() points
// DBUS_SYSTEM_BUS_ADDRESS at the private bus, so it must run before anything
// in the process touches the system bus. Every process it starts is stopped
// by its PID when the object goes away.
#pragma once

#include <QDBusConnection>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <memory>

class NmMock {
  public:
    NmMock() = default;
    ~NmMock();
    NmMock(const NmMock&) = delete;
    NmMock& operator=(const NmMock&) = delete;

    // Starts the bus (once) and the mock, with the template's parameters
    // (JSON) when given. False, with Error() telling why, when either does
    // not come up.
    bool Start(const QString& parameters = {});
    // Kills the mock (NetworkManager vanishes); Start() brings a fresh one.
    void KillMock();
    qint64 MockPid() const;
    QString Error() const { return error_; }
    QString BusAddress() const { return address_; }

    // Calls on the mock's control interface and on the manager, as a client.
    QString AddProfile(const QString& id, const QString& type);
    void SetActivationOutcome(const QString& id, uint reason, uint delayMs, int deviceReason = -1);
    void SetActivationError(const QString& id, const QString& name, const QString& message);
    void Freeze(uint ms);
    // NetworkManager answers the activation of id, then hangs for ms.
    void FreezeAfterActivation(const QString& id, uint ms);
    // From now on the mock answers `what` with a reply of the wrong type
    // (see BreakReply in nm_mock_template.py).
    void BreakReply(const QString& what);
    QStringList ActiveIds();
    // id's active connection goes down by itself (the line drops).
    void Drop(const QString& id);
    // Activates a profile as another program would (e.g. the wired network).
    QString Activate(const QString& profilePath);

  private:
    QDBusMessage CallMock(const QString& method, const QList<QVariant>& args);
    QDBusConnection Control();

    QTemporaryDir busDir_;  // the private bus's configuration and socket
    std::unique_ptr<QProcess> bus_;
    std::unique_ptr<QProcess> mock_;
    QString address_;
    QString error_;
    int generation_ = 0;
};
