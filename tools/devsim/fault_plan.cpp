#include "fault_plan.h"

#include <charconv>

namespace dravel::devsim {

bool ParseNumber(std::string_view text, uint64_t min, uint64_t max, uint64_t& value) {
    if (text.empty()) return false;
    uint64_t parsed = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), parsed);
    if (error != std::errc() || end != text.data() + text.size()) return false;
    if (parsed < min || parsed > max) return false;
    value = parsed;
    return true;
}

bool ParseRefuse(std::string_view text, uint64_t& block, uint32_t& times) {
    const auto colon = text.find(':');
    uint64_t parsedTimes = 1;
    if (colon != std::string_view::npos &&
        !ParseNumber(text.substr(colon + 1), 1, UINT32_MAX, parsedTimes)) {
        return false;
    }
    if (!ParseNumber(text.substr(0, colon), 1, UINT64_MAX, block)) return false;
    times = static_cast<uint32_t>(parsedTimes);
    return true;
}

bool ParseGarbage(std::string_view text, std::size_t& count, std::optional<uint64_t>& block) {
    const auto at = text.find('@');
    uint64_t parsedCount = 0;
    // An answer is written in one go; a megabyte ahead of it is plenty.
    if (!ParseNumber(text.substr(0, at), 1, 1u << 20, parsedCount)) return false;
    block.reset();
    if (at != std::string_view::npos) {
        uint64_t parsedBlock = 0;
        if (!ParseNumber(text.substr(at + 1), 1, UINT64_MAX, parsedBlock)) return false;
        block = parsedBlock;
    }
    count = static_cast<std::size_t>(parsedCount);
    return true;
}

bool FaultPlan::AnswerProbe() {
    ++m_probes;
    return m_probes > m_config.silentProbes;
}

BlockVerdict FaultPlan::OnArrival(uint64_t block, uint32_t arrival) const {
    if (m_config.abortAt == block) return BlockVerdict::Abort;
    const auto refused = m_config.refuse.find(block);
    if (refused != m_config.refuse.end() && arrival <= refused->second) return BlockVerdict::Refuse;
    if (m_config.refuseEvery != 0 && block % m_config.refuseEvery == 0 && arrival == 1) {
        return BlockVerdict::Refuse;
    }
    return BlockVerdict::Accept;
}

bool FaultPlan::LoseAnswer(uint64_t block) {
    if (!m_config.loseAnswer.contains(block)) return false;
    return m_lost.insert(block).second;
}

std::size_t FaultPlan::GarbageBefore(uint64_t block, bool firstAnswer) const {
    if (firstAnswer) {
        const auto at = m_config.garbageAt.find(block);
        if (at != m_config.garbageAt.end()) return at->second;
    }
    return m_config.garbageEvery.value_or(0);
}

}  // namespace dravel::devsim
