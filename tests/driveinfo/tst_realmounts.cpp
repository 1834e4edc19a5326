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

    void tmpfsIsRamDisk() {
        testsupport::ScratchTmpfs ram(8 * 1024 * 1024);
        if (!ram.isReady()) QSKIP(qPrintable(ram.whyNot()));
        driveinfo::LinuxDriveService drives;
        const auto drive = drives.getDrive(ram.mountPoint());
        QCOMPARE(drive->driveType(), platform::DriveType::RamDisk);
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
        std::unique_ptr<platform::Drive> drive;
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

    // On real mounts: a volume mounted above the folder's tmpfs, a bind twin whose first mount
    // went read-only, the second of two btrfs subvolumes. The folder's drive is the mount its
    // path reaches; the mount beneath or the read-only twin is not listed.
    void folderIsOnTheMountTheKernelNames_data() {
        QTest::addColumn<QString>("layout");
        QTest::addColumn<QString>("expected");  // "!" and part of a refusal, or whose root
        QTest::newRow("stacked") << "stacked"
                                 << "outer";
        QTest::newRow("stacked, read-only") << "stacked ro"
                                            << "!is mounted read-only";
        QTest::newRow("bind twin") << "twin"
                                   << "folder";
        QTest::newRow("btrfs subvolume") << "btrfs"
                                         << "folder";
    }
    void folderIsOnTheMountTheKernelNames() {
        QFETCH(QString, layout);
        QFETCH(QString, expected);
        const QTemporaryDir plain;
        QString folder = plain.filePath("b"), hidden;
        QVERIFY(QDir().mkpath(folder) && QDir().mkpath(plain.filePath("a")));
        using Over = std::unique_ptr<testsupport::MountOver>;
        std::unique_ptr<testsupport::ScratchMount> outer, inner;
        Over first, second;  // made after outer and inner, undone before them
        const auto mountOver = [](const QString& at, const QStringList& arguments) {
            return std::make_unique<testsupport::MountOver>(at, arguments);
        };
        if (layout == "btrfs") {
            auto volume = std::make_unique<testsupport::LoopVolume>(
                256 << 20, "DOVBTRFS", testsupport::LoopVolume::Format::Btrfs);
            for (const QString name : {"a", "b"}) {
                if (!volume->isReady()) QSKIP(qPrintable(volume->whyNot()));
                const auto made = testsupport::runTool(
                    "btrfs", {"subvolume", "create", volume->mountPoint() + '/' + name});
                if (!made.ok) QSKIP(qPrintable(made.why));
                (name == "a" ? first : second) =
                    mountOver(plain.filePath(name), {"-o", "subvol=" + name, volume->loopDevice()});
            }
            outer = std::move(volume);
        } else {
            outer = std::make_unique<testsupport::ScratchTmpfs>(1 << 20);
            if (!outer->isReady()) QSKIP(qPrintable(outer->whyNot()));
            if (layout == "twin") {
                first = mountOver(folder, {"--bind", outer->mountPoint()});
                hidden = outer->mountPoint();
            } else {
                inner = std::make_unique<testsupport::ScratchTmpfs>(1 << 20, outer->mountPoint());
                folder = hidden = inner->mountPoint();
                first = mountOver(outer->mountPoint(), {"-t", "tmpfs", "dov-scratch"});
            }
        }
        for (const auto* mount : {outer.get(), inner.get()})
            if (mount && !mount->isReady()) QSKIP(qPrintable(mount->whyNot()));
        for (const Over* mount : {&first, &second})
            if (*mount && !(*mount)->isReady()) QSKIP(qPrintable((*mount)->whyNot()));
        const auto remount = [](const char* options, const QString& at) {
            return testsupport::runTool("mount", {"-o", options, at}).ok;
        };
        if (layout.startsWith("stacked")) QVERIFY(QDir().mkpath(folder));
        if (layout == "stacked ro") QVERIFY(remount("remount,ro", outer->mountPoint()));
        if (layout == "twin") QVERIFY(remount("remount,bind,ro", outer->mountPoint()));

        driveinfo::MountTableCatalogue catalogue;
        const QStringList listed = mountRoots(catalogue);
        QVERIFY(hidden.isEmpty() || !listed.contains(hidden));
        try {
            const QString drive = catalogue.volumeToMeasure(folder, folder);
            QCOMPARE(drive, expected == "outer" ? outer->mountPoint() : folder);
            QVERIFY(listed.contains(drive));
        } catch (const platform::Failure& failure) {
            QVERIFY2(expected.startsWith('!') && failure.description().contains(expected.mid(1)),
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
