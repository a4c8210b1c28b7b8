#include "gen2/KV2ImageLayout.h"

#include "app/HException.h"

namespace kv2 {

bool fieldFits(const SerialField& field, qsizetype imageSize) {
    // The descriptor's type byte precedes the field, so even an empty field must start
    // no further than the end of the image.
    return field.offset >= SERIAL_FIELD_OFFSET && field.offset <= imageSize &&
           field.byteCount() <= imageSize - field.offset;
}

qsizetype lastOffsetOf(QByteArrayView image, QByteArrayView pattern) {
    return pattern.size() > image.size() ? -1 : image.lastIndexOf(pattern);
}

SerialField locateSerialField(QByteArrayView image) {
    // A backward search: the marker with the highest offset wins.
    const qsizetype marker = lastOffsetOf(image, bytesOf(SERIAL_MARKER));
    if (marker < 0)
        throw HException("Cannot find serial number");
    if (marker + SERIAL_LENGTH_BYTE_OFFSET >= image.size())
        throw HException("Serial number marker at the end of the image has no length byte");

    const int lengthByte = quint8(image[marker + SERIAL_LENGTH_BYTE_OFFSET]);
    SerialField field;
    field.offset = qint32(marker + SERIAL_FIELD_OFFSET);
    field.length = lengthByte / SERIAL_BYTES_PER_CHARACTER - 1;
    if (!fieldFits(field, image.size()))
        throw HException(FIELD_PAST_END_MESSAGE);
    return field;
}

bool hasDeviceDescriptorPattern(QByteArrayView image) {
    return lastOffsetOf(image, bytesOf(DEVICE_DESCRIPTOR_PATTERN)) >= 0;
}

bool hasMakerName(QByteArrayView image) {
    return lastOffsetOf(image, bytesOf(MAKER_NAME)) >= 0;
}

QByteArrayView applicationZone(QByteArrayView image) {
    if (image.size() <= APPLICATION_ZONE_START)
        return {};
    return image.sliced(APPLICATION_ZONE_START);
}

QString readSerialField(QByteArrayView image, const SerialField& field) {
    if (!fieldFits(field, image.size()))
        throw HException(FIELD_PAST_END_MESSAGE);
    QString text;
    text.reserve(qMax(field.length, 0));
    for (qint32 k = 0; k < field.length; ++k) {
        const qsizetype at = field.offset + qsizetype(k) * SERIAL_BYTES_PER_CHARACTER;
        const auto unit = char16_t(quint8(image[at]) | (quint8(image[at + 1]) << 8));
        text.append(QChar(unit));
    }
    return text;
}

}  // namespace kv2
