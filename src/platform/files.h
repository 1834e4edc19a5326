#pragma once

#include <QString>
#include <string_view>

namespace platform {

enum class PathKind { Missing, RegularFile, SymbolicLink, Other };

enum class CreateMode {
    CreateNew,        // fails if anything exists at the path (O_EXCL)
    ReplaceExisting,  // empties a regular file that is there; never follows a symbolic link
};

struct CopyOptions {
    CreateMode destination = CreateMode::CreateNew;
    // Return only once the data is on the destination's device (fsync before close).
    bool flushToDevice = false;
    // After the flush, drop the destination's cached pages (and, for a FUSE volume on a block
    // device, the device's) so that reading it back reads the device.
    bool dropCachedPages = false;
};

// File services. Each failing call throws platform::Failure naming the path(s) and the
// system's reason. The numbered sequential output mirrors classic "Open ... For Output As #n".
class FileService {
public:
    virtual ~FileService() = default;

    virtual void openForOutput(int fileNumber, const QString& path, CreateMode mode) = 0;
    // Appends text plus CR LF to the file's buffer; one call per line.
    virtual void writeLine(int fileNumber, std::string_view text) = 0;
    virtual void close(int fileNumber) = 0;
    // Closes every open file, ignoring errors; no failure when none is open.
    virtual void closeAll() noexcept = 0;
    // Fails when nothing is at the path. Removes a link itself, never its target.
    virtual void deleteFile(const QString& path) = 0;

    // What is at the path, without following a final symbolic link.
    virtual PathKind pathKind(const QString& path) = 0;
    // True when the path is a regular file (not a link) whose content is nothing but whole
    // repetitions of block; an empty file qualifies.
    virtual bool consistsOfRepeatedBlock(const QString& path, std::string_view block) = 0;

    // Copies the whole file. On failure removes any partial destination it created and
    // throws a Failure naming both paths and the reason.
    virtual void copyFile(const QString& source, const QString& destination,
                          const CopyOptions& options) = 0;
};

}  // namespace platform
