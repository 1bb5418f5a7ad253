// The opening gate of the receive path.
//
// Until the device has answered the very first time, everything received is
// noise to the tool (a loader still booting, a line left over from a previous
// session). The gate lets bytes through only from the first answer line,
// 'U', 'A', LF, on; once open it stays open for the whole process.
//
// A driver may hand that first answer over in pieces (a UART with a one-byte
// receive trigger, a slow line, a loaded machine), so bytes of consecutive
// chunks are gathered while together they are still a beginning of the
// answer. When they complete it, the gathered bytes and whatever came behind
// them in the completing chunk pass as one chunk, so the classifier sees the
// answer whole. Anything else is dropped: a piece that does not continue the
// answer throws the gathered bytes away and is itself looked at afresh, so a
// chunk that begins with the whole answer always opens the gate.
//
// Threads: a gate belongs to one port's reader thread; the process-wide flag
// behind ProcessGateOpen() is atomic.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace dravel {

inline constexpr std::array<uint8_t, 3> kOpeningAnswer = {0x55, 0x41, 0x0A};  // 'U', 'A', LF

class OpeningGate {
public:
    // What passes of one received chunk: nothing while the gate is closed and
    // the answer not yet complete; once it is open, the chunk itself, or on
    // the chunk that opens it, the gathered bytes followed by that chunk.
    // The span is valid until the next call.
    std::span<const uint8_t> Pass(std::span<const uint8_t> chunk);

    // Bytes held back while they may still begin the opening answer.
    std::size_t Gathered() const { return m_gathered; }

private:
    std::array<uint8_t, kOpeningAnswer.size() - 1> m_held{};
    std::size_t m_gathered = 0;
    // The opening chunk when it had to be joined to held bytes: made once per
    // process, so it may allocate.
    std::vector<uint8_t> m_joined;
};

// The process-wide state of the gate: closed at program start, opened by the
// first complete opening answer on any port, never closed again.
bool ProcessGateOpen();

namespace testing {
// Tests only: closes the gate again between cases.
void ResetReceiveGate();
bool ReceiveGateOpen();
}  // namespace testing

}  // namespace dravel
