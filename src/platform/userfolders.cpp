#include "platform/userfolders.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <vector>

#include "platform/failure.h"
#include "platform/fileprimitives.h"
#include "platform/paths.h"
#include "platform/uniquefd.h"

namespace platform {

namespace {

PathFacts factsOf(const struct stat& info) {
    return PathFacts{S_ISDIR(info.st_mode), S_ISLNK(info.st_mode), uint(info.st_uid),
                     uint(info.st_mode & 07777), quint64(info.st_nlink)};
}

std::optional<PathFacts> statFacts(const QString& path, bool follow) {
    struct stat info {};
    const QByteArray bytes = pathToBytes(path);
    const int result =
        follow ? ::stat(bytes.constData(), &info) : ::lstat(bytes.constData(), &info);
    if (result == 0) return factsOf(info);
    if (errno == ENOENT || errno == ENOTDIR) return std::nullopt;
    raiseSystemFailure(QStringLiteral("Cannot read"), path, errno);
}

QString folderOfPath(const QString& path) {
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    return slash <= 0 ? QStringLiteral("/") : path.left(slash);
}

}  // namespace

uint effectiveUser() {
    return uint(::geteuid());
}

QString absolutePathFromEnvironment(const char* name) {
    const QByteArray value = qgetenv(name);
    if (!value.startsWith('/')) return {};
    return pathFromBytes(value);
}

UserEntry userEntry(uint user) {
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? std::size_t(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(uid_t(user), &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
        return {};
    return UserEntry{QString::fromLocal8Bit(found->pw_name),
                     found->pw_dir ? pathFromBytes(found->pw_dir) : QString()};
}

std::optional<PathFacts> pathFacts(const QString& path) {
    return statFacts(path, false);
}

std::optional<PathFacts> followedPathFacts(const QString& path) {
    return statFacts(path, true);
}

bool makeFolder(const QString& path, uint mode) {
    if (::mkdir(pathToBytes(path).constData(), 0700) != 0) {
        if (errno == EEXIST) return false;
        raiseSystemFailure(QStringLiteral("Cannot create"), path, errno);
    }
    // The umask may have taken bits away; the mode asked for is set as a second step.
    setMode(path, mode);
    return true;
}

void setMode(const QString& path, uint mode) {
    if (::chmod(pathToBytes(path).constData(), mode_t(mode)) != 0)
        raiseSystemFailure(QStringLiteral("Cannot change"), path, errno);
}

bool mayCreateIn(const QString& folder) {
    return ::faccessat(AT_FDCWD, pathToBytes(folder).constData(), W_OK | X_OK, AT_EACCESS) == 0;
}

bool sameNode(const QString& path, const QString& other) {
    struct stat a {};
    struct stat b {};
    return ::stat(pathToBytes(path).constData(), &a) == 0 &&
           ::stat(pathToBytes(other).constData(), &b) == 0 && fileprimitives::sameFile(a, b);
}

void replaceFile(const QString& path, const QByteArray& bytes, bool sync) {
    const QString fresh = path + QStringLiteral(".new");
    const QByteArray freshBytes = pathToBytes(fresh);
    ::unlink(freshBytes.constData());
    UniqueFd file(
        ::open(freshBytes.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!file) raiseSystemFailure(QStringLiteral("Cannot write"), path, errno);
    int error = 0;
    if (!fileprimitives::writeAll(file.get(), bytes.constData(), std::size_t(bytes.size())) ||
        (sync && ::fsync(file.get()) != 0))
        error = errno;
    if (const int closed = file.close(); error == 0) error = closed;
    if (error == 0 && ::rename(freshBytes.constData(), pathToBytes(path).constData()) != 0)
        error = errno;
    if (error != 0) {
        ::unlink(freshBytes.constData());
        raiseSystemFailure(QStringLiteral("Cannot write"), path, error);
    }
    if (!sync) return;
    // The rename is on disk only once its folder is.
    const UniqueFd folder(
        ::open(pathToBytes(folderOfPath(path)).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder && ::fsync(folder.get()) != 0 && errno != EINVAL)
        raiseSystemFailure(QStringLiteral("Cannot write"), path, errno);
}

std::optional<QByteArray> readRegularFile(const QString& path) {
    const UniqueFd file(::open(pathToBytes(path).constData(),
                               O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
    if (!file && errno == ENOENT) return std::nullopt;
    struct stat info {};
    if (!file || ::fstat(file.get(), &info) != 0) {
        const int error = errno;
        throw Failure(QStringLiteral("Cannot read"), path, error,
                      error == ELOOP ? QStringLiteral("Not a regular file") : systemReason(error));
    }
    if (!S_ISREG(info.st_mode))
        throw Failure(QStringLiteral("Cannot read"), path, 0, QStringLiteral("Not a regular file"));
    QByteArray content(qsizetype(info.st_size), Qt::Uninitialized);
    const ssize_t got = fileprimitives::readFully(file.get(), content.data(), content.size());
    if (got < 0) raiseSystemFailure(QStringLiteral("Cannot read"), path, errno);
    content.truncate(got);
    return content;
}

std::optional<FileIdentity> folderIdentity(const QString& path) {
    const UniqueFd folder(
        ::open(pathToBytes(path).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder) {
        if (errno == ENOENT || errno == ELOOP || errno == ENOTDIR) return std::nullopt;
        raiseSystemFailure(QStringLiteral("Cannot read"), path, errno);
    }
    return fileprimitives::identityOf(folder.get(), path);
}

}  // namespace platform
