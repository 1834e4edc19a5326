#include "platform/linuxfiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>

#include "platform/failure.h"
#include "platform/fileprimitives.h"
#include "platform/paths.h"

// The files the service creates: new, known by their identity, locked while held, and deleted
// only while their name still names them.
namespace platform {

using namespace fileprimitives;

HeldFile LinuxFileService::createNew(int folderId, const QString& name, const QString& action,
                                     const CreatedHook& created, UniqueFd& output) {
    const FolderRef folder = folderOf(folderId);
    const int at = folder->descriptor.get();
    const QByteArray nameBytes = pathToBytes(name);
    const QString path = joinPath(folder->path, name);
    UniqueFd file(::openat(at, nameBytes.constData(),
                           O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0666));
    if (!file) {
        const int error = errno;
        throw Failure(action, path, error, openFailureReasonAt(at, nameBytes, error));
    }
    HeldFile held{folderId, name, {}, {}};
    try {
        held.identity = identityOf(file.get(), path);
    } catch (const Failure& failure) {
        // Without its identity the new file cannot be told from one put there since: it stays.
        throw Failure(action, path, failure.error(), systemReason(failure.error()));
    }
    if (created) created(held.identity);
    // A read-only descriptor of its own keeps the lock and reads the file back; it holds no
    // write access, so the volume may still be remounted read-only between phases.
    UniqueFd kept(::openat(at, nameBytes.constData(),
                           O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
    struct stat keptInfo {};
    int error = 0;
    QString reason;
    if (!kept || ::fstat(kept.get(), &keptInfo) != 0 || !clearNonBlocking(kept.get())) {
        error = errno;
        reason = systemReason(error);
    } else if (keptInfo.st_dev != dev_t(held.identity.device) ||
               keptInfo.st_ino != ino_t(held.identity.inode)) {
        reason = QStringLiteral("It was replaced while it was being created");
    } else if (lockedByAnother(kept.get())) {
        // Only a run judging it as a leftover can hold it, and such a run leaves empty files be.
        reason = QStringLiteral("Locked by another process");
    } else {
        held.lock = std::make_shared<const UniqueFd>(std::move(kept));
        output = std::move(file);
        return held;
    }
    kept.reset();
    // The descriptor it was created through pins it until it is gone.
    held.lock = std::make_shared<const UniqueFd>(std::move(file));
    removeQuietly(held);
    throw Failure(action, path, error, reason);
}

bool LinuxFileService::removeHeld(HeldFile& held) {
    const FolderRef folder = folderOf(held.folder);
    const int at = folder->descriptor.get();
    const QByteArray name = pathToBytes(held.name);
    const QString path = joinPath(folder->path, held.name);
    const auto refused = [&](int error) {
        raiseSystemFailure(QStringLiteral("Cannot delete"), path, error);
    };
    // Kept open until the name is gone: a descriptor pins its inode, whose number cannot go to
    // another file meanwhile. A network file system keeps the open file under another name
    // (NFS's .nfsXXXX) only until the close just after.
    const std::shared_ptr<const UniqueFd> lock = std::exchange(held.lock, nullptr);
    UniqueFd opened;
    int pinned = lock && *lock ? lock->get() : -1;
    struct stat now {};
    if (pinned < 0) {
        // Nothing pinned it: the inode may have been freed and given to another file since.
        if (::fstatat(at, name.constData(), &now, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT) return false;
            refused(errno);
        }
        if (!S_ISREG(now.st_mode) || !held.identity.lasting()) return false;
        opened.reset(::openat(at, name.constData(),
                              O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
        if (!opened) {
            if (errno == ENOENT || errno == ELOOP || errno == ENXIO) return false;
            refused(errno);
        }
        if (identityOf(opened.get(), path) != held.identity) return false;
        pinned = opened.get();
    }
    struct stat kept {};
    if (::fstat(pinned, &kept) != 0) refused(errno);
    // fstatat needs no descriptor, so a process out of them still removes its file. A link at
    // the name is never followed.
    if (::fstatat(at, name.constData(), &now, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) return false;
        refused(errno);
    }
    if (!sameFile(now, kept) || !S_ISREG(now.st_mode) ||
        kept.st_dev != dev_t(held.identity.device) || kept.st_ino != ino_t(held.identity.inode))
        return false;
    if (::unlinkat(at, name.constData(), 0) != 0) refused(errno);
    return true;
}

void LinuxFileService::removeQuietly(HeldFile& held) noexcept {
    try {
        removeHeld(held);
    } catch (const std::exception&) {
        // Left where it is: nothing more can be done for it from here.
    }
}

ByteReader LinuxFileService::readHeld(const HeldFile& held) {
    const QString path = joinPath(folderOf(held.folder)->path, held.name);
    if (!held.lock || !*held.lock) {
        throw Failure(QStringLiteral("Cannot read"), path, 0,
                      QStringLiteral("Not a file made by this process"));
    }
    const std::shared_ptr<const UniqueFd> descriptor = held.lock;
    return [descriptor, path](qint64 offset, char* data, qint64 size) {
        ssize_t got;
        do {
            got = ::pread(descriptor->get(), data, std::size_t(size), offset);
        } while (got < 0 && errno == EINTR);
        if (got < 0) raiseSystemFailure(QStringLiteral("Cannot read"), path, errno);
        return qint64(got);
    };
}

}  // namespace platform
