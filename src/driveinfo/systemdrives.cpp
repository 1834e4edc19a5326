#include "driveinfo/systemdrives.h"

#include <QDir>
#include <QRegularExpression>

#include "driveinfo/fileshares.h"
#include "driveinfo/mountrules.h"
#include "platform/failure.h"
#include "platform/paths.h"
#include "platform/systemfiles.h"

namespace driveinfo {

using platform::MountRecord;

namespace {

bool isOpticalFileSystem(const QString& type) {
    return type == QLatin1String("iso9660") || type == QLatin1String("udf");
}

DriveType blockDriveType(const QString& systemRoot, const MountRecord& mount) {
    static const QRegularExpression ramDisk(QStringLiteral("^(zram|ram)\\d+$"));
    static const QRegularExpression opticalDisk(QStringLiteral("^sr\\d+$"));
    using platform::systemfiles::readAttribute;

    const QString device = platform::blockDeviceFolder(systemRoot, mount);
    if (device.isEmpty())
        return isOpticalFileSystem(mount.fileSystemType) ? DriveType::CdRom : DriveType::Fixed;
    const QString disk = platform::underlyingDiskFolder(systemRoot, device);
    const QString name = disk.section(QLatin1Char('/'), -1);

    if (ramDisk.match(name).hasMatch()) return DriveType::RamDisk;
    if (opticalDisk.match(name).hasMatch() ||
        readAttribute(systemRoot, disk + QStringLiteral("/device/type")) == QLatin1String("5"))
        return DriveType::CdRom;
    if (platform::sysfsDeviceOnBus(systemRoot, disk, QStringLiteral("usb")))
        return DriveType::Removable;
    if (readAttribute(systemRoot, disk + QStringLiteral("/removable")) == QLatin1String("1"))
        return DriveType::Removable;
    if (name.startsWith(QLatin1String("mmcblk")) ||
        platform::sysfsDeviceOnBus(systemRoot, disk, QStringLiteral("mmc")))
        return DriveType::Removable;
    // An image of a disc in a loop device, say: the device is fixed, the medium a disc.
    if (isOpticalFileSystem(mount.fileSystemType)) return DriveType::CdRom;
    return DriveType::Fixed;
}

// The mount at mountRoot that a path there reaches, if any.
bool findMount(const QString& systemRoot, const QString& mountRoot, MountRecord& found) {
    const QList<MountRecord> mounts = reachableMounts(platform::readMountTable(systemRoot));
    for (const MountRecord& mount : mounts) {
        if (mount.mountPoint == mountRoot) {
            found = mount;
            return true;
        }
    }
    return false;
}

class LinuxDrive : public Drive {
public:
    // root is the mount point, or a share folder below a file manager's gateway mount.
    LinuxDrive(QString systemRoot, MountRecord mount, QString root,
               std::shared_ptr<platform::VolumeQueries> queries)
        : systemRoot_(std::move(systemRoot)),
          mount_(std::move(mount)),
          root_(std::move(root)),
          queries_(std::move(queries)),
          driveType_(driveTypeOf(systemRoot_, mount_)) {}

    DriveType driveType() override { return driveType_; }

    QString volumeName() override {
        ensureStillMounted();
        if (root_ != mount_.mountPoint) return shareName(mount_, root_);
        return volumeLabelOf(systemRoot_, mount_, *queries_);
    }
    double totalSize() override {
        ensureStillMounted();
        return queries_->space(root_).totalBytes;
    }
    double freeSpace() override {
        ensureStillMounted();
        return queries_->space(root_).availableBytes;
    }

private:
    // Once the volume is gone, its mount point is a plain folder of another volume; reading it
    // would report that volume's figures as this one's.
    void ensureStillMounted() {
        MountRecord current;
        if (!findMount(systemRoot_, mount_.mountPoint, current) ||
            current.mountId != mount_.mountId) {
            throw NotMounted(root_);
        }
    }

    QString systemRoot_;
    MountRecord mount_;
    QString root_;
    std::shared_ptr<platform::VolumeQueries> queries_;
    DriveType driveType_;
};

}  // namespace

DriveType driveTypeOf(const QString& systemRoot, const MountRecord& mount) {
    switch (fileSystemKind(mount.fileSystemType)) {
        case FileSystemKind::Network:
            return DriveType::Network;
        case FileSystemKind::RamBacked:
            return DriveType::RamDisk;
        default:
            break;
    }
    if (mount.hasBlockDevice()) return blockDriveType(systemRoot, mount);
    if (isOpticalFileSystem(mount.fileSystemType)) return DriveType::CdRom;
    return DriveType::Unknown;
}

bool labelNeedsVolumeRoot(const MountRecord& mount) {
    // Opening the root of a network volume can hang while its server is away.
    switch (fileSystemKind(mount.fileSystemType)) {
        case FileSystemKind::Network:
        case FileSystemKind::Pseudo:
            return false;
        default:
            return true;
    }
}

QString volumeLabelOf(const QString& systemRoot, const MountRecord& mount,
                      platform::VolumeQueries& queries) {
    const QString label = platform::udevVolumeLabel(systemRoot, mount);
    if (!label.isEmpty() || !labelNeedsVolumeRoot(mount)) return label;
    return queries.fileSystemLabel(mount.mountPoint);
}

LinuxDriveService::LinuxDriveService(QString systemRoot,
                                     std::shared_ptr<platform::VolumeQueries> queries)
    : systemRoot_(std::move(systemRoot)), queries_(std::move(queries)) {}

std::unique_ptr<Drive> LinuxDriveService::getDrive(const QString& mountRoot) {
    if (mountRoot.isEmpty()) throw NotMounted(mountRoot);
    const QString cleanRoot = QDir::cleanPath(mountRoot);
    MountRecord mount;
    if (findMount(systemRoot_, cleanRoot, mount))
        return std::make_unique<LinuxDrive>(systemRoot_, mount, cleanRoot, queries_);
    // A share a file manager opened is a folder below its gateway mount.
    for (const MountRecord& gateway : reachableMounts(platform::readMountTable(systemRoot_))) {
        if (isShareGateway(gateway) && shareFolderHolding(gateway, cleanRoot) == cleanRoot)
            return std::make_unique<LinuxDrive>(systemRoot_, gateway, cleanRoot, queries_);
    }
    throw NotMounted(cleanRoot);
}

NotMounted::NotMounted(const QString& mountRoot)
    : platform::Failure(
          QStringLiteral("No volume is mounted at %1").arg(platform::displayPath(mountRoot))),
      mountRoot_(mountRoot) {}

}  // namespace driveinfo
