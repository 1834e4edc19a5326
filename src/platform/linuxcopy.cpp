#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <optional>
#include <vector>

#include "platform/devicecache.h"
#include "platform/failure.h"
#include "platform/fileprimitives.h"
#include "platform/linuxfiles.h"
#include "platform/paths.h"

// The copy of LinuxFileService: sendfile, flush and the page drop that keep its times true.
namespace platform {

using namespace fileprimitives;

namespace {

constexpr std::size_t copyChunkSize = std::size_t(8) << 20;

enum class CopyEnd { Done, Failed, Stopped, CannotSplice };

struct Progress {
    const CopyOptions& options;
    bool stopRequested() const {
        return options.stop && options.stop->load(std::memory_order_relaxed);
    }
    void advance(qint64 bytes) const {
        if (options.bytesDone)
            options.bytesDone->store(options.bytesDone->load(std::memory_order_relaxed) + bytes,
                                     std::memory_order_relaxed);
    }
};

// sendfile really moves the bytes; copy_file_range may clone or copy on the server instead.
CopyEnd sendAll(int input, int output, const Progress& progress, int& error) {
    bool anyBytes = false;
    for (;;) {
        if (progress.stopRequested()) return CopyEnd::Stopped;
        const ssize_t sent = ::sendfile(output, input, nullptr, copyChunkSize);
        if (sent > 0) {
            anyBytes = true;
            progress.advance(sent);
        } else if (sent == 0) {
            return CopyEnd::Done;
        } else if (errno == EINTR) {
            continue;
        } else if ((errno == EINVAL || errno == ENOSYS) && !anyBytes) {
            return CopyEnd::CannotSplice;
        } else {
            error = errno;
            return CopyEnd::Failed;
        }
    }
}

// Plain reads and writes, for file systems that cannot splice.
CopyEnd readAndWriteAll(int input, int output, const Progress& progress, int& error) {
    std::vector<char> buffer(copyChunkSize);
    for (;;) {
        if (progress.stopRequested()) return CopyEnd::Stopped;
        const ssize_t got = readFully(input, buffer.data(), buffer.size());
        if (got == 0) return CopyEnd::Done;
        if (got < 0 || !writeAll(output, buffer.data(), std::size_t(got))) {
            error = errno;
            return CopyEnd::Failed;
        }
        progress.advance(got);
    }
}

// Moves every byte in chunks, looking at the stop request between them, then flushes and drops
// as asked. On failure error and reason say why.
CopyEnd copyContent(int input, int output, const CopyOptions& options, int& error,
                    QString& reason) {
    const Progress progress{options};
    CopyEnd end = sendAll(input, output, progress, error);
    if (end == CopyEnd::CannotSplice) end = readAndWriteAll(input, output, progress, error);
    if (end == CopyEnd::Done && options.flushToDevice && ::fsync(output) != 0) {
        error = errno;
        end = CopyEnd::Failed;
    }
    if (end == CopyEnd::Failed) reason = systemReason(error);
    if (end != CopyEnd::Done || !options.dropCachedPages) return end;
    // After the flush the pages are clean, so the kernel can really let them go. Pages it kept
    // would make the read time one of memory.
    error = ::posix_fadvise(output, 0, 0, POSIX_FADV_DONTNEED);
    if (error == 0) return CopyEnd::Done;
    reason = QStringLiteral("cannot drop the copy's cached pages: %1").arg(systemReason(error));
    return CopyEnd::Failed;
}

}  // namespace

UniqueFd LinuxFileService::openCopySource(const HeldFile& source, const QString& action,
                                          const QString& shownPath) {
    const FolderRef from = folderOf(source.folder);
    const QByteArray nameBytes = pathToBytes(source.name);
    // O_NONBLOCK keeps the open from hanging on a FIFO, which is then refused as not regular.
    UniqueFd input(::openat(from->descriptor.get(), nameBytes.constData(),
                            O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
    if (!input) {
        const int error = errno;
        throw Failure(action, shownPath, error,
                      openFailureReasonAt(from->descriptor.get(), nameBytes, error));
    }
    struct stat info {};
    if (::fstat(input.get(), &info) != 0 || !clearNonBlocking(input.get()))
        throw Failure(action, shownPath, errno, systemReason(errno));
    if (!S_ISREG(info.st_mode))
        throw Failure(action, shownPath, 0, QStringLiteral("Not a regular file"));
    if (info.st_dev != dev_t(source.identity.device) || info.st_ino != ino_t(source.identity.inode))
        throw Failure(action, shownPath, 0, QStringLiteral("It was replaced since it was written"));
    return input;
}

HeldFile LinuxFileService::copyFile(const HeldFile& source, int toFolder, const QString& toName,
                                    const CopyOptions& options, const CreatedHook& created) {
    const QString sourcePath = joinPath(folderOf(source.folder)->path, source.name);
    const QString destination = joinPath(folderOf(toFolder)->path, toName);
    // "Cannot copy <source> to <destination>: <reason>", kept as action, path and errno.
    const QString action = QStringLiteral("Cannot copy %1 to").arg(displayPath(sourcePath));
    UniqueFd input = openCopySource(source, action, destination);
    UniqueFd output;
    HeldFile held = createNew(toFolder, toName, action, created, output);

    int error = 0;
    QString reason;
    const CopyEnd end = copyContent(input.get(), output.get(), options, error, reason);
    input.reset();
    const std::optional<FuseVolume> volume =
        end == CopyEnd::Done && options.flushToDevice ? fuseVolumeOf(output.get()) : std::nullopt;
    // A network file system may report a failed write only at the close.
    const int closeError = output.close();
    if (end == CopyEnd::Done && closeError == 0) {
        // A FUSE daemon's own writes may still wait in the cache of the device below it, some
        // made only at the close (fusefat writes its FAT then).
        try {
            if (volume) deviceCache_->writeBackBelow(*volume);
            return held;
        } catch (const Failure& failure) {
            reason = failure.description();
        }
    } else if (end == CopyEnd::Done) {
        error = closeError;
        reason = systemReason(closeError);
    }
    // What this call wrote is not a whole test file: it goes again, by its identity.
    removeQuietly(held);
    if (end == CopyEnd::Stopped) throw Stopped();
    throw Failure(action, destination, error, reason);
}

}  // namespace platform
