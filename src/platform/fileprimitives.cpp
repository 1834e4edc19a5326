#include "platform/fileprimitives.h"

#include <QFile>

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>

#include "platform/failure.h"

namespace platform::fileprimitives {

namespace {

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

}  // namespace

QByteArray nativePath(const QString& path) {
    return QFile::encodeName(path);
}

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

void removeIfStillTheSame(const QByteArray& path, const struct stat& opened) {
    struct stat now {};
    if (::lstat(path.constData(), &now) == 0 && sameFile(now, opened)) ::unlink(path.constData());
}

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

}  // namespace platform::fileprimitives
