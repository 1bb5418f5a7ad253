#include "comm/opening_gate.h"

#include <algorithm>
#include <atomic>
#include <cstring>

namespace dravel {

namespace {

std::atomic<bool> g_gateOpen{false};

// True if `bytes` (at most three) are the opening answer or its beginning.
bool BeginsOpeningAnswer(std::span<const uint8_t> bytes) {
    const std::size_t compared = std::min(bytes.size(), kOpeningAnswer.size());
    return std::equal(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(compared), kOpeningAnswer.begin());
}

}  // namespace

bool ProcessGateOpen() { return g_gateOpen.load(); }

namespace testing {
void ResetReceiveGate() { g_gateOpen.store(false); }
bool ReceiveGateOpen() { return g_gateOpen.load(); }
}  // namespace testing

std::span<const uint8_t> OpeningGate::Pass(std::span<const uint8_t> chunk) {
    if (g_gateOpen.load()) {
        m_gathered = 0;
        return chunk;
    }
    if (chunk.empty()) return {};
    if (m_gathered > 0) {
        // The held bytes and the start of this chunk, as far as the answer goes.
        std::array<uint8_t, kOpeningAnswer.size()> front{};
        std::copy_n(m_held.begin(), m_gathered, front.begin());
        const std::size_t added = std::min(chunk.size(), front.size() - m_gathered);
        std::copy_n(chunk.begin(), added, front.begin() + static_cast<std::ptrdiff_t>(m_gathered));
        if (BeginsOpeningAnswer(std::span<const uint8_t>(front.data(), m_gathered + added))) {
            if (m_gathered + chunk.size() < kOpeningAnswer.size()) {
                std::copy(chunk.begin(), chunk.end(), m_held.begin() + static_cast<std::ptrdiff_t>(m_gathered));
                m_gathered += chunk.size();
                return {};
            }
            m_joined.assign(m_held.begin(), m_held.begin() + static_cast<std::ptrdiff_t>(m_gathered));
            m_joined.insert(m_joined.end(), chunk.begin(), chunk.end());
            m_gathered = 0;
            g_gateOpen.store(true);
            return m_joined;
        }
        // Not the continuation: what was held is noise. The chunk itself may
        // still begin the answer.
        m_gathered = 0;
    }
    if (!BeginsOpeningAnswer(chunk)) return {};
    if (chunk.size() < kOpeningAnswer.size()) {
        std::copy(chunk.begin(), chunk.end(), m_held.begin());
        m_gathered = chunk.size();
        return {};
    }
    g_gateOpen.store(true);
    return chunk;
}

}  // namespace dravel
