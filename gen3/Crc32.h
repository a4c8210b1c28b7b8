#pragma once

#include <QtGlobal>

#include <cstddef>

// CRC-32/BZIP2, the check that the generation-3 loader computes over a memory range:
// polynomial 0x04C11DB7, register preset to 0xFFFFFFFF, bits taken most significant first
// (input and output not reflected), result complemented. Check value: "123456789" gives
// 0xFC891918; an empty range gives 0.
constexpr quint32 CRC32_POLYNOMIAL = 0x04C11DB7;
constexpr quint32 CRC32_INITIAL = 0xFFFFFFFF;
constexpr quint32 CRC32_FINAL_XOR = 0xFFFFFFFF;

quint32 computeCrc32(const void* data, std::size_t count);
