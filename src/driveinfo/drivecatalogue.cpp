#include "driveinfo/drivecatalogue.h"

namespace driveinfo {

QString DriveEntry::displayText() const {
    if (volumeName.isEmpty()) return mountRoot;
    return QStringLiteral("%1 [%2]").arg(mountRoot, volumeName);
}

}  // namespace driveinfo
