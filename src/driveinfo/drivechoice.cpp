#include "driveinfo/drivechoice.h"

#include "platform/paths.h"

namespace driveinfo {

platform::Failure noDriveSelected() {
    return platform::Failure(QStringLiteral("No drive is selected"));
}

platform::Failure driveNotReady(const QString& mountRoot) {
    return platform::Failure(QStringLiteral("Drive %1 is not ready: not a mounted volume")
                                 .arg(platform::displayPath(mountRoot)));
}

platform::Failure driveNotAnswering(const QString& mountRoot) {
    return platform::Failure(
        QStringLiteral("Drive %1 does not answer").arg(platform::displayPath(mountRoot)));
}

}  // namespace driveinfo
