#pragma once

#include <QString>
#include <memory>

#include "driveinfo/drives.h"
#include "platform/drives.h"
#include "platform/linuxdrives.h"
#include "platform/mountinfo.h"

// Drives on this system: a drive is a mounted volume, named by its mount root, or a share a
// file manager opened below its gateway mount. What type a drive is and what it is called are
// told from what /sys, /proc and /dev below systemRoot say (empty for the running system).
namespace driveinfo {

DriveType driveTypeOf(const QString& systemRoot, const platform::MountRecord& mount);

// True when the label can only come from the volume's root (VolumeQueries::fileSystemLabel),
// which may block; false for network volumes, whose roots are never opened for a label.
bool labelNeedsVolumeRoot(const platform::MountRecord& mount);
// udev's /dev/disk/by-label name of the device, else the label the file system reports.
QString volumeLabelOf(const QString& systemRoot, const platform::MountRecord& mount,
                      platform::VolumeQueries& queries);

class LinuxDriveService : public DriveService {
public:
    explicit LinuxDriveService(
        QString systemRoot = {},
        std::shared_ptr<platform::VolumeQueries> queries = platform::systemVolumeQueries());
    std::unique_ptr<Drive> getDrive(const QString& mountRoot) override;

private:
    QString systemRoot_;
    std::shared_ptr<platform::VolumeQueries> queries_;
};

}  // namespace driveinfo
