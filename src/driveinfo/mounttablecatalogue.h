#pragma once

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <atomic>
#include <memory>
#include <optional>

#include "driveinfo/drivecatalogue.h"
#include "platform/drives.h"
#include "platform/linuxdrives.h"
#include "platform/mountinfo.h"
#include "platform/offthread.h"
#include "platform/uniquefd.h"

class QObject;

namespace driveinfo {

// True for a mount a user could measure:
// - local file systems on a block device (ext4, vfat, btrfs, a disc, zram, ...), and zfs or
//   virtiofs, which have none;
// - network file systems;
// - RAM-backed ones that are writable and not system plumbing;
// - FUSE volumes outside the system folders;
// - an overlay only as the root of the system (a container), since container engines put one
//   overlay per container elsewhere.
// Pseudo file systems and read-only images (snaps) never count.
bool isMeasurableVolume(const platform::MountRecord& mount);

// Folders where the system keeps its own RAM and FUSE mounts (/run, /sys, /proc, /dev), minus
// the ones meant for users: /dev/shm and /run/media, where some desktops mount sticks.
bool isSystemLocation(const QString& mountPoint);

// The drive list of the running system, read from <systemRoot>/proc/self/mountinfo each time it
// is asked; mounts no path reaches are left out. A folder of a file system mounted at several
// places is listed once (a writable mount before a read-only one), folded into the writable
// whole file system where that is listed (not for btrfs); a single file bound from a disk is
// not listed.
// Labels that only a volume's root can give, and whether a bind mount is a folder, are read off
// the window thread, all volumes side by side, without waiting for them: a volume that has not
// answered is listed without a label (a bind mount not yet seen as a folder is left out), and
// not asked again until its query returns; then the late-answer listener is told. Answers are
// kept per mount, so a listing asks each mount once.
class MountTableCatalogue : public DriveCatalogue {
public:
    explicit MountTableCatalogue(
        QString systemRoot = {},
        std::shared_ptr<platform::VolumeQueries> queries = platform::systemVolumeQueries(),
        platform::OffThread& offThread = platform::inPlace());
    ~MountTableCatalogue() override;

    // Empty when the mount table cannot be read.
    QList<DriveEntry> drives() override;
    // The listed drive whose file system holds path: the mount reached by path, a twin of it,
    // or the whole file system it was folded into. Falls back to the longest listed mount point
    // above path; empty when nothing is listed.
    QString driveHolding(const QString& path) override;

    // The drive a folder named on the command line stands for: the mount the kernel says holds
    // folder (absolute, links resolved), listed or not, never a parent, a twin or another
    // subvolume; its root is that mount's point. Throws Failure naming `named` and the reason
    // when that mount cannot be measured: it is not in the table, it is the kernel's or a
    // read-only image, it is mounted read-only, or its mount point leads elsewhere.
    QString volumeToMeasure(const QString& folder, const QString& named);

private:
    std::optional<int> mountOfRelative(const QString& named);
    // The mounts a path can reach; none, with a logged warning, when the table cannot be read.
    QList<platform::MountRecord> reachableMountsOrNone() const;
    QList<platform::MountRecord> listedMounts(const QList<platform::MountRecord>& reachable);
    static bool mayBeFile(const platform::MountRecord& mount);
    struct FolderQuery;
    // True once a look off the window thread found a folder at the mount point; the query is
    // kept in seen.
    bool isKnownFolder(const platform::MountRecord& mount,
                       QHash<QString, std::shared_ptr<FolderQuery>>& seen);

    // The label of each listed mount, asking the roots of those not known yet.
    QList<QString> labelsOf(const QList<platform::MountRecord>& mounts);

    // The share folders of a file manager's gateways (gvfs, kio-fuse), each listed as a drive;
    // their folders are read off the window thread like the labels, the last known meanwhile.
    QList<DriveEntry> sharesOf(const QList<platform::MountRecord>& reachable);

    struct ShareQuery {
        QStringList folders;  // written by the query's thread before finished
        QStringList lastKnown;
        std::atomic<bool> finished{false};
    };

    struct FolderQuery {
        bool folder = false;  // written by the query's thread before finished
        std::atomic<bool> finished{false};
    };

    struct LabelQuery {
        QString label;  // written by the query's thread before finished
        std::atomic<bool> finished{false};
    };

    QString systemRoot_;
    // Shared with label queries that may outlive the catalogue on a stuck volume.
    std::shared_ptr<platform::VolumeQueries> queries_;
    platform::OffThread& offThread_;
    // Deleting it drops the answers still to come.
    std::unique_ptr<QObject> deliveries_;
    // True while a listing runs: answers that come in place are part of it.
    bool listing_ = false;
    // The kernel gives a freed mount id and device number to the next mount, so after any
    // mount or unmount no label is known to be the mount's it was read from: all are asked
    // again. (Shares are asked at every listing; whether a bind mount is a folder depends on
    // its source and root, which are part of its key.)
    void forgetAnswersOnChange();
    platform::UniqueFd changes_;
    // Keyed by mount id and mount point, valid until the table changes.
    QHash<QString, std::shared_ptr<LabelQuery>> labels_;
    QHash<QString, std::shared_ptr<ShareQuery>> shares_;
    // Keyed as the labels.
    QHash<QString, std::shared_ptr<FolderQuery>> folders_;
};

}  // namespace driveinfo
