// The drive list, GetDrive and the mount watcher on real mounts of this machine (needs root).

#include <QtTest>

#include "driveinfo/drivepanel.h"
#include "driveinfo/mounttablecatalogue.h"
#include "driveinfo/mounttablewatcher.h"
#include "driveinfo/systemdrives.h"
#include "fakes/fakedesktop.h"
#include "fakes/fakedrives.h"
#include "support/scratchmounts.h"

namespace {

// df's byte counts for a mount root: {size, avail}.
bool dfBytes(const QString& mountRoot, double& size, double& available, QString& why) {
    const testsupport::ToolResult df = testsupport::runTool(
        QStringLiteral("df"),
        {QStringLiteral("-B1"), QStringLiteral("--output=size,avail"), mountRoot});
    if (!df.ok) {
        why = df.why;
        return false;
    }
    const QStringList fields =
        df.output.split(QLatin1Char('\n')).last().simplified().split(QLatin1Char(' '));
    if (fields.size() != 2) {
        why = QStringLiteral("unexpected df output: ") + df.output;
        return false;
    }
    size = fields[0].toDouble();
    available = fields[1].toDouble();
    return true;
}

QStringList mountRoots(driveinfo::DriveCatalogue& catalogue) {
    QStringList roots;
    for (const driveinfo::DriveEntry& entry : catalogue.drives()) roots.append(entry.mountRoot);
    return roots;
}

}  // namespace

class RealMountsTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void labelledLoopExt4() {
        testsupport::LoopExt4 stick(64 * 1024 * 1024, QStringLiteral("TESTSTICK"));
        if (!stick.isReady()) QSKIP(qPrintable(stick.whyNot()));

        driveinfo::MountTableCatalogue catalogue;
        bool listed = false;
        for (const driveinfo::DriveEntry& entry : catalogue.drives()) {
            if (entry.mountRoot == stick.mountPoint()) {
                listed = true;
                QCOMPARE(entry.displayText(), stick.mountPoint() + QStringLiteral(" [TESTSTICK]"));
            }
        }
        QVERIFY2(listed, qPrintable(stick.mountPoint()));

        fakes::FakeDriveView view;
        view.selectedRoot = stick.mountPoint();
        fakes::FakeMessageBox messages;
        driveinfo::DrivePanel panel(view, std::make_shared<driveinfo::LinuxDriveService>(),
                                    messages);
        panel.showSelectedDrive();
        QCOMPARE(messages.shown, QStringList());

        double size = 0, available = 0;
        QString why;
        QVERIFY2(dfBytes(stick.mountPoint(), size, available, why), qPrintable(why));
        QCOMPARE(view.text5, QStringLiteral("TESTSTICK"));
        QCOMPARE(view.text4, QStringLiteral("Head Disk"));
        QCOMPARE(view.text6, QString::number(std::floor(size / 1e6), 'f', 0));
        QCOMPARE(view.text7, QString::number(std::floor(available / 1e6), 'f', 0));
    }

    // Another stick mounted where the first was may get its mount id back: its label is read
    // anew, not taken from what the first one said.
    void swappedStickShowsItsOwnLabel() {
        testsupport::LoopExt4 first(64 * 1024 * 1024, QStringLiteral("FIRST"));
        if (!first.isReady()) QSKIP(qPrintable(first.whyNot()));
        testsupport::LoopExt4 second(64 * 1024 * 1024, QStringLiteral("SECOND"));
        if (!second.isReady()) QSKIP(qPrintable(second.whyNot()));
        driveinfo::MountTableCatalogue catalogue;
        const auto shown = [&] {
            for (const driveinfo::DriveEntry& entry : catalogue.drives()) {
                if (entry.mountRoot == first.mountPoint()) return entry.displayText();
            }
            return QString();
        };
        QCOMPARE(shown(), first.mountPoint() + QStringLiteral(" [FIRST]"));
        // Both leave, then the second stick comes back at the first one's place; the first
        // one's clean-up unmounts it there.
        QVERIFY(testsupport::runTool(QStringLiteral("umount"), {first.mountPoint()}).ok);
        QVERIFY(testsupport::runTool(QStringLiteral("umount"), {second.mountPoint()}).ok);
        QVERIFY(
            testsupport::runTool(QStringLiteral("mount"), {second.loopDevice(), first.mountPoint()})
                .ok);
        QCOMPARE(shown(), first.mountPoint() + QStringLiteral(" [SECOND]"));
    }

    void tmpfsIsRamDisk() {
        testsupport::ScratchTmpfs ram(8 * 1024 * 1024);
        if (!ram.isReady()) QSKIP(qPrintable(ram.whyNot()));
        driveinfo::LinuxDriveService drives;
        const auto drive = drives.getDrive(ram.mountPoint());
        QCOMPARE(drive->driveType(), driveinfo::DriveType::RamDisk);
        QCOMPARE(drive->volumeName(), QString());
        QCOMPARE(drive->totalSize(), 8388608.0);
        QCOMPARE(drive->freeSpace(), 8388608.0);
    }

    void watcherFollowsMountAndUnmount() {
        driveinfo::MountTableWatcher watcher;
        QVERIFY2(watcher.isWatching(), qPrintable(watcher.whyNotWatching()));
        QSignalSpy changes(&watcher, &driveinfo::MountTableWatcher::mountsChanged);
        driveinfo::MountTableCatalogue catalogue;
        driveinfo::LinuxDriveService drives;
        QString mountPoint;
        std::unique_ptr<driveinfo::Drive> drive;
        {
            testsupport::ScratchTmpfs ram(4 * 1024 * 1024);
            if (!ram.isReady()) QSKIP(qPrintable(ram.whyNot()));
            mountPoint = ram.mountPoint();
            QVERIFY(changes.wait(5000));
            QVERIFY(mountRoots(catalogue).contains(mountPoint));
            drive = drives.getDrive(mountPoint);
            QTest::qWait(100);  // let any further notices of this mount arrive
            changes.clear();
        }
        // It keeps firing after the first change.
        QVERIFY(changes.wait(5000));
        QVERIFY(!mountRoots(catalogue).contains(mountPoint));
        QVERIFY_THROWS_EXCEPTION(platform::Failure, drives.getDrive(mountPoint));
        // The drive object of the vanished volume fails instead of reporting the folder beneath.
        QVERIFY_THROWS_EXCEPTION(platform::Failure, drive->totalSize());
    }

    // On real mounts made in a scratch folder by a shell script: the folder's drive is the mount
    // its path reaches; the mount beneath it or the read-only twin is not listed.
    void folderIsOnTheMountTheKernelNames_data() {
        QTest::addColumn<QString>("setUp");
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("drive");  // "!" and part of a refusal
        QTest::addColumn<QString>("hidden");
        const QString stacked =
            "mkdir -p x/a && mount -t tmpfs A x/a && mount -t tmpfs B x && "
            "mkdir x/a";
        QTest::newRow("stacked tmpfs") << stacked << "x/a"
                                       << "x"
                                       << "x/a";
        QTest::newRow("stacked, read-only") << stacked + " && mount -o remount,ro x"
                                            << "x/a"
                                            << "!is mounted read-only"
                                            << "";
        QTest::newRow("bind twin, the first remounted read-only")
            << "mkdir a b && mount -t tmpfs T a && mount --bind a b && mount -o remount,bind,ro a"
            << "b"
            << "b"
            << "a";
        QTest::newRow("second btrfs subvolume")
            << "truncate -s 256M img && mkfs.btrfs -q img && mkdir top a b && mount -o loop img top"
               " && btrfs subvolume create top/a && btrfs subvolume create top/b && "
               "mount -o loop,subvol=a img a && mount -o loop,subvol=b img b"
            << "b"
            << "b"
            << "";
    }
    void folderIsOnTheMountTheKernelNames() {
        QFETCH(QString, setUp);
        QFETCH(QString, folder);
        QFETCH(QString, drive);
        QFETCH(QString, hidden);
        if (!testsupport::whyNotRoot("mounting").isEmpty())
            QSKIP(qPrintable(testsupport::whyNotRoot("mounting")));
        const QTemporaryDir scratch;
        const QString in = scratch.path() + '/';
        // Whatever the set-up mounted goes, the latest mount first, even after a failure.
        const auto unmountAll = qScopeGuard([&scratch] {
            testsupport::runTool("sh", {"-c",
                                        "while m=$(findmnt -rno TARGET | grep \"^$0/\" | "
                                        "tail -n1) && [ -n \"$m\" ]; do umount -l \"$m\" "
                                        "|| break; done",
                                        scratch.path()});
        });
        const auto made = testsupport::runTool("sh", {"-c", "cd \"$0\" && " + setUp, in});
        if (!made.ok) QSKIP(qPrintable(made.why));

        driveinfo::MountTableCatalogue catalogue;
        const QStringList listed = mountRoots(catalogue);
        QVERIFY(hidden.isEmpty() || !listed.contains(in + hidden));
        try {
            QCOMPARE(catalogue.volumeToMeasure(in + folder, folder), in + drive);
            QVERIFY(listed.contains(in + drive));
        } catch (const platform::Failure& failure) {
            QVERIFY2(drive.startsWith('!') && failure.description().contains(drive.mid(1)),
                     qPrintable(failure.description()));
        }
    }

    void watcherOfMissingTableSaysWhy() {
        driveinfo::MountTableWatcher watcher(QStringLiteral("/nonexistent-dov-root"));
        QVERIFY(!watcher.isWatching());
        QVERIFY2(watcher.whyNotWatching().contains(
                     QStringLiteral("/nonexistent-dov-root/proc/self/mountinfo")),
                 qPrintable(watcher.whyNotWatching()));
    }
};

QTEST_GUILESS_MAIN(RealMountsTest)
#include "tst_realmounts.moc"
