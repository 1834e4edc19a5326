#pragma once

#include <QString>
#include <optional>

#include <sys/types.h>

#include "platform/devicecache.h"

namespace platform {
struct MountRecord;
}

// Whether a read time through a FUSE volume can be true. A FUSE daemon that reads a block device
// (exfat-fuse, ntfs-3g, fuse2fs) or an image file reads through that one's page cache, so
// dropping a file's own pages is not enough for a read-back to come from the drive.
namespace readcache {

// dov-uruvivuz-drop-cache, installed next to the program: <program folder>/../libexec/
// dov-uruvivuz/... (the build tree has the same layout); empty when the program's folder is not
// known.
QString dropCacheHelperPath();
QString dropCacheHelperName();

// What the user is told when the cache below the drive could not be dropped: "The read time of
// <drive> may come partly from memory: " and why.
QString readTimeNotice(const QString& driveShown, const QString& why);

// Tells what lies below a FUSE volume from its mount table entry: fuseblk by its device number,
// any other type by its source when that is the absolute path of a block device or a regular
// file. A block device's cache is written back and dropped by opening its node; only when that
// is not permitted does the drop ask the privileged helper through pkexec, waiting at most
// timeLimitMs for it (the write-back, being timed, syncs instead). An image file's cache is
// reached by opening it for reading. Failures say what stopped the drop and what would fix it,
// worded to follow readTimeNotice's lead.
class CacheBelowFuse : public platform::DeviceCacheService {
public:
    static constexpr int defaultTimeLimitMs = 20000;

    // The mount table, the block-device table, the device nodes and the sources of mounts are
    // read below systemRoot; empty is the running system.
    explicit CacheBelowFuse(QString systemRoot = {}, QString helperPath = dropCacheHelperPath(),
                            int timeLimitMs = defaultTimeLimitMs);

    // Done where nothing needs dropping, as on a network volume, whose server's cache no client
    // reaches; fails where the cache below is out of reach or not known, or where the layer
    // answers from a copy of its own (kio-fuse).
    void dropCacheBelow(const platform::FuseVolume& volume) override;
    // The daemon's own writes may still sit unwritten in the cache below (fusefat's fsync does
    // not reach the device, and it writes its FAT at the close), so this writes back the block
    // device or image file below the volume. Where that one cannot be opened or is not known it
    // writes back every cache of the system (sync), so the write time errs long, never short; not
    // for fuseblk, whose daemons write the device back at the fsync, nor where nothing local lies
    // below (a network volume).
    void writeBackBelow(const platform::FuseVolume& volume) override;
    // Writes back and drops what the page cache holds of a whole block device.
    void dropDeviceCache(dev_t device);

private:
    // What lies below a volume, the one answer both the write-back and the drop act on.
    struct Below {
        enum class Kind { Nothing, BlockDevice, ImageFile, Unknown };
        Kind kind = Kind::Unknown;
        dev_t device = 0;  // BlockDevice
        QString image;     // ImageFile, its path on this system
        QString why;       // Unknown
        // fuseblk: its daemons (exfat-fuse, ntfs-3g) write the device back at the file's fsync.
        bool flushesAtFsync = false;
    };
    Below below(const platform::FuseVolume& volume) const;
    // What an absolute source names: a block device, an image file or a folder; nothing when the
    // source is no path, or names nothing here.
    std::optional<Below> belowSource(const platform::MountRecord& mount) const;
    void dropThroughHelper(const QString& node);
    static void dropImageCache(const QString& image);

    QString systemRoot_;
    QString helperPath_;
    int timeLimitMs_;
};

}  // namespace readcache
