#pragma once

#include <QString>
#include <QtGlobal>

#include "platform/failure.h"

namespace platform {

struct VolumeSpace {
    double totalBytes = 0;
    double availableBytes = 0;  // what an unprivileged user may still write, as df's Avail
    double totalFiles = 0;      // file entries (inodes); 0 where the volume does not count them
    double availableFiles = 0;  // as df -i's IFree for an unprivileged user
    quint64 device = 0;         // the device number of the path's volume; 0 when not known
};

// The system calls behind a drive's properties, apart so that tests can replace them. Paths are
// mount roots as the running system sees them.
class VolumeQueries {
public:
    virtual ~VolumeQueries() = default;
    // The figures of the volume that holds the path (a mount root or any folder on it). Throws
    // Failure naming the path and the system's reason.
    virtual VolumeSpace space(const QString& mountRoot) = 0;
    // The label the file system itself keeps; empty when it has none or cannot tell.
    virtual QString fileSystemLabel(const QString& mountRoot) = 0;
    // The kernel's id of the mount that holds the folder, the first field of its mountinfo
    // line. Throws Failure naming the folder and the system's reason.
    virtual int mountIdOf(const QString& folder) = 0;
};

}  // namespace platform
