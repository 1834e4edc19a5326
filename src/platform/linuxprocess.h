#pragma once

#include <QString>

#include "platform/process.h"

namespace platform {

// Single instance through an flock on a per-user lock file. The kernel drops the lock when its
// holder dies, however it dies, so a crashed copy never blocks the next start.
class LinuxProcessService : public ProcessService {
public:
    // lockFolder empty: $XDG_RUNTIME_DIR, or the temporary folder when that is not set.
    explicit LinuxProcessService(QString lockFolder = {},
                                 QString procRoot = QStringLiteral("/proc"));
    ~LinuxProcessService() override;
    LinuxProcessService(const LinuxProcessService&) = delete;
    LinuxProcessService& operator=(const LinuxProcessService&) = delete;

    bool previousInstanceRunning() override;
    QString programFolder() override;
    [[noreturn]] void endProgram() override;

    QString lockFilePath() const { return lockFilePath_; }

private:
    QString lockFilePath_;
    QString procRoot_;
    int lockDescriptor_ = -1;
    bool checked_ = false;
    bool otherInstance_ = false;
};

}  // namespace platform
