#pragma once

#include <unistd.h>

#include <utility>

// A file descriptor owned by one object and closed when that object goes out of scope.
class ScopedFd {
public:
    explicit ScopedFd(int fd) : fd(fd) {}
    ~ScopedFd() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    ScopedFd(ScopedFd&& other) noexcept : fd(std::exchange(other.fd, -1)) {}
    ScopedFd(const ScopedFd&) = delete;
    ScopedFd& operator=(const ScopedFd&) = delete;

    int get() const { return fd; }
    bool valid() const { return fd >= 0; }
    // Hands the descriptor to the caller, who closes it from now on.
    int release() { return std::exchange(fd, -1); }

private:
    int fd;
};
