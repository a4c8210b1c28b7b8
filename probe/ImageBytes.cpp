#include "probe/ImageBytes.h"

#include "app/HException.h"
#include "app/LocalFileName.h"
#include "device/ReadExactly.h"
#include "device/ScopedFd.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

[[noreturn]] void fail(const QString& message) {
    throw HException(message.toLocal8Bit().toStdString());
}

constexpr unsigned SEALS = F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL;

}  // namespace

ImageBytes::~ImageBytes() {
    if (mapping != nullptr) {
        ::munmap(mapping, size_t(length));
    }
    if (fd >= 0) {
        ::close(fd);
    }
}

std::shared_ptr<const ImageBytes> ImageBytes::read(const QString& path, qint64 largest) {
    // Without waiting: a FIFO or a terminal named by a typed path would block the caller.
    const ScopedFd file(::open(localFileName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat status {};
    if (file.get() < 0 || ::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        throw CannotOpenImage((QStringLiteral("cannot open ") + path).toLocal8Bit().toStdString());
    }
    if (status.st_size > largest) {
        fail(QStringLiteral("image too large: %1 is %2 bytes, a probe holds at most %3")
                 .arg(path)
                 .arg(qint64(status.st_size))
                 .arg(largest));
    }
    std::shared_ptr<ImageBytes> image(new ImageBytes);
    image->length = status.st_size;
    ScopedFd memory(::memfd_create("kvtool-image", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (memory.get() >= 0 && image->length > 0 && ::ftruncate(memory.get(), image->length) == 0) {
        void* writable = ::mmap(nullptr, size_t(image->length), PROT_READ | PROT_WRITE, MAP_SHARED,
                                memory.get(), 0);
        if (writable != MAP_FAILED) {
            const bool complete =
                readExactly(file.get(), static_cast<char*>(writable), image->length);
            ::munmap(writable, size_t(image->length));
            if (!complete) {
                fail(QStringLiteral("cannot read ") + path);
            }
            // From now on nobody can change the bytes, neither this process nor a child.
            void* readOnly = nullptr;
            if (::fcntl(memory.get(), F_ADD_SEALS, SEALS) == 0 &&
                (readOnly = ::mmap(nullptr, size_t(image->length), PROT_READ, MAP_SHARED,
                                   memory.get(), 0)) != MAP_FAILED) {
                image->mapping = readOnly;
                image->fd = memory.release();
                return image;
            }
            // Sealing or mapping failed: read again into this process's memory below.
            if (::lseek(file.get(), 0, SEEK_SET) != 0) {
                fail(QStringLiteral("cannot read ") + path);
            }
        }
    }
    image->heap = QByteArray(qsizetype(image->length), Qt::Uninitialized);
    if (!readExactly(file.get(), image->heap.data(), image->length)) {
        fail(QStringLiteral("cannot read ") + path);
    }
    return image;
}

std::shared_ptr<const ImageBytes> ImageBytes::adopt(int fd, qint64 largest) {
    ScopedFd memory(fd);
    struct stat status {};
    const int seals = ::fcntl(memory.get(), F_GET_SEALS);
    if (::fstat(memory.get(), &status) != 0 || status.st_size > largest || seals < 0 ||
        (unsigned(seals) & F_SEAL_WRITE) == 0) {
        fail(QStringLiteral("the image handed over is not a sealed memory file"));
    }
    std::shared_ptr<ImageBytes> image(new ImageBytes);
    image->length = status.st_size;
    if (image->length > 0) {
        void* readOnly =
            ::mmap(nullptr, size_t(image->length), PROT_READ, MAP_SHARED, memory.get(), 0);
        if (readOnly == MAP_FAILED) {
            fail(QStringLiteral("cannot map the image handed over"));
        }
        image->mapping = readOnly;
    }
    image->fd = memory.release();
    return image;
}

QByteArray ImageBytes::bytes() const {
    if (mapping != nullptr) {
        return QByteArray::fromRawData(static_cast<const char*>(mapping), qsizetype(length));
    }
    return heap;
}
