// Copies time the device, not memory: after a flushed copy with dropped pages nothing of the
// destination stays cached, and on a throttled device both directions take size / rate.

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <vector>

#include "platform/linuxfiles.h"
#include "readcache/cachebelowfuse.h"
#include "support/scratchmounts.h"

using platform::CopyOptions;
using platform::LinuxFileService;

Q_DECLARE_METATYPE(testsupport::LoopVolume::Format)

namespace {

constexpr long tmpfsMagic = 0x01021994;
constexpr long ramfsMagic = 0x858458f6;

// Pages of the file that are in the page cache, or -1 when that cannot be told.
long residentPages(const QString& path) {
    const int descriptor = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) return -1;
    struct stat info {};
    if (::fstat(descriptor, &info) != 0 || info.st_size == 0) {
        ::close(descriptor);
        return -1;
    }
    void* mapping =
        ::mmap(nullptr, std::size_t(info.st_size), PROT_READ, MAP_SHARED, descriptor, 0);
    ::close(descriptor);
    if (mapping == MAP_FAILED) return -1;
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    std::vector<unsigned char> pages((std::size_t(info.st_size) + pageSize - 1) / pageSize);
    long resident = -1;
    if (::mincore(mapping, std::size_t(info.st_size), pages.data()) == 0) {
        resident = 0;
        for (unsigned char page : pages) resident += page & 1;
    }
    ::munmap(mapping, std::size_t(info.st_size));
    return resident;
}

void writeFile(const QString& path, qint64 size) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    const QByteArray block =
        QByteArray("123456789012345678901234567890123456789012345678\r\n").repeated(20000);
    for (qint64 left = size; left > 0; left -= block.size()) {
        QVERIFY(file.write(block.constData(), std::min<qint64>(left, block.size())) > 0);
    }
}

struct DeviceBytes {
    qint64 read = -1;
    qint64 written = -1;
};

// Bytes the block device has transferred so far, from its statistics in sysfs.
DeviceBytes deviceBytes(const QString& devicePath) {
    QFile stat(QStringLiteral("/sys/class/block/%1/stat").arg(QFileInfo(devicePath).fileName()));
    if (!stat.open(QIODevice::ReadOnly)) return {};
    const QList<QByteArray> fields = stat.readAll().simplified().split(' ');
    if (fields.size() < 7) return {};
    return {fields.at(2).toLongLong() * 512, fields.at(6).toLongLong() * 512};
}

const CopyOptions flushedAndDropped{.flushToDevice = true, .dropCachedPages = true};

}  // namespace

class CopyHonestyTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void droppedCopyLeavesNoPageResident() {
        // tmpfs pages are the file itself and can never be dropped, so use the disk.
        QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/dov-honesty-XXXXXX"));
        QVERIFY(dir.isValid());
        struct statfs volume {};
        QCOMPARE(::statfs(QFile::encodeName(dir.path()).constData(), &volume), 0);
        if (long(volume.f_type) == tmpfsMagic || long(volume.f_type) == ramfsMagic) {
            QSKIP(qPrintable(
                QStringLiteral("%1 is in memory (tmpfs), not on a disk").arg(dir.path())));
        }
        const QString source = dir.filePath(QStringLiteral("source"));
        writeFile(source, 8 * 1000 * 1000);

        LinuxFileService files;
        const int folder = files.openFolder(dir.path());
        const platform::HeldFile from =
            testsupport::heldAt(folder, dir.path(), QStringLiteral("source"));
        files.copyFile(from, folder, QStringLiteral("cached"), CopyOptions(), {});
        // Without the drop the copy sits in memory: proves the check can see pages at all.
        QVERIFY2(residentPages(dir.filePath(QStringLiteral("cached"))) > 0,
                 "an undropped copy shows no resident pages");

        files.copyFile(from, folder, QStringLiteral("TEST.TXT"), flushedAndDropped, {});
        QCOMPARE(residentPages(dir.filePath(QStringLiteral("TEST.TXT"))), 0L);
    }

    void throttledDeviceSetsBothTimes_data() {
        QTest::addColumn<testsupport::LoopVolume::Format>("format");
        QTest::newRow("ext4") << testsupport::LoopVolume::Format::Ext4;
        // The FUSE daemon reads through the device's cache, which the copy must drop as well.
        QTest::newRow("exFAT through FUSE") << testsupport::LoopVolume::Format::ExfatFuse;
        // Its fsync does not reach the device, so the copy writes the device back; before that
        // the kernel may pace fusefat's writes to the device's rate without writing them.
        QTest::newRow("fusefat naming its device") << testsupport::LoopVolume::Format::FatFuseNamed;
    }
    void throttledDeviceSetsBothTimes() {
        QFETCH(testsupport::LoopVolume::Format, format);
        constexpr qint64 rate = 10 * 1024 * 1024;
        constexpr qint64 size = 20 * 1000 * 1000;
        testsupport::LoopVolume drive(64 * 1024 * 1024, QStringLiteral("DOVRATE"), format);
        if (!drive.isReady()) QSKIP(qPrintable(drive.whyNot()));
        QTemporaryDir local(QDir::tempPath() + QStringLiteral("/dov-honesty-XXXXXX"));
        QVERIFY(local.isValid());
        const QString source = local.filePath(QStringLiteral("TEST.TXT"));
        writeFile(source, size);
        const QString back = local.filePath(QStringLiteral("BACK.TXT"));

        testsupport::BlockThrottle throttle(drive.majorMinor(), rate, rate);
        if (!throttle.isReady()) QSKIP(qPrintable(throttle.whyNot()));

        readcache::CacheBelowFuse below;
        LinuxFileService files({}, &below);
        const int program = files.openFolder(local.path());
        const int stick = files.openFolder(drive.mountPoint());
        const QString name = QStringLiteral("TEST.TXT");
        const DeviceBytes atStart = deviceBytes(drive.loopDevice());
        QElapsedTimer timer;
        timer.start();
        const platform::HeldFile onStick = files.copyFile(
            testsupport::heldAt(program, local.path(), name), stick, name, flushedAndDropped, {});
        const double writeSeconds = timer.nsecsElapsed() / 1e9;
        const DeviceBytes afterWrite = deviceBytes(drive.loopDevice());
        // As the run does between the phases: a FUSE daemon reads through the device's cache.
        try {
            files.dropDeviceCache(onStick);
        } catch (const platform::Failure& failure) {
            QFAIL(qPrintable(failure.description()));
        }
        const DeviceBytes afterDrop = deviceBytes(drive.loopDevice());
        timer.restart();
        files.copyFile(onStick, program, QStringLiteral("BACK.TXT"), CopyOptions(), {});
        const double readSeconds = timer.nsecsElapsed() / 1e9;
        const DeviceBytes afterRead = deviceBytes(drive.loopDevice());

        const qint64 bytesWritten = afterWrite.written - atStart.written;
        const qint64 bytesRead = afterRead.read - afterWrite.read;
        const double expected = double(size) / rate;
        const qint64 leftDirty = afterDrop.written - afterWrite.written;
        qInfo(
            "%lld bytes at %lld B/s, expected %.3f s: write %.3f s (%lld bytes to the device, "
            "%lld more at the drop), read %.3f s (%lld bytes from the device)",
            size, rate, expected, writeSeconds, bytesWritten, leftDirty, readSeconds, bytesRead);
        // Every byte went to the device and came back from it, not from a cache; the write left
        // nothing for the drop to write back.
        if (bytesWritten >= 0) QVERIFY(bytesWritten >= size && leftDirty < 64 * 1024);
        if (bytesRead >= 0) QVERIFY(bytesRead >= size);

        // The FUSE daemon reads the device through its read-ahead window, so the device moves
        // more than the file. Never may either copy be faster than the device; how much slower
        // is the machine's business (a busy one stretches both), and the byte counts above
        // already show where the data went.
        const bool fuse = format != testsupport::LoopVolume::Format::Ext4;
        const double readExpected = fuse && bytesRead > 0 ? double(bytesRead) / rate : expected;
        QVERIFY2(writeSeconds >= 0.9 * expected,
                 qPrintable(QStringLiteral("write took %1 s").arg(writeSeconds)));
        QVERIFY2(readSeconds >= 0.9 * readExpected,
                 qPrintable(QStringLiteral("read took %1 s").arg(readSeconds)));
        QCOMPARE(QFileInfo(back).size(), size);
    }
};

QTEST_GUILESS_MAIN(CopyHonestyTest)
#include "tst_copyhonesty.moc"
