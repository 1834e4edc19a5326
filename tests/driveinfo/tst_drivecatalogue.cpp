// Which mounts Drive1 offers, how they read, and which drive holds a path.

#include <QtTest>

#include <QSemaphore>
#include <mutex>

#include "driveinfo/mounttablecatalogue.h"
#include "fakes/fakedrives.h"
#include "platform/qtoffthread.h"

namespace {

// Labels from a thread each; the root named stuck blocks until released, as a stalled FUSE
// daemon does.
class StallingLabels : public platform::VolumeQueries {
public:
    ~StallingLabels() override { release.release(100); }
    platform::VolumeSpace space(const QString&) override { return {}; }
    QString fileSystemLabel(const QString& mountRoot) override {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            asked.append(mountRoot);
        }
        if (mountRoot == stuck) release.acquire();
        return mountRoot.section(QLatin1Char('/'), -1).toUpper();
    }
    int mountIdOf(const QString&) override { return 0; }
    QStringList askedSoFar() {
        const std::lock_guard<std::mutex> lock(mutex);
        return asked;
    }
    QString stuck;
    QSemaphore release;

private:
    std::mutex mutex;
    QStringList asked;
};

QStringList texts(const QList<driveinfo::DriveEntry>& entries) {
    QStringList result;
    for (const driveinfo::DriveEntry& entry : entries) result.append(entry.displayText());
    return result;
}

}  // namespace

class DriveCatalogueTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void listsMeasurableVolumesOnce_data() {
        QTest::addColumn<QString>("machine");
        QTest::addColumn<QStringList>("expected");
        const auto row = [](const char* tag, const char* machine, const QStringList& expected) {
            QTest::newRow(tag) << machine << expected;
        };
        // Left out here: pseudo file systems, five snaps, /run and its tmpfs and FUSE mounts,
        // a read-only ramfs, and /srv/shared, a bind mount of the root file system.
        row("NVMe laptop with snaps", "laptop",
            {"/", "/dev/shm", "/boot/efi", "/media/alex/STICK [STICK]",
             "/media/alex/Secret [Secret]", "/media/alex/SD CARD [SD CARD]",
             "/media/alex/Debian 12.5.0 amd64 n [Debian 12.5.0 amd64 n]",
             // Shares GNOME Files opened, one folder each below gvfs; a file there is none.
             "/run/user/1000/gvfs/dav:host=cloud.example.com,ssl=true,"
             "prefix=%2Fremote.php%2Fwebdav [cloud.example.com]",
             "/run/user/1000/gvfs/sftp:host=build.example.com,user=alex [alex on "
             "build.example.com]",
             "/run/user/1000/gvfs/smb-share:server=nas,share=music [music on nas]"});
        // Left out: nfsd, rpc_pipefs, autofs, squashfuse and erofs images. The read-only tmpfs
        // stays: it is a drive, and a run on it says why not. Each btrfs subvolume is a drive.
        row("workstation with network shares", "network-client",
            {"/", "/tmp", "/data [data]", "/data/snapshots [data]", "/mnt/windows", "/mnt/nfs-home",
             "/mnt/media", "/mnt/public share", "/mnt/team", "/home/alex/build", "/mnt/host",
             "/mnt/ceph", "/mnt/gluster", "/mnt/ro-ram", "/mnt/ramfs", "/var/cache/zram",
             "/mnt/ramdisk", "/mnt/iso", "/home/alex/Private",
             // KDE's kio-fuse: protocol and host, and for SMB each share.
             "/run/user/1000/kio-fuse-QkSbVd/sftp/alex@build.example.com "
             "[sftp://alex@build.example.com]",
             "/run/user/1000/kio-fuse-QkSbVd/smb/nas/music [smb://nas/music]",
             "/run/user/1000/kio-fuse-QkSbVd/smb/nas/photos [smb://nas/photos]"});
        // Left out: /etc/hosts and friends, single files bound from the host's disk.
        row("container", "container-overlay", {"/", "/dev/shm", "/data"});
        row("virtual machine", "vm-loop-tmpfs",
            {"/", "/mnt/dov-fixture/stick [TESTSTICK]", "/mnt/dov-fixture/ram disk"});
    }
    void listsMeasurableVolumesOnce() {
        QFETCH(QString, machine);
        QFETCH(QStringList, expected);
        auto queries = std::make_shared<fakes::FakeVolumeQueries>();
        queries->labels.insert(QStringLiteral("/mnt/dov-fixture/stick"),
                               QStringLiteral("TESTSTICK"));
        driveinfo::MountTableCatalogue catalogue(fakes::recordedSystem(machine), queries);
        const QList<driveinfo::DriveEntry> entries = catalogue.drives();
        QCOMPARE(texts(entries), expected);
        for (const driveinfo::DriveEntry& entry : entries) {
            QVERIFY2(!entry.displayText().contains(QLatin1Char('\\')),
                     qPrintable(entry.displayText()));
        }
        // Labels are never asked of network volumes: opening one can hang.
        for (const QString& asked : queries->labelQueries) {
            QVERIFY2(!asked.startsWith(QLatin1String("/mnt/nfs")) && asked != "/mnt/team" &&
                         asked != "/home/alex/build" && asked != "/mnt/public share",
                     qPrintable(asked));
        }
    }

    void entryIsItsMountRoot() {
        auto queries = std::make_shared<fakes::FakeVolumeQueries>();
        driveinfo::MountTableCatalogue catalogue(fakes::recordedSystem(QStringLiteral("laptop")),
                                                 queries);
        const QList<driveinfo::DriveEntry> entries = catalogue.drives();
        QCOMPARE(entries.at(5).mountRoot, QStringLiteral("/media/alex/SD CARD"));
        QCOMPARE(entries.at(5).volumeName, QStringLiteral("SD CARD"));
    }

    void tableCases_data() {
        QTest::addColumn<QByteArray>("table");
        QTest::addColumn<QStringList>("expected");
        const QByteArray root = "1 0 8:1 / / rw - ext4 /dev/sda1 rw\n";
        QTest::newRow("a tmpfs stacked on /dev/shm counts once")
            << root +
                   "25 1 0:23 / /dev/shm rw - tmpfs tmpfs rw\n"
                   "30 25 0:27 / /dev/shm rw - tmpfs tmpfs rw\n"
            << QStringList{"/", "/dev/shm"};
        QTest::newRow("the whole file system names the drive, not a bind mount made first")
            << root +
                   "2 1 8:17 /photos /home/alex/photos rw - vfat /dev/sdb1 rw\n"
                   "3 1 8:17 / /media/alex/STICK rw - vfat /dev/sdb1 rw\n"
            << QStringList{"/", "/media/alex/STICK"};
        QTest::newRow("a bind mount alone still names its drive")
            << root + "2 1 8:17 /photos /home/alex/photos rw - vfat /dev/sdb1 rw\n"
            << QStringList{"/", "/home/alex/photos"};
        QTest::newRow("system tmpfs and FUSE stay out, sticks under /run/media stay in")
            << root +
                   "2 1 0:30 / /run/user/1000 rw - tmpfs tmpfs rw\n"
                   "3 1 0:31 / /run/user/1000/gvfs rw - fuse.gvfsd-fuse gvfsd-fuse rw\n"
                   "4 1 0:32 / /sys/fs/cgroup rw - tmpfs tmpfs rw\n"
                   "5 1 8:17 / /run/media/alex/STICK rw - vfat /dev/sdb1 rw\n"
                   "6 1 0:33 / /home/alex/cloud rw - fuse.rclone remote: rw\n"
                   "7 1 0:34 / /var/lib/docker/overlay2/ab/merged rw - overlay overlay rw\n"
            << QStringList{"/", "/run/media/alex/STICK", "/home/alex/cloud"};
        QTest::newRow("read-only drives stay listed, so a run can say why it fails")
            << root +
                   "2 1 0:30 / /mnt/ram ro,relatime - tmpfs tmpfs ro\n"
                   "3 1 7:0 / /mnt/stick ro,relatime - ext4 /dev/loop0 ro\n"
                   "4 1 0:31 / /run/credentials/x ro - ramfs ramfs rw\n"
            << QStringList{"/", "/mnt/ram", "/mnt/stick"};
        QTest::newRow("unknown file systems without a device stay out")
            << root +
                   "2 1 0:40 / /mnt/x rw - weirdfs none rw\n"
                   "3 1 0:41 / /tank rw - zfs tank/home rw\n"
            << QStringList{"/", "/tank"};
        QTest::newRow("empty table lists nothing") << QByteArray("") << QStringList{};
        QTest::newRow("missing table lists nothing") << QByteArray() << QStringList{};
    }
    void tableCases() {
        QFETCH(QByteArray, table);
        QFETCH(QStringList, expected);
        const fakes::SystemRoot root(table);
        auto queries = std::make_shared<fakes::FakeVolumeQueries>();
        driveinfo::MountTableCatalogue catalogue(root.path(), queries);
        QCOMPARE(texts(catalogue.drives()), expected);
        // /home is on the root disk in every table; with nothing listed, on no drive.
        QCOMPARE(catalogue.driveHolding(QStringLiteral("/home")), expected.value(0));
        // With nothing listed, as in a plain chroot, a named folder is refused, never guessed.
        if (expected.isEmpty()) {
            QVERIFY_THROWS_EXCEPTION(platform::Failure,
                                     catalogue.volumeToMeasure(QStringLiteral("/home"), {}));
        }
    }

    // A volume whose root does not answer is listed at once without a label and not asked again
    // while its query is stuck; the others get theirs. Once it answers, the list is told and its
    // label shows.
    void stalledVolumeIsListedWithoutHoldingTheOthers() {
        const fakes::SystemRoot root(
            "1 0 8:1 / / rw - ext4 /dev/sda1 rw\n"
            "2 1 0:33 / /home/alex/vault rw - fuse.encfs encfs rw\n"
            "3 1 0:34 / /home/alex/stalled rw - fuse.bindfs x rw\n");
        auto labels = std::make_shared<StallingLabels>();
        labels->stuck = QStringLiteral("/home/alex/stalled");
        platform::QtOffThread offThread;
        driveinfo::MountTableCatalogue catalogue(root.path(), labels, offThread);
        int lateAnswers = 0;
        catalogue.setLateAnswerListener([&lateAnswers] { ++lateAnswers; });

        // It comes back while the stuck query still holds its thread.
        QCOMPARE(texts(catalogue.drives()).last(), QStringLiteral("/home/alex/stalled"));
        const QStringList whileStalled{"/", "/home/alex/vault [VAULT]", "/home/alex/stalled"};
        QTRY_COMPARE(lateAnswers, 1);
        QTRY_COMPARE(labels->askedSoFar().count(labels->stuck), 1);
        QCOMPARE(texts(catalogue.drives()), whileStalled);
        QCOMPARE(labels->askedSoFar().count(labels->stuck), 1);
        QCOMPARE(labels->askedSoFar().count(QStringLiteral("/home/alex/vault")), 1);

        labels->release.release();
        QTRY_COMPARE(lateAnswers, 2);
        QCOMPARE(texts(catalogue.drives()).last(), QStringLiteral("/home/alex/stalled [STALLED]"));
        QCOMPARE(labels->askedSoFar().count(labels->stuck), 1);
    }

    // The list leaves out a mount hidden from above and a read-only twin; a named folder's drive
    // is the mount the kernel names for it ("!": a refusal saying this), never one of those.
    void mountTheKernelNames_data() {
        QTest::addColumn<QByteArray>("table");
        QTest::addColumn<QString>("kernel");  // "folder=mount id ..."
        QTest::addColumn<QStringList>("listed");
        QTest::addColumn<QString>("drive");  // of the first folder in kernel
        const QByteArray root = "1 0 8:1 / / rw - ext4 /dev/sda1 rw\n";
        const QByteArray stacked = root + "2 1 8:17 / /m/x/a rw - ext4 /dev/sdb1 rw\n";
        const QByteArray twins = root + "2 1 8:17 / /mnt/a ro - ext4 /dev/sdb1 rw\n";
        const auto row = [](const char* tag, const QByteArray& table, const char* kernel,
                            const QStringList& listed, const char* drive) {
            QTest::newRow(tag) << table << kernel << listed << drive;
        };
        row("volume mounted above", stacked + "3 1 8:33 / /m/x rw - ext4 /dev/sdc1 rw\n",
            "/m/x/a=3 /m/x=3", {"/", "/m/x"}, "/m/x");
        row("the same, read-only", stacked + "3 1 8:33 / /m/x ro - ext4 /dev/sdc1 ro\n",
            "/m/x/a=3 /m/x=3", {"/", "/m/x"}, "!its drive /m/x is mounted read-only");
        row("writable twin", twins + "3 1 8:17 / /mnt/b rw - ext4 /dev/sdb1 rw\n",
            "/mnt/b/x=3 /mnt/b=3", {"/", "/mnt/b"}, "/mnt/b");
        row("second btrfs subvolume",
            root +
                "2 1 0:45 /@a /mnt/a rw - btrfs /dev/sdb1 rw\n"
                "3 1 0:45 /@b /mnt/b rw - btrfs /dev/sdb1 rw\n"
                "4 1 0:45 / /mnt/top rw - btrfs /dev/sdb1 rw\n",
            "/mnt/b=3", {"/", "/mnt/a", "/mnt/b", "/mnt/top"}, "/mnt/b");
        row("a mount not in the table", root, "/old/x=9", {"/"}, "!no mounted drive holds it");
        row("mount point leading elsewhere", root + "2 1 8:17 / /mnt/a rw - ext4 /dev/sdb1 rw\n",
            "/mnt/a/x=2 /mnt/a=5", {"/", "/mnt/a"},
            "!its drive's folder /mnt/a now leads to another drive");
    }
    void mountTheKernelNames() {
        QFETCH(QByteArray, table);
        QFETCH(QString, kernel);
        QFETCH(QStringList, listed);
        QFETCH(QString, drive);
        const fakes::SystemRoot root(table);
        auto queries = std::make_shared<fakes::FakeVolumeQueries>();
        for (const QString& pair : kernel.split(' '))
            queries->mountIds.insert(pair.section('=', 0, 0), pair.section('=', 1).toInt());
        driveinfo::MountTableCatalogue catalogue(root.path(), queries);
        QCOMPARE(texts(catalogue.drives()), listed);
        const QString folder = kernel.section('=', 0, 0);
        try {
            QCOMPARE(catalogue.volumeToMeasure(folder, folder), drive);
        } catch (const platform::Failure& failure) {
            QVERIFY2(drive.startsWith('!') && failure.description().contains(drive.mid(1)),
                     qPrintable(failure.description()));
        }
    }

    void driveHolding_data() {
        QTest::addColumn<QString>("machine");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("drive");
        const auto row = [](const char* tag, const char* machine, const char* path,
                            const char* drive) { QTest::newRow(tag) << machine << path << drive; };
        row("home folder", "laptop", "/home/alex/docs", "/");
        row("bind mount of the root disk", "laptop", "/srv/shared/photos", "/");
        row("mount root itself", "laptop", "/media/alex/STICK", "/media/alex/STICK");
        row("deep in a stick", "laptop", "/media/alex/STICK/a/b", "/media/alex/STICK");
        row("by components, not by text", "laptop", "/media/alex/STICKER/a", "/");
        row("blank in path", "laptop", "/media/alex/SD CARD/DCIM", "/media/alex/SD CARD");
        row("dot-dot resolved", "laptop", "/media/alex/STICK/../Secret/x", "/media/alex/Secret");
        row("unlisted tmpfs falls back", "laptop", "/run/user/1000/gvfs", "/");
        row("unlisted snap falls back", "laptop", "/snap/core22/1380/usr", "/");
        row("inside a gvfs share", "laptop",
            "/run/user/1000/gvfs/smb-share:server=nas,share=music/albums/a",
            "/run/user/1000/gvfs/smb-share:server=nas,share=music");
        row("inside a kio-fuse SMB share", "network-client",
            "/run/user/1000/kio-fuse-QkSbVd/smb/nas/photos/2024",
            "/run/user/1000/kio-fuse-QkSbVd/smb/nas/photos");
        row("kio-fuse host without its share falls back", "network-client",
            "/run/user/1000/kio-fuse-QkSbVd/smb/nas", "/");
        row("container root", "container-overlay", "/etc", "/");
        row("container volume", "container-overlay", "/data/x", "/data");
        row("btrfs subvolume is its own drive", "network-client", "/data/snapshots/1",
            "/data/snapshots");
    }
    void driveHolding() {
        QFETCH(QString, machine);
        QFETCH(QString, path);
        QFETCH(QString, drive);
        auto queries = std::make_shared<fakes::FakeVolumeQueries>();
        driveinfo::MountTableCatalogue catalogue(fakes::recordedSystem(machine), queries);
        QCOMPARE(catalogue.driveHolding(path), drive);
    }
};

QTEST_GUILESS_MAIN(DriveCatalogueTest)
#include "tst_drivecatalogue.moc"
