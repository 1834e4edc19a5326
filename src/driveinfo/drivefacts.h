#pragma once

#include <QString>
#include <memory>

#include "platform/drives.h"
#include "platform/linuxdrives.h"
#include "platform/mountinfo.h"

namespace driveinfo {

// What a record of a run says of its drive. A fact the system does not tell stays empty (or
// negative for the byte counts).
struct DriveFacts {
    QString mountPoint;
    QString volumeName;
    QString type;  // as the window's drive panel shows it: "Removable Disk", "RAM DISK", ...
    QString fileSystem;
    QString vendor = {};
    QString model = {};
    double totalBytes = -1.0;
    double freeBytes = -1.0;
};

struct DeviceModel {
    QString vendor = {};
    QString model = {};
};

// The vendor and model the kernel reports for the disk beneath the mount (through a partition,
// LUKS or LVM), read from sysfs below systemRoot; empty where it reports none.
DeviceModel deviceModelOf(const QString& systemRoot, const platform::MountRecord& mount);

// The facts of the drive at mountRoot, read from the mount table, sysfs and the volume below
// systemRoot (empty for the running system). Never throws: what cannot be read stays empty.
DriveFacts driveFactsOf(
    const QString& mountRoot, const QString& systemRoot = {},
    std::shared_ptr<platform::VolumeQueries> queries = platform::systemVolumeQueries());

}  // namespace driveinfo
