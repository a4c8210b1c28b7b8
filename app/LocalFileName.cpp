#include "app/LocalFileName.h"

namespace {

constexpr char16_t ESCAPE_BASE = 0xDC00;

// The length of the valid UTF-8 sequence at `at`, or 0 when there is none.
int sequenceLength(QByteArrayView bytes, qsizetype at) {
    const auto byte = [&](qsizetype i) { return quint8(bytes[i]); };
    const quint8 lead = byte(at);
    int length = 0;
    char32_t least = 0;
    if (lead < 0x80) {
        return 1;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2;
        least = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        least = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        least = 0x10000;
    } else {
        return 0;
    }
    if (at + length > bytes.size()) {
        return 0;
    }
    char32_t code = lead & (0x7F >> length);
    for (int i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) {
            return 0;
        }
        code = (code << 6) | (byte(at + i) & 0x3F);
    }
    // Overlong forms, surrogates and values past Unicode are not valid UTF-8.
    const bool valid = code >= least && code <= 0x10FFFF && !(code >= 0xD800 && code <= 0xDFFF);
    return valid ? length : 0;
}

}  // namespace

QString fileNameFromLocal(QByteArrayView name) {
    QString text;
    text.reserve(name.size());
    for (qsizetype at = 0; at < name.size();) {
        const int length = sequenceLength(name, at);
        if (length == 0) {
            text += QChar(char16_t(ESCAPE_BASE + quint8(name[at])));
            ++at;
            continue;
        }
        text += QString::fromUtf8(name.sliced(at, length));
        at += length;
    }
    return text;
}

QByteArray localFileName(const QString& name) {
    QByteArray bytes;
    bytes.reserve(name.size());
    for (qsizetype at = 0; at < name.size(); ++at) {
        const QChar c = name[at];
        if (c.isHighSurrogate() && at + 1 < name.size() && name[at + 1].isLowSurrogate()) {
            bytes += QStringView(name).sliced(at, 2).toUtf8();
            ++at;
        } else if (c.unicode() >= ESCAPE_BASE + 0x80 && c.unicode() <= ESCAPE_BASE + 0xFF) {
            bytes += char(c.unicode() - ESCAPE_BASE);
        } else {
            bytes += QStringView(&c, 1).toUtf8();
        }
    }
    return bytes;
}
