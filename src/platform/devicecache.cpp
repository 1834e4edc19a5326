#include "platform/devicecache.h"

#include <QStringList>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <cerrno>

#include "platform/failure.h"
#include "platform/linuxdrives.h"
#include "platform/mountinfo.h"
#include "platform/paths.h"
#include "platform/systemfiles.h"

namespace platform {

namespace {

constexpr long fuseSuperMagic = 0x65735546;

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

void SyncingDeviceCache::dropCacheBelow(const FuseVolume&) {
    throw Failure(QStringLiteral("what lies below its FUSE volume is not known"));
}

void SyncingDeviceCache::writeBackBelow(const FuseVolume&) {
    writeBackEverything();
}

std::optional<NamedNode> nodeAt(const QString& systemRoot, const QString& path) {
    const QString inside = systemfiles::resolvedPath(systemRoot, path);
    if (inside.isEmpty()) return std::nullopt;
    NamedNode node;
    node.hostPath = systemfiles::hostPath(systemRoot, inside);
    struct stat info {};
    if (::stat(pathToBytes(node.hostPath).constData(), &info) != 0) return std::nullopt;
    if (S_ISBLK(info.st_mode)) {
        node.kind = NamedNode::Kind::BlockDevice;
        node.device = info.st_rdev;
    } else if (S_ISREG(info.st_mode)) {
        node.kind = NamedNode::Kind::RegularFile;
    } else if (S_ISDIR(info.st_mode)) {
        node.kind = NamedNode::Kind::Folder;
    }
    return node;
}

std::optional<dev_t> sysfsDeviceNumber(const QString& systemRoot, const MountRecord& mount) {
    const QString folder = blockDeviceFolder(systemRoot, mount);
    if (folder.isEmpty()) return std::nullopt;
    return deviceNumberFrom(
        systemfiles::readAttribute(systemRoot, joinPath(folder, QStringLiteral("dev"))));
}

QStringList deviceNodes(const QString& systemRoot, dev_t device) {
    const QString number = QStringLiteral("%1:%2").arg(major(device)).arg(minor(device));
    QStringList candidates;
    std::optional<QByteArray> uevent;
    try {
        uevent = systemfiles::readWholeFile(systemRoot,
                                            QStringLiteral("/sys/dev/block/%1/uevent").arg(number));
    } catch (const Failure&) {
        // Without the node's name the device's own number is looked for below.
    }
    if (uevent) {
        for (const QByteArray& line : uevent->split('\n')) {
            if (line.startsWith("DEVNAME="))
                candidates.append(QStringLiteral("/dev/") + pathFromBytes(line.mid(8)));
        }
    }
    candidates.append(QStringLiteral("/dev/block/") + number);
    return candidates;
}

bool isNodeOf(const QString& path, dev_t device) {
    struct stat info {};
    return ::stat(pathToBytes(path).constData(), &info) == 0 && S_ISBLK(info.st_mode) &&
           info.st_rdev == device;
}

UniqueFd openCacheOf(const QString& path, dev_t device) {
    UniqueFd file(
        ::open(pathToBytes(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!file) raiseSystemFailure(QStringLiteral("Cannot open"), path, errno);
    struct stat info {};
    if (::fstat(file.get(), &info) != 0)
        raiseSystemFailure(QStringLiteral("Cannot open"), path, errno);
    const bool isIt =
        device != 0 ? S_ISBLK(info.st_mode) && info.st_rdev == device : S_ISREG(info.st_mode);
    return isIt ? std::move(file) : UniqueFd();
}

void writeBack(const UniqueFd& file, const QString& path) {
    if (::fsync(file.get()) != 0)
        raiseSystemFailure(QStringLiteral("Cannot write back"), path, errno);
}

void dropCache(const UniqueFd& file, const QString& path) {
    const QString action = QStringLiteral("Cannot drop the cache of");
    if (::fsync(file.get()) != 0) raiseSystemFailure(action, path, errno);
    const int error = ::posix_fadvise(file.get(), 0, 0, POSIX_FADV_DONTNEED);
    if (error != 0) raiseSystemFailure(action, path, error);
}

void writeBackEverything() noexcept {
    ::sync();
}

}  // namespace platform
