// The program tells what lies below a FUSE volume, drops that cache itself where it may open the
// node or image, and asks the helper through pkexec only where it may not.

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <optional>
#include <vector>

#include "readcache/cachebelowfuse.h"
#include "support/scratchmounts.h"

using readcache::CacheBelowFuse;
using Format = testsupport::LoopVolume::Format;

Q_DECLARE_METATYPE(testsupport::LoopVolume::Format)

namespace {

const QString helperPath = QStringLiteral(DOV_DROP_CACHE_HELPER_PATH);

testsupport::ChildRun runHelper(const QStringList& arguments) {
    return testsupport::runChild(helperPath, arguments, 10000);
}

// Empty when the call went through, else the text of its failure.
template <typename Call>
QString failureOf(Call call) {
    try {
        call();
        return {};
    } catch (const platform::Failure& failure) {
        return failure.description();
    }
}

QString unknownBelow(const QString& driver, const QString& source) {
    return QStringLiteral(
               "%1 does not name the device or image file it reads (its mount's source is "
               "\"%2\"); mount the drive with the kernel's own driver, or give %1 the option "
               "-o fsname= with the absolute path of its device or image file")
        .arg(driver, source);
}

// Pages of the block device in the page cache, or -1 when that cannot be told.
long residentDevicePages(const QString& device) {
    const int descriptor = ::open(QFile::encodeName(device).constData(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) return -1;
    const off_t size = ::lseek(descriptor, 0, SEEK_END);
    void* mapping = size > 0
                        ? ::mmap(nullptr, std::size_t(size), PROT_READ, MAP_SHARED, descriptor, 0)
                        : MAP_FAILED;
    ::close(descriptor);
    if (mapping == MAP_FAILED) return -1;
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    std::vector<unsigned char> pages((std::size_t(size) + pageSize - 1) / pageSize);
    long resident = -1;
    if (::mincore(mapping, std::size_t(size), pages.data()) == 0) {
        resident = 0;
        for (unsigned char page : pages) resident += page & 1;
    }
    ::munmap(mapping, std::size_t(size));
    return resident;
}

// Pages of the file or device that wait to be written back, or -1 where cachestat (Linux 6.5)
// is missing.
long unwrittenPages(const QString& path) {
    struct {
        quint64 offset = 0, length = 0;  // to the end
    } range;
    struct {
        quint64 cached, dirty, writeback, evicted, recentlyEvicted;
    } pages{};
    const int descriptor = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    const long done = ::syscall(451 /* cachestat */, descriptor, &range, &pages, 0);
    ::close(descriptor);
    return done == 0 ? long(pages.dirty + pages.writeback) : -1;
}

// Reads the whole device, so all of it is in the page cache.
bool readWholeDevice(const QString& device) {
    QFile file(device);
    if (!file.open(QIODevice::ReadOnly)) return false;
    while (!file.read(1 << 20).isEmpty()) {
    }
    return true;
}

// The number of the block device at the path, or 0 when it is no block device.
dev_t deviceNumberOf(const QString& node) {
    struct stat info {};
    return ::stat(QFile::encodeName(node).constData(), &info) == 0 && S_ISBLK(info.st_mode)
               ? info.st_rdev
               : 0;
}

// A block device node this process may not open, and the system root that leads to it: as root
// a node in a recorded system on a tmpfs remounted nodev, otherwise a real node it cannot read.
class UnopenableNode {
public:
    UnopenableNode() {
        if (geteuid() != 0) {
            for (const QString& name : QDir(QStringLiteral("/dev")).entryList(QDir::System)) {
                path_ = QStringLiteral("/dev/") + name;
                device_ = deviceNumberOf(path_);
                if (device_ != 0 && ::access(QFile::encodeName(path_).constData(), R_OK) != 0 &&
                    QFile::exists(ueventPath()))
                    return;
            }
            why_ = QStringLiteral("no block device in /dev that this user cannot read");
            return;
        }
        mount_.emplace(1 << 20);
        if (!mount_->isReady()) {
            why_ = mount_->whyNot();
            return;
        }
        const testsupport::ToolResult nodev = testsupport::runTool(
            QStringLiteral("mount"),
            {QStringLiteral("-o"), QStringLiteral("remount,nodev"), mount_->mountPoint()});
        systemRoot_ = QFileInfo(mount_->mountPoint()).canonicalFilePath();
        path_ = systemRoot_ + QStringLiteral("/dev/dovdisk");
        device_ = makedev(7, 0);
        if (!nodev.ok) {
            why_ = QStringLiteral("cannot remount nodev: ") + nodev.why;
        } else if (!QDir().mkpath(systemRoot_ + QStringLiteral("/dev")) ||
                   ::mknod(QFile::encodeName(path_).constData(), S_IFBLK | 0600, device_) != 0) {
            why_ = QStringLiteral("cannot create a device node: ") + qt_error_string(errno);
        } else if (!QDir().mkpath(QFileInfo(ueventPath()).path()) ||
                   !writeFile(ueventPath(), "MAJOR=7\nMINOR=0\nDEVNAME=dovdisk\n")) {
            why_ = QStringLiteral("cannot write the sysfs record");
        }
    }

    const QString& whyNot() const { return why_; }
    const QString& systemRoot() const { return systemRoot_; }  // empty: the running system
    const QString& path() const { return path_; }
    dev_t device() const { return device_; }

private:
    QString ueventPath() const {
        return QStringLiteral("%1/sys/dev/block/%2:%3/uevent")
            .arg(systemRoot_)
            .arg(major(device_))
            .arg(minor(device_));
    }
    static bool writeFile(const QString& path, const QByteArray& content) {
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
    }

    std::optional<testsupport::ScratchTmpfs> mount_;
    QString systemRoot_;
    QString path_;
    dev_t device_ = 0;
    QString why_;
};

// Puts a folder first on PATH, holding a pkexec script that notes its arguments and then runs
// `body`; with no body the folder alone is PATH, so there is no pkexec at all.
class FakePkexec {
public:
    explicit FakePkexec(const QString& body) : oldPath_(qgetenv("PATH")) {
        if (body.isEmpty()) {
            qputenv("PATH", QFile::encodeName(folder_.path()));
            return;
        }
        QFile script(folder_.filePath(QStringLiteral("pkexec")));
        if (script.open(QIODevice::WriteOnly)) {
            script.write("#!/bin/sh\nprintf '%s\\n' \"$@\" > '" +
                         QFile::encodeName(argumentsFile()) + "'\n" + body.toUtf8() + '\n');
            script.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                  QFileDevice::ExeOwner);
        }
        qputenv("PATH", QFile::encodeName(folder_.path()) + ':' + oldPath_);
    }
    ~FakePkexec() { qputenv("PATH", oldPath_); }
    FakePkexec(const FakePkexec&) = delete;
    FakePkexec& operator=(const FakePkexec&) = delete;

    // The arguments pkexec was run with, one a line; empty when it did not run.
    QByteArray arguments() const {
        QFile file(argumentsFile());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

private:
    QString argumentsFile() const { return folder_.filePath(QStringLiteral("arguments")); }

    QTemporaryDir folder_;
    QByteArray oldPath_;
};

}  // namespace

class TestCacheBelowFuse : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Below a real FUSE volume the program drops the cache of the device or image itself where
    // it may open it, and the helper accepts the device; where the mount does not tell what lies
    // below, the program says so.
    void dropsTheCacheBelowARealFuseVolume_data() {
        QTest::addColumn<Format>("format");
        QTest::addColumn<QString>("why");  // empty: dropped
        QTest::newRow("exFAT, fuseblk") << Format::ExfatFuse << QString();
        QTest::newRow("fuse2fs on a loop device") << Format::Ext4Fuse << QString();
        QTest::newRow("fuse2fs on an image file") << Format::Ext4FuseImage << QString();
        // Its fsync does not reach the device, so the drop must write the device back first.
        QTest::newRow("fusefat naming its device") << Format::FatFuseNamed << QString();
        QTest::newRow("fusefat, whose mount names no source")
            << Format::FatFuse << unknownBelow("fusefat", "fusefat");
    }
    void dropsTheCacheBelowARealFuseVolume() {
        QFETCH(Format, format);
        QFETCH(QString, why);
        testsupport::LoopVolume volume(16 * 1024 * 1024, QStringLiteral("DOVDISK"), format);
        if (!volume.isReady()) QSKIP(qPrintable(volume.whyNot()));
        QFile onVolume(volume.mountPoint() + QStringLiteral("/TEST.TXT"));
        QVERIFY(onVolume.open(QIODevice::WriteOnly));
        // A slow device keeps what the FUSE driver did not write back dirty for a while.
        std::optional<testsupport::BlockThrottle> slow;
        if (!volume.majorMinor().isEmpty()) slow.emplace(volume.majorMinor(), 1 << 30, 8 << 20);
        QVERIFY(onVolume.write(QByteArray(10 << 20, 'x')) == 10 << 20 && onVolume.flush());
        QCOMPARE(::fsync(onVolume.handle()), 0);
        const std::optional<platform::FuseVolume> fuse = platform::fuseVolumeOf(onVolume.handle());
        QVERIFY(fuse.has_value());
        if (format == Format::ExfatFuse)
            QCOMPARE(fuse->device, deviceNumberOf(volume.loopDevice()));
        QTemporaryFile elsewhere;
        QVERIFY(elsewhere.open());
        QVERIFY(!platform::fuseVolumeOf(elsewhere.handle()).has_value());

        const QString below =
            volume.loopDevice().isEmpty() ? volume.imagePath() : volume.loopDevice();
        QVERIFY(readWholeDevice(below));
        const long before = residentDevicePages(below);
        QVERIFY2(before > 0, "reading the device did not cache it");
        const FakePkexec pkexec(QStringLiteral("exit 0"));
        const bool dropped = why.isEmpty();
        QCOMPARE(failureOf([&] { CacheBelowFuse().dropCacheBelow(*fuse); }), why);
        QCOMPARE(pkexec.arguments(), QByteArray());
        if (dropped) QVERIFY(residentDevicePages(below) < before / 2);

        // The write copy's write-back leaves nothing of the driver's writes for later.
        QVERIFY(onVolume.seek(0) && onVolume.write(QByteArray(4 << 20, 'y')) == 4 << 20 &&
                onVolume.flush());
        QCOMPARE(::fsync(onVolume.handle()), 0);
        QCOMPARE(failureOf([&] { CacheBelowFuse().writeBackBelow(*fuse); }), QString());
        const long unwritten = unwrittenPages(below);
        if (unwritten < 0) qInfo("cachestat is missing: the write-back is not checked");
        QVERIFY2(unwritten <= 0, qPrintable(QString::number(unwritten) + " pages unwritten"));
        if (!dropped || volume.loopDevice().isEmpty()) return;

        QVERIFY(readWholeDevice(below));
        const testsupport::ChildRun run = runHelper({below});
        QVERIFY2(run.ok(), qPrintable(run.why));
        QCOMPARE(run.errors, QByteArray());
        const long after = residentDevicePages(below);
        QVERIFY2(after >= 0 && after < before / 2,
                 qPrintable(QStringLiteral("%1 pages before, %2 after").arg(before).arg(after)));
    }

    // What lies below each kind of FUSE volume, told from a recorded system.
    void programTellsWhatLiesBelowAFuseVolume_data() {
        QTest::addColumn<int>("mountId");
        QTest::addColumn<int>("deviceMajor");
        QTest::addColumn<QString>("why");  // ROOT: the recorded system; empty: dropped

        const QString noNode =
            QStringLiteral("no device node of block device %1 was found in ROOT/dev");
        QTest::newRow("fuseblk: its device") << 40 << 8 << noNode.arg("8:3");
        QTest::newRow("fuse.fusefat on /dev/loop0, known to sysfs") << 41 << 0 << noNode.arg("7:0");
        QTest::newRow("fuse.ext4 on an image file") << 43 << 0 << QString();
        QTest::newRow("fuse.ext4 on a relative path")
            << 44 << 0 << unknownBelow("ext4", "disk.img");
        QTest::newRow("sshfs: the server's cache is out of reach") << 45 << 0 << QString();
        QTest::newRow("unknown type with a remote source") << 46 << 0 << QString();
        QTest::newRow("unknown type naming only itself")
            << 47 << 0 << unknownBelow("whatever", "whatever");
        QTest::newRow("a folder passed on")
            << 48 << 0
            << "bindfs passes on the files of the folder /srv/images, whose cache is not dropped; "
               "measure the drive that holds /srv/images instead";
        QTest::newRow("kio-fuse's local copy")
            << 49 << 0
            << "kio-fuse answers reads from its own local copy of the file; mount the share "
               "directly (for example with mount.cifs or sshfs) for a true read time";
        QTest::newRow("not in the mount table")
            << 99 << 0
            << "its FUSE volume (mount 99) was not found in ROOT/proc/self/mountinfo, so "
               "what lies below it is not known";
        QTest::newRow("not in the mount table, on a block device") << 99 << 8 << noNode.arg("8:99");
    }
    void programTellsWhatLiesBelowAFuseVolume() {
        QFETCH(int, mountId);
        QFETCH(int, deviceMajor);
        QFETCH(QString, why);
        const QString root = QStringLiteral(DOV_FIXTURES_DIR "/fuse-volumes");
        const FakePkexec pkexec(QStringLiteral("exit 0"));
        CacheBelowFuse below(root, QStringLiteral("/nonexistent/helper"));
        QCOMPARE(failureOf([&] {
                     below.dropCacheBelow({mountId, makedev(deviceMajor, 99)});
                 }),
                 QString(why).replace(QStringLiteral("ROOT"), root));
        QCOMPARE(pkexec.arguments(), QByteArray());
    }

    void programAsksTheHelperWhereItMayNotOpenTheNode_data() {
        QTest::addColumn<QString>("pkexecBody");  // empty: no pkexec on PATH
        QTest::addColumn<bool>("helperInstalled");
        QTest::addColumn<int>("timeLimitMs");
        QTest::addColumn<bool>("pkexecRuns");
        QTest::addColumn<QString>("why");  // after "the cache of <node> could not be dropped: "

        const int limit = CacheBelowFuse::defaultTimeLimitMs;
        QTest::newRow("done") << "exit 0" << true << limit << true << QString();
        QTest::newRow("authentication dismissed")
            << "exit 126" << true << limit << true
            << "the authentication was dismissed (pkexec exit 126); allow it, or join the disk "
               "group";
        QTest::newRow("not authorized")
            << "echo 'Error executing command as another user: Not authorized' >&2; exit 127"
            << true << limit << true
            << "the administrator refused it (pkexec exit 127: Error executing command as "
               "another user: Not authorized); join the disk group to allow it";
        QTest::newRow("helper refuses")
            << "echo 'dov-uruvivuz-drop-cache: /dev/x is not read by FUSE' >&2; exit 3" << true
            << limit << true << "the helper refused it: /dev/x is not read by FUSE (exit 3)";
        QTest::newRow("helper fails")
            << "echo 'dov-uruvivuz-drop-cache: cannot open /dev/x: No medium found' >&2; exit 4"
            << true << limit << true
            << "the helper failed: cannot open /dev/x: No medium found (exit 4)";
        QTest::newRow("helper rejects its arguments")
            << "echo 'dov-uruvivuz-drop-cache: usage' >&2; exit 2" << true << limit << true
            << "the helper refused it: usage (exit 2)";
        QTest::newRow("helper ends with a status of its own")
            << "exit 9" << true << limit << true << "the helper failed (exit 9)";
        QTest::newRow("pkexec hangs") << "exec sleep 60" << true << 300 << true
                                      << "pkexec did not finish within 0.3 s; join the disk "
                                         "group to measure without asking";
        QTest::newRow("pkexec killed")
            << "kill -9 $$" << true << limit << true << "pkexec ended abnormally";
        QTest::newRow("helper missing")
            << "exit 0" << false << limit << false
            << "the helper dov-uruvivuz-drop-cache is not installed at /nonexistent/helper";
        QTest::newRow("pkexec missing")
            << QString() << true << limit << false
            << "pkexec is not installed; install policykit-1 or join the disk group";
    }

    void programAsksTheHelperWhereItMayNotOpenTheNode() {
        QFETCH(QString, pkexecBody);
        QFETCH(bool, helperInstalled);
        QFETCH(int, timeLimitMs);
        QFETCH(bool, pkexecRuns);
        QFETCH(QString, why);

        const UnopenableNode node;
        if (!node.whyNot().isEmpty()) QSKIP(qPrintable(node.whyNot()));
        // The build keeps the installed layout, so the program finds the built helper.
        const QString helper = helperInstalled ? readcache::dropCacheHelperPath()
                                               : QStringLiteral("/nonexistent/helper");
        QCOMPARE(QFileInfo(readcache::dropCacheHelperPath()).canonicalFilePath(),
                 QFileInfo(helperPath).canonicalFilePath());

        const FakePkexec pkexec(pkexecBody);
        CacheBelowFuse below(node.systemRoot(), helper, timeLimitMs);
        QCOMPARE(
            failureOf([&] { below.dropDeviceCache(node.device()); }),
            why.isEmpty()
                ? QString()
                : QStringLiteral("the cache of %1 could not be dropped: %2").arg(node.path(), why));
        QCOMPARE(pkexec.arguments(), pkexecRuns ? QFile::encodeName(helper + QLatin1Char('\n') +
                                                                    node.path() + QLatin1Char('\n'))
                                                : QByteArray());
    }

    void programNamesADeviceWithoutNode() {
        QTemporaryDir systemRoot;
        const FakePkexec pkexec(QStringLiteral("exit 0"));
        CacheBelowFuse below(systemRoot.path(), helperPath);
        QCOMPARE(failureOf([&] { below.dropDeviceCache(makedev(7, 42)); }),
                 QStringLiteral("no device node of block device 7:42 was found in ") +
                     systemRoot.path() + QStringLiteral("/dev"));
        QCOMPARE(pkexec.arguments(), QByteArray());
    }
};

QTEST_GUILESS_MAIN(TestCacheBelowFuse)
#include "tst_cachebelowfuse.moc"
