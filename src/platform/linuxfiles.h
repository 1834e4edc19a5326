#pragma once

#include <QString>
#include <atomic>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include <sys/types.h>

#include "platform/devicecache.h"
#include "platform/files.h"
#include "platform/uniquefd.h"

namespace platform {

class DeviceCacheService;

class LinuxFileService : public FileService {
public:
    static constexpr std::size_t outputBufferSize = std::size_t(1) << 20;

    // The copy's write-back and the cache drop below FUSE volumes go through deviceCache;
    // without one the service makes its own SyncingDeviceCache. Reads below systemRoot (empty:
    // this system).
    explicit LinuxFileService(QString systemRoot = {}, DeviceCacheService* deviceCache = nullptr);
    ~LinuxFileService() override;
    LinuxFileService(const LinuxFileService&) = delete;
    LinuxFileService& operator=(const LinuxFileService&) = delete;

    int openFolder(const QString& path) override;
    void closeFolder(int folder) noexcept override;
    bool folderStillAt(int folder) override;
    bool sameFolder(int folder, int other) override;
    void setRecorder(CreationRecorder* recorder) override;
    LeftoverLook takeLeftover(int folder, const QString& name,
                              const LeftoverDecision& decide) override;
    void createForOutput(int folder, const QString& name) override;
    void writeLine(std::string_view text) override;
    void closeOutput() override;
    void abandonOutput() noexcept override;
    void copyFile(int fromFolder, const QString& fromName, int toFolder, const QString& toName,
                  const CopyOptions& options) override;
    void dropDeviceCache(int folder, const QString& name) override;
    ByteReader readOwn(int folder, const QString& name) override;
    void removeOwnFile(int folder, const QString& name) override;
    void removeOwnFiles() noexcept override;

private:
    // An opened folder, shared by whoever uses its descriptor: closing the folder only lets go
    // of the service's share, so a call still working in it keeps a valid descriptor.
    struct Folder {
        UniqueFd descriptor;
        QString path;
        dev_t device = 0;
        ino_t inode = 0;
    };
    using FolderRef = std::shared_ptr<const Folder>;

    struct OutputFile {
        UniqueFd descriptor;
        QString path;
        std::unique_ptr<char[]> buffer;
        // A closed file counts as full, so writeLine's fast path needs no separate open check.
        std::size_t used = outputBufferSize;
    };
    // A file the run made: device and inode tell it apart; the read-only descriptor keeps its
    // lock (empty for the moment between creating and locking it).
    struct OwnFile {
        int folderId = 0;
        FolderRef folder;
        QString name;
        UniqueFd descriptor;
        dev_t device = 0;
        ino_t inode = 0;
        CreationRecorder* recorder = nullptr;
    };

    void writeLineThroughFlush(std::string_view text);
    void append(const char* data, std::size_t size);
    void flushBuffer();

    FolderRef folderOf(int folder) const;
    // Creates folder/name new, locked and recorded as the run's own; returns a descriptor open
    // for writing. Throws Failure(action, path, errno, reason), with nothing of it left.
    UniqueFd createOwn(int folder, const QString& name, const QString& action);
    // The run's file, opened for reading; throws Failure(action, its path, ...) otherwise.
    UniqueFd openCopySource(int folder, const QString& name, const QString& action,
                            const QString& shownPath);
    // A duplicate of the descriptor of a file the service made; empty when the name is not one
    // of them. Throws Failure("Cannot read <path>: ...") when the duplicate fails.
    UniqueFd ownDescriptor(int folder, const QString& name) const;
    // Takes the records of folder/name out of the list: every name's when name is null, every
    // folder's when folder is 0.
    std::vector<OwnFile> takeOwn(int folder, const QString* name) noexcept;
    // Deletes the recorded file while its name still names it, letting go of its descriptor
    // first; false when it is gone or another file has the name (which is left alone). Throws
    // Failure("Cannot delete <path>: ...") when the system refuses. No lock is held meanwhile.
    static bool unlinkOwn(OwnFile& own);
    // Removes what takeOwn takes, ignoring failures.
    void removeQuietly(int folder, const QString* name) noexcept;
    OutputFile output_;
    std::atomic<CreationRecorder*> recorder_{nullptr};
    QString systemRoot_;
    std::unique_ptr<DeviceCacheService> ownDeviceCache_;
    DeviceCacheService* deviceCache_;

    // Guards folders_ and own_, which removeOwnFiles reads from any thread. Held only to copy
    // or move entries: no system call that may wait on a volume runs under it.
    mutable std::mutex mutex_;
    std::map<int, FolderRef> folders_;
    std::vector<OwnFile> own_;
    int nextFolder_ = 1;
};

}  // namespace platform
