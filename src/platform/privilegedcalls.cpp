#include "platform/privilegedcalls.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace platform::privileged {

namespace {

[[noreturn]] void raise(int error) {
    throw std::system_error(error, std::generic_category());
}

UniqueFd openedOrRaise(int descriptor) {
    if (descriptor < 0) raise(errno);
    return UniqueFd(descriptor);
}

}  // namespace

bool fillStandardDescriptors() noexcept {
    for (;;) {
        const int descriptor = ::open("/dev/null", O_RDWR);
        if (descriptor < 0) return false;
        // 0, 1 and 2 stay open for good; the first number above them goes again.
        if (descriptor > 2) {
            UniqueFd spare(descriptor);
            return true;
        }
    }
}

std::string readAll(int descriptor) {
    std::string text;
    char buffer[8192];
    for (;;) {
        const ssize_t got = ::read(descriptor, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) raise(errno);
        if (got == 0) return text;
        text.append(buffer, std::size_t(got));
    }
}

std::optional<struct stat> statOf(const std::string& path) noexcept {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return std::nullopt;
    return info;
}

UniqueFd openFolderAt(int folder, const std::string& name) {
    return openedOrRaise(::openat(folder < 0 ? AT_FDCWD : folder, name.c_str(),
                                  O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

struct stat lookAt(int folder, const std::string& name) {
    struct stat info {};
    if (::fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) raise(errno);
    return info;
}

struct stat lookAt(int descriptor) {
    struct stat info {};
    if (::fstat(descriptor, &info) != 0) raise(errno);
    return info;
}

UniqueFd openForReadingAt(int folder, const std::string& name) {
    return openedOrRaise(::openat(folder < 0 ? AT_FDCWD : folder, name.c_str(),
                                  O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
}

void writeBack(int descriptor) {
    if (::fsync(descriptor) != 0) raise(errno);
}

void dropCachedPages(int descriptor) {
    if (const int error = ::posix_fadvise(descriptor, 0, 0, POSIX_FADV_DONTNEED); error != 0)
        raise(error);
}

}  // namespace platform::privileged
