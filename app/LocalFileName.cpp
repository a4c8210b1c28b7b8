#include "app/LocalFileName.h"

namespace {

constexpr char16_t ESCAPE_BASE = 0xDC00;

// The length of the valid UTF-8 sequence at `at`, or 0 when there is none: the shortest
// prefix that is valid (a longer one would hold a second character).
int sequenceLength(QByteArrayView bytes, qsizetype at) {
    constexpr qsizetype LONGEST = 4;
    for (qsizetype length = 1; length <= LONGEST && at + length <= bytes.size(); ++length) {
        if (bytes.sliced(at, length).isValidUtf8()) {
            return int(length);
        }
    }
    return 0;
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
