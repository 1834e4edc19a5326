// GetDrive and the drive properties over recorded /proc and /sys trees of other machines.

#include <QtTest>

#include "driveinfo/drivefacts.h"
#include "driveinfo/drivepanel.h"
#include "driveinfo/systemdrives.h"
#include "fakes/fakedrives.h"
#include "platform/linuxdrives.h"
#include "support/harness.h"

using fakes::recordedSystem;

class LinuxDrivesTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void driveTypeAndLabel_data() {
        QTest::addColumn<QString>("machine");
        QTest::addColumn<QString>("mountRoot");
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("label");   // from udev's by-label links of the recording
        QTest::addColumn<QString>("device");  // vendor and model of the disk beneath, from sysfs

        const auto row = [](const char* tag, const char* machine, const char* mountRoot, int type,
                            const char* label = "", const char* device = " ") {
            QTest::newRow(tag) << machine << mountRoot << type << label << device;
        };
        // USB stick that reports removable=0: the USB bus in its device path decides.
        row("USB stick partition", "laptop", "/media/alex/STICK", 1, "STICK", "SanDisk Extreme");
        row("LUKS on a USB stick", "laptop", "/media/alex/Secret", 1, "Secret",
            "Kingston DataTraveler 3.0");
        row("SD card, blank in path", "laptop", "/media/alex/SD CARD", 1, "SD CARD");
        row("sr0 disc", "laptop", "/media/alex/Debian 12.5.0 amd64 n", 4, "Debian 12.5.0 amd64 n",
            "HL-DT-ST DVDRAM GUD1N");
        row("NVMe partition", "laptop", "/", 2);
        row("NVMe EFI partition", "laptop", "/boot/efi", 2);
        row("tmpfs /dev/shm", "laptop", "/dev/shm", 5);
        row("SATA partition", "network-client", "/", 2, "", "ATA Samsung SSD 870");
        row("btrfs found by its source", "network-client", "/data", 2, "data",
            "ATA WDC WD20EFRX-68E");
        row("NTFS through fuseblk", "network-client", "/mnt/windows", 2, "", "ATA Samsung SSD 870");
        row("nfs", "network-client", "/mnt/nfs-home", 3);
        row("nfs4", "network-client", "/mnt/media", 3);
        row("cifs, blank in path", "network-client", "/mnt/public share", 3);
        row("smb3", "network-client", "/mnt/team", 3);
        row("sshfs", "network-client", "/home/alex/build", 3);
        row("9p", "network-client", "/mnt/host", 3);
        row("ceph", "network-client", "/mnt/ceph", 3);
        row("glusterfs", "network-client", "/mnt/gluster", 3);
        row("tmpfs /tmp", "network-client", "/tmp", 5);
        row("ramfs", "network-client", "/mnt/ramfs", 5);
        row("zram", "network-client", "/var/cache/zram", 5);
        row("brd ram0", "network-client", "/mnt/ramdisk", 5);
        row("ISO image on a loop device", "network-client", "/mnt/iso", 4);
        row("local FUSE volume", "network-client", "/home/alex/Private", 0);
        row("gvfs SMB share", "laptop", "/run/user/1000/gvfs/smb-share:server=nas,share=music", 3,
            "music on nas");
        row("gvfs SFTP share", "laptop",
            "/run/user/1000/gvfs/sftp:host=build.example.com,user=alex", 3,
            "alex on build.example.com");
        row("kio-fuse SMB share", "network-client", "/run/user/1000/kio-fuse-QkSbVd/smb/nas/music",
            3, "smb://nas/music");
        row("overlay root", "container-overlay", "/", 0);
        row("container volume", "container-overlay", "/data", 2);
        row("virtio disk", "vm-loop-tmpfs", "/", 2);
        row("loop device", "vm-loop-tmpfs", "/mnt/dov-fixture/stick", 2);
        row("tmpfs, blank in path", "vm-loop-tmpfs", "/mnt/dov-fixture/ram disk", 5);
    }
    void driveTypeAndLabel() {
        QFETCH(QString, machine);
        QFETCH(QString, mountRoot);
        QFETCH(int, type);
        QFETCH(QString, label);
        QFETCH(QString, device);
        auto queries = std::make_shared<fakes::FakeVolumeQueries>();
        driveinfo::LinuxDriveService service(recordedSystem(machine), queries);
        const std::unique_ptr<driveinfo::Drive> drive = service.getDrive(mountRoot);
        QCOMPARE(int(drive->driveType()), type);
        QCOMPARE(drive->volumeName(), label);
        // The file system itself is asked only when udev has no name, and never across a
        // network, where opening the root can hang.
        if (type == 3 || !label.isEmpty()) QVERIFY(queries->labelQueries.isEmpty());
        const driveinfo::DriveFacts facts =
            driveinfo::driveFactsOf(mountRoot, recordedSystem(machine), queries);
        QCOMPARE(facts.vendor + ' ' + facts.model, device);
        QCOMPARE(facts.type, driveinfo::DrivePanel::driveTypeText(driveinfo::DriveType(type)));
    }

    void labelFromTheFileSystemWhenUdevHasNone() {
        auto queries = std::make_shared<fakes::FakeVolumeQueries>();
        queries->labels.insert(QStringLiteral("/mnt/dov-fixture/stick"),
                               QStringLiteral("TESTSTICK"));
        driveinfo::LinuxDriveService service(recordedSystem(QStringLiteral("vm-loop-tmpfs")),
                                             queries);
        QCOMPARE(service.getDrive(QStringLiteral("/mnt/dov-fixture/stick"))->volumeName(),
                 QStringLiteral("TESTSTICK"));
        QCOMPARE(queries->labelQueries, QStringList{"/mnt/dov-fixture/stick"});
    }

    void sizesComeFromTheMountRoot() {
        auto queries = std::make_shared<fakes::FakeVolumeQueries>();
        queries->spaces.insert(QStringLiteral("/media/alex/STICK"), {61505273856.0, 999999.0});
        driveinfo::LinuxDriveService service(recordedSystem(QStringLiteral("laptop")), queries);
        const auto drive = service.getDrive(QStringLiteral("/media/alex/STICK/"));
        QCOMPARE(drive->totalSize(), 61505273856.0);
        QCOMPARE(drive->freeSpace(), 999999.0);
    }

    void notMountedIsNotReady_data() {
        QTest::addColumn<QString>("mountRoot");
        QTest::addColumn<QString>("message");
        const QString notMounted = QStringLiteral("No volume is mounted at %1");
        for (const char* root : {"/media/alex/GONE", "/media/alex", "/media/alex/STICKER"})
            QTest::newRow(root) << root << notMounted.arg(QString::fromUtf8(root));
    }
    void notMountedIsNotReady() {
        QFETCH(QString, mountRoot);
        QFETCH(QString, message);
        auto queries = std::make_shared<fakes::FakeVolumeQueries>();
        driveinfo::LinuxDriveService service(recordedSystem(QStringLiteral("laptop")), queries);
        QCOMPARE(testsupport::failureOf([&] { service.getDrive(mountRoot); }), message);
    }

    void missingMountTableNamesItsPath() {
        auto queries = std::make_shared<fakes::FakeVolumeQueries>();
        driveinfo::LinuxDriveService service(QStringLiteral("/nonexistent-dov-root"), queries);
        const QString failure =
            testsupport::failureOf([&] { service.getDrive(QStringLiteral("/")); });
        QVERIFY2(failure.contains(QStringLiteral("/nonexistent-dov-root/proc/self/mountinfo")),
                 qPrintable(failure));
    }

    // After an unmount the mount point is a plain folder of the volume beneath; its figures
    // must not be passed off as the vanished drive's.
    void driveUnmountedAfterGetDriveIsNotReady() {
        const QByteArray base = "1 0 8:1 / / rw - ext4 /dev/sda1 rw\n";
        fakes::SystemRoot root(base + "2 1 8:17 / /media/x rw - vfat /dev/sdb1 rw\n");
        auto queries = std::make_shared<fakes::FakeVolumeQueries>();
        queries->spaces.insert(QStringLiteral("/media/x"), {2e9, 1e9});
        driveinfo::LinuxDriveService service(root.path(), queries);
        const auto drive = service.getDrive(QStringLiteral("/media/x"));
        QCOMPARE(drive->totalSize(), 2e9);

        for (const QByteArray& later :
             {base, base + "3 1 8:33 / /media/x rw - vfat /dev/sdc1 rw\n"}) {
            QVERIFY(root.setTable(later));
            QVERIFY_THROWS_EXCEPTION(platform::Failure, drive->totalSize());
            QVERIFY_THROWS_EXCEPTION(platform::Failure, drive->freeSpace());
            QVERIFY_THROWS_EXCEPTION(platform::Failure, drive->volumeName());
        }
    }

    void udevNames_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("decoded");
        QTest::newRow("plain") << QStringLiteral("STICK") << QStringLiteral("STICK");
        QTest::newRow("blank") << QStringLiteral("MY\\x20STICK") << QStringLiteral("MY STICK");
        QTest::newRow("slash") << QStringLiteral("a\\x2fb") << QStringLiteral("a/b");
        QTest::newRow("UTF-8 bytes")
            << QStringLiteral("\\xe3\\x83\\x87\\xe3\\x83\\xbc\\xe3\\x82\\xbf")
            << QStringLiteral("データ");
        QTest::newRow("not hex") << QStringLiteral("a\\xzz") << QStringLiteral("a\\xzz");
        QTest::newRow("cut short") << QStringLiteral("a\\x2") << QStringLiteral("a\\x2");
    }
    void udevNames() {
        QFETCH(QString, name);
        QFETCH(QString, decoded);
        QCOMPARE(platform::decodeUdevName(name), decoded);
    }
};

QTEST_GUILESS_MAIN(LinuxDrivesTest)
#include "tst_linuxdrives.moc"
