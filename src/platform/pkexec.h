#pragma once

#include <QString>
#include <QStringList>

#include "platform/failure.h"

namespace platform {

// How a program that pkexec ran ended: its exit status and the last line it wrote to standard
// error, without its "<name>: " prefix. What the status means is the program's own.
struct PkexecExit {
    int code = 0;
    QString lastErrorLine;
};

// Why pkexec did not run a program to its end.
class PkexecFailure : public Failure {
public:
    enum class Cause {
        NotInstalled,   // detail: the program's path
        NotUtf8Folder,  // detail: the program's path
        NoPkexec,
        CannotStart,  // detail: pkexec's path and the reason
        TimedOut,
        EndedAbnormally,
        Dismissed,      // pkexec exit 126
        NotAuthorized,  // pkexec exit 127; detail: its last line
    };
    PkexecFailure(Cause cause, QString detail);
    Cause cause() const noexcept { return cause_; }
    const QString& detail() const noexcept { return detail_; }

private:
    Cause cause_;
    QString detail_;
};

// Runs pkexec program arguments..., waiting at most timeLimitMs (an authentication dialog may be
// waiting for the user). pkexec is looked up on PATH. Throws PkexecFailure where pkexec did not
// run the program to its end.
PkexecExit runThroughPkexec(const QString& program, const QStringList& arguments, int timeLimitMs);

}  // namespace platform
