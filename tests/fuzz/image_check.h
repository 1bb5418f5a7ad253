// What every image reader promises, whatever the file holds: a refusal is
// one line and gives nothing; what is read stays within its bound; and the
// flat image, when laid out, holds every segment's bytes at its address and
// is never larger than the limit it was given.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "image/segments.h"

namespace dravel::fuzz {

// Small enough that a flat image of the limit is cheap at every input.
constexpr uint64_t kImageLimit = 64 * 1024;

inline void CheckOneLine(const std::string& error) {
    FUZZ_CHECK(error.find_first_of("\r\n") == std::string::npos);
}

inline void CheckImage(const ReadResult& read, uint64_t maxSegmentBytes) {
    CheckOneLine(read.error);
    FUZZ_CHECK(read.error.empty() || read.segments.empty());
    uint64_t total = 0;
    for (const Segment& segment : read.segments) {
        total += segment.bytes.size();
        FUZZ_CHECK(!Origin(segment, segment.address).empty());
    }
    FUZZ_CHECK(total <= maxSegmentBytes);

    FlattenOptions options;
    options.maxSize = kImageLimit;
    const FlatImage flat = Flatten(read.segments, options);
    CheckOneLine(flat.error);
    if (!flat.error.empty()) {
        FUZZ_CHECK(flat.bytes.empty());
        return;
    }
    FUZZ_CHECK(!flat.bytes.empty() && flat.bytes.size() <= kImageLimit);
    for (const Segment& segment : read.segments) {
        FUZZ_CHECK(segment.address >= flat.base);
        const uint64_t at = segment.address - flat.base;
        FUZZ_CHECK(at <= flat.bytes.size() && segment.bytes.size() <= flat.bytes.size() - at);
        FUZZ_CHECK(std::equal(segment.bytes.begin(), segment.bytes.end(), flat.bytes.begin() + at));
    }
}

}  // namespace dravel::fuzz
