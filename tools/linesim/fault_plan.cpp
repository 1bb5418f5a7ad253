#include "fault_plan.h"

namespace dravel::linesim {

uint64_t Mix(uint64_t value) {
    value += 0x9E3779B97F4A7C15ull;
    value = (value ^ (value >> 30)) * 0xBF58476D1CE4E5B9ull;
    value = (value ^ (value >> 27)) * 0x94D049BB133111EBull;
    return value ^ (value >> 31);
}

namespace {

// A uniform number in [0, 1) from the top 53 bits.
double Unit(uint64_t bits) {
    return static_cast<double>(bits >> 11) * (1.0 / 9007199254740992.0);
}

}  // namespace

ByteFate FaultPlan::Decide(Direction direction, uint64_t offset) const {
    ByteFate fate;
    if (!Applies(direction)) return fate;
    // Each kind of fault draws from its own stream, so changing one rate
    // leaves the places of the other kinds where they were.
    const uint64_t base = Mix(m_seed ^ (static_cast<uint64_t>(direction) << 62)) ^ offset;
    const uint64_t dropBits = Mix(base * 4 + 0);
    const uint64_t flipBits = Mix(base * 4 + 1);
    const uint64_t dupBits = Mix(base * 4 + 2);
    if (Unit(dropBits) < m_rates.drop) {
        fate.drop = true;
        return fate;
    }
    if (Unit(flipBits) < m_rates.flip) fate.flipBit = static_cast<uint8_t>(flipBits & 7u);
    if (Unit(dupBits) < m_rates.dup) fate.dup = true;
    return fate;
}

}  // namespace dravel::linesim
