// The program's StatusNotifierItem and its exported menu, as a panel sees
// them on a private session bus: the test owns the watcher and reads the item
// over a connection of its own. Qt runs offscreen with DISPLAY set, where the
// X11 tray check must not reach for an X connection that is not there.
#include <QAction>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QtTest>
#include <memory>
#include <tuple>

#include "app/linux/config_dialog_qt.h"
#include "app/linux/tray_app_qt.h"
#include "common/wake_event.h"
#include "settings/shared_state.h"
#include "support/test_support.h"

namespace {

const char kWatcher[] = "org.kde.StatusNotifierWatcher";
const char kMenu[] = "com.canonical.dbusmenu";

// The watcher the item registers with; it counts the questions whether a
// host is there.
class FakeWatcher : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ HostRegistered)
  public:
    bool host = false;
    mutable int questions = 0;
    int questionsAtPing = -1;
    QStringList items;
    bool HostRegistered() const {
        ++questions;
        return host;
    }
  public slots:
    void RegisterStatusNotifierItem(const QString& service) { items.append(service); }
    void Ping() { questionsAtPing = questions; }
    // Called on the program's own connection, after what was sent before it
    // was handled there: pings the watcher over that connection, which then
    // has every question the program asked meanwhile.
    void PingFromTheProgram() {
        QDBusConnection::sessionBus().asyncCall(QDBusMessage::createMethodCall(
            QString::fromUtf8(kWatcher), QStringLiteral("/StatusNotifierWatcher"),
            QString::fromUtf8(kWatcher), QStringLiteral("Ping")));
    }
  signals:
    void StatusNotifierHostRegistered();
};

// Items' properties by id, from a(ia{sv}).
QMap<int, QVariantMap> Items(const QVariant& value) {
    QMap<int, QVariantMap> items;
    const QDBusArgument list = value.value<QDBusArgument>();
    list.beginArray();
    while (!list.atEnd()) {
        int id = 0;
        QVariantMap properties;
        list.beginStructure();
        list >> id >> properties;
        list.endStructure();
        items.insert(id, properties);
    }
    list.endArray();
    return items;
}

// What the menu announces: each LayoutUpdated's revision, each
// ItemsPropertiesUpdated's changed properties.
class Announcements : public QObject {
    Q_OBJECT
  public:
    QList<uint> layouts;
    QList<QMap<int, QVariantMap>> updates;
  public slots:
    void Layout(uint revision, int) { layouts.append(revision); }
    void Properties(const QDBusMessage& signal) { updates.append(Items(signal.arguments().at(0))); }
};

// A panel's event (isvu).
struct PanelEvent {
    int id = 0;
    QString event;
};
QDBusArgument& operator<<(QDBusArgument& arg, const PanelEvent& e) {
    arg.beginStructure();
    arg << e.id << e.event << QDBusVariant(0) << 0u;
    arg.endStructure();
    return arg;
}
const QDBusArgument& operator>>(const QDBusArgument& arg, PanelEvent&) {
    return arg;
}

}  // namespace

Q_DECLARE_METATYPE(PanelEvent)

class StatusNotifierTest : public QObject {
    Q_OBJECT
  private:
    QDBusConnection watcherBus_ = QDBusConnection(QString());
    QDBusConnection panel_ = QDBusConnection(QString());
    FakeWatcher watcher_;
    Announcements heard_;
    SharedState shared_;
    WakeEvent* wake_ = nullptr;
    std::unique_ptr<FakeDialUp> fake_;
    std::unique_ptr<QtTrayApp> app_;
    int starts_ = 0;
    int quits_ = 0;

    // A call to the item, answered while this thread's events run (the item
    // lives on this thread), with the signals sent before the answer handled.
    QDBusMessage Call(const QString& path, const QString& interface, const QString& method,
                      const QList<QVariant>& args) {
        QDBusMessage call =
            QDBusMessage::createMethodCall(watcher_.items.value(0), path, interface, method);
        call.setArguments(args);
        QDBusPendingCall pending = panel_.asyncCall(call, 5000);
        QDeadlineTimer deadline(6000);
        while (!pending.isFinished() && !deadline.hasExpired()) QTest::qWait(5);
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
        return pending.reply();
    }
    QDBusMessage CallMenu(const QString& method, const QList<QVariant>& args) {
        return Call(QStringLiteral("/MenuBar"), QString::fromUtf8(kMenu), method, args);
    }
    QVariant ItemProperty(const char* name) {
        const QDBusMessage reply =
            Call(QStringLiteral("/StatusNotifierItem"),
                 QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"),
                 {QStringLiteral("org.kde.StatusNotifierItem"), QString::fromUtf8(name)});
        return reply.arguments().value(0).value<QDBusVariant>().variant();
    }
    // The layout as a panel reads it, "id label" an item ("(x) " before a
    // checked radio item), "id -" a separator; and its revision.
    QStringList Layout(uint* revision = nullptr) {
        const QDBusMessage reply = CallMenu(QStringLiteral("GetLayout"), {0, -1, QStringList()});
        if (revision != nullptr) *revision = reply.arguments().value(0).toUInt();
        QStringList items;
        const QDBusArgument root = reply.arguments().value(1).value<QDBusArgument>();
        int id = 0;
        QVariantMap properties;
        root.beginStructure();
        root >> id >> properties;
        root.beginArray();
        while (!root.atEnd()) {
            QDBusVariant child;
            root >> child;
            const QDBusArgument item = child.variant().value<QDBusArgument>();
            item.beginStructure();
            item >> id >> properties;
            item.endStructure();
            QString mark;
            if (properties.contains(QStringLiteral("toggle-state")))
                mark = properties.value(QStringLiteral("toggle-state")).toInt() == 1
                           ? QStringLiteral("(x) ")
                           : QStringLiteral("( ) ");
            items << QStringLiteral("%1 %2%3").arg(id).arg(
                mark, properties.value(QStringLiteral("label"), QStringLiteral("-")).toString());
        }
        root.endArray();
        root.endStructure();
        return items;
    }
    void Event(int id, const char* event) {
        CallMenu(QStringLiteral("Event"),
                 {id, QString::fromUtf8(event), QVariant::fromValue(QDBusVariant(0)), 0u});
    }

  private slots:
    void initTestCase() {
        qDBusRegisterMetaType<PanelEvent>();
        qDBusRegisterMetaType<QList<PanelEvent>>();
        const QString address = QString::fromUtf8(qgetenv("DBUS_SESSION_BUS_ADDRESS"));
        watcherBus_ = QDBusConnection::connectToBus(address, QStringLiteral("watcher"));
        panel_ = QDBusConnection::connectToBus(address, QStringLiteral("panel"));
        QVERIFY(watcherBus_.registerObject(QStringLiteral("/StatusNotifierWatcher"), &watcher_,
                                           QDBusConnection::ExportAllContents));
        QVERIFY(watcherBus_.registerService(QString::fromUtf8(kWatcher)));

        wake_ = CreateWakeEvent(false, nullptr);
        fake_ = std::make_unique<FakeDialUp>();
        Settings s;
        SetDefaultSettings(&s);
        s.ruleTable.nUserEntries = 2;
        InitRule(&s.ruleTable.rules[0], "Casa_&Ufficio");
        InitRule(&s.ruleTable.rules[1], "Sera");
        InitSharedState(&shared_, s);
        TrayAppOptions options;
        options.shared = &shared_;
        options.wake = wake_;
        options.dialogService = &fake_->service;
        options.startDetached = [this](const QString&, const QStringList&) { return ++starts_; };
        options.quit = [this] { ++quits_; };
        app_ = std::make_unique<QtTrayApp>(options);
    }
    void cleanupTestCase() {
        app_.reset();
        DestroyWakeEvent(wake_);
    }

    // Only the watcher's owner announces a host: signals from anyone else are
    // not asked about, and the question is asked without blocking the program.
    void iconFollowsOnlyTheWatchersHost() {
        app_->ShowIconWhenTrayAppears();
        QTRY_COMPARE(watcher_.questions, 1);
        QDBusMessage spoof = QDBusMessage::createSignal(
            QStringLiteral("/StatusNotifierWatcher"), QString::fromUtf8(kWatcher),
            QStringLiteral("StatusNotifierHostRegistered"));
        for (int i = 0; i < 10; ++i) panel_.send(spoof);
        QDBusConnection::sessionBus().registerObject(QStringLiteral("/Relay"), &watcher_,
                                                     QDBusConnection::ExportAllSlots);
        panel_.asyncCall(QDBusMessage::createMethodCall(
            QDBusConnection::sessionBus().baseService(), QStringLiteral("/Relay"),
            QString::fromUtf8(kWatcher), QStringLiteral("PingFromTheProgram")));
        QTRY_COMPARE(watcher_.questionsAtPing, 1);
        QDBusConnection::sessionBus().unregisterObject(QStringLiteral("/Relay"));
        watcher_.host = true;
        emit watcher_.StatusNotifierHostRegistered();
        QTRY_VERIFY(app_->IconInTray());
        QTRY_COMPARE(watcher_.items.size(), 1);
        QCOMPARE(watcher_.questions, 2);
        // Registered by the connection's unique name, which GNOME's extension
        // does not watch on the side.
        QCOMPARE(watcher_.items.first(), QDBusConnection::sessionBus().baseService());

        const QString service = watcher_.items.first();
        for (const char* member : {"LayoutUpdated", "ItemsPropertiesUpdated"}) {
            QVERIFY(panel_.connect(
                service, QStringLiteral("/MenuBar"), QString::fromUtf8(kMenu),
                QString::fromUtf8(member), &heard_,
                *member == 'L' ? SLOT(Layout(uint, int)) : SLOT(Properties(QDBusMessage))));
        }
    }

    // Ids are the commands (separators their position + 1); Qt's "&" marks
    // the mnemonic, which dbusmenu writes "_", doubling a "_" of the text.
    void layoutHasTheMenusIdsAndLabels() {
        QCOMPARE(Layout(), (QStringList{"40001 ( ) Connesso", "40003 ( ) Disconnesso",
                                        "40006 (x) Disabilitato", "41000 ( ) Casa___Ufficio",
                                        "41001 ( ) Sera", "6 -", "40004 Configurazione...",
                                        "40008 Log", "9 -", "40005 Esci"}));
        // The root is answered too, with the items asked for.
        const QDBusMessage reply = CallMenu(QStringLiteral("GetGroupProperties"),
                                            {QVariant::fromValue(QList<int>{0, 40005}),
                                             QStringList{QStringLiteral("children-display")}});
        QCOMPARE(Items(reply.arguments().value(0)).keys(), (QList<int>{0, 40005}));
    }

    // A mode chosen without a click (as a later start's --mode) moves the
    // radio mark and is announced at once, in one ItemsPropertiesUpdated,
    // with no new layout; opening the menu then changes nothing more.
    void modeChoiceMovesTheMarkInOneAnnouncement() {
        app_->RunCommand(kCmdConnected);
        QTRY_COMPARE(heard_.updates.size(), 1);
        QVariantMap on{{QStringLiteral("toggle-state"), 1}};
        QVariantMap off{{QStringLiteral("toggle-state"), 0}};
        QCOMPARE(heard_.updates[0],
                 (QMap<int, QVariantMap>{{kCmdConnected, on}, {kCmdDisabled, off}}));
        QVERIFY(heard_.layouts.isEmpty());
        QCOMPARE(Layout().mid(0, 3), (QStringList{"40001 (x) Connesso", "40003 ( ) Disconnesso",
                                                  "40006 ( ) Disabilitato"}));
        const QDBusMessage reply = CallMenu(QStringLiteral("AboutToShow"), {0});
        QCOMPARE(reply.arguments().value(0), QVariant(false));
        QCOMPARE(heard_.updates.size(), 1);
        QVERIFY(heard_.layouts.isEmpty());
    }

    // OK in the dialog rebuilds every item: one new layout, with a greater
    // revision, which GetLayout then answers with.
    void newRuleItemsBringOneLayoutWithANewRevision() {
        uint before = 0;
        Layout(&before);
        QTimer::singleShot(0, this, [this] {
            QTest::mouseClick(app_->OpenDialog()->Control(kIdAdd), Qt::LeftButton);
            QTest::mouseClick(app_->OpenDialog()->Control(kIdOk), Qt::LeftButton);
        });
        app_->RunCommand(kCmdConfigure);
        QTRY_COMPARE(heard_.layouts.size(), 1);
        uint after = 0;
        QCOMPARE(Layout(&after).at(5), QStringLiteral("41002 ( ) Nuova regola"));
        QCOMPARE(heard_.layouts.size(), 1);
        QVERIFY2(heard_.layouts[0] > before, qPrintable(QString::number(before)));
        QCOMPARE(after, heard_.layouts[0]);
    }

    // Only "clicked" chooses, once per item and call however often a panel
    // repeats it.
    void onlyOneClickTriggersAnItem() {
        for (const char* event : {"hovered", "opened", "closed", "pressed"}) {
            Event(kCmdShowLog, event);
            Event(kCmdExit, event);
            Event(kCmdDisconnected, event);
        }
        QCOMPARE(starts_, 0);
        QCOMPARE(quits_, 0);
        QCOMPARE(CurrentMode(&shared_), ModeDisabled);
        Event(kCmdShowLog, "clicked");
        QCOMPARE(starts_, 1);

        // Thirty clicks on "Log" and a pass over "Esci" in one call.
        QList<PanelEvent> events(30, PanelEvent{kCmdShowLog, QStringLiteral("clicked")});
        events.append({kCmdExit, QStringLiteral("hovered")});
        CallMenu(QStringLiteral("EventGroup"), {QVariant::fromValue(events)});
        QCOMPARE(starts_, 2);
        QCOMPARE(quits_, 0);
    }

    // The pixmaps are ARGB32 in network byte order; the name only where the
    // icon theme has the icon (not here).
    void pixmapsAreArgbInNetworkOrder() {
        QCOMPARE(ItemProperty("IconName").toString(), QString());
        const QDBusArgument pixmaps = ItemProperty("IconPixmap").value<QDBusArgument>();
        const QImage image = TeleoraIcon().pixmap(QSize(16, 16)).toImage();
        int width = 0;
        int height = 0;
        QByteArray argb;
        pixmaps.beginArray();
        while (!pixmaps.atEnd()) {
            int w = 0;
            int h = 0;
            QByteArray bytes;
            pixmaps.beginStructure();
            pixmaps >> w >> h >> bytes;
            pixmaps.endStructure();
            if (w == 16) std::tie(width, height, argb) = std::tie(w, h, bytes);
        }
        pixmaps.endArray();
        QCOMPARE(width, 16);
        QCOMPARE(argb.size(), 16 * 16 * 4);
        for (int i = 0; i < 16 * 16; ++i) {
            const QRgb pixel = image.pixel(i % 16, i / 16);
            if (qAlpha(pixel) != 255 || qRed(pixel) == qBlue(pixel)) continue;
            const char bytes[] = {char(255), char(qRed(pixel)), char(qGreen(pixel)),
                                  char(qBlue(pixel))};
            QCOMPARE(argb.mid(i * 4, 4).toHex(), QByteArray(bytes, 4).toHex());
            return;
        }
        QFAIL("no opaque pixel with red unlike blue");
    }
};

int main(int argc, char** argv) {
    qputenv("DISPLAY", ":97");
    QApplication app(argc, argv);
    QProcess bus;
    bus.start(QStringLiteral("dbus-daemon"),
              {QStringLiteral("--session"), QStringLiteral("--nofork"),
               QStringLiteral("--print-address=1")});
    if (!bus.waitForStarted(5000) || !bus.waitForReadyRead(5000)) {
        fputs("dbus-daemon did not start (package dbus)\n", stderr);
        return 1;
    }
    qputenv("DBUS_SESSION_BUS_ADDRESS", bus.readLine().trimmed());
    int status = 0;
    {
        StatusNotifierTest test;
        status = QTest::qExec(&test, argc, argv);
    }
    bus.kill();
    bus.waitForFinished(5000);
    return status;
}

#include "status_notifier_linux_test.moc"
