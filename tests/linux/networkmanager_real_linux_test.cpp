// The binding against a real NetworkManager daemon. real_nm_test.sh runs it
// inside a throwaway network namespace where NetworkManager knows a wired
// profile "Wired" (up, on one veth), a PPPoE profile "Provider PPPoE" on
// another veth (it fails: there is no PPP service) and a VPN "Ufficio VPN" whose
// plugin is not installed.
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QtTest>
#include <cstring>

#include "log/event_log.h"
#include "settings/shared_state.h"
#include "supervisor/supervisor.h"
#include "support/nm_client.h"

namespace {

const QString kNm = QStringLiteral("org.freedesktop.NetworkManager");

// The ids of every active connection, read as another client would.
QStringList ActiveIds() {
    QDBusConnection bus = QDBusConnection::systemBus();
    auto get = [&bus](const QString& path, const QString& iface, const QString& name) {
        QDBusMessage call = QDBusMessage::createMethodCall(
            kNm, path, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
        call.setArguments({iface, name});
        QDBusMessage reply = bus.call(call, QDBus::Block, 5000);
        return reply.arguments().isEmpty()
                   ? QVariant()
                   : reply.arguments().first().value<QDBusVariant>().variant();
    };
    QList<QDBusObjectPath> paths;
    const QVariant value = get(QStringLiteral("/org/freedesktop/NetworkManager"), kNm,
                               QStringLiteral("ActiveConnections"));
    value.value<QDBusArgument>() >> paths;
    QStringList ids;
    for (const QDBusObjectPath& p : paths) {
        ids << get(p.path(), QStringLiteral("org.freedesktop.NetworkManager.Connection.Active"),
                   QStringLiteral("Id"))
                   .toString();
    }
    return ids;
}

}  // namespace

class NetworkManagerRealTest : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase() {
        QVERIFY2(ActiveIds().contains(QStringLiteral("Wired")), "the wired profile is not up");
    }

    void phonebookHoldsOnlyDialUpProfiles() {
        std::vector<std::string> names;
        int32_t rc = -1;
        OnThread([&] { rc = Client().Entries(&names); });
        QCOMPARE(rc, 0);
        std::sort(names.begin(), names.end());
        QCOMPARE(names,
                 (std::vector<std::string>{"Provider PPPoE", "Telefono DUN", "Ufficio VPN"}));
    }

    // The loopback and the wired connection are active but not listed.
    void activeListHoldsNoLanConnection() {
        std::vector<Active> active;
        int32_t rc = -1;
        OnThread([&] { rc = Client().List(&active); });
        QCOMPARE(rc, 0);
        QVERIFY2(active.empty(), active.empty() ? "" : active[0].name.c_str());
    }

    // A dial that really fails, logged with NetworkManager's reason; the wired
    // connection stays up through a pass that must keep everything else down.
    void failedDialIsLoggedWithItsReason() {
        const QString text = RunPasses(ModeAlwaysUp, 1, {"Provider PPPoE"});
        qInfo().noquote() << text.trimmed();
        QVERIFY2(UndatedLines(text).contains(
                     QLogLine("RasDial", "Provider PPPoE", 312, "PPP service failed to start.")),
                 qPrintable(text));
        QVERIFY2(!text.contains(QStringLiteral("RasHangUp")), qPrintable(text));
        QVERIFY(ActiveIds().contains(QStringLiteral("Wired")));
        QVERIFY(!ActiveIds().contains(QStringLiteral("Provider PPPoE")));
    }

    void vpnWithoutItsPluginFails() {
        const QString text = RunPasses(ModeAlwaysUp, 1, {"Ufficio VPN"});
        qInfo().noquote() << text.trimmed();
        QVERIFY2(UndatedLines(text).contains(QLogLine(
                     "RasDial", "Ufficio VPN", 203,
                     "NetworkManager could not find the connection (the profile, or the base "
                     "connection a VPN needs).")),
                 qPrintable(text));
        QVERIFY(ActiveIds().contains(QStringLiteral("Wired")));
    }

    void disconnectedWithDropOthersLeavesTheWiredNetwork() {
        const QString text =
            RunPasses(ModeAlwaysDown, 1, {"Provider PPPoE", "Provider PPPoE", "Provider PPPoE"});
        QCOMPARE(text, QString());
        QVERIFY(ActiveIds().contains(QStringLiteral("Wired")));
    }
};

QTEST_GUILESS_MAIN(NetworkManagerRealTest)
#include "networkmanager_real_linux_test.moc"
