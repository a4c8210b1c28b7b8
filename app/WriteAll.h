#pragma once

#include <QByteArrayView>

// Writes `bytes` whole to the file descriptor `fd`, however many write(2) calls it takes
// (a signal may cut one short). Returns 0, or the errno of the write that failed (EPIPE for
// a reader that went away, ENOSPC for a full disk or /dev/full, ...).
int writeAll(int fd, QByteArrayView bytes);
