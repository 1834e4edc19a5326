#include "platform/linuxprocess.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "platform/failure.h"

namespace platform {

namespace {

QString defaultLockFolder() {
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QFileInfo(QFile::decodeName(runtime)).isDir()) {
        return QFile::decodeName(runtime);
    }
    return QStringLiteral("/tmp");
}

}  // namespace

LinuxProcessService::LinuxProcessService(QString lockFolder, QString procRoot)
    : procRoot_(std::move(procRoot)) {
    if (lockFolder.isEmpty()) lockFolder = defaultLockFolder();
    // The user id keeps users apart when the folder is the shared /tmp.
    lockFilePath_ = lockFolder + QStringLiteral("/dov-uruvivuz-%1.lock").arg(geteuid());
}

LinuxProcessService::~LinuxProcessService() {
    if (lockDescriptor_ >= 0) ::close(lockDescriptor_);
}

bool LinuxProcessService::previousInstanceRunning() {
    if (checked_) return otherInstance_;
    checked_ = true;

    const QByteArray path = QFile::encodeName(lockFilePath_);
    const int descriptor =
        ::open(path.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    // When the lock cannot be had at all, starting is better than refusing to.
    if (descriptor < 0) return false;
    struct stat info {};
    if (::fstat(descriptor, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid()) {
        // Someone else's file in a shared folder proves nothing about our copies.
        ::close(descriptor);
        return false;
    }
    int locked;
    do {
        locked = ::flock(descriptor, LOCK_EX | LOCK_NB);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0) {
        otherInstance_ = errno == EWOULDBLOCK;
        ::close(descriptor);
        return otherInstance_;
    }
    lockDescriptor_ = descriptor;  // held until the process ends
    return false;
}

QString LinuxProcessService::programFolder() {
    const QString link = procRoot_ + QStringLiteral("/self/exe");
    const QByteArray linkPath = QFile::encodeName(link);
    QByteArray target(4096, '\0');
    for (;;) {
        const ssize_t size = ::readlink(linkPath.constData(), target.data(), target.size());
        if (size < 0) raiseSystemFailure(QStringLiteral("Cannot read"), link, errno);
        if (size < target.size()) {
            target.truncate(size);
            break;
        }
        target.resize(target.size() * 2);
    }
    // A replaced or removed program shows as "<path> (deleted)"; its folder is still the one.
    const QString program = QFile::decodeName(target);
    const qsizetype slash = program.lastIndexOf(QLatin1Char('/'));
    if (slash < 0) throw Failure(QStringLiteral("Cannot read %1: not an absolute path").arg(link));
    if (slash == 0) return QStringLiteral("/");
    return program.left(slash);
}

void LinuxProcessService::endProgram() {
    std::fflush(nullptr);
    ::_exit(0);
}

}  // namespace platform
