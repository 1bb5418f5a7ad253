#include "protocol/crc32.h"

namespace dravel {

void InitCrcTable(CrcTable& table) {
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t r = i << 24;
        for (int bit = 0; bit < 8; ++bit) {
            r = (r & 0x80000000u) ? (r << 1) ^ kCrcPolynomial : (r << 1);
        }
        table[i] = r;
    }
}

uint32_t UpdateCrc32(const CrcTable& table, uint32_t crcRegister, const uint8_t* data, int32_t count) {
    for (int32_t i = 0; i < count; ++i) {
        crcRegister = (crcRegister << 8) ^ table[((crcRegister >> 24) ^ data[i]) & 0xFFu];
    }
    return crcRegister;
}

const CrcTable& SharedCrcTable() {
    static const CrcTable table = [] {
        CrcTable t{};
        InitCrcTable(t);
        return t;
    }();
    return table;
}

uint32_t Crc32(std::span<const uint8_t> data) {
    return UpdateCrc32(SharedCrcTable(), 0, data.data(), static_cast<int32_t>(data.size()));
}

}  // namespace dravel
