#pragma once

#include "console/commandline.h"
#include "measure/coreservices.h"

namespace console {

// --drive/--size: the runs without a window on the services main() built, and its exit status.
// Needs no display and leaves the window's single-instance lock alone; the test files' own
// locks keep two runs apart.
int runWithoutWindow(int argc, char* argv[], const CommandLine& command,
                     measure::CoreServices services);

}  // namespace console
