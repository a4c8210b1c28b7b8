#pragma once

#include <QtGlobal>

#include <unistd.h>

#include <cerrno>

// Reads exactly `size` bytes from `fd` into `buffer`, going on after a short read or an
// interrupted one; false when the file ends or fails first.
inline bool readExactly(int fd, char* buffer, qint64 size) {
    qint64 done = 0;
    while (done < size) {
        const ssize_t n = ::read(fd, buffer + done, size_t(size - done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += n;
    }
    return true;
}
