#include "platform/systemfiles.h"

#include <QDir>
#include <QFile>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>

#include "platform/failure.h"
#include "platform/paths.h"
#include "platform/uniquefd.h"

namespace platform::systemfiles {

namespace {

QByteArray encoded(const QString& systemRoot, const QString& path) {
    return pathToBytes(hostPath(systemRoot, path));
}

// Sysfs follows links dozens deep at most; this also stops a loop in a broken recording.
constexpr int maximumLinkFollows = 40;

}  // namespace

QString hostPath(const QString& systemRoot, const QString& path) {
    if (systemRoot.isEmpty() || systemRoot == QLatin1String("/")) return path;
    QString root = systemRoot;
    while (root.endsWith(QLatin1Char('/'))) root.chop(1);
    return root + path;
}

std::optional<QByteArray> readWholeFile(const QString& systemRoot, const QString& path) {
    // Kernel files report a size of 0 or 4096, so read until the end instead of trusting it.
    const QString host = hostPath(systemRoot, path);
    const UniqueFd file(::open(pathToBytes(host).constData(), O_RDONLY | O_CLOEXEC));
    if (!file && (errno == ENOENT || errno == ENOTDIR)) return std::nullopt;
    if (!file) raiseSystemFailure(QStringLiteral("Cannot read"), host, errno);
    QByteArray content;
    char buffer[8192];
    for (;;) {
        const ssize_t count = ::read(file.get(), buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) raiseSystemFailure(QStringLiteral("Cannot read"), host, errno);
        if (count == 0) return content;
        content.append(buffer, count);
    }
}

QString readAttribute(const QString& systemRoot, const QString& path) {
    try {
        return QString::fromUtf8(readWholeFile(systemRoot, path).value_or(QByteArray())).trimmed();
    } catch (const Failure&) {
        return {};  // an attribute the kernel refuses to give is as good as missing
    }
}

bool exists(const QString& systemRoot, const QString& path) {
    struct stat info {};
    return ::lstat(encoded(systemRoot, path).constData(), &info) == 0;
}

bool isNonFolder(const QString& systemRoot, const QString& path) {
    struct stat info {};
    return ::stat(encoded(systemRoot, path).constData(), &info) == 0 && !S_ISDIR(info.st_mode);
}

QString linkTarget(const QString& systemRoot, const QString& path) {
    QByteArray buffer(4096, Qt::Uninitialized);
    const ssize_t length =
        ::readlink(encoded(systemRoot, path).constData(), buffer.data(), buffer.size());
    if (length <= 0 || length >= buffer.size()) return {};
    buffer.truncate(length);
    return pathFromBytes(buffer);
}

QString followedPath(const QString& systemRoot, const QString& path) {
    const auto fail = [&](int reason) {
        raiseSystemFailure(QStringLiteral("Cannot follow the links of"), hostPath(systemRoot, path),
                           reason);
    };
    QStringList pending = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    std::reverse(pending.begin(), pending.end());
    QStringList done;
    int follows = 0;
    while (!pending.isEmpty()) {
        const QString part = pending.takeLast();
        if (part == QLatin1String(".")) continue;
        if (part == QLatin1String("..")) {
            if (!done.isEmpty()) done.removeLast();
            continue;
        }
        const QString candidate =
            QLatin1Char('/') + (done + QStringList{part}).join(QLatin1Char('/'));
        struct stat info {};
        if (::lstat(encoded(systemRoot, candidate).constData(), &info) != 0) fail(errno);
        if (!S_ISLNK(info.st_mode)) {
            done.append(part);
            continue;
        }
        if (++follows > maximumLinkFollows) fail(ELOOP);
        const QString target = linkTarget(systemRoot, candidate);
        if (target.isEmpty()) fail(ENOENT);
        if (target.startsWith(QLatin1Char('/'))) done.clear();
        QStringList targetParts = target.split(QLatin1Char('/'), Qt::SkipEmptyParts);
        std::reverse(targetParts.begin(), targetParts.end());
        pending.append(targetParts);
    }
    return QLatin1Char('/') + done.join(QLatin1Char('/'));
}

QString resolvedPath(const QString& systemRoot, const QString& path) {
    try {
        return followedPath(systemRoot, path);
    } catch (const Failure&) {
        return {};
    }
}

QStringList entryNames(const QString& systemRoot, const QString& path) {
    QStringList names;
    DIR* folder = ::opendir(encoded(systemRoot, path).constData());
    if (!folder) return names;
    while (const dirent* entry = ::readdir(folder)) {
        const QString name = pathFromBytes(entry->d_name);
        if (name == QLatin1String(".") || name == QLatin1String("..")) continue;
        names.append(name);
    }
    ::closedir(folder);
    names.sort();
    return names;
}

}  // namespace platform::systemfiles
