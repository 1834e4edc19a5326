#pragma once

// Facts and primitives about the user and the folders the program keeps for the user: who runs
// it, the environment, the user database, and plain operations on folders and small files. The
// rules of which folder to use and what to make of it live above.

#include <QByteArray>
#include <QString>
#include <optional>

#include "platform/files.h"

namespace platform {

// The effective user id of this process.
uint effectiveUser();

// A path from the environment; empty when unset or not absolute.
QString absolutePathFromEnvironment(const char* name);

// The user database's entry of a user: name and home folder; empty when unknown.
struct UserEntry {
    QString name;
    QString home;
};
UserEntry userEntry(uint user);

// What lstat says of path, links not followed; nullopt when nothing is there. Throws Failure
// ("Cannot read <path>: <reason>") for any other error.
struct PathFacts {
    bool folder = false;
    bool link = false;
    uint owner = 0;
    uint mode = 0;  // the permission bits
    quint64 links = 0;
};
std::optional<PathFacts> pathFacts(const QString& path);
// The same for what path names once its links are followed; nullopt when nothing is there.
std::optional<PathFacts> followedPathFacts(const QString& path);

// Makes one folder with exactly the given permission bits whatever the umask. False when
// something is already there; throws Failure ("Cannot create <path>: <reason>") otherwise.
bool makeFolder(const QString& path, uint mode);
// Sets the permission bits of path; throws Failure ("Cannot change <path>: ...").
void setMode(const QString& path, uint mode);
// True when this process may create files in the folder (effective ids).
bool mayCreateIn(const QString& folder);
// True when path and other name the same folder or file (links followed); false when either is
// missing.
bool sameNode(const QString& path, const QString& other);

// Replaces the file at path with bytes as one step: written to a new file beside it and renamed
// over path; with sync, on disk (file and folder) before it returns. Throws Failure naming path.
void replaceFile(const QString& path, const QByteArray& bytes, bool sync);
// The content of the regular file at path, nullopt when nothing is there. Never waits on what is
// there: a FIFO, a device or a link is refused with Failure ("Cannot read <path>: Not a
// regular file"), as is any failure to read.
std::optional<QByteArray> readRegularFile(const QString& path);

// The identity of the folder at path (not a link followed), nullopt when none is there or it is
// a link; throws Failure ("Cannot read <path>: ...") otherwise.
std::optional<FileIdentity> folderIdentity(const QString& path);

}  // namespace platform
