#include "app/InstanceMessage.h"

#include <QtEndian>

#include <algorithm>
#include <cstring>

namespace InstanceMessage {

namespace {

// Units of `text` and its terminating zero unit, appended to `payload`.
void appendUnits(QByteArray& payload, QStringView text) {
    const qsizetype start = payload.size();
    payload.resize(start + (text.size() + 1) * UNIT_SIZE);
    char* units = payload.data() + start;
    for (qsizetype i = 0; i < text.size(); ++i) {
        qToLittleEndian<quint16>(text.at(i).unicode(), units + i * UNIT_SIZE);
    }
    qToLittleEndian<quint16>(0, units + text.size() * UNIT_SIZE);
}

// The units of `units` up to the first zero unit (or the end), as text.
QString textOf(const char* units, qsizetype count, qsizetype& used) {
    QString text;
    for (used = 0; used < count; ++used) {
        const char16_t unit = qFromLittleEndian<quint16>(units + used * UNIT_SIZE);
        if (unit == 0) {
            ++used;  // the terminator
            break;
        }
        text.append(QChar(unit));
    }
    return text;
}

}  // namespace

std::optional<QByteArray> encode(const QString& text) {
    return encode(Message{text, QString(), QString()});
}

std::optional<QByteArray> encode(const Message& message) {
    QByteArray payload;
    appendUnits(payload, message.text);
    // Fields only when they say something: a frame without them is the plain text frame.
    if (!message.activationToken.isEmpty()) {
        appendUnits(payload, QString(ACTIVATION_TOKEN_FIELD + u'=' + message.activationToken));
    }
    if (!message.startupId.isEmpty()) {
        appendUnits(payload, QString(STARTUP_ID_FIELD + u'=' + message.startupId));
    }
    if (payload.size() > qsizetype(MAX_PAYLOAD_BYTES)) {
        return std::nullopt;
    }
    QByteArray frame(HEADER_SIZE, '\0');
    std::memcpy(frame.data(), MAGIC, MAGIC_SIZE);
    qToLittleEndian<quint32>(static_cast<quint32>(payload.size()), frame.data() + LENGTH_OFFSET);
    return frame + payload;
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
    qsizetype left = static_cast<qsizetype>(payloadSize) / UNIT_SIZE;
    qsizetype used = 0;
    decoded = Message();
    decoded.text = textOf(units, left, used);
    // Then the fields, "name=value" each; what is not one of ours is passed over.
    while ((left -= used) > 0) {
        units += used * UNIT_SIZE;
        const QString field = textOf(units, left, used);
        const qsizetype equals = field.indexOf(u'=');
        const QStringView name = QStringView(field).left(equals);
        const QString value = field.mid(equals + 1);
        if (equals > 0 && name == ACTIVATION_TOKEN_FIELD) {
            decoded.activationToken = value;
        } else if (equals > 0 && name == STARTUP_ID_FIELD) {
            decoded.startupId = value;
        }
    }
    buffer.clear();
    buffer.squeeze();
    return State::Complete;
}

}  // namespace InstanceMessage
