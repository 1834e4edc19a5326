#include "driveinfo/mounttablewatcher.h"

#include <QSocketNotifier>

#include "platform/failure.h"
#include "platform/mountinfo.h"

namespace driveinfo {

MountTableWatcher::MountTableWatcher(const QString& systemRoot, QObject* parent) : QObject(parent) {
    try {
        fd_ = platform::openMountTableToWatch(systemRoot);
    } catch (const platform::Failure& failure) {
        whyNot_ = failure.description();
        return;
    }
    notifier_ = new QSocketNotifier(fd_.get(), QSocketNotifier::Exception, this);
    // Each poll that reports the flag also clears it, so nothing has to be read here.
    connect(notifier_, &QSocketNotifier::activated, this, &MountTableWatcher::mountsChanged);
}

MountTableWatcher::~MountTableWatcher() {
    // The notifier goes before the descriptor it watches.
    delete notifier_;
}

}  // namespace driveinfo
