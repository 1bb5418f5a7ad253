// The text of --reset and --run, whatever a user or a script puts there:
// a sequence the parser takes comes back the same from its own writing, and
// keeps to the limits; one it refuses gets a short message.
//
// Checked: parse(write(parse(text))) == parse(text); at most kMaxModemSteps
// steps, whose waits add up to at most kMaxModemWait; a refusal has no steps
// and a message of one short line.
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "board/modem_sequence.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    using namespace dravel::board;
    const std::string_view text(reinterpret_cast<const char*>(input), size);
    const ModemSequence parsed = ParseModemSequence(text);
    if (!parsed) {
        FUZZ_CHECK(parsed.steps.empty());
        FUZZ_CHECK(!parsed.error.empty() && parsed.error.size() < 400);
        FUZZ_CHECK(parsed.error.find('\n') == std::string::npos || text.find('\n') != std::string_view::npos);
        return 0;
    }
    FUZZ_CHECK(!parsed.steps.empty() && parsed.steps.size() <= kMaxModemSteps);
    std::chrono::milliseconds waited{0};
    for (const ModemStep& step : parsed.steps) waited += step.wait;
    FUZZ_CHECK(waited <= kMaxModemWait);
    const ModemSequence again = ParseModemSequence(ToString(parsed.steps));
    FUZZ_CHECK(again && again.steps == parsed.steps);
    return 0;
}
