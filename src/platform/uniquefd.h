#pragma once

#include <unistd.h>
#include <cerrno>
#include <utility>

namespace platform {

// Owns one file descriptor: closed when the owner goes, moved but never copied, so no path out
// of a function can leak or double-close it.
class UniqueFd {
public:
    UniqueFd() noexcept = default;
    explicit UniqueFd(int descriptor) noexcept : descriptor_(descriptor) {}
    UniqueFd(UniqueFd&& other) noexcept : descriptor_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const noexcept { return descriptor_; }
    bool valid() const noexcept { return descriptor_ >= 0; }
    explicit operator bool() const noexcept { return valid(); }

    // Gives the descriptor up without closing it.
    int release() noexcept { return std::exchange(descriptor_, -1); }
    void reset(int descriptor = -1) noexcept {
        const int old = std::exchange(descriptor_, descriptor);
        if (old >= 0) ::close(old);
    }
    // Closes now and returns 0 or the close's errno: a written file's last error (NFS, a full
    // FUSE volume) may only show here. EINTR counts as closed, as Linux always frees the number.
    int close() noexcept {
        const int old = release();
        if (old < 0 || ::close(old) == 0 || errno == EINTR) return 0;
        return errno;
    }

private:
    int descriptor_ = -1;
};

}  // namespace platform
