// The device's answers and what they make of the transfer status.
//
// Answer line: three bytes from the device - a byte nobody examines, the
// answer letter, a line feed. The tool reads them from the front of the port's
// receive buffer after every batch the port appended.
//
// ClassifyAnswer is a pure function of the bytes held: it names the status
// the first complete answer line gives (if any) and how many bytes at the
// front are used up. Bytes that cannot begin an answer (a stray byte ahead of
// it, noise) are thrown away up to and including the next line feed, and what
// follows is examined the same way; a line with noise in it is never
// classified, so noise can never become an acceptance - the wait runs out and
// the frame goes again. Bytes that came behind a classified line in the same
// batch go with it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace dravel {

// Answer letters at index 1 of an answer line.
inline constexpr uint8_t ANSWER_ACK = 'A';
inline constexpr uint8_t ANSWER_NAK = 'N';
inline constexpr uint8_t ANSWER_END = 'T';
inline constexpr uint8_t ANSWER_LINE_END = 0x0A;
inline constexpr std::size_t kAnswerLineSize = 3;

// Transfer status values: what the worker polls.
inline constexpr int32_t XFER_WAIT = 0;
inline constexpr int32_t XFER_ACK = 1;
inline constexpr int32_t XFER_NAK = 2;
inline constexpr int32_t XFER_OTHER = 3;
inline constexpr int32_t XFER_TIMEOUT = 4;
inline constexpr int32_t XFER_END = 5;

struct Classification {
    std::optional<int32_t> status;  // XFER_ACK, XFER_NAK, XFER_END or XFER_OTHER
    std::size_t drop = 0;           // bytes at the front that are used up
    std::size_t line = 0;           // with a status: where the classified line starts
};

// `held` is the receive buffer's content, oldest byte first.
Classification ClassifyAnswer(std::span<const uint8_t> held);

// The status an answer letter gives.
int32_t StatusOfLetter(uint8_t letter);

}  // namespace dravel
