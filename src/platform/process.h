#pragma once

#include <QString>

namespace platform {

class ProcessService {
public:
    virtual ~ProcessService() = default;
    // True when another copy of this program file is already running for this user, whatever
    // the environment says. The first call takes the instance lock; a copy that crashed or gave
    // the lock up does not count.
    virtual bool previousInstanceRunning() = 0;
    // Gives the instance lock up for good: a program that is ending, but may still wait on a
    // drive to finish its cleanup, no longer keeps a new copy from starting.
    virtual void releaseInstance() = 0;
    // The folder of the running executable, without a trailing separator.
    virtual QString programFolder() = 0;
    // Ends the program at once with status 0; open files are closed by the system.
    // Fakes return, so callers must not rely on it not returning.
    virtual void endProgram() = 0;
};

// Flushes the C streams and ends the process with status at once: no destructor runs, so a
// thread stuck in the kernel on a drive cannot hold the end.
[[noreturn]] void endProcessNow(int status);

}  // namespace platform
