#pragma once

#include <QString>

#include "platform/failure.h"

namespace driveinfo {

// The failures of a drive choice as the panel and the window word them.
platform::Failure noDriveSelected();
platform::Failure driveNotReady(const QString& mountRoot);
// A volume whose queries did not return in time (a stalled FUSE daemon, a lost server).
platform::Failure driveNotAnswering(const QString& mountRoot);

}  // namespace driveinfo
