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
    QString folderPath(int folder) const override;
    bool folderStillAt(int folder) override;
    bool sameFolder(int folder, int other) override;
    LeftoverLook takeLeftover(int folder, const QString& name,
                              const LeftoverDecision& decide) override;
    HeldFile createForOutput(int folder, const QString& name, const CreatedHook& created) override;
    void writeLine(std::string_view text) override;
    void closeOutput() override;
    void abandonOutput() noexcept override;
    HeldFile copyFile(const HeldFile& source, int toFolder, const QString& toName,
                      const CopyOptions& options, const CreatedHook& created) override;
    void dropDeviceCache(const HeldFile& file) override;
    ByteReader readHeld(const HeldFile& file) override;
    bool removeHeld(HeldFile& file) override;

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
    void writeLineThroughFlush(std::string_view text);
    void append(const char* data, std::size_t size);
    void flushBuffer();

    FolderRef folderOf(int folder) const;
    // Creates folder/name new and locked; returns it held, with a descriptor open for writing.
    // Throws Failure(action, path, errno, reason), with nothing of it left.
    HeldFile createNew(int folder, const QString& name, const QString& action,
                       const CreatedHook& created, UniqueFd& output);
    // The held file, opened by its name for reading; throws Failure(action, shownPath, ...)
    // when the name is a link or names another file by now.
    UniqueFd openCopySource(const HeldFile& source, const QString& action,
                            const QString& shownPath);
    // Removes what createNew made, ignoring failures.
    void removeQuietly(HeldFile& file) noexcept;
    OutputFile output_;
    QString systemRoot_;
    std::unique_ptr<DeviceCacheService> ownDeviceCache_;
    DeviceCacheService* deviceCache_;

    // Guards folders_, which a removal may read from any thread. Held only to copy or move
    // entries: no system call that may wait on a volume runs under it.
    mutable std::mutex mutex_;
    std::map<int, FolderRef> folders_;
    int nextFolder_ = 1;
};

}  // namespace platform
