// The progress line a station reads from its children, over any bytes: what
// it takes for a progress line, written again, reads back the same; an
// attempt line likewise.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "output/progress_line.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    if (const auto attempt = dravel::output::ParseAttemptLine(line)) {
        FUZZ_CHECK(*attempt >= 1);
        // Leading zeros are taken too; what is written again reads back the same.
        FUZZ_CHECK(dravel::output::ParseAttemptLine(dravel::output::AttemptLine(*attempt)) == attempt);
    }
    const auto report = dravel::output::ParseProgressLine(line);
    if (!report) return 0;
    FUZZ_CHECK(line.starts_with(dravel::output::kProgressPrefix));
    FUZZ_CHECK(line.find('\n') == std::string_view::npos);
    FUZZ_CHECK(report->resends >= 0);
    const std::string written = dravel::output::ProgressLine(*report);
    FUZZ_CHECK(written.size() <= size);
    FUZZ_CHECK(dravel::output::ParseProgressLine(written) == report);
    return 0;
}
