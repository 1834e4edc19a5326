#include "driveinfo/drivefacts.h"

#include <QRegularExpression>
#include <exception>

#include "driveinfo/drivepanel.h"
#include "driveinfo/mountrules.h"
#include "driveinfo/systemdrives.h"
#include "platform/systemfiles.h"

namespace driveinfo {

DeviceModel deviceModelOf(const QString& systemRoot, const platform::MountRecord& mount) {
    using platform::systemfiles::readAttribute;
    const QString device = platform::blockDeviceFolder(systemRoot, mount);
    if (device.isEmpty()) return {};
    const QString hardware = platform::underlyingDiskFolder(systemRoot, device) + "/device";
    DeviceModel found{readAttribute(systemRoot, hardware + QStringLiteral("/vendor")),
                      readAttribute(systemRoot, hardware + QStringLiteral("/model"))};
    // A memory card tells its product name instead.
    if (found.model.isEmpty()) found.model = readAttribute(systemRoot, hardware + "/name");
    // A bus's number for the maker (virtio's "0x1af4") names nobody a user knows.
    static const QRegularExpression number(QStringLiteral("^0x[0-9a-fA-F]+$"));
    if (number.match(found.vendor).hasMatch()) found.vendor.clear();
    return found;
}

DriveFacts driveFactsOf(const QString& mountRoot, const QString& systemRoot,
                        std::shared_ptr<platform::VolumeQueries> queries) {
    DriveFacts facts;
    facts.mountPoint = mountRoot;
    try {
        // The mount reached at the root, as a path there reaches it.
        for (const platform::MountRecord& mount :
             reachableMounts(platform::readMountTable(systemRoot))) {
            if (mount.mountPoint != mountRoot) continue;
            facts.fileSystem = mount.fileSystemType;
            const DeviceModel device = deviceModelOf(systemRoot, mount);
            facts.vendor = device.vendor;
            facts.model = device.model;
        }
        LinuxDriveService drives(systemRoot, queries);
        const std::unique_ptr<Drive> drive = drives.getDrive(mountRoot);
        facts.type = DrivePanel::driveTypeText(drive->driveType());
        facts.volumeName = drive->volumeName();
        facts.totalBytes = drive->totalSize();
        facts.freeBytes = drive->freeSpace();
    } catch (const std::exception&) {
        // A record without the facts that could not be read is still a record of the run.
    }
    return facts;
}

}  // namespace driveinfo
