// The tray icon on a StatusNotifierItem panel (KDE Plasma, GNOME's
// AppIndicator extension, swaybar, waybar ...): an item of the program's own
// on the session bus, marked ItemIsMenu so that panels which honour the mark
// show the menu on a left click too, and the menu exported over
// com.canonical.dbusmenu. The exported menu is the QMenu itself, read action
// by action (texts, order, separators, check marks); a panel's choice
// triggers the action, as a click in the QMenu does, and every change of the
// QMenu's actions is announced to the panel at once (ItemsPropertiesUpdated
// for the items that stay, LayoutUpdated when items come or go).
#pragma once

#include <QIcon>
#include <QObject>
#include <QPoint>
#include <QString>
#include <functional>

class QMenu;

// Who the item is to a panel: its id, its title, its icon's name in the icon
// theme (offered only when the theme has it; the pixmaps always) and its
// tool tip.
struct StatusNotifierIdentity {
    QString id;
    QString title;
    QString iconName;
    QString toolTip;
};

class StatusNotifierItem : public QObject {
    Q_OBJECT
  public:
    // popUp shows the menu at a point of the screen: the panel's Activate and
    // ContextMenu call it. Left empty where a program cannot place a popup at
    // a panel's icon (Wayland): there both answer with an error, and the
    // panel shows the exported menu.
    StatusNotifierItem(QMenu* menu, const QIcon& icon, const StatusNotifierIdentity& identity,
                       std::function<void(const QPoint&)> popUp, QObject* parent = nullptr);

    // Exports the item and its menu on the session bus and registers the item
    // with the StatusNotifierWatcher, again whenever a watcher comes up.
    // False when the session bus refused the objects or the name.
    bool Show();
    // Takes the item and its menu off the bus.
    void Hide();

    const QIcon& Icon() const { return icon_; }
    const StatusNotifierIdentity& Identity() const { return identity_; }
    // False where the program shows no menu of its own.
    bool PopUp(const QPoint& at) const {
        if (!popUp_) return false;
        popUp_(at);
        return true;
    }

  private slots:
    void Register();

  private:
    QMenu* menu_;
    QIcon icon_;
    StatusNotifierIdentity identity_;
    std::function<void(const QPoint&)> popUp_;
    QObject* menuObject_;
    QString service_;
};
