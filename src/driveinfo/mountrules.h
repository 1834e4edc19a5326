#pragma once

#include <QList>
#include <QString>

#include "platform/mountinfo.h"

// Which mounts of the table a drive list may show, and what a file system type is to it.
namespace driveinfo {

// The mounts a path can reach: drops a mount another one was mounted over, at the same mount
// point or above it, and everything mounted inside such a hidden mount. Keeps the order.
QList<platform::MountRecord> reachableMounts(const QList<platform::MountRecord>& records);

// What a file system type is, as far as the drive list cares.
enum class FileSystemKind {
    Pseudo,         // kernel interfaces: proc, sysfs, cgroup, ...
    ReadOnlyImage,  // squashfs snaps and the like
    Network,        // nfs, cifs, sshfs, ...
    RamBacked,      // tmpfs, ramfs
    Fuse,           // other FUSE volumes
    Overlay,        // overlay and aufs unions
    Other,          // everything else: ext4, vfat, btrfs, zfs, iso9660, ...
};

FileSystemKind fileSystemKind(const QString& fileSystemType);

}  // namespace driveinfo
