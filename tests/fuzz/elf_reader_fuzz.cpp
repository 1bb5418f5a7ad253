// The ELF reader over arbitrary files: section headers may claim any
// offsets, sizes and counts, and sections may share their contents, yet it
// reads only inside the file and holds no more loadable bytes than allowed.
#include <cstdint>

#include "image_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using dravel::fuzz::kImageLimit;
    dravel::fuzz::CheckImage(dravel::ReadElf(std::span<const uint8_t>(data, size), kImageLimit), kImageLimit);
    return 0;
}
