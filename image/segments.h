// The address ranges of a firmware image, and the readers that make them.
//
// What it owns: nothing but its results. Each reader turns the whole of a
// file, held in memory, into Segments: bytes at their load addresses, each
// remembering where in the file it came from (a line of a text format, a
// section of an ELF file) so that a refusal can point there. Flatten lays
// them out from the lowest address (or the base) to the highest, gaps filled,
// as `objcopy -O binary --gap-fill` does.
//
// Threads: plain functions over their arguments; any thread may call them.
//
// Failures: a reader or Flatten that refuses gives no segments or bytes but
// `error`: one line without the file's name, naming the line or section and
// the address ("line 7, address 0x08000010: bad checksum ..."). No input
// makes them read outside the file, loop, or allocate beyond a bound:
// a text format's bytes come from its own digits, an ELF file's loadable
// bytes are refused above maxBytes, and the flat image above maxSize before
// it is allocated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace dravel {

// What a flat image may span unless the user allows more: a stray RAM or
// option-byte record would otherwise make hundreds of megabytes of fill.
constexpr uint64_t kDefaultMaxImageSize = 16 * 1024 * 1024;

struct Segment {
    uint64_t address = 0;
    std::vector<uint8_t> bytes;
    // Where the bytes came from. An ELF section by name; in the text formats
    // one record, or a run of records on consecutive lines that each hold
    // recordSize bytes (the last may hold fewer), starting at `line`.
    std::string section;
    uint64_t line = 0;
    std::size_t recordSize = 0;
};

// "line 12" or "section .data": where the byte at `address` of the segment came from.
std::string Origin(const Segment& segment, uint64_t address);
// "0x08000010": at least eight digits, upper case, as the toolchains' listings show addresses.
std::string AddressText(uint64_t address);
std::string ByteText(uint8_t value);  // "0x3C"

struct ReadResult {
    std::vector<Segment> segments;
    std::string error;  // empty when read
};

// Intel HEX, record types 00 to 05; S-records S0 to S9 without S4. Digits in
// either case, lines ending in LF or CR LF, blank lines allowed; every
// checksum is verified, the end record is required and nothing may follow it.
ReadResult ReadIntelHex(std::span<const uint8_t> text);
ReadResult ReadSrec(std::span<const uint8_t> text);
// 32- or 64-bit, either byte order: the allocated sections with contents at
// their load addresses, taken from the program headers as binutils does.
ReadResult ReadElf(std::span<const uint8_t> file, uint64_t maxBytes = kDefaultMaxImageSize);

// Whether the text is made of records of one format: every non-blank line
// ':' and hex digits (Intel HEX), or 'S', a digit and hex digits (S-record),
// and at least one such line. A damaged record still counts, so that it is
// refused with its line instead of being sent as it is.
bool LooksLikeIntelHex(std::span<const uint8_t> text);
bool LooksLikeSrec(std::span<const uint8_t> text);

struct FlattenOptions {
    std::optional<uint64_t> base;  // where the first byte lands; the lowest address if not given
    uint8_t fill = 0xFF;           // erased flash
    uint64_t maxSize = kDefaultMaxImageSize;
    bool operator==(const FlattenOptions&) const = default;
};

struct FlatImage {
    std::vector<uint8_t> bytes;
    uint64_t base = 0;
    std::string error;  // empty when laid out
};

// Refuses data below the base, an image larger than maxSize (naming both
// ends), and two segments that give one address different bytes.
FlatImage Flatten(std::vector<Segment> segments, const FlattenOptions& options);

}  // namespace dravel
