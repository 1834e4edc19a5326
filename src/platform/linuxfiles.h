#pragma once

#include <QString>
#include <array>
#include <atomic>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include <sys/types.h>

#include "platform/files.h"
#include "platform/uniquefd.h"

namespace platform {

class DeviceCacheService;

class LinuxFileService : public FileService {
public:
    static constexpr int maxFileNumber = 255;
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
    Claim claim(int folder, const QString& name, std::string_view line) override;
    void createForOutput(int fileNumber, int folder, const QString& name) override;
    void writeLine(int fileNumber, std::string_view text) override;
    void close(int fileNumber) override;
    void closeAll() noexcept override;
    void copyFile(int fromFolder, const QString& fromName, int toFolder, const QString& toName,
                  const CopyOptions& options) override;
    void dropDeviceCache(int folder, const QString& name) override;
    qint64 firstDifference(int folder, const QString& name, std::string_view line,
                           qint64 size) override;
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
        bool mountRoot = false;
        // Set once the run made a file here: a read-only volume from then on turned read-only.
        mutable std::atomic<bool> madeFiles{false};
    };
    using FolderRef = std::shared_ptr<const Folder>;

    struct OutputFile {
        UniqueFd descriptor;
        FolderRef folder;
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
    };

    static bool isValidFileNumber(int fileNumber);
    OutputFile& outputFile(int fileNumber);
    OutputFile& unusedOutputFile(int fileNumber, const QString& path);
    void writeLineThroughFlush(int fileNumber, std::string_view text);
    void append(OutputFile& file, const char* data, std::size_t size);
    void flushBuffer(OutputFile& file);

    FolderRef folderOf(int folder) const;
    static Claim judgeLeftover(const Folder& folder, const QByteArray& name, int descriptor,
                               std::string_view line, const QString& path);
    // Why a file could not be made or opened: errno's value where there is one, and the words.
    struct Refusal {
        int error = 0;
        QString reason;
    };
    // Creates folder/name new, locked and recorded as the run's own; returns a descriptor open
    // for writing, or an empty one with why set (and nothing of it left at the name).
    UniqueFd createOwn(int folder, const QString& name, Refusal& why);
    UniqueFd openCopySource(int folder, const QString& name, Refusal& why);
    // A duplicate of the run's own file's descriptor; empty with error 0 when the name is not
    // one of the run's files, with errno's value when the duplicate failed.
    UniqueFd ownDescriptor(int folder, const QString& name, int& error) const;
    // Takes the run's records of folder/name out of the list: every name's when name is null,
    // every folder's when folder is 0.
    std::vector<OwnFile> takeOwn(int folder, const QString* name) noexcept;
    // Deletes the recorded file while its name still names it, letting go of its descriptor
    // first; false when it does not (the name is left alone). No lock is held meanwhile.
    static bool unlinkOwn(OwnFile& own, int& error) noexcept;
    // Removes what takeOwn takes, ignoring failures.
    void removeQuietly(int folder, const QString* name) noexcept;
    // Throws failure, headed by the volume's turn to read-only when error says so.
    [[noreturn]] static void fail(const Folder& folder, int error, const QString& failure);

    std::array<OutputFile, maxFileNumber + 1> files_;
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
