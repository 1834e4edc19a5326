#include "platform/appendfile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>

#include "platform/failure.h"
#include "platform/fileprimitives.h"
#include "platform/paths.h"

namespace platform {

namespace {

constexpr int kOpenFlags = O_RDWR | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

AppendFile::Kind kindOf(mode_t mode) {
    using Kind = AppendFile::Kind;
    if (S_ISREG(mode)) return Kind::Regular;
    if (S_ISDIR(mode)) return Kind::Folder;
    if (S_ISFIFO(mode)) return Kind::Fifo;
    if (S_ISSOCK(mode)) return Kind::Socket;
    if (S_ISLNK(mode)) return Kind::Link;
    return Kind::Device;
}

}  // namespace

AppendFile::AppendFile(const QString& path, const QByteArray& firstBytes) : path_(path) {
    const QByteArray name = pathToBytes(path);
    // Two tries: a file made by another process between the look and the creation is opened.
    for (int attempt = 0; attempt < 2; ++attempt) {
        const UniqueFd place(::open(name.constData(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        struct stat seen {};
        if (!place && errno != ENOENT)
            raiseSystemFailure(QStringLiteral("Cannot open"), path, errno);
        if (!place) {
            if (!createWith(firstBytes)) continue;
            created_ = true;
            return;
        }
        if (::fstat(place.get(), &seen) != 0)
            raiseSystemFailure(QStringLiteral("Cannot open"), path, errno);
        kind_ = kindOf(seen.st_mode);
        if (kind_ != Kind::Regular) return;
        file_.reset(::open(name.constData(), kOpenFlags));
        struct stat opened {};
        if (!file_ || ::fstat(file_.get(), &opened) != 0)
            raiseSystemFailure(QStringLiteral("Cannot open"), path, errno);
        // Something else took the name between the look and the open: look again.
        if (fileprimitives::sameFile(seen, opened)) return;
        file_.reset();
    }
    raiseSystemFailure(QStringLiteral("Cannot open"), path, EAGAIN);
}

// Written beside the name and linked to it whole, so that no one ever finds the file without its
// first bytes; false when something took the name meanwhile.
bool AppendFile::createWith(const QByteArray& firstBytes) {
    const QByteArray name = pathToBytes(path_);
    QByteArray fresh;
    for (int attempt = 0; !file_; ++attempt) {
        fresh = name + ".new-" + QByteArray::number(::getpid()) + '-' + QByteArray::number(attempt);
        file_.reset(::open(fresh.constData(), kOpenFlags | O_CREAT | O_EXCL, 0666));
        if (!file_ && (errno != EEXIST || attempt > 100))
            raiseSystemFailure(QStringLiteral("Cannot create"), path_, errno);
    }
    int error = 0;
    if (!fileprimitives::writeAll(file_.get(), firstBytes.constData(),
                                  std::size_t(firstBytes.size())) ||
        ::fdatasync(file_.get()) != 0 || ::link(fresh.constData(), name.constData()) != 0)
        error = errno;
    ::unlink(fresh.constData());
    if (error == 0) return true;
    file_.reset();
    if (error == EEXIST) return false;
    raiseSystemFailure(QStringLiteral("Cannot create"), path_, error);
}

AppendFile::Lock::Lock(AppendFile& file) : descriptor_(file.file_.get()) {
    while (::flock(descriptor_, LOCK_EX) != 0) {
        if (errno != EINTR) raiseSystemFailure(QStringLiteral("Cannot lock"), file.path_, errno);
    }
}

AppendFile::Lock::~Lock() {
    ::flock(descriptor_, LOCK_UN);
}

qint64 AppendFile::size() const {
    struct stat info {};
    if (::fstat(file_.get(), &info) != 0)
        raiseSystemFailure(QStringLiteral("Cannot read"), path_, errno);
    return qint64(info.st_size);
}

QByteArray AppendFile::readStart(qsizetype maxBytes) const {
    QByteArray bytes(maxBytes, Qt::Uninitialized);
    ssize_t got = -1;
    do {
        got = ::pread(file_.get(), bytes.data(), std::size_t(maxBytes), 0);
    } while (got < 0 && errno == EINTR);
    if (got < 0) raiseSystemFailure(QStringLiteral("Cannot read"), path_, errno);
    bytes.truncate(got);
    return bytes;
}

void AppendFile::append(const QByteArray& bytes) {
    const qint64 before = size();
    if (fileprimitives::writeAll(file_.get(), bytes.constData(), std::size_t(bytes.size())) &&
        ::fdatasync(file_.get()) == 0)
        return;
    const int error = errno;
    // Only this record's part goes, under the lock no other writer holds meanwhile.
    while (::ftruncate(file_.get(), before) != 0 && errno == EINTR) {
    }
    raiseSystemFailure(QStringLiteral("Cannot write"), path_, error);
}

}  // namespace platform
