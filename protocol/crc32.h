// CRC-32 of the frames: polynomial 0x04C11DB7, most significant bit first,
// no reflection, initial register 0, no final XOR (CRC-32/CKSUM without its
// final complement). Check value over "123456789": 0x89A1897F. Over a whole
// frame, its big-endian CRC bytes included, the result is 0.
//
// The table is filled once and only read afterwards; every function here may
// be called from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace dravel {

using CrcTable = std::array<uint32_t, 256>;

inline constexpr uint32_t kCrcPolynomial = 0x04C11DB7u;

void InitCrcTable(CrcTable& table);

// register = (register << 8) ^ table[(register >> 24) ^ byte] for each byte.
// A count of 0 or less returns the register unchanged.
uint32_t UpdateCrc32(const CrcTable& table, uint32_t crcRegister, const uint8_t* data, int32_t count);

// The table every frame of the process uses, filled on first use.
const CrcTable& SharedCrcTable();

// The CRC of `data` with the shared table.
uint32_t Crc32(std::span<const uint8_t> data);

}  // namespace dravel
