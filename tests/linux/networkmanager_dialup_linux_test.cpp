// The NetworkManager binding against the mock on a private system bus. The
// binding runs on a plain thread of its own, as on the supervisor's thread.
#include "dialup/networkmanager_dialup_linux.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QDBusConnectionInterface>
#include <QtTest>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "dialup/networkmanager_bus_linux.h"
#include "dialup/networkmanager_watch_linux.h"
#include "log/event_log.h"
#include "support/nm_client.h"
#include "support/nm_mock.h"

namespace {

std::vector<std::string> Names(const std::vector<Active>& active) {
    std::vector<std::string> names;
    for (const Active& a : active) names.push_back(a.name);
    return names;
}

// A system bus the test controls, on a socket path or an abstract name: it
// never takes a connection (kSilent), answers the authentication and then
// nothing (kAuthOnly), or also the first message after BEGIN (kAnswers).
class FakeBus {
  public:
    enum Kind { kSilent, kAuthOnly, kAnswers };
    FakeBus(Kind kind, const QByteArray& name, bool abstract) : kind_(kind) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        memcpy(address.sun_path + (abstract ? 1 : 0), name.constData(), size_t(name.size()));
        const socklen_t length =
            socklen_t(offsetof(sockaddr_un, sun_path) + 1 + size_t(name.size()));
        listener_ = socket(AF_UNIX, SOCK_STREAM, 0);
        ok_ = bind(listener_, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
              listen(listener_, 8) == 0;
        if (kind != kSilent) thread_ = std::thread([this] { Serve(); });
    }
    ~FakeBus() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        close(listener_);  // connects queued on a silent bus go with it
    }
    bool ok() const { return ok_; }

  private:
    void Serve() {
        std::vector<pollfd> fds{{listener_, POLLIN, 0}};
        std::vector<std::string> input(1);
        while (!stop_) {
            if (poll(fds.data(), fds.size(), 50) <= 0) continue;
            if (fds[0].revents & POLLIN) {
                fds.push_back({accept(listener_, nullptr, nullptr), POLLIN, 0});
                input.emplace_back();
            }
            for (size_t i = 1; i < fds.size(); ++i) {
                char chunk[512];
                if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
                const ssize_t n = recv(fds[i].fd, chunk, sizeof chunk, 0);
                if (n <= 0) {
                    close(fds[i].fd);
                    fds[i].fd = -1;
                    continue;
                }
                input[i].append(chunk, size_t(n));
                for (size_t end; (end = input[i].find("\r\n")) != std::string::npos;) {
                    const std::string line = input[i].substr(0, end);
                    input[i].erase(0, end + 2);
                    const char* answer = line.find("AUTH ") != std::string::npos ? "OK 0123\r\n"
                                         : line == "NEGOTIATE_UNIX_FD" ? "AGREE_UNIX_FD\r\n"
                                                                       : nullptr;
                    if (answer != nullptr) send(fds[i].fd, answer, strlen(answer), MSG_NOSIGNAL);
                    // A reply: method return, no flags, version 1, no body, serial 1, no fields.
                    static const char kReply[16] = {'l', 2, 0, 1, 0, 0, 0, 0, 1};
                    if (line == "BEGIN" && kind_ == kAnswers) {
                        send(fds[i].fd, kReply, sizeof kReply, MSG_NOSIGNAL);
                    }
                }
            }
        }
        for (size_t i = 1; i < fds.size(); ++i) close(fds[i].fd);
    }

    Kind kind_;
    int listener_ = -1;
    bool ok_ = false;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

const char* g_hungBus = "silent";  // the kind of system bus HungBusTest meets

}  // namespace

class NetworkManagerDialUpTest : public QObject {
    Q_OBJECT
  private:
    NmMock mock_;

    void WaitUntilInactive(const QString& id) {
        QTRY_VERIFY_WITH_TIMEOUT(!mock_.ActiveIds().contains(id), 5000);
    }

  private slots:
    void init() { QVERIFY2(mock_.Start(), qPrintable(mock_.Error())); }

    // Only the dial-up kinds are phonebook entries (of the bluetooth ones only
    // DUN), in NetworkManager's order; an id too long for the 256-byte field
    // is left out.
    void listsOnlyDialUpProfiles() {
        const std::string longest(256, 'x');
        const std::string tooLong(257, 'y');
        const char* profiles[][2] = {
            {"Provider Uno", "pppoe"},
            {"Wired", "802-3-ethernet"},
            {"Ufficio", "vpn"},
            {"Casa", "802-11-wireless"},
            {"lo", "loopback"},
            {"Mobile", "gsm"},
            {"br0", "bridge"},
            {"Tunnel", "wireguard"},
            {"Dsl", "adsl"},
            {"Evdo", "cdma"},
            {"Telefono", "bluetooth/dun"},
            {"Rete BT", "bluetooth/panu"},
            {longest.c_str(), "pppoe"},
            {tooLong.c_str(), "pppoe"},
        };
        for (auto& p : profiles) mock_.AddProfile(QString::fromUtf8(p[0]), QString::fromUtf8(p[1]));
        std::vector<std::string> names;
        int32_t rc = -1;
        OnThread([&] { rc = Client().Entries(&names); });
        QCOMPARE(rc, 0);
        const std::vector<std::string> expected = {"Provider Uno", "Ufficio", "Mobile",   "Tunnel",
                                                   "Dsl",          "Evdo",    "Telefono", longest};
        QCOMPARE(names, expected);
    }

    void moreProfilesThanTheDialogHoldsIsNoList() {
        for (int i = 0; i <= kMaxPhonebookEntries; ++i) {
            mock_.AddProfile(QStringLiteral("P%1").arg(i), QStringLiteral("pppoe"));
        }
        std::vector<std::string> names;
        int32_t rc = -1;
        OnThread([&] { rc = Client().Entries(&names); });
        QCOMPARE(rc, int32_t(kNmTooManyEntries));
        QVERIFY(names.empty());
    }

    // The active LAN connections (wired, loopback, Bluetooth PAN) are not
    // listed; the buffer protocol asks for the size of every record at once.
    void listsOnlyDialUpConnections() {
        mock_.Activate(mock_.AddProfile(QStringLiteral("Wired"), QStringLiteral("802-3-ethernet")));
        mock_.Activate(mock_.AddProfile(QStringLiteral("lo"), QStringLiteral("loopback")));
        mock_.Activate(mock_.AddProfile(QStringLiteral("Provider Uno"), QStringLiteral("pppoe")));
        mock_.Activate(mock_.AddProfile(QStringLiteral("Ufficio"), QStringLiteral("vpn")));
        mock_.Activate(
            mock_.AddProfile(QStringLiteral("Rete BT"), QStringLiteral("bluetooth/nap")));
        mock_.Activate(
            mock_.AddProfile(QStringLiteral("Telefono"), QStringLiteral("bluetooth/dun")));
        std::vector<Active> first, second;
        int resized = 0;
        int32_t rc1 = -1, rc2 = -1;
        OnThread([&] {
            Client client;
            rc1 = client.List(&first, &resized);
            rc2 = client.List(&second);
        });
        QCOMPARE(rc1, 0);
        QCOMPARE(rc2, 0);
        QCOMPARE(resized, 1);
        QCOMPARE(Names(first), (std::vector<std::string>{"Provider Uno", "Ufficio", "Telefono"}));
        QVERIFY(first[0].handle != 0 && first[1].handle != 0 && first[0].handle != first[1].handle);
        // The same connection keeps its handle from one enumeration to the next.
        QCOMPARE(second[0].handle, first[0].handle);
        QCOMPARE(second[1].handle, first[1].handle);
    }

    void foreignRecordSizeIsRefused() {
        int32_t rc = -1;
        uint32_t size = 0;
        OnThread([&] {
            Client client;
            std::vector<unsigned char> buffer(client.service.connectionRecordSize, 0);
            size = static_cast<uint32_t>(buffer.size());
            uint32_t count = 0;
            rc = client.service.enumConnections(client.service.ctx, buffer.data(), &size, &count);
        });
        QCOMPARE(rc, int32_t(kNmBadRecordSize));
        QCOMPARE(size, uint32_t(sizeof(NmConnectionRecord)));
    }

    // Up, found by the enumeration under the dial's handle, and down: exactly
    // the named profile, with the wired connection left as it was.
    void dialsAndHangsUpExactlyTheNamedProfile() {
        mock_.Activate(mock_.AddProfile(QStringLiteral("Wired"), QStringLiteral("802-3-ethernet")));
        mock_.AddProfile(QStringLiteral("Provider Uno"), QStringLiteral("pppoe"));
        mock_.AddProfile(QStringLiteral("Provider Due"), QStringLiteral("pppoe"));
        mock_.SetActivationOutcome(QStringLiteral("Provider Uno"), 0, 150);
        int32_t dialRc = -1;
        DialUpHandle handle = 0;
        std::vector<Active> listed;
        OnThread([&] {
            Client client;
            dialRc = client.Dial("Provider Uno", &handle);
            client.List(&listed);
        });
        QCOMPARE(dialRc, 0);
        QCOMPARE(mock_.ActiveIds(),
                 (QStringList{QStringLiteral("Wired"), QStringLiteral("Provider Uno")}));
        QCOMPARE(Names(listed), std::vector<std::string>{"Provider Uno"});
        QCOMPARE(listed[0].handle, handle);

        int32_t hangRc = -1, againRc = -1;
        OnThread([&] {
            Client client;
            std::vector<Active> now;
            client.List(&now);
            hangRc = client.service.hangUp(client.service.ctx, now.at(0).handle);
            againRc = client.service.hangUp(client.service.ctx, now.at(0).handle + 1000);
        });
        QCOMPARE(hangRc, 0);
        QCOMPARE(againRc, int32_t(kNmBadHandle));
        WaitUntilInactive(QStringLiteral("Provider Uno"));
        QCOMPARE(mock_.ActiveIds(), QStringList{QStringLiteral("Wired")});
    }

    // Dialling an entry that is already up replaces its active connection.
    void redialReplacesTheActiveConnection() {
        mock_.AddProfile(QStringLiteral("Provider Uno"), QStringLiteral("pppoe"));
        int32_t rc1 = -1, rc2 = -1;
        DialUpHandle h1 = 0, h2 = 0;
        OnThread([&] {
            Client client;
            rc1 = client.Dial("Provider Uno", &h1);
            rc2 = client.Dial("Provider Uno", &h2);
        });
        QCOMPARE(rc1, 0);
        QCOMPARE(rc2, 0);
        QVERIFY(h1 != h2);
        QCOMPARE(mock_.ActiveIds(), QStringList{QStringLiteral("Provider Uno")});
    }

    void unknownProfilesAreNotDialled_data() {
        QTest::addColumn<QString>("entry");
        QTest::newRow("no such profile") << QStringLiteral("Nessuno");
        QTest::newRow("other letter case") << QStringLiteral("provider uno");
        QTest::newRow("a wired profile") << QStringLiteral("Wired");
        QTest::newRow("a Bluetooth PAN profile") << QStringLiteral("Rete BT");
        QTest::newRow("longer than the field") << QString(257, QLatin1Char('x'));
    }
    void unknownProfilesAreNotDialled() {
        QFETCH(QString, entry);
        mock_.AddProfile(QStringLiteral("Provider Uno"), QStringLiteral("pppoe"));
        mock_.AddProfile(QStringLiteral("Wired"), QStringLiteral("802-3-ethernet"));
        mock_.AddProfile(QStringLiteral("Rete BT"), QStringLiteral("bluetooth/panu"));
        int32_t rc = -1, dialWithout = -1;
        OnThread([&] {
            Client client;
            DialUpHandle handle = 0;
            rc = client.Dial(entry.toUtf8().constData(), &handle);
            dialWithout = client.service.dial(client.service.ctx, &handle);
        });
        QCOMPARE(rc, int32_t(kNmNoSuchProfile));
        QCOMPARE(dialWithout, int32_t(kNmNoDialParams));
        QVERIFY(mock_.ActiveIds().isEmpty());
    }

    // A failed activation returns NetworkManager's reason (or, when the
    // connection only says its device went away, the device's reason) and a
    // handle that the caller hangs up.
    void activationFailuresCarryTheirReason_data() {
        QTest::addColumn<uint>("reason");
        QTest::addColumn<int>("deviceReason");
        QTest::addColumn<int>("code");
        QTest::newRow("login failed") << 10u << -1 << 110;
        QTest::newRow("service failed to start") << 8u << -1 << 108;
        QTest::newRow("no reason given") << 1u << -1 << 101;
        QTest::newRow("reason beyond the table") << 42u << -1 << 142;
        QTest::newRow("device: PPP failed to start") << 3u << 12 << 312;
        QTest::newRow("device reason under login failed") << 10u << 12 << 110;
    }
    void activationFailuresCarryTheirReason() {
        QFETCH(uint, reason);
        QFETCH(int, deviceReason);
        QFETCH(int, code);
        mock_.AddProfile(QStringLiteral("Provider Uno"), QStringLiteral("pppoe"));
        mock_.SetActivationOutcome(QStringLiteral("Provider Uno"), reason, 50, deviceReason);
        int32_t rc = -1;
        DialUpHandle handle = 0;
        OnThread([&] { rc = Client().Dial("Provider Uno", &handle); });
        QCOMPARE(rc, int32_t(code));
        QVERIFY(handle != 0);
        QVERIFY(mock_.ActiveIds().isEmpty());
        char text[kErrorTextSize];
        QCOMPARE(NmErrorText(rc, text, sizeof text), 0);
    }

    void activationErrorsMapToTheirCodes_data() {
        QTest::addColumn<QString>("errorName");
        QTest::addColumn<int>("code");
        QTest::newRow("unknown connection")
            << QStringLiteral("org.freedesktop.NetworkManager.UnknownConnection") << 203;
        QTest::newRow("missing plugin")
            << QStringLiteral("org.freedesktop.NetworkManager.MissingPlugin") << 210;
        QTest::newRow("permission denied")
            << QStringLiteral("org.freedesktop.NetworkManager.PermissionDenied") << 202;
        QTest::newRow("an error nobody knows") << QStringLiteral("org.example.Strange") << 200;
    }
    void activationErrorsMapToTheirCodes() {
        QFETCH(QString, errorName);
        QFETCH(int, code);
        mock_.AddProfile(QStringLiteral("Ufficio"), QStringLiteral("vpn"));
        mock_.SetActivationError(QStringLiteral("Ufficio"), errorName, QStringLiteral("refused"));
        int32_t rc = -1;
        DialUpHandle handle = 0;
        OnThread([&] { rc = Client().Dial("Ufficio", &handle); });
        QCOMPARE(rc, int32_t(code));
        QCOMPARE(handle, DialUpHandle(0));
    }

    // A dial that does not finish in time ends with its own code and a handle
    // that takes the half-made connection down.
    void slowActivationEndsAtTheDialTimeout() {
        mock_.AddProfile(QStringLiteral("Provider Uno"), QStringLiteral("pppoe"));
        mock_.SetActivationOutcome(QStringLiteral("Provider Uno"), 0, 60000);
        int32_t rc = -1, hangRc = -1;
        OnThread([&] {
            NmDialUpOptions options = FastOptions();
            options.dialTimeoutMs = 400;
            Client client(options);
            DialUpHandle handle = 0;
            rc = client.Dial("Provider Uno", &handle);
            hangRc = client.service.hangUp(client.service.ctx, handle);
        });
        QCOMPARE(rc, int32_t(kNmDialTimeout));
        QCOMPARE(hangRc, 0);
        WaitUntilInactive(QStringLiteral("Provider Uno"));
    }

    // NetworkManager stops answering: every operation gives up with a code.
    void hungServiceGivesNoAnswerCode() {
        mock_.AddProfile(QStringLiteral("Provider Uno"), QStringLiteral("pppoe"));
        mock_.Freeze(3000);
        int32_t listRc = -1, paramsRc = -1;
        OnThread([&] {
            NmDialUpOptions options = FastOptions();
            options.callTimeoutMs = 300;
            options.operationBudgetMs = 500;
            Client client(options);
            std::vector<Active> active;
            listRc = client.List(&active);
            paramsRc = client.service.getEntryDialParams(client.service.ctx, "Provider Uno");
        });
        QCOMPARE(listRc, int32_t(kNmNoAnswer));
        QCOMPARE(paramsRc, int32_t(kNmNoAnswer));
    }

    // NetworkManager accepts the activation, then stops answering: the dial
    // gives up with the no-answer code and a handle that, once NetworkManager
    // is back, takes the half-made connection down.
    void hangAfterActivationStillLeavesAHandle() {
        mock_.AddProfile(QStringLiteral("Provider Uno"), QStringLiteral("pppoe"));
        mock_.SetActivationOutcome(QStringLiteral("Provider Uno"), 0, 60000);
        mock_.FreezeAfterActivation(QStringLiteral("Provider Uno"), 2000);
        int32_t rc = -1, hangRc = -1;
        DialUpHandle handle = 0;
        OnThread([&] {
            NmDialUpOptions options = FastOptions();
            options.callTimeoutMs = 2000;
            options.operationBudgetMs = 1000;  // the hang outlasts the dial's budget
            Client client(options);
            rc = client.Dial("Provider Uno", &handle);
            std::this_thread::sleep_for(std::chrono::milliseconds(2500));
            hangRc = client.service.hangUp(client.service.ctx, handle);
        });
        QCOMPARE(rc, int32_t(kNmNoAnswer));
        QVERIFY(handle != 0);
        QCOMPARE(hangRc, 0);
        WaitUntilInactive(QStringLiteral("Provider Uno"));
    }

    // NetworkManager vanishes: the codes say so, also in the middle of a dial,
    // and the same instance works again once it is back.
    void serviceVanishingMidRun() {
        mock_.AddProfile(QStringLiteral("Provider Uno"), QStringLiteral("pppoe"));
        mock_.SetActivationOutcome(QStringLiteral("Provider Uno"), 0, 60000);
        const qint64 pid = mock_.MockPid();
        int32_t dialRc = -1, listRc = -1, entriesRc = -1, again = -1, stale = -1;
        std::promise<void> vanished, restarted;
        std::future<void> restartedFuture = restarted.get_future();
        // One thread for the whole test: an instance belongs to one thread.
        std::thread worker([&] {
            Client client;
            std::thread killer([pid] {
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                kill(static_cast<pid_t>(pid), SIGKILL);
            });
            DialUpHandle handle = 0, first = 0;
            dialRc = client.Dial("Provider Uno", &first);
            killer.join();
            std::vector<Active> active;
            listRc = client.List(&active);
            std::vector<std::string> names;
            entriesRc = client.Entries(&names);
            vanished.set_value();
            restartedFuture.wait();
            again = client.Dial("Provider Uno", &handle);
            // The new connection has the first one's path: the old handle is not its.
            stale = client.service.hangUp(client.service.ctx, first);
        });
        vanished.get_future().wait();
        const bool back = mock_.Start();
        if (back) mock_.AddProfile(QStringLiteral("Provider Uno"), QStringLiteral("pppoe"));
        restarted.set_value();
        worker.join();
        QVERIFY2(back, qPrintable(mock_.Error()));
        QCOMPARE(dialRc, int32_t(kNmNotRunning));
        QCOMPARE(listRc, int32_t(kNmNotRunning));
        QCOMPARE(entriesRc, int32_t(kNmNotRunning));
        QCOMPARE(again, 0);
        QCOMPARE(stale, int32_t(kNmConnectionNotActive));
        QCOMPARE(mock_.ActiveIds(), QStringList{QStringLiteral("Provider Uno")});
    }

    // A reply of the wrong type reads as unreadable, never as a value; a
    // profile this user may not read leaves only its own connection out,
    // one that does not answer fails the listing.
    void wronglyTypedRepliesAreUnreadable_data() {
        QTest::addColumn<QString>("reply");
        QTest::addColumn<int>("listRc");
        QTest::addColumn<int>("entriesRc");
        QTest::addColumn<int>("dialRc");
        QTest::addColumn<int>("hangUpRc");  // 8: no handle from the dial
        QTest::newRow("ListConnections: as")
            << QStringLiteral("ListConnections") << 0 << 10 << 10 << 8;
        QTest::newRow("ActiveConnections: as")
            << QStringLiteral("ActiveConnections") << 10 << 0 << 0 << 0;
        QTest::newRow("State: s") << QStringLiteral("State") << 10 << 0 << 0 << 0;
        QTest::newRow("ActivateConnection: s")
            << QStringLiteral("ActivateConnection") << 0 << 0 << 10 << 8;
        QTest::newRow("DeactivateConnection: s")
            << QStringLiteral("DeactivateConnection") << 0 << 0 << 0 << 10;
        QTest::newRow("GetSettings: another user's private profile")
            << QStringLiteral("GetSettings") << 0 << 0 << 0 << 0;
        QTest::newRow("GetSettings: a profile read that never answers")
            << QStringLiteral("GetSettings hangs") << 0 << 4 << 4 << 8;
    }
    void wronglyTypedRepliesAreUnreadable() {
        QFETCH(QString, reply);
        QFETCH(int, listRc);
        QFETCH(int, entriesRc);
        QFETCH(int, dialRc);
        QFETCH(int, hangUpRc);
        mock_.Activate(mock_.AddProfile(QStringLiteral("Ufficio"), QStringLiteral("vpn")));
        mock_.AddProfile(QStringLiteral("Provider Uno"), QStringLiteral("pppoe"));
        mock_.BreakReply(reply);
        int32_t rc[4] = {-1, -1, -1, -1};
        OnThread([&] {
            Client client;
            std::vector<Active> active;
            std::vector<std::string> names;
            DialUpHandle handle = 0;
            rc[0] = client.List(&active);
            rc[1] = client.Entries(&names);
            rc[2] = client.Dial("Provider Uno", &handle);
            rc[3] = client.service.hangUp(client.service.ctx, handle);
        });
        QCOMPARE(rc[0], int32_t(listRc));
        QCOMPARE(rc[1], int32_t(entriesRc));
        QCOMPARE(rc[2], int32_t(dialRc));
        QCOMPARE(rc[3], int32_t(hangUpRc));
    }

    // The log reads the code table's texts through the service; a code
    // outside the table reads "Unknown.".
    void theLogReadsTheTableThroughTheService() {
        Client client;
        char line[kErrorTextSize];
        for (const NmCodeEntry& row : NmCodeTable()) {
            ResultText(ErrorTextOf(&client.service), row.code, line, sizeof line);
            QCOMPARE(QByteArray(line), QByteArray(row.text));
        }
        for (int32_t code : {-1, 12, 216, 500}) {
            ResultText(ErrorTextOf(&client.service), code, line, sizeof line);
            QCOMPARE(QByteArray(line), QByteArray("Unknown."));
        }
    }
};

// The system bus accepts the socket and never answers the handshake, or
// answers it and never Hello: each operation of two instances at once gives
// up with kNmNoBus within its budget (a plain connect waits as long as the
// bus stays silent), and meanwhile the session bus, the tray's, connects and
// answers within 1 s: neither they nor the watcher hold up Qt's connects.
// Runs in a process of its own: libdbus reads the system bus's address once
// per process. Beside it, the probe over addresses, against buses the test
// serves (no libdbus there).
class HungBusTest : public QObject {
    Q_OBJECT
  private slots:
    void systemBusProbe_data() {
        QTest::addColumn<QString>("address");  // %1: the served bus's name
        QTest::addColumn<int>("served");       // a FakeBus kind; -1: nobody listens
        QTest::addColumn<bool>("answers");
        QTest::newRow("tcp: handed on") << "tcp:host=127.0.0.1,port=9" << -1 << true;
        QTest::newRow("launchd: handed on") << "launchd:env=X" << -1 << true;
        QTest::newRow("path") << "unix:path=%1" << int(FakeBus::kAnswers) << true;
        QTest::newRow("abstract") << "unix:abstract=%1" << int(FakeBus::kAnswers) << true;
        QTest::newRow("abstract, silent") << "unix:abstract=%1" << int(FakeBus::kSilent) << false;
        QTest::newRow("path, no Hello") << "unix:path=%1" << int(FakeBus::kAuthOnly) << false;
        QTest::newRow("nobody, then tcp") << "unix:path=%1;tcp:host=h" << -1 << true;
        QTest::newRow("nobody") << "unix:path=%1" << -1 << false;
    }
    void systemBusProbe() {
        QFETCH(QString, address);
        QFETCH(int, served);
        QFETCH(bool, answers);
        QTemporaryDir dir;
        const bool abstract = address.contains(QLatin1String("abstract="));
        const QByteArray name = abstract ? "teleora-test-" + QByteArray::number(getpid())
                                         : dir.filePath(QStringLiteral("bus")).toUtf8();
        std::unique_ptr<FakeBus> bus;
        if (served >= 0) bus = std::make_unique<FakeBus>(FakeBus::Kind(served), name, abstract);
        QVERIFY(!bus || bus->ok());
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", address.arg(QString::fromUtf8(name)).toUtf8());
        QCOMPARE(NmSystemBusAnswers(500), answers);
    }

    void connectStaysInTheBudget() {
        QTemporaryDir dir;
        const QByteArray path = dir.filePath(QStringLiteral("bus")).toUtf8();
        const bool hello = strcmp(g_hungBus, "hello") == 0;
        FakeBus bus(hello ? FakeBus::kAuthOnly : FakeBus::kSilent, path, false);
        QVERIFY(bus.ok());
        QProcess session;
        session.start(QStringLiteral("dbus-daemon"),
                      {QStringLiteral("--session"), QStringLiteral("--nofork"),
                       QStringLiteral("--print-address=1")});
        QVERIFY(session.waitForReadyRead(5000));
        qputenv("DBUS_SESSION_BUS_ADDRESS", session.readLine().trimmed());
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + path);
        QCOMPARE(StartNetworkManagerWatch(CreateWakeEvent(true, nullptr)), 0);
        NmDialUpOptions options = FastOptions();
        options.callTimeoutMs = 300;
        options.operationBudgetMs = 600;
        int32_t listRc[2] = {-1, -1}, entriesRc[2] = {-1, -1};
        qint64 ms[2] = {0, 0};
        auto instance = [&](int i) {
            Client client(options);
            QElapsedTimer timer;
            timer.start();
            std::vector<Active> active;
            std::vector<std::string> names;
            listRc[i] = client.List(&active);
            entriesRc[i] = client.Entries(&names);
            ms[i] = timer.elapsed();
        };
        std::thread second(instance, 1);
        OnThread([&] { instance(0); });
        second.join();
        // Under a hung connect it would stay blocked: it is left behind.
        auto answered = std::make_shared<std::promise<bool>>();
        std::future<bool> reply = answered->get_future();
        std::thread([answered] {
            answered->set_value(QDBusConnection::sessionBus()
                                    .interface()
                                    ->isServiceRegistered(QStringLiteral("org.freedesktop.DBus"))
                                    .value());
        }).detach();
        const bool prompt = reply.wait_for(std::chrono::seconds(1)) == std::future_status::ready;
        QVERIFY(prompt && reply.get());
        for (int i = 0; i < 2; ++i) {
            QCOMPARE(listRc[i], int32_t(kNmNoBus));
            QCOMPARE(entriesRc[i], int32_t(kNmNoBus));
            QVERIFY2(ms[i] < 5000, qPrintable(QStringLiteral("%1 ms").arg(ms[i])));
        }
        session.kill();
        session.waitForFinished();
    }
};

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc > 2 && strcmp(argv[1], "--hung-bus") == 0) {
        g_hungBus = argv[2];
        HungBusTest hung;
        return QTest::qExec(&hung, 1, argv);
    }
    int status = 0;
    {
        NetworkManagerDialUpTest binding;
        status |= QTest::qExec(&binding, argc, argv);
    }
    return status;
}

#include "networkmanager_dialup_linux_test.moc"
