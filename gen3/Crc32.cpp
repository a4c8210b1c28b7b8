#include "gen3/Crc32.h"

#include <array>

namespace {

using Table = std::array<quint32, 256>;

// tables[0][b] is the register change caused by byte b at the register's top;
// tables[k][b] the change caused by byte b followed by k zero bytes. With them eight bytes
// are folded in per step, still one table lookup per byte, but eight independent lookups
// instead of a chain of eight.
constexpr int SLICES = 8;

constexpr std::array<Table, SLICES> makeTables() {
    std::array<Table, SLICES> tables{};
    for (quint32 byte = 0; byte < 256; ++byte) {
        quint32 crc = byte << 24;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x80000000u) ? (crc << 1) ^ CRC32_POLYNOMIAL : crc << 1;
        }
        tables[0][byte] = crc;
    }
    for (int k = 1; k < SLICES; ++k) {
        for (quint32 byte = 0; byte < 256; ++byte) {
            const quint32 previous = tables[k - 1][byte];
            tables[k][byte] = tables[0][previous >> 24] ^ (previous << 8);
        }
    }
    return tables;
}

// Built once, by the compiler.
constexpr std::array<Table, SLICES> tables = makeTables();
static_assert(tables[0][1] == CRC32_POLYNOMIAL);

inline quint32 updateByte(quint32 crc, quint8 byte) {
    return tables[0][(crc >> 24) ^ byte] ^ (crc << 8);
}

}  // namespace

quint32 computeCrc32(const void* data, std::size_t count) {
    const auto* bytes = static_cast<const quint8*>(data);
    quint32 crc = CRC32_INITIAL;
    for (; count >= SLICES; count -= SLICES, bytes += SLICES) {
        const quint32 head = crc ^ (quint32(bytes[0]) << 24 | quint32(bytes[1]) << 16 |
                                    quint32(bytes[2]) << 8 | quint32(bytes[3]));
        crc = tables[7][head >> 24] ^ tables[6][(head >> 16) & 0xFF] ^
              tables[5][(head >> 8) & 0xFF] ^ tables[4][head & 0xFF] ^ tables[3][bytes[4]] ^
              tables[2][bytes[5]] ^ tables[1][bytes[6]] ^ tables[0][bytes[7]];
    }
    for (; count > 0; --count, ++bytes) {
        crc = updateByte(crc, *bytes);
    }
    return crc ^ CRC32_FINAL_XOR;
}
