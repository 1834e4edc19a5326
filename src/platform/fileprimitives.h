#pragma once

// Descriptor-level helpers shared by the file writer and the copy.

#include <QByteArray>
#include <QString>

#include <sys/stat.h>
#include <sys/types.h>
#include <cstddef>
#include <string_view>

#include "platform/files.h"

namespace platform::fileprimitives {

// The path's bytes for a system call (platform/paths.h).
QByteArray nativePath(const QString& path);

// Writes everything or returns false with errno set.
bool writeAll(int descriptor, const char* data, std::size_t size);

// Reads until the buffer is full or the file ends; returns the count or -1 with errno set.
ssize_t readFully(int descriptor, char* data, std::size_t size);

void closeQuietly(int descriptor);
bool clearNonBlocking(int descriptor);
bool sameFile(const struct stat& a, const struct stat& b);

// Removes the file at path only while it is still the one described by `opened`.
void removeIfStillTheSame(const QByteArray& path, const struct stat& opened);

// Opens a file for writing as CreateMode asks. With ReplaceExisting the file is emptied only
// after it proved to be a regular file and not the file `differentFrom`; a link, a device or a
// FIFO at the path is left exactly as it was. Returns -1 with `reason` set on failure.
int openForWriting(const QByteArray& path, CreateMode mode, const struct stat* differentFrom,
                   QString& reason);

// Why an open of name in folder with O_NOFOLLOW failed, in words a user can act on.
QString openFailureReasonAt(int folder, const QByteArray& name, int errnoValue);

// Takes an exclusive advisory lock without waiting. 0 when taken, or when the file system has
// no locks to offer (a run then goes on unlocked); EWOULDBLOCK when another holds it.
int lockExclusive(int descriptor);

// Offset of the first byte from the start at which the file differs from `size` bytes of
// repeated line (a missing or an extra byte counts), -1 when it is exactly that; -2 with errno
// set when it cannot be read. Reads the file once, in chunks that stay in the processor's cache.
qint64 firstDifferenceFrom(int descriptor, std::string_view line, qint64 size);

}  // namespace platform::fileprimitives
