// The answer classifier on any bytes the receive buffer can hold.
//
// Checked, without restating how it searches: an answer it reports is a real
// three-byte line (its letter, then a line feed) that starts the batch or
// follows a line feed, so noise can never turn into an acceptance; a
// reported answer uses the whole batch up; without one, what stays is less
// than a line, follows a line feed (unless nothing stays), and gives nothing
// when looked at again.
#include <algorithm>
#include <cstdint>
#include <span>

#include "comm/comm.h"
#include "fuzz_check.h"
#include "protocol/answer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace dravel;
    const std::span<const uint8_t> held(data, std::min(size, kReceiveBufferSize));
    const Classification result = ClassifyAnswer(held);
    FUZZ_CHECK(result.drop <= held.size());
    if (result.status) {
        FUZZ_CHECK(result.drop == held.size());
        bool found = false;
        for (std::size_t start = 0; start + kAnswerLineSize <= held.size() && !found; ++start) {
            const bool lineStart = start == 0 || held[start - 1] == ANSWER_LINE_END;
            found = lineStart && held[start + 2] == ANSWER_LINE_END && StatusOfLetter(held[start + 1]) == *result.status;
        }
        FUZZ_CHECK(found);
        return 0;
    }
    const std::span<const uint8_t> kept = held.subspan(result.drop);
    FUZZ_CHECK(kept.size() < kAnswerLineSize);
    // What stays begins right after a line feed (noise without one goes whole).
    if (result.drop > 0 && result.drop < held.size()) FUZZ_CHECK(held[result.drop - 1] == ANSWER_LINE_END);
    const Classification again = ClassifyAnswer(kept);
    FUZZ_CHECK(!again.status && again.drop == 0);
    return 0;
}
