// The Qt configuration dialog, driven through its widgets with QtTest under
// the offscreen platform.
#include "app/linux/config_dialog_qt.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QtTest>
#include <cstring>
#include <memory>

#include "common/text.h"
#include "settings/shared_state.h"
#include "support/test_support.h"

namespace {

Rule MakeRule(const char* name, int hour) {
    Rule rule;
    InitRule(&rule, name);
    for (int d = 0; d < kDaysPerWeek; ++d) rule.days[d] = {hour, d, hour + 1, 59 - d};
    return rule;
}

}  // namespace

class QtConfigDialogTest : public QObject {
    Q_OBJECT
  private:
    SharedState shared_;
    std::unique_ptr<FakeDialUp> fake_;
    ConfigDialog core_{};
    std::unique_ptr<QtConfigDialog> dialog_;

    // Publishes settings, then opens a dialog on them.
    void Open(const Settings& settings) {
        InitSharedState(&shared_, settings);
        PublishMode(&shared_, ModeAlwaysUp);
        core_ = ConfigDialog{};
        core_.shared = &shared_;
        core_.service = &fake_->service;
        dialog_ = std::make_unique<QtConfigDialog>(&core_);
        core_.open = true;
        OnDialogInit(&core_);
        dialog_->show();
        dialog_->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(dialog_.get()));
    }
    Settings ThreeRules() {
        Settings s;
        SetDefaultSettings(&s);
        s.ruleTable.nUserEntries = 3;
        s.ruleTable.rules[0] = MakeRule("Mattina", 8);
        s.ruleTable.rules[1] = MakeRule("Pomeriggio", 14);
        s.ruleTable.rules[2] = MakeRule("Sera", 20);
        return s;
    }
    QLineEdit* Edit(int id) { return qobject_cast<QLineEdit*>(dialog_->Control(id)); }
    QComboBox* Combo() { return qobject_cast<QComboBox*>(dialog_->Control(kIdEntry)); }
    QListWidget* List() { return qobject_cast<QListWidget*>(dialog_->Control(kIdRuleList)); }
    void Click(int id) { QTest::mouseClick(dialog_->Control(id), Qt::LeftButton); }
    void SelectRule(int row) {
        QListWidget* list = List();
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                          list->visualItemRect(list->item(row)).center());
        QCOMPARE(list->currentRow(), row);
    }
    void TypeInto(int id, const QString& keys) {
        QLineEdit* edit = Edit(id);
        edit->setFocus();
        edit->selectAll();
        QTest::keyClicks(edit, keys);
    }
    QStringList ListTexts() {
        QStringList texts;
        for (int i = 0; i < List()->count(); ++i) texts << List()->item(i)->text();
        return texts;
    }
    // Presses OK and answers the message box, if one comes; returns its
    // caption and text ("" when none came). The timer dies with the call, so
    // when no box comes it cannot fire later, into another test's box.
    QString PressOkExpectingBox() {
        QString seen;
        QTimer timer;
        timer.setSingleShot(true);
        connect(&timer, &QTimer::timeout, this, [&seen] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                seen = box->windowTitle() + QStringLiteral("|") + box->text();
                QVERIFY(box->icon() == QMessageBox::Critical);
                box->accept();
            }
        });
        timer.start(100);
        Click(kIdOk);
        return seen;
    }

  private slots:
    void init() {
        fake_ = std::make_unique<FakeDialUp>();
        fake_->phonebook = {"office", "Casa", "Zeta", "alfa", "Officina"};
    }
    void cleanup() { dialog_.reset(); }

    void opensWithTheLiveSettings_data() {
        QTest::addColumn<int>("delay");
        QTest::addColumn<QString>("shown");
        QTest::newRow("5 s") << 5000 << "5";
        QTest::newRow("60 s") << 60000 << "60";
        QTest::newRow("under a second") << 999 << "0";
        QTest::newRow("truncated") << 1999 << "1";
    }
    void opensWithTheLiveSettings() {
        QFETCH(int, delay);
        QFETCH(QString, shown);
        Settings s = ThreeRules();
        s.tDelay = delay;
        s.bDropAny = 1;
        Open(s);
        QCOMPARE(dialog_->windowTitle(), QStringLiteral("Configurazione"));
        QCOMPARE(Edit(kIdDelay)->text(), shown);
        QVERIFY(qobject_cast<QCheckBox*>(dialog_->Control(kIdDropAny))->isChecked());
        QCOMPARE(ListTexts(), (QStringList{"Mattina", "Pomeriggio", "Sera"}));
        QCOMPARE(List()->selectedItems().size(), 0);
        QCOMPARE(Edit(kIdName)->text(), QString());
        for (int d = 0; d < kDaysPerWeek; ++d) {
            QCOMPARE(Edit(kIdStartFirst + d)->text(), QString());
            QCOMPARE(Edit(kIdStopFirst + d)->text(), QString());
        }
        QCOMPARE(QApplication::focusWidget(), dialog_->Control(kIdDelay));
    }

    void everyLabelAndButtonText() {
        Open(ThreeRules());
        QStringList labels;
        for (QLabel* label : dialog_->findChildren<QLabel*>()) labels << label->text();
        for (const char* text : {"Pausa fra tentativi (s):", "Connessione RAS:",
                                 "Regole personalizzate:", "Nome", "Da", "A", "Domenica", "Lunedi",
                                 "Martedi", "Mercoledi", "Giovedi", "Venerdi", "Sabato"}) {
            QVERIFY2(labels.contains(QString::fromUtf8(text)), text);
        }
        QCOMPARE(qobject_cast<QCheckBox*>(dialog_->Control(kIdDropAny))->text(),
                 QStringLiteral("Tieni chiuse le altre connessioni RAS"));
        const std::pair<int, const char*> buttons[] = {
            {kIdAdd, "Aggiungi"}, {kIdRemove, "Rimuovi"}, {kIdOk, "OK"}, {kIdCancel, "Annulla"}};
        for (auto [id, text] : buttons) {
            QCOMPARE(qobject_cast<QPushButton*>(dialog_->Control(id))->text(),
                     QString::fromUtf8(text));
        }
        QVERIFY(qobject_cast<QPushButton*>(dialog_->Control(kIdOk))->isDefault());
        // Its size is fixed (a tiling desktop floats it) and every text fits.
        QCOMPARE(dialog_->minimumSize(), dialog_->maximumSize());
        QCOMPARE(dialog_->size(), dialog_->sizeHint());
        for (QWidget* w : dialog_->findChildren<QWidget*>()) {
            if (qobject_cast<QLabel*>(w) || qobject_cast<QAbstractButton*>(w)) {
                QVERIFY2(w->width() >= w->sizeHint().width(),
                         qPrintable(w->property("text").toString()));
            }
        }
    }

    void tabOrderFollowsTheControls() {
        Open(ThreeRules());
        std::vector<int> expected = {kIdEntry, kIdDropAny, kIdRuleList, kIdAdd, kIdRemove, kIdName};
        for (int d = 0; d < kDaysPerWeek; ++d) {
            expected.push_back(kIdStartFirst + d);
            expected.push_back(kIdStopFirst + d);
        }
        expected.push_back(kIdOk);
        expected.push_back(kIdCancel);
        expected.push_back(kIdDelay);
        for (int id : expected) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QWidget* control = dialog_->Control(id);
            QWidget* focus = QApplication::focusWidget();
            QVERIFY2(focus == control || control->isAncestorOf(focus),
                     qPrintable(QString::number(id)));
        }
    }

    // The list is sorted without regard to case; the configured name selects
    // the first entry it begins, case ignored; nothing matching leaves the
    // text part empty.
    void entryListAndPreselection_data() {
        QTest::addColumn<QString>("configured");
        QTest::addColumn<QString>("shown");
        QTest::newRow("exact") << "Casa"
                               << "Casa";
        QTest::newRow("prefix, other case") << "OFF"
                                            << "office";
        QTest::newRow("longer prefix") << "Offici"
                                       << "Officina";
        QTest::newRow("empty selects the first") << ""
                                                 << "alfa";
        QTest::newRow("not in the phonebook") << "Nessuno"
                                              << "";
        QTest::newRow("longer than any entry") << "Casa Mia"
                                               << "";
    }
    void entryListAndPreselection() {
        QFETCH(QString, configured);
        QFETCH(QString, shown);
        Settings s = ThreeRules();
        CopyBounded(s.szRasEntry, configured.toUtf8().constData(), sizeof s.szRasEntry);
        Open(s);
        QStringList items;
        for (int i = 0; i < Combo()->count(); ++i) items << Combo()->itemText(i);
        QCOMPARE(items, (QStringList{"alfa", "Casa", "office", "Officina", "Zeta"}));
        QCOMPARE(Combo()->currentText(), shown);
    }

    void failedPhonebookLeavesTheListEmpty() {
        fake_->enumEntriesResult = 623;
        Settings s = ThreeRules();
        strcpy(s.szRasEntry, "Casa");
        Open(s);
        QCOMPARE(Combo()->count(), 0);
        QCOMPARE(Combo()->currentText(), QString());
        Click(kIdOk);
        Settings live;
        CopyLiveSettings(&shared_, &live);
        QCOMPARE(QString::fromUtf8(live.szRasEntry), QString());
    }

    // The core's tables say how a time field reads; these two rows prove the
    // widgets reach it, keystroke by keystroke into a field whose text was
    // selected and as a whole text at once (as pasted).
    void timeFieldsNormalise_data() {
        QTest::addColumn<bool>("paste");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<int>("hour");
        QTest::addColumn<int>("minute");
        QTest::newRow("typed 123:75") << false << "123:75"
                                      << "12:07" << 12 << 7;
        QTest::newRow("pasted 7:5") << true << "7:5"
                                    << "07:05" << 7 << 5;
    }
    void timeFieldsNormalise() {
        QFETCH(bool, paste);
        QFETCH(QString, typed);
        QFETCH(QString, shown);
        QFETCH(int, hour);
        QFETCH(int, minute);
        Open(ThreeRules());
        SelectRule(1);
        for (int id : {kIdStartFirst + 2, kIdStopFirst + 6}) {  // Tuesday's start, Saturday's stop
            if (paste) {
                Edit(id)->setText(typed);
            } else {
                TypeInto(id, typed);
            }
            QCOMPARE(Edit(id)->text(), shown);
        }
        const Rule& rule = core_.edit.rules[1];
        QCOMPARE(rule.days[2].hStart, hour);
        QCOMPARE(rule.days[2].mStart, minute);
        QCOMPARE(rule.days[6].hStop, hour);
        QCOMPARE(rule.days[6].mStop, minute);
        // The other rules and days are untouched.
        QCOMPARE(core_.edit.rules[0].days[2].hStart, 8);
        QCOMPARE(rule.days[3].hStart, 14);
        // OK stores what the fields show.
        QCOMPARE(PressOkExpectingBox(), QString());
        Settings live;
        CopyLiveSettings(&shared_, &live);
        QCOMPARE(live.ruleTable.rules[1].days[2].hStart, hour);
        QCOMPARE(live.ruleTable.rules[1].days[2].mStart, minute);
        QCOMPARE(live.ruleTable.rules[1].days[6].hStop, hour);
        QCOMPARE(live.ruleTable.rules[1].days[6].mStop, minute);
    }

    void withoutSelectionTypingChangesNoRule() {
        Open(ThreeRules());
        const RuleEditBuffer before = core_.edit;
        TypeInto(kIdStartFirst + 1, QStringLiteral("7:5"));
        TypeInto(kIdName, QStringLiteral("Altro"));
        QCOMPARE(Edit(kIdStartFirst + 1)->text(), QStringLiteral("7:5"));
        QCOMPARE(Edit(kIdName)->text(), QStringLiteral("Altro"));
        QVERIFY(memcmp(before.rules, core_.edit.rules, sizeof before.rules) == 0);
        QCOMPARE(ListTexts(), (QStringList{"Mattina", "Pomeriggio", "Sera"}));
    }

    void selectingFillsEveryFieldAndChangesNothing() {
        Open(ThreeRules());
        const RuleEditBuffer before = core_.edit;
        SelectRule(2);
        QCOMPARE(Edit(kIdName)->text(), QStringLiteral("Sera"));
        for (int d = 0; d < kDaysPerWeek; ++d) {
            QCOMPARE(Edit(kIdStartFirst + d)->text(),
                     QStringLiteral("20:%1").arg(d, 2, 10, QLatin1Char('0')));
            QCOMPARE(Edit(kIdStopFirst + d)->text(),
                     QStringLiteral("21:%1").arg(59 - d, 2, 10, QLatin1Char('0')));
        }
        QVERIFY(memcmp(before.rules, core_.edit.rules, sizeof before.rules) == 0);
    }

    void renamingReplacesTheListLine() {
        Open(ThreeRules());
        SelectRule(1);
        TypeInto(kIdName, QStringLiteral("Notte"));
        QCOMPARE(ListTexts(), (QStringList{"Mattina", "Notte", "Sera"}));
        QCOMPARE(List()->currentRow(), 1);
        QCOMPARE(QString::fromUtf8(core_.edit.rules[1].szName), QStringLiteral("Notte"));
    }

    void addingStopsAtTenWithABeep() {
        Open(ThreeRules());
        SelectRule(0);
        for (int i = 3; i < kMaxRules; ++i) Click(kIdAdd);
        QCOMPARE(List()->count(), kMaxRules);
        QCOMPARE(List()->item(9)->text(), QStringLiteral("Nuova regola"));
        QCOMPARE(List()->currentRow(), 0);  // the selection does not move
        QCOMPARE(dialog_->BeepCount(), 0);
        Click(kIdAdd);
        QCOMPARE(dialog_->BeepCount(), 1);
        QCOMPARE(List()->count(), kMaxRules);
        QCOMPARE(core_.edit.count, kMaxRules);
    }

    void removingMovesTheSelectionToTheSuccessor() {
        Open(ThreeRules());
        SelectRule(0);
        Click(kIdRemove);
        QCOMPARE(ListTexts(), (QStringList{"Pomeriggio", "Sera"}));
        QCOMPARE(List()->currentRow(), 0);
        // The fields still show the removed rule; an edit changes the successor.
        QCOMPARE(Edit(kIdName)->text(), QStringLiteral("Mattina"));
        TypeInto(kIdName, QStringLiteral("Dopo"));
        QCOMPARE(ListTexts(), (QStringList{"Dopo", "Sera"}));

        SelectRule(1);
        Click(kIdRemove);
        QCOMPARE(ListTexts(), QStringList{"Dopo"});
        QCOMPARE(List()->selectedItems().size(), 0);
        Click(kIdRemove);  // nothing selected: nothing happens
        QCOMPARE(ListTexts(), QStringList{"Dopo"});
    }

    void okRefusesAPauseOutOfRange_data() {
        QTest::addColumn<QString>("pause");
        QTest::newRow("zero") << "0";
        QTest::newRow("3601") << "3601";
        QTest::newRow("empty") << "";
        QTest::newRow("text") << "abc";
    }
    void okRefusesAPauseOutOfRange() {
        QFETCH(QString, pause);
        Open(ThreeRules());
        Edit(kIdDelay)->setText(pause);
        QCOMPARE(
            PressOkExpectingBox(),
            QStringLiteral("Errore|La pausa fra tentativi deve essere compresa fra 1 e 3600."));
        QVERIFY(dialog_->isVisible());
        Settings live;
        CopyLiveSettings(&shared_, &live);
        QCOMPARE(live.tDelay, 5000);
        QCOMPARE(CurrentMode(&shared_), ModeAlwaysUp);
    }

    void okStoresEverythingAndResetsTheMode() {
        Open(ThreeRules());
        Edit(kIdDelay)->setText(QStringLiteral("60"));
        Combo()->setEditText(QStringLiteral("Altro"));
        qobject_cast<QCheckBox*>(dialog_->Control(kIdDropAny))->setChecked(false);
        SelectRule(0);
        TypeInto(kIdStartFirst, QStringLiteral("9:30"));
        Click(kIdAdd);
        QSignalSpy finished(dialog_.get(), &QDialog::finished);
        QCOMPARE(PressOkExpectingBox(), QString());
        QCOMPARE(finished.size(), 1);
        QCOMPARE(finished.at(0).at(0).toInt(), kDialogOk);
        Settings live;
        CopyLiveSettings(&shared_, &live);
        QCOMPARE(live.tDelay, 60000);
        QCOMPARE(QString::fromUtf8(live.szRasEntry), QStringLiteral("Altro"));
        QCOMPARE(live.bDropAny, 0);
        QCOMPARE(live.ruleTable.nUserEntries, 4);
        QCOMPARE(live.ruleTable.rules[0].days[0].hStart, 9);
        QCOMPARE(live.ruleTable.rules[0].days[0].mStart, 30);
        QCOMPARE(QString::fromUtf8(live.ruleTable.rules[3].szName), QStringLiteral("Nuova regola"));
        QCOMPARE(CurrentMode(&shared_), ModeDisabled);
    }

    void cancelAndEscapeStoreNothing_data() {
        QTest::addColumn<bool>("escape");
        QTest::newRow("Annulla") << false;
        QTest::newRow("Escape") << true;
    }
    void cancelAndEscapeStoreNothing() {
        QFETCH(bool, escape);
        Open(ThreeRules());
        Edit(kIdDelay)->setText(QStringLiteral("60"));
        Click(kIdAdd);
        QSignalSpy finished(dialog_.get(), &QDialog::finished);
        if (escape) {
            QTest::keyClick(Edit(kIdDelay), Qt::Key_Escape);
        } else {
            Click(kIdCancel);
        }
        QCOMPARE(finished.size(), 1);
        QCOMPARE(finished.at(0).at(0).toInt(), kDialogCancel);
        Settings live;
        CopyLiveSettings(&shared_, &live);
        QCOMPARE(live.tDelay, 5000);
        QCOMPARE(live.ruleTable.nUserEntries, 3);
        QCOMPARE(CurrentMode(&shared_), ModeAlwaysUp);
    }

    void utf8IsCutOnACharacterBoundary() {
        char buffer[6];
        CopyUtf8Bounded(QStringLiteral("abcdè"), buffer, sizeof buffer);  // è is two bytes
        QCOMPARE(QByteArray(buffer), QByteArray("abcd"));
        CopyUtf8Bounded(QStringLiteral("abè"), buffer, sizeof buffer);
        QCOMPARE(QString::fromUtf8(buffer), QStringLiteral("abè"));
    }
};

QTEST_MAIN(QtConfigDialogTest)
#include "config_dialog_qt_test.moc"
