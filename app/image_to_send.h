// What the desktop program sends for the file a person chose.
//
// What it owns: nothing but its result. A plain binary (a .bin, whatever it
// holds, or a file that is no image format) is left to the transfer, which
// reads it as it goes, byte for byte as it always has; so is anything that
// cannot be opened, or is not a regular file and not named as an image, so
// that the transfer reports it in its own words. An ELF, Intel HEX or
// S-record file is read whole and made into its flat image here, before any
// port is opened: from the lowest address, gaps 0xFF, at most 16 MiB.
//
// Threads: a plain function over the file system; any thread may call it.
// The desktop program calls it on the user-interface thread when send is
// pressed, which costs well under a second for a file of the formats' sizes.
//
// Failures: a file that cannot be converted gives Way::Refused and one line,
// the image reader's own (file, line or section, address), for a message box
// as it is; so does a pipe or device named as an image. A file is not read
// beyond kMaxConvertedFileSize.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "image/image.h"

namespace dravel::gui {

// Larger than any ELF, HEX or S-record file of a 16 MiB image, debug
// information included; a plain binary of any size still goes from its file.
inline constexpr uint64_t kMaxConvertedFileSize = uint64_t{512} << 20;

struct ImageToSend {
    enum class Way {
        File,     // the transfer reads the file at the path itself
        Bytes,    // `bytes` is the flat image to send
        Refused,  // `error` says why
    };
    Way way = Way::File;
    std::vector<uint8_t> bytes;
    ImageFormat format = ImageFormat::Raw;
    uint64_t base = 0;
    std::string error;
};

ImageToSend PrepareImageToSend(const std::string& path);

}  // namespace dravel::gui
