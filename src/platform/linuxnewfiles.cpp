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
    file.reset();
    kept.reset();
    removeQuietly(held);
    throw Failure(action, path, error, reason);
}

bool LinuxFileService::removeHeld(HeldFile& held) {
    // Closed first: a network file system keeps a file that is still open under another name
    // (NFS's .nfsXXXX) instead of removing it.
    held.lock.reset();
    const FolderRef folder = folderOf(held.folder);
    const QByteArray name = pathToBytes(held.name);
    // fstatat needs no descriptor, so a process out of them still removes its file. A link at
    // the name is never followed.
    struct stat info {};
    if (::fstatat(folder->descriptor.get(), name.constData(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        const int error = errno;
        if (error == ENOENT) return false;
        raiseSystemFailure(QStringLiteral("Cannot delete"), joinPath(folder->path, held.name),
                           error);
    }
    if (info.st_dev != dev_t(held.identity.device) || info.st_ino != ino_t(held.identity.inode) ||
        !S_ISREG(info.st_mode))
        return false;
    if (::unlinkat(folder->descriptor.get(), name.constData(), 0) != 0)
        raiseSystemFailure(QStringLiteral("Cannot delete"), joinPath(folder->path, held.name),
                           errno);
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
