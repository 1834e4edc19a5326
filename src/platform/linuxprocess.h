#pragma once

#include <QString>

#include "platform/process.h"

namespace platform {

// Single instance through an flock on a lock file per user and program file. The kernel drops
// the lock when its holder dies, however it dies, so a crashed copy never blocks the next start.
// The folder of the running executable, read byte for byte from <procRoot>/self/exe; throws
// Failure when that cannot be read.
QString programFolderBelow(const QString& procRoot = QStringLiteral("/proc"));

class LinuxProcessService : public ProcessService {
public:
    // lockFolder empty: the user's runtime folder /run/user/UID when it is the user's, else the
    // temporary folder; chosen by the user id, never by the environment, so that every copy
    // started by the user meets the same lock.
    explicit LinuxProcessService(QString lockFolder = {},
                                 QString procRoot = QStringLiteral("/proc"));
    ~LinuxProcessService() override;
    LinuxProcessService(const LinuxProcessService&) = delete;
    LinuxProcessService& operator=(const LinuxProcessService&) = delete;

    bool previousInstanceRunning() override;
    QString programFolder() override;
    QString testFileFolder() override;
    // At once through _exit(0), or, once endThroughEventLoop() was called, by telling the
    // application's event loops to quit: the caller then destroys the application, which hands
    // the clipboard to the desktop's clipboard manager, and ends the process itself.
    void endProgram() override;
    void endThroughEventLoop() { endThroughEventLoop_ = true; }

    QString lockFilePath() const { return lockFilePath_; }

private:
    QString lockFilePath_;
    QString procRoot_;
    int lockDescriptor_ = -1;
    bool checked_ = false;
    bool otherInstance_ = false;
    bool endThroughEventLoop_ = false;
};

}  // namespace platform
