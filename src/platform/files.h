#pragma once

#include <QString>
#include <QtGlobal>
#include <atomic>
#include <exception>
#include <string_view>

#include "platform/devicecache.h"

namespace platform {

// What a run finds at the name of a test file it is about to make.
enum class Claim {
    Free,       // nothing is there
    Reclaimed,  // a leftover of an earlier run (of the running user, one link, its bytes the start
                // of repeated test lines, possibly cut short anywhere): it was deleted
    NotOurs,    // the user's: any other file, an empty one, another user's, a link, a folder,
                // a file with other links
    InUse,      // a test file that another run holds locked
};

struct CopyOptions {
    // Return only once the data is on the destination's device: fsync before close and, on a
    // FUSE volume, the write-back of the block device or image file below it after the close
    // (DeviceCacheService::writeBackBelow).
    bool flushToDevice = false;
    // After the flush, drop the destination's cached pages so that reading it back reads the
    // device. A FUSE volume on a block device or image file needs
    // FileService::dropDeviceCache as well.
    bool dropCachedPages = false;
    // Looked at between chunks of at most 8 MiB: once true the copy removes what it wrote and
    // throws Stopped.
    const std::atomic<bool>* stop = nullptr;
    // Bytes copied so far, stored (relaxed) after each chunk.
    std::atomic<qint64>* bytesDone = nullptr;
};

// A phase that a stop request cut short; what it was writing is already removed.
class Stopped : public std::exception {
public:
    const char* what() const noexcept override { return "stopped"; }
};

// File services of the START run. A run opens its two folders once and names every file
// relative to them, so a folder that is renamed, replaced or unmounted meanwhile is never
// confused with whatever its path names later. The test files the run makes are its own: known
// by device and inode, locked against other runs until their folder is closed, and never
// deleted once their name names anything else. Each failing call throws platform::Failure
// naming the path(s) and the system's reason; on a volume that turned read-only during the run
// the failure says so first. The numbered sequential output mirrors classic
// "Open ... For Output As #n".
class FileService {
public:
    virtual ~FileService() = default;

    // Returns a handle for the calls below. Throws "Cannot open <path>: <reason>".
    virtual int openFolder(const QString& path) = 0;
    // Closes the folder; the run's files in it stay on disk but are no longer its own.
    virtual void closeFolder(int folder) noexcept = 0;
    // False once the folder's path names something else (unmounted, replaced, moved).
    virtual bool folderStillAt(int folder) = 0;
    virtual bool sameFolder(int folder, int other) = 0;

    // Makes way for a new test file at name: see Claim. A leftover is locked before it is
    // judged, and deleted only while the name still names it. Files not ours stay untouched.
    virtual Claim claim(int folder, const QString& name, std::string_view line) = 0;

    // Creates a new file (never reusing one), takes its lock and opens it as fileNumber.
    virtual void createForOutput(int fileNumber, int folder, const QString& name) = 0;
    // Appends text plus CR LF to the file's buffer; one call per line.
    virtual void writeLine(int fileNumber, std::string_view text) = 0;
    virtual void close(int fileNumber) = 0;
    // Closes every open file, ignoring errors; no failure when none is open.
    virtual void closeAll() noexcept = 0;

    // Copies the whole file to a new file of the run's own. A source that is a link, or no longer
    // the file this run made, is refused. On failure removes what it created.
    virtual void copyFile(int fromFolder, const QString& fromName, int toFolder,
                          const QString& toName, const CopyOptions& options) = 0;

    // For the run's file on a FUSE volume backed by a block device or an image file (ntfs-3g,
    // exfat-fuse, fuse2fs), writes back and drops the cache of that device or file, through
    // which the daemon would read; nothing to do when not needed. Throws Failure saying why when
    // what lies below is not known or out of reach.
    virtual void dropDeviceCache(int folder, const QString& name) = 0;

    // Offset of the first byte at which the run's file differs from `size` bytes of repeated
    // line (a missing or extra byte counts), or -1 when it is exactly that.
    virtual qint64 firstDifference(int folder, const QString& name, std::string_view line,
                                   qint64 size) = 0;

    // Deletes the run's own file; when the name no longer names it, leaves whatever is there and
    // throws naming the path.
    virtual void removeOwnFile(int folder, const QString& name) = 0;
    // Deletes every file of the run still at its name, from any thread, ignoring failures.
    virtual void removeOwnFiles() noexcept = 0;
};

}  // namespace platform
