#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <vector>

#include "platform/devicecache.h"
#include "platform/failure.h"
#include "platform/fileprimitives.h"
#include "platform/linuxfiles.h"
#include "platform/paths.h"

// The copy of LinuxFileService: sendfile, flush and the cache drops that keep its times true.
namespace platform {

using namespace fileprimitives;

namespace {

constexpr std::size_t copyChunkSize = std::size_t(8) << 20;

enum class CopyEnd { Done, Failed, Stopped };

// Moves every byte from input to output in chunks, looking at the stop request between them.
// sendfile really moves the bytes; copy_file_range may clone or copy on the server instead.
CopyEnd copyContent(int input, int output, const CopyOptions& options, int& error) {
    const auto stopRequested = [&] {
        return options.stop && options.stop->load(std::memory_order_relaxed);
    };
    const auto advance = [&](qint64 bytes) {
        if (options.bytesDone)
            options.bytesDone->store(options.bytesDone->load(std::memory_order_relaxed) + bytes,
                                     std::memory_order_relaxed);
    };
    bool copied = false;
    bool anyBytes = false;
    while (!copied) {
        if (stopRequested()) return CopyEnd::Stopped;
        const ssize_t sent = ::sendfile(output, input, nullptr, copyChunkSize);
        if (sent > 0) {
            anyBytes = true;
            advance(sent);
        } else if (sent == 0) {
            copied = true;
        } else if (errno == EINTR) {
            continue;
        } else if ((errno == EINVAL || errno == ENOSYS) && !anyBytes) {
            break;  // this file system cannot splice; fall back to plain reads and writes
        } else {
            error = errno;
            return CopyEnd::Failed;
        }
    }
    if (!copied) {
        std::vector<char> buffer(copyChunkSize);
        for (;;) {
            if (stopRequested()) return CopyEnd::Stopped;
            const ssize_t got = readFully(input, buffer.data(), buffer.size());
            if (got == 0) break;
            if (got < 0 || !writeAll(output, buffer.data(), std::size_t(got))) {
                error = errno;
                return CopyEnd::Failed;
            }
            advance(got);
        }
    }
    if (options.flushToDevice && ::fsync(output) != 0) {
        error = errno;
        return CopyEnd::Failed;
    }
    // After the flush the pages are clean, so the kernel can really let them go.
    if (options.dropCachedPages) ::posix_fadvise(output, 0, 0, POSIX_FADV_DONTNEED);
    return CopyEnd::Done;
}

// Opened input checked to be a regular file and made blocking again; reason set otherwise.
bool checkInput(int input, struct stat& info, QString& reason) {
    if (::fstat(input, &info) != 0 || !clearNonBlocking(input)) {
        reason = systemReason(errno);
    } else if (!S_ISREG(info.st_mode)) {
        reason = QStringLiteral("Not a regular file");
    }
    return reason.isEmpty();
}

}  // namespace

void LinuxFileService::copyFile(int fromFolder, const QString& fromName, int toFolder,
                                const QString& toName, const CopyOptions& options) {
    const Folder from = folderOf(fromFolder);
    const QString source = joinPath(from.path, fromName);
    const QString destination = joinPath(folderOf(toFolder).path, toName);
    const auto fail = [&](const QString& reason) {
        throw Failure(QStringLiteral("Cannot copy %1 to %2: %3")
                          .arg(displayPath(source), displayPath(destination), reason));
    };

    // O_NONBLOCK keeps the open from hanging on a FIFO, which is then refused as not regular.
    const QByteArray sourceName = nativePath(fromName);
    const int input = ::openat(from.descriptor, sourceName.constData(),
                               O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (input < 0) fail(openFailureReasonAt(from.descriptor, sourceName, errno));
    struct stat sourceInfo {};
    QString reason;
    if (checkInput(input, sourceInfo, reason)) {
        std::lock_guard lock(mutex_);
        const OwnFile* own = findOwn(fromFolder, fromName);
        if (own && (own->device != sourceInfo.st_dev || own->inode != sourceInfo.st_ino))
            reason = QStringLiteral("It is no longer the file this run wrote");
    }
    if (!reason.isEmpty()) {
        ::close(input);
        fail(reason);
    }

    const int output = createOwn(toFolder, toName, reason);
    if (output < 0) {
        ::close(input);
        fail(reason);
    }
    int error = 0;
    const CopyEnd end = copyContent(input, output, options, error);
    ::close(input);
    if (::close(output) != 0 && errno != EINTR && end == CopyEnd::Done) error = errno;
    if (end == CopyEnd::Done && error == 0) return;
    // What this call wrote is not a whole test file: it goes again, by its identity.
    {
        std::lock_guard lock(mutex_);
        int ignored = 0;
        if (OwnFile* own = findOwn(toFolder, toName)) unlinkOwn(*own, ignored);
    }
    forgetOwn(toFolder, toName);
    if (end == CopyEnd::Stopped) throw Stopped();
    fail(systemReason(error));
}

void LinuxFileService::copyFile(const QString& source, const QString& destination,
                                const CopyOptions& options) {
    const auto fail = [&](const QString& reason) {
        throw Failure(QStringLiteral("Cannot copy %1 to %2: %3")
                          .arg(displayPath(source), displayPath(destination), reason));
    };

    const int input = ::open(nativePath(source).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (input < 0) fail(systemReason(errno));
    struct stat sourceInfo {};
    QString reason;
    if (!checkInput(input, sourceInfo, reason)) {
        ::close(input);
        fail(reason);
    }

    const QByteArray destinationPath = nativePath(destination);
    const int output = openForWriting(destinationPath, options.destination, &sourceInfo, reason);
    if (output < 0) {
        ::close(input);
        fail(reason);
    }
    struct stat destinationInfo {};
    ::fstat(output, &destinationInfo);

    int error = 0;
    const CopyEnd end = copyContent(input, output, options, error);
    if (end == CopyEnd::Done && options.dropCachedPages) dropDeviceCacheOf(output);
    ::close(input);
    if (::close(output) != 0 && errno != EINTR && end == CopyEnd::Done) error = errno;
    if (end == CopyEnd::Done && error == 0) return;
    // The destination is this call's doing; it goes again, but only while the path still names
    // the file it opened.
    removeIfStillTheSame(destinationPath, destinationInfo);
    if (end == CopyEnd::Stopped) throw Stopped();
    fail(systemReason(error));
}

void LinuxFileService::dropDeviceCacheOf(int descriptor) noexcept {
    if (const std::optional<FuseVolume> volume = fuseVolumeOf(descriptor)) {
        try {
            deviceCache_->dropCacheBelow(*volume);
        } catch (...) {
        }
    }
}

}  // namespace platform
