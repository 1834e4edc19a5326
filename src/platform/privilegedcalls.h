#pragma once

// The system calls of the privileged cache helper, a program that runs as root and links
// nothing but the C++ library: no Qt, so its failures are std::system_error carrying errno
// instead of platform::Failure. What is allowed and what the user reads stay with the helper.

#include <sys/stat.h>

#include <optional>
#include <string>

#include "platform/uniquefd.h"

namespace platform::privileged {

// Opens /dev/null on every one of 0, 1 and 2 that is closed, so no file the program opens
// takes their number. False when /dev/null cannot be opened.
bool fillStandardDescriptors() noexcept;

// Everything from the open file's current offset to its end.
std::string readAll(int descriptor);

// What path names, links followed; nothing when it cannot be looked at.
std::optional<struct stat> statOf(const std::string& path) noexcept;

// The folder name in folder (an absolute name where folder is -1), opened only to walk
// through: never through a link.
UniqueFd openFolderAt(int folder, const std::string& name);

// What name in folder is, a link not followed.
struct stat lookAt(int folder, const std::string& name);
// What the open file is.
struct stat lookAt(int descriptor);

// Opens name in folder (an absolute name where folder is -1) for reading, never through a link
// and never waiting.
UniqueFd openForReadingAt(int folder, const std::string& name);

// fsync.
void writeBack(int descriptor);
// Drops the file's cached pages.
void dropCachedPages(int descriptor);

}  // namespace platform::privileged
