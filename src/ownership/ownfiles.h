#pragma once

#include <QString>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/files.h"

namespace ownership {

class Journal;

// The test files the run made and still owns. Each is known by the identity the kernel gave
// it as it was created, and its record is in the journal from before it exists until it is
// gone. A file is deleted only while its name still names it. The list may be emptied from
// any thread (the end signals, exit()); nothing that may wait on a volume runs under its lock.
class OwnFiles {
public:
    OwnFiles(platform::FileService& files, std::shared_ptr<Journal> journal);
    OwnFiles(const OwnFiles&) = delete;
    OwnFiles& operator=(const OwnFiles&) = delete;

    // Creates folder/name new and opens it as the file service's output file.
    void createForOutput(int folder, const QString& name);
    // Copies the own file at fromFolder/fromName to a new own file at toFolder/toName.
    void copyFile(int fromFolder, const QString& fromName, int toFolder, const QString& toName,
                  const platform::CopyOptions& options);
    // See FileService::dropDeviceCache; nothing to do for a file that is not the run's.
    void dropDeviceCache(int folder, const QString& name);
    // Throws Failure("Cannot read <path>: ...") when name is not the run's or cannot be read.
    platform::ByteReader readOwn(int folder, const QString& name);
    // Deletes the run's file; when the name no longer names it, leaves whatever is there and
    // throws naming the path.
    void removeOwnFile(int folder, const QString& name);
    // Deletes every file of the run still at its name, ignoring failures.
    void removeOwnFiles() noexcept;
    // The folder's files stay on disk but are no longer the run's own; then the folder closes.
    void closeFolder(int folder) noexcept;

private:
    struct Own {
        platform::HeldFile file;
        QString folderPath;
    };
    // Records, creates through make and keeps the new file; on failure whatever make left goes.
    void make(int folder, const QString& name,
              const std::function<platform::HeldFile(const platform::CreatedHook&)>& make);
    // Takes the files out of the list that which picks.
    std::vector<Own> take(const std::function<bool(const Own&)>& which);
    // A copy of the run's file at folder/name; nothing when it is not the run's.
    std::optional<platform::HeldFile> held(int folder, const QString& name) const;
    // Deletes the file by its identity; its record goes unless the system refused.
    bool remove(Own& own);

    platform::FileService& files_;
    std::shared_ptr<Journal> journal_;
    mutable std::mutex mutex_;
    std::vector<Own> own_;
};

// While it lives, an exit() of the process removes the run's own files first: Qt's X11 platform
// calls exit(1) when the display goes away. The program's own ends (_exit after QUIT, return
// from main after this is gone) leave what they leave. The first of overlapping instances wins.
class RemoveOwnFilesAtExit {
public:
    explicit RemoveOwnFilesAtExit(OwnFiles& files);
    ~RemoveOwnFilesAtExit();
    RemoveOwnFilesAtExit(const RemoveOwnFilesAtExit&) = delete;
    RemoveOwnFilesAtExit& operator=(const RemoveOwnFilesAtExit&) = delete;

private:
    OwnFiles* files_;
};

}  // namespace ownership
