// Pacer: lets bytes through at a UART's rate (baud/10 bytes a second for
// 8N1) so a pseudo-terminal, which moves data at memory speed, behaves like
// a real line. A token bucket: credit grows with time, capped at 5 ms worth
// (at least one byte) so a quiet spell does not turn into a fast burst.
//
// Threads: one owner. Failures: none. A rate of 0 means unpaced.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace dravel::devsim {

class Pacer {
public:
    using Clock = std::chrono::steady_clock;

    Pacer(uint32_t bytesPerSecond, Clock::time_point now)
        : m_rate(bytesPerSecond),
          m_cap(std::max(1.0, bytesPerSecond / 200.0)),
          m_credit(m_cap),
          m_last(now) {}

    bool Paced() const { return m_rate != 0; }

    // Whole bytes that may pass at `now`.
    std::size_t Allowance(Clock::time_point now) {
        if (!Paced()) return std::numeric_limits<std::size_t>::max();
        Refill(now);
        return static_cast<std::size_t>(m_credit);
    }

    void Consume(std::size_t bytes) {
        if (Paced()) m_credit = std::max(0.0, m_credit - static_cast<double>(bytes));
    }

    // When the next whole byte may pass (now, if one may already).
    Clock::time_point NextByte(Clock::time_point now) {
        if (!Paced()) return now;
        Refill(now);
        if (m_credit >= 1.0) return now;
        const double wait = (1.0 - m_credit) / m_rate;
        return now + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(wait)) +
               Clock::duration(1);
    }

private:
    void Refill(Clock::time_point now) {
        if (now <= m_last) return;
        const double elapsed = std::chrono::duration<double>(now - m_last).count();
        m_credit = std::min(m_cap, m_credit + elapsed * m_rate);
        m_last = now;
    }

    double m_rate;
    double m_cap;
    double m_credit;
    Clock::time_point m_last;
};

}  // namespace dravel::devsim
