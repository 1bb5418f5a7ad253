#include "records/serial_numbers.h"

#include <algorithm>
#include <array>

namespace dravel::records {

namespace {

constexpr std::size_t kLongestAscii = 20;  // 2^64-1 has 20 digits

// Decimal, or hexadecimal after 0x; nothing else (no sign, no blanks).
std::optional<uint64_t> ParseNumber(std::string_view text) {
    unsigned base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty()) return std::nullopt;
    uint64_t value = 0;
    for (const char c : text) {
        unsigned digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            digit = static_cast<unsigned>(c - 'A' + 10);
        } else {
            return std::nullopt;
        }
        if (value > (UINT64_MAX - digit) / base) return std::nullopt;
        value = value * base + digit;
    }
    return value;
}

std::string Quoted(std::string_view text) { return "\"" + std::string(text) + "\""; }

std::size_t DecimalDigits(uint64_t value) {
    std::size_t digits = 1;
    while (value >= 10) {
        value /= 10;
        ++digits;
    }
    return digits;
}

// The largest number a format can hold.
uint64_t Capacity(const Stamp& stamp) {
    switch (stamp.format) {
    case Stamp::Format::U32Le:
    case Stamp::Format::U32Be:
        return UINT32_MAX;
    case Stamp::Format::U64Le:
    case Stamp::Format::U64Be:
        return UINT64_MAX;
    case Stamp::Format::Ascii:
        break;
    }
    if (stamp.width >= kLongestAscii) return UINT64_MAX;
    uint64_t largest = 0;
    for (std::size_t i = 0; i < stamp.width; ++i) largest = largest * 10 + 9;
    return largest;
}

}  // namespace

std::optional<SerialRange> ParseSerialRange(std::string_view text, std::string& error) {
    // The dash is searched after the first character, so that a stray sign
    // at the front reads as a bad number rather than an empty FIRST.
    const std::size_t dash = text.find('-', 1);
    std::optional<uint64_t> first;
    std::optional<uint64_t> last;
    if (dash != std::string_view::npos) {
        first = ParseNumber(text.substr(0, dash));
        last = ParseNumber(text.substr(dash + 1));
    }
    if (!first || !last) {
        error = "--serial-range " + Quoted(text) + ": expected FIRST-LAST, each decimal or 0x hexadecimal";
        return std::nullopt;
    }
    if (*first > *last) {
        error = "--serial-range " + Quoted(text) + ": FIRST is larger than LAST";
        return std::nullopt;
    }
    if (*last > kLargestSerial) {
        error = "--serial-range " + Quoted(text) + ": serial numbers go up to " + std::to_string(kLargestSerial);
        return std::nullopt;
    }
    return SerialRange{*first, *last, std::string(text)};
}

std::string RangeUsedUpText(const SerialRange& range) { return "no serial numbers left in " + range.text; }

std::optional<Stamp> ParseStamp(std::string_view text, std::string& error) {
    const auto bad = [&](const std::string& why) {
        error = "--stamp " + Quoted(text) + ": " + why;
        return std::nullopt;
    };
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos) return bad("expected OFFSET:FORMAT");
    const std::optional<uint64_t> offset = ParseNumber(text.substr(0, colon));
    if (!offset) return bad("the offset is not a decimal or 0x hexadecimal number");
    const std::string_view format = text.substr(colon + 1);

    Stamp stamp;
    stamp.offset = *offset;
    stamp.text = std::string(text);
    struct Fixed {
        std::string_view name;
        Stamp::Format format;
        std::size_t width;
    };
    static constexpr std::array<Fixed, 4> kFixed = {{{"u32le", Stamp::Format::U32Le, 4},
                                                     {"u32be", Stamp::Format::U32Be, 4},
                                                     {"u64le", Stamp::Format::U64Le, 8},
                                                     {"u64be", Stamp::Format::U64Be, 8}}};
    for (const Fixed& fixed : kFixed) {
        if (format == fixed.name) {
            stamp.format = fixed.format;
            stamp.width = fixed.width;
            return stamp;
        }
    }
    constexpr std::string_view kAscii = "ascii:";
    if (format.substr(0, kAscii.size()) == kAscii) {
        const std::string_view digits = format.substr(kAscii.size());
        const bool decimal = !digits.empty() && std::all_of(digits.begin(), digits.end(), [](char c) {
            return c >= '0' && c <= '9';
        });
        const std::optional<uint64_t> width = decimal ? ParseNumber(digits) : std::nullopt;
        if (!width || *width < 1 || *width > kLongestAscii) {
            return bad("ascii:N takes N from 1 to " + std::to_string(kLongestAscii));
        }
        stamp.format = Stamp::Format::Ascii;
        stamp.width = static_cast<std::size_t>(*width);
        return stamp;
    }
    return bad("FORMAT is one of u32le, u32be, u64le, u64be, ascii:N");
}

bool CheckStamp(const Stamp& stamp, uint64_t imageSize, const SerialRange& range, std::string& error) {
    if (stamp.offset > imageSize || imageSize - stamp.offset < stamp.width) {
        error = "--stamp " + Quoted(stamp.text) + ": " + std::to_string(stamp.width) + " bytes at offset " +
                std::to_string(stamp.offset) + " lie outside the image of " + std::to_string(imageSize) + " bytes";
        return false;
    }
    if (range.last > Capacity(stamp)) {
        error = "--stamp " + Quoted(stamp.text) + ": the serial number " + std::to_string(range.last) +
                " of --serial-range " + Quoted(range.text) + " does not fit";
        return false;
    }
    return true;
}

bool ApplyStamp(const Stamp& stamp, uint64_t serial, std::span<uint8_t> image, std::string& error) {
    if (!CheckStamp(stamp, image.size(), SerialRange{serial, serial, std::to_string(serial)}, error)) return false;
    const std::span<uint8_t> place = image.subspan(static_cast<std::size_t>(stamp.offset), stamp.width);
    switch (stamp.format) {
    case Stamp::Format::U32Le:
    case Stamp::Format::U64Le:
        for (std::size_t i = 0; i < place.size(); ++i) place[i] = static_cast<uint8_t>(serial >> (8 * i));
        break;
    case Stamp::Format::U32Be:
    case Stamp::Format::U64Be:
        for (std::size_t i = 0; i < place.size(); ++i) {
            place[place.size() - 1 - i] = static_cast<uint8_t>(serial >> (8 * i));
        }
        break;
    case Stamp::Format::Ascii: {
        const std::size_t digits = DecimalDigits(serial);
        std::fill(place.begin(), place.end(), static_cast<uint8_t>('0'));
        for (std::size_t i = 0; i < digits; ++i) {
            place[place.size() - 1 - i] = static_cast<uint8_t>('0' + serial % 10);
            serial /= 10;
        }
        break;
    }
    }
    return true;
}

}  // namespace dravel::records
