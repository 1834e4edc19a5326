#include "driveinfo/mountrules.h"

#include <QHash>
#include <QSet>

#include "platform/paths.h"

namespace driveinfo {

using platform::MountRecord;
using platform::pathIsWithin;

namespace {

QSet<QString> setOf(std::initializer_list<const char*> names) {
    QSet<QString> result;
    for (const char* name : names) result.insert(QString::fromLatin1(name));
    return result;
}

// Whether the mount at index i sits, through its parents, on the mount with id ancestorId.
bool mountsOn(const QList<MountRecord>& records, const QHash<int, qsizetype>& indexOfId,
              qsizetype i, int ancestorId) {
    qsizetype current = i;
    for (int depth = 0; depth < 64 && current >= 0; ++depth) {
        if (records[current].parentId == ancestorId) return true;
        const qsizetype parent = indexOfId.value(records[current].parentId, -1);
        if (parent == current) break;
        current = parent;
    }
    return false;
}

// A mount is covered when a later mount sits at its mount point or above it (unless that one
// lies inside it), or one was stacked right on it; the table lists mounts in the order made.
bool isCovered(const QList<MountRecord>& records, const QHash<int, qsizetype>& indexOfId,
               qsizetype i) {
    for (qsizetype j = 0; j < records.size(); ++j) {
        if (i == j || !pathIsWithin(records[i].mountPoint, records[j].mountPoint)) continue;
        const bool samePoint = records[i].mountPoint == records[j].mountPoint;
        if (samePoint && records[j].parentId == records[i].mountId) return true;
        if (j < i || mountsOn(records, indexOfId, j, records[i].mountId) ||
            mountsOn(records, indexOfId, i, records[j].mountId)) {
            continue;
        }
        return true;
    }
    return false;
}

}  // namespace

QList<MountRecord> reachableMounts(const QList<MountRecord>& records) {
    QHash<int, qsizetype> indexOfId;
    for (qsizetype i = 0; i < records.size(); ++i) indexOfId.insert(records[i].mountId, i);
    QSet<qsizetype> covered;
    for (qsizetype i = 0; i < records.size(); ++i) {
        if (isCovered(records, indexOfId, i)) covered.insert(i);
    }

    QList<MountRecord> reachable;
    for (qsizetype i = 0; i < records.size(); ++i) {
        // Walk up the parents: a mount made inside a covered mount is out of reach too; the
        // mount stacked on top of one is what covers it, so that step does not count.
        bool hidden = covered.contains(i);
        qsizetype child = i;
        qsizetype current = indexOfId.value(records[i].parentId, -1);
        for (int depth = 0; !hidden && depth < 64 && current >= 0 && current != child; ++depth) {
            hidden = covered.contains(current) &&
                     records[child].mountPoint != records[current].mountPoint;
            child = current;
            current = indexOfId.value(records[current].parentId, -1);
        }
        if (!hidden) reachable.append(records[i]);
    }
    return reachable;
}

FileSystemKind fileSystemKind(const QString& type) {
    // The FUSE ones here are desktop and container plumbing, not volumes.
    static const QSet<QString> pseudo = setOf(
        {"proc",       "sysfs",        "cgroup",     "cgroup2",  "devpts",      "devtmpfs",
         "securityfs", "debugfs",      "tracefs",    "mqueue",   "hugetlbfs",   "pstore",
         "bpf",        "configfs",     "fusectl",    "autofs",   "binfmt_misc", "efivarfs",
         "nsfs",       "rpc_pipefs",   "selinuxfs",  "smackfs",  "nfsd",        "pipefs",
         "sockfs",     "anon_inodefs", "rootfs",     "usbfs",    "xenfs",       "openpromfs",
         "resctrl",    "cpuset",       "functionfs", "gadgetfs", "fuse.lxcfs",  "fuse.portal"});
    static const QSet<QString> images =
        setOf({"squashfs", "erofs", "cramfs", "romfs", "fuse.squashfuse", "fuse.squashfuse_ll",
               "fuse.snapfuse"});
    static const QSet<QString> ramBacked = setOf({"tmpfs", "ramfs"});
    static const QSet<QString> unions = setOf({"overlay", "aufs", "fuse.fuse-overlayfs"});

    if (pseudo.contains(type)) return FileSystemKind::Pseudo;
    if (images.contains(type)) return FileSystemKind::ReadOnlyImage;
    if (platform::isNetworkFileSystem(type)) return FileSystemKind::Network;
    if (ramBacked.contains(type)) return FileSystemKind::RamBacked;
    if (unions.contains(type)) return FileSystemKind::Overlay;
    if (type == QLatin1String("fuse") || type == QLatin1String("fuseblk") ||
        type.startsWith(QLatin1String("fuse."))) {
        return FileSystemKind::Fuse;
    }
    return FileSystemKind::Other;
}

}  // namespace driveinfo
