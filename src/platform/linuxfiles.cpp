#include "platform/linuxfiles.h"

#include <QFile>

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/failure.h"

namespace platform {

namespace {

constexpr long fuseSuperMagic = 0x65735546;
constexpr std::size_t copyChunkSize = std::size_t(8) << 20;
constexpr std::size_t compareChunkSize = std::size_t(1) << 20;

QByteArray nativePath(const QString& path) {
    return QFile::encodeName(path);
}

template <std::size_t size>
inline void copyFixed(char* to, const char* from) {
    std::memcpy(to, from, size);
}

constexpr std::size_t longestQuickLine = 64;

// Copies a line of at most longestQuickLine bytes. For a short line a call into libc's memcpy
// costs more than the copy itself; overlapping fixed-size moves compile to a few register loads
// and stores.
inline void copyShortLine(char* to, const char* from, std::size_t size) {
    if (size >= 32) {
        copyFixed<32>(to, from);
        copyFixed<32>(to + size - 32, from + size - 32);
    } else if (size >= 16) {
        copyFixed<16>(to, from);
        copyFixed<16>(to + size - 16, from + size - 16);
    } else if (size >= 8) {
        copyFixed<8>(to, from);
        copyFixed<8>(to + size - 8, from + size - 8);
    } else if (size >= 4) {
        copyFixed<4>(to, from);
        copyFixed<4>(to + size - 4, from + size - 4);
    } else if (size > 0) {
        to[0] = from[0];
        to[size / 2] = from[size / 2];
        to[size - 1] = from[size - 1];
    }
}

// Writes everything or returns false with errno set.
bool writeAll(int descriptor, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(descriptor, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += written;
        size -= std::size_t(written);
    }
    return true;
}

// Reads until the buffer is full or the file ends; returns the count or -1 with errno set.
ssize_t readFully(int descriptor, char* data, std::size_t size) {
    std::size_t total = 0;
    while (total < size) {
        const ssize_t got = ::read(descriptor, data + total, size - total);
        if (got < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (got == 0) break;
        total += std::size_t(got);
    }
    return ssize_t(total);
}

void closeQuietly(int descriptor) {
    if (descriptor >= 0) ::close(descriptor);
}

bool clearNonBlocking(int descriptor) {
    const int flags = ::fcntl(descriptor, F_GETFL);
    return flags >= 0 && ::fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Removes the file at path only while it is still the one described by `opened`.
void removeIfStillTheSame(const QByteArray& path, const struct stat& opened) {
    struct stat now {};
    if (::lstat(path.constData(), &now) == 0 && sameFile(now, opened)) ::unlink(path.constData());
}

// Why an open with O_NOFOLLOW failed, in words a user can act on.
QString openFailureReason(const QByteArray& path, int errnoValue) {
    struct stat info {};
    if (::lstat(path.constData(), &info) == 0) {
        if (errnoValue == ELOOP && S_ISLNK(info.st_mode))
            return QStringLiteral("Is a symbolic link");
        // A FIFO without a reader or a socket answers ENXIO, which would read as a device fault.
        if (errnoValue == ENXIO && !S_ISREG(info.st_mode))
            return QStringLiteral("Not a regular file");
    }
    return systemReason(errnoValue);
}

// Opens a file for writing as CreateMode asks. With ReplaceExisting the file is emptied only
// after it proved to be a regular file and not the file `differentFrom`; a link, a device or a
// FIFO at the path is left exactly as it was. Returns -1 with `reason` set on failure.
int openForWriting(const QByteArray& path, CreateMode mode, const struct stat* differentFrom,
                   QString& reason) {
    // O_NONBLOCK keeps the open itself from hanging on a FIFO; it is cleared again below.
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
    if (mode == CreateMode::CreateNew) flags |= O_EXCL;
    const int descriptor = ::open(path.constData(), flags, 0666);
    if (descriptor < 0) {
        reason = openFailureReason(path, errno);
        return -1;
    }
    struct stat info {};
    if (::fstat(descriptor, &info) != 0) {
        reason = systemReason(errno);
    } else if (!S_ISREG(info.st_mode)) {
        reason = QStringLiteral("Not a regular file");
    } else if (differentFrom && sameFile(info, *differentFrom)) {
        reason = QStringLiteral("Source and destination are the same file");
    } else if (!clearNonBlocking(descriptor)) {
        reason = systemReason(errno);
    } else if (mode == CreateMode::ReplaceExisting && info.st_size != 0 &&
               ::ftruncate(descriptor, 0) != 0) {
        reason = systemReason(errno);
    } else {
        return descriptor;
    }
    ::close(descriptor);
    return -1;
}

}  // namespace

LinuxFileService::LinuxFileService(QString sysRoot, QString devRoot)
    : sysRoot_(std::move(sysRoot)), devRoot_(std::move(devRoot)) {}

LinuxFileService::~LinuxFileService() {
    closeAll();
}

LinuxFileService::OutputFile& LinuxFileService::openFile(int fileNumber) {
    if (unsigned(fileNumber) - 1u >= unsigned(maxFileNumber)) [[unlikely]] {
        throw Failure(QStringLiteral("Bad file number %1").arg(fileNumber));
    }
    OutputFile& file = files_[std::size_t(fileNumber)];
    if (file.descriptor < 0) [[unlikely]] {
        throw Failure(QStringLiteral("File number %1 is not open").arg(fileNumber));
    }
    return file;
}

void LinuxFileService::openForOutput(int fileNumber, const QString& path, CreateMode mode) {
    if (unsigned(fileNumber) - 1u >= unsigned(maxFileNumber)) {
        throw Failure(
            QStringLiteral("Cannot create %1: bad file number %2").arg(path).arg(fileNumber));
    }
    OutputFile& file = files_[std::size_t(fileNumber)];
    if (file.descriptor >= 0) {
        throw Failure(QStringLiteral("Cannot create %1: file number %2 is already open for %3")
                          .arg(path)
                          .arg(fileNumber)
                          .arg(file.path));
    }
    QString reason;
    const int descriptor = openForWriting(nativePath(path), mode, nullptr, reason);
    if (descriptor < 0) throw Failure(QStringLiteral("Cannot create %1: %2").arg(path, reason));
    file.descriptor = descriptor;
    file.path = path;
    file.buffer.reset(new char[outputBufferSize]);
    file.used = 0;
}

void LinuxFileService::writeLine(int fileNumber, std::string_view text) {
    // The create phase calls this millions of times and its time is shown as the machine's
    // speed: the common case is a range check, a room check and a copy. A file that is not open
    // has no room, so it takes the slow path, which also reports the errors; so do long lines.
    if (unsigned(fileNumber) - 1u < unsigned(maxFileNumber) && text.size() <= longestQuickLine)
        [[likely]] {
        OutputFile& file = files_[std::size_t(fileNumber)];
        const std::size_t lineSize = text.size() + 2;
        if (lineSize <= outputBufferSize - file.used) [[likely]] {
            char* end = file.buffer.get() + file.used;
            copyShortLine(end, text.data(), text.size());
            end[text.size()] = '\r';
            end[text.size() + 1] = '\n';
            file.used += lineSize;
            return;
        }
    }
    writeLineThroughFlush(fileNumber, text);
}

void LinuxFileService::writeLineThroughFlush(int fileNumber, std::string_view text) {
    OutputFile& file = openFile(fileNumber);
    append(file, text.data(), text.size());
    append(file, "\r\n", 2);
}

void LinuxFileService::append(OutputFile& file, const char* data, std::size_t size) {
    while (size > 0) {
        if (file.used == outputBufferSize) flushBuffer(file);
        const std::size_t part = std::min(size, outputBufferSize - file.used);
        std::memcpy(file.buffer.get() + file.used, data, part);
        file.used += part;
        data += part;
        size -= part;
    }
}

void LinuxFileService::flushBuffer(OutputFile& file) {
    const std::size_t size = file.used;
    // What could not be written is gone either way; keeping it would only fail again on close.
    file.used = 0;
    if (!writeAll(file.descriptor, file.buffer.get(), size)) {
        raiseSystemFailure(QStringLiteral("Cannot write"), file.path, errno);
    }
}

void LinuxFileService::close(int fileNumber) {
    if (unsigned(fileNumber) - 1u >= unsigned(maxFileNumber)) {
        throw Failure(QStringLiteral("Bad file number %1").arg(fileNumber));
    }
    OutputFile& file = files_[std::size_t(fileNumber)];
    if (file.descriptor < 0) return;  // closing a number that is not open does nothing

    int error = 0;
    if (file.used > 0 && !writeAll(file.descriptor, file.buffer.get(), file.used)) error = errno;
    // Network file systems may report a failed write only here.
    if (::close(file.descriptor) != 0 && error == 0 && errno != EINTR) error = errno;
    const QString path = file.path;
    file = OutputFile{};
    if (error != 0) raiseSystemFailure(QStringLiteral("Cannot write"), path, error);
}

void LinuxFileService::closeAll() noexcept {
    for (OutputFile& file : files_) {
        if (file.descriptor < 0) continue;
        if (file.used > 0) writeAll(file.descriptor, file.buffer.get(), file.used);
        ::close(file.descriptor);
        file = OutputFile{};
    }
}

void LinuxFileService::deleteFile(const QString& path) {
    if (::unlink(nativePath(path).constData()) != 0) {
        raiseSystemFailure(QStringLiteral("Cannot delete"), path, errno);
    }
}

PathKind LinuxFileService::pathKind(const QString& path) {
    struct stat info {};
    if (::lstat(nativePath(path).constData(), &info) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) return PathKind::Missing;
        raiseSystemFailure(QStringLiteral("Cannot examine"), path, errno);
    }
    if (S_ISREG(info.st_mode)) return PathKind::RegularFile;
    if (S_ISLNK(info.st_mode)) return PathKind::SymbolicLink;
    return PathKind::Other;
}

bool LinuxFileService::consistsOfRepeatedBlock(const QString& path, std::string_view block) {
    const int descriptor =
        ::open(nativePath(path).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (descriptor < 0) {
        // Nothing there, or a link: certainly not a file of repeated blocks.
        if (errno == ENOENT || errno == ENOTDIR || errno == ELOOP) return false;
        raiseSystemFailure(QStringLiteral("Cannot read"), path, errno);
    }
    struct stat info {};
    const bool regular = ::fstat(descriptor, &info) == 0 && S_ISREG(info.st_mode);
    if (!regular || info.st_size == 0 || block.empty() ||
        std::size_t(info.st_size) % block.size() != 0) {
        ::close(descriptor);
        return regular && info.st_size == 0;
    }

    // Compare whole chunks against a chunk of repetitions, so a block boundary never needs
    // special care.
    const std::size_t chunkSize =
        std::max<std::size_t>(1, compareChunkSize / block.size()) * block.size();
    std::vector<char> expected(chunkSize);
    for (std::size_t at = 0; at < chunkSize; at += block.size()) {
        std::memcpy(expected.data() + at, block.data(), block.size());
    }
    std::vector<char> actual(chunkSize);
    std::size_t total = 0;
    bool matches = true;
    for (;;) {
        const ssize_t got = readFully(descriptor, actual.data(), chunkSize);
        if (got < 0) {
            const int error = errno;
            ::close(descriptor);
            raiseSystemFailure(QStringLiteral("Cannot read"), path, error);
        }
        if (got == 0) break;
        if (std::memcmp(actual.data(), expected.data(), std::size_t(got)) != 0) {
            matches = false;
            break;
        }
        total += std::size_t(got);
    }
    ::close(descriptor);
    // A file that changed length while it was read is not trusted.
    return matches && total % block.size() == 0;
}

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
    QFile uevent(sysRoot_ + QStringLiteral("/dev/block/") + number + QStringLiteral("/uevent"));
    if (uevent.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : uevent.readAll().split('\n')) {
            if (line.startsWith("DEVNAME=")) {
                candidates.append(devRoot_ + QLatin1Char('/') + QFile::decodeName(line.mid(8)));
            }
        }
    }
    candidates.append(devRoot_ + QStringLiteral("/block/") + number);

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
