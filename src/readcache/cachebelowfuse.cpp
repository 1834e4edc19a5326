#include "readcache/cachebelowfuse.h"

#include <QDir>
#include <QFileInfo>
#include <QStringList>

#include <sys/sysmacros.h>
#include <cerrno>

#include "platform/failure.h"
#include "platform/linuxprocess.h"
#include "platform/mountinfo.h"
#include "platform/paths.h"
#include "platform/pkexec.h"
#include "platform/systemfiles.h"
#include "readcache/dropcacheexit.h"

namespace readcache {

using platform::Failure;
using platform::FuseVolume;
using platform::MountRecord;
using platform::PkexecFailure;

namespace {

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

// kio-fuse caches whole files, so a read through it does not come from the share.
bool servesFromLocalCopy(const MountRecord& mount) {
    return mount.fileSystemType == QLatin1String("fuse.kio-fuse");
}

bool isFuseblk(const QString& type) {
    return type == QLatin1String("fuseblk") || type.startsWith(QLatin1String("fuseblk."));
}

// What stopped pkexec from running the helper, and what would let the next run measure without
// it.
QString pkexecAdvice(const PkexecFailure& failure, int timeLimitMs) {
    using Cause = PkexecFailure::Cause;
    const QString& detail = failure.detail();
    switch (failure.cause()) {
        case Cause::NotInstalled:
            return QStringLiteral("the helper %1 is not installed at %2")
                .arg(dropCacheHelperName(), platform::displayPath(detail));
        case Cause::NotUtf8Folder:
            return QStringLiteral(
                       "the helper's folder %1 is not a valid UTF-8 name, which pkexec "
                       "cannot be given; install the program in another folder or "
                       "join the disk group")
                .arg(platform::displayPath(detail));
        case Cause::NoPkexec:
            return QStringLiteral(
                "pkexec is not installed; install policykit-1 or join the disk "
                "group");
        case Cause::CannotStart:
            return QStringLiteral("cannot run ") + detail;
        case Cause::TimedOut:
            return QStringLiteral(
                       "pkexec did not finish within %1 s; join the disk group to "
                       "measure without asking")
                .arg(timeLimitMs / 1000.0);
        case Cause::EndedAbnormally:
            return QStringLiteral("pkexec ended abnormally");
        case Cause::Dismissed:
            return QStringLiteral(
                "the authentication was dismissed (pkexec exit 126); allow it, "
                "or join the disk group");
        case Cause::NotAuthorized:
            return QStringLiteral(
                       "the administrator refused it (pkexec exit 127: %1); join the "
                       "disk group to allow it")
                .arg(detail);
    }
    return {};
}

// Why the helper, once run, did not drop the cache; empty when it did.
QString helperRefusal(const platform::PkexecExit& exit) {
    if (exit.code == dropcacheexit::done) return {};
    const bool refused = exit.code == dropcacheexit::refused || exit.code == dropcacheexit::usage;
    const QString said =
        exit.lastErrorLine.isEmpty() ? QString() : QStringLiteral(": ") + exit.lastErrorLine;
    return QStringLiteral("the helper %1%2 (exit %3)")
        .arg(refused ? QStringLiteral("refused it") : QStringLiteral("failed"), said,
             QString::number(exit.code));
}

}  // namespace

QString dropCacheHelperPath() {
    QString programFolder;
    try {
        programFolder = platform::programFolderBelow();
    } catch (const platform::Failure&) {
        return {};
    }
    return QDir::cleanPath(
        platform::joinPath(programFolder, QStringLiteral(DOV_DROP_CACHE_HELPER_RELATIVE)));
}

QString readTimeNotice(const QString& driveShown, const QString& why) {
    return QStringLiteral("The read time of %1 may come partly from memory: %2")
        .arg(driveShown, why);
}

QString dropCacheHelperName() {
    return QFileInfo(QStringLiteral(DOV_DROP_CACHE_HELPER_RELATIVE)).fileName();
}

CacheBelowFuse::CacheBelowFuse(QString systemRoot, QString helperPath, int timeLimitMs)
    : systemRoot_(std::move(systemRoot)),
      helperPath_(std::move(helperPath)),
      timeLimitMs_(timeLimitMs) {}

std::optional<CacheBelowFuse::Below> CacheBelowFuse::belowSource(const MountRecord& mount) const {
    using Kind = Below::Kind;
    using NodeKind = platform::NamedNode::Kind;
    if (!mount.source.startsWith(QLatin1Char('/'))) return std::nullopt;
    if (const std::optional<platform::NamedNode> node =
            platform::nodeAt(systemRoot_, mount.source)) {
        if (node->kind == NodeKind::BlockDevice)
            return Below{Kind::BlockDevice, node->device, {}, {}, false};
        if (node->kind == NodeKind::RegularFile)
            return Below{Kind::ImageFile, 0, node->hostPath, {}, false};
        if (node->kind == NodeKind::Folder) {
            return Below{
                Kind::Unknown,
                0,
                {},
                QStringLiteral("%1 passes on the files of the folder %2, whose cache is "
                               "not dropped; measure the drive that holds %2 instead")
                    .arg(driverName(mount.fileSystemType), platform::displayPath(mount.source))};
        }
    } else if (mount.hasBlockDevice()) {
        // A device missing from this /dev (as in a container) may still be known to sysfs.
        if (const std::optional<dev_t> device = platform::sysfsDeviceNumber(systemRoot_, mount))
            return Below{Kind::BlockDevice, *device, {}, {}, false};
    }
    return std::nullopt;
}

CacheBelowFuse::Below CacheBelowFuse::below(const FuseVolume& volume) const {
    using Kind = Below::Kind;
    std::optional<MountRecord> mount;
    QString tableProblem;
    try {
        for (const MountRecord& record : platform::readMountTable(systemRoot_)) {
            if (volume.mountId >= 0 && record.mountId == volume.mountId) mount = record;
        }
    } catch (const Failure& failure) {
        tableProblem = QStringLiteral(" (") + failure.description() + QLatin1Char(')');
    }
    if (!mount) {
        // Only fuseblk has a device number of a real device: the block device itself.
        if (major(volume.device) != 0) return {Kind::BlockDevice, volume.device, {}, {}, true};
        return {Kind::Unknown,
                0,
                {},
                QStringLiteral("its FUSE volume (mount %1) was not found in %2%3, so what lies "
                               "below it is not known")
                    .arg(volume.mountId)
                    .arg(platform::mountTablePath(systemRoot_), tableProblem)};
    }
    const QString& type = mount->fileSystemType;
    if (isFuseblk(type))
        return {Kind::BlockDevice, makedev(mount->major, mount->minor), {}, {}, true};
    if (servesFromLocalCopy(*mount)) {
        return {Kind::Unknown,
                0,
                {},
                QStringLiteral("%1 answers reads from its own local copy of the file; mount the "
                               "share directly (for example with mount.cifs or sshfs) for a true "
                               "read time")
                    .arg(driverName(type))};
    }
    // A network volume reads from its server's cache, which no client can drop.
    if (platform::isNetworkFileSystem(type) || namesRemoteSource(mount->source)) {
        return {Kind::Nothing, 0, {}, {}, false};
    }
    // The source is whatever the daemon was given: a device, an image file, a folder, or just
    // its own name ("fusefat").
    if (std::optional<Below> named = belowSource(*mount)) return *named;
    return {Kind::Unknown,
            0,
            {},
            QStringLiteral("%1 does not name the device or image file it reads (its mount's "
                           "source is \"%2\"); mount the drive with the kernel's own driver, or "
                           "give %1 the option -o fsname= with the absolute path of its device "
                           "or image file")
                .arg(driverName(type), mount->source)};
}

void CacheBelowFuse::dropCacheBelow(const FuseVolume& volume) {
    const Below what = below(volume);
    switch (what.kind) {
        case Below::Kind::Nothing:
            return;
        case Below::Kind::BlockDevice:
            return dropDeviceCache(what.device);
        case Below::Kind::ImageFile:
            return dropImageCache(what.image);
        case Below::Kind::Unknown:
            break;
    }
    throw Failure(what.why);
}

void CacheBelowFuse::writeBackBelow(const FuseVolume& volume) {
    const Below what = below(volume);
    if (what.kind == Below::Kind::Nothing) return;
    QStringList paths;
    if (what.kind == Below::Kind::BlockDevice) {
        for (const QString& node : platform::deviceNodes(systemRoot_, what.device))
            paths.append(platform::systemfiles::hostPath(systemRoot_, node));
    } else if (what.kind == Below::Kind::ImageFile) {
        paths.append(what.image);
    }
    for (const QString& path : paths) {
        platform::UniqueFd file;
        try {
            file = platform::openCacheOf(path, what.device);
        } catch (const Failure&) {
            continue;
        }
        if (!file) continue;
        try {
            platform::writeBack(file, path);
            return;
        } catch (const Failure& failure) {
            throw Failure(
                QStringLiteral("cannot write back what the FUSE driver wrote to %1: %2")
                    .arg(platform::displayPath(path), platform::systemReason(failure.error())));
        }
    }
    // Not ours to open (a device needs root or the disk group) or not known: the daemon's
    // writes are somewhere in the system's cache, and sync writes back all of it, whatever else
    // waits there too. A fuseblk daemon has written the device back already, and the local test
    // file the run just made is best left out.
    if (!what.flushesAtFsync) platform::writeBackEverything();
}

void CacheBelowFuse::dropImageCache(const QString& image) {
    const QString failed = QStringLiteral("the cache of the image file %1 could not be dropped: ")
                               .arg(platform::displayPath(image));
    platform::UniqueFd file;
    try {
        file = platform::openCacheOf(image, 0);
    } catch (const Failure& failure) {
        const bool denied = failure.error() == EACCES || failure.error() == EPERM;
        throw Failure(failed + platform::systemReason(failure.error()) +
                      (denied ? QStringLiteral("; allow your user to read it") : QString()));
    }
    if (!file) throw Failure(failed + QStringLiteral("it is no longer a regular file"));
    try {
        platform::dropCache(file, image);
    } catch (const Failure& failure) {
        throw Failure(failed + platform::systemReason(failure.error()));
    }
}

void CacheBelowFuse::dropDeviceCache(dev_t device) {
    QString denied;  // the device's node, when only reading it was not permitted
    for (const QString& inside : platform::deviceNodes(systemRoot_, device)) {
        const QString candidate = platform::systemfiles::hostPath(systemRoot_, inside);
        platform::UniqueFd node;
        try {
            node = platform::openCacheOf(candidate, device);
        } catch (const Failure& failure) {
            const bool notPermitted = failure.error() == EACCES || failure.error() == EPERM;
            // The helper takes only a plain path, so /dev/block/MAJ:MIN is resolved to the node.
            if (notPermitted && denied.isEmpty() && platform::isNodeOf(candidate, device)) {
                const QString resolved = platform::systemfiles::resolvedPath(systemRoot_, inside);
                denied = platform::systemfiles::hostPath(systemRoot_,
                                                         resolved.isEmpty() ? inside : resolved);
            }
            continue;
        }
        if (!node) continue;
        try {
            platform::dropCache(node, candidate);
            return;
        } catch (const Failure& failure) {
            throw Failure(QStringLiteral("the cache of %1 could not be dropped: %2")
                              .arg(candidate, platform::systemReason(failure.error())));
        }
    }
    if (!denied.isEmpty()) return dropThroughHelper(denied);
    throw Failure(QStringLiteral("no device node of block device %1:%2 was found in %3")
                      .arg(major(device))
                      .arg(minor(device))
                      .arg(platform::systemfiles::hostPath(systemRoot_, QStringLiteral("/dev"))));
}

void CacheBelowFuse::dropThroughHelper(const QString& node) {
    QString why;
    try {
        why = helperRefusal(platform::runThroughPkexec(helperPath_, {node}, timeLimitMs_));
    } catch (const PkexecFailure& failure) {
        why = pkexecAdvice(failure, timeLimitMs_);
    }
    if (!why.isEmpty())
        throw Failure(QStringLiteral("the cache of %1 could not be dropped: %2").arg(node, why));
}

}  // namespace readcache
