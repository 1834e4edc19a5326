#pragma once

#include <QString>
#include <QStringList>
#include <optional>

#include <sys/types.h>

#include "platform/failure.h"
#include "platform/uniquefd.h"

namespace platform {

struct MountRecord;

// The FUSE volume a file lies on: its mount id (as in mountinfo, -1 when not known) and its
// device number (the block device's for fuseblk, an anonymous one for any other FUSE type).
struct FuseVolume {
    int mountId = -1;
    dev_t device = 0;
};

// The FUSE volume of an open file; nothing for a file on any other file system. Cheap: it asks
// only the descriptor.
std::optional<FuseVolume> fuseVolumeOf(int descriptor) noexcept;

// The cache below a FUSE volume, as the copy and the run reach it. What lies below a volume is
// decided above this layer, which hands its implementation to LinuxFileService. Both calls
// throw Failure, whose description says what stopped them and what would fix it.
class DeviceCacheService {
public:
    virtual ~DeviceCacheService() = default;
    // After a flushed copy onto the volume, outside the timed copy.
    virtual void dropCacheBelow(const FuseVolume& volume) = 0;
    // After the copy's fsync and close, inside the write time.
    virtual void writeBackBelow(const FuseVolume& volume) = 0;
};

// Where nothing tells what lies below: writes back every cache of the system, which errs long,
// and drops nothing.
class SyncingDeviceCache : public DeviceCacheService {
public:
    void dropCacheBelow(const FuseVolume& volume) override;
    void writeBackBelow(const FuseVolume& volume) override;
};

// What an absolute path names on the system seen from systemRoot, links followed inside it.
struct NamedNode {
    enum class Kind { BlockDevice, RegularFile, Folder, Other };
    Kind kind = Kind::Other;
    dev_t device = 0;  // BlockDevice
    QString hostPath;  // where this process reaches it
};
// Nothing when a component is missing or cannot be looked at.
std::optional<NamedNode> nodeAt(const QString& systemRoot, const QString& path);

// The number sysfs gives the block device behind a mount; nothing when it knows none.
std::optional<dev_t> sysfsDeviceNumber(const QString& systemRoot, const MountRecord& mount);

// The paths inside the system that may be the node of a block device: its name in sysfs, then
// /dev/block/MAJ:MIN.
QStringList deviceNodes(const QString& systemRoot, dev_t device);

// True when path (as this process reaches it) is the node of that block device.
bool isNodeOf(const QString& path, dev_t device);

// Opens for reading the block device numbered device at path, or with device 0 a regular file;
// an empty descriptor when path names anything else. Throws Failure("Cannot open", path, errno).
UniqueFd openCacheOf(const QString& path, dev_t device);
// fsync; throws Failure("Cannot write back", path, errno).
void writeBack(const UniqueFd& file, const QString& path);
// Writes back first (dirty pages stay cached), then drops the cached pages; throws
// Failure("Cannot drop the cache of", path, errno).
void dropCache(const UniqueFd& file, const QString& path);
// sync: writes back every cache of the system.
void writeBackEverything() noexcept;

}  // namespace platform
