#include "platform/linuxfiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <vector>

#include "platform/devicecache.h"
#include "platform/failure.h"
#include "platform/fileprimitives.h"
#include "platform/paths.h"

namespace platform {

using namespace fileprimitives;

namespace {

template <std::size_t size>
inline void copyFixed(char* to, const char* from) {
    std::memcpy(to, from, size);
}

constexpr std::size_t longestQuickLine = 64;

// The mount a descriptor or path belongs to, 0 where the kernel does not tell.
quint64 mountIdOf(int folder, const char* path, int flags) {
    struct statx info {};
    if (::statx(folder, path, flags, STATX_MNT_ID, &info) != 0) return 0;
    return (info.stx_mask & STATX_MNT_ID) ? info.stx_mnt_id : 0;
}

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

LinuxFileService::LinuxFileService(QString systemRoot, DeviceCacheService* deviceCache)
    : systemRoot_(std::move(systemRoot)), deviceCache_(deviceCache) {
    if (!deviceCache_) {
        ownDeviceCache_ = std::make_unique<SyncingDeviceCache>();
        deviceCache_ = ownDeviceCache_.get();
    }
}

LinuxFileService::~LinuxFileService() {
    abandonOutput();
    // The folders go with the members; their descriptors close on their own.
}

void LinuxFileService::writeLine(std::string_view text) {
    // The create phase calls this millions of times and its time is shown as the machine's
    // speed: the common case is a room check and a copy. With no file open there is no room,
    // so that takes the slow path, which also reports the errors; so do long lines.
    if (text.size() <= longestQuickLine) [[likely]] {
        if (text.size() <= outputBufferSize - output_.used) [[likely]] {
            copyShortLine(output_.buffer.get() + output_.used, text.data(), text.size());
            output_.used += text.size();
            return;
        }
    }
    writeLineThroughFlush(text);
}

void LinuxFileService::writeLineThroughFlush(std::string_view text) {
    if (!output_.descriptor) [[unlikely]]
        throw Failure(QStringLiteral("No file is open for output"));
    append(text.data(), text.size());
}

void LinuxFileService::append(const char* data, std::size_t size) {
    while (size > 0) {
        if (output_.used == outputBufferSize) flushBuffer();
        const std::size_t part = std::min(size, outputBufferSize - output_.used);
        std::memcpy(output_.buffer.get() + output_.used, data, part);
        output_.used += part;
        data += part;
        size -= part;
    }
}

void LinuxFileService::flushBuffer() {
    const std::size_t size = output_.used;
    // What could not be written is gone either way; keeping it would only fail again on close.
    output_.used = 0;
    if (!writeAll(output_.descriptor.get(), output_.buffer.get(), size))
        raiseSystemFailure(QStringLiteral("Cannot write"), output_.path, errno);
}

void LinuxFileService::closeOutput() {
    if (!output_.descriptor) return;  // closing when nothing is open does nothing
    int error = 0;
    if (output_.used > 0 && !writeAll(output_.descriptor.get(), output_.buffer.get(), output_.used))
        error = errno;
    // Network file systems may report a failed write only here.
    const int closeError = output_.descriptor.close();
    if (error == 0) error = closeError;
    const OutputFile closed = std::exchange(output_, OutputFile{});
    if (error != 0) raiseSystemFailure(QStringLiteral("Cannot write"), closed.path, error);
}

void LinuxFileService::abandonOutput() noexcept {
    if (!output_.descriptor) return;
    if (output_.used > 0) writeAll(output_.descriptor.get(), output_.buffer.get(), output_.used);
    output_ = OutputFile{};
}

// --- folders ---

LinuxFileService::FolderRef LinuxFileService::folderOf(int folder) const {
    std::lock_guard lock(mutex_);
    const auto found = folders_.find(folder);
    if (found == folders_.end()) throw Failure(QStringLiteral("Folder %1 is not open").arg(folder));
    return found->second;
}

int LinuxFileService::openFolder(const QString& path) {
    // O_NOFOLLOW: mount points and the program folder come from the kernel and are no links.
    UniqueFd descriptor(
        ::open(pathToBytes(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW));
    if (!descriptor) {
        const int error = errno;
        if (error == ELOOP) {
            throw Failure(
                QStringLiteral("Cannot open %1: Is a symbolic link").arg(displayPath(path)));
        }
        raiseSystemFailure(QStringLiteral("Cannot open"), path, error);
    }
    struct stat info {};
    if (::fstat(descriptor.get(), &info) != 0)
        raiseSystemFailure(QStringLiteral("Cannot open"), path, errno);
    auto folder = std::make_shared<Folder>();
    folder->descriptor = std::move(descriptor);
    folder->path = path;
    folder->device = info.st_dev;
    folder->inode = info.st_ino;
    std::lock_guard lock(mutex_);
    const int id = nextFolder_++;
    folders_[id] = std::move(folder);
    return id;
}

void LinuxFileService::closeFolder(int folder) noexcept {
    // Closing may wait on the volume (NFS flushes on close): the folder goes out of the table
    // under the lock and closes after it.
    FolderRef closed;
    std::lock_guard lock(mutex_);
    const auto found = folders_.find(folder);
    if (found == folders_.end()) return;
    closed = std::move(found->second);
    folders_.erase(found);
}

QString LinuxFileService::folderPath(int folder) const {
    return folderOf(folder)->path;
}

bool LinuxFileService::folderStillAt(int folder) {
    const FolderRef opened = folderOf(folder);
    const QByteArray path = pathToBytes(opened->path);
    struct stat now {};
    if (::stat(path.constData(), &now) != 0) return false;
    if (now.st_dev != opened->device || now.st_ino != opened->inode) return false;
    // The same volume mounted again at the same place is still another mount than the one the
    // run wrote to.
    const quint64 openedMount = mountIdOf(opened->descriptor.get(), "", AT_EMPTY_PATH);
    const quint64 mountNow = mountIdOf(AT_FDCWD, path.constData(), 0);
    return openedMount == 0 || mountNow == 0 || openedMount == mountNow;
}

bool LinuxFileService::sameFolder(int folder, int other) {
    const FolderRef a = folderOf(folder);
    const FolderRef b = folderOf(other);
    return a->device == b->device && a->inode == b->inode;
}

// --- leftovers ---

LeftoverLook LinuxFileService::takeLeftover(int folderId, const QString& name,
                                            const LeftoverDecision& decide) {
    const FolderRef folder = folderOf(folderId);
    const int at = folder->descriptor.get();
    const QByteArray nameBytes = pathToBytes(name);
    const QString path = joinPath(folder->path, name);
    LeftoverLook look;
    // Only a regular file is ever opened: opening a device or a FIFO may have effects of its own.
    struct stat first {};
    if (::fstatat(at, nameBytes.constData(), &first, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) return look;
        raiseSystemFailure(QStringLiteral("Cannot read"), path, errno);
    }
    look.present = true;
    if (!S_ISREG(first.st_mode)) return look;
    // O_NOFOLLOW and O_NONBLOCK, in case something else was put there meanwhile.
    const UniqueFd descriptor(::openat(at, nameBytes.constData(),
                                       O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
    struct stat info {};
    if (!descriptor) {
        if (errno == ENOENT) return LeftoverLook{};
        if (errno == ELOOP || errno == ENXIO) return look;
        raiseSystemFailure(QStringLiteral("Cannot read"), path, errno);
    }
    if (::fstat(descriptor.get(), &info) != 0)
        raiseSystemFailure(QStringLiteral("Cannot read"), path, errno);
    look.file = FoundFile{S_ISREG(info.st_mode),
                          quint64(info.st_nlink),
                          uint(info.st_uid),
                          qint64(info.st_size),
                          identityOf(descriptor.get(), path),
                          false,
                          identityOf(at, folder->path)};
    if (!look.file.regular) return look;
    // Locked before it is judged, so that a holder of the lock is seen.
    look.file.lockedByOther = lockedByAnother(descriptor.get());
    if (!clearNonBlocking(descriptor.get()))
        raiseSystemFailure(QStringLiteral("Cannot read"), path, errno);
    const ByteReader read = [&](qint64 offset, char* data, qint64 size) {
        ssize_t got;
        do {
            got = ::pread(descriptor.get(), data, std::size_t(size), offset);
        } while (got < 0 && errno == EINTR);
        if (got < 0) raiseSystemFailure(QStringLiteral("Cannot read"), path, errno);
        return qint64(got);
    };
    if (!decide(look.file, read)) return look;
    // The name goes only while it still names the file judged, with the links it had then.
    struct stat now {};
    if (::fstatat(at, nameBytes.constData(), &now, AT_SYMLINK_NOFOLLOW) != 0 ||
        !sameFile(now, info) || now.st_nlink != info.st_nlink)
        return look;
    if (::unlinkat(at, nameBytes.constData(), 0) != 0)
        raiseSystemFailure(QStringLiteral("Cannot delete"), path, errno);
    look.removed = true;
    return look;
}

HeldFile LinuxFileService::createForOutput(int folder, const QString& name,
                                           const CreatedHook& created) {
    const QString path = joinPath(folderOf(folder)->path, name);
    if (output_.descriptor) {
        throw Failure(QStringLiteral("Cannot create %1: %2 is still open")
                          .arg(displayPath(path), displayPath(output_.path)));
    }
    // Allocated first: once the file exists, nothing may fail before the caller holds it.
    std::unique_ptr<char[]> buffer(new char[outputBufferSize]);
    HeldFile held =
        createNew(folder, name, QStringLiteral("Cannot create"), created, output_.descriptor);
    output_.buffer = std::move(buffer);
    output_.path = path;
    output_.used = 0;
    return held;
}

// --- what keeps the read time true ---

void LinuxFileService::dropDeviceCache(const HeldFile& file) {
    if (!file.lock || !*file.lock) return;  // not a file made here: nothing of it is cached
    if (const std::optional<FuseVolume> volume = fuseVolumeOf(file.lock->get()))
        deviceCache_->dropCacheBelow(*volume);
}

}  // namespace platform
