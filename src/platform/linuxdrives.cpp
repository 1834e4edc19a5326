#include "platform/linuxdrives.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "platform/failure.h"
#include "platform/fileshares.h"
#include "platform/paths.h"
#include "platform/systemfiles.h"
#include "platform/uniquefd.h"

namespace platform {

namespace {

using systemfiles::entryNames;
using systemfiles::exists;
using systemfiles::linkTarget;
using systemfiles::readAttribute;
using systemfiles::resolvedPath;

QString lastComponent(const QString& path) {
    return path.section(QLatin1Char('/'), -1);
}

QString parentFolder(const QString& path) {
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    return slash <= 0 ? QStringLiteral("/") : path.left(slash);
}

bool isOpticalFileSystem(const QString& type) {
    return type == QLatin1String("iso9660") || type == QLatin1String("udf");
}

// True when a device above folder in the sysfs device tree sits on the given bus. A recorded
// tree may lack the subsystem links, so the bus's own folder names count too ("usb2", "mmc0").
bool runsThroughBus(const QString& systemRoot, const QString& folder, const QString& bus) {
    static const QRegularExpression usbRoot(QStringLiteral("^usb\\d+$"));
    static const QRegularExpression mmcHost(QStringLiteral("^mmc\\d+$"));
    const QRegularExpression& busFolder = bus == QLatin1String("usb") ? usbRoot : mmcHost;
    const QString busSuffix = QStringLiteral("/bus/") + bus;
    for (QString current = parentFolder(folder); current.startsWith(QLatin1String("/sys/devices/"));
         current = parentFolder(current)) {
        if (linkTarget(systemRoot, current + QStringLiteral("/subsystem")).endsWith(busSuffix))
            return true;
        if (busFolder.match(lastComponent(current)).hasMatch()) return true;
    }
    return false;
}

DriveType blockDriveType(const QString& systemRoot, const MountRecord& mount) {
    static const QRegularExpression ramDisk(QStringLiteral("^(zram|ram)\\d+$"));
    static const QRegularExpression opticalDisk(QStringLiteral("^sr\\d+$"));

    const QString device = blockDeviceFolder(systemRoot, mount);
    if (device.isEmpty())
        return isOpticalFileSystem(mount.fileSystemType) ? DriveType::CdRom : DriveType::Fixed;
    const QString disk = underlyingDiskFolder(systemRoot, device);
    const QString name = lastComponent(disk);

    if (ramDisk.match(name).hasMatch()) return DriveType::RamDisk;
    if (opticalDisk.match(name).hasMatch() ||
        readAttribute(systemRoot, disk + QStringLiteral("/device/type")) == QLatin1String("5"))
        return DriveType::CdRom;
    if (runsThroughBus(systemRoot, disk, QStringLiteral("usb"))) return DriveType::Removable;
    if (readAttribute(systemRoot, disk + QStringLiteral("/removable")) == QLatin1String("1"))
        return DriveType::Removable;
    if (name.startsWith(QLatin1String("mmcblk")) ||
        runsThroughBus(systemRoot, disk, QStringLiteral("mmc")))
        return DriveType::Removable;
    // An image of a disc in a loop device, say: the device is fixed, the medium a disc.
    if (isOpticalFileSystem(mount.fileSystemType)) return DriveType::CdRom;
    return DriveType::Fixed;
}

QString labelFromUdev(const QString& systemRoot, const QString& deviceName) {
    const QString folder = QStringLiteral("/dev/disk/by-label");
    for (const QString& entry : entryNames(systemRoot, folder)) {
        const QString target = linkTarget(systemRoot, joinPath(folder, entry));
        if (!target.isEmpty() && lastComponent(target) == deviceName) return decodeUdevName(entry);
    }
    return {};
}

// The mount at mountRoot that a path there reaches, if any.
bool findMount(const QString& systemRoot, const QString& mountRoot, MountRecord& found) {
    const QList<MountRecord> mounts = reachableMounts(readMountTable(systemRoot));
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
               std::shared_ptr<VolumeQueries> queries)
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
            throw driveNotReady(root_);
        }
    }

    QString systemRoot_;
    MountRecord mount_;
    QString root_;
    std::shared_ptr<VolumeQueries> queries_;
    DriveType driveType_;
};

}  // namespace

VolumeSpace SystemVolumeQueries::space(const QString& mountRoot) {
    struct statvfs info {};
    const QByteArray path = pathToBytes(mountRoot);
    int result = 0;
    do {
        result = ::statvfs(path.constData(), &info);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        raiseSystemFailure(QStringLiteral("Cannot read the size of drive"), mountRoot, errno);
    }
    // Multiplying as doubles stays exact below 2^53 bytes and cannot overflow.
    VolumeSpace space;
    space.totalBytes = static_cast<double>(info.f_blocks) * static_cast<double>(info.f_frsize);
    space.availableBytes = static_cast<double>(info.f_bavail) * static_cast<double>(info.f_frsize);
    space.totalFiles = static_cast<double>(info.f_files);
    space.availableFiles = static_cast<double>(info.f_favail);
    struct stat status {};
    if (::stat(path.constData(), &status) == 0) space.device = status.st_dev;
    return space;
}

QString SystemVolumeQueries::fileSystemLabel(const QString& mountRoot) {
    const UniqueFd folder(::open(pathToBytes(mountRoot).constData(),
                                 O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK));
    if (!folder) return {};
    char label[FSLABEL_MAX + 1] = {};
    if (::ioctl(folder.get(), FS_IOC_GETFSLABEL, label) != 0) return {};
    return QString::fromUtf8(label, static_cast<qsizetype>(::strnlen(label, FSLABEL_MAX)));
}

std::shared_ptr<VolumeQueries> systemVolumeQueries() {
    static const std::shared_ptr<VolumeQueries> queries = std::make_shared<SystemVolumeQueries>();
    return queries;
}

QString blockDeviceFolder(const QString& systemRoot, const MountRecord& mount) {
    if (!mount.hasBlockDevice()) return {};
    if (mount.major != 0) {
        return resolvedPath(systemRoot, QStringLiteral("/sys/dev/block/") + mount.deviceNumber());
    }
    // An anonymous device number (btrfs, FUSE on a device): find the device by its source,
    // which may be a link such as /dev/mapper/name -> ../dm-0.
    QString deviceName = lastComponent(resolvedPath(systemRoot, mount.source));
    if (deviceName.isEmpty()) deviceName = lastComponent(mount.source);
    return resolvedPath(systemRoot, QStringLiteral("/sys/class/block/") + deviceName);
}

QString underlyingDiskFolder(const QString& systemRoot, const QString& deviceFolder) {
    QString current = deviceFolder;
    // Stacks are a few layers deep (partition, LUKS, LVM, md); the bound stops a bad recording.
    for (int depth = 0; depth < 16; ++depth) {
        if (exists(systemRoot, current + QStringLiteral("/partition"))) {
            current = parentFolder(current);
            continue;
        }
        const QStringList slaves = entryNames(systemRoot, current + QStringLiteral("/slaves"));
        if (slaves.isEmpty()) break;
        const QString beneath =
            resolvedPath(systemRoot, current + QStringLiteral("/slaves/") + slaves.first());
        if (beneath.isEmpty()) break;
        current = beneath;
    }
    return current;
}

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

QString udevVolumeLabel(const QString& systemRoot, const MountRecord& mount) {
    const QString device = blockDeviceFolder(systemRoot, mount);
    return device.isEmpty() ? QString() : labelFromUdev(systemRoot, lastComponent(device));
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

QString volumeLabelOf(const QString& systemRoot, const MountRecord& mount, VolumeQueries& queries) {
    const QString label = udevVolumeLabel(systemRoot, mount);
    if (!label.isEmpty() || !labelNeedsVolumeRoot(mount)) return label;
    return queries.fileSystemLabel(mount.mountPoint);
}

QString decodeUdevName(const QString& name) {
    const QByteArray bytes = name.toUtf8();
    QByteArray decoded;
    decoded.reserve(bytes.size());
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\\' && i + 3 < bytes.size() && bytes[i + 1] == 'x' &&
            std::isxdigit(static_cast<unsigned char>(bytes[i + 2])) &&
            std::isxdigit(static_cast<unsigned char>(bytes[i + 3]))) {
            decoded.append(static_cast<char>(bytes.mid(i + 2, 2).toInt(nullptr, 16)));
            i += 3;
            continue;
        }
        decoded.append(bytes[i]);
    }
    return QString::fromUtf8(decoded);
}

LinuxDriveService::LinuxDriveService(QString systemRoot, std::shared_ptr<VolumeQueries> queries)
    : systemRoot_(std::move(systemRoot)), queries_(std::move(queries)) {}

std::unique_ptr<Drive> LinuxDriveService::getDrive(const QString& mountRoot) {
    if (mountRoot.isEmpty()) throw noDriveSelected();
    const QString cleanRoot = QDir::cleanPath(mountRoot);
    MountRecord mount;
    if (findMount(systemRoot_, cleanRoot, mount))
        return std::make_unique<LinuxDrive>(systemRoot_, mount, cleanRoot, queries_);
    // A share a file manager opened is a folder below its gateway mount.
    for (const MountRecord& gateway : reachableMounts(readMountTable(systemRoot_))) {
        if (isShareGateway(gateway) && shareFolderHolding(gateway, cleanRoot) == cleanRoot)
            return std::make_unique<LinuxDrive>(systemRoot_, gateway, cleanRoot, queries_);
    }
    throw driveNotReady(cleanRoot);
}

}  // namespace platform
