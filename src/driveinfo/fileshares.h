#pragma once

#include <QString>
#include <QStringList>

#include "platform/mountinfo.h"

// Network shares that a desktop's file manager opened. They are not mounts of their own: GNOME
// (gvfs, "fuse.gvfsd-fuse" at /run/user/UID/gvfs) keeps one folder per share below one FUSE
// mount, KDE (kio-fuse, "fuse.kio-fuse") one folder per protocol and host. Each such folder is
// a drive to the user.
namespace driveinfo {

using platform::MountRecord;

bool isShareGateway(const MountRecord& mount);

// The share folders below a gateway, as absolute paths inside the system seen from systemRoot.
// Lists folders of a FUSE volume: the caller runs it where a stalled daemon may block.
QStringList shareFolders(const QString& systemRoot, const MountRecord& gateway);

// The share folder of gateway that holds path; empty when path is not inside one.
QString shareFolderHolding(const MountRecord& gateway, const QString& path);

// The share's name as the file manager shows it: "music on nas" for gvfs's
// "smb-share:server=nas,share=music", "smb://nas/music" for kio-fuse's "smb/nas/music".
QString shareName(const MountRecord& gateway, const QString& shareFolder);

}  // namespace driveinfo
