#include "platform/devicecache.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>

#include "platform/failure.h"
#include "platform/linuxprocess.h"
#include "platform/paths.h"
#include "platform/systemfiles.h"

// DOV_DROP_CACHE_HELPER_RELATIVE: the helper's path relative to the program's folder, from the
// install layout (src/platform/CMakeLists.txt).

namespace platform {

namespace {

constexpr long fuseSuperMagic = 0x65735546;
constexpr int helperExitUsage = 2;
constexpr int helperExitRefused = 3;
constexpr int pkexecExitDismissed = 126;
constexpr int pkexecExitNotAuthorized = 127;

QString helperName() {
    return QFileInfo(QStringLiteral(DOV_DROP_CACHE_HELPER_RELATIVE)).fileName();
}

// The last line a child wrote to standard error, without its "name: " prefix.
QString lastErrorLine(QProcess& process) {
    const QList<QByteArray> lines = process.readAllStandardError().trimmed().split('\n');
    QString line = QString::fromLocal8Bit(lines.last()).trimmed();
    const QString prefix = helperName() + QStringLiteral(": ");
    if (line.startsWith(prefix)) line.remove(0, prefix.size());
    return line;
}

bool isBlockDevice(const QString& path, dev_t device) {
    struct stat info {};
    return ::stat(pathToBytes(path).constData(), &info) == 0 && S_ISBLK(info.st_mode) &&
           info.st_rdev == device;
}

}  // namespace

std::optional<dev_t> fuseBlockDeviceOf(int descriptor) noexcept {
    struct statfs volume {};
    struct stat info {};
    if (::fstatfs(descriptor, &volume) != 0 || long(volume.f_type) != fuseSuperMagic) return {};
    // Plain FUSE volumes have an anonymous device number (major 0), no block device.
    if (::fstat(descriptor, &info) != 0 || major(info.st_dev) == 0) return {};
    return info.st_dev;
}

QString LinuxDeviceCache::defaultHelperPath() {
    QString programFolder;
    try {
        programFolder = programFolderBelow();
    } catch (const Failure&) {
        return {};
    }
    return QDir::cleanPath(programFolder + QLatin1Char('/') +
                           QStringLiteral(DOV_DROP_CACHE_HELPER_RELATIVE));
}

LinuxDeviceCache::LinuxDeviceCache(QString systemRoot, QString helperPath, int timeLimitMs)
    : systemRoot_(std::move(systemRoot)),
      helperPath_(std::move(helperPath)),
      timeLimitMs_(timeLimitMs) {}

CacheDrop LinuxDeviceCache::dropDeviceCache(dev_t device) {
    const QString number = QStringLiteral("%1:%2").arg(major(device)).arg(minor(device));
    QStringList candidates;
    QByteArray uevent;
    int readError = 0;
    if (systemfiles::readWholeFile(systemRoot_,
                                   QStringLiteral("/sys/dev/block/%1/uevent").arg(number), uevent,
                                   readError)) {
        for (const QByteArray& line : uevent.split('\n')) {
            if (line.startsWith("DEVNAME=")) {
                candidates.append(systemfiles::hostPath(
                    systemRoot_, QStringLiteral("/dev/") + pathFromBytes(line.mid(8))));
            }
        }
    }
    candidates.append(systemfiles::hostPath(systemRoot_, QStringLiteral("/dev/block/") + number));

    QString denied;  // the device's node, when only reading it was not permitted
    for (const QString& candidate : candidates) {
        const int node =
            ::open(pathToBytes(candidate).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (node < 0) {
            if ((errno == EACCES || errno == EPERM) && denied.isEmpty() &&
                isBlockDevice(candidate, device)) {
                denied = candidate;
            }
            continue;
        }
        struct stat info {};
        const bool isThatDevice =
            ::fstat(node, &info) == 0 && S_ISBLK(info.st_mode) && info.st_rdev == device;
        const int error = isThatDevice ? ::posix_fadvise(node, 0, 0, POSIX_FADV_DONTNEED) : 0;
        ::close(node);
        if (!isThatDevice) continue;
        if (error == 0) return {true, {}};
        return {false, QStringLiteral("the cache of %1 could not be dropped: %2")
                           .arg(candidate, systemReason(error))};
    }
    if (denied.isEmpty()) {
        return {false,
                QStringLiteral("no device node of block device %1 was found in %2")
                    .arg(number, systemfiles::hostPath(systemRoot_, QStringLiteral("/dev")))};
    }
    // The helper takes only a plain path, so /dev/block/MAJ:MIN is resolved to the node itself.
    const QString canonical = QFileInfo(denied).canonicalFilePath();
    return dropThroughHelper(canonical.isEmpty() ? denied : canonical);
}

CacheDrop LinuxDeviceCache::dropThroughHelper(const QString& node) {
    const QString failed = QStringLiteral("the cache of %1 could not be dropped: ").arg(node);
    if (helperPath_.isEmpty() || ::access(pathToBytes(helperPath_).constData(), X_OK) != 0) {
        return {false, failed + QStringLiteral("the helper %1 is not installed at %2")
                                    .arg(helperName(), displayPath(helperPath_))};
    }
    // A command line is text: a folder name that is not UTF-8 cannot be handed to pkexec.
    if (pathToBytes(helperPath_) != helperPath_.toUtf8()) {
        return {false, failed + QStringLiteral("the helper's folder %1 is not a valid UTF-8 name, "
                                               "which pkexec cannot be given; install the "
                                               "program in another folder or join the disk group")
                                    .arg(displayPath(helperPath_))};
    }
    const QString pkexec = QStandardPaths::findExecutable(QStringLiteral("pkexec"));
    if (pkexec.isEmpty()) {
        return {false, failed + QStringLiteral("pkexec is not installed; install policykit-1 or "
                                               "join the disk group")};
    }

    QProcess process;
    process.setProgram(pkexec);
    process.setArguments({helperPath_, node});
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    const QDeadlineTimer deadline(timeLimitMs_);
    process.start();
    if (!process.waitForStarted(int(deadline.remainingTime()))) {
        return {false,
                failed + QStringLiteral("cannot run %1: %2").arg(pkexec, process.errorString())};
    }
    // An authentication dialog may be waiting for the user; never wait longer than the limit.
    if (!process.waitForFinished(int(deadline.remainingTime()))) {
        process.kill();
        process.waitForFinished(1000);
        return {false, failed + QStringLiteral("pkexec did not finish within %1 s; join the disk "
                                               "group to measure without asking")
                                    .arg(timeLimitMs_ / 1000.0)};
    }
    if (process.exitStatus() != QProcess::NormalExit) {
        return {false, failed + QStringLiteral("pkexec ended abnormally")};
    }
    const int code = process.exitCode();
    switch (code) {
        case 0:
            return {true, {}};
        case pkexecExitDismissed:
            return {false, failed + QStringLiteral("the authentication was dismissed (pkexec exit "
                                                   "126); allow it, or join the disk group")};
        case pkexecExitNotAuthorized:
            return {false, failed + QStringLiteral("the administrator refused it (pkexec exit "
                                                   "127: %1); join the disk group to allow it")
                                        .arg(lastErrorLine(process))};
        default:
            break;
    }
    const QString outcome = code == helperExitRefused || code == helperExitUsage
                                ? QStringLiteral("the helper refused it")
                                : QStringLiteral("the helper failed");
    return {false, failed + QStringLiteral("%1: %2 (exit %3)")
                                .arg(outcome, lastErrorLine(process), QString::number(code))};
}

}  // namespace platform
