#pragma once

#include <QtGlobal>

#include <cstddef>

// CRC-32/BZIP2 the slow, obvious way: one bit at a time, most significant first. The
// reference that the table-driven computeCrc32 is checked and measured against.
inline quint32 crc32BitwiseReference(const void* data, std::size_t count) {
    const auto* bytes = static_cast<const quint8*>(data);
    quint32 crc = 0xFFFFFFFF;
    for (std::size_t i = 0; i < count; ++i) {
        crc ^= quint32(bytes[i]) << 24;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
        }
    }
    return ~crc;
}
