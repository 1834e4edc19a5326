#include "driveinfo/mounttablewatcher.h"

#include <QFile>
#include <QSocketNotifier>

#include <fcntl.h>
#include <cerrno>

#include "platform/failure.h"
#include "platform/mountinfo.h"
#include "platform/paths.h"

namespace driveinfo {

MountTableWatcher::MountTableWatcher(const QString& systemRoot, QObject* parent) : QObject(parent) {
    const QString path = platform::mountTablePath(systemRoot);
    fd_.reset(::open(platform::pathToBytes(path).constData(), O_RDONLY | O_CLOEXEC));
    if (!fd_) {
        whyNot_ = QStringLiteral("Cannot open %1: %2").arg(path, platform::systemReason(errno));
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
