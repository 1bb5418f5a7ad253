// The texts the records read from outside: journal files left on the disk,
// and the values of --serial-range, --stamp and --since. Properties: a
// journal line read as a record writes back to the same record; a range
// read is ordered and within what the databases keep; a stamp read writes
// its bytes and no others; a time read is in the form it reads back as.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "records/journal.h"
#include "records/serial_numbers.h"

using namespace dravel::records;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    const std::vector<JournalLine> lines = ParseJournal(text);
    FUZZ_CHECK(lines.size() == static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')));
    for (const JournalLine& line : lines) {
        if (!line.record) continue;
        BoardRecord again = *line.record;
        MakeStorable(again);
        FUZZ_CHECK(again == *line.record);
        FUZZ_CHECK(FromJson(ToJson(*line.record)) == line.record);
    }

    std::string error;
    if (const auto range = ParseSerialRange(text, error)) {
        FUZZ_CHECK(range->first <= range->last && range->last <= kLargestSerial);
    }
    if (const auto since = ParseSince(text, error)) FUZZ_CHECK(ParseSince(*since, error) == since);

    if (const auto stamp = ParseStamp(text, error)) {
        FUZZ_CHECK(stamp->width >= 1 && stamp->width <= 20);
        if (stamp->offset < 64) {
            std::vector<uint8_t> image(static_cast<std::size_t>(stamp->offset) + stamp->width + 8, 0xA5);
            const uint64_t serial = size % 10;  // fits every format
            FUZZ_CHECK(ApplyStamp(*stamp, serial, image, error));
            for (std::size_t i = 0; i < image.size(); ++i) {
                const bool inside = i >= stamp->offset && i < stamp->offset + stamp->width;
                if (!inside) FUZZ_CHECK(image[i] == 0xA5);
            }
        }
    }
    return 0;
}
