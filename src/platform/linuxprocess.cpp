#include "platform/linuxprocess.h"

#include <QCoreApplication>

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "platform/failure.h"
#include "platform/paths.h"

namespace platform {

namespace {

QString defaultLockFolder() {
    const QString runtime = QStringLiteral("/run/user/%1").arg(geteuid());
    struct stat info {};
    if (::lstat(pathToBytes(runtime).constData(), &info) == 0 && S_ISDIR(info.st_mode) &&
        info.st_uid == geteuid()) {
        return runtime;
    }
    return QStringLiteral("/tmp");
}

// A path from the environment; empty when unset or not absolute.
QString absoluteFromEnvironment(const char* name) {
    const QByteArray value = qgetenv(name);
    if (!value.startsWith('/')) return {};
    return pathFromBytes(value);
}

// Makes the folder (and missing parents) private to the user; an existing one is kept as it is.
void makeFolder(const QString& folder) {
    const QByteArray path = pathToBytes(folder);
    if (::mkdir(path.constData(), 0700) == 0 || errno == EEXIST) {
        struct stat info {};
        if (::stat(path.constData(), &info) != 0)
            raiseSystemFailure(QStringLiteral("Cannot create"), folder, errno);
        if (!S_ISDIR(info.st_mode))
            raiseSystemFailure(QStringLiteral("Cannot create"), folder, ENOTDIR);
        return;
    }
    if (errno != ENOENT) raiseSystemFailure(QStringLiteral("Cannot create"), folder, errno);
    const qsizetype slash = folder.lastIndexOf(QLatin1Char('/'));
    if (slash <= 0) raiseSystemFailure(QStringLiteral("Cannot create"), folder, ENOENT);
    makeFolder(folder.left(slash));
    if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST)
        raiseSystemFailure(QStringLiteral("Cannot create"), folder, errno);
}

}  // namespace

LinuxProcessService::LinuxProcessService(QString lockFolder, QString procRoot)
    : procRoot_(std::move(procRoot)) {
    if (lockFolder.isEmpty()) lockFolder = defaultLockFolder();
    // The user id keeps users apart in the shared /tmp; the program file's device and inode
    // keep separate copies of the program (a build and an install) apart.
    struct stat program {};
    QString name = QStringLiteral("dov-uruvivuz-%1").arg(geteuid());
    if (::stat(pathToBytes(procRoot_ + QStringLiteral("/self/exe")).constData(), &program) == 0) {
        name += QStringLiteral("-%1-%2")
                    .arg(quint64(program.st_dev), 0, 16)
                    .arg(quint64(program.st_ino));
    }
    lockFilePath_ = lockFolder + QLatin1Char('/') + name + QStringLiteral(".lock");
}

LinuxProcessService::~LinuxProcessService() {
    if (lockDescriptor_ >= 0) ::close(lockDescriptor_);
}

bool LinuxProcessService::previousInstanceRunning() {
    if (checked_) return otherInstance_;
    checked_ = true;

    const QByteArray path = pathToBytes(lockFilePath_);
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
    return programFolderBelow(procRoot_);
}

QString programFolderBelow(const QString& procRoot) {
    const QString link = procRoot + QStringLiteral("/self/exe");
    const QByteArray linkPath = pathToBytes(link);
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
    const QString program = pathFromBytes(target);
    const qsizetype slash = program.lastIndexOf(QLatin1Char('/'));
    if (slash < 0) throw Failure(QStringLiteral("Cannot read %1: not an absolute path").arg(link));
    if (slash == 0) return QStringLiteral("/");
    return program.left(slash);
}

QString LinuxProcessService::testFileFolder() {
    const QString program = programFolder();
    // A portable copy or the build folder: the file stays next to the program, as always.
    if (::faccessat(AT_FDCWD, pathToBytes(program).constData(), W_OK | X_OK, AT_EACCESS) == 0)
        return program;
    // An installed copy: the user's cache, never a folder on the PATH.
    QString cache = absoluteFromEnvironment("XDG_CACHE_HOME");
    if (cache.isEmpty()) {
        QString home = absoluteFromEnvironment("HOME");
        if (home.isEmpty()) {
            if (const passwd* user = ::getpwuid(geteuid()); user && user->pw_dir)
                home = pathFromBytes(user->pw_dir);
        }
        if (home.isEmpty()) {
            throw Failure(QStringLiteral("Cannot create the test file in %1: Permission denied, "
                                         "and the home folder is unknown")
                              .arg(displayPath(program)));
        }
        cache = home + QStringLiteral("/.cache");
    }
    while (cache.size() > 1 && cache.endsWith(QLatin1Char('/'))) cache.chop(1);
    const QString folder = cache + QStringLiteral("/dov-uruvivuz");
    makeFolder(folder);
    return folder;
}

void LinuxProcessService::endProgram() {
    if (endThroughEventLoop_ && QCoreApplication::instance() != nullptr) {
        // Leaves every loop running now; the queued call also ends one not yet started.
        QCoreApplication::exit(0);
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
        return;
    }
    std::fflush(nullptr);
    ::_exit(0);
}

}  // namespace platform
