#pragma once

#include <QString>
#include <array>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include <sys/types.h>

#include "platform/files.h"

namespace platform {

class DeviceCacheService;

class LinuxFileService : public FileService {
public:
    static constexpr int maxFileNumber = 255;
    static constexpr std::size_t outputBufferSize = std::size_t(1) << 20;

    // The copy's cache drop for FUSE block volumes goes through deviceCache; without one the
    // service makes its own LinuxDeviceCache, which reads below systemRoot (empty: this system).
    explicit LinuxFileService(QString systemRoot = {}, DeviceCacheService* deviceCache = nullptr);
    ~LinuxFileService() override;
    LinuxFileService(const LinuxFileService&) = delete;
    LinuxFileService& operator=(const LinuxFileService&) = delete;

    // --- FileService: the run's files, relative to folders it opened ---
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
    CacheDrop dropDeviceCache(int folder, const QString& name) override;
    qint64 firstDifference(int folder, const QString& name, std::string_view line,
                           qint64 size) override;
    void removeOwnFile(int folder, const QString& name) override;
    void removeOwnFiles() noexcept override;

    // --- by path, for tools and tests that handle single files ---
    void openForOutput(int fileNumber, const QString& path, CreateMode mode);
    // Fails when nothing is at the path. Removes a link itself, never its target.
    void deleteFile(const QString& path);
    // What is at the path, without following a final symbolic link.
    PathKind pathKind(const QString& path);
    // True when the path is a regular file (not a link) whose content is nothing but whole
    // repetitions of block; an empty file qualifies.
    bool consistsOfRepeatedBlock(const QString& path, std::string_view block);
    // Copies the whole file. On failure removes any partial destination it created and
    // throws a Failure naming both paths and the reason.
    void copyFile(const QString& source, const QString& destination, const CopyOptions& options);

private:
    struct OutputFile {
        int descriptor = -1;
        QString path;
        std::unique_ptr<char[]> buffer;
        // A closed file counts as full, so writeLine's fast path needs no separate open check.
        std::size_t used = outputBufferSize;
    };
    struct Folder {
        int descriptor = -1;
        QString path;
        dev_t device = 0;
        ino_t inode = 0;
    };
    // A file the run made: the descriptor keeps its lock; device and inode tell it apart.
    struct OwnFile {
        int folder = 0;
        QString name;
        int descriptor = -1;
        dev_t device = 0;
        ino_t inode = 0;
    };

    static bool isValidFileNumber(int fileNumber);
    OutputFile& openFile(int fileNumber);
    void writeLineThroughFlush(int fileNumber, std::string_view text);
    void append(OutputFile& file, const char* data, std::size_t size);
    void flushBuffer(OutputFile& file);
    void dropDeviceCacheOf(int descriptor) noexcept;

    Folder folderOf(int folder) const;
    // Creates folder/name new, locked and recorded as the run's own; returns an O_RDWR
    // descriptor, or -1 with reason set.
    int createOwn(int folder, const QString& name, QString& reason);
    OwnFile* findOwn(int folder, const QString& name);  // under mutex_
    // Unlinks the recorded file while its name still names it, letting go of its descriptor
    // first; false when it does not (the name is left alone). Called with mutex_ held.
    bool unlinkOwn(OwnFile& own, int& error) noexcept;
    void forgetOwn(int folder, const QString& name) noexcept;

    std::array<OutputFile, maxFileNumber + 1> files_;
    QString systemRoot_;
    std::unique_ptr<DeviceCacheService> ownDeviceCache_;
    DeviceCacheService* deviceCache_;

    mutable std::mutex mutex_;  // folders_ and own_, which removeOwnFiles reads from any thread
    std::map<int, Folder> folders_;
    std::vector<OwnFile> own_;
    int nextFolder_ = 1;
};

}  // namespace platform
