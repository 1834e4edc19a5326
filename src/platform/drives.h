#pragma once

#include <QString>
#include <QtGlobal>
#include <memory>

#include "platform/failure.h"

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

// Nothing is mounted at the root a drive was asked for, or no longer the volume that was.
class NotMounted : public Failure {
public:
    explicit NotMounted(const QString& mountRoot);
    const QString& mountRoot() const { return mountRoot_; }

private:
    QString mountRoot_;
};

class DriveService {
public:
    virtual ~DriveService() = default;
    // Takes the mount root of a drive list entry; throws NotMounted when nothing is mounted
    // there (or the root is empty).
    virtual std::unique_ptr<Drive> getDrive(const QString& mountRoot) = 0;
};

// Whether a drive answers at all: a stalled FUSE daemon or a lost server blocks every query of
// its volume in the kernel. Asked by the run before it opens the drive.
class DriveLiveness {
public:
    virtual ~DriveLiveness() = default;
    // Throws Failure when the drive at mountRoot does not answer within a few seconds.
    virtual void checkAnswers(const QString& mountRoot) = 0;
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
    // The kernel's id of the mount that holds the folder, the first field of its mountinfo
    // line. Throws Failure naming the folder and the system's reason.
    virtual int mountIdOf(const QString& folder) = 0;
};

}  // namespace platform
