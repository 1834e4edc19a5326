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

// flock(LOCK_EX | LOCK_NB), again after a signal: 0 when taken, else errno's value
// (EWOULDBLOCK when another holds it).
int tryLockExclusive(int descriptor);

// Takes a test file's exclusive lock without waiting. 0 when taken, or when the file system has
// no locks to offer (a run then goes on unlocked); EWOULDBLOCK when another holds it.
int lockExclusive(int descriptor);

// Offset of the first byte from the start at which the file differs from `size` bytes of
// repeated line (a missing or an extra byte counts), nothing when it is exactly that. Throws
// Failure ("Cannot read <path>: ...") when it cannot be read. Reads the file once, in chunks
// that stay in the processor's cache.
std::optional<qint64> firstDifferenceFrom(int descriptor, std::string_view line, qint64 size,
                                          const QString& path);

// Device, inode and, where the file system keeps one, birth time of an open file; false with
// errno set when they cannot be had.
bool identityOf(int descriptor, FileIdentity& identity);

}  // namespace platform::fileprimitives
