#include "protocol/answer.h"

#include <algorithm>

namespace dravel {

int32_t StatusOfLetter(uint8_t letter) {
    switch (letter) {
        case ANSWER_ACK: return XFER_ACK;
        case ANSWER_NAK: return XFER_NAK;
        case ANSWER_END: return XFER_END;
        default: return XFER_OTHER;
    }
}

Classification ClassifyAnswer(std::span<const uint8_t> held) {
    std::size_t start = 0;
    while (held.size() - start >= kAnswerLineSize && held[start + 2] != ANSWER_LINE_END) {
        const auto from = held.begin() + static_cast<std::ptrdiff_t>(start);
        const auto lineEnd = std::find(from, held.end(), ANSWER_LINE_END);
        start = lineEnd == held.end() ? held.size() : static_cast<std::size_t>(lineEnd - held.begin()) + 1;
    }
    if (held.size() - start >= kAnswerLineSize) return {StatusOfLetter(held[start + 1]), held.size(), start};
    // Keep the (at most two) bytes that may begin the next answer line.
    return {std::nullopt, start, 0};
}

}  // namespace dravel
