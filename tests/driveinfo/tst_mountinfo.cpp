// Parsing /proc/self/mountinfo text and working out which mounts a path can reach.

#include <QtTest>

#include "driveinfo/mountrules.h"
#include "platform/mountinfo.h"

using platform::MountRecord;

class MountInfoTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void parsesEveryField() {
        const QList<MountRecord> records = platform::parseMountInfo(
            "36 35 98:0 /mnt1 /mnt2 rw,noatime master:1 shared:7 - ext3 /dev/root "
            "rw,errors=continue\n");
        QCOMPARE(records.size(), 1);
        const MountRecord& r = records.first();
        QCOMPARE(r.mountId, 36);
        QCOMPARE(r.parentId, 35);
        QCOMPARE(r.major, 98u);
        QCOMPARE(r.minor, 0u);
        QCOMPARE(r.deviceNumber(), QStringLiteral("98:0"));
        QCOMPARE(r.root, QStringLiteral("/mnt1"));
        QCOMPARE(r.mountPoint, QStringLiteral("/mnt2"));
        QCOMPARE(r.mountOptions, QStringLiteral("rw,noatime"));
        QCOMPARE(r.fileSystemType, QStringLiteral("ext3"));
        QCOMPARE(r.source, QStringLiteral("/dev/root"));
        QCOMPARE(r.superOptions, QStringLiteral("rw,errors=continue"));
    }

    void decodesEscapes_data() {
        QTest::addColumn<QByteArray>("field");
        QTest::addColumn<QString>("expected");
        QTest::newRow("blank") << QByteArray("/media/alex/MY\\040STICK")
                               << QStringLiteral("/media/alex/MY STICK");
        QTest::newRow("tab") << QByteArray("/mnt/a\\011b") << QStringLiteral("/mnt/a\tb");
        QTest::newRow("new line") << QByteArray("/mnt/a\\012b") << QStringLiteral("/mnt/a\nb");
        QTest::newRow("backslash") << QByteArray("/mnt/a\\134040") << QStringLiteral("/mnt/a\\040");
        QTest::newRow("UTF-8 bytes as they stand")
            << QByteArray("/media/j\xc3\xbcrgen/\xe3\x83\x87\xe3\x83\xbc\xe3\x82\xbf")
            << QStringLiteral("/media/jürgen/データ");
        QTest::newRow("escaped UTF-8 bytes")
            << QByteArray("/mnt/\\303\\244") << QStringLiteral("/mnt/ä");
        QTest::newRow("not three octal digits")
            << QByteArray("/mnt/a\\04") << QStringLiteral("/mnt/a\\04");
        QTest::newRow("eight is not octal")
            << QByteArray("/mnt/\\080x") << QStringLiteral("/mnt/\\080x");
        QTest::newRow("beyond a byte") << QByteArray("/mnt/\\777") << QStringLiteral("/mnt/\\777");
        QTest::newRow("lone backslash at the end")
            << QByteArray("/mnt/\\") << QStringLiteral("/mnt/\\");
    }
    void decodesEscapes() {
        QFETCH(QByteArray, field);
        QFETCH(QString, expected);
        QCOMPARE(platform::decodeMountInfoField(field), expected);
        // The same through a whole line, in the mount point and in the source.
        const QByteArray line = "40 1 8:17 / " + field + " rw - vfat " + field + " rw\n";
        const QList<MountRecord> records = platform::parseMountInfo(line);
        QCOMPARE(records.size(), 1);
        QCOMPARE(records.first().mountPoint, expected);
        QCOMPARE(records.first().source, expected);
    }

    // Each odd line sits between two good ones; the good ones must survive it.
    void skipsOddLines_data() {
        QTest::addColumn<QByteArray>("oddLine");
        QTest::newRow("empty") << QByteArray("");
        QTest::newRow("blanks only") << QByteArray("    ");
        QTest::newRow("text") << QByteArray("mountinfo is not available");
        QTest::newRow("cut short") << QByteArray("41 1 8:1 / /mnt");
        QTest::newRow("no separator")
            << QByteArray("41 1 8:1 / /mnt rw shared:1 ext4 /dev/sda1 rw");
        QTest::newRow("nothing after separator") << QByteArray("41 1 8:1 / /mnt rw - ");
        QTest::newRow("id not a number") << QByteArray("x 1 8:1 / /mnt rw - ext4 /dev/sda1 rw");
        QTest::newRow("device without colon")
            << QByteArray("41 1 8-1 / /mnt rw - ext4 /dev/sda1 rw");
        QTest::newRow("device half missing") << QByteArray("41 1 8: / /mnt rw - ext4 /dev/sda1 rw");
        QTest::newRow("relative mount point")
            << QByteArray("41 1 8:1 / mnt rw - ext4 /dev/sda1 rw");
        QTest::newRow("NUL inside") << QByteArray("41 1 8:1 / /m\0nt rw", 19);
        QTest::newRow("very long") << QByteArray(100000, 'x');
    }
    void skipsOddLines() {
        QFETCH(QByteArray, oddLine);
        const QByteArray text = "30 1 8:2 / / rw - ext4 /dev/sda2 rw\n" + oddLine +
                                "\n31 30 0:25 / /run rw - tmpfs tmpfs rw\n";
        const QList<MountRecord> records = platform::parseMountInfo(text);
        QCOMPARE(records.size(), 2);
        QCOMPARE(records[0].mountPoint, QStringLiteral("/"));
        QCOMPARE(records[1].mountPoint, QStringLiteral("/run"));
    }

    void keepsEmptyAndMissingTrailingFields() {
        const QList<MountRecord> records = platform::parseMountInfo(
            "50 1 0:60 / /mnt/a ro,relatime - tmpfs  rw\r\n"
            "51 1 8:1 / /mnt/b rw - ext4 /dev/sda1\n"
            "52 1 8:1 / /mnt/c rw - ext4 /dev/sda1 rw");  // no final new line
        QCOMPARE(records.size(), 3);
        QCOMPARE(records[0].source, QString());
        QCOMPARE(records[0].superOptions, QStringLiteral("rw"));
        QCOMPARE(records[0].mountOptions, QStringLiteral("ro,relatime"));
        QCOMPARE(records[1].superOptions, QString());
        QCOMPARE(records[2].mountPoint, QStringLiteral("/mnt/c"));
    }

    void reachableMounts_data() {
        QTest::addColumn<QByteArray>("table");
        QTest::addColumn<QStringList>("expected");  // "id mount point"
        QTest::newRow("second tmpfs stacked on /dev/shm")
            << QByteArray(
                   "24 27 0:6 / /dev rw - devtmpfs devtmpfs rw\n"
                   "25 24 0:23 / /dev/shm rw - tmpfs tmpfs rw\n"
                   "27 1 254:0 / / rw - ext4 /dev/vda rw\n"
                   "30 25 0:27 / /dev/shm rw - tmpfs tmpfs rw\n")
            << QStringList{"24 /dev", "27 /", "30 /dev/shm"};
        QTest::newRow("mounts inside a covered mount are out of reach")
            << QByteArray(
                   "1 0 8:1 / / rw - ext4 /dev/sda1 rw\n"
                   "2 1 8:17 / /media/x rw - vfat /dev/sdb1 rw\n"
                   "3 2 0:40 / /media/x/inner rw - tmpfs tmpfs rw\n"
                   "4 2 8:33 / /media/x rw - vfat /dev/sdc1 rw\n")
            << QStringList{"1 /", "4 /media/x"};
        QTest::newRow("no parent links: the later one is on top")
            << QByteArray(
                   "1 0 8:1 / / rw - ext4 /dev/sda1 rw\n"
                   "7 1 0:40 / /mnt rw - tmpfs tmpfs rw\n"
                   "9 1 0:41 / /mnt rw - tmpfs tmpfs rw\n")
            << QStringList{"1 /", "9 /mnt"};
        // A later mount at or above a mount point hides what was there; what is made inside
        // a mount afterwards does not hide the mount it is in.
        QTest::newRow("a later mount above a mount point hides it")
            << QByteArray(
                   "1 0 8:1 / / rw - ext4 /dev/sda1 rw\n"
                   "2 1 8:17 / /m/x/a rw - ext4 /dev/sdb1 rw\n"
                   "3 2 0:40 / /m/x/a/in rw - tmpfs tmpfs rw\n"
                   "4 1 8:33 / /m/x rw - ext4 /dev/sdc1 rw\n"
                   "5 4 8:49 / /m/x/a rw - ext4 /dev/sdd1 rw\n")
            << QStringList{"1 /", "4 /m/x", "5 /m/x/a"};
        QTest::newRow("a parent loop in a broken table ends")
            << QByteArray(
                   "5 6 8:1 / /a rw - ext4 /dev/sda1 rw\n"
                   "6 5 8:2 / /b rw - ext4 /dev/sda2 rw\n")
            << QStringList{"5 /a", "6 /b"};
    }
    void mountIdFromFdInfo() {
        QCOMPARE(platform::mountIdFromFdInfo("pos:\t0\nflags:\t012100000\nmnt_id:\t31\nino:\t2\n"),
                 31);
        QCOMPARE(platform::mountIdFromFdInfo("pos:\t0\nmnt_id:\t7"), 7);
        QVERIFY(!platform::mountIdFromFdInfo("pos:\t0\nmnt_id:\tx\n"));
    }

    void reachableMounts() {
        QFETCH(QByteArray, table);
        QFETCH(QStringList, expected);
        QStringList reachable;
        for (const MountRecord& r : driveinfo::reachableMounts(platform::parseMountInfo(table)))
            reachable.append(QStringLiteral("%1 %2").arg(r.mountId).arg(r.mountPoint));
        QCOMPARE(reachable, expected);
    }
};

QTEST_GUILESS_MAIN(MountInfoTest)
#include "tst_mountinfo.moc"
