// The START run against in-memory fakes: step order, the test file, failures, events handled
// during the waits, and files that belong to the user.

#include <QTest>

#include <cerrno>

#include "measure/threadedsteprunner.h"
#include "platform/qtoffthread.h"
#include "runharness.h"

using fakes::FakeFiles;
using fakes::PathKind;
using measuretest::kTestLine;
using measuretest::RunHarness;

namespace {

// Moves the fake clock as real work would take time: create 2.5 s, write (the first copy) 3 s,
// read 0.25 s. Lists the copies, "source -> destination", in copies.
void giveDurations(RunHarness& run, QStringList& copies) {
    run.files.setBeforeOperation([&run, &copies](FakeFiles::Op op, const QString& path) {
        if (op == FakeFiles::Op::Open) run.clock.now += 2.5;
        if (op != FakeFiles::Op::Copy) return;
        copies.append(path);
        run.clock.now += copies.size() == 1 ? 3.0 : 0.25;
    });
}

}  // namespace

class SpeedTestRun : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // The file holds exactly the lines asked for, on both sides; the times are shown and
    // exported; nothing is left behind.
    void completeRun_data() {
        QTest::addColumn<bool>("threaded");
        QTest::addColumn<QString>("size");
        QTest::addColumn<int>("bytes");
        QTest::newRow("10 MB") << false << "10" << 10'000'000;
        QTest::newRow("10 MB, worker thread") << true << "10" << 10'000'000;
        QTest::newRow("half a MB") << false << "0.5" << 500'000;
        QTest::newRow("zero") << false << "0" << 0;
        QTest::newRow("negative") << false << "-3" << 0;
    }
    void completeRun() {
        QFETCH(bool, threaded);
        QFETCH(QString, size);
        QFETCH(int, bytes);
        platform::QtOffThread offThread;
        measure::ThreadedStepRunner threadedRunner(offThread);
        RunHarness run(threaded ? &threadedRunner : nullptr);
        QStringList copies;  // appended to on the worker thread, read once the run is over
        giveDurations(run, copies);
        run.view.size = size;
        const QString local = run.localPath();
        const QString target = run.targetPath();
        QByteArray created;
        QByteArray copied;
        run.view.onPause = [&](int wait) {
            if (wait == 2) created = run.files.content(local);
            if (wait == 3) copied = run.files.content(target);
        };

        run.speedTest.run();

        QVERIFY(run.messages.shown.isEmpty());
        QCOMPARE(created.size(), bytes);
        QCOMPARE(run.files.writeLineCalls(), bytes / 50);
        QVERIFY(created == kTestLine.repeated(bytes / 50));
        QVERIFY(copied == created);
        QCOMPARE(run.view.boxes[1], QStringLiteral("2.5"));
        QCOMPARE(run.view.boxes[2], QStringLiteral("3"));
        QCOMPARE(run.view.boxes[3], QStringLiteral("0.25"));
        QCOMPARE(run.clipboard.text, QStringLiteral("2.5\t3\t0.25"));
        QCOMPARE(run.clipboard.clears, 1);
        QCOMPARE(run.clipboard.sets, 1);
        QVERIFY(run.files.paths().isEmpty());
        QCOMPARE(run.pointer.history, (QList<bool>{true, false}));
        QCOMPARE(run.view.startHistory, (QList<bool>{false, true}));
        QCOMPARE(run.view.pauseLengths, (QList<double>{0.1, 0.1, 0.1, 0.1}));
        // Looked at for its room before the create; taken for the run after the next wait.
        QCOMPARE(run.view.driveReads, 2);
        QCOMPARE(run.view.answerChecks, QStringList{run.view.drive});
        const measure::RunResult& result = run.speedTest.result();
        QVERIFY(result.complete);
        QCOMPARE(result.createSeconds, 2.5);
        QCOMPARE(result.writeSeconds, 3.0);
        QCOMPARE(result.readSeconds, 0.25);
        QCOMPARE(result.bytes, qint64(bytes));
        QCOMPARE(result.mountRoot, run.view.drive);
        QCOMPARE(
            run.files.log(),
            (QStringList{
                QStringLiteral("open %1 new").arg(local), QStringLiteral("close %1").arg(local),
                QStringLiteral("copy %1 %2 new flush drop").arg(local, target),
                QStringLiteral("delete %1").arg(local),
                QStringLiteral("copy %1 %2 new").arg(target, local),
                QStringLiteral("delete %1").arg(local), QStringLiteral("delete %1").arg(target)}));
    }

    // Where the device cache of a FUSE block volume could not be dropped, the run still
    // completes and says once, after it, that the read time may come from memory.
    void undroppedDeviceCacheIsToldOnce_data() {
        QTest::addColumn<bool>("dropped");
        QTest::addColumn<QString>("readFault");  // a failing read copy: no read time to doubt
        QTest::addColumn<QStringList>("messages");
        const QString notice = QStringLiteral(
            "The read time of /media/stick may come partly from memory: the helper "
            "is not installed");
        QTest::newRow("dropped") << true << "" << QStringList();
        QTest::newRow("not dropped") << false << "" << QStringList{notice};
        QTest::newRow("not dropped, read back differs")
            << false << "differs"
            << QStringList{QStringLiteral("Drive /media/stick gave back other data than was "
                                          "written to it: /media/stick/TEST.TXT differs from the "
                                          "test file first at byte 0"),
                           notice};
        QTest::newRow("not dropped, read copy fails")
            << false << "fails" << QStringList{QStringLiteral("Cannot read: Input/output error")};
    }
    void undroppedDeviceCacheIsToldOnce() {
        QFETCH(bool, dropped);
        QFETCH(QString, readFault);
        QFETCH(QStringList, messages);
        RunHarness run;
        run.files.setCacheDrop(QStringLiteral("/media/stick"),
                               dropped ? QString() : QStringLiteral("the helper is not installed"));
        if (readFault == QLatin1String("fails")) {
            run.files.failNext(FakeFiles::Op::Copy, messages.first(), run.localPath());
        }
        if (readFault == QLatin1String("differs")) {
            run.view.onPause = [&](int wait) {
                if (wait == 3) run.files.setContent(run.targetPath(), "X" + kTestLine.repeated(1));
            };
        }

        run.speedTest.run();

        QCOMPARE(run.messages.shown, messages);
        QCOMPARE(run.clipboard.sets, readFault.isEmpty() ? 1 : 0);
        QVERIFY(run.files.paths().isEmpty() || readFault == QLatin1String("fails"));
        QCOMPARE(run.view.startEnabled, true);
    }

    // A drive unmounted or replaced under the run, or a folder of the local file that was:
    // the times measured something else, so they are neither kept nor exported.
    void folderReplacedDuringTheRunIsNoSuccess_data() {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("message");
        QTest::newRow("drive") << "/media/stick"
                               << "Drive /media/stick was unmounted or replaced during the run; "
                                  "its times are not valid and were not exported";
        QTest::newRow("folder of the local file")
            << "/opt/dov"
            << "The folder /opt/dov of the local test file was unmounted or replaced during the "
               "run; the times are not valid and were not exported";
    }
    void folderReplacedDuringTheRunIsNoSuccess() {
        QFETCH(QString, folder);
        QFETCH(QString, message);
        RunHarness run;
        run.view.onPause = [&](int wait) {
            if (wait == 3) run.files.replaceFolder(folder);
        };
        run.speedTest.run();
        QCOMPARE(run.messages.shown, QStringList{message});
        QCOMPARE(run.clipboard.sets, 0);
        for (int box = 1; box <= 3; ++box) QCOMPARE(run.view.boxes[box], QString());
        QVERIFY(run.files.paths().isEmpty());
        QCOMPARE(run.files.openFolderCount(), 0);
        QCOMPARE(run.view.startEnabled, true);
    }

    // A stop request ends the phase at its next chunk: the file cut short goes, complete files
    // stay, and the run ends silently, leaving START to the ending program.
    void stopRequestEndsThePhase_data() {
        QTest::addColumn<int>("phase");  // 1 create, 2 write, 3 read; 0: during the second wait
        QTest::addColumn<bool>("localLeft");
        QTest::addColumn<bool>("targetLeft");
        QTest::newRow("create") << 1 << false << false;
        QTest::newRow("second wait") << 0 << true << false;
        QTest::newRow("write") << 2 << true << false;
        QTest::newRow("read") << 3 << false << true;
    }
    void stopRequestEndsThePhase() {
        QFETCH(int, phase);
        QFETCH(bool, localLeft);
        QFETCH(bool, targetLeft);
        RunHarness run;
        run.view.size = QStringLiteral("5");
        const FakeFiles::Op op = phase == 1 ? FakeFiles::Op::Open : FakeFiles::Op::Copy;
        run.files.setBeforeOperation([&](FakeFiles::Op current, const QString& path) {
            if (phase == 0 || current != op) return;
            if (phase == 3 && !path.startsWith(run.targetPath())) return;
            QVERIFY(run.speedTest.running());
            QCOMPARE(int(run.speedTest.progress().phase.load()), phase);
            run.speedTest.stop();
            // The fake copies at once; a real one ends at its next chunk the same way.
            if (phase != 1) throw platform::Stopped();
        });
        run.view.onPause = [&](int wait) {
            if (phase == 0 && wait == 2) run.speedTest.stop();
        };

        run.speedTest.run();

        QVERIFY(!run.speedTest.running());
        QVERIFY(run.messages.shown.isEmpty());
        QCOMPARE(run.clipboard.sets, 0);
        QCOMPARE(run.files.exists(run.localPath()), localLeft);
        QCOMPARE(run.files.exists(run.targetPath()), targetLeft);
        QCOMPARE(run.view.startEnabled, false);
        // What is left is still the run's own: the end signals remove it.
        run.speedTest.removeRunFiles();
        QVERIFY(run.files.paths().isEmpty());
    }

    void emptySizeOnlyShowsDataSizeError() {
        RunHarness run;
        run.view.size = QString();
        run.view.boxes = {QString(), QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("3")};

        run.speedTest.run();

        QCOMPARE(run.messages.shown, QStringList{QStringLiteral("Data Size Error")});
        QCOMPARE(run.view.boxes[1], QString());
        QCOMPARE(run.view.boxes[3], QString());
        QVERIFY(run.pointer.history.isEmpty());
        QVERIFY(run.view.startHistory.isEmpty());
        QCOMPARE(run.view.waits, 0);
        QVERIFY(run.files.log().isEmpty());
        QCOMPARE(run.clipboard.sets, 0);
    }

    // Each failure shows exactly one message, naming the cause where the system's words hide it
    // and where the drive's copy stays; leaves no local copy behind, never deletes the drive's
    // copy, and gives the window back.
    void failureShowsOneMessage_data() {
        QTest::addColumn<QString>("size");
        QTest::addColumn<int>("faultOp");
        QTest::addColumn<QString>("faultOn");  // "local" or "target"
        QTest::addColumn<QString>("message");
        QTest::addColumn<int>("boxesShown");
        QTest::addColumn<bool>("targetLeft");
        // errno the failure keeps; 0: a worded fault; -1: no fault, the process is stopped for
        // 8 s there (Ctrl+Z, then fg)
        QTest::addColumn<int>("error");
        QTest::addColumn<QString>("cause");  // what the run adds to the message

        const int open = int(FakeFiles::Op::Open);
        const int copy = int(FakeFiles::Op::Copy);
        const int del = int(FakeFiles::Op::Delete);
        const int write = int(FakeFiles::Op::WriteLine);
        QTest::newRow("local create fails")
            << "1" << open << "local"
            << "Cannot create /opt/dov/TEST.TXT: Permission denied" << 0 << false << 0 << "";
        QTest::newRow("size not a number")
            << "abc" << -1 << ""
            << "Data size 'abc' is not a number" << 0 << false << 0 << "";
        QTest::newRow("size too large")
            << "200000" << -1 << ""
            << "Data size '200000' is too large" << 0 << false << 0 << "";
        QTest::newRow("local disk full while writing")
            << "1" << write << "local"
            << "Cannot write /opt/dov/TEST.TXT: No space left on device" << 0 << false << 0 << "";
        QTest::newRow("write copy fails")
            << "1" << copy << "target"
            << "Cannot copy to /media/stick/TEST.TXT: Read-only file system" << 1 << false << 0
            << "";
        QTest::newRow("read copy fails")
            << "1" << copy << "local"
            << "Cannot read /media/stick/TEST.TXT: Input/output error" << 2 << true << 0 << "";
        QTest::newRow("final delete of the drive's copy fails")
            << "1" << del << "target"
            << "Cannot delete /media/stick/TEST.TXT: Device busy" << 3 << true << 0 << "";
        QTest::newRow("drive's FUSE program ends during the read copy")
            << "1" << copy << "local"
            << "Cannot copy /media/stick/TEST.TXT to /opt/dov/TEST.TXT: Transport endpoint is "
               "not connected"
            << 2 << true << ENOTCONN
            << "; the drive's FUSE program ended or the drive was pulled out";
        QTest::newRow("user's disk quota during the write copy")
            << "1" << copy << "target"
            << "Cannot copy to /media/stick/TEST.TXT: Disk quota exceeded" << 1 << false << EDQUOT
            << "; your disk quota there is used up: delete some of your files there or ask the "
               "administrator for more";
        QTest::newRow("program folder's file entries run out, space left")
            << "1" << open << "local"
            << "Cannot create /opt/dov/TEST.TXT: No space left on device" << 0 << false << ENOSPC
            << "; the volume of /opt/dov has 55 MB free but no free file entries (inodes) left: "
               "delete some files there or choose another volume";
        QTest::newRow("stopped for 8 s during the read copy")
            << "1" << copy << "local"
            << "The program was stopped for 8.0 s during the read copy; its time is not valid and "
               "nothing was exported"
            << 2 << true << -1 << "";
    }
    void failureShowsOneMessage() {
        QFETCH(QString, size);
        QFETCH(int, faultOp);
        QFETCH(QString, faultOn);
        QFETCH(QString, message);
        QFETCH(int, boxesShown);
        QFETCH(bool, targetLeft);
        QFETCH(int, error);
        QFETCH(QString, cause);

        RunHarness run;
        run.view.size = size;
        const QString local = run.localPath();
        const QString target = run.targetPath();
        run.volumes.spaces[QStringLiteral("/opt/dov")] = {1e9, 55e6, 1e5, 0, 1};
        run.volumes.spaces[run.view.drive] = {1e9, 55e6, 1e5, 1e4, 2};
        const QString faultPath = faultOn == QLatin1String("local") ? local : target;
        if (faultOp >= 0 && error == 0)
            run.files.failNext(static_cast<FakeFiles::Op>(faultOp), message, faultPath);
        if (error != 0) {
            // A failure of a system call, with its errno; a copy's path ends in its destination.
            run.files.setBeforeOperation(
                [&, fired = false](FakeFiles::Op op, const QString& path) mutable {
                    if (fired || int(op) != faultOp || !path.endsWith(faultPath)) return;
                    fired = true;
                    if (error < 0) return run.clock.stopFor(8.0);
                    throw platform::Failure(message, error);
                });
        }

        run.speedTest.run();

        QCOMPARE(run.messages.shown,
                 QStringList{
                     message + cause +
                     (targetLeft && error != 0 ? measuretest::driveCopyNote(target) : QString())});
        QVERIFY(!run.files.exists(local));
        QCOMPARE(run.files.exists(target), targetLeft);
        QCOMPARE(run.files.openFileCount(), 0);
        QVERIFY(run.files.log().contains(QStringLiteral("closeAll")));
        for (int box = 1; box <= 3; ++box)
            QCOMPARE(run.view.boxes[box].isEmpty(), box > boxesShown);
        QCOMPARE(run.pointer.busy, false);
        QCOMPARE(run.view.startEnabled, true);
        QCOMPARE(run.clipboard.text, QStringLiteral("untouched"));
        // The failure path deletes only a local copy that is there.
        const QStringList log = run.files.log();
        const QStringList afterFailure = log.mid(log.indexOf(QStringLiteral("closeAll")));
        for (const QString& entry : afterFailure)
            QVERIFY2(entry != QStringLiteral("delete %1").arg(target), qPrintable(entry));
    }

    void failingCleanupStillShowsTheOriginalFailure() {
        RunHarness run;
        run.files.failNext(FakeFiles::Op::Copy, QStringLiteral("Cannot copy: disk full"),
                           run.targetPath());
        run.files.failNext(FakeFiles::Op::Delete, QStringLiteral("Cannot delete: busy"),
                           run.localPath());

        run.speedTest.run();

        QCOMPARE(run.messages.shown, QStringList{QStringLiteral("Cannot copy: disk full")});
        QCOMPARE(run.view.startEnabled, true);
        QCOMPARE(run.pointer.busy, false);
    }

    void sizeIsReadAgainAfterTheFirstWait_data() {
        QTest::addColumn<QString>("typedDuringWait");
        QTest::addColumn<int>("lines");
        QTest::addColumn<QString>("message");
        QTest::newRow("new size is used") << "0.5" << 10000 << "";
        QTest::newRow("emptied box is not a number") << "" << 0 << "Data size '' is not a number";
    }
    void sizeIsReadAgainAfterTheFirstWait() {
        QFETCH(QString, typedDuringWait);
        QFETCH(int, lines);
        QFETCH(QString, message);
        RunHarness run;
        run.view.onPause = [&](int wait) {
            if (wait == 1) run.view.size = typedDuringWait;
        };

        run.speedTest.run();

        QCOMPARE(run.files.writeLineCalls(), lines);
        QCOMPARE(run.messages.shown, message.isEmpty() ? QStringList() : QStringList{message});
        QVERIFY(run.files.paths().isEmpty());
    }

    void driveChangedDuringAWait_data() {
        QTest::addColumn<int>("wait");
        QTest::addColumn<bool>("newDriveIsTarget");
        QTest::addColumn<QString>("clipboard");
        QTest::newRow("first wait") << 1 << true << "2.5\t3\t0.25";
        QTest::newRow("second wait") << 2 << true << "\t3\t0.25";
        QTest::newRow("third wait") << 3 << false << "\t\t0.25";
        QTest::newRow("fourth wait") << 4 << false << "\t\t";
    }
    void driveChangedDuringAWait() {
        QFETCH(int, wait);
        QFETCH(bool, newDriveIsTarget);
        QFETCH(QString, clipboard);
        RunHarness run;
        const QString firstTarget = run.targetPath();
        const QString otherTarget = QStringLiteral("/media/other/TEST.TXT");
        QStringList copies;
        giveDurations(run, copies);
        // The drive panel empties the times shown on every change of drive.
        run.view.onPause = [&](int current) {
            if (current != wait) return;
            run.view.drive = QStringLiteral("/media/other");
            run.speedTest.clearTimes();
        };

        run.speedTest.run();

        const QString used = newDriveIsTarget ? otherTarget : firstTarget;
        QCOMPARE(copies, (QStringList{run.localPath() + QStringLiteral(" -> ") + used,
                                      used + QStringLiteral(" -> ") + run.localPath()}));
        QCOMPARE(run.clipboard.text, clipboard);
        QVERIFY(run.files.paths().isEmpty());
        QVERIFY(run.messages.shown.isEmpty());
    }

    // QUIT inside a wait: the run does nothing more, whatever exists then stays.
    void quitDuringAWait_data() {
        QTest::addColumn<int>("wait");
        QTest::addColumn<bool>("localLeft");
        QTest::addColumn<bool>("targetLeft");
        QTest::newRow("first wait") << 1 << false << false;
        QTest::newRow("second wait") << 2 << true << false;
        QTest::newRow("third wait") << 3 << true << true;
        QTest::newRow("fourth wait") << 4 << true << true;
    }
    void quitDuringAWait() {
        QFETCH(int, wait);
        QFETCH(bool, localLeft);
        QFETCH(bool, targetLeft);
        RunHarness run;
        run.view.onPause = [&](int current) {
            if (current == wait) run.speedTest.stop();
        };

        run.speedTest.run();

        QCOMPARE(run.view.waits, wait);
        QCOMPARE(run.files.exists(run.localPath()), localLeft);
        QCOMPARE(run.files.exists(run.targetPath()), targetLeft);
        QCOMPARE(run.clipboard.text, QStringLiteral("untouched"));
        QVERIFY(run.messages.shown.isEmpty());
    }

    // A TEST.TXT that the program did not write is never opened, emptied or deleted, and the
    // refusal says what it is; a leftover of ours is taken back. (Which content is ours is the
    // rule's, tested once in tests/ownership.)
    void existingTestFile_data() {
        QTest::addColumn<QString>("place");  // "local" or "target"
        QTest::addColumn<int>("kind");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("what");  // empty: ours; else as notOursMessage

        const int file = int(PathKind::RegularFile);
        for (const char* place : {"local", "target"}) {
            const QByteArray tag(place);
            QTest::newRow(tag + " user's file")
                << place << file << QByteArray("shopping list\n") << "lines";
            QTest::newRow(tag + " symbolic link") << place << int(PathKind::SymbolicLink)
                                                  << QByteArray("/home/u/TEST.TXT") << "not a file";
            QTest::newRow(tag + " empty file") << place << file << QByteArray() << "empty";
            QTest::newRow(tag + " leftover cut short mid-line")
                << place << file << kTestLine.repeated(7) + kTestLine.left(9) << "";
        }
    }
    void existingTestFile() {
        QFETCH(QString, place);
        QFETCH(int, kind);
        QFETCH(QByteArray, content);
        QFETCH(QString, what);
        RunHarness run;
        const QString path = place == QLatin1String("local") ? run.localPath() : run.targetPath();
        run.files.putNode(path, static_cast<PathKind>(kind), content);

        run.speedTest.run();

        if (what.isEmpty()) {
            QVERIFY(run.messages.shown.isEmpty());
            QVERIFY(run.files.paths().isEmpty());
            QVERIFY(run.files.log().contains(QStringLiteral("reclaim %1").arg(path)));
            return;
        }
        QCOMPARE(run.messages.shown, QStringList{measuretest::notOursMessage(path, what)});
        QVERIFY(run.files.exists(path));
        QCOMPARE(run.files.content(path), content);
        QCOMPARE(run.files.paths(), QStringList{path});  // our own local copy is gone
        for (const QString& entry : run.files.log()) {
            QVERIFY2(!entry.contains(QStringLiteral(" ") + path), qPrintable(entry));
        }
        // The check comes before the phase's clock: no time is shown for it.
        QCOMPARE(run.view.boxes[place == QLatin1String("local") ? 1 : 2], QString());
        QCOMPARE(run.view.startEnabled, true);
        QCOMPARE(run.pointer.busy, false);
    }

    // The root folder takes the test file without a doubled separator; the program's own
    // folder, or no drive at all, is refused before anything is written.
    void driveChoice_data() {
        QTest::addColumn<QString>("drive");
        QTest::addColumn<QString>("message");  // empty when the run completes
        QTest::newRow("root") << "/"
                              << "";
        QTest::newRow("program folder")
            << "/opt/dov"
            << "/opt/dov/TEST.TXT is the program folder's own test file; choose a drive other "
               "than the one whose root holds the program";
        QTest::newRow("no drive") << ""
                                  << "No drive is selected";
        QTest::newRow("drive that does not answer") << "/media/stick"
                                                    << "Drive /media/stick does not answer";
    }
    void driveChoice() {
        QFETCH(QString, drive);
        QFETCH(QString, message);
        RunHarness run;
        run.view.drive = drive;
        run.view.answering = !message.endsWith(QLatin1String("does not answer"));
        run.speedTest.run();
        if (message.isEmpty()) {
            QVERIFY(run.messages.shown.isEmpty());
            QVERIFY(run.files.log().contains(
                QStringLiteral("copy /opt/dov/TEST.TXT /TEST.TXT new flush drop")));
            return;
        }
        QCOMPARE(run.messages.shown, QStringList{message});
        QVERIFY(run.files.paths().isEmpty());
        QCOMPARE(run.view.boxes[2], QString());
    }
};

QTEST_GUILESS_MAIN(SpeedTestRun)
#include "tst_speedtest.moc"
