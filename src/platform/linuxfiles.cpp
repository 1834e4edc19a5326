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

// True when the open file's bytes, however many, are the start of repeated line: a test file
// that a kill or a full disk cut short anywhere. Error set when it cannot be read.
bool holdsTestLineStart(int descriptor, const struct stat& info, std::string_view line,
                        int& error) {
    const qint64 at = firstDifferenceFrom(descriptor, line, info.st_size);
    if (at == -2) error = errno;
    // A file that changed length while it was read is not trusted either.
    return at == -1;
}

// The mount a descriptor or path belongs to, 0 where the kernel does not tell.
quint64 mountIdOf(int folder, const char* path, int flags) {
    struct statx info {};
    if (::statx(folder, path, flags, STATX_MNT_ID, &info) != 0) return 0;
    return (info.stx_mask & STATX_MNT_ID) ? info.stx_mnt_id : 0;
}

// True when the folder is the root of a mount (a drive's root rather than a folder on it).
bool isMountRoot(int folder) {
    struct statx info {};
    return ::statx(folder, "", AT_EMPTY_PATH, 0, &info) == 0 &&
           (info.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) &&
           (info.stx_attributes & STATX_ATTR_MOUNT_ROOT);
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

// 1 ... maxFileNumber, in one unsigned comparison.
inline bool LinuxFileService::isValidFileNumber(int fileNumber) {
    return unsigned(fileNumber) - 1u < unsigned(maxFileNumber);
}

LinuxFileService::LinuxFileService(QString systemRoot, DeviceCacheService* deviceCache)
    : systemRoot_(std::move(systemRoot)), deviceCache_(deviceCache) {
    if (!deviceCache_) {
        ownDeviceCache_ = std::make_unique<SyncingDeviceCache>();
        deviceCache_ = ownDeviceCache_.get();
    }
}

LinuxFileService::~LinuxFileService() {
    closeAll();
    // The records and folders go with the members; their descriptors close on their own.
}

void LinuxFileService::fail(const Folder& folder, int error, const QString& failure) {
    if (error != EROFS || !folder.madeFiles.load()) throw Failure(failure);
    // The run made files here, so the volume was writable: an error of the drive (ext4's
    // errors=remount-ro) or an administrator turned it read-only. That is the news.
    const QString drive = folder.mountRoot
                              ? QStringLiteral("Drive %1").arg(displayPath(folder.path))
                              : QStringLiteral("The drive of %1").arg(displayPath(folder.path));
    throw Failure(QStringLiteral("%1 turned read-only during the run: %2%3")
                      .arg(drive, failure.left(1).toLower(), failure.mid(1)));
}

LinuxFileService::OutputFile& LinuxFileService::outputFile(int fileNumber) {
    if (!isValidFileNumber(fileNumber)) [[unlikely]] {
        throw Failure(QStringLiteral("Bad file number %1").arg(fileNumber));
    }
    OutputFile& file = files_[std::size_t(fileNumber)];
    if (!file.descriptor) [[unlikely]] {
        throw Failure(QStringLiteral("File number %1 is not open").arg(fileNumber));
    }
    return file;
}

LinuxFileService::OutputFile& LinuxFileService::unusedOutputFile(int fileNumber,
                                                                 const QString& path) {
    if (!isValidFileNumber(fileNumber)) {
        throw Failure(QStringLiteral("Cannot create %1: bad file number %2")
                          .arg(displayPath(path))
                          .arg(fileNumber));
    }
    OutputFile& file = files_[std::size_t(fileNumber)];
    if (file.descriptor) {
        throw Failure(QStringLiteral("Cannot create %1: file number %2 is already open for %3")
                          .arg(displayPath(path))
                          .arg(fileNumber)
                          .arg(displayPath(file.path)));
    }
    return file;
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
    OutputFile& file = outputFile(fileNumber);
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
    if (!writeAll(file.descriptor.get(), file.buffer.get(), size)) {
        const int error = errno;
        fail(
            *file.folder, error,
            QStringLiteral("Cannot write %1: %2").arg(displayPath(file.path), systemReason(error)));
    }
}

void LinuxFileService::close(int fileNumber) {
    if (!isValidFileNumber(fileNumber)) {
        throw Failure(QStringLiteral("Bad file number %1").arg(fileNumber));
    }
    OutputFile& file = files_[std::size_t(fileNumber)];
    if (!file.descriptor) return;  // closing a number that is not open does nothing

    int error = 0;
    if (file.used > 0 && !writeAll(file.descriptor.get(), file.buffer.get(), file.used))
        error = errno;
    // Network file systems may report a failed write only here.
    const int closeError = file.descriptor.close();
    if (error == 0) error = closeError;
    const OutputFile closed = std::exchange(file, OutputFile{});
    if (error != 0) {
        fail(*closed.folder, error,
             QStringLiteral("Cannot write %1: %2")
                 .arg(displayPath(closed.path), systemReason(error)));
    }
}

void LinuxFileService::closeAll() noexcept {
    for (OutputFile& file : files_) {
        if (!file.descriptor) continue;
        if (file.used > 0) writeAll(file.descriptor.get(), file.buffer.get(), file.used);
        file = OutputFile{};
    }
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
    folder->mountRoot = isMountRoot(descriptor.get());
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
    // Closing may wait on the volume (NFS flushes on close): the records go out of the list
    // under the lock and close after it.
    const std::vector<OwnFile> forgotten = takeOwn(folder, nullptr);
    FolderRef closed;
    std::lock_guard lock(mutex_);
    const auto found = folders_.find(folder);
    if (found == folders_.end()) return;
    closed = std::move(found->second);
    folders_.erase(found);
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

// --- claims ---

Claim LinuxFileService::claim(int folderId, const QString& name, std::string_view line) {
    const FolderRef folder = folderOf(folderId);
    const QByteArray nameBytes = pathToBytes(name);
    const QString path = joinPath(folder->path, name);
    // Only a regular file is ever opened: opening a device or a FIFO may have effects of its own.
    struct stat first {};
    if (::fstatat(folder->descriptor.get(), nameBytes.constData(), &first, AT_SYMLINK_NOFOLLOW) !=
        0) {
        if (errno == ENOENT) return Claim::Free;
        raiseSystemFailure(QStringLiteral("Cannot read"), path, errno);
    }
    if (!S_ISREG(first.st_mode)) return Claim::NotOurs;
    // O_NOFOLLOW and O_NONBLOCK, in case something else was put there meanwhile.
    const UniqueFd descriptor(::openat(folder->descriptor.get(), nameBytes.constData(),
                                       O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
    if (!descriptor) {
        const int error = errno;
        if (error == ENOENT) return Claim::Free;
        if (error == ELOOP || error == ENXIO) return Claim::NotOurs;
        raiseSystemFailure(QStringLiteral("Cannot read"), path, error);
    }
    return judgeLeftover(*folder, nameBytes, descriptor.get(), line, path);
}

Claim LinuxFileService::judgeLeftover(const Folder& folder, const QByteArray& name, int descriptor,
                                      std::string_view line, const QString& path) {
    struct stat info {};
    // A file with another name elsewhere is shared with the user's, whatever it holds; one of
    // another user is never ours, not even to root; an empty one may be anybody's.
    if (::fstat(descriptor, &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 1 ||
        info.st_uid != ::geteuid() || info.st_size == 0)
        return Claim::NotOurs;
    // Locked before it is judged, so a run that is still writing it keeps it.
    if (lockExclusive(descriptor) == EWOULDBLOCK) return Claim::InUse;
    int error = 0;
    if (!clearNonBlocking(descriptor) || !holdsTestLineStart(descriptor, info, line, error)) {
        if (error != 0) raiseSystemFailure(QStringLiteral("Cannot read"), path, error);
        return Claim::NotOurs;
    }
    // Only the file judged goes, and only while nothing else shares it.
    struct stat now {};
    if (::fstatat(folder.descriptor.get(), name.constData(), &now, AT_SYMLINK_NOFOLLOW) != 0 ||
        !sameFile(now, info) || now.st_nlink != 1)
        return Claim::NotOurs;
    if (::unlinkat(folder.descriptor.get(), name.constData(), 0) != 0)
        raiseSystemFailure(QStringLiteral("Cannot delete"), path, errno);
    return Claim::Reclaimed;
}

// --- the run's own files ---

UniqueFd LinuxFileService::createOwn(int folderId, const QString& name, Refusal& why) {
    const FolderRef folder = folderOf(folderId);
    const int at = folder->descriptor.get();
    const QByteArray nameBytes = pathToBytes(name);
    UniqueFd file(::openat(at, nameBytes.constData(),
                           O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0666));
    if (!file) {
        why.error = errno;
        why.reason = openFailureReasonAt(at, nameBytes, why.error);
        return {};
    }
    folder->madeFiles = true;
    struct stat info {};
    if (::fstat(file.get(), &info) != 0) {
        // Without its identity the new file cannot be told from one put there since.
        why = {errno, systemReason(errno)};
        return {};
    }
    {
        // Recorded before anything else can fail, so that every way out below, and a QUIT from
        // another thread, removes it by its identity.
        std::lock_guard lock(mutex_);
        own_.push_back(OwnFile{folderId, folder, name, {}, info.st_dev, info.st_ino});
    }
    // A read-only descriptor of its own keeps the lock and reads the file back; it holds no
    // write access, so the volume may still be remounted read-only between phases.
    UniqueFd kept(::openat(at, nameBytes.constData(),
                           O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
    struct stat keptInfo {};
    if (!kept || ::fstat(kept.get(), &keptInfo) != 0 || !clearNonBlocking(kept.get())) {
        why = {errno, systemReason(errno)};
    } else if (!sameFile(keptInfo, info)) {
        why.reason = QStringLiteral("It was replaced while it was being created");
    } else if (lockExclusive(kept.get()) == EWOULDBLOCK) {
        // Only a run judging it as a leftover can hold it, and such a run leaves empty files be.
        why.reason = QStringLiteral("In use by another run of this program");
    } else {
        std::lock_guard lock(mutex_);
        for (OwnFile& own : own_) {
            if (own.folderId == folderId && own.name == name) own.descriptor = std::move(kept);
        }
        return file;
    }
    file.reset();
    kept.reset();
    removeQuietly(folderId, &name);
    return {};
}

std::vector<LinuxFileService::OwnFile> LinuxFileService::takeOwn(int folder,
                                                                 const QString* name) noexcept {
    std::vector<OwnFile> taken;
    std::lock_guard lock(mutex_);
    for (auto own = own_.begin(); own != own_.end();) {
        if ((folder == 0 || own->folderId == folder) && (!name || own->name == *name)) {
            taken.push_back(std::move(*own));
            own = own_.erase(own);
        } else {
            ++own;
        }
    }
    return taken;
}

UniqueFd LinuxFileService::ownDescriptor(int folder, const QString& name, int& error) const {
    std::lock_guard lock(mutex_);
    for (const OwnFile& own : own_) {
        if (own.folderId != folder || own.name != name || !own.descriptor) continue;
        // dup only copies a table entry; it never waits on the volume.
        UniqueFd copy(::fcntl(own.descriptor.get(), F_DUPFD_CLOEXEC, 0));
        error = copy ? 0 : errno;
        return copy;
    }
    error = 0;
    return {};
}

bool LinuxFileService::unlinkOwn(OwnFile& own, int& error) noexcept {
    // Closed first: a network file system keeps a file that is still open under another name
    // (NFS's .nfsXXXX) instead of removing it.
    own.descriptor.reset();
    const int folder = own.folder->descriptor.get();
    const QByteArray name = pathToBytes(own.name);
    // fstatat needs no descriptor, so a run out of them still removes its file. A link at the
    // name is never followed.
    struct stat info {};
    if (::fstatat(folder, name.constData(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        error = errno;
        return false;
    }
    if (info.st_dev != own.device || info.st_ino != own.inode || !S_ISREG(info.st_mode))
        return false;
    if (::unlinkat(folder, name.constData(), 0) == 0) return true;
    error = errno;
    return false;
}

void LinuxFileService::removeQuietly(int folder, const QString* name) noexcept {
    for (OwnFile& own : takeOwn(folder, name)) {
        int ignored = 0;
        unlinkOwn(own, ignored);
    }
}

void LinuxFileService::createForOutput(int fileNumber, int folder, const QString& name) {
    const FolderRef opened = folderOf(folder);
    const QString path = joinPath(opened->path, name);
    OutputFile& file = unusedOutputFile(fileNumber, path);
    // Allocated first: once the file exists, nothing may fail before the caller holds it.
    std::unique_ptr<char[]> buffer(new char[outputBufferSize]);
    Refusal why;
    UniqueFd descriptor = createOwn(folder, name, why);
    if (!descriptor) {
        fail(*opened, why.error,
             QStringLiteral("Cannot create %1: %2").arg(displayPath(path), why.reason));
    }
    file.buffer = std::move(buffer);
    file.descriptor = std::move(descriptor);
    file.folder = opened;
    file.path = path;
    file.used = 0;
}

qint64 LinuxFileService::firstDifference(int folder, const QString& name, std::string_view line,
                                         qint64 size) {
    const QString path = joinPath(folderOf(folder)->path, name);
    int error = 0;
    const UniqueFd descriptor = ownDescriptor(folder, name, error);
    if (error != 0) raiseSystemFailure(QStringLiteral("Cannot read"), path, error);
    if (!descriptor) {
        throw Failure(
            QStringLiteral("Cannot read %1: not a file of this run").arg(displayPath(path)));
    }
    const qint64 at = firstDifferenceFrom(descriptor.get(), line, size);
    if (at == -2) raiseSystemFailure(QStringLiteral("Cannot read"), path, errno);
    return at;
}

void LinuxFileService::removeOwnFile(int folder, const QString& name) {
    const FolderRef opened = folderOf(folder);
    const QString path = joinPath(opened->path, name);
    std::vector<OwnFile> taken = takeOwn(folder, &name);
    if (taken.empty()) {
        throw Failure(
            QStringLiteral("Cannot delete %1: not a file of this run").arg(displayPath(path)));
    }
    int error = 0;
    if (unlinkOwn(taken.front(), error)) return;
    if (error != 0) {
        fail(*opened, error,
             QStringLiteral("Cannot delete %1: %2").arg(displayPath(path), systemReason(error)));
    }
    throw Failure(QStringLiteral("%1 is no longer the file this run wrote; it was left untouched")
                      .arg(displayPath(path)));
}

void LinuxFileService::removeOwnFiles() noexcept {
    removeQuietly(0, nullptr);
}

// --- what keeps the read time true ---

void LinuxFileService::dropDeviceCache(int folder, const QString& name) {
    int error = 0;
    const UniqueFd own = ownDescriptor(folder, name, error);
    if (!own) {
        if (error == 0) return;  // not a file of this run: nothing of it is cached
        throw Failure(QStringLiteral("the copy on the drive could not be looked at: %1")
                          .arg(systemReason(error)));
    }
    if (const std::optional<FuseVolume> volume = fuseVolumeOf(own.get()))
        deviceCache_->dropCacheBelow(*volume);
}

}  // namespace platform
