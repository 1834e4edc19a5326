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

#include "platform/dropcacheexit.h"
#include "platform/failure.h"
#include "platform/fileshares.h"
#include "platform/linuxdrives.h"
#include "platform/linuxprocess.h"
#include "platform/mountinfo.h"
#include "platform/paths.h"
#include "platform/systemfiles.h"
#include "platform/uniquefd.h"

// DOV_DROP_CACHE_HELPER_RELATIVE: the helper's path relative to the program's folder, from the
// install layout (src/platform/CMakeLists.txt).

namespace platform {

namespace {

constexpr long fuseSuperMagic = 0x65735546;
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

// "fusefat" for fuse.fusefat; a FUSE type without a subtype does not name its driver.
QString driverName(const QString& type) {
    const qsizetype dot = type.indexOf(QLatin1Char('.'));
    return dot < 0 ? QStringLiteral("the FUSE driver") : type.mid(dot + 1);
}

// "alex@host:/srv", "remote:", "ftp://host/": a server's, whatever the FUSE type says.
bool namesRemoteSource(const QString& source) {
    if (source.startsWith(QLatin1Char('/'))) return false;
    if (source.contains(QLatin1String("://"))) return true;
    const qsizetype colon = source.indexOf(QLatin1Char(':'));
    const qsizetype slash = source.indexOf(QLatin1Char('/'));
    return colon > 0 && (slash < 0 || colon < slash);
}

// Writes back first whatever is still dirty (the write copy wrote back what lay below, but a
// driver may write more after it), since dirty pages stay cached. Returns 0 or an errno value.
int flushAndDrop(int descriptor) {
    if (::fsync(descriptor) != 0) return errno;
    return ::posix_fadvise(descriptor, 0, 0, POSIX_FADV_DONTNEED);
}

std::optional<dev_t> deviceNumberFrom(const QString& text) {
    const QStringList parts = text.split(QLatin1Char(':'));
    bool majorOk = false;
    bool minorOk = false;
    if (parts.size() != 2) return {};
    const unsigned majorNumber = parts[0].toUInt(&majorOk);
    const unsigned minorNumber = parts[1].toUInt(&minorOk);
    if (!majorOk || !minorOk) return {};
    return makedev(majorNumber, minorNumber);
}

}  // namespace

std::optional<FuseVolume> fuseVolumeOf(int descriptor) noexcept {
    struct statfs volume {};
    if (::fstatfs(descriptor, &volume) != 0 || long(volume.f_type) != fuseSuperMagic) return {};
    FuseVolume result;
    struct statx info {};
    if (::statx(descriptor, "", AT_EMPTY_PATH | AT_STATX_DONT_SYNC, STATX_MNT_ID, &info) == 0) {
        result.device = makedev(info.stx_dev_major, info.stx_dev_minor);
        if ((info.stx_mask & STATX_MNT_ID) != 0) result.mountId = int(info.stx_mnt_id);
        return result;
    }
    struct stat plain {};
    if (::fstat(descriptor, &plain) != 0) return {};
    result.device = plain.st_dev;
    return result;
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

std::optional<LinuxDeviceCache::Below> LinuxDeviceCache::belowSource(
    const MountRecord& mount) const {
    using Kind = Below::Kind;
    const QString& type = mount.fileSystemType;
    if (!mount.source.startsWith(QLatin1Char('/'))) return std::nullopt;
    const QString inside = systemfiles::resolvedPath(systemRoot_, mount.source);
    const QString source = systemfiles::hostPath(systemRoot_, inside);
    struct stat info {};
    if (!inside.isEmpty() && ::stat(pathToBytes(source).constData(), &info) == 0) {
        if (S_ISBLK(info.st_mode)) return Below(Kind::BlockDevice, info.st_rdev);
        if (S_ISREG(info.st_mode)) return Below(Kind::ImageFile, 0, source);
        if (S_ISDIR(info.st_mode)) {
            return Below::unknown(QStringLiteral("%1 passes on the files of the folder %2, whose "
                                                 "cache is not dropped; measure the drive that "
                                                 "holds %2 instead")
                                      .arg(driverName(type), displayPath(mount.source)));
        }
    } else if (mount.hasBlockDevice()) {
        // A device missing from this /dev (as in a container) may still be known to sysfs.
        const QString folder = blockDeviceFolder(systemRoot_, mount);
        const std::optional<dev_t> device =
            folder.isEmpty() ? std::nullopt
                             : deviceNumberFrom(systemfiles::readAttribute(
                                   systemRoot_, folder + QStringLiteral("/dev")));
        if (device) return Below(Kind::BlockDevice, *device);
    }
    return std::nullopt;
}

LinuxDeviceCache::Below LinuxDeviceCache::below(const FuseVolume& volume) const {
    using Kind = Below::Kind;
    std::optional<MountRecord> mount;
    QString tableProblem;
    try {
        for (const MountRecord& record : readMountTable(systemRoot_)) {
            if (volume.mountId >= 0 && record.mountId == volume.mountId) mount = record;
        }
    } catch (const Failure& failure) {
        tableProblem = QStringLiteral(" (") + failure.description() + QLatin1Char(')');
    }
    if (!mount) {
        // Only fuseblk has a device number of a real device: the block device itself.
        if (major(volume.device) != 0) return Below::fuseblk(volume.device);
        return Below::unknown(
            QStringLiteral("its FUSE volume (mount %1) was not found in %2%3, so what "
                           "lies below it is not known")
                .arg(volume.mountId)
                .arg(mountTablePath(systemRoot_), tableProblem));
    }
    const QString& type = mount->fileSystemType;
    if (type == QLatin1String("fuseblk") || type.startsWith(QLatin1String("fuseblk."))) {
        return Below::fuseblk(makedev(mount->major, mount->minor));
    }
    if (servesFromLocalCopy(*mount)) {
        return Below::unknown(
            QStringLiteral("%1 answers reads from its own local copy of the file; "
                           "mount the share directly (for example with mount.cifs or "
                           "sshfs) for a true read time")
                .arg(driverName(type)));
    }
    // A network volume reads from its server's cache, which no client can drop.
    if (fileSystemKind(type) == FileSystemKind::Network || namesRemoteSource(mount->source)) {
        return Kind::Nothing;
    }
    // The source is whatever the daemon was given: a device, an image file, a folder, or just
    // its own name ("fusefat").
    if (std::optional<Below> named = belowSource(*mount)) return *named;
    return Below::unknown(
        QStringLiteral("%1 does not name the device or image file it reads (its "
                       "mount's source is \"%2\"); mount the drive with the kernel's "
                       "own driver, or give %1 the option -o fsname= with the "
                       "absolute path of its device or image file")
            .arg(driverName(type), mount->source));
}

CacheDrop LinuxDeviceCache::dropCacheBelow(const FuseVolume& volume) {
    const Below what = below(volume);
    switch (what.kind) {
        case Below::Kind::Nothing:
            return {true, {}};
        case Below::Kind::BlockDevice:
            return dropDeviceCache(what.device);
        case Below::Kind::ImageFile:
            return dropImageCache(what.image);
        case Below::Kind::Unknown:
            break;
    }
    return {false, what.why};
}

QString LinuxDeviceCache::writeBackBelow(const FuseVolume& volume) {
    const Below what = below(volume);
    if (what.kind == Below::Kind::Nothing) return {};
    const bool device = what.kind == Below::Kind::BlockDevice;
    const QStringList paths = device                                ? deviceNodes(what.device)
                              : what.kind == Below::Kind::ImageFile ? QStringList{what.image}
                                                                    : QStringList{};
    for (const QString& path : paths) {
        const UniqueFd file(
            ::open(pathToBytes(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
        if (!file) continue;
        struct stat info {};
        const bool isIt =
            ::fstat(file.get(), &info) == 0 &&
            (device ? S_ISBLK(info.st_mode) && info.st_rdev == what.device : S_ISREG(info.st_mode));
        if (!isIt) continue;
        const int error = ::fsync(file.get()) == 0 ? 0 : errno;
        if (error == 0) return {};
        return QStringLiteral("cannot write back what the FUSE driver wrote to %1: %2")
            .arg(displayPath(path), systemReason(error));
    }
    // Not ours to open (a device needs root or the disk group) or not known: the daemon's
    // writes are somewhere in the system's cache, and sync writes back all of it, whatever else
    // waits there too. A fuseblk daemon has written the device back already, and the local test
    // file the run just made is best left out.
    if (!what.flushesAtFsync) ::sync();
    return {};
}

CacheDrop LinuxDeviceCache::dropImageCache(const QString& image) {
    const QString failed = QStringLiteral("the cache of the image file %1 could not be dropped: ")
                               .arg(displayPath(image));
    const UniqueFd file(
        ::open(pathToBytes(image).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!file) {
        const int error = errno;
        return {false, failed + systemReason(error) +
                           (error == EACCES || error == EPERM
                                ? QStringLiteral("; allow your user to read it")
                                : QString())};
    }
    struct stat info {};
    int error = ::fstat(file.get(), &info) != 0 ? errno : 0;
    const bool regular = error == 0 && S_ISREG(info.st_mode);
    if (regular) error = flushAndDrop(file.get());
    if (error != 0) return {false, failed + systemReason(error)};
    if (!regular) return {false, failed + QStringLiteral("it is no longer a regular file")};
    return {true, {}};
}

QStringList LinuxDeviceCache::deviceNodes(dev_t device) const {
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
    return candidates;
}

CacheDrop LinuxDeviceCache::dropDeviceCache(dev_t device) {
    QString denied;  // the device's node, when only reading it was not permitted
    for (const QString& candidate : deviceNodes(device)) {
        const UniqueFd node(
            ::open(pathToBytes(candidate).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
        if (!node) {
            if ((errno == EACCES || errno == EPERM) && denied.isEmpty() &&
                isBlockDevice(candidate, device)) {
                denied = candidate;
            }
            continue;
        }
        struct stat info {};
        const bool isThatDevice =
            ::fstat(node.get(), &info) == 0 && S_ISBLK(info.st_mode) && info.st_rdev == device;
        const int error = isThatDevice ? flushAndDrop(node.get()) : 0;
        if (!isThatDevice) continue;
        if (error == 0) return {true, {}};
        return {false, QStringLiteral("the cache of %1 could not be dropped: %2")
                           .arg(candidate, systemReason(error))};
    }
    if (denied.isEmpty()) {
        const QString number = QStringLiteral("%1:%2").arg(major(device)).arg(minor(device));
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
    const QString outcome = code == dropcacheexit::refused || code == dropcacheexit::usage
                                ? QStringLiteral("the helper refused it")
                                : QStringLiteral("the helper failed");
    return {false, failed + QStringLiteral("%1: %2 (exit %3)")
                                .arg(outcome, lastErrorLine(process), QString::number(code))};
}

}  // namespace platform
