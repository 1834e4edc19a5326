#pragma once

#include <QString>

#include "console/commandline.h"
#include "measure/coreservices.h"

namespace console {

// --drive/--size: the runs without a window on the services main() built, and its exit status.
// Needs no display and leaves the window's single-instance lock alone; the test files' own
// locks keep two runs apart. outputClosedAtStart: the process began without standard output.
int runWithoutWindow(int argc, char* argv[], const CommandLine& command,
                     measure::CoreServices services, bool outputClosedAtStart);

// The one check of standard output, at the end: closes it and returns status, or 1 with a
// message naming what (e.g. "the times") when that did not reach it, or when the process began
// without it (then the text went nowhere). A failed status stays as it is. writeError: the errno
// of an earlier flush that failed, whose reason the stream's error flag no longer holds.
int finishStandardOutput(int status, const QString& what, bool closedAtStart, int writeError = 0);

}  // namespace console
