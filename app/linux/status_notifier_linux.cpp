#include "app/linux/status_notifier_linux.h"

#include <QAction>
#include <QActionGroup>
#include <QCoreApplication>
#include <QDBusAbstractAdaptor>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QEvent>
#include <QImage>
#include <QMap>
#include <QMenu>
#include <QSet>
#include <QTimer>
#include <QtEndian>

#include "app/linux/tray_host_linux.h"

namespace {

const char kItemPath[] = "/StatusNotifierItem";
const char kMenuPath[] = "/MenuBar";

// The D-Bus records of both interfaces: an icon image (iiay, ARGB32 in
// network byte order), the tool tip (sa(iiay)ss), a menu item with its
// children (ia{sv}av, each child a variant holding the same record), a menu
// item's properties (ia{sv}), the names of properties an item lost (ias) and
// a panel's event (isvu).
struct IconImage {
    int width = 0;
    int height = 0;
    QByteArray argb;
};
using IconPixmaps = QList<IconImage>;
struct ToolTipRecord {
    QString iconName;
    IconPixmaps pixmaps;
    QString title;
    QString text;
};
struct MenuLayout {
    int id = 0;
    QVariantMap properties;
    QList<MenuLayout> children;
};
struct MenuItemProperties {
    int id = 0;
    QVariantMap properties;
};
using MenuItemPropertiesList = QList<MenuItemProperties>;
struct MenuItemPropertyNames {
    int id = 0;
    QStringList names;
};
using MenuItemPropertyNamesList = QList<MenuItemPropertyNames>;
struct MenuEvent {
    int id = 0;
    QString eventId;
    QDBusVariant data;
    uint timestamp = 0;
};
using MenuEvents = QList<MenuEvent>;

}  // namespace

Q_DECLARE_METATYPE(IconImage)
Q_DECLARE_METATYPE(ToolTipRecord)
Q_DECLARE_METATYPE(MenuLayout)
Q_DECLARE_METATYPE(MenuItemProperties)
Q_DECLARE_METATYPE(MenuItemPropertyNames)
Q_DECLARE_METATYPE(MenuEvent)

namespace {

QDBusArgument& operator<<(QDBusArgument& arg, const IconImage& p) {
    arg.beginStructure();
    arg << p.width << p.height << p.argb;
    arg.endStructure();
    return arg;
}
const QDBusArgument& operator>>(const QDBusArgument& arg, IconImage& p) {
    arg.beginStructure();
    arg >> p.width >> p.height >> p.argb;
    arg.endStructure();
    return arg;
}
QDBusArgument& operator<<(QDBusArgument& arg, const ToolTipRecord& t) {
    arg.beginStructure();
    arg << t.iconName << t.pixmaps << t.title << t.text;
    arg.endStructure();
    return arg;
}
const QDBusArgument& operator>>(const QDBusArgument& arg, ToolTipRecord& t) {
    arg.beginStructure();
    arg >> t.iconName >> t.pixmaps >> t.title >> t.text;
    arg.endStructure();
    return arg;
}
QDBusArgument& operator<<(QDBusArgument& arg, const MenuLayout& l) {
    arg.beginStructure();
    arg << l.id << l.properties;
    arg.beginArray(qMetaTypeId<QDBusVariant>());
    for (const MenuLayout& child : l.children) arg << QDBusVariant(QVariant::fromValue(child));
    arg.endArray();
    arg.endStructure();
    return arg;
}
const QDBusArgument& operator>>(const QDBusArgument& arg, MenuLayout& l) {
    arg.beginStructure();
    arg >> l.id >> l.properties;
    arg.beginArray();
    l.children.clear();
    while (!arg.atEnd()) {
        QDBusVariant child;
        arg >> child;
        l.children.append(qdbus_cast<MenuLayout>(child.variant()));
    }
    arg.endArray();
    arg.endStructure();
    return arg;
}
QDBusArgument& operator<<(QDBusArgument& arg, const MenuItemProperties& p) {
    arg.beginStructure();
    arg << p.id << p.properties;
    arg.endStructure();
    return arg;
}
const QDBusArgument& operator>>(const QDBusArgument& arg, MenuItemProperties& p) {
    arg.beginStructure();
    arg >> p.id >> p.properties;
    arg.endStructure();
    return arg;
}
QDBusArgument& operator<<(QDBusArgument& arg, const MenuItemPropertyNames& p) {
    arg.beginStructure();
    arg << p.id << p.names;
    arg.endStructure();
    return arg;
}
const QDBusArgument& operator>>(const QDBusArgument& arg, MenuItemPropertyNames& p) {
    arg.beginStructure();
    arg >> p.id >> p.names;
    arg.endStructure();
    return arg;
}
QDBusArgument& operator<<(QDBusArgument& arg, const MenuEvent& e) {
    arg.beginStructure();
    arg << e.id << e.eventId << e.data << e.timestamp;
    arg.endStructure();
    return arg;
}
const QDBusArgument& operator>>(const QDBusArgument& arg, MenuEvent& e) {
    arg.beginStructure();
    arg >> e.id >> e.eventId >> e.data >> e.timestamp;
    arg.endStructure();
    return arg;
}

void RegisterTypes() {
    // The lists by their names too: QtDBus finds a slot's parameter types by name.
    qRegisterMetaType<IconPixmaps>("IconPixmaps");
    qRegisterMetaType<MenuItemPropertiesList>("MenuItemPropertiesList");
    qRegisterMetaType<MenuItemPropertyNamesList>("MenuItemPropertyNamesList");
    qRegisterMetaType<MenuEvents>("MenuEvents");
    qDBusRegisterMetaType<IconImage>();
    qDBusRegisterMetaType<IconPixmaps>();
    qDBusRegisterMetaType<ToolTipRecord>();
    qDBusRegisterMetaType<MenuLayout>();
    qDBusRegisterMetaType<MenuItemProperties>();
    qDBusRegisterMetaType<MenuItemPropertiesList>();
    qDBusRegisterMetaType<MenuItemPropertyNames>();
    qDBusRegisterMetaType<MenuItemPropertyNamesList>();
    qDBusRegisterMetaType<MenuEvent>();
    qDBusRegisterMetaType<MenuEvents>();
}

// Every size of the icon as panels without the icon theme draw it.
IconPixmaps Pixmaps(const QIcon& icon) {
    IconPixmaps pixmaps;
    for (const QSize& size : icon.availableSizes()) {
        const QImage image =
            icon.pixmap(size, 1.0).toImage().convertToFormat(QImage::Format_ARGB32);
        IconImage pixmap{image.width(), image.height(), QByteArray()};
        pixmap.argb.resize(qsizetype{4} * image.width() * image.height());
        char* out = pixmap.argb.data();
        for (int y = 0; y < image.height(); ++y) {
            const auto* line = reinterpret_cast<const quint32*>(image.constScanLine(y));
            for (int x = 0; x < image.width(); ++x, out += 4) qToBigEndian(line[x], out);
        }
        pixmaps.append(pixmap);
    }
    return pixmaps;
}

class ItemAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierItem")
    Q_PROPERTY(QString Category READ Category)
    Q_PROPERTY(QString Id READ Id)
    Q_PROPERTY(QString Title READ Title)
    Q_PROPERTY(QString Status READ Status)
    Q_PROPERTY(int WindowId READ WindowId)
    Q_PROPERTY(QString IconName READ IconName)
    Q_PROPERTY(IconPixmaps IconPixmap READ IconPixmap)
    Q_PROPERTY(QString OverlayIconName READ Empty)
    Q_PROPERTY(IconPixmaps OverlayIconPixmap READ NoPixmaps)
    Q_PROPERTY(QString AttentionIconName READ Empty)
    Q_PROPERTY(IconPixmaps AttentionIconPixmap READ NoPixmaps)
    Q_PROPERTY(ToolTipRecord ToolTip READ ToolTip)
    Q_PROPERTY(bool ItemIsMenu READ ItemIsMenu)
    Q_PROPERTY(QDBusObjectPath Menu READ Menu)
  public:
    // The icon's name only when the icon theme has it (a program run from its
    // build tree finds none): a panel that gets a name draws that name, even
    // when it cannot find it, and never looks at the pixmaps.
    explicit ItemAdaptor(StatusNotifierItem* item)
        : QDBusAbstractAdaptor(item),
          item_(item),
          iconName_(QIcon::hasThemeIcon(item->Identity().iconName) ? item->Identity().iconName
                                                                   : QString()),
          pixmaps_(Pixmaps(item->Icon())) {}

    QString Category() const { return QStringLiteral("ApplicationStatus"); }
    QString Id() const { return item_->Identity().id; }
    QString Title() const { return item_->Identity().title; }
    QString Status() const { return QStringLiteral("Active"); }
    int WindowId() const { return 0; }
    QString IconName() const { return iconName_; }
    IconPixmaps IconPixmap() const { return pixmaps_; }
    QString Empty() const { return QString(); }
    IconPixmaps NoPixmaps() const { return {}; }
    ToolTipRecord ToolTip() const { return {iconName_, {}, item_->Identity().toolTip, QString()}; }
    // The menu is all the item offers: a panel that honours the mark shows
    // it on a left click too, instead of calling Activate.
    bool ItemIsMenu() const { return true; }
    QDBusObjectPath Menu() const { return QDBusObjectPath(QString::fromUtf8(kMenuPath)); }

  public slots:
    // Where the program can place its own menu at the icon, a click opens it
    // there. Elsewhere (Wayland) the answer is an error: panels that call
    // Activate on a left click (Plasma) then show the exported menu themselves.
    void Activate(int x, int y, const QDBusMessage& call) { PopUpOrRefuse(x, y, call); }
    void ContextMenu(int x, int y, const QDBusMessage& call) { PopUpOrRefuse(x, y, call); }
    void SecondaryActivate(int, int) {}
    void Scroll(int, const QString&) {}

  private:
    void PopUpOrRefuse(int x, int y, const QDBusMessage& call) {
        if (item_->PopUp(QPoint(x, y))) return;
        call.setDelayedReply(true);
        QDBusConnection::sessionBus().send(call.createErrorReply(
            QDBusError::UnknownMethod,
            QStringLiteral("the item shows no menu of its own here; the panel shows it")));
    }

    StatusNotifierItem* item_;
    QString iconName_;
    IconPixmaps pixmaps_;
};

// A menu item's properties by name.
using ItemProperties = QVariantMap;
// The menu as a panel last saw it: the ids in order, and each one's properties.
struct MenuSnapshot {
    QList<int> ids;
    QMap<int, ItemProperties> properties;
};

// The QMenu as a panel reads it. An item's id is its command (the action's
// data), a separator's its position + 1; the root is 0.
//
// What changed is announced the way dbusmenu asks: items that come, go or
// move bring a new layout (LayoutUpdated with a greater revision); a change
// of an item that stays (a check mark, a label) is sent with its new
// properties (ItemsPropertiesUpdated), since panels re-read only the layout's
// structure and keep the properties of the items they know.
class MenuAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.canonical.dbusmenu")
    Q_PROPERTY(uint Version READ Version)
    Q_PROPERTY(QString TextDirection READ TextDirection)
    Q_PROPERTY(QString Status READ Status)
    Q_PROPERTY(QStringList IconThemePath READ IconThemePath)
  public:
    MenuAdaptor(QObject* parent, QMenu* menu)
        : QDBusAbstractAdaptor(parent), menu_(menu), shown_(Snapshot()) {
        menu_->installEventFilter(this);
    }

    uint Version() const { return 3; }
    QString TextDirection() const { return QStringLiteral("ltr"); }
    QString Status() const { return QStringLiteral("normal"); }
    QStringList IconThemePath() const { return {}; }

    bool eventFilter(QObject*, QEvent* event) override {
        const QEvent::Type type = event->type();
        if (type == QEvent::ActionAdded || type == QEvent::ActionChanged ||
            type == QEvent::ActionRemoved) {
            AnnounceSoon();
        }
        return false;
    }

  public slots:
    uint GetLayout(int parentId, int recursionDepth, const QStringList& propertyNames,
                   MenuLayout& layout) {
        layout = MenuLayout{parentId, {}, {}};
        if (parentId != 0) {
            if (QAction* action = Find(parentId))
                layout.properties = Asked(Properties(action), propertyNames);
            return revision_;
        }
        layout.properties = Asked(RootProperties(), propertyNames);
        if (recursionDepth == 0) return revision_;
        const QList<QAction*> actions = menu_->actions();
        for (int i = 0; i < actions.size(); ++i) {
            layout.children.append(
                {Id(actions[i], i), Asked(Properties(actions[i]), propertyNames), {}});
        }
        return revision_;
    }
    // Every id asked that exists, the root included; all of them for none.
    MenuItemPropertiesList GetGroupProperties(const QList<int>& ids,
                                              const QStringList& propertyNames) {
        MenuItemPropertiesList list;
        if (ids.isEmpty() || ids.contains(0))
            list.append({0, Asked(RootProperties(), propertyNames)});
        const QList<QAction*> actions = menu_->actions();
        for (int i = 0; i < actions.size(); ++i) {
            const int id = Id(actions[i], i);
            if (ids.isEmpty() || ids.contains(id))
                list.append({id, Asked(Properties(actions[i]), propertyNames)});
        }
        return list;
    }
    QDBusVariant GetProperty(int id, const QString& name) {
        QAction* action = Find(id);
        const ItemProperties p = id == 0
                                     ? RootProperties()
                                     : (action != nullptr ? Properties(action) : ItemProperties());
        return QDBusVariant(p.value(name));
    }
    // A choice runs as a click in the QMenu does: the action is triggered.
    // Only a click chooses: panels also report the pointer passing over an
    // item ("hovered") and the menu opening and closing.
    void Event(int id, const QString& eventId, const QDBusVariant&, uint) {
        QAction* action = Find(id);
        if (action != nullptr && eventId == QLatin1String("clicked") && action->isEnabled())
            action->trigger();
    }
    // At most one click per item and call: a burst of the same click starts
    // one log viewer, not thirty.
    QList<int> EventGroup(const MenuEvents& events) {
        QList<int> unknown;
        QSet<int> clicked;
        for (const MenuEvent& e : events) {
            if (Find(e.id) == nullptr) {
                unknown.append(e.id);
                continue;
            }
            if (e.eventId == QLatin1String("clicked") && !clicked.contains(e.id)) {
                clicked.insert(e.id);
                Event(e.id, e.eventId, e.data, e.timestamp);
            }
        }
        return unknown;
    }
    // The menu brings its check marks up to date as it does before showing;
    // what that changed is announced before the answer, which says whether
    // the panel must read the layout again.
    bool AboutToShow(int id) {
        if (id == 0) emit menu_->aboutToShow();
        return Announce();
    }
    QList<int> AboutToShowGroup(const QList<int>& ids, QList<int>& idErrors) {
        idErrors.clear();
        QList<int> updates;
        for (int id : ids) {
            if (id != 0 && Find(id) == nullptr) idErrors.append(id);
            if (AboutToShow(id)) updates.append(id);
        }
        return updates;
    }

  signals:
    void LayoutUpdated(uint revision, int parent);
    void ItemsPropertiesUpdated(const MenuItemPropertiesList& updatedProps,
                                const MenuItemPropertyNamesList& removedProps);

  private:
    static int Id(const QAction* action, int position) {
        const int command = action->data().toInt();
        return command > 0 ? command : position + 1;
    }
    QAction* Find(int id) const {
        const QList<QAction*> actions = menu_->actions();
        for (int i = 0; i < actions.size(); ++i) {
            if (id != 0 && Id(actions[i], i) == id) return actions[i];
        }
        return nullptr;
    }
    static ItemProperties RootProperties() {
        return {{QStringLiteral("children-display"), QStringLiteral("submenu")}};
    }
    // Qt's mnemonic mark "&" becomes dbusmenu's "_"; a "_" of the text is
    // doubled, Qt's "&&" is a plain "&".
    static QString Label(const QString& text) {
        QString label;
        for (qsizetype i = 0; i < text.size(); ++i) {
            const QChar c = text[i];
            if (c == QLatin1Char('_')) {
                label += QLatin1String("__");
            } else if (c == QLatin1Char('&') && i + 1 < text.size()) {
                ++i;
                if (text[i] != QLatin1Char('&')) label += QLatin1Char('_');
                label += text[i] == QLatin1Char('_') ? QStringLiteral("__") : QString(text[i]);
            } else {
                label += c;
            }
        }
        return label;
    }
    // The properties as Qt's own export gives them (mode items are "radio"
    // items: they form one exclusive group).
    static ItemProperties Properties(const QAction* action) {
        ItemProperties p;
        if (action->isSeparator()) {
            p.insert(QStringLiteral("type"), QStringLiteral("separator"));
        } else {
            p.insert(QStringLiteral("label"), Label(action->text()));
            p.insert(QStringLiteral("enabled"), action->isEnabled());
            if (action->isCheckable()) {
                const bool radio =
                    action->actionGroup() != nullptr && action->actionGroup()->isExclusive();
                p.insert(QStringLiteral("toggle-type"),
                         radio ? QStringLiteral("radio") : QStringLiteral("checkmark"));
                p.insert(QStringLiteral("toggle-state"), action->isChecked() ? 1 : 0);
            }
        }
        p.insert(QStringLiteral("visible"), action->isVisible());
        return p;
    }
    static ItemProperties Asked(const ItemProperties& p, const QStringList& names) {
        if (names.isEmpty()) return p;
        ItemProperties asked;
        for (const QString& name : names) {
            if (p.contains(name)) asked.insert(name, p.value(name));
        }
        return asked;
    }
    MenuSnapshot Snapshot() const {
        MenuSnapshot now;
        const QList<QAction*> actions = menu_->actions();
        for (int i = 0; i < actions.size(); ++i) {
            const int id = Id(actions[i], i);
            now.ids.append(id);
            now.properties.insert(id, Properties(actions[i]));
        }
        return now;
    }
    // Announces the changes once the current burst is over (rebuilding the
    // rule items changes every action).
    void AnnounceSoon() {
        if (announcePending_) return;
        announcePending_ = true;
        QTimer::singleShot(0, this, [this] { Announce(); });
    }
    // Compares the menu with what the panel last saw and announces the
    // difference; true when the layout changed.
    bool Announce() {
        announcePending_ = false;
        MenuSnapshot now = Snapshot();
        MenuItemPropertiesList updated;
        MenuItemPropertyNamesList removed;
        for (int id : now.ids) {
            if (!shown_.properties.contains(id)) continue;
            const ItemProperties& before = shown_.properties[id];
            const ItemProperties& after = now.properties[id];
            MenuItemProperties changes{id, {}};
            MenuItemPropertyNames gone{id, {}};
            for (auto p = after.cbegin(); p != after.cend(); ++p) {
                if (before.value(p.key()) != p.value())
                    changes.properties.insert(p.key(), p.value());
            }
            for (auto p = before.cbegin(); p != before.cend(); ++p) {
                if (!after.contains(p.key())) gone.names.append(p.key());
            }
            if (!changes.properties.isEmpty()) updated.append(changes);
            if (!gone.names.isEmpty()) removed.append(gone);
        }
        const bool layoutChanged = now.ids != shown_.ids;
        shown_ = std::move(now);
        if (!updated.isEmpty() || !removed.isEmpty()) emit ItemsPropertiesUpdated(updated, removed);
        if (layoutChanged) emit LayoutUpdated(++revision_, 0);
        return layoutChanged;
    }

    QMenu* menu_;
    MenuSnapshot shown_;
    uint revision_ = 1;
    bool announcePending_ = false;
};

}  // namespace

StatusNotifierItem::StatusNotifierItem(QMenu* menu, const QIcon& icon,
                                       const StatusNotifierIdentity& identity,
                                       std::function<void(const QPoint&)> popUp, QObject* parent)
    : QObject(parent),
      menu_(menu),
      icon_(icon),
      identity_(identity),
      popUp_(std::move(popUp)),
      menuObject_(new QObject(this)) {
    RegisterTypes();
    new ItemAdaptor(this);
    new MenuAdaptor(menuObject_, menu_);
}

bool StatusNotifierItem::Show() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    service_ =
        QStringLiteral("org.kde.StatusNotifierItem-%1-1").arg(QCoreApplication::applicationPid());
    if (!bus.registerObject(QString::fromUtf8(kItemPath), this, QDBusConnection::ExportAdaptors) ||
        !bus.registerObject(QString::fromUtf8(kMenuPath), menuObject_,
                            QDBusConnection::ExportAdaptors) ||
        !bus.registerService(service_)) {
        Hide();
        return false;
    }
    auto* watcher = new QDBusServiceWatcher(QString::fromUtf8(kStatusNotifierWatcher), bus,
                                            QDBusServiceWatcher::WatchForRegistration, this);
    connect(watcher, &QDBusServiceWatcher::serviceRegistered, this, &StatusNotifierItem::Register);
    Register();
    return true;
}

void StatusNotifierItem::Hide() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    bus.unregisterService(service_);
    bus.unregisterObject(QString::fromUtf8(kItemPath));
    bus.unregisterObject(QString::fromUtf8(kMenuPath));
}

void StatusNotifierItem::Register() {
    QDBusMessage call = QDBusMessage::createMethodCall(
        QString::fromUtf8(kStatusNotifierWatcher), QString::fromUtf8(kStatusNotifierWatcherPath),
        QString::fromUtf8(kStatusNotifierWatcher), QStringLiteral("RegisterStatusNotifierItem"));
    // Registered by the connection's unique name, not the item's well-known
    // one: given a well-known name, GNOME's AppIndicator extension also
    // watches that name's owner, and when that answer comes while it is still
    // reading the item's properties, it drops what it read and then the item.
    call << QDBusConnection::sessionBus().baseService();
    // Not waited for: a watcher that refuses leaves nothing to do.
    QDBusConnection::sessionBus().asyncCall(call);
}

#include "status_notifier_linux.moc"
