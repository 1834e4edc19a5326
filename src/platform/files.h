#pragma once

#include <QString>
#include <QtGlobal>
#include <atomic>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "platform/uniquefd.h"

namespace platform {

// What the kernel tells of a file that is its own: device and inode number, which a later file
// may get again, and, where the file system keeps them, the birth time (statx) and the inode's
// generation number (FS_IOC_GETVERSION), which a later file at the same inode number differs in.
struct FileIdentity {
    quint64 device = 0;
    quint64 inode = 0;
    bool hasBirth = false;
    qint64 birthSeconds = 0;
    quint32 birthNanoseconds = 0;
    bool hasGeneration = false;
    quint32 generation = 0;
    bool operator==(const FileIdentity&) const = default;
    // Whether it tells this file from a later one at a freed inode number.
    bool lasting() const { return hasBirth || hasGeneration; }
};

// What is at a name, a link not followed.
struct FoundFile {
    bool regular = false;
    quint64 links = 0;
    uint owner = 0;
    qint64 size = 0;
    FileIdentity identity;
    bool lockedByOther = false;  // another holds its lock: a process still at work on it
    FileIdentity folder;         // of the folder it lies in, from the descriptor opened
};

// Reads up to size bytes at offset into data and returns the count, 0 at the end; throws
// Failure when the file cannot be read.
using ByteReader = std::function<qint64(qint64 offset, char* data, qint64 size)>;
// Tells from what a file is and holds whether it may go.
using LeftoverDecision = std::function<bool(const FoundFile&, const ByteReader&)>;

struct LeftoverLook {
    bool present = false;
    FoundFile file;
    bool removed = false;
};

// A file the service created: where it is, what tells it apart from a later file at the same
// name, and a read-only descriptor, shared by the copies of this value, that keeps its lock
// while one of them lives (none in a fake). The last copy to go closes it, which may wait on
// the volume.
struct HeldFile {
    int folder = 0;
    QString name;
    FileIdentity identity;
    std::shared_ptr<const UniqueFd> lock;
};

// Called once a new file exists, before a byte of it is written, with its identity.
using CreatedHook = std::function<void(const FileIdentity&)>;

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

// File services: a caller opens its folders once and names every file relative to them, so a
// folder that is renamed, replaced or unmounted meanwhile is never confused with whatever its
// path names later. A file the service creates is new (never one reused), locked against other
// processes while it is held, and never deleted once its name names anything else. Which file
// is whose is decided above, from the facts handed out here. Each failing call throws
// platform::Failure naming the path(s) and the system's reason, and keeping errno, so that the
// layers above can tell, say, a volume that turned read-only. One output file is open at a time.
class FileService {
public:
    virtual ~FileService() = default;

    // Returns a handle for the calls below. Throws "Cannot open <path>: <reason>".
    virtual int openFolder(const QString& path) = 0;
    virtual void closeFolder(int folder) noexcept = 0;
    // The path the folder was opened at.
    virtual QString folderPath(int folder) const = 0;
    // False once the folder's path names something else (unmounted, replaced, moved).
    virtual bool folderStillAt(int folder) = 0;
    virtual bool sameFolder(int folder, int other) = 0;

    // Looks at what is at name. A regular file is opened, its lock tried, and its facts and bytes
    // handed to decide; when decide says so and the name still names that file with the links
    // it had when judged, it is deleted. Nothing else is ever touched, nor opened.
    virtual LeftoverLook takeLeftover(int folder, const QString& name,
                                      const LeftoverDecision& decide) = 0;

    // Creates a new file, takes its lock and opens it for output; only one is open at a time.
    // When anything fails once the file exists, it is removed again by its identity.
    virtual HeldFile createForOutput(int folder, const QString& name,
                                     const CreatedHook& created) = 0;
    // Appends one line, its line end included, to the output file's buffer; one call per line.
    virtual void writeLine(std::string_view text) = 0;
    virtual void closeOutput() = 0;
    // Closes the output file, if any, ignoring errors.
    virtual void abandonOutput() noexcept = 0;

    // Copies the whole of source to a new file. A source whose name is a link or no longer names
    // the held file is refused. On failure or stop removes what it created, by its identity.
    virtual HeldFile copyFile(const HeldFile& source, int toFolder, const QString& toName,
                              const CopyOptions& options, const CreatedHook& created) = 0;

    // For a held file on a FUSE volume backed by a block device or an image file (ntfs-3g,
    // exfat-fuse, fuse2fs), writes back and drops the cache of that device or file, through
    // which the daemon would read; nothing to do when not needed. Throws Failure saying why when
    // what lies below is not known or out of reach.
    virtual void dropDeviceCache(const HeldFile& file) = 0;

    // A reader of the held file, open for as long as the reader lives; throws Failure
    // ("Cannot read <path>: ...") when it cannot be read.
    virtual ByteReader readHeld(const HeldFile& file) = 0;

    // Lets go of this copy's share of the lock, then deletes it while its name still names it by
    // device and inode; false when it is gone or another file has the name, which is left alone.
    // Throws Failure("Cannot delete <path>: ...") when the system refuses.
    virtual bool removeHeld(HeldFile& file) = 0;
};

}  // namespace platform
