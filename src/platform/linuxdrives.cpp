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

QString labelFromUdev(const QString& systemRoot, const QString& deviceName) {
    const QString folder = QStringLiteral("/dev/disk/by-label");
    for (const QString& entry : entryNames(systemRoot, folder)) {
        const QString target = linkTarget(systemRoot, joinPath(folder, entry));
        if (!target.isEmpty() && lastComponent(target) == deviceName) return decodeUdevName(entry);
    }
    return {};
}

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

int SystemVolumeQueries::mountIdOf(const QString& folder) {
    const UniqueFd opened(
        ::open(pathToBytes(folder).constData(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!opened) raiseSystemFailure(QStringLiteral("Cannot open"), folder, errno);
    struct statx status {};
    if (::statx(opened.get(), "", AT_EMPTY_PATH, STATX_MNT_ID, &status) == 0 &&
        (status.stx_mask & STATX_MNT_ID) != 0) {
        return static_cast<int>(status.stx_mnt_id);
    }
    const QString fdInfoPath = QStringLiteral("/proc/self/fdinfo/%1").arg(opened.get());
    const std::optional<QByteArray> fdInfo = systemfiles::readWholeFile({}, fdInfoPath);
    if (!fdInfo)
        raiseSystemFailure(QStringLiteral("Cannot tell which mount holds"), folder, ENOENT);
    if (const std::optional<int> id = mountIdFromFdInfo(*fdInfo)) return *id;
    throw Failure(QStringLiteral("Cannot tell which mount holds %1: the kernel does not say")
                      .arg(displayPath(folder)));
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

QString udevVolumeLabel(const QString& systemRoot, const MountRecord& mount) {
    const QString device = blockDeviceFolder(systemRoot, mount);
    return device.isEmpty() ? QString() : labelFromUdev(systemRoot, lastComponent(device));
}

// True when a device above folder in the sysfs device tree sits on the given bus. A recorded
// tree may lack the subsystem links, so the bus's own folder names count too ("usb2", "mmc0").
bool sysfsDeviceOnBus(const QString& systemRoot, const QString& folder, const QString& bus) {
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

}  // namespace platform
