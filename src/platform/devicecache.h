#pragma once

#include <QString>
#include <optional>

#include <sys/types.h>

namespace platform {

// Whether a block device's cached pages were dropped; when not, `why` says what stopped it and
// what would fix it, worded to follow "The read time of <drive> may come partly from memory: ".
struct CacheDrop {
    bool done = false;
    QString why;
};

// Drops what the page cache holds of a whole block device. A FUSE daemon on a block device
// (exfat-fuse, ntfs-3g) reads through that cache, so dropping a file's own pages is not enough.
class DeviceCacheService {
public:
    virtual ~DeviceCacheService() = default;
    virtual CacheDrop dropDeviceCache(dev_t device) = 0;
};

// The block device under an open file on a FUSE volume backed by one (fuseblk); nothing for any
// other file, including plain FUSE volumes.
std::optional<dev_t> fuseBlockDeviceOf(int descriptor) noexcept;

// Opens the device node itself; only when that is not permitted does it ask the privileged helper
// dov-uruvivuz-drop-cache through pkexec, waiting at most timeLimitMs for it.
class LinuxDeviceCache : public DeviceCacheService {
public:
    static constexpr int defaultTimeLimitMs = 20000;

    // The helper installed next to the program: <program folder>/../libexec/dov-uruvivuz/...
    // (the build tree has the same layout).
    static QString defaultHelperPath();

    // The block-device table and the device nodes are read below systemRoot; empty is the
    // running system. pkexec is looked up on PATH when it is needed.
    explicit LinuxDeviceCache(QString systemRoot = {}, QString helperPath = defaultHelperPath(),
                              int timeLimitMs = defaultTimeLimitMs);

    CacheDrop dropDeviceCache(dev_t device) override;

private:
    CacheDrop dropThroughHelper(const QString& node);

    QString systemRoot_;
    QString helperPath_;
    int timeLimitMs_;
};

}  // namespace platform
