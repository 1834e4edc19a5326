#include "driveinfo/mounttablewatcher.h"

#include <QFile>
#include <QSocketNotifier>

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>

#include "platform/failure.h"
#include "platform/mountinfo.h"
#include "platform/paths.h"

namespace driveinfo {

MountTableWatcher::MountTableWatcher(const QString& systemRoot, QObject* parent) : QObject(parent) {
    const QString path = platform::mountTablePath(systemRoot);
    fd_ = ::open(platform::pathToBytes(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) {
        whyNot_ = QStringLiteral("Cannot open %1: %2").arg(path, platform::systemReason(errno));
        return;
    }
    notifier_ = new QSocketNotifier(fd_, QSocketNotifier::Exception, this);
    // Each poll that reports the flag also clears it, so nothing has to be read here.
    connect(notifier_, &QSocketNotifier::activated, this, &MountTableWatcher::mountsChanged);
}

MountTableWatcher::~MountTableWatcher() {
    delete notifier_;
    if (fd_ >= 0) ::close(fd_);
}

}  // namespace driveinfo
