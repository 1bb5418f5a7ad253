// From the file a person has to the flat image the loader sends.
//
// What it owns: the choice of reader and the options a front end passes on.
// An ELF file (by its magic, whatever its name), Intel HEX or S-record (by
// name, else by content) becomes the flat image segments.h describes; a .bin,
// and anything that is none of these, is sent byte for byte as before.
//
// Threads: plain functions over their arguments; any thread may call them.
//
// Failures: an image that cannot be converted gives `error`: one line naming
// the file, the line (text formats) or section (ELF) and the address, meant
// for standard error or a message box as it is. Nothing is allocated for the
// flat image beyond options.maxSize, whatever the file claims. The Parse
// helpers give nothing and the text of a usage error for a bad option value.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "image/segments.h"

namespace dravel {

enum class ImageFormat { Raw, IntelHex, Srec, Elf };

// The names reports and traces use: "bin", "ihex", "srec", "elf".
const char* FormatName(ImageFormat format);

using ImageOptions = FlattenOptions;

struct ImageResult {
    std::vector<uint8_t> bytes;  // the image as sent
    ImageFormat format = ImageFormat::Raw;
    uint64_t base = 0;           // the address of bytes[0]; for a raw file the base asked for, else 0
    std::string error;           // empty when the image is usable
};

// displayName is the path as the user gave it, or "-" for standard input
// (which is taken by content); it chooses the reader and opens every refusal.
ImageResult LoadImage(std::string_view displayName, std::span<const uint8_t> fileBytes, const ImageOptions& options);

// The reader LoadImage would choose; nothing, with the reason, for a name
// that promises ELF (.elf .axf .out) on a file that is not.
std::optional<ImageFormat> ChooseFormat(std::string_view displayName, std::span<const uint8_t> fileBytes,
                                        std::string& error);

// "ihex, base 0x08000000, 1040 bytes": what a trace says first and what a
// conversion prints beside the image's digest.
std::string DescribeImage(const ImageResult& image);

// Values of --base (an address), --fill (a byte) and --max-size (a size of
// at most 4G, with an optional K, M or G suffix for binary multiples), each
// decimal or 0x-prefixed hex.
std::optional<uint64_t> ParseBase(std::string_view text, std::string& error);
std::optional<uint8_t> ParseFill(std::string_view text, std::string& error);
std::optional<uint64_t> ParseMaxSize(std::string_view text, std::string& error);

}  // namespace dravel
