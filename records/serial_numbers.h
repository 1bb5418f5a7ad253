// Serial numbers: the range a station hands numbers out of, and the stamp
// that writes a board's number into its image.
//
// What it owns: nothing; parsing and byte placement only, no I/O.
//
// Threads: any; the functions are pure.
//
// Failures: the parsers and checks return nothing (or false) with a usage
// error text in `error`, meant for standard error before any board. A
// number is never partly written: ApplyStamp checks everything first.
//
// Numbers go up to 2^63-1, the largest that both databases keep as an
// integer; a range beyond that is refused when it is parsed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace dravel::records {

inline constexpr uint64_t kLargestSerial = 0x7FFF'FFFF'FFFF'FFFFull;

struct SerialRange {
    uint64_t first = 0;
    uint64_t last = 0;
    std::string text;  // as the user wrote it, for messages
};

// "FIRST-LAST", each decimal or 0x hexadecimal, FIRST <= LAST.
std::optional<SerialRange> ParseSerialRange(std::string_view text, std::string& error);

// The text a board gets when its range has no number left.
std::string RangeUsedUpText(const SerialRange& range);

struct Stamp {
    enum class Format { U32Le, U32Be, U64Le, U64Be, Ascii };
    uint64_t offset = 0;  // from the first byte sent
    Format format = Format::U32Le;
    std::size_t width = 4;  // bytes the number takes in the image
    std::string text;
};

// "OFFSET:FORMAT": OFFSET decimal or 0x hexadecimal; FORMAT u32le, u32be,
// u64le, u64be or ascii:N (N from 1 to 20 digits).
std::optional<Stamp> ParseStamp(std::string_view text, std::string& error);

// Before any board: the stamp lies inside an image of `imageSize` bytes,
// and the range's last number fits its format.
bool CheckStamp(const Stamp& stamp, uint64_t imageSize, const SerialRange& range, std::string& error);

// Writes `serial` into `image` at the stamp's offset; false, with the image
// untouched, when the number or its place does not fit.
bool ApplyStamp(const Stamp& stamp, uint64_t serial, std::span<uint8_t> image, std::string& error);

}  // namespace dravel::records
