#pragma once

#include <QString>
#include <memory>

#include "platform/failure.h"

// The drives a drive list offers, as the drive panel reads them.
namespace driveinfo {

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
class NotMounted : public platform::Failure {
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

}  // namespace driveinfo
