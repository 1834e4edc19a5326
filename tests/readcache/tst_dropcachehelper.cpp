// The cache helper drops a device's cache only for a block device that a FUSE volume reads (as
// fuseblk, or as the source of a FUSE mount root made) and refuses every other argument.

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <optional>

#include "support/scratchmounts.h"

using Format = testsupport::LoopVolume::Format;

namespace {

const QString helperPath = QStringLiteral(DOV_DROP_CACHE_HELPER_PATH);

testsupport::ChildRun runHelper(const QStringList& arguments) {
    return testsupport::runChild(helperPath, arguments, 10000);
}

// The number of the block device at the path, or 0 when it is no block device.
dev_t deviceNumberOf(const QString& node) {
    struct stat info {};
    return ::stat(QFile::encodeName(node).constData(), &info) == 0 && S_ISBLK(info.st_mode)
               ? info.st_rdev
               : 0;
}

// A block device node under /dev, or empty.
QString someBlockDevice() {
    for (const QString& name : QDir(QStringLiteral("/dev")).entryList(QDir::System)) {
        const QString path = QStringLiteral("/dev/") + name;
        struct stat info {};
        if (::lstat(QFile::encodeName(path).constData(), &info) == 0 && S_ISBLK(info.st_mode))
            return path;
    }
    return {};
}

}  // namespace

class TestDropCacheHelper : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void refusesAnythingButAFuseblkDevice_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("message");

        // @file, @link, @through-link, @writable-folder, @ext4, @fusefat and @user-fuse are made by
        // the test itself.
        const QString usage = QStringLiteral("usage: dov-uruvivuz-drop-cache /dev/DEVICE");
        const QString notUnderDev = QStringLiteral("is not an absolute path under /dev");
        const QString notPlain = QStringLiteral("is not a plain path");
        const QString notBlock = QStringLiteral("is not a block device");
        QTest::newRow("no argument") << QStringList{} << 2 << usage;
        QTest::newRow("two arguments") << QStringList{"/dev/null", "/dev/null"} << 2 << usage;
        QTest::newRow("empty") << QStringList{""} << 3 << notUnderDev;
        QTest::newRow("relative") << QStringList{"dev/loop0"} << 3 << notUnderDev;
        QTest::newRow("outside /dev") << QStringList{"/etc/passwd"} << 3 << notUnderDev;
        QTest::newRow("/dev itself") << QStringList{"/dev"} << 3 << notUnderDev;
        QTest::newRow("..") << QStringList{"/dev/../dev/loop0"} << 3 << notPlain;
        QTest::newRow(".") << QStringList{"/dev/./loop0"} << 3 << notPlain;
        QTest::newRow("double slash") << QStringList{"/dev//loop0"} << 3 << notPlain;
        QTest::newRow("trailing slash") << QStringList{"/dev/shm/"} << 3 << notPlain;
        QTest::newRow("line break, shown on one line")
            << QStringList{"/dev/dov\nnode"} << 3 << QStringLiteral("/dev/dov?node does not exist");
        QTest::newRow("missing") << QStringList{"/dev/dov-no-such-node"} << 3
                                 << QStringLiteral("does not exist");
        QTest::newRow("folder") << QStringList{"/dev/shm"} << 3 << notBlock;
        QTest::newRow("regular file") << QStringList{"@file"} << 3 << notBlock;
        QTest::newRow("character device") << QStringList{"/dev/null"} << 3 << notBlock;
        QTest::newRow("link to a block device")
            << QStringList{"@link"} << 3 << QStringLiteral("is a symbolic link");
        QTest::newRow("through a linked folder")
            << QStringList{"@through-link"} << 3
            << QStringLiteral("passes through a symbolic link or a non-folder");
        QTest::newRow("block device in a folder others may write to")
            << QStringList{"@writable-folder"} << 3
            << QStringLiteral("lies in a folder that others may write to");
        const QString notFuse = QStringLiteral(
            "is neither mounted as fuseblk nor the source of a FUSE mount made by root");
        QTest::newRow("block device mounted as ext4") << QStringList{"@ext4"} << 3 << notFuse;
        QTest::newRow("read by fusefat, whose mount does not name it")
            << QStringList{"@fusefat"} << 3 << notFuse;
        QTest::newRow("named as the source of a user's FUSE mount")
            << QStringList{"@user-fuse"} << 3 << notFuse;
    }

    void refusesAnythingButAFuseblkDevice() {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, message);

        // Things made for a row live in /dev/shm, the one place under /dev a test may write.
        QTemporaryDir shm(QStringLiteral("/dev/shm/dov-test-XXXXXX"));
        std::optional<testsupport::LoopVolume> volume;
        std::optional<testsupport::OrphanFuseMount> forged;
        const QString blockDevice = someBlockDevice();
        if (!arguments.isEmpty() && arguments.first().startsWith(QLatin1Char('@'))) {
            const QString kind = arguments.first();
            if (!shm.isValid()) QSKIP("cannot create a folder in /dev/shm");
            if (kind != QLatin1String("@file") && blockDevice.isEmpty())
                QSKIP("no block device in /dev");
            QString& path = arguments.first();
            if (kind == QLatin1String("@file")) {
                path = shm.filePath(QStringLiteral("file"));
                QFile file(path);
                QVERIFY(file.open(QIODevice::WriteOnly));
            } else if (kind == QLatin1String("@link")) {
                path = shm.filePath(QStringLiteral("link"));
                QVERIFY(QFile::link(blockDevice, path));
            } else if (kind == QLatin1String("@through-link")) {
                QVERIFY(QFile::link(QStringLiteral("/dev"), shm.filePath(QStringLiteral("dev"))));
                path = shm.filePath(QStringLiteral("dev/")) + QFileInfo(blockDevice).fileName();
            } else if (kind == QLatin1String("@writable-folder")) {
                if (geteuid() != 0) QSKIP("creating a block device node needs root");
                path = shm.filePath(QStringLiteral("node"));
                QVERIFY(::chmod(QFile::encodeName(shm.path()).constData(), 01777) == 0);
                QVERIFY(::mknod(QFile::encodeName(path).constData(), S_IFBLK | 0600,
                                deviceNumberOf(blockDevice)) == 0);
            } else {
                volume.emplace(16 * 1024 * 1024, QStringLiteral("DOVDISK"),
                               kind == QLatin1String("@fusefat") ? Format::FatFuse : Format::Ext4);
                if (!volume->isReady()) QSKIP(qPrintable(volume->whyNot()));
                path = volume->loopDevice();
                if (kind == QLatin1String("@user-fuse")) {
                    forged.emplace(path, 1000);
                    if (!forged->isReady()) QSKIP(qPrintable(forged->whyNot()));
                }
            }
        }

        const testsupport::ChildRun run = runHelper(arguments);
        QCOMPARE(run.exitCode, exitCode);
        QCOMPARE(run.output, QByteArray());
        // One line, naming the helper and the reason.
        QVERIFY2(run.errors.startsWith("dov-uruvivuz-drop-cache: ") &&
                     run.errors.count('\n') == 1 && run.errors.endsWith('\n'),
                 run.errors.constData());
        QVERIFY2(QString::fromLocal8Bit(run.errors).contains(message), run.errors.constData());
    }
};

QTEST_GUILESS_MAIN(TestDropCacheHelper)
#include "tst_dropcachehelper.moc"
