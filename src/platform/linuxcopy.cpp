#include <QFile>
#include <QStringList>

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <cerrno>
#include <vector>

#include "platform/failure.h"
#include "platform/fileprimitives.h"
#include "platform/linuxfiles.h"
#include "platform/systemfiles.h"

// The copy of LinuxFileService: sendfile, flush and the cache drops that keep its times true.
namespace platform {

using namespace fileprimitives;

namespace {

constexpr long fuseSuperMagic = 0x65735546;
constexpr std::size_t copyChunkSize = std::size_t(8) << 20;

}  // namespace

void LinuxFileService::copyFile(const QString& source, const QString& destination,
                                const CopyOptions& options) {
    const auto fail = [&](const QString& reason) {
        throw Failure(QStringLiteral("Cannot copy %1 to %2: %3").arg(source, destination, reason));
    };

    // O_NONBLOCK keeps the open from hanging on a FIFO, which is then refused as not regular.
    const int input = ::open(nativePath(source).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (input < 0) fail(systemReason(errno));
    struct stat sourceInfo {};
    QString sourceProblem;
    if (::fstat(input, &sourceInfo) != 0 || !clearNonBlocking(input)) {
        sourceProblem = systemReason(errno);
    } else if (!S_ISREG(sourceInfo.st_mode)) {
        sourceProblem = QStringLiteral("Not a regular file");
    }
    if (!sourceProblem.isEmpty()) {
        ::close(input);
        fail(sourceProblem);
    }

    const QByteArray destinationPath = nativePath(destination);
    QString reason;
    const int output = openForWriting(destinationPath, options.destination, &sourceInfo, reason);
    if (output < 0) {
        ::close(input);
        fail(reason);
    }
    struct stat destinationInfo {};
    ::fstat(output, &destinationInfo);

    // From here on the destination is this call's doing; a failure removes it again, but only
    // while the path still names the file it opened.
    const auto failAndRemove = [&](int errnoValue) {
        const QString reason = systemReason(errnoValue);
        closeQuietly(input);
        closeQuietly(output);
        removeIfStillTheSame(destinationPath, destinationInfo);
        fail(reason);
    };

    // sendfile really moves the bytes; copy_file_range may clone or copy on the server instead.
    bool copied = false;
    bool anyBytes = false;
    while (!copied) {
        const ssize_t sent = ::sendfile(output, input, nullptr, copyChunkSize);
        if (sent > 0) {
            anyBytes = true;
        } else if (sent == 0) {
            copied = true;
        } else if (errno == EINTR) {
            continue;
        } else if ((errno == EINVAL || errno == ENOSYS) && !anyBytes) {
            break;  // this file system cannot splice; fall back to plain reads and writes
        } else {
            failAndRemove(errno);
        }
    }
    if (!copied) {
        std::vector<char> buffer(copyChunkSize);
        for (;;) {
            const ssize_t got = readFully(input, buffer.data(), buffer.size());
            if (got < 0) failAndRemove(errno);
            if (got == 0) break;
            if (!writeAll(output, buffer.data(), std::size_t(got))) failAndRemove(errno);
        }
    }

    if (options.flushToDevice && ::fsync(output) != 0) failAndRemove(errno);
    if (options.dropCachedPages) {
        // After the flush the pages are clean, so the kernel can really let them go.
        ::posix_fadvise(output, 0, 0, POSIX_FADV_DONTNEED);
        dropBlockDeviceCache(output);
    }
    ::close(input);
    if (::close(output) != 0 && errno != EINTR) {
        const int error = errno;
        removeIfStillTheSame(destinationPath, destinationInfo);
        fail(systemReason(error));
    }
}

// A FUSE daemon on a block device (ntfs-3g, exfat-fuse) reads through the device's own page
// cache, which keeps the data after the file's pages are gone. Dropping the device's clean pages
// needs only read access to the node; without it the read-back may come partly from memory.
void LinuxFileService::dropBlockDeviceCache(int descriptor) noexcept {
    struct statfs volume {};
    struct stat info {};
    if (::fstatfs(descriptor, &volume) != 0 || long(volume.f_type) != fuseSuperMagic) return;
    if (::fstat(descriptor, &info) != 0 || major(info.st_dev) == 0) return;  // no block device

    const QString number = QStringLiteral("%1:%2").arg(major(info.st_dev)).arg(minor(info.st_dev));
    QStringList candidates;
    QByteArray uevent;
    int readError = 0;
    if (systemfiles::readWholeFile(systemRoot_,
                                   QStringLiteral("/sys/dev/block/%1/uevent").arg(number), uevent,
                                   readError)) {
        for (const QByteArray& line : uevent.split('\n')) {
            if (line.startsWith("DEVNAME=")) {
                candidates.append(systemfiles::hostPath(
                    systemRoot_, QStringLiteral("/dev/") + QFile::decodeName(line.mid(8))));
            }
        }
    }
    candidates.append(systemfiles::hostPath(systemRoot_, QStringLiteral("/dev/block/") + number));

    for (const QString& candidate : candidates) {
        const int device =
            ::open(nativePath(candidate).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (device < 0) continue;
        struct stat node {};
        const bool isThatDevice =
            ::fstat(device, &node) == 0 && S_ISBLK(node.st_mode) && node.st_rdev == info.st_dev;
        if (isThatDevice) ::posix_fadvise(device, 0, 0, POSIX_FADV_DONTNEED);
        ::close(device);
        if (isThatDevice) return;
    }
}

}  // namespace platform
