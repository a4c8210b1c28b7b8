#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QtGlobal>

#include <algorithm>
#include <cstddef>
#include <cstdint>

// Reads a fuzz target's input from the front as small decisions and byte runs. An
// exhausted input answers every question with zeros and empty runs, so that a target
// always comes to an end.
class FuzzInput {
public:
    FuzzInput(const uint8_t* data, size_t size)
        : data(reinterpret_cast<const char*>(data)), size(qsizetype(size)) {}
    explicit FuzzInput(QByteArrayView bytes) : data(bytes.data()), size(bytes.size()) {}

    bool empty() const { return position >= size; }
    qsizetype remaining() const { return size - position; }

    quint8 byte() { return empty() ? 0 : quint8(data[position++]); }
    bool flag() { return (byte() & 1) != 0; }
    // A value from `low` to `high` (inclusive) taken from one or two bytes.
    int inRange(int low, int high) {
        const unsigned span = unsigned(high - low) + 1;
        unsigned value = byte();
        if (span > 256) {
            value = (value << 8) | byte();
        }
        return low + int(value % span);
    }
    // Up to `count` bytes (fewer when the input ends first).
    QByteArray bytes(qsizetype count) {
        const qsizetype taken = std::clamp<qsizetype>(count, 0, remaining());
        const QByteArray run(data + position, taken);
        position += taken;
        return run;
    }
    QByteArray rest() { return bytes(remaining()); }
    // The same without a copy: the view is valid while the input is.
    QByteArrayView view(qsizetype count) {
        const qsizetype taken = std::clamp<qsizetype>(count, 0, remaining());
        const QByteArrayView run(data + position, taken);
        position += taken;
        return run;
    }

private:
    const char* data;
    qsizetype size;
    qsizetype position = 0;
};
