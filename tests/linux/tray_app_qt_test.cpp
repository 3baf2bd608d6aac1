// The Qt tray menu and its host: the items, the rule items, the check marks,
// what each command does, and the tray while the dialog is open.
#include "app/linux/tray_app_qt.h"

#include <QAction>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QtTest>
#include <memory>

#include "app/linux/config_dialog_qt.h"
#include "common/wake_event.h"
#include "log/event_log.h"
#include "resources/ui_texts.h"
#include "settings/ini_file.h"
#include "settings/settings_file.h"
#include "settings/shared_state.h"
#include "support/test_support.h"

class QtTrayAppTest : public QObject {
    Q_OBJECT
  private:
    std::unique_ptr<QTemporaryDir> dir_;
    SharedState shared_;
    WakeEvent* wake_ = nullptr;
    std::unique_ptr<FakeDialUp> fake_;
    IniFileStore ini_;
    std::unique_ptr<QtTrayApp> app_;
    int quits_ = 0;
    QList<QStringList> started_;  // program and arguments of every start
    bool startWorks_ = true;

    QString Path(const char* name) const { return dir_->filePath(QString::fromUtf8(name)); }

    void Make(int rules) {
        Settings s;
        SetDefaultSettings(&s);
        s.ruleTable.nUserEntries = rules;
        const char* names[] = {"Mattina", "Pomeriggio", "Sera"};
        for (int i = 0; i < rules; ++i) InitRule(&s.ruleTable.rules[i], names[i]);
        InitSharedState(&shared_, s);
        OpenIniFileStore(&ini_, Path("Teleora.ini").toUtf8().constData());
        TrayAppOptions options;
        options.shared = &shared_;
        options.wake = wake_;
        options.dialogService = &fake_->service;
        options.settingsStore = MakeIniProfileStore(&ini_);
        options.startDetached = [this](const QString& program, const QStringList& args) {
            started_.append(QStringList{program} + args);
            return startWorks_;
        };
        options.quit = [this] { ++quits_; };
        app_ = std::make_unique<QtTrayApp>(options);
    }
    // The menu as it shows: "-" for a separator, "*" before a checked item.
    QStringList Shown() {
        emit app_->Menu()->aboutToShow();
        QStringList items;
        for (QAction* a : app_->Menu()->actions()) {
            items << (a->isSeparator()
                          ? QStringLiteral("-")
                          : (a->isChecked() ? QStringLiteral("*") : QString()) + a->text());
        }
        return items;
    }
    QAction* Item(const QString& text) {
        for (QAction* a : app_->Menu()->actions()) {
            if (a->text() == text) return a;
        }
        return nullptr;
    }
    // Chooses an item the way a click does; the command runs once the menu's
    // own handling is over.
    void Choose(const QString& text) {
        QAction* action = Item(text);
        QVERIFY2(action != nullptr, qPrintable(text));
        action->trigger();
        QCoreApplication::processEvents();
    }
    bool Woken() { return WaitWakeEvent(wake_, 0); }
    QString LogText() {
        QFile file(Path("log.txt"));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

  private slots:
    void init() {
        dir_ = std::make_unique<QTemporaryDir>();
        wake_ = CreateWakeEvent(false, nullptr);
        fake_ = std::make_unique<FakeDialUp>();
        fake_->phonebook = {"Provider Uno"};
        quits_ = 0;
        started_.clear();
        startWorks_ = true;
        ConfigureEventLog(EventLog{Path("log.txt").toUtf8().constData(), SystemClock(), {}});
    }
    void cleanup() {
        app_.reset();
        DestroyWakeEvent(wake_);
    }

    // The tray and the windows show the program's icon from the built-in
    // resources: at every size the tray may ask for, a real picture (not an
    // empty or flat square).
    void programIconHasEverySize() {
        const QIcon icon = TeleoraIcon();
        for (int size : {16, 22, 32, 48, 64}) {
            const QImage image = icon.pixmap(QSize(size, size)).toImage();
            QVERIFY2(!image.isNull(), qPrintable(QStringLiteral("size %1").arg(size)));
            QCOMPARE(image.width(), size);
            QSet<QRgb> colours;
            for (int y = 0; y < image.height(); ++y) {
                for (int x = 0; x < image.width(); ++x) colours.insert(image.pixel(x, y));
            }
            QVERIFY2(colours.size() > 2, qPrintable(QStringLiteral("size %1").arg(size)));
        }
    }

    void itemsWithoutRules() {
        Make(0);
        QCOMPARE(Shown(), (QStringList{"Connesso", "Disconnesso", "*Disabilitato", "-",
                                       "Configurazione...", "Log", "-", "Esci"}));
    }

    void ruleItemsFollowDisabilitatoInTableOrder() {
        Make(3);
        QCOMPARE(Shown(),
                 (QStringList{"Connesso", "Disconnesso", "*Disabilitato", "Mattina", "Pomeriggio",
                              "Sera", "-", "Configurazione...", "Log", "-", "Esci"}));
    }

    void choosingAModeChecksOnlyItAndWakes_data() {
        QTest::addColumn<QString>("item");
        QTest::addColumn<int>("mode");
        QTest::newRow("Connesso") << "Connesso" << int(ModeAlwaysUp);
        QTest::newRow("Disconnesso") << "Disconnesso" << int(ModeAlwaysDown);
        QTest::newRow("Disabilitato") << "Disabilitato" << int(ModeDisabled);
        QTest::newRow("first rule") << "Mattina" << 3;
        QTest::newRow("second rule") << "Pomeriggio" << 4;
        QTest::newRow("third rule") << "Sera" << 5;
    }
    void choosingAModeChecksOnlyItAndWakes() {
        QFETCH(QString, item);
        QFETCH(int, mode);
        Make(3);
        Choose(item);
        QCOMPARE(CurrentMode(&shared_), Mode(mode));
        QVERIFY(Woken());
        const QStringList shown = Shown();
        QCOMPARE(shown.filter(QRegularExpression(QStringLiteral("^\\*"))),
                 QStringList{QStringLiteral("*") + item});
        // The checked mode chosen again still wakes the supervisor.
        Choose(item);
        QVERIFY(Woken());
    }

    void logStartsTheViewerWithTheLogFile() {
        Make(0);
        Choose(QStringLiteral(UI_SHOW_LOG));
        QCOMPARE(started_.size(), 1);
        QCOMPARE(started_[0].first(), QStringLiteral("xdg-open"));
        QCOMPARE(started_[0].mid(1),
                 QStringList{QDir::current().absoluteFilePath(QStringLiteral("teleoralog.txt"))});
        QVERIFY(Woken());
        // Without the freedesktop opener the GLib one is tried; failures are ignored.
        startWorks_ = false;
        Choose(QStringLiteral(UI_SHOW_LOG));
        QCOMPARE(started_.size(), 3);
        QCOMPARE(started_[2].mid(0, 2), (QStringList{"gio", "open"}));
        QVERIFY(Woken());
    }

    void exitWritesTheStopLineOnceAndWakes() {
        Make(0);
        Choose(QStringLiteral(UI_EXIT));
        QCOMPARE(quits_, 1);
        QVERIFY(Woken());
        QVERIFY(!app_->Stop());  // a signal after "Esci" changes nothing
        QCOMPARE(quits_, 1);
        const QString log = LogText();
        QCOMPARE(log.count(QString::fromStdString(LogLine("Teleora stopped", "Info", 0) + "\r\n")),
                 1);
        // Commands after the stop are ignored.
        Choose(QStringLiteral(UI_CONNECTED));
        QCOMPARE(CurrentMode(&shared_), ModeDisabled);
    }

    // While the dialog is open: modes work, a second "Configurazione..." only
    // raises it, and OK rebuilds the menu, saves the file and disables.
    void trayWhileTheDialogIsOpen() {
        Make(1);
        QtConfigDialog* first = nullptr;
        QtConfigDialog* second = nullptr;
        Mode modeMeanwhile = -1;
        QTimer::singleShot(0, this, [&] {
            first = app_->OpenDialog();
            QVERIFY(first != nullptr && first->isVisible());
            app_->RunCommand(kCmdConnected);
            modeMeanwhile = CurrentMode(&shared_);
            app_->RunCommand(kCmdConfigure);  // returns at once
            second = app_->OpenDialog();
            qobject_cast<QLineEdit*>(first->Control(kIdDelay))->setText(QStringLiteral("60"));
            QTest::mouseClick(first->Control(kIdAdd), Qt::LeftButton);
            QTest::mouseClick(first->Control(kIdOk), Qt::LeftButton);
        });
        app_->RunCommand(kCmdConfigure);
        QCOMPARE(modeMeanwhile, ModeAlwaysUp);
        QVERIFY(first != nullptr);
        QCOMPARE(second, first);
        QCOMPARE(app_->OpenDialog(), nullptr);
        QCOMPARE(CurrentMode(&shared_), ModeDisabled);
        QCOMPARE(Shown(),
                 (QStringList{"Connesso", "Disconnesso", "*Disabilitato", "Mattina", "Nuova regola",
                              "-", "Configurazione...", "Log", "-", "Esci"}));
        const QString ini =
            QString::fromUtf8(ReadWholeFile(Path("Teleora.ini").toStdString()).c_str());
        QVERIFY2(ini.contains(QStringLiteral("tDelay=60000")), qPrintable(ini));
        QVERIFY2(ini.contains(QStringLiteral("nUserEntries=2")), qPrintable(ini));
    }

    void cancelledDialogKeepsModeAndFile() {
        Make(0);
        PublishMode(&shared_, ModeAlwaysDown);
        QTimer::singleShot(0, this, [&] {
            qobject_cast<QLineEdit*>(app_->OpenDialog()->Control(kIdDelay))
                ->setText(QStringLiteral("60"));
            QTest::mouseClick(app_->OpenDialog()->Control(kIdCancel), Qt::LeftButton);
        });
        app_->RunCommand(kCmdConfigure);
        QCOMPARE(CurrentMode(&shared_), ModeAlwaysDown);
        QVERIFY(Woken());
        QVERIFY(!QFile::exists(Path("Teleora.ini")));
    }

    // "Esci" while the dialog is open cancels it first: nothing is stored.
    void exitWhileTheDialogIsOpen() {
        Make(0);
        QTimer::singleShot(0, this, [&] {
            QtConfigDialog* dialog = app_->OpenDialog();
            qobject_cast<QLineEdit*>(dialog->Control(kIdDelay))->setText(QStringLiteral("60"));
            QTest::mouseClick(dialog->Control(kIdAdd), Qt::LeftButton);
            app_->RunCommand(kCmdExit);
        });
        app_->RunCommand(kCmdConfigure);
        QCOMPARE(app_->OpenDialog(), nullptr);
        QCOMPARE(quits_, 1);
        Settings live;
        CopyLiveSettings(&shared_, &live);
        QCOMPARE(live.tDelay, 5000);
        QCOMPARE(live.ruleTable.nUserEntries, 0);
        QVERIFY(!QFile::exists(Path("Teleora.ini")));
        QCOMPARE(LogText().count(QStringLiteral("Teleora stopped")), 1);
    }
};

QTEST_MAIN(QtTrayAppTest)
#include "tray_app_qt_test.moc"
