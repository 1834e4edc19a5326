#include "platform/linuxfiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <vector>

#include "platform/failure.h"
#include "platform/fileprimitives.h"
#include "platform/paths.h"

// The files the service makes: created new, known by their identity, locked, and deleted only
// while their name still names them.
namespace platform {

using namespace fileprimitives;

// --- the run's own files ---

UniqueFd LinuxFileService::createOwn(int folderId, const QString& name, const QString& action) {
    const FolderRef folder = folderOf(folderId);
    const int at = folder->descriptor.get();
    const QByteArray nameBytes = pathToBytes(name);
    const QString path = joinPath(folder->path, name);
    CreationRecorder* const recorder = recorder_.load();
    // The record comes first, so that a crash at any moment from here leaves a file known.
    if (recorder) recorder->willCreate(folder->path, name);
    UniqueFd file(::openat(at, nameBytes.constData(),
                           O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0666));
    if (!file) {
        const int error = errno;
        if (recorder) recorder->gone(folder->path, name);
        throw Failure(action, path, error, openFailureReasonAt(at, nameBytes, error));
    }
    FileIdentity identity;
    try {
        identity = identityOf(file.get(), path);
    } catch (const Failure& failure) {
        // Without its identity the new file cannot be told from one put there since.
        if (recorder) recorder->gone(folder->path, name);
        throw Failure(action, path, failure.error(), systemReason(failure.error()));
    }
    if (recorder) recorder->created(folder->path, name, identity);
    {
        // Recorded before anything else can fail, so that every way out below, and a QUIT from
        // another thread, removes it by its identity.
        std::lock_guard lock(mutex_);
        own_.push_back(OwnFile{
            folderId, folder, name, {}, dev_t(identity.device), ino_t(identity.inode), recorder});
    }
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
    } else if (keptInfo.st_dev != dev_t(identity.device) ||
               keptInfo.st_ino != ino_t(identity.inode)) {
        reason = QStringLiteral("It was replaced while it was being created");
    } else if (lockedByAnother(kept.get())) {
        // Only a run judging it as a leftover can hold it, and such a run leaves empty files be.
        reason = QStringLiteral("Locked by another process");
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
    throw Failure(action, path, error, reason);
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

UniqueFd LinuxFileService::ownDescriptor(int folder, const QString& name) const {
    std::lock_guard lock(mutex_);
    for (const OwnFile& own : own_) {
        if (own.folderId != folder || own.name != name || !own.descriptor) continue;
        // dup only copies a table entry; it never waits on the volume.
        UniqueFd copy(::fcntl(own.descriptor.get(), F_DUPFD_CLOEXEC, 0));
        if (!copy)
            raiseSystemFailure(QStringLiteral("Cannot read"), joinPath(own.folder->path, name),
                               errno);
        return copy;
    }
    return {};
}

bool LinuxFileService::unlinkOwn(OwnFile& own) {
    // Closed first: a network file system keeps a file that is still open under another name
    // (NFS's .nfsXXXX) instead of removing it.
    own.descriptor.reset();
    const int folder = own.folder->descriptor.get();
    const QByteArray name = pathToBytes(own.name);
    const auto forget = [&] {
        if (own.recorder) own.recorder->gone(own.folder->path, own.name);
    };
    // fstatat needs no descriptor, so a process out of them still removes its file. A link at
    // the name is never followed.
    struct stat info {};
    if (::fstatat(folder, name.constData(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        const int error = errno;
        if (error != ENOENT)
            raiseSystemFailure(QStringLiteral("Cannot delete"),
                               joinPath(own.folder->path, own.name), error);
        forget();  // gone already: its record goes too
        return false;
    }
    if (info.st_dev != own.device || info.st_ino != own.inode || !S_ISREG(info.st_mode)) {
        // Another file has the name now; the record of ours, gone, must not vouch for it.
        forget();
        return false;
    }
    if (::unlinkat(folder, name.constData(), 0) != 0)
        raiseSystemFailure(QStringLiteral("Cannot delete"), joinPath(own.folder->path, own.name),
                           errno);
    forget();
    return true;
}

void LinuxFileService::removeQuietly(int folder, const QString* name) noexcept {
    for (OwnFile& own : takeOwn(folder, name)) {
        try {
            unlinkOwn(own);
        } catch (const std::exception&) {
            // Left where it is: nothing more can be done for it from here.
        }
    }
}

void LinuxFileService::removeOwnFile(int folder, const QString& name) {
    const FolderRef opened = folderOf(folder);
    const QString path = joinPath(opened->path, name);
    std::vector<OwnFile> taken = takeOwn(folder, &name);
    if (taken.empty()) {
        throw Failure(QStringLiteral("Cannot delete"), path, 0,
                      QStringLiteral("Not a file made by this process"));
    }
    if (unlinkOwn(taken.front())) return;
    throw Failure(QStringLiteral("Cannot delete"), path, 0,
                  QStringLiteral("It was replaced since it was written; what is there now was left "
                                 "untouched"));
}

void LinuxFileService::removeOwnFiles() noexcept {
    removeQuietly(0, nullptr);
}

}  // namespace platform
