#include "image/image.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <new>

namespace dravel {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr uint64_t kMaxAllowedSize = uint64_t{4} << 30;
constexpr std::array kIntelHexNames = {"hex", "ihex", "ihx", "h86"};
constexpr std::array kSrecNames = {"srec", "s19", "s28", "s37", "mot", "sx"};
constexpr std::array kElfNames = {"elf", "axf", "out"};

std::string At(const Segment& segment, uint64_t address) {
    return Origin(segment, address) + ", address " + AddressText(address) + ": ";
}

std::string SizeText(uint64_t size) {
    if (size % (1 << 20) == 0) return std::to_string(size >> 20) + " MiB";
    if (size % (1 << 10) == 0) return std::to_string(size >> 10) + " KiB";
    return std::to_string(size) + " bytes";
}

// The file name's extension in lower case; "" for none (and for "-").
std::string Extension(std::string_view name) {
    const std::size_t slash = name.find_last_of("/\\");
    if (slash != std::string_view::npos) name.remove_prefix(slash + 1);
    const std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return {};
    std::string extension(name.substr(dot + 1));
    for (char& c : extension) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return extension;
}

template <typename Names>
bool IsOneOf(const std::string& extension, const Names& names) {
    return std::find(names.begin(), names.end(), extension) != names.end();
}

bool IsElf(std::span<const uint8_t> bytes) {
    return bytes.size() >= 4 && bytes[0] == 0x7F && bytes[1] == 'E' && bytes[2] == 'L' && bytes[3] == 'F';
}

// Decimal, or hex after 0x; nothing else, not even blanks.
std::optional<uint64_t> ParseNumber(std::string_view text) {
    int radix = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        radix = 16;
        text.remove_prefix(2);
    }
    uint64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, status] = std::from_chars(text.data(), end, value, radix);
    if (text.empty() || status != std::errc() || stop != end) return std::nullopt;
    return value;
}

}  // namespace

std::string AddressText(uint64_t address) {
    std::string digits;
    for (int shift = 60; shift >= 0; shift -= 4) {
        if (!digits.empty() || shift < 32 || (address >> shift) != 0) digits += kHexDigits[(address >> shift) & 15];
    }
    return "0x" + digits;
}

std::string ByteText(uint8_t value) { return std::string("0x") + kHexDigits[value >> 4] + kHexDigits[value & 15]; }

std::string Origin(const Segment& segment, uint64_t address) {
    if (!segment.section.empty()) return "section " + segment.section;
    const uint64_t record = segment.recordSize == 0 ? 0 : (address - segment.address) / segment.recordSize;
    return "line " + std::to_string(segment.line + record);
}

FlatImage Flatten(std::vector<Segment> segments, const FlattenOptions& options) {
    const auto refuse = [](std::string text) { return FlatImage{{}, 0, std::move(text)}; };
    std::erase_if(segments, [](const Segment& s) { return s.bytes.empty(); });
    if (segments.empty()) return refuse("no data: the file holds no bytes to send");
    for (const Segment& s : segments) {
        if (s.bytes.size() > UINT64_MAX - s.address) {
            return refuse(At(s, s.address) + "the data runs past the end of the address space");
        }
    }
    std::stable_sort(segments.begin(), segments.end(),
                     [](const Segment& a, const Segment& b) { return a.address < b.address; });
    const Segment& lowest = segments.front();
    const uint64_t start = options.base.value_or(lowest.address);
    if (lowest.address < start) return refuse(At(lowest, lowest.address) + "data below the base " + AddressText(start));
    const auto endOf = [](const Segment& s) { return s.address + s.bytes.size(); };
    const Segment& highest = *std::max_element(segments.begin(), segments.end(),
                                               [&](const Segment& a, const Segment& b) { return endOf(a) < endOf(b); });
    const uint64_t end = endOf(highest);
    if (end - start > options.maxSize) {
        return refuse("the image would span " + AddressText(start) + " (" +
                      (start < lowest.address ? std::string("the base") : Origin(lowest, start)) + ") to " +
                      AddressText(end - 1) + " (" + Origin(highest, end - 1) + "), " + std::to_string(end - start) +
                      " bytes, more than the limit of " + SizeText(options.maxSize));
    }

    FlatImage flat{std::vector<uint8_t>(end - start, options.fill), start, {}};
    // Sorted by address, everything from a segment's start up to `covered`
    // came from `cover` alone: an overlap is checked against it byte by byte.
    uint64_t covered = start;
    const Segment* cover = nullptr;
    for (const Segment& s : segments) {
        const std::size_t at = s.address - start;
        const std::size_t overlap = s.address < covered ? std::min<uint64_t>(covered - s.address, s.bytes.size()) : 0;
        const auto [mine, theirs] = std::mismatch(s.bytes.begin(), s.bytes.begin() + overlap, flat.bytes.begin() + at);
        if (mine != s.bytes.begin() + overlap) {
            const uint64_t address = s.address + static_cast<uint64_t>(mine - s.bytes.begin());
            return refuse(At(s, address) + "gives " + ByteText(*mine) + " where " + Origin(*cover, address) +
                          " gave " + ByteText(*theirs));
        }
        std::copy(s.bytes.begin() + overlap, s.bytes.end(), flat.bytes.begin() + at + overlap);
        if (endOf(s) > covered) {
            covered = endOf(s);
            cover = &s;
        }
    }
    return flat;
}

const char* FormatName(ImageFormat format) {
    switch (format) {
    case ImageFormat::IntelHex: return "ihex";
    case ImageFormat::Srec: return "srec";
    case ImageFormat::Elf: return "elf";
    case ImageFormat::Raw: break;
    }
    return "bin";
}

std::optional<ImageFormat> ChooseFormat(std::string_view displayName, std::span<const uint8_t> fileBytes,
                                        std::string& error) {
    const std::string extension = Extension(displayName);
    // A .bin has always been sent as it is, whatever it holds.
    if (extension == "bin") return ImageFormat::Raw;
    if (IsElf(fileBytes)) return ImageFormat::Elf;
    if (IsOneOf(extension, kElfNames)) {
        error = std::string(displayName) + ": not an ELF file (it does not begin with the ELF magic)";
        return std::nullopt;
    }
    if (IsOneOf(extension, kIntelHexNames)) return ImageFormat::IntelHex;
    if (IsOneOf(extension, kSrecNames)) return ImageFormat::Srec;
    if (LooksLikeIntelHex(fileBytes)) return ImageFormat::IntelHex;
    if (LooksLikeSrec(fileBytes)) return ImageFormat::Srec;
    return ImageFormat::Raw;
}

ImageResult LoadImage(std::string_view displayName, std::span<const uint8_t> fileBytes, const ImageOptions& options) {
    ImageResult result;
    const auto format = ChooseFormat(displayName, fileBytes, result.error);
    if (!format) return result;
    result.format = *format;
    const std::string name(displayName);
    try {
        if (*format == ImageFormat::Raw) {
            result.bytes.assign(fileBytes.begin(), fileBytes.end());
            result.base = options.base.value_or(0);
            return result;
        }
        ReadResult read = *format == ImageFormat::Elf        ? ReadElf(fileBytes, options.maxSize)
                          : *format == ImageFormat::IntelHex ? ReadIntelHex(fileBytes)
                                                             : ReadSrec(fileBytes);
        if (!read.error.empty()) {
            result.error = name + ": " + read.error;
            return result;
        }
        FlatImage flat = Flatten(std::move(read.segments), options);
        if (!flat.error.empty()) {
            result.error = name + ": " + flat.error;
            return result;
        }
        result.bytes = std::move(flat.bytes);
        result.base = flat.base;
    } catch (const std::bad_alloc&) {
        result.bytes.clear();
        result.error = name + ": not enough memory to convert the image";
    }
    return result;
}

std::string DescribeImage(const ImageResult& image) {
    return std::string(FormatName(image.format)) + ", base " + AddressText(image.base) + ", " +
           std::to_string(image.bytes.size()) + " bytes";
}

std::optional<uint64_t> ParseBase(std::string_view text, std::string& error) {
    const auto value = ParseNumber(text);
    if (!value) error = "--base: '" + std::string(text) + "' is not an address (decimal, or hex after 0x)";
    return value;
}

std::optional<uint8_t> ParseFill(std::string_view text, std::string& error) {
    const auto value = ParseNumber(text);
    if (!value || *value > 0xFF) {
        error = "--fill: '" + std::string(text) + "' is not a byte (0 to 255, or 0x00 to 0xFF)";
        return std::nullopt;
    }
    return static_cast<uint8_t>(*value);
}

std::optional<uint64_t> ParseMaxSize(std::string_view text, std::string& error) {
    const std::string given(text);
    unsigned shift = 0;
    if (!text.empty()) {
        const std::string_view units = "KkMmGg";
        if (const std::size_t unit = units.find(text.back()); unit != std::string_view::npos) {
            shift = 10 * static_cast<unsigned>(unit / 2 + 1);
            text.remove_suffix(1);
        }
    }
    const auto value = ParseNumber(text);
    if (!value || *value == 0 || *value > kMaxAllowedSize >> shift) {
        error = "--max-size: '" + given +
                "' is not a size from 1 to 4G (bytes, decimal or hex after 0x, K, M or G for binary multiples)";
        return std::nullopt;
    }
    return *value << shift;
}

}  // namespace dravel
