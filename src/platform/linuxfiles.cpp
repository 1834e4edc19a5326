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
#include "platform/fileshares.h"
#include "platform/mountinfo.h"
#include "platform/paths.h"

namespace platform {

using namespace fileprimitives;

namespace {

template <std::size_t size>
inline void copyFixed(char* to, const char* from) {
    std::memcpy(to, from, size);
}

constexpr std::size_t longestQuickLine = 64;

// True when the open regular file holds nothing but whole lines; error set when it cannot be
// read. An empty file qualifies.
bool holdsOnlyLines(int descriptor, std::string_view line, int& error) {
    struct stat info {};
    if (::fstat(descriptor, &info) != 0) {
        error = errno;
        return false;
    }
    if (!S_ISREG(info.st_mode)) return false;
    if (info.st_size == 0) return true;
    if (line.empty() || std::size_t(info.st_size) % line.size() != 0) return false;
    const qint64 at = fileprimitives::firstDifferenceFrom(descriptor, line, info.st_size);
    if (at == -2) error = errno;
    // A file that changed length while it was read is not trusted either.
    return at == -1;
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
        ownDeviceCache_ = std::make_unique<LinuxDeviceCache>(systemRoot_);
        deviceCache_ = ownDeviceCache_.get();
    }
}

LinuxFileService::~LinuxFileService() {
    closeAll();
    std::vector<int> folders;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [id, folder] : folders_) folders.push_back(id);
    }
    for (int folder : folders) closeFolder(folder);
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
    int error = 0;
    const bool matches = holdsOnlyLines(descriptor, block, error);
    ::close(descriptor);
    if (error != 0) raiseSystemFailure(QStringLiteral("Cannot read"), path, error);
    return matches;
}

// --- the run's files, relative to the folders it opened ---

LinuxFileService::Folder LinuxFileService::folderOf(int folder) const {
    std::lock_guard lock(mutex_);
    const auto found = folders_.find(folder);
    if (found == folders_.end()) throw Failure(QStringLiteral("Folder %1 is not open").arg(folder));
    return found->second;
}

int LinuxFileService::openFolder(const QString& path) {
    // O_NOFOLLOW: mount points and the program folder come from the kernel and are no links.
    const int descriptor =
        ::open(nativePath(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
    if (descriptor < 0) {
        const int error = errno;
        if (error == ELOOP) {
            throw Failure(
                QStringLiteral("Cannot open %1: Is a symbolic link").arg(displayPath(path)));
        }
        raiseSystemFailure(QStringLiteral("Cannot open"), path, error);
    }
    struct stat info {};
    if (::fstat(descriptor, &info) != 0) {
        const int error = errno;
        ::close(descriptor);
        raiseSystemFailure(QStringLiteral("Cannot open"), path, error);
    }
    std::lock_guard lock(mutex_);
    const int id = nextFolder_++;
    folders_[id] = Folder{descriptor, path, info.st_dev, info.st_ino};
    return id;
}

void LinuxFileService::closeFolder(int folder) noexcept {
    std::lock_guard lock(mutex_);
    for (auto own = own_.begin(); own != own_.end();) {
        if (own->folder != folder) {
            ++own;
            continue;
        }
        closeQuietly(own->descriptor);
        own = own_.erase(own);
    }
    const auto found = folders_.find(folder);
    if (found == folders_.end()) return;
    ::close(found->second.descriptor);
    folders_.erase(found);
}

namespace {

// The mount a descriptor or path belongs to, 0 where the kernel does not tell.
quint64 mountIdOf(int folder, const char* path, int flags) {
    struct statx info {};
    if (::statx(folder, path, flags, STATX_MNT_ID, &info) != 0) return 0;
    return (info.stx_mask & STATX_MNT_ID) ? info.stx_mnt_id : 0;
}

}  // namespace

bool LinuxFileService::folderStillAt(int folder) {
    const Folder opened = folderOf(folder);
    const QByteArray path = nativePath(opened.path);
    struct stat now {};
    if (::stat(path.constData(), &now) != 0) return false;
    if (now.st_dev != opened.device || now.st_ino != opened.inode) return false;
    // The same volume mounted again at the same place is still another mount than the one the
    // run wrote to.
    const quint64 openedMount = mountIdOf(opened.descriptor, "", AT_EMPTY_PATH);
    const quint64 mountNow = mountIdOf(AT_FDCWD, path.constData(), 0);
    return openedMount == 0 || mountNow == 0 || openedMount == mountNow;
}

bool LinuxFileService::sameFolder(int folder, int other) {
    const Folder a = folderOf(folder);
    const Folder b = folderOf(other);
    return a.device == b.device && a.inode == b.inode;
}

Claim LinuxFileService::claim(int folderId, const QString& name, std::string_view line) {
    const Folder folder = folderOf(folderId);
    const QByteArray nameBytes = nativePath(name);
    const QString path = joinPath(folder.path, name);
    // Only a regular file is ever opened: opening a device or a FIFO may have effects of its own.
    struct stat first {};
    if (::fstatat(folder.descriptor, nameBytes.constData(), &first, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) return Claim::Free;
        raiseSystemFailure(QStringLiteral("Cannot read"), path, errno);
    }
    if (!S_ISREG(first.st_mode)) return Claim::NotOurs;
    // O_NOFOLLOW and O_NONBLOCK, in case something else was put there meanwhile.
    const int descriptor = ::openat(folder.descriptor, nameBytes.constData(),
                                    O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (descriptor < 0) {
        const int error = errno;
        if (error == ENOENT) return Claim::Free;
        if (error == ELOOP || error == ENXIO) return Claim::NotOurs;
        raiseSystemFailure(QStringLiteral("Cannot read"), path, error);
    }
    struct stat info {};
    const auto judged = [&]() -> Claim {
        // A file with another name elsewhere is shared with the user's, whatever it holds.
        if (::fstat(descriptor, &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 1)
            return Claim::NotOurs;
        // Locked before it is judged, so a run that is still writing it keeps it.
        if (lockExclusive(descriptor) == EWOULDBLOCK) return Claim::InUse;
        int error = 0;
        if (!clearNonBlocking(descriptor) || !holdsOnlyLines(descriptor, line, error)) {
            if (error != 0) raiseSystemFailure(QStringLiteral("Cannot read"), path, error);
            return Claim::NotOurs;
        }
        // Only the file judged goes, and only while nothing else shares it.
        struct stat now {};
        if (::fstatat(folder.descriptor, nameBytes.constData(), &now, AT_SYMLINK_NOFOLLOW) != 0 ||
            !sameFile(now, info) || now.st_nlink != 1)
            return Claim::NotOurs;
        if (::unlinkat(folder.descriptor, nameBytes.constData(), 0) != 0)
            raiseSystemFailure(QStringLiteral("Cannot delete"), path, errno);
        return Claim::Reclaimed;
    };
    try {
        const Claim claim = judged();
        ::close(descriptor);
        return claim;
    } catch (...) {
        ::close(descriptor);
        throw;
    }
}

int LinuxFileService::createOwn(int folderId, const QString& name, QString& reason) {
    const Folder folder = folderOf(folderId);
    const QByteArray nameBytes = nativePath(name);
    // O_RDWR, so that the descriptor kept for the lock can also read back what was written.
    const int descriptor =
        ::openat(folder.descriptor, nameBytes.constData(),
                 O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0666);
    if (descriptor < 0) {
        reason = openFailureReasonAt(folder.descriptor, nameBytes, errno);
        return -1;
    }
    struct stat info {};
    const int kept = ::fcntl(descriptor, F_DUPFD_CLOEXEC, 0);
    if (::fstat(descriptor, &info) != 0 || kept < 0 || !clearNonBlocking(descriptor)) {
        reason = systemReason(errno);
    } else if (lockExclusive(descriptor) == EWOULDBLOCK) {
        // Another run opened the new file in the moment before the lock: it is that run's now.
        reason = QStringLiteral("In use by another run of this program");
    } else {
        std::lock_guard lock(mutex_);
        own_.push_back(OwnFile{folderId, name, kept, info.st_dev, info.st_ino});
        return descriptor;
    }
    closeQuietly(kept);
    ::close(descriptor);
    return -1;
}

LinuxFileService::OwnFile* LinuxFileService::findOwn(int folder, const QString& name) {
    for (OwnFile& own : own_) {
        if (own.folder == folder && own.name == name) return &own;
    }
    return nullptr;
}

bool LinuxFileService::unlinkOwn(OwnFile& own, int& error) noexcept {
    const auto found = folders_.find(own.folder);
    if (found == folders_.end()) return false;
    const int folder = found->second.descriptor;
    const QByteArray name = nativePath(own.name);
    // Look at what the name holds through a descriptor of its own, so the check and the unlink
    // are a few microseconds apart and a link at the name is never followed.
    const int probe = ::openat(folder, name.constData(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (probe < 0) {
        error = errno;
        return false;
    }
    struct stat info {};
    const bool same = ::fstat(probe, &info) == 0 && info.st_dev == own.device &&
                      info.st_ino == own.inode && S_ISREG(info.st_mode);
    if (same) {
        // Closed first: a network file system keeps a file that is still open under another name
        // (NFS's .nfsXXXX) instead of removing it.
        ::close(own.descriptor);
        own.descriptor = -1;
        if (::unlinkat(folder, name.constData(), 0) != 0) error = errno;
    }
    ::close(probe);
    return same && error == 0;
}

void LinuxFileService::forgetOwn(int folder, const QString& name) noexcept {
    std::lock_guard lock(mutex_);
    for (auto own = own_.begin(); own != own_.end(); ++own) {
        if (own->folder == folder && own->name == name) {
            closeQuietly(own->descriptor);
            own_.erase(own);
            return;
        }
    }
}

void LinuxFileService::createForOutput(int fileNumber, int folder, const QString& name) {
    const QString path = joinPath(folderOf(folder).path, name);
    if (!isValidFileNumber(fileNumber)) {
        throw Failure(QStringLiteral("Cannot create %1: bad file number %2")
                          .arg(displayPath(path))
                          .arg(fileNumber));
    }
    OutputFile& file = files_[std::size_t(fileNumber)];
    if (file.descriptor >= 0) {
        throw Failure(QStringLiteral("Cannot create %1: file number %2 is already open for %3")
                          .arg(displayPath(path))
                          .arg(fileNumber)
                          .arg(displayPath(file.path)));
    }
    QString reason;
    const int descriptor = createOwn(folder, name, reason);
    if (descriptor < 0) {
        throw Failure(QStringLiteral("Cannot create %1: %2").arg(displayPath(path), reason));
    }
    file.descriptor = descriptor;
    file.path = path;
    file.buffer.reset(new char[outputBufferSize]);
    file.used = 0;
}

qint64 LinuxFileService::firstDifference(int folder, const QString& name, std::string_view line,
                                         qint64 size) {
    int descriptor = -1;
    {
        std::lock_guard lock(mutex_);
        if (const OwnFile* own = findOwn(folder, name)) descriptor = ::dup(own->descriptor);
    }
    const QString path = joinPath(folderOf(folder).path, name);
    if (descriptor < 0) {
        throw Failure(
            QStringLiteral("Cannot read %1: not a file of this run").arg(displayPath(path)));
    }
    const qint64 at = firstDifferenceFrom(descriptor, line, size);
    const int error = errno;
    ::close(descriptor);
    if (at == -2) raiseSystemFailure(QStringLiteral("Cannot read"), path, error);
    return at;
}

void LinuxFileService::removeOwnFile(int folder, const QString& name) {
    const QString path = joinPath(folderOf(folder).path, name);
    int error = 0;
    bool removed = false;
    bool known = false;
    {
        std::lock_guard lock(mutex_);
        if (OwnFile* own = findOwn(folder, name)) {
            known = true;
            removed = unlinkOwn(*own, error);
        }
    }
    if (!known) {
        throw Failure(
            QStringLiteral("Cannot delete %1: not a file of this run").arg(displayPath(path)));
    }
    forgetOwn(folder, name);
    if (removed) return;
    if (error != 0) raiseSystemFailure(QStringLiteral("Cannot delete"), path, error);
    throw Failure(QStringLiteral("%1 is no longer the file this run wrote; it was left untouched")
                      .arg(displayPath(path)));
}

void LinuxFileService::removeOwnFiles() noexcept {
    std::lock_guard lock(mutex_);
    for (OwnFile& own : own_) {
        int error = 0;
        unlinkOwn(own, error);
        closeQuietly(own.descriptor);
    }
    own_.clear();
}

CacheDrop LinuxFileService::dropDeviceCache(int folder, const QString& name) {
    std::optional<FuseVolume> volume;
    {
        std::lock_guard lock(mutex_);
        if (const OwnFile* own = findOwn(folder, name)) volume = fuseVolumeOf(own->descriptor);
    }
    return volume ? deviceCache_->dropCacheBelow(*volume) : CacheDrop{true, {}};
}

}  // namespace platform
