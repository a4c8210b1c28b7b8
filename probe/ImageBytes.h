#pragma once

#include "app/HException.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <memory>

// The failure to open an image file: a file that is missing, not a regular file, or not
// readable by this user. Front ends word it as the install of a probe's generation does.
class CannotOpenImage : public HException {
public:
    using HException::HException;
};

// The bytes of an image file, read once into memory that the processes installing it can
// map as well: a sealed memory file (memfd), so that each install on several probes at
// once takes the very bytes read, however many probes there are and whatever becomes of
// the file meanwhile, and the image is in memory once.
class ImageBytes {
public:
    ~ImageBytes();
    ImageBytes(const ImageBytes&) = delete;
    ImageBytes& operator=(const ImageBytes&) = delete;

    // Reads the regular file named `path` whole. A file larger than `largest` bytes is
    // refused before anything is read. Throws CannotOpenImage "cannot open " + path (also
    // for anything but a regular file), HException "cannot read " + path or "image too
    // large: ...".
    static std::shared_ptr<const ImageBytes> read(const QString& path, qint64 largest);
    // The image a parent process handed over as the memory file `fd` (this object takes
    // it). Throws HException when it is no readable memory file of at most `largest` bytes.
    static std::shared_ptr<const ImageBytes> adopt(int fd, qint64 largest);

    // A view of the bytes, valid while this object lives.
    QByteArray bytes() const;
    qint64 size() const { return length; }
    // The sealed memory file holding the bytes, for a child process; -1 where the system
    // offers none (the bytes are then in this process only).
    int memoryFile() const { return fd; }

private:
    ImageBytes() = default;

    int fd = -1;
    void* mapping = nullptr;
    qint64 length = 0;
    QByteArray heap;  // where there is no memory file
};
