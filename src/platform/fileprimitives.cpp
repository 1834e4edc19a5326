#include "platform/fileprimitives.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <vector>

#include "platform/failure.h"

namespace platform::fileprimitives {

QString openFailureReasonAt(int folder, const QByteArray& name, int errnoValue) {
    struct stat info {};
    if (::fstatat(folder, name.constData(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
        if (errnoValue == ELOOP && S_ISLNK(info.st_mode))
            return QStringLiteral("Is a symbolic link");
        // A FIFO without a reader or a socket answers ENXIO, which would read as a device fault.
        if (errnoValue == ENXIO && !S_ISREG(info.st_mode))
            return QStringLiteral("Not a regular file");
    }
    return systemReason(errnoValue);
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

bool clearNonBlocking(int descriptor) {
    const int flags = ::fcntl(descriptor, F_GETFL);
    return flags >= 0 && ::fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

namespace {

// flock(LOCK_EX | LOCK_NB), again after a signal: 0 when taken, else errno's value.
int tryLockExclusive(int descriptor) {
    int result;
    do {
        result = ::flock(descriptor, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    return result == 0 ? 0 : errno;
}

}  // namespace

bool lockedByAnother(int descriptor) {
    // SMB servers enforce byte-range locks, which the client makes of an flock: the run's own
    // read-back through another descriptor would be refused. There the run goes unlocked.
    constexpr long smbMagics[] = {0x517B, 0xFF534D42, 0xFE534D42};
    struct statfs volume {};
    if (::fstatfs(descriptor, &volume) == 0 &&
        std::find(std::begin(smbMagics), std::end(smbMagics), long(volume.f_type)) !=
            std::end(smbMagics))
        return false;
    return tryLockExclusive(descriptor) == EWOULDBLOCK;
}

FileIdentity identityOf(int descriptor, const QString& path) {
    struct statx info {};
    if (::statx(descriptor, "", AT_EMPTY_PATH, STATX_INO | STATX_BTIME, &info) != 0)
        raiseSystemFailure(QStringLiteral("Cannot read"), path, errno);
    FileIdentity identity{quint64(makedev(info.stx_dev_major, info.stx_dev_minor)),
                          quint64(info.stx_ino), (info.stx_mask & STATX_BTIME) != 0};
    if (identity.hasBirth) {
        identity.birthSeconds = info.stx_btime.tv_sec;
        identity.birthNanoseconds = info.stx_btime.tv_nsec;
    }
    // ext2/3/4 (also with 128-byte inodes, which keep no birth time) and btrfs answer; tmpfs
    // and FAT do not.
    int generation = 0;
    if (::ioctl(descriptor, FS_IOC_GETVERSION, &generation) == 0) {
        identity.hasGeneration = true;
        identity.generation = quint32(generation);
    }
    return identity;
}

}  // namespace platform::fileprimitives
