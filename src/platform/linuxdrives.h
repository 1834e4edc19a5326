#pragma once

#include <QString>
#include <memory>

#include "platform/drives.h"
#include "platform/mountinfo.h"

// What the system tells of drives: their space and labels, and the block devices behind mounts.
// Everything read from /sys, /proc and /dev comes from below systemRoot (empty for the running
// system).
namespace platform {

// statvfs and FS_IOC_GETFSLABEL on the running system.
class SystemVolumeQueries : public VolumeQueries {
public:
    VolumeSpace space(const QString& mountRoot) override;
    QString fileSystemLabel(const QString& mountRoot) override;
    // statx's STATX_MNT_ID, or on kernels before 5.8 the mnt_id of /proc/self/fdinfo.
    int mountIdOf(const QString& folder) override;
};

// One process-wide instance; it keeps no state. Shared, since a query thread that is given up
// keeps it for as long as it runs.
std::shared_ptr<VolumeQueries> systemVolumeQueries();

// The sysfs folder of the block device behind a mount ("/sys/devices/.../block/sdb/sdb1"), or
// an empty string when it has none or sysfs does not know it.
QString blockDeviceFolder(const QString& systemRoot, const MountRecord& mount);

// The disk a block device lives on: a partition's disk, and for device-mapper, LUKS or md the
// disk beneath it (the first of its slaves).
QString underlyingDiskFolder(const QString& systemRoot, const QString& deviceFolder);

// True when a device above folder in the sysfs device tree sits on the bus ("usb", "mmc").
bool sysfsDeviceOnBus(const QString& systemRoot, const QString& folder, const QString& bus);

// udev's /dev/disk/by-label name of the device; empty when udev names none.
QString udevVolumeLabel(const QString& systemRoot, const MountRecord& mount);
// Decodes udev's \xHH escapes in a /dev/disk/by-label name.
QString decodeUdevName(const QString& name);

}  // namespace platform
