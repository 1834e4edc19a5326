#include "driveinfo/drivecatalogue.h"

#include "platform/paths.h"

namespace driveinfo {

QString DriveEntry::displayText() const {
    const QString shown = platform::displayPath(mountRoot);
    if (volumeName.isEmpty()) return shown;
    return QStringLiteral("%1 [%2]").arg(shown, volumeName);
}

}  // namespace driveinfo
