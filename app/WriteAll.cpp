#include "app/WriteAll.h"

#include <cerrno>

#include <unistd.h>

int writeAll(int fd, QByteArrayView bytes) {
    const char* data = bytes.data();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, size_t(left));
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        if (written == 0) {
            return EIO;  // no progress, and no reason given
        }
        data += written;
        left -= written;
    }
    return 0;
}
