// Imbrix platform layer: the one owner of a file descriptor.
#pragma once

#include <unistd.h>

#include <utility>

namespace imbrix::platform {

/// Owns one file descriptor and closes it once, on every way out. Move-only.
/// A negative value owns nothing.
class UniqueFd {
public:
    UniqueFd() noexcept = default;
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    ~UniqueFd() { reset(); }

    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }

    /// Gives the descriptor up without closing it.
    int release() noexcept { return std::exchange(fd_, -1); }

    /// Closes the owned descriptor (its close error ignored: callers that must
    /// know whether written data reached the file call close() themselves) and
    /// takes `fd`.
    void reset(int fd = -1) noexcept {
        const int old = std::exchange(fd_, fd);
        if (old >= 0) {
            ::close(old);
        }
    }

    /// Closes the descriptor and returns close()'s result (0, or -1 with errno).
    int close() noexcept {
        const int old = std::exchange(fd_, -1);
        return old >= 0 ? ::close(old) : 0;
    }

private:
    int fd_ = -1;
};

}  // namespace imbrix::platform
