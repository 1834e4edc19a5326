#include "platform/linuxprocess.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/failure.h"
#include "platform/paths.h"

namespace platform {

namespace {

// The program file as the kernel names it; a replaced or removed program shows as
// "<path> (deleted)".
QByteArray programFileBelow(const QString& procRoot) {
    const QString link = joinPath(procRoot, QStringLiteral("self/exe"));
    // No link, and no path the kernel gives here, is longer than PATH_MAX.
    char target[PATH_MAX];
    const ssize_t size = ::readlink(pathToBytes(link).constData(), target, sizeof target);
    if (size < 0) raiseSystemFailure(QStringLiteral("Cannot read"), link, errno);
    if (size_t(size) == sizeof target)
        raiseSystemFailure(QStringLiteral("Cannot read"), link, ENAMETOOLONG);
    return QByteArray(target, size);
}

}  // namespace

LinuxProcessService::LinuxProcessService(QString instanceName, QString procRoot,
                                         QString runtimeFolder)
    : instanceName_(std::move(instanceName)),
      procRoot_(std::move(procRoot)),
      runtimeFolder_(std::move(runtimeFolder)) {
    if (runtimeFolder_.isEmpty()) runtimeFolder_ = QStringLiteral("/run/user/%1").arg(geteuid());
    if (!instanceName_.isEmpty()) return;
    // The program file's name and the user id keep programs and users apart; the file's path
    // keeps separate copies of the program (a build and an install) apart, and a replaced
    // program meets its successor.
    try {
        QByteArray program = programFileBelow(procRoot_);
        const QByteArrayView deleted(" (deleted)");
        if (program.endsWith(deleted)) program.chop(deleted.size());
        const QByteArray hash = QCryptographicHash::hash(program, QCryptographicHash::Sha256);
        instanceName_ = QStringLiteral("%1-%2-%3")
                            .arg(QFile::decodeName(program.mid(program.lastIndexOf('/') + 1)))
                            .arg(geteuid())
                            .arg(QString::fromLatin1(hash.toHex().left(32)));
    } catch (const Failure&) {
        // Without the program's path, the user's copies of the program share one name.
        instanceName_ = QStringLiteral("%1-%2")
                            .arg(QString::fromLocal8Bit(program_invocation_short_name))
                            .arg(geteuid());
    }
}

bool LinuxProcessService::previousInstanceRunning() {
    if (checked_) return otherInstance_;
    checked_ = true;
    UniqueFd folder(::open(pathToBytes(runtimeFolder_).constData(),
                           O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat info {};
    // Only a folder of the user's that nobody else may enter keeps others out of the lock.
    if (folder && ::fstat(folder.get(), &info) == 0 && info.st_uid == geteuid() &&
        (info.st_mode & 077) == 0) {
        otherInstance_ = lockHeldInFolder(folder.get());
    } else {
        otherInstance_ = nameHeldByThisUser();
    }
    return otherInstance_;
}

// A lock file in the user's private runtime folder. The kernel frees the lock with its holder,
// however it ends; the holder removes the file when it gives the lock up. A lock taken on a
// file that was removed meanwhile (its holder gave up) is taken again on the new file.
bool LinuxProcessService::lockHeldInFolder(int folder) {
    const QByteArray name = QFile::encodeName(instanceName_ + QStringLiteral(".lock"));
    for (int attempt = 0; attempt < 10; ++attempt) {
        UniqueFd lock(
            ::openat(folder, name.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
        // When the lock cannot be had at all, starting is better than refusing to.
        if (!lock) return false;
        if (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) return errno == EWOULDBLOCK;
        struct stat held {};
        struct stat named {};
        if (::fstat(lock.get(), &held) != 0) return false;
        if (::fstatat(folder, name.constData(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
            held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
            lockFolder_ = UniqueFd(::dup(folder));
            lockName_ = name;
            instance_ = std::move(lock);
            return false;
        }
    }
    return false;
}

// Where the user has no private runtime folder: a socket bound to a name in the abstract
// namespace, which anyone may bind. Only a holder that answers as this user proves a copy of
// ours; a name taken by someone else, or a queue filled by someone else, keeps nobody out.
bool LinuxProcessService::nameHeldByThisUser() {
    // An abstract name starts with a zero byte; the kernel counts its length exactly.
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray name = instanceName_.toUtf8().left(int(sizeof address.sun_path) - 1);
    std::memcpy(address.sun_path + 1, name.constData(), size_t(name.size()));
    const auto length = socklen_t(offsetof(sockaddr_un, sun_path) + 1 + size_t(name.size()));
    const auto* generic = reinterpret_cast<const sockaddr*>(&address);

    UniqueFd holder(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!holder) return false;
    if (::bind(holder.get(), generic, length) == 0) {
        // Listening lets a later copy ask who holds the name.
        ::listen(holder.get(), SOMAXCONN);
        instance_ = std::move(holder);
        return false;
    }
    if (errno != EADDRINUSE) return false;
    UniqueFd asker(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!asker) return false;
    // A copy of ours listens right after it binds; one not listening a moment later is not ours.
    int connected;
    for (int attempt = 0; (connected = ::connect(asker.get(), generic, length)) != 0 &&
                          errno == ECONNREFUSED && attempt < 5;
         ++attempt) {
        ::usleep(20000);
    }
    if (connected != 0) return false;
    ucred holderIs{};
    socklen_t size = sizeof holderIs;
    return ::getsockopt(asker.get(), SOL_SOCKET, SO_PEERCRED, &holderIs, &size) == 0 &&
           holderIs.uid == geteuid();
}

void LinuxProcessService::releaseInstance() {
    // The file goes while the lock is held, so that no later copy locks a file about to go.
    if (instance_ && lockFolder_) ::unlinkat(lockFolder_.get(), lockName_.constData(), 0);
    lockFolder_.reset();
    instance_.reset();
}

QString LinuxProcessService::programFolder() {
    return programFolderBelow(procRoot_);
}

QString programFolderBelow(const QString& procRoot) {
    // A replaced or removed program's folder is still the one.
    const QString program = pathFromBytes(programFileBelow(procRoot));
    const qsizetype slash = program.lastIndexOf(QLatin1Char('/'));
    if (slash < 0) {
        throw Failure(
            QStringLiteral("Cannot read %1/self/exe: not an absolute path").arg(procRoot));
    }
    if (slash == 0) return QStringLiteral("/");
    return program.left(slash);
}

void LinuxProcessService::endProgram() {
    if (endThroughEventLoop_ && QCoreApplication::instance() != nullptr) {
        // Leaves every loop running now; the queued call also ends one not yet started.
        QCoreApplication::exit(0);
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
        return;
    }
    endProcessNow(0);
}

void endProcessNow(int status) {
    std::fflush(nullptr);
    ::_exit(status);
}

}  // namespace platform
