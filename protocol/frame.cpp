#include "protocol/frame.h"

#include <algorithm>
#include <cstring>

#include "protocol/crc32.h"

namespace dravel {

uint32_t AppendCrc(TransmitBuffer out, int32_t position) {
    // The CRC needs four bytes behind the protected ones.
    position = std::clamp<int32_t>(position, 0, static_cast<int32_t>(kTransmitBufferSize - kFrameCrcSize));
    const auto at = static_cast<std::size_t>(position);
    const uint32_t crc = Crc32(out.first(at));
    out[at + 0] = static_cast<uint8_t>(crc >> 24);
    out[at + 1] = static_cast<uint8_t>(crc >> 16);
    out[at + 2] = static_cast<uint8_t>(crc >> 8);
    out[at + 3] = static_cast<uint8_t>(crc);
    return crc;
}

std::size_t BuildFrame(TransmitBuffer out, uint8_t sequence, uint8_t command, std::span<const uint8_t> payload) {
    const std::size_t n = std::min(payload.size(), kBlockBufferSize);
    std::fill(out.begin(), out.end(), 0);
    out[0] = kSyncByte;
    out[1] = sequence;
    out[2] = command;
    // Copied whole whatever the command: a shorter field is then closed by
    // the CRC, which overwrites what lies behind it.
    if (n > 0) std::memcpy(out.data() + kFrameHeaderSize, payload.data(), n);

    // The length field is little-endian: '5' and '7' always announce a full
    // block, '6' and 'B' what they carry, every other command 32 bytes.
    const std::size_t field = FramePayloadSize(command, n);
    const std::size_t announced = (command == CMD_BLOCK_6 || command == CMD_B) ? n : field;
    out[3] = static_cast<uint8_t>(announced % 256);
    out[4] = static_cast<uint8_t>(announced / 256);
    AppendCrc(out, static_cast<int32_t>(kFrameHeaderSize + field));
    return field + kFrameOverhead;
}

}  // namespace dravel
