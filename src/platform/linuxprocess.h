#pragma once

#include <QByteArray>
#include <QString>

#include "platform/process.h"
#include "platform/uniquefd.h"

namespace platform {

// The folder of the running executable, read byte for byte from <procRoot>/self/exe; throws
// Failure when that cannot be read.
QString programFolderBelow(const QString& procRoot = QStringLiteral("/proc"));

// Single instance per user and program file, which no other user can take or block: a lock on a
// file in the user's private runtime folder (/run/user/<uid>, the user's, mode 0700), or where
// there is none, a socket bound to a name in the abstract namespace that counts only when it
// answers as this user. The kernel frees either when its holder dies, however it dies, so a
// crashed copy never blocks the next start; a copy that ends removes its lock file.
class LinuxProcessService : public ProcessService {
public:
    // instanceName empty: "<program file's name>-<uid>-<hash of its path>", chosen by the user
    // id and the program file, never by the environment, so that every copy of one program
    // file started by the user meets the same name.
    // runtimeFolder empty: /run/user/<uid>, chosen by the user id, never by the environment.
    explicit LinuxProcessService(QString instanceName = {},
                                 QString procRoot = QStringLiteral("/proc"),
                                 QString runtimeFolder = {});
    ~LinuxProcessService() override { releaseInstance(); }
    LinuxProcessService(const LinuxProcessService&) = delete;
    LinuxProcessService& operator=(const LinuxProcessService&) = delete;

    bool previousInstanceRunning() override;
    void releaseInstance() override;
    QString programFolder() override;
    // At once through _exit(0), or, once endThroughEventLoop() was called, by telling the
    // application's event loops to quit: the caller then destroys the application, which hands
    // the clipboard to the desktop's clipboard manager, and ends the process itself.
    void endProgram() override;
    void endThroughEventLoop() { endThroughEventLoop_ = true; }

    QString instanceName() const { return instanceName_; }

private:
    bool lockHeldInFolder(int folder);
    bool nameHeldByThisUser();

    QString instanceName_;
    QString procRoot_;
    QString runtimeFolder_;
    UniqueFd instance_;
    // The runtime folder and the name of the lock file, while it is held.
    UniqueFd lockFolder_;
    QByteArray lockName_;
    bool checked_ = false;
    bool otherInstance_ = false;
    bool endThroughEventLoop_ = false;
};

}  // namespace platform
