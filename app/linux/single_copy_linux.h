// One copy of the program per user session, on the session bus: the running
// copy owns the bus name kTeleoraBusName and serves one method,
// SelectMode(s name) -> s, through which a later start hands its --mode over
// before it ends. The bus drops the name when its owner dies, so a copy that
// crashed blocks nothing.
#pragma once

#include <QObject>
#include <QString>
#include <functional>

inline constexpr char kTeleoraBusName[] = "it.bresk.Teleora";

// The object a running copy serves at "/it/bresk/Teleora".
class SingleCopy : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "it.bresk.Teleora")
  public:
    // apply gets a mode's name (possibly empty: a plain second start) and
    // returns "" when done, or the message that tells why not.
    explicit SingleCopy(std::function<QString(const QString&)> apply, QObject* parent = nullptr);

    // Serves the object and claims the name. True when this process is the
    // session's copy, or when there is no session bus to ask (it then runs
    // as a copy of its own).
    bool Claim();

  public slots:
    QString SelectMode(const QString& name);

  private:
    std::function<QString(const QString&)> apply_;
};

// Where DBUS_SESSION_BUS_ADDRESS is unset (a systemd user timer, cron, a
// login over ssh), sets it to the user's bus where libdbus itself looks for
// it: $XDG_RUNTIME_DIR/bus, else /run/user/<uid>/bus, each only when it is a
// socket owned by the user. Otherwise leaves the environment alone.
void FindSessionBus();

// Whether a copy of the program owns the bus name in this session (false
// without a session bus).
bool RunningCopyPresent();

// In a later start: hands modeName (null for none) to the running copy.
// Returns the exit code: 0 when it was taken, 2 when the running copy refused
// the name (its message is printed on stderr), 1 when it did not answer.
int HandOverToRunningCopy(const char* modeName);
