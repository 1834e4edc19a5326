#include "platform/linuxfiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/failure.h"
#include "platform/fileprimitives.h"

namespace platform {

using namespace fileprimitives;

namespace {

constexpr std::size_t compareChunkSize = std::size_t(1) << 20;

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

}  // namespace

// 1 ... maxFileNumber, in one unsigned comparison.
inline bool LinuxFileService::isValidFileNumber(int fileNumber) {
    return unsigned(fileNumber) - 1u < unsigned(maxFileNumber);
}

LinuxFileService::LinuxFileService(QString systemRoot) : systemRoot_(std::move(systemRoot)) {}

LinuxFileService::~LinuxFileService() {
    closeAll();
}

LinuxFileService::OutputFile& LinuxFileService::openFile(int fileNumber) {
    if (!isValidFileNumber(fileNumber)) [[unlikely]] {
        throw Failure(QStringLiteral("Bad file number %1").arg(fileNumber));
    }
    OutputFile& file = files_[std::size_t(fileNumber)];
    if (file.descriptor < 0) [[unlikely]] {
        throw Failure(QStringLiteral("File number %1 is not open").arg(fileNumber));
    }
    return file;
}

void LinuxFileService::openForOutput(int fileNumber, const QString& path, CreateMode mode) {
    if (!isValidFileNumber(fileNumber)) {
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
    if (isValidFileNumber(fileNumber) && text.size() <= longestQuickLine) [[likely]] {
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
    if (!isValidFileNumber(fileNumber)) {
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

}  // namespace platform
