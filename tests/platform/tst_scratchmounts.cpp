// The shared mount helpers set up what they promise and leave nothing behind.

#include <QFile>
#include <QTest>

#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>

#include "support/scratchmounts.h"

namespace {

bool isMountPoint(const QString& path) {
    QFile mounts(QStringLiteral("/proc/self/mountinfo"));
    if (!mounts.open(QIODevice::ReadOnly)) return false;
    for (const QByteArray& line : mounts.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() > 4 && QFile::decodeName(fields.at(4)) == path) return true;
    }
    return false;
}

QString readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromLatin1(file.readAll()) : QString();
}

}  // namespace

class ScratchMountsTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void tmpfsIsMountedAndRemoved() {
        QString mountPoint;
        {
            testsupport::ScratchTmpfs scratch(4 * 1024 * 1024);
            if (!scratch.isReady()) QSKIP(qPrintable(scratch.whyNot()));
            mountPoint = scratch.mountPoint();
            struct statfs info {};
            QCOMPARE(::statfs(QFile::encodeName(mountPoint).constData(), &info), 0);
            QCOMPARE(info.f_type, 0x01021994L);  // TMPFS_MAGIC
            QVERIFY(qint64(info.f_blocks) * info.f_bsize <= 4 * 1024 * 1024);
            QFile file(mountPoint + QStringLiteral("/inside"));
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        QVERIFY(!isMountPoint(mountPoint));
        QVERIFY(!QFile::exists(mountPoint));
    }

    void loopExt4CarriesLabelAndIsDetached() {
        QString mountPoint;
        QString device;
        {
            testsupport::LoopExt4 drive(16 * 1024 * 1024, QStringLiteral("DOVSMOKE"));
            if (!drive.isReady()) QSKIP(qPrintable(drive.whyNot()));
            mountPoint = drive.mountPoint();
            device = drive.loopDevice();
            QVERIFY(isMountPoint(mountPoint));
            QVERIFY(device.startsWith(QStringLiteral("/dev/loop")));
            struct stat info {};
            QCOMPARE(::stat(QFile::encodeName(device).constData(), &info), 0);
            QCOMPARE(drive.majorMinor(),
                     QStringLiteral("%1:%2").arg(major(info.st_rdev)).arg(minor(info.st_rdev)));
            const auto label = testsupport::runTool(
                QStringLiteral("blkid"), {QStringLiteral("-s"), QStringLiteral("LABEL"),
                                          QStringLiteral("-o"), QStringLiteral("value"), device});
            if (label.ok) QCOMPARE(label.output, QStringLiteral("DOVSMOKE"));
        }
        QVERIFY(!isMountPoint(mountPoint));
        QVERIFY(!QFile::exists(mountPoint));
        const auto still = testsupport::runTool(QStringLiteral("losetup"), {device});
        QVERIFY2(!still.ok, qPrintable(still.output));
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
                QVERIFY(readAll(v1Read).contains(drive.majorMinor() + QStringLiteral(" 5242880")));
            }
        }
        if (QFile::exists(v1Read)) QVERIFY(!readAll(v1Read).contains(drive.majorMinor() + ' '));
    }
};

QTEST_GUILESS_MAIN(ScratchMountsTest)
#include "tst_scratchmounts.moc"
