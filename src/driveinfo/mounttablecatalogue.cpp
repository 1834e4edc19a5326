#include "driveinfo/mounttablecatalogue.h"

#include <QDir>
#include <QHash>

#include "platform/failure.h"
#include "platform/systemfiles.h"

namespace driveinfo {

using platform::FileSystemKind;
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
    switch (platform::fileSystemKind(mount.fileSystemType)) {
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

MountTableCatalogue::MountTableCatalogue(QString systemRoot, platform::VolumeQueries& queries)
    : systemRoot_(std::move(systemRoot)), queries_(queries) {}

QList<MountRecord> MountTableCatalogue::reachableMountsOrNone() const {
    try {
        return platform::reachableMounts(platform::readMountTable(systemRoot_));
    } catch (const platform::Failure& failure) {
        // An empty drive list needs a reason somewhere a user can find it.
        qWarning("No drives can be listed: %s", qPrintable(failure.description()));
        return {};
    }
}

QList<MountRecord> MountTableCatalogue::listedMounts(const QList<MountRecord>& reachable) const {
    QList<MountRecord> listed;
    QHash<QString, qsizetype> indexOfDevice;
    for (const MountRecord& mount : reachable) {
        if (!isMeasurableVolume(mount)) continue;
        // Containers bind single files (/etc/hosts) from the host's disk; a file is no drive.
        // Only a bind mount can be a file; looking is limited to local disks, where it cannot
        // hang the way a network volume whose server has gone can.
        if (mount.root != QLatin1String("/") && mount.hasBlockDevice() &&
            platform::systemfiles::isNonFolder(systemRoot_, mount.mountPoint)) {
            continue;
        }
        const QString device = mount.deviceNumber();
        const auto known = indexOfDevice.constFind(device);
        if (known == indexOfDevice.cend()) {
            indexOfDevice.insert(device, listed.size());
            listed.append(mount);
        } else if (listed[*known].root != QLatin1String("/") && mount.root == QLatin1String("/")) {
            // A bind mount came first; the whole file system is the better name for the drive.
            listed[*known] = mount;
        }
    }
    return listed;
}

QList<DriveEntry> MountTableCatalogue::drives() {
    const QList<MountRecord> reachable = reachableMountsOrNone();
    if (reachable.isEmpty()) return {};
    QList<DriveEntry> entries;
    for (const MountRecord& mount : listedMounts(reachable)) {
        entries.append({mount.mountPoint, platform::volumeLabelOf(systemRoot_, mount, queries_)});
    }
    return entries;
}

QString MountTableCatalogue::driveHolding(const QString& path) {
    const QList<MountRecord> reachable = reachableMountsOrNone();
    if (reachable.isEmpty()) return {};
    const QString absolute = QDir::cleanPath(QDir::current().absoluteFilePath(path));
    const QList<MountRecord> listed = listedMounts(reachable);

    const MountRecord* holder = nullptr;
    for (const MountRecord& mount : reachable) {
        if (pathIsWithin(absolute, mount.mountPoint) &&
            (!holder || mount.mountPoint.size() >= holder->mountPoint.size())) {
            holder = &mount;
        }
    }
    if (holder) {
        for (const MountRecord& mount : listed) {
            if (mount.deviceNumber() == holder->deviceNumber()) return mount.mountPoint;
        }
    }
    QString best;
    for (const MountRecord& mount : listed) {
        if (pathIsWithin(absolute, mount.mountPoint) && mount.mountPoint.size() > best.size())
            best = mount.mountPoint;
    }
    return best;
}

}  // namespace driveinfo
