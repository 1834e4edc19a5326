// The shared mount helpers set up what they promise and leave nothing behind.

#include <QFile>
#include <QTest>

#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>

#include <memory>

#include "support/scratchmounts.h"

using testsupport::LoopVolume;

namespace {

bool isMountPoint(const QString& path) {
    for (const QByteArray& line : testsupport::readFileBytes("/proc/self/mountinfo").split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() > 4 && QFile::decodeName(fields.at(4)) == path) return true;
    }
    return false;
}

}  // namespace

class ScratchMountsTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void mountIsMadeAndUndone_data() {
        QTest::addColumn<QString>("kind");
        QTest::newRow("tmpfs") << "tmpfs";
        QTest::newRow("ext4") << "ext4";
        QTest::newRow("exFAT through FUSE") << "exfat";
    }
    void mountIsMadeAndUndone() {
        QFETCH(QString, kind);
        constexpr qint64 size = 16 * 1024 * 1024;
        QString mountPoint;
        QString device;
        {
            std::unique_ptr<testsupport::ScratchMount> mount;
            if (kind == "tmpfs") {
                mount = std::make_unique<testsupport::ScratchTmpfs>(size);
            } else {
                mount = std::make_unique<LoopVolume>(
                    size, QStringLiteral("DOVSMOKE"),
                    kind == "ext4" ? LoopVolume::Format::Ext4 : LoopVolume::Format::ExfatFuse);
            }
            if (!mount->isReady()) QSKIP(qPrintable(mount->whyNot()));
            mountPoint = mount->mountPoint();
            QVERIFY(isMountPoint(mountPoint));
            QVERIFY(QFile(mountPoint + QStringLiteral("/inside")).open(QIODevice::WriteOnly));

            if (const auto* loop = dynamic_cast<const LoopVolume*>(mount.get())) {
                device = loop->loopDevice();
                QVERIFY(device.startsWith(QStringLiteral("/dev/loop")));
                struct stat info {};
                QCOMPARE(::stat(QFile::encodeName(device).constData(), &info), 0);
                QCOMPARE(loop->majorMinor(),
                         QStringLiteral("%1:%2").arg(major(info.st_rdev)).arg(minor(info.st_rdev)));
                const auto label =
                    testsupport::runTool(QStringLiteral("blkid"),
                                         {QStringLiteral("-s"), QStringLiteral("LABEL"),
                                          QStringLiteral("-o"), QStringLiteral("value"), device});
                if (label.ok) QCOMPARE(label.output, QStringLiteral("DOVSMOKE"));
            } else {
                struct statfs info {};
                QCOMPARE(::statfs(QFile::encodeName(mountPoint).constData(), &info), 0);
                QCOMPARE(info.f_type, 0x01021994L);  // TMPFS_MAGIC
                QVERIFY(qint64(info.f_blocks) * info.f_bsize <= size);
            }
        }
        QVERIFY(!isMountPoint(mountPoint));
        QVERIFY(!QFile::exists(mountPoint));
        if (!device.isEmpty()) {
            const auto still = testsupport::runTool(QStringLiteral("losetup"), {device});
            QVERIFY2(!still.ok, qPrintable(still.output));
        }
    }

    void throttleIsSetAndLifted() {
        testsupport::LoopExt4 drive(16 * 1024 * 1024, QStringLiteral("DOVSMOKE"));
        if (!drive.isReady()) QSKIP(qPrintable(drive.whyNot()));
        const QString v1Read =
            QStringLiteral("/sys/fs/cgroup/blkio/blkio.throttle.read_bps_device");
        {
            testsupport::BlockThrottle throttle(drive.majorMinor(), 5 * 1024 * 1024,
                                                6 * 1024 * 1024);
            if (!throttle.isReady()) QSKIP(qPrintable(throttle.whyNot()));
            if (QFile::exists(v1Read)) {
                QVERIFY(testsupport::readFileBytes(v1Read).contains(
                    (drive.majorMinor() + QStringLiteral(" 5242880")).toLatin1()));
            }
        }
        if (QFile::exists(v1Read)) {
            QVERIFY(
                !testsupport::readFileBytes(v1Read).contains(drive.majorMinor().toLatin1() + ' '));
        }
    }
};

QTEST_GUILESS_MAIN(ScratchMountsTest)
#include "tst_scratchmounts.moc"
