#pragma once

#include <QByteArrayView>
#include <QList>
#include <QString>
#include <optional>

#include "platform/uniquefd.h"

namespace platform {

// One line of /proc/self/mountinfo, with the kernel's octal escapes decoded.
struct MountRecord {
    int mountId = 0;
    int parentId = 0;
    unsigned major = 0;
    unsigned minor = 0;
    QString root;  // the folder of the file system mounted here, "/" for all of it
    QString mountPoint;
    QString mountOptions;
    QString fileSystemType;  // "ext4", "fuse.sshfs", ...
    QString source;          // "/dev/sdb1", "server:/export", "tmpfs", ...
    QString superOptions;

    QString deviceNumber() const;  // "8:17"
    // Backed by a block device: a device number with a major, or a source under /dev.
    bool hasBlockDevice() const;
};

// Parses the text of a mountinfo file. Lines that do not have the expected fields are skipped.
QList<MountRecord> parseMountInfo(QByteArrayView text);

// Decodes the \ooo escapes mountinfo uses for blank, tab, new line and backslash; other bytes
// are taken as they stand and the result is read as a file name.
QString decodeMountInfoField(QByteArrayView field);

// The mnt_id line of a /proc/self/fdinfo/<fd> text; empty when there is none.
std::optional<int> mountIdFromFdInfo(QByteArrayView text);

// Reads and parses <systemRoot>/proc/self/mountinfo; throws Failure when it cannot be read.
QList<MountRecord> readMountTable(const QString& systemRoot);

// Path of the mount table below a system root.
QString mountTablePath(const QString& systemRoot);

// The mount table opened to be watched: the kernel flags it as exceptional (POLLPRI) after each
// mount or unmount. Throws Failure when it cannot be opened.
UniqueFd openMountTableToWatch(const QString& systemRoot);
// True when the kernel flagged a mount or unmount on the watched table since the last call or
// the opening; never waits. A table that is no proc file (a fixture) never changes.
bool mountTableChanged(const UniqueFd& watched) noexcept;

// True for the file systems that read from a server: nfs, cifs, sshfs, ...
bool isNetworkFileSystem(const QString& fileSystemType);

}  // namespace platform
