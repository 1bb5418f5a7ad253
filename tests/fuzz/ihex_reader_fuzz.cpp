// The Intel HEX reader over arbitrary text: its data comes from its own
// digits, so it never holds more than half the input.
#include <cstdint>

#include "image_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> text(data, size);
    dravel::fuzz::CheckImage(dravel::ReadIntelHex(text), size / 2);
    (void)dravel::LooksLikeIntelHex(text);
    return 0;
}
