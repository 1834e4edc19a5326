#pragma once

#include <QString>
#include <QStringList>
#include <optional>

// Small readers for the kernel's /sys and /proc trees. Every path is a path inside the system
// seen from systemRoot: an empty root is the running system, a folder is a recorded copy of one
// (symbolic links in it are relative, or absolute as seen from that root).
namespace platform::systemfiles {

// root + path, where path is absolute inside the system.
QString hostPath(const QString& systemRoot, const QString& path);

// The content of a small attribute file without surrounding white space; empty when missing or
// unreadable.
QString readAttribute(const QString& systemRoot, const QString& path);

// The whole content of a file; nullopt when nothing is at path. Throws Failure ("Cannot read
// <path>: <reason>") when it cannot be read.
std::optional<QByteArray> readWholeFile(const QString& systemRoot, const QString& path);

bool exists(const QString& systemRoot, const QString& path);

// True when something other than a folder is at path (following links); false when nothing is.
bool isNonFolder(const QString& systemRoot, const QString& path);

// Follows every symbolic link in path, keeping absolute targets inside the root, and returns the
// clean absolute path inside the system. Throws Failure ("Cannot follow the links of <path>:
// <reason>", errno ENOENT, ELOOP, EACCES...) when a component is missing, cannot be looked at or
// the links loop.
QString followedPath(const QString& systemRoot, const QString& path);
// The same, with an empty string where followedPath throws: for readers of /sys, to whom a link
// that leads nowhere is as good as none.
QString resolvedPath(const QString& systemRoot, const QString& path);

// The entry names of a folder, sorted; empty when it is missing.
QStringList entryNames(const QString& systemRoot, const QString& path);

// The target of a symbolic link as stored; empty when path is not a link.
QString linkTarget(const QString& systemRoot, const QString& path);

}  // namespace platform::systemfiles
