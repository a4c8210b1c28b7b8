#include "gen3/FirmwareImageHeader.h"

#include <QtEndian>

#include <algorithm>
#include <cstring>

FirmwareImageHeader FirmwareImageHeader::decode(std::span<const quint8, SIZE> bytes) {
    FirmwareImageHeader header;
    header.magic = qFromLittleEndian<quint32>(bytes.data() + OFFSET_MAGIC);
    qFromLittleEndian<quint32>(bytes.data() + OFFSET_RESERVED, RESERVED_WORDS,
                               header.reserved.data());
    header.versionMajor = qFromLittleEndian<quint16>(bytes.data() + OFFSET_VERSION_MAJOR);
    header.versionMinor = qFromLittleEndian<quint16>(bytes.data() + OFFSET_VERSION_MINOR);
    std::memcpy(header.description.data(), bytes.data() + OFFSET_DESCRIPTION, DESCRIPTION_SIZE);
    return header;
}

std::optional<FirmwareImageHeader> FirmwareImageHeader::fromBytes(QByteArrayView bytes) {
    if (bytes.size() < SIZE) {
        return std::nullopt;
    }
    const auto* data = reinterpret_cast<const quint8*>(bytes.data());
    return decode(std::span<const quint8, SIZE>(data, SIZE));
}

std::optional<FirmwareImageHeader> FirmwareImageHeader::validFromBytes(QByteArrayView bytes) {
    const std::optional<FirmwareImageHeader> header = fromBytes(bytes);
    return header && header->hasImageMagic() ? header : std::nullopt;
}

void FirmwareImageHeader::encode(std::span<quint8, SIZE> bytes) const {
    qToLittleEndian<quint32>(magic, bytes.data() + OFFSET_MAGIC);
    qToLittleEndian<quint32>(reserved.data(), RESERVED_WORDS, bytes.data() + OFFSET_RESERVED);
    qToLittleEndian<quint16>(versionMajor, bytes.data() + OFFSET_VERSION_MAJOR);
    qToLittleEndian<quint16>(versionMinor, bytes.data() + OFFSET_VERSION_MINOR);
    std::memcpy(bytes.data() + OFFSET_DESCRIPTION, description.data(), DESCRIPTION_SIZE);
}

QByteArray FirmwareImageHeader::toBytes() const {
    QByteArray bytes(SIZE, '\0');
    encode(std::span<quint8, SIZE>(reinterpret_cast<quint8*>(bytes.data()), SIZE));
    return bytes;
}

QString FirmwareImageHeader::descriptionText() const {
    const auto end = std::find(description.begin(), description.end(), '\0');
    return QString::fromLatin1(description.data(), end - description.begin());
}

void FirmwareImageHeader::setDescription(const QString& text) {
    const QByteArray latin1 = text.left(DESCRIPTION_SIZE).toLatin1();
    description.fill('\0');
    std::copy(latin1.begin(), latin1.end(), description.begin());
}

QString imageVersionText(const FirmwareImageHeader& header) {
    return QString::number(header.versionMajor) + u'.' + QString::number(header.versionMinor) +
           u" - " + header.descriptionText();
}
