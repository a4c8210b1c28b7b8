#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <utility>
#include <vector>

// Hand-built generation-2 images for the tests, written from literal bytes rather than
// from the layout constants, so that a wrong constant shows up as a failure.
namespace imagebytes {

inline QByteArray zeros(int n) {
    return QByteArray(n, '\0');
}

inline QByteArray marker() {
    return QByteArrayLiteral("(@)#");
}
inline QByteArray devicePattern() {
    return QByteArray::fromHex("00000040 1b13");
}
inline QByteArray makerName() {
    return QByteArray::fromHex("54006f006c00760065006b00");
}
constexpr char FILL = char(0xEE);

// The marker followed by a string descriptor's length byte and type byte.
inline QByteArray serialHeader(int lengthByte) {
    return marker() + char(lengthByte) + char(0x03);
}

using Parts = std::vector<std::pair<int, QByteArray>>;

// size bytes of FILL (or counting bytes when counting is set) with each part at its offset.
inline QByteArray image(int size, const Parts& parts, bool counting = false) {
    QByteArray bytes(size, FILL);
    if (counting) {
        for (int i = 0; i < size; ++i)
            bytes[i] = char((i * 7 + 3) ^ (i >> 8));
    }
    for (const auto& [offset, part] : parts)
        bytes.replace(offset, part.size(), part);
    bytes.truncate(size);
    return bytes;
}

// A valid image: the serial header with a field of fieldLength characters at markerAt,
// the device pattern at 2000 and the maker name at 2100.
inline QByteArray validImage(int markerAt = 1000, int fieldLength = 16, int size = 4096) {
    return image(size,
                 {{markerAt, serialHeader(2 * fieldLength + 2)},
                  {2000, devicePattern()},
                  {2100, makerName()}},
                 true);
}

class TempFiles {
public:
    QString write(const QString& name, const QByteArray& bytes) {
        QString path = dir.filePath(name);
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        EXPECT_EQ(file.write(bytes), bytes.size());
        return path;
    }
    QString path(const QString& name) const { return dir.filePath(name); }

private:
    QTemporaryDir dir;
};

}  // namespace imagebytes
