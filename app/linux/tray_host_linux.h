// The desktop's side of the tray, on the session bus: the names of the
// StatusNotifierWatcher (where the program's item registers, and which says
// whether a panel hosts items) and of the notification service, the watch for
// a host, and the one notification the program sends.
#pragma once

#include <QObject>
#include <QString>

class QDBusPendingCallWatcher;

inline constexpr char kStatusNotifierWatcher[] = "org.kde.StatusNotifierWatcher";
inline constexpr char kStatusNotifierWatcherPath[] = "/StatusNotifierWatcher";
inline constexpr char kNotificationService[] = "org.freedesktop.Notifications";

// Watches the session bus for a StatusNotifierWatcher with a host: a watcher
// coming up, or its owner saying that a host registered with it. Each time it
// asks the watcher, without waiting for the answer and with at most one
// question in flight (what comes meanwhile asks once more after the answer),
// and reports the answer; the first one comes from the question at Start.
class StatusNotifierHostWatch : public QObject {
    Q_OBJECT
  public:
    explicit StatusNotifierHostWatch(QObject* parent) : QObject(parent) {}
    void Start();
    // No more questions and no more answers.
    void Stop() { stopped_ = true; }

  signals:
    // first: the answer to the question at Start.
    void Answered(bool hostRegistered, bool first);

  private slots:
    void Ask();

  private:
    QDBusPendingCallWatcher* question_ = nullptr;
    bool askAgain_ = false;
    bool first_ = true;
    bool stopped_ = false;
};

// Sends one desktop notification, without waiting: with no notification
// service there is none.
void NotifyDesktop(const QString& appName, const QString& iconName, const QString& summary,
                   const QString& body);
