#pragma once

#include <QString>

namespace platform {

class ProcessService {
public:
    virtual ~ProcessService() = default;
    // True when another copy is already running in this user session. The first call takes
    // the session's instance lock; a lock left by a crashed copy does not count.
    virtual bool previousInstanceRunning() = 0;
    // The folder of the running executable, without a trailing separator.
    virtual QString programFolder() = 0;
    // Ends the program at once with status 0; open files are closed by the system.
    // Fakes return, so callers must not rely on it not returning.
    virtual void endProgram() = 0;
};

}  // namespace platform
