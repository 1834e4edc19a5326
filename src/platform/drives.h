#pragma once

#include <QString>
#include <QtGlobal>
#include <memory>

namespace platform {

// What kind of drive a volume is; the numbers are those of the drive panel's type table.
enum class DriveType {
    Unknown = 0,
    Removable = 1,
    Fixed = 2,
    Network = 3,
    CdRom = 4,
    RamDisk = 5,
};

// A volume as GetDrive returns it. The properties are read when asked and throw Failure
// when the platform cannot read them (for example a volume that is no longer mounted).
class Drive {
public:
    virtual ~Drive() = default;
    virtual DriveType driveType() = 0;
    virtual QString volumeName() = 0;
    virtual double totalSize() = 0;  // bytes
    virtual double freeSpace() = 0;  // bytes available to the user, as df's Avail
};

class DriveService {
public:
    virtual ~DriveService() = default;
    // Takes the mount root of a drive list entry; fails with "Drive <path> is not ready: ..."
    // when nothing is mounted there.
    virtual std::unique_ptr<Drive> getDrive(const QString& mountRoot) = 0;
};

struct VolumeSpace {
    double totalBytes = 0;
    double availableBytes = 0;  // what an unprivileged user may still write, as df's Avail
    double totalFiles = 0;      // file entries (inodes); 0 where the volume does not count them
    double availableFiles = 0;  // as df -i's IFree for an unprivileged user
    quint64 device = 0;         // the device number of the path's volume; 0 when not known
};

// The system calls behind a drive's properties, apart so that tests can replace them. Paths are
// mount roots as the running system sees them.
class VolumeQueries {
public:
    virtual ~VolumeQueries() = default;
    // The figures of the volume that holds the path (a mount root or any folder on it). Throws
    // Failure naming the path and the system's reason.
    virtual VolumeSpace space(const QString& mountRoot) = 0;
    // The label the file system itself keeps; empty when it has none or cannot tell.
    virtual QString fileSystemLabel(const QString& mountRoot) = 0;
};

}  // namespace platform
