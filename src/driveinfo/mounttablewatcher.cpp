#include "driveinfo/mounttablewatcher.h"

namespace driveinfo {

MountTableWatcher::MountTableWatcher(const QString& systemRoot, QObject* parent)
    : MountWatcher(parent), notifier_(systemRoot) {
    connect(&notifier_, &platform::MountTableNotifier::changed, this, &MountWatcher::mountsChanged);
}

}  // namespace driveinfo
