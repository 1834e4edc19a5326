#pragma once

// Descriptor-level helpers shared by the file writer and the copy.

#include <QByteArray>
#include <QString>

#include <sys/stat.h>
#include <sys/types.h>
#include <cstddef>

#include "platform/files.h"

namespace platform::fileprimitives {

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

}  // namespace platform::fileprimitives
