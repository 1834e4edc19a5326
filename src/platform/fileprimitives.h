#pragma once

// Descriptor-level helpers shared by the file writer and the copy.

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include "platform/files.h"

#include <sys/stat.h>
#include <sys/types.h>
#include <cstddef>
#include <optional>
#include <string_view>

namespace platform::fileprimitives {

// Writes everything or returns false with errno set.
bool writeAll(int descriptor, const char* data, std::size_t size);

// Reads until the buffer is full or the file ends; returns the count or -1 with errno set.
ssize_t readFully(int descriptor, char* data, std::size_t size);

bool clearNonBlocking(int descriptor);
bool sameFile(const struct stat& a, const struct stat& b);

// Why an open of name in folder with O_NOFOLLOW failed, in words a user can act on.
QString openFailureReasonAt(int folder, const QByteArray& name, int errnoValue);

// Takes a file's exclusive lock without waiting; true when another holds it. Where the file
// system has no locks to offer the file goes unlocked, as if taken.
bool lockedByAnother(int descriptor);

// Device, inode and, where the file system keeps them, birth time and generation of an open
// file. Throws Failure("Cannot read <path>: ...") when the kernel does not tell.
FileIdentity identityOf(int descriptor, const QString& path);

}  // namespace platform::fileprimitives
