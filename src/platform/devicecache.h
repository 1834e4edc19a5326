#pragma once

#include <QString>
#include <QStringList>
#include <optional>

#include <sys/types.h>

namespace platform {

struct MountRecord;

// Whether the cache below a volume was dropped; when not, `why` says what stopped it and what
// would fix it, worded to follow "The read time of <drive> may come partly from memory: ".
struct CacheDrop {
    bool done = false;
    QString why;
};

// The FUSE volume a file lies on: its mount id (as in mountinfo, -1 when not known) and its
// device number (the block device's for fuseblk, an anonymous one for any other FUSE type).
struct FuseVolume {
    int mountId = -1;
    dev_t device = 0;
};

// The FUSE volume of an open file; nothing for a file on any other file system. Cheap: it asks
// only the descriptor.
std::optional<FuseVolume> fuseVolumeOf(int descriptor) noexcept;

// A FUSE daemon that reads a block device (exfat-fuse, ntfs-3g, fuse2fs) or an image file reads
// through that one's page cache, so dropping a file's own pages is not enough for a read-back to
// come from the drive.
class DeviceCacheService {
public:
    virtual ~DeviceCacheService() = default;
    // After a flushed copy onto the volume: writes back and drops the cache of the block device
    // or image file below it. Done where nothing needs dropping, as on a network volume, whose
    // server's cache no client reaches; not done where the cache below is out of reach or not
    // known, or where the layer answers from a copy of its own (kio-fuse).
    virtual CacheDrop dropCacheBelow(const FuseVolume& volume) = 0;
    // After the copy's fsync and close, inside the write time: the daemon's own writes may still
    // sit unwritten in the cache below (fusefat's fsync does not reach the device, and it writes
    // its FAT at the close), so this writes back the block device or image file below the volume.
    // Where that one cannot be opened or is not known it writes back every cache of the system
    // (sync), so the write time errs long, never short; not for fuseblk, whose daemons write the
    // device back at the fsync, nor where nothing local lies below (a network volume). Returns an
    // empty text, or why the write-back failed, naming what it wrote back.
    virtual QString writeBackBelow(const FuseVolume& volume) = 0;
};

// Tells what lies below a FUSE volume from its mount table entry: fuseblk by its device number,
// any other type by its source when that is the absolute path of a block device or a regular
// file. A block device's cache is written back and dropped by opening its node; only when that
// is not permitted does the drop ask the privileged helper dov-uruvivuz-drop-cache through
// pkexec, waiting at most timeLimitMs for it (the write-back, being timed, syncs instead). An
// image file's cache is reached by opening it for reading.
class LinuxDeviceCache : public DeviceCacheService {
public:
    static constexpr int defaultTimeLimitMs = 20000;

    // The helper installed next to the program: <program folder>/../libexec/dov-uruvivuz/...
    // (the build tree has the same layout).
    static QString defaultHelperPath();

    // The mount table, the block-device table, the device nodes and the sources of mounts are
    // read below systemRoot; empty is the running system. pkexec is looked up on PATH when it is
    // needed.
    explicit LinuxDeviceCache(QString systemRoot = {}, QString helperPath = defaultHelperPath(),
                              int timeLimitMs = defaultTimeLimitMs);

    CacheDrop dropCacheBelow(const FuseVolume& volume) override;
    QString writeBackBelow(const FuseVolume& volume) override;
    // Writes back and drops what the page cache holds of a whole block device.
    CacheDrop dropDeviceCache(dev_t device);

private:
    // What lies below a volume, the one answer both the write-back and the drop act on.
    struct Below {
        enum class Kind { Nothing, BlockDevice, ImageFile, Unknown };
        Below(Kind kind, dev_t device = 0, QString image = {}, QString why = {})
            : kind(kind), device(device), image(std::move(image)), why(std::move(why)) {}
        static Below unknown(QString why) { return {Kind::Unknown, 0, {}, std::move(why)}; }
        static Below fuseblk(dev_t device) {
            Below result(Kind::BlockDevice, device);
            result.flushesAtFsync = true;
            return result;
        }
        Kind kind;
        dev_t device;   // BlockDevice
        QString image;  // ImageFile, its path on this system
        QString why;    // Unknown, worded as CacheDrop::why
        // fuseblk: its daemons (exfat-fuse, ntfs-3g) write the device back at the file's fsync.
        bool flushesAtFsync = false;
    };
    Below below(const FuseVolume& volume) const;
    // What an absolute source names: a block device, an image file or a folder; nothing when the
    // source is no path, or names nothing here.
    std::optional<Below> belowSource(const MountRecord& mount) const;
    // The paths that may be the node of the block device: its name in sysfs, then /dev/block.
    QStringList deviceNodes(dev_t device) const;
    CacheDrop dropThroughHelper(const QString& node);
    CacheDrop dropImageCache(const QString& image);

    QString systemRoot_;
    QString helperPath_;
    int timeLimitMs_;
};

}  // namespace platform
