#pragma once

#include <QList>
#include <QString>

#include "platform/mountinfo.h"

// Which mounts of the table a drive list may show.
namespace driveinfo {

// The mounts a path can reach: drops a mount another one was mounted over, at the same mount
// point or above it, and everything mounted inside such a hidden mount. Keeps the order.
QList<platform::MountRecord> reachableMounts(const QList<platform::MountRecord>& records);

}  // namespace driveinfo
