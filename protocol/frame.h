// The wire protocol between the tool (host) and the device's loader.
//
// Host frame:  0x55 | sequence | command | length (16 bit, little-endian) |
//              payload (P bytes) | CRC-32 of everything before (big-endian)
// Sync probe:  the single byte 0x55.
// Answer line: three bytes from the device: any byte, the answer letter, LF.
//
// P depends on the command: '5' and '7' always carry a 1024-byte field (a
// shorter block is zero-filled and the length still says 1024); '6' and 'B'
// carry exactly n bytes; every other command carries 32 bytes and says so.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace dravel {

inline constexpr uint8_t kSyncByte = 0x55;
inline constexpr std::size_t kTransmitBufferSize = 1033;
inline constexpr std::size_t kBlockBufferSize = 1024;
inline constexpr std::size_t kFrameHeaderSize = 5;
inline constexpr std::size_t kFrameCrcSize = 4;
inline constexpr std::size_t kFrameOverhead = kFrameHeaderSize + kFrameCrcSize;
inline constexpr std::size_t kShortPayloadSize = 32;

inline constexpr uint8_t CMD_BLOCK_5 = 0x35;  // '5': kind 2
inline constexpr uint8_t CMD_BLOCK_6 = 0x36;  // '6': kind 3
inline constexpr uint8_t CMD_BLOCK_7 = 0x37;  // '7': kind 4
inline constexpr uint8_t CMD_END = 0x39;      // '9': end of transfer
inline constexpr uint8_t CMD_B = 0x42;        // 'B'

// Size of the payload field for a command whose caller asked for n bytes
// (the host's view) - for '6' and 'B' it is n, which the device reads back
// from the length field.
constexpr std::size_t FramePayloadSize(uint8_t command, std::size_t n) {
    if (command == CMD_BLOCK_5 || command == CMD_BLOCK_7) return kBlockBufferSize;
    if (command == CMD_BLOCK_6 || command == CMD_B) return n;
    return kShortPayloadSize;
}

using TransmitBuffer = std::span<uint8_t, kTransmitBufferSize>;

// Builds one frame at the start of `out` and returns its length: the whole
// buffer is zeroed first, then the header, the payload field (the first
// bytes of `payload`, at most 1024, cut to the command's field size) and the
// CRC are written. Any command and payload size is safe; the frame never
// reaches past the buffer.
std::size_t BuildFrame(TransmitBuffer out, uint8_t sequence, uint8_t command, std::span<const uint8_t> payload);

// Protects the first `position` bytes of `out` (clamped so that the CRC
// still fits) with the CRC, stored big-endian behind them; returns the CRC.
uint32_t AppendCrc(TransmitBuffer out, int32_t position);

}  // namespace dravel
