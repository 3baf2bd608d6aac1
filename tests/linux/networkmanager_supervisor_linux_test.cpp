// The NetworkManager binding under the supervisor, against the mock on a
// private system bus: single passes, the running loop through NetworkManager's
// restarts and dial timeouts, and the connection watcher's wake-ups.
#include <QtTest>
#include <mutex>

#include "dialup/networkmanager_watch_linux.h"
#include "support/fake_dialup.h"
#include "support/nm_client.h"
#include "support/nm_mock.h"

namespace {
// The supervisor thread over a binding instance of its own, wired as the
// program wires it: the instance is made here but sees no bus traffic until
// the supervisor's thread first uses it, which binds it to that thread; the
// same thread destroys it once its loop has ended. Unlike the program's
// thread this one can be stopped and joined, which the destructor does, so
// nothing the loop uses goes away under it.
class SupervisorOverBinding {
  public:
    SupervisorOverBinding(const NmDialUpOptions& options, const char* entry, int32_t tDelay,
                          const char* logPath, bool watch = false)
        : watch_(watch),
          nm_(CreateNetworkManagerDialUp(options)),
          recorder_(MakeNetworkManagerDialUpService(nm_)) {
        Settings settings;
        SetDefaultSettings(&settings);
        snprintf(settings.szRasEntry, sizeof settings.szRasEntry, "%s", entry);
        settings.tDelay = tDelay;
        settings.bDropAny = 0;
        InitSharedState(&shared_, settings);
        PublishMode(&shared_, ModeAlwaysUp);  // "Connesso"
        supervisor_.service = &recorder_.service;
        supervisor_.shared = &shared_;
        supervisor_.clock = SystemClock();
        supervisor_.log = EventLog{logPath, SystemClock(), ErrorTextOf(&recorder_.service)};
        // What StartSupervisor does, on a thread that can be joined.
        InitConnectionBuffer(&supervisor_.buffer, recorder_.service);
        supervisor_.wake = CreateWakeEvent(true, nullptr);
        if (watch_) WatchConnections(MakeNetworkManagerDialUpService(nm_), supervisor_.wake);
        NetworkManagerDialUp* nm = nm_;
        thread_ = std::thread([this, nm] {
            SupervisorLoop(&supervisor_);
            DestroyNetworkManagerDialUp(nm);
        });
    }
    ~SupervisorOverBinding() { Stop(); }
    SupervisorOverBinding(const SupervisorOverBinding&) = delete;
    SupervisorOverBinding& operator=(const SupervisorOverBinding&) = delete;

    // Ends the loop after the pass in progress (a dial runs to its end).
    void Stop() {
        if (!thread_.joinable()) return;
        supervisor_.stopRequested = true;
        SignalWakeEvent(supervisor_.wake);
        thread_.join();
        ReleaseConnectionBuffer(&supervisor_.buffer);
        supervisor_.buffer.bytes = nullptr;
        // A watcher lives as long as the process and may still signal it.
        if (!watch_) DestroyWakeEvent(supervisor_.wake);
        supervisor_.wake = nullptr;
    }
    // What the supervisor asked of the binding: calls, dial results and times,
    // hang-up results.
    FakeDialUp& Calls() { return recorder_; }
    int Count(const char* kind) const { return static_cast<int>(recorder_.CallsOf(kind).size()); }
    int Dials() const {  // finished ones
        std::lock_guard<std::mutex> guard(recorder_.mutex);
        return static_cast<int>(recorder_.dialResults.size());
    }

  private:
    bool watch_;
    NetworkManagerDialUp* nm_;
    FakeDialUp recorder_;  // records and hands every call on to the binding
    SharedState shared_;
    Supervisor supervisor_{};
    std::thread thread_;
};

// The complete lines of the log, without their date and time.
QStringList LogLines(const QByteArray& path) {
    QFile file(QString::fromUtf8(path));
    return file.open(QIODevice::ReadOnly) ? UndatedLines(QString::fromUtf8(file.readAll()))
                                          : QStringList();
}

}  // namespace

class NetworkManagerSupervisorTest : public QObject {
    Q_OBJECT
  private:
    NmMock mock_;

    void WaitUntilInactive(const QString& id) {
        QTRY_VERIFY_WITH_TIMEOUT(!mock_.ActiveIds().contains(id), 5000);
    }

  private slots:
    void init() { QVERIFY2(mock_.Start(), qPrintable(mock_.Error())); }

    // The binding under the supervisor, drop-others on: a pass hangs up only
    // dial-up connections (a Bluetooth DUN link, never a PAN link, nor
    // another user's link whose profile cannot be read) and logs each
    // hang-up with its text; one that must be up keeps the chosen entry.
    void supervisorPassDropsOnlyDialUp_data() {
        QTest::addColumn<bool>("up");
        QTest::newRow("down") << false;
        QTest::newRow("up") << true;
    }
    void supervisorPassDropsOnlyDialUp() {
        QFETCH(bool, up);
        mock_.Activate(mock_.AddProfile(QStringLiteral("Wired"), QStringLiteral("802-3-ethernet")));
        mock_.Activate(mock_.AddProfile(QStringLiteral("lo"), QStringLiteral("loopback")));
        mock_.Activate(mock_.AddProfile(QStringLiteral("Provider Uno"), QStringLiteral("pppoe")));
        mock_.Activate(mock_.AddProfile(QStringLiteral("Ufficio"), QStringLiteral("vpn")));
        mock_.Activate(
            mock_.AddProfile(QStringLiteral("Rete BT"), QStringLiteral("bluetooth/panu")));
        mock_.Activate(
            mock_.AddProfile(QStringLiteral("Telefono"), QStringLiteral("bluetooth/dun")));
        mock_.BreakReply(QStringLiteral("GetSettings"));  // "Altrui", another user's
        // The one-record buffer grows once for the three dial-up connections.
        QStringList expected = {QLogLine("RasEnumConnections", "Realloc", 0),
                                QLogLine("RasHangUp", "Ufficio", 0),
                                QLogLine("RasHangUp", "Telefono", 0)};
        if (!up) expected.insert(1, QLogLine("RasHangUp", "Provider Uno", 0));
        QCOMPARE(UndatedLines(RunPasses(up ? ModeAlwaysUp : ModeAlwaysDown, 1, {"Provider Uno"})),
                 expected);
        WaitUntilInactive(QStringLiteral("Ufficio"));
        WaitUntilInactive(QStringLiteral("Telefono"));
        if (!up) WaitUntilInactive(QStringLiteral("Provider Uno"));
        QStringList left = {QStringLiteral("Wired"), QStringLiteral("lo"),
                            QStringLiteral("Rete BT"), QStringLiteral("Altrui")};
        if (up) left.insert(2, QStringLiteral("Provider Uno"));
        QCOMPARE(mock_.ActiveIds(), left);
    }

    void supervisorPassLogsTheDialAndItsFailure() {
        mock_.AddProfile(QStringLiteral("Provider Uno"), QStringLiteral("pppoe"));
        mock_.AddProfile(QStringLiteral("Ufficio"), QStringLiteral("vpn"));
        mock_.SetActivationOutcome(QStringLiteral("Ufficio"), 10, 20);
        const QStringList lines =
            UndatedLines(RunPasses(ModeAlwaysUp, 0, {"Provider Uno", "Ufficio", "Nessuno"}));
        const QStringList expected = {
            QLogLine("RasDial", "Provider Uno", 0),
            QLogLine("RasDial", "Ufficio", 110,
                     "The login failed: the user name or password was refused."),
            QLogLine("RasGetEntryDialParams", "Error", 1,
                     "No dial-up connection profile of this name could be read from "
                     "NetworkManager.")};
        QCOMPARE(lines, expected);
        QCOMPARE(mock_.ActiveIds(), QStringList{QStringLiteral("Provider Uno")});
    }

    // With notifications and a pause of 30 s: a drop, and NetworkManager's
    // restart, are redialled; a LAN change wakes nothing, a Bluetooth DUN link
    // coming up or going down does, and the watcher keeps the kinds of the
    // listed connections only (a failed VPN has left the list when its kind
    // is known).
    void notificationsMeetADropLongBeforeThePause() {
        const QString uno = QStringLiteral("Provider Uno");
        mock_.AddProfile(uno, QStringLiteral("pppoe"));
        QTemporaryDir dir;
        const QByteArray logPath = dir.filePath(QStringLiteral("log.txt")).toUtf8();
        SupervisorOverBinding loop(NmDialUpOptions{}, "Provider Uno", 30000, logPath.constData(),
                                   true);
        QTRY_VERIFY_WITH_TIMEOUT(mock_.ActiveIds().contains(uno), 15000);
        QTest::qWait(500);
        int passes = loop.Count("enum");
        mock_.Activate(mock_.AddProfile(QStringLiteral("Wired"), QStringLiteral("802-3-ethernet")));
        mock_.SetActivationOutcome(QStringLiteral("Ufficio"), 10, 0);
        mock_.Activate(mock_.AddProfile(QStringLiteral("Ufficio"), QStringLiteral("vpn")));
        QTest::qWait(1000);
        QCOMPARE(loop.Count("enum"), passes);
        QCOMPARE(NetworkManagerWatchKindsKept(), 2);
        const QString phone = QStringLiteral("Telefono");
        mock_.Activate(mock_.AddProfile(phone, QStringLiteral("bluetooth/dun")));
        QTRY_VERIFY_WITH_TIMEOUT(loop.Count("enum") > passes, 5000);
        QTest::qWait(300);
        passes = loop.Count("enum");
        mock_.Drop(phone);
        QTRY_VERIFY_WITH_TIMEOUT(loop.Count("enum") > passes, 5000);
        mock_.Drop(uno);
        QTRY_COMPARE_WITH_TIMEOUT(loop.Dials(), 2, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(mock_.ActiveIds().contains(uno), 10000);
        mock_.KillMock();
        QVERIFY2(mock_.Start(QStringLiteral(R"({"profiles": [["Provider Uno", "pppoe"]]})")),
                 qPrintable(mock_.Error()));
        QTRY_COMPARE_WITH_TIMEOUT(loop.Dials(), 3, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(mock_.ActiveIds().contains(uno), 10000);
        loop.Stop();
        const QString dialled = QLogLine("RasDial", "Provider Uno", 0);
        QStringList lines = LogLines(logPath);
        lines.removeAll(
            QLogLine("RasEnumConnections", "Realloc", 2, "NetworkManager is not running."));
        const QString grown = QLogLine("RasEnumConnections", "Realloc", 0);
        QCOMPARE(lines, (QStringList{dialled, grown, dialled, dialled}));  // grown for the DUN link
    }

    // NetworkManager dies under the running supervisor ("Connesso") and comes
    // back: the passes go on at their pace, each logging that NetworkManager
    // is not there and dialling nothing, and once it is back the supervisor
    // dials the entry again.
    void supervisorLoopRidesOutARestart() {
        const QString uno = QStringLiteral("Provider Uno");
        const QString dialled = QLogLine("RasDial", "Provider Uno", 0);
        const QStringList gone = {
            QLogLine("RasEnumConnections", "Realloc", 2, "NetworkManager is not running."),
            QLogLine("RasEnumConnections", "Realloc", 4, "NetworkManager did not answer in time."),
        };
        const QString noProfileYet = QLogLine(
            "RasGetEntryDialParams", "Error", 1,
            "No dial-up connection profile of this name could be read from NetworkManager.");
        auto failures = [&gone](const QStringList& lines) {
            int n = 0;
            for (const QString& line : lines) n += gone.contains(line) ? 1 : 0;
            return n;
        };
        constexpr int32_t kPause = 200;
        mock_.AddProfile(uno, QStringLiteral("pppoe"));
        QTemporaryDir dir;
        const QByteArray logPath = dir.filePath(QStringLiteral("log.txt")).toUtf8();
        SupervisorOverBinding loop(NmDialUpOptions{}, "Provider Uno", kPause, logPath.constData());
        QTRY_VERIFY_WITH_TIMEOUT(mock_.ActiveIds().contains(uno), 15000);
        QTRY_COMPARE_WITH_TIMEOUT(int(LogLines(logPath).count(dialled)), 1, 5000);

        QElapsedTimer outage;
        outage.start();
        mock_.KillMock();  // SIGKILL
        QTRY_VERIFY_WITH_TIMEOUT(failures(LogLines(logPath)) >= 3, 15000);
        // With nothing known about what is up, no pass tries to dial.
        QCOMPARE(loop.Count("params"), 1);
        QCOMPARE(loop.Dials(), 1);
        const bool back = mock_.Start();
        QVERIFY2(back, qPrintable(mock_.Error()));
        mock_.AddProfile(uno, QStringLiteral("pppoe"));
        const qint64 outageMs = outage.elapsed();

        QTRY_VERIFY_WITH_TIMEOUT(mock_.ActiveIds().contains(uno), 15000);
        QTRY_COMPARE_WITH_TIMEOUT(int(LogLines(logPath).count(dialled)), 2, 5000);
        loop.Stop();

        const QStringList lines = LogLines(logPath);
        const QString all = lines.join(QLatin1Char('\n'));
        for (const QString& line : lines) {
            QVERIFY2(line == dialled || line == noProfileYet || gone.contains(line),
                     qPrintable(all));
        }
        // A pass reads the dial parameters only once the list could be read:
        // a missing profile shows up only after NetworkManager is back.
        int lastGone = -1;
        for (int i = 0; i < lines.size(); ++i) lastGone = gone.contains(lines[i]) ? i : lastGone;
        QVERIFY2(lines.indexOf(noProfileYet) < 0 || lines.indexOf(noProfileYet) > lastGone,
                 qPrintable(all));
        // Passes start at least a pause apart, so the outage holds at most one
        // failed pass per pause, plus one started before it and one at its end.
        const int failed = failures(lines);
        QVERIFY2(failed >= 3, qPrintable(all));
        QVERIFY2(failed <= outageMs / kPause + 2,
                 qPrintable(QStringLiteral("%1 failed passes in %2 ms").arg(failed).arg(outageMs)));
        QCOMPARE(int(lines.count(dialled)), 2);
        QCOMPARE(loop.Dials(), 2);
        QCOMPARE(mock_.ActiveIds(), QStringList{uno});
    }

    // An activation that never finishes under the running supervisor: each
    // dial gives up at the binding's dial timeout, its half-made connection
    // is hung up, and the next pass dials again.
    void supervisorLoopGoesOnAfterADialTimeout() {
        const QString uno = QStringLiteral("Provider Uno");
        const QString timedOut =
            QLogLine("RasDial", "Provider Uno", 9, "The connection did not come up in time.");
        mock_.AddProfile(uno, QStringLiteral("pppoe"));
        mock_.SetActivationOutcome(uno, 0, 600000);
        NmDialUpOptions options = FastOptions();
        options.dialTimeoutMs = 400;
        QTemporaryDir dir;
        const QByteArray logPath = dir.filePath(QStringLiteral("log.txt")).toUtf8();
        SupervisorOverBinding loop(options, "Provider Uno", 200, logPath.constData());
        // Should a dial never end, a failed check would wait for it in the
        // loop's Stop for ever: NetworkManager's exit ends it first.
        struct EndDialOnFailure {
            NmMock& mock;
            ~EndDialOnFailure() {
                if (QTest::currentTestFailed()) mock.KillMock();
            }
        } endDialOnFailure{mock_};
        QTRY_VERIFY_WITH_TIMEOUT(LogLines(logPath).count(timedOut) >= 2, 30000);
        loop.Stop();  // a dial in progress runs to its time-out first

        const QStringList lines = LogLines(logPath);
        QVERIFY2(lines.count(timedOut) == lines.size(), qPrintable(lines.join(QLatin1Char('\n'))));
        FakeDialUp& counts = loop.Calls();
        std::lock_guard<std::mutex> guard(counts.mutex);
        QCOMPARE(counts.dialResults.size(), size_t(lines.size()));
        // The wait is bounded by the dial timeout, the calls around it by the
        // operation budget and one look at the state by the call timeout.
        const qint64 bound =
            options.dialTimeoutMs + options.operationBudgetMs + options.callTimeoutMs + 500;
        for (size_t i = 0; i < counts.dialResults.size(); ++i) {
            QCOMPARE(counts.dialResults[i], int32_t(kNmDialTimeout));
            const qint64 ms = qint64(counts.dialEnds[i] - counts.dialStarts[i]);
            QVERIFY2(ms >= options.dialTimeoutMs && ms <= bound,
                     qPrintable(QStringLiteral("dial %1 took %2 ms").arg(i).arg(ms)));
        }
        // Every timed-out dial was hung up, and nothing is left activating.
        QCOMPARE(counts.hangUpResults, std::vector<int32_t>(counts.dialResults.size(), 0));
        WaitUntilInactive(uno);
    }
};

QTEST_GUILESS_MAIN(NetworkManagerSupervisorTest)
#include "networkmanager_supervisor_linux_test.moc"
