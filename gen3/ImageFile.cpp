#include "gen3/ImageFile.h"

#include "app/HException.h"
#include "device/ReadExactly.h"
#include "device/ScopedFd.h"
#include "gen3/FirmwareImageHeader.h"

#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <array>
#include <new>
#include <string>

namespace {

[[noreturn]] void fail(const char* what, const QString& path) {
    throw HException((QLatin1String(what) + path).toLocal8Bit().toStdString());
}

// An image file open for reading, closed when this object goes. Only regular files are
// accepted: a FIFO or a terminal named by a typed path would block the caller, so the
// file is opened without waiting and checked before anything is read.
class OpenImageFile {
public:
    explicit OpenImageFile(const QString& path)
        : path(path),
          file(::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)) {
        struct stat status {};
        if (!file.valid() || ::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
            fail("cannot open ", path);
        }
        fileLength = status.st_size;
    }

    qint64 length() const { return fileLength; }

    // Reads exactly `size` bytes from the current position; "cannot read " + path when
    // fewer arrive.
    void readExactly(char* buffer, qint64 size) {
        if (!::readExactly(file.get(), buffer, size)) {
            fail("cannot read ", path);
        }
    }

    QByteArray readAll(qint64 size) {
        if (size < 0) {
            fail("cannot read ", path);
        }
        QByteArray bytes;
        try {
            bytes = QByteArray(qsizetype(size), Qt::Uninitialized);
        } catch (const std::bad_alloc&) {
            fail("cannot read ", path);
        }
        readExactly(bytes.data(), size);
        return bytes;
    }

private:
    const QString path;
    const ScopedFd file;
    qint64 fileLength = 0;
};

}  // namespace

QByteArray readImageFile(const QString& path, qint64 size) {
    OpenImageFile file(path);
    if (size == 0) {
        size = file.length();
    }
    return file.readAll(size);
}

void readImageFile(const QString& path, qint64 size, char* buffer) {
    OpenImageFile file(path);
    file.readExactly(buffer, size);
}

void checkImageRange(quint32 address, qint64 size) {
    if (size < 0) {
        throw HException("invalid image size: " + std::to_string(size));
    }
    const qint64 addressSpace = Q_INT64_C(1) << 32;
    if (size > std::numeric_limits<int>::max() || qint64(address) + size > addressSpace) {
        throw HException(
            QStringLiteral("image too large: %1 bytes from address 0x%2 (at most %3)")
                .arg(size)
                .arg(address, 0, 16)
                .arg(qMin<qint64>(std::numeric_limits<int>::max(), addressSpace - address))
                .toStdString());
    }
}

void checkInstallImage(QByteArrayView image, const QString& path) {
    if (!FirmwareImageHeader::validFromBytes(image)) {
        QString message = QStringLiteral("not a valid firmware image");
        if (!path.isEmpty()) {
            message += u": " + path;
        }
        throw HException(message.toLocal8Bit().toStdString());
    }
    checkImageRange(IMAGE_BASE_ADDRESS, image.size());
}

QByteArray readInstallImage(const QString& path) {
    OpenImageFile file(path);
    if (file.length() > MAX_INSTALL_IMAGE_SIZE) {
        throw HException(QStringLiteral("image too large: %1 (%2 bytes, at most %3)")
                             .arg(path)
                             .arg(file.length())
                             .arg(MAX_INSTALL_IMAGE_SIZE)
                             .toLocal8Bit()
                             .toStdString());
    }
    return file.readAll(file.length());
}

std::optional<FirmwareImageHeader> readValidImageHeader(const QString& path) {
    std::array<char, FirmwareImageHeader::SIZE> bytes{};
    try {
        readImageFile(path, qint64(bytes.size()), bytes.data());
    } catch (const HException&) {
        return std::nullopt;
    }
    return FirmwareImageHeader::validFromBytes(bytes);
}
