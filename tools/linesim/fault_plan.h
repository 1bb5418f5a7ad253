// FaultPlan: which byte of the line gets which fault.
//
// What it owns: the fault rates, the directions they apply to and the seed.
// The fate of a byte is a pure function of (seed, direction, offset), where
// offset counts the bytes that direction has carried so far. So a run that
// replays the same bytes with the same seed meets the same faults at the same
// places, however the two directions interleave in time - that is what makes
// a failing run of the fault matrix replayable. The cap on the number of
// faults (--max-faults) is applied by the caller, which knows the order in
// which bytes really passed.
//
// Threads: a plain value; Decide() is const and may be called from anywhere.
// Failures: none; rates outside 0..1 are clamped by the option parser.
#pragma once

#include <cstdint>
#include <optional>

namespace dravel::linesim {

enum class Direction : uint8_t { Up = 0, Down = 1 };  // up: tool to device

constexpr const char* ToString(Direction direction) {
    return direction == Direction::Up ? "up" : "down";
}

struct FaultRates {
    double flip = 0.0;  // one random bit of the byte inverted
    double drop = 0.0;  // the byte never arrives
    double dup = 0.0;   // the byte arrives twice
};

struct ByteFate {
    bool drop = false;
    std::optional<uint8_t> flipBit;  // 0..7
    bool dup = false;
    bool Clean() const { return !drop && !flipBit && !dup; }
};

class FaultPlan {
public:
    FaultPlan() = default;
    FaultPlan(FaultRates rates, uint64_t seed, bool up, bool down)
        : m_rates(rates), m_seed(seed), m_up(up), m_down(down) {}

    // A dropped byte is neither flipped nor duplicated; a duplicated byte is
    // sent twice as it left the flip (both copies carry the same bit error).
    ByteFate Decide(Direction direction, uint64_t offset) const;
    bool Applies(Direction direction) const { return direction == Direction::Up ? m_up : m_down; }
    uint64_t Seed() const { return m_seed; }
    const FaultRates& Rates() const { return m_rates; }

private:
    FaultRates m_rates;
    uint64_t m_seed = 0;
    bool m_up = true;
    bool m_down = true;
};

// splitmix64: a counter-based generator, so no state runs between bytes.
uint64_t Mix(uint64_t value);

}  // namespace dravel::linesim
