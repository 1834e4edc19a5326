#pragma once

#include <QString>

#include "platform/process.h"
#include "platform/uniquefd.h"

namespace platform {

// The folder of the running executable, read byte for byte from <procRoot>/self/exe; throws
// Failure when that cannot be read.
QString programFolderBelow(const QString& procRoot = QStringLiteral("/proc"));

// Single instance through a socket bound to a name in the abstract namespace, per user and
// program file: nothing on disk, and the kernel frees the name when its holder dies, however it
// dies, so a crashed copy never blocks the next start.
class LinuxProcessService : public ProcessService {
public:
    // instanceName empty: "dov-uruvivuz-<uid>-<hash of the program file's path>", chosen by
    // the user id and the program, never by the environment, so that every copy of one program
    // file started by the user meets the same name.
    explicit LinuxProcessService(QString instanceName = {},
                                 QString procRoot = QStringLiteral("/proc"));
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
    QString instanceName_;
    QString procRoot_;
    UniqueFd instance_;
    bool checked_ = false;
    bool otherInstance_ = false;
    bool endThroughEventLoop_ = false;
};

}  // namespace platform
