#include "driveinfo/mounttablecatalogue.h"

#include <QDir>
#include <QHash>
#include <QObject>
#include <QSet>
#include <algorithm>

#include "driveinfo/fileshares.h"
#include "driveinfo/mountrules.h"
#include "driveinfo/systemdrives.h"
#include "platform/failure.h"
#include "platform/paths.h"
#include "platform/systemfiles.h"

namespace driveinfo {

using platform::MountRecord;
using platform::pathIsWithin;

bool isSystemLocation(const QString& mountPoint) {
    if (pathIsWithin(mountPoint, QStringLiteral("/dev/shm")) ||
        pathIsWithin(mountPoint, QStringLiteral("/run/media"))) {
        return false;
    }
    for (const char* folder : {"/run", "/sys", "/proc", "/dev"}) {
        if (pathIsWithin(mountPoint, QString::fromLatin1(folder))) return true;
    }
    return false;
}

bool isMeasurableVolume(const MountRecord& mount) {
    // A file manager's gateway is no drive itself; the shares below it are (sharesOf).
    if (isShareGateway(mount)) return false;
    switch (fileSystemKind(mount.fileSystemType)) {
        case FileSystemKind::Pseudo:
        case FileSystemKind::ReadOnlyImage:
            return false;
        case FileSystemKind::Network:
            return true;
        case FileSystemKind::RamBacked:
        case FileSystemKind::Fuse:
            // /run and friends would flood the list. A read-only RAM disk stays: hiding it would
            // make a drive remounted read-only look unplugged instead of failing with its reason.
            return !isSystemLocation(mount.mountPoint);
        case FileSystemKind::Overlay:
            return mount.mountPoint == QLatin1String("/");
        case FileSystemKind::Other:
            return mount.hasBlockDevice() || mount.fileSystemType == QLatin1String("zfs") ||
                   mount.fileSystemType == QLatin1String("virtiofs");
    }
    return false;
}

namespace {

// The mount a path lies in: the longest mount point above it.
const MountRecord* mountHolding(const QList<MountRecord>& mounts, const QString& path) {
    const MountRecord* holder = nullptr;
    for (const MountRecord& mount : mounts) {
        if (pathIsWithin(path, mount.mountPoint) &&
            (!holder || mount.mountPoint.size() >= holder->mountPoint.size())) {
            holder = &mount;
        }
    }
    return holder;
}

bool mountedReadOnly(const MountRecord& mount) {
    return mount.mountOptions.split(QLatin1Char(',')).contains(QLatin1String("ro")) ||
           mount.superOptions.split(QLatin1Char(',')).contains(QLatin1String("ro"));
}

// Why a named folder's own volume takes no test file; empty when it can be measured.
QString whyNotMeasurable(const MountRecord& mount) {
    if (isShareGateway(mount)) {
        return QStringLiteral("it is %1, a file manager's gateway; name a share inside it")
            .arg(platform::displayPath(mount.mountPoint));
    }
    switch (fileSystemKind(mount.fileSystemType)) {
        case FileSystemKind::Pseudo:
            // devtmpfs too: a test file would land in the system's own /dev.
            return QStringLiteral("it is on %1, a file system of the kernel's, not a drive")
                .arg(mount.fileSystemType);
        case FileSystemKind::ReadOnlyImage:
            return QStringLiteral("it is on a %1 image, which is read-only")
                .arg(mount.fileSystemType);
        default:
            break;
    }
    if (mountedReadOnly(mount)) {
        return QStringLiteral("its drive %1 is mounted read-only")
            .arg(platform::displayPath(mount.mountPoint));
    }
    return {};
}

// A mount of a folder of a file system whose whole is listed too shows as that whole, at the
// place of the first of them. Not for a read-only whole, nor for btrfs, whose folders may be
// subvolumes, each a tree of its own.
QList<MountRecord> foldedIntoWholeFileSystems(const QList<MountRecord>& listed) {
    QHash<QString, qsizetype> wholeOf;
    for (qsizetype i = 0; i < listed.size(); ++i) {
        if (listed[i].root == QLatin1String("/") && !mountedReadOnly(listed[i]) &&
            listed[i].fileSystemType != QLatin1String("btrfs")) {
            wholeOf.insert(listed[i].deviceNumber(), i);
        }
    }
    QList<MountRecord> folded;
    QSet<qsizetype> placed;
    for (const MountRecord& mount : listed) {
        const qsizetype whole = wholeOf.value(mount.deviceNumber(), -1);
        if (whole < 0) {
            folded.append(mount);
        } else if (!placed.contains(whole)) {
            placed.insert(whole);
            folded.append(listed[whole]);
        }
    }
    return folded;
}

// The kernel hands a freed mount id and anonymous device number to the next mount, so a volume
// remounted at once may get both back; what it was mounted from and with tells it apart too.
QString volumeIdOf(const MountRecord& mount) {
    return QStringList{QString::number(mount.mountId), mount.deviceNumber(), mount.root,
                       mount.fileSystemType,           mount.source,         mount.superOptions}
        .join(QLatin1Char('\n'));
}

}  // namespace

MountTableCatalogue::MountTableCatalogue(QString systemRoot,
                                         std::shared_ptr<platform::VolumeQueries> queries,
                                         platform::OffThread& offThread)
    : systemRoot_(std::move(systemRoot)),
      queries_(std::move(queries)),
      offThread_(offThread),
      deliveries_(std::make_unique<QObject>()) {
    try {
        changes_ = platform::openMountTableToWatch(systemRoot_);
    } catch (const platform::Failure&) {
        // Unwatched, the answers are kept as long as their mount is listed.
    }
}

void MountTableCatalogue::forgetAnswersOnChange() {
    if (!platform::mountTableChanged(changes_)) return;
    labels_.clear();
}

MountTableCatalogue::~MountTableCatalogue() = default;

QList<MountRecord> MountTableCatalogue::reachableMountsOrNone() const {
    try {
        return reachableMounts(platform::readMountTable(systemRoot_));
    } catch (const platform::Failure& failure) {
        // An empty drive list needs a reason somewhere a user can find it.
        qWarning("No drives can be listed: %s", qPrintable(failure.description()));
        return {};
    }
}

QList<MountRecord> MountTableCatalogue::listedMounts(const QList<MountRecord>& reachable) {
    forgetAnswersOnChange();
    QList<MountRecord> listed;
    QHash<QString, std::shared_ptr<FolderQuery>> folders;
    // A file system's folder mounted at several places is one drive; another folder of it (a
    // btrfs subvolume, a bind mount) is another, unless the whole file system is listed too.
    QHash<QString, qsizetype> indexOfFolder;
    for (const MountRecord& mount : reachable) {
        if (!isMeasurableVolume(mount)) continue;
        if (mayBeFile(mount) && !isKnownFolder(mount, folders)) continue;
        const QString folder = mount.deviceNumber() + QLatin1Char(' ') + mount.root;
        const auto known = indexOfFolder.constFind(folder);
        if (known == indexOfFolder.cend()) {
            indexOfFolder.insert(folder, listed.size());
            listed.append(mount);
        } else if (mountedReadOnly(listed[*known]) && !mountedReadOnly(mount)) {
            // A read-only twin never stands for a writable mount of the same folder.
            listed[*known] = mount;
        }
    }
    folders_ = folders;  // mounts that went away are forgotten
    return foldedIntoWholeFileSystems(listed);
}

bool MountTableCatalogue::mayBeFile(const MountRecord& mount) {
    // Containers bind single files (/etc/hosts) from the host's disk; a file is no drive. Only
    // a bind mount can be a file; looking is limited to local disks, where it cannot hang the
    // way a network volume whose server has gone can.
    return mount.root != QLatin1String("/") && mount.hasBlockDevice() &&
           fileSystemKind(mount.fileSystemType) != FileSystemKind::Fuse;
}

bool MountTableCatalogue::isKnownFolder(const MountRecord& mount,
                                        QHash<QString, std::shared_ptr<FolderQuery>>& seen) {
    // Looked at off the window thread, once per mount; until the answer comes the mount is not
    // listed, then the list is told.
    const QString key = volumeIdOf(mount);
    std::shared_ptr<FolderQuery> query = folders_.value(key);
    if (!query) {
        query = std::make_shared<FolderQuery>();
        offThread_.start(
            deliveries_.get(),
            [query, systemRoot = systemRoot_, point = mount.mountPoint] {
                query->folder = !platform::systemfiles::isNonFolder(systemRoot, point);
                query->finished.store(true, std::memory_order_release);
            },
            [this, query](bool) {
                if (!listing_ && query->folder) lateAnswerCame();
            });
    }
    seen.insert(key, query);
    return query->finished.load(std::memory_order_acquire) && query->folder;
}

QList<DriveEntry> MountTableCatalogue::drives() {
    const QList<MountRecord> reachable = reachableMountsOrNone();
    if (reachable.isEmpty()) return {};
    const QList<MountRecord> listed = listedMounts(reachable);
    listing_ = true;
    const QList<QString> labels = labelsOf(listed);
    QList<DriveEntry> entries;
    for (qsizetype i = 0; i < listed.size(); ++i) {
        const MountRecord& mount = listed[i];
        entries.append({mount.mountPoint, labels[i], volumeIdOf(mount)});
    }
    entries.append(sharesOf(reachable));
    listing_ = false;
    return entries;
}

QList<DriveEntry> MountTableCatalogue::sharesOf(const QList<MountRecord>& reachable) {
    QList<MountRecord> gateways;
    QHash<QString, std::shared_ptr<ShareQuery>> current;
    for (const MountRecord& mount : reachable) {
        if (!isShareGateway(mount)) continue;
        const QString key = volumeIdOf(mount);
        std::shared_ptr<ShareQuery> query = shares_.value(key);
        // Shares come and go without a mount, so each listing asks again; one still stuck
        // from an earlier listing is not asked twice.
        if (!query || query->finished.load(std::memory_order_acquire)) {
            auto next = std::make_shared<ShareQuery>();
            if (query) next->lastKnown = query->folders;
            query = next;
            offThread_.start(
                deliveries_.get(),
                [query, systemRoot = systemRoot_, mount] {
                    query->folders = shareFolders(systemRoot, mount);
                    query->finished.store(true, std::memory_order_release);
                },
                [this, query](bool) {
                    if (!listing_ && query->folders != query->lastKnown) lateAnswerCame();
                });
        }
        current.insert(key, query);
        gateways.append(mount);
    }
    shares_ = current;

    QList<DriveEntry> entries;
    for (const MountRecord& gateway : gateways) {
        const std::shared_ptr<ShareQuery>& query = current.value(volumeIdOf(gateway));
        const QStringList folders =
            query->finished.load(std::memory_order_acquire) ? query->folders : query->lastKnown;
        for (const QString& folder : folders) {
            entries.append({folder, shareName(gateway, folder),
                            volumeIdOf(gateway) + QLatin1Char('\n') + folder});
        }
    }
    return entries;
}

QList<QString> MountTableCatalogue::labelsOf(const QList<MountRecord>& mounts) {
    QList<QString> labels;
    QList<std::shared_ptr<LabelQuery>> queries;  // null where udev named it or no root is asked
    QHash<QString, std::shared_ptr<LabelQuery>> current;
    for (const MountRecord& mount : mounts) {
        labels.append(platform::udevVolumeLabel(systemRoot_, mount));
        queries.append(nullptr);
        if (!labels.last().isEmpty() || !labelNeedsVolumeRoot(mount)) continue;
        const QString key = QStringLiteral("%1 %2").arg(mount.mountId).arg(mount.mountPoint);
        std::shared_ptr<LabelQuery> query = labels_.value(key);
        if (!query) {
            query = std::make_shared<LabelQuery>();
            offThread_.start(
                deliveries_.get(),
                [query, volumes = queries_, root = mount.mountPoint] {
                    query->label = volumes->fileSystemLabel(root);
                    query->finished.store(true, std::memory_order_release);
                },
                [this, query](bool) {
                    if (!listing_ && !query->label.isEmpty()) lateAnswerCame();
                });
        }
        current.insert(key, query);
        queries.last() = query;
    }
    // The answers are read from the queries themselves; one still under way shows no label.
    // Mounts that went away are forgotten; their queries, if stuck, stay with their threads.
    labels_ = current;
    for (qsizetype i = 0; i < mounts.size(); ++i) {
        if (queries[i] && queries[i]->finished.load(std::memory_order_acquire))
            labels[i] = queries[i]->label;
    }
    return labels;
}

QString MountTableCatalogue::driveHolding(const QString& path) {
    const QList<MountRecord> reachable = reachableMountsOrNone();
    if (reachable.isEmpty()) return {};
    // A working folder the kernel cannot name (deleted, its stick pulled) holds no drive.
    const QString working =
        path.startsWith(QLatin1Char('/')) ? QString() : platform::currentFolder();
    if (!path.startsWith(QLatin1Char('/')) && working.isEmpty()) return {};
    const QString absolute =
        QDir::cleanPath(working.isEmpty() ? path : platform::joinPath(working, path));
    const QList<MountRecord> listed = listedMounts(reachable);

    const MountRecord* holder = mountHolding(reachable, absolute);
    if (holder && isShareGateway(*holder)) {
        const QString share = shareFolderHolding(*holder, absolute);
        if (!share.isEmpty()) return share;
    }
    if (holder) {
        // The holder itself or a twin of it, else the whole file system it was folded into.
        for (const QString& root : {holder->root, QStringLiteral("/")}) {
            for (const MountRecord& mount : listed) {
                if (mount.deviceNumber() == holder->deviceNumber() && mount.root == root)
                    return mount.mountPoint;
            }
        }
    }
    QString best;
    for (const MountRecord& mount : listed) {
        if (pathIsWithin(absolute, mount.mountPoint) && mount.mountPoint.size() > best.size())
            best = mount.mountPoint;
    }
    return best;
}

// The mount the kernel reaches from the working folder itself, not from its path; none when the
// name does not lead anywhere from there.
std::optional<int> MountTableCatalogue::mountOfRelative(const QString& named) {
    try {
        return queries_->mountIdOf(named);
    } catch (const platform::Failure&) {
        return std::nullopt;
    }
}

QString MountTableCatalogue::volumeToMeasure(const QString& folder, const QString& named) {
    const QString refusal =
        QStringLiteral("Cannot measure the drive of %1: ").arg(platform::displayPath(named));
    const QString absolute = QDir::cleanPath(folder);
    // The kernel names the mount the folder is on; a path prefix or a device number would name
    // a mount hidden beneath it, a read-only twin or another subvolume of the same device.
    const int mountId = queries_->mountIdOf(absolute);
    if (!named.startsWith(QLatin1Char('/')) &&
        mountOfRelative(named).value_or(mountId) != mountId) {
        // The working folder's path leads elsewhere now: a later mount hides the drive it is on.
        throw platform::Failure(
            refusal + QStringLiteral("the working folder is on a drive that a later mount hides "
                                     "at its path. Change to a folder that exists, or name the "
                                     "drive by its full path."));
    }
    const QList<MountRecord> table = platform::readMountTable(systemRoot_);
    const auto holder = std::find_if(table.cbegin(), table.cend(), [mountId](const auto& mount) {
        return mount.mountId == mountId;
    });
    if (holder == table.cend()) {
        // A chroot's mount table shows only what was mounted inside it; a stick may be unplugged.
        throw platform::Failure(refusal +
                                QStringLiteral("no mounted drive holds it. Is the drive mounted? "
                                               "\"findmnt --real\" lists the mounted drives."));
    }
    if (isShareGateway(*holder)) {
        const QString share = shareFolderHolding(*holder, absolute);
        if (!share.isEmpty()) return share;
    }
    if (const QString why = whyNotMeasurable(*holder); !why.isEmpty())
        throw platform::Failure(refusal + why);
    // Its own mount point must lead to it, or the test file would land on another drive.
    if (queries_->mountIdOf(holder->mountPoint) != mountId) {
        throw platform::Failure(
            refusal + QStringLiteral("its drive's folder %1 now leads to another drive. Name a "
                                     "folder on the drive you mean.")
                          .arg(platform::displayPath(holder->mountPoint)));
    }
    return holder->mountPoint;
}

}  // namespace driveinfo
