#include "gen2/KV2FirmwareImage.h"

#include "app/HException.h"
#include "gen2/KV2ImageLayout.h"

#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <utility>

void KV2FirmwareImage::load(const HPath& path, const QString& serialNumber) {
    loadBytes(readFile(path), serialNumber);
}

void KV2FirmwareImage::loadBytes(const QByteArray& bytes, const QString& serialNumber) {
    // Every step works on a fresh image; this object changes only when all succeeded.
    KV2FirmwareImage image;
    image.data = bytes;
    image.findSerialNumber();
    image.checkDeviceDescriptor();
    image.checkMakerName();
    image.copyHead();
    if (!serialNumber.isEmpty())
        image.patchSerialNumber(serialNumber);
    *this = std::move(image);
}

QByteArray KV2FirmwareImage::readFile(const HPath& path) {
    // Only a regular file is read: a FIFO or a device named like an image would block the
    // caller (the GUI thread) on open or read, so the file is opened without waiting and
    // checked before anything is read.
    const int fd =
        ::open(QFile::encodeName(path.nativePath()).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat status {};
    QFile file;
    if (fd < 0 || ::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) ||
        !file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        if (fd >= 0)
            ::close(fd);
        throw HException(std::string("Cannot open ") + path.nativePathAscii());
    }
    const auto tooLarge = [&path] {
        return HException(std::string("Firmware file is too large (more than ") +
                          std::to_string(MAX_FILE_SIZE) + " bytes): " + path.nativePathAscii());
    };
    // Read up to one byte past the limit, so that a file growing meanwhile is refused too.
    if (file.size() > MAX_FILE_SIZE)
        throw tooLarge();
    QByteArray bytes = file.read(MAX_FILE_SIZE + 1);
    if (bytes.size() > MAX_FILE_SIZE)
        throw tooLarge();
    if (file.error() != QFileDevice::NoError)
        throw HException(std::string("Cannot read ") + path.nativePathAscii());
    return bytes;
}

void KV2FirmwareImage::findSerialNumber() {
    const kv2::SerialField field = kv2::locateSerialField(data);
    serialOffset = field.offset;
    serialLength = field.length;
}

void KV2FirmwareImage::checkDeviceDescriptor() const {
    if (!kv2::hasDeviceDescriptorPattern(data))
        throw HException("Cannot find PID");
}

void KV2FirmwareImage::checkMakerName() const {
    if (!kv2::hasMakerName(data))
        throw HException("Bad firmware file");
}

void KV2FirmwareImage::copyHead() {
    if (data.size() < kv2::MIN_IMAGE_SIZE)
        throw HException("Firmware image is too small (" + std::to_string(data.size()) +
                         " bytes; at least " + std::to_string(kv2::MIN_IMAGE_SIZE) +
                         " are needed)");
    // The source and destination ranges do not overlap (128 < 512).
    static_assert(kv2::HEAD_COPY_LENGTH <= kv2::APPLICATION_ZONE_START);
    char* bytes = data.data();
    std::copy_n(bytes, kv2::HEAD_COPY_LENGTH, bytes + kv2::APPLICATION_ZONE_START);
}

void KV2FirmwareImage::patchSerialNumber(const QString& text) {
    if (text.size() != serialLength)
        throw HException("Cannot set serial number, incorrect size (" +
                         text.toLocal8Bit().toStdString() + ")");
    const kv2::SerialField field{serialOffset, serialLength};
    if (!kv2::fieldFits(field, data.size()))
        throw HException(kv2::FIELD_PAST_END_MESSAGE);
    char* bytes = data.data();
    for (qint32 k = 0; k < serialLength; ++k) {
        const qsizetype at = serialOffset + qsizetype(k) * kv2::SERIAL_BYTES_PER_CHARACTER;
        bytes[at] = char(text[k].unicode() & 0xFF);
        bytes[at + 1] = 0x00;
    }
}

void KV2FirmwareImage::checkFitsApplicationZone() const {
    if (data.size() > kv2::MAX_IMAGE_SIZE)
        throw HException("Application to large to fit in appication zone");
}

QString KV2FirmwareImage::serialNumber() const {
    return kv2::readSerialField(data, kv2::SerialField{serialOffset, serialLength});
}
