#include "app/InstanceMessage.h"

#include <QtEndian>

#include <algorithm>
#include <cstring>

namespace InstanceMessage {

std::optional<QByteArray> encode(const QString& text) {
    if (text.size() > MAX_TEXT_UNITS) {
        return std::nullopt;
    }
    const qsizetype payloadSize = (text.size() + 1) * UNIT_SIZE;
    QByteArray frame(HEADER_SIZE + payloadSize, '\0');
    char* data = frame.data();
    std::memcpy(data, MAGIC, MAGIC_SIZE);
    qToLittleEndian<quint32>(static_cast<quint32>(payloadSize), data + LENGTH_OFFSET);
    char* units = data + HEADER_SIZE;
    for (qsizetype i = 0; i < text.size(); ++i) {
        qToLittleEndian<quint16>(text.at(i).unicode(), units + i * UNIT_SIZE);
    }
    // The terminating zero unit is already there.
    return frame;
}

qsizetype Decoder::wanted() const {
    if (current != State::NeedMore) {
        return 0;
    }
    if (buffer.size() < HEADER_SIZE) {
        return HEADER_SIZE - buffer.size();
    }
    const quint32 payloadSize = qFromLittleEndian<quint32>(buffer.constData() + LENGTH_OFFSET);
    return HEADER_SIZE + static_cast<qsizetype>(payloadSize) - buffer.size();
}

Decoder::State Decoder::feed(QByteArrayView bytes) {
    if (current != State::NeedMore) {
        return current;
    }
    if (bytes.size() > wanted()) {
        current = State::Malformed;
        return current;
    }
    buffer.append(bytes);
    return current = check();
}

Decoder::State Decoder::check() {
    const qsizetype magicBytes = std::min(buffer.size(), MAGIC_SIZE);
    if (std::memcmp(buffer.constData(), MAGIC, static_cast<size_t>(magicBytes)) != 0) {
        return State::Malformed;
    }
    if (buffer.size() < HEADER_SIZE) {
        return State::NeedMore;
    }
    const quint32 payloadSize = qFromLittleEndian<quint32>(buffer.constData() + LENGTH_OFFSET);
    if (payloadSize > MAX_PAYLOAD_BYTES) {
        return State::Malformed;
    }
    if (buffer.size() < HEADER_SIZE + static_cast<qsizetype>(payloadSize)) {
        return State::NeedMore;
    }
    // Whole units only, up to the first zero unit; a trailing odd byte is not a unit.
    const char* units = buffer.constData() + HEADER_SIZE;
    const qsizetype unitCount = static_cast<qsizetype>(payloadSize) / UNIT_SIZE;
    decoded.clear();
    decoded.reserve(unitCount);
    for (qsizetype i = 0; i < unitCount; ++i) {
        const char16_t unit = qFromLittleEndian<quint16>(units + i * UNIT_SIZE);
        if (unit == 0) {
            break;
        }
        decoded.append(QChar(unit));
    }
    buffer.clear();
    buffer.squeeze();
    return State::Complete;
}

}  // namespace InstanceMessage
