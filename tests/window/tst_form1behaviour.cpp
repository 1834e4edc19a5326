// Start-up, keyboard, QUIT and the close box, ClearResults, and how Drive1 follows the mounts.

#include <QSignalSpy>
#include <QTest>
#include <algorithm>

#include "windowharness.h"

using windowtest::Harness;

namespace {

// Number of Drive1_Change runs seen by the drive service since the mark.
int queriesSince(const Harness& harness, qsizetype mark) {
    return static_cast<int>(harness.drives.requested.size() - mark);
}

}  // namespace

class TestForm1Behaviour : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Closing a test's window must not end the test run.
    void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }

    void startUpFillsTheSizeList() {
        Harness harness;
        QCOMPARE(harness.combo1()->count(), 0);
        harness.form->Form_Load();
        QStringList items;
        for (int i = 0; i < harness.combo1()->count(); ++i)
            items.append(harness.combo1()->itemText(i));
        QCOMPARE(items, QStringList({"10", "50", "100", "200"}));
        QCOMPARE(harness.combo1()->currentIndex(), 0);
        QCOMPARE(harness.combo1()->currentText(), QStringLiteral("10"));
        QCOMPARE(harness.form->sizeAsked().text, QStringLiteral("10"));
        QCOMPARE(harness.process.endCalls, 0);
    }

    void typedSizeIsNeverCompleted_data() {
        QTest::addColumn<QString>("typed");
        // Each is the start of a list entry, which inline completion would silently extend.
        QTest::newRow("20 is not 200") << QStringLiteral("20");
        QTest::newRow("5 is not 50") << QStringLiteral("5");
        QTest::newRow("1 is not 10") << QStringLiteral("1");
        QTest::newRow("10 stays") << QStringLiteral("10");
        QTest::newRow("fraction") << QStringLiteral("0.5");
    }

    void typedSizeIsNeverCompleted() {
        QFETCH(QString, typed);
        Harness harness;
        QVERIFY(harness.loadAndActivate());

        QLineEdit* edit = harness.combo1()->lineEdit();
        QVERIFY(edit);
        harness.combo1()->setFocus();
        edit->selectAll();
        QTest::keyClick(edit, Qt::Key_Delete);
        QTest::keyClicks(edit, typed);
        QCOMPARE(harness.combo1()->currentText(), typed);
        QCOMPARE(edit->selectedText(), QString());

        QTest::keyClick(edit, Qt::Key_Return);
        QCOMPARE(harness.combo1()->currentText(), typed);
        QCOMPARE(harness.combo1()->count(), 4);
        QCOMPARE(harness.form->sizeAsked().text, typed);
    }

    void activationFillsThePanelOnce() {
        Harness harness;
        harness.form->Form_Load();
        harness.text(1)->setText(QStringLiteral("1.5"));
        QVERIFY(harness.drives.requested.isEmpty());

        QVERIFY(harness.activate());
        QTRY_COMPARE(harness.drives.requested, QStringList({"/home"}));
        QCOMPARE(harness.text(1)->text(), QString());
        QCOMPARE(harness.text(4)->text(), QStringLiteral("Head Disk"));
        QCOMPARE(harness.text(5)->text(), QStringLiteral("HOME"));
        QCOMPARE(harness.text(6)->text(), QStringLiteral("8000"));
        QCOMPARE(harness.text(7)->text(), QStringLiteral("4000"));

        // Showing or activating again is not a start-up.
        harness.form->hide();
        QVERIFY(harness.activate());
        harness.form->Form_Activate();
        QTest::qWait(20);
        QCOMPARE(harness.drives.requested.size(), 1);
    }

    void keysOnStartClickIt_data() {
        QTest::addColumn<int>("key");
        QTest::newRow("Enter") << int(Qt::Key_Enter);
        QTest::newRow("Return") << int(Qt::Key_Return);
        QTest::newRow("Space") << int(Qt::Key_Space);
    }

    void keysOnStartClickIt() {
        QFETCH(int, key);
        Harness harness;
        QVERIFY(harness.loadAndActivate());
        QCOMPARE(QApplication::focusWidget(), harness.command1());

        // With the size box empty a run stops at once with its message, which shows the click.
        harness.combo1()->setEditText(QString());
        QSignalSpy clicks(harness.command1(), &QPushButton::clicked);
        QTest::keyClick(harness.command1(), static_cast<Qt::Key>(key));
        QCOMPARE(clicks.size(), 1);
        QCOMPARE(harness.messages.shown, QStringList({"Data Size Error"}));
        QCOMPARE(harness.process.endCalls, 0);
    }

    void startKeepsTheFocusAcrossARun() {
        Harness harness;
        QVERIFY(harness.loadAndActivate());
        QTRY_VERIFY(!harness.drives.requested.isEmpty());
        harness.combo1()->setEditText(QStringLiteral("0.001"));

        harness.files.failNext(fakes::FakeFiles::Op::Copy, QStringLiteral("Cannot write"));
        QStringList focusDuringWaits;
        harness.pump.onPass = [&] {
            QWidget* focus = harness.form->focusWidget();
            focusDuringWaits.append(focus ? focus->objectName() : QStringLiteral("<none>"));
        };
        QTest::keyClick(harness.command1(), Qt::Key_Return);

        QCOMPARE(harness.messages.shown, QStringList({"Cannot write"}));
        QVERIFY(!focusDuringWaits.isEmpty());
        // Disabling START must not hand the focus to QUIT, where the next Enter would end the
        // program.
        QVERIFY(!focusDuringWaits.contains(QStringLiteral("Command2")));
        QVERIFY(harness.command1()->isEnabled());
        QCOMPARE(QApplication::focusWidget(), harness.command1());

        harness.pump.onPass = nullptr;
        QTest::keyClick(harness.command1(), Qt::Key_Return);
        QCOMPARE(harness.process.endCalls, 0);
        QCOMPARE(harness.messages.shown.size(), 1);
        QCOMPARE(harness.clipboard.sets, 1);
    }

    void clearResultsEmptiesOnlyTheTimeBoxes() {
        Harness harness;
        for (int box = 1; box <= 7; ++box)
            harness.text(box)->setText(QStringLiteral("v%1").arg(box));
        QStringList order;
        for (int box = 1; box <= 7; ++box) {
            connect(harness.text(box), &QLineEdit::textChanged, this,
                    [&order, box] { order.append(QStringLiteral("Text%1").arg(box)); });
        }
        harness.form->clearResults();
        QCOMPARE(order, QStringList({"Text1", "Text2", "Text3"}));
        for (int box = 1; box <= 3; ++box) QCOMPARE(harness.text(box)->text(), QString());
        for (int box = 4; box <= 7; ++box)
            QCOMPARE(harness.text(box)->text(), QStringLiteral("v%1").arg(box));

        // The run's phases reach exactly Text1 ... Text3.
        measure::RunResult result;
        result.writeSeconds = 2.5;
        harness.form->resultChanged(result, measure::Phase::Write);
        QCOMPARE(harness.text(2)->text(), QStringLiteral("2.5"));
        QCOMPARE(harness.text(1)->text(), QString());
        QCOMPARE(harness.text(4)->text(), QStringLiteral("v4"));
    }

    void longNumbersStayWhole_data() {
        QTest::addColumn<int>("box");
        QTest::addColumn<QString>("value");
        QTest::addColumn<double>("designedPoints");
        QTest::newRow("slow write") << 2 << QStringLiteral("1234.56") << 14.25;
        QTest::newRow("very slow read") << 3 << QStringLiteral("12345.67") << 14.25;
        QTest::newRow("terabyte total") << 6 << QStringLiteral("2270553") << 9.75;
        QTest::newRow("large free") << 7 << QStringLiteral("270553") << 9.75;
    }

    void longNumbersStayWhole() {
        QFETCH(int, box);
        QFETCH(QString, value);
        QFETCH(double, designedPoints);
        Harness harness;
        QLineEdit* edit = harness.text(box);
        const auto show = [&](const QString& text) {
            measure::RunResult result;
            result.secondsOf(measure::kTimedPhases[qBound(0, box - 1, 2)]) = text.toDouble();
            if (box <= 3) harness.form->resultChanged(result, measure::Phase::None);
            if (box == 6) harness.form->setTotalSizeText(text);
            if (box == 7) harness.form->setFreeSpaceText(text);
        };
        const QString family = edit->font().families().first();

        // A cut-off number reads as another number: the whole of it must fit, from its first digit.
        show(value);
        QCOMPARE(edit->text(), value);
        QCOMPARE(edit->cursorPosition(), 0);
        const int frame = edit->hasFrame() ? 4 : 0;
        QVERIFY2(QFontMetrics(edit->font()).horizontalAdvance(value) <= edit->width() - frame - 4,
                 qPrintable(QString::number(edit->font().pointSizeF())));
        QVERIFY(edit->font().pointSizeF() < designedPoints);
        QCOMPARE(edit->font().families().first(), family);

        // A short value is shown in the designed size again.
        show(QStringLiteral("12"));
        QCOMPARE(edit->font().pointSizeF(), designedPoints);
    }

    // QUIT and the close box end the program once; a later click does nothing more.
    void quitEndsTheProgram_data() {
        QTest::addColumn<bool>("closeBox");
        QTest::newRow("QUIT") << false;
        QTest::newRow("close box") << true;
    }
    void quitEndsTheProgram() {
        QFETCH(bool, closeBox);
        Harness harness;
        QVERIFY(harness.loadAndActivate());
        if (closeBox)
            QVERIFY(harness.form->close());
        else
            QTest::mouseClick(harness.command2(), Qt::LeftButton);
        QCOMPARE(harness.process.endCalls, 1);
        // Once the window is gone a new start is no longer refused.
        QCOMPARE(harness.process.releaseCalls, 1);
        QVERIFY(!harness.form->isVisible());
        harness.form->Command2_Click();
        QCOMPARE(harness.process.endCalls, 1);
    }

    void closeDuringAWaitStopsTheRun() {
        Harness harness;
        QVERIFY(harness.loadAndActivate());
        QTRY_VERIFY(!harness.drives.requested.isEmpty());

        // The close box is used during the second wait, once the create time is shown.
        harness.pump.onPass = [&] {
            if (!harness.text(1)->text().isEmpty() && harness.process.endCalls == 0)
                harness.form->close();
        };
        harness.command1()->click();

        QCOMPARE(harness.process.endCalls, 1);
        QVERIFY(harness.text(2)->text().isEmpty());
        QVERIFY(harness.files.exists(QStringLiteral("/prog/TEST.TXT")));
        for (const QString& entry : harness.files.log())
            QVERIFY2(!entry.startsWith("copy"), qPrintable(entry));
        QCOMPARE(harness.clipboard.sets, 0);
        QVERIFY(harness.messages.shown.isEmpty());
    }

    void completedRunUsesTheSelectedDrive() {
        Harness harness;
        harness.form->Form_Load();
        harness.drive1()->setCurrentIndex(
            harness.drive1()->findData(QStringLiteral("/media/stick")));
        harness.combo1()->setEditText(QStringLiteral("0.001"));
        harness.command1()->click();

        QVERIFY2(harness.messages.shown.isEmpty(), qPrintable(harness.messages.shown.join('|')));
        const QStringList log = harness.files.log();
        QVERIFY(log.contains(QStringLiteral("delete /media/stick/TEST.TXT")));
        for (int box = 1; box <= 3; ++box) QVERIFY(!harness.text(box)->text().isEmpty());
        QCOMPARE(harness.clipboard.text.count(QLatin1Char('\t')), 2);
        QVERIFY(harness.files.paths().isEmpty());
        QVERIFY(harness.command1()->isEnabled());
    }

    void driveListStartsOnTheCurrentDrive() {
        Harness harness;
        QComboBox* drive1 = harness.drive1();
        QCOMPARE(harness.drive1Roots(), QStringList({"/", "/home", "/media/stick"}));
        for (int i = 0; i < drive1->count(); ++i)
            QCOMPARE(drive1->itemText(i), harness.catalogue.entries.at(i).displayText());
        QCOMPARE(drive1->currentData().toString(), QStringLiteral("/home"));
        QCOMPARE(harness.form->selectedMountRoot(), QStringLiteral("/home"));
        QCOMPARE(harness.form->selectedMountRoot(), QStringLiteral("/home"));
        // Filling the list is not a drive change.
        QVERIFY(harness.drives.requested.isEmpty());

        // A working folder on no listed volume starts on the first entry.
        harness.catalogue.holding = QStringLiteral("/nowhere");
        harness.rebuildForm();
        QCOMPARE(harness.drive1()->currentIndex(), 0);
    }

    void userSelectionRunsDrive1Change() {
        Harness harness;
        QVERIFY(harness.loadAndActivate());
        QTRY_COMPARE(harness.drives.requested.size(), 1);
        harness.text(3)->setText(QStringLiteral("9.99"));

        // Down arrow on the focused list picks the next volume.
        harness.drive1()->setFocus();
        QTest::keyClick(harness.drive1(), Qt::Key_Down);
        QCOMPARE(harness.drive1()->currentData().toString(), QStringLiteral("/media/stick"));
        QCOMPARE(harness.drives.requested, QStringList({"/home", "/media/stick"}));
        QCOMPARE(harness.text(3)->text(), QString());
        QCOMPARE(harness.text(5)->text(), QStringLiteral("STICK"));
    }

    void refreshKeepsTheSelectionQuietly() {
        Harness harness;
        harness.form->Form_Load();
        harness.drive1()->setCurrentIndex(2);
        QCOMPARE(harness.drives.requested, QStringList({"/media/stick"}));
        harness.text(1)->setText(QStringLiteral("1.5"));
        harness.text(5)->setText(QStringLiteral("STICK"));

        // A new volume is mounted in front of the selected one.
        harness.catalogue.entries.insert(1, {QStringLiteral("/boot"), QStringLiteral("BOOT")});
        harness.drives.drives.insert(QStringLiteral("/boot"),
                                     windowtest::fixedDisk(QStringLiteral("BOOT")));
        Q_EMIT harness.watcher.mountsChanged();
        QCOMPARE(harness.drive1Roots(), QStringList({"/", "/boot", "/home", "/media/stick"}));
        QCOMPARE(harness.drive1()->currentData().toString(), QStringLiteral("/media/stick"));
        QCOMPARE(harness.drives.requested.size(), 1);
        QCOMPARE(harness.text(1)->text(), QStringLiteral("1.5"));

        // An unrelated volume goes away.
        harness.catalogue.remove(QStringLiteral("/home"));
        Q_EMIT harness.watcher.mountsChanged();
        QCOMPARE(harness.drive1Roots(), QStringList({"/", "/boot", "/media/stick"}));
        QCOMPARE(harness.drive1()->currentData().toString(), QStringLiteral("/media/stick"));
        QCOMPARE(harness.drives.requested.size(), 1);
        QVERIFY(harness.messages.shown.isEmpty());
    }

    void vanishedSelectionStaysUntilAnotherIsPicked() {
        Harness harness;
        harness.form->Form_Load();
        harness.drive1()->setCurrentIndex(2);
        const QString stickText = harness.drive1()->currentText();
        const qsizetype mark = harness.drives.requested.size();

        harness.catalogue.remove(QStringLiteral("/media/stick"));
        harness.drives.drives.remove(QStringLiteral("/media/stick"));
        Q_EMIT harness.watcher.mountsChanged();
        QCOMPARE(harness.drive1()->currentData().toString(), QStringLiteral("/media/stick"));
        QCOMPARE(harness.drive1()->currentText(), stickText + window::Form1::notMountedMark());
        QCOMPARE(queriesSince(harness, mark), 0);

        // A second refresh keeps it, marked once.
        Q_EMIT harness.watcher.mountsChanged();
        QCOMPARE(harness.drive1()->count(), 3);
        QCOMPARE(harness.drive1()->currentText(), stickText + window::Form1::notMountedMark());

        // A run against it fails before anything is copied, naming the volume.
        harness.combo1()->setEditText(QStringLiteral("0.001"));
        harness.command1()->click();
        QCOMPARE(harness.messages.shown.size(), 1);
        QVERIFY2(harness.messages.shown.first().contains(QStringLiteral("/media/stick")),
                 qPrintable(harness.messages.shown.first()));
        for (const QString& entry : harness.files.log()) QVERIFY(!entry.startsWith("copy"));
        QVERIFY(!harness.files.exists(QStringLiteral("/prog/TEST.TXT")));

        // Picking another volume drops the stale entry.
        harness.drive1()->setCurrentIndex(0);
        QCOMPARE(harness.drives.requested.mid(mark), QStringList({"/"}));
        QCOMPARE(harness.drive1Roots(), QStringList({"/", "/home"}));
        QCOMPARE(harness.form->selectedMountRoot(), QStringLiteral("/"));
    }

    void refreshWaitsForTheNextPauseDuringAPhase() {
        Harness harness;
        harness.form->Form_Load();
        harness.combo1()->setEditText(QStringLiteral("0.001"));

        // A stick is plugged in while the create phase runs.
        QList<int> countsInPhases;
        harness.phases.beforeWork = [&] {
            if (harness.phases.phases == 1) {
                harness.catalogue.entries.append(
                    {QStringLiteral("/media/new"), QStringLiteral("NEW")});
                Q_EMIT harness.watcher.mountsChanged();
            }
            countsInPhases.append(harness.drive1()->count());
        };
        const qsizetype mark = harness.drives.requested.size();
        harness.command1()->click();

        // Not inside the phase it came in, but by the phases after the next pause.
        QVERIFY(countsInPhases.size() >= 3);
        QCOMPARE(countsInPhases.first(), 3);
        QCOMPARE(countsInPhases.last(), 4);
        QVERIFY(std::is_sorted(countsInPhases.cbegin(), countsInPhases.cend()));
        QCOMPARE(harness.drive1()->count(), 4);
        QCOMPARE(harness.drive1()->currentData().toString(), QStringLiteral("/home"));
        // Only the run's check that its drive answers.
        QCOMPARE(harness.drives.requested.mid(mark), QStringList{"/home"});
        QVERIFY(harness.messages.shown.isEmpty());

        // A refresh left pending by a failing last phase is made once the run is over.
        harness.phases.beforeWork = nullptr;
        harness.files.setBeforeOperation([&](fakes::FakeFiles::Op op, const QString& path) {
            if (op == fakes::FakeFiles::Op::Copy && path.contains(QStringLiteral(" -> /prog/"))) {
                harness.catalogue.remove(QStringLiteral("/media/new"));
                Q_EMIT harness.watcher.mountsChanged();
                countsInPhases.append(harness.drive1()->count());
            }
        });
        harness.files.failNext(fakes::FakeFiles::Op::Copy, QStringLiteral("Cannot read back"),
                               QStringLiteral("/prog/"));
        harness.command1()->click();
        QCOMPARE(harness.messages.shown, QStringList({"Cannot read back"}));
        QCOMPARE(countsInPhases.last(), 4);
        QCOMPARE(harness.drive1()->count(), 3);
    }

    // A volume that had not answered when the list was read (a stopped FUSE daemon) gets its
    // label once it answers; the selection stays.
    void lateLabelReachesTheList() {
        Harness harness;
        harness.catalogue.entries[2].volumeName.clear();
        harness.rebuildForm();
        QVERIFY(harness.loadAndActivate());
        QCOMPARE(harness.drive1()->itemText(2), QStringLiteral("/media/stick"));
        harness.catalogue.answerLate(2, QStringLiteral("STICK"));
        QCOMPARE(harness.drive1()->itemText(2), QStringLiteral("/media/stick [STICK]"));
        QCOMPARE(harness.drive1()->currentData().toString(), QStringLiteral("/home"));
    }

    void emptyDriveListFailsTheRunClearly() {
        Harness harness;
        harness.catalogue.entries.clear();
        harness.rebuildForm();
        harness.form->Form_Load();
        QCOMPARE(harness.drive1()->count(), 0);
        harness.command1()->click();
        QCOMPARE(harness.messages.shown, QStringList({"No drive is selected"}));
        QVERIFY(harness.files.paths().isEmpty());
        QVERIFY(harness.command1()->isEnabled());
    }
};

QTEST_MAIN(TestForm1Behaviour)
#include "tst_form1behaviour.moc"
