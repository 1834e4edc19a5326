#include "driveinfo/fileshares.h"

#include <QByteArray>
#include <QHash>
#include <QUrl>

#include "platform/paths.h"
#include "platform/systemfiles.h"

namespace driveinfo {

using platform::joinPath;
using platform::pathIsWithin;
namespace systemfiles = platform::systemfiles;

namespace {

bool isGvfs(const MountRecord& mount) {
    return mount.fileSystemType == QLatin1String("fuse.gvfsd-fuse");
}

// gvfs: one level (the share); kio-fuse: protocol and host, and for SMB also the share, since
// a host there offers several unrelated ones.
int shareDepth(const MountRecord& gateway, const QString& firstComponent) {
    if (isGvfs(gateway)) return 1;
    return firstComponent == QLatin1String("smb") ? 3 : 2;
}

QStringList components(const MountRecord& gateway, const QString& path) {
    if (!pathIsWithin(path, gateway.mountPoint) || path == gateway.mountPoint) return {};
    const qsizetype skip =
        gateway.mountPoint == QLatin1String("/") ? 1 : gateway.mountPoint.size() + 1;
    return path.mid(skip).split(QLatin1Char('/'), Qt::SkipEmptyParts);
}

// "smb-share:server=nas,share=music" -> type "smb-share", fields server and share. gvfs
// percent-escapes the separators inside values.
QString gvfsName(const QString& folderName) {
    const qsizetype colon = folderName.indexOf(QLatin1Char(':'));
    if (colon <= 0) return folderName;
    QHash<QString, QString> fields;
    for (const QString& field : folderName.mid(colon + 1).split(QLatin1Char(','))) {
        const qsizetype equals = field.indexOf(QLatin1Char('='));
        if (equals <= 0) continue;
        fields.insert(field.left(equals),
                      QUrl::fromPercentEncoding(field.mid(equals + 1).toUtf8()));
    }
    const QString host =
        fields.value(QStringLiteral("server"), fields.value(QStringLiteral("host")));
    if (host.isEmpty()) return folderName;
    QString what = fields.value(QStringLiteral("share"), fields.value(QStringLiteral("volume")));
    if (what.isEmpty()) what = fields.value(QStringLiteral("user"));
    if (what.isEmpty()) return host;
    return QStringLiteral("%1 on %2").arg(what, host);
}

// Walks down to the depth of the shares; folders only, links not followed.
void collectShares(const QString& systemRoot, const MountRecord& gateway, const QString& folder,
                   QStringList& shares) {
    for (const QString& name : systemfiles::entryNames(systemRoot, folder)) {
        const QString path = joinPath(folder, name);
        if (!systemfiles::linkTarget(systemRoot, path).isEmpty() ||
            !systemfiles::exists(systemRoot, path) || systemfiles::isNonFolder(systemRoot, path)) {
            continue;
        }
        const QStringList parts = components(gateway, path);
        if (parts.size() >= shareDepth(gateway, parts.first())) {
            shares.append(path);
        } else {
            collectShares(systemRoot, gateway, path, shares);
        }
    }
}

}  // namespace

bool isShareGateway(const MountRecord& mount) {
    return isGvfs(mount) || mount.fileSystemType == QLatin1String("fuse.kio-fuse");
}

QStringList shareFolders(const QString& systemRoot, const MountRecord& gateway) {
    QStringList shares;
    collectShares(systemRoot, gateway, gateway.mountPoint, shares);
    shares.sort();
    return shares;
}

QString shareFolderHolding(const MountRecord& gateway, const QString& path) {
    const QStringList parts = components(gateway, path);
    if (parts.isEmpty()) return {};
    const int depth = shareDepth(gateway, parts.first());
    if (parts.size() < depth) return {};
    QString folder = gateway.mountPoint == QLatin1String("/") ? QString() : gateway.mountPoint;
    for (int i = 0; i < depth; ++i) folder = platform::joinPath(folder, parts[i]);
    return folder;
}

QString shareName(const MountRecord& gateway, const QString& shareFolder) {
    const QStringList parts = components(gateway, shareFolder);
    if (parts.isEmpty()) return {};
    if (isGvfs(gateway)) return gvfsName(parts.first());
    // kio-fuse: <protocol>/<authority>[/<share>] reads as the address the file manager shows.
    return parts.first() + QStringLiteral("://") + parts.mid(1).join(QLatin1Char('/'));
}

}  // namespace driveinfo
