#include "device_loop.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

#include "pacer.h"

namespace dravel::devsim {

using namespace std::chrono_literals;

namespace {

volatile std::sig_atomic_t g_caught = 0;

extern "C" void OnSignal(int signal) { g_caught = signal; }

constexpr std::array<int, 3> kStopSignals{SIGINT, SIGTERM, SIGHUP};

using Clock = std::chrono::steady_clock;

timespec ToTimespec(Clock::duration span) {
    const auto ns = std::max<Clock::duration>(span, Clock::duration::zero());
    const auto total = std::chrono::duration_cast<std::chrono::nanoseconds>(ns).count();
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(total / 1000000000);
    ts.tv_nsec = static_cast<long>(total % 1000000000);
    return ts;
}

void Earliest(std::optional<Clock::time_point>& wake, Clock::time_point candidate) {
    if (!wake || candidate < *wake) wake = candidate;
}

}  // namespace

SignalGuard::SignalGuard() {
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigset_t block;
    sigemptyset(&block);
    for (const int signal : kStopSignals) {
        ::sigaction(signal, &action, nullptr);
        sigaddset(&block, signal);
    }
    ::signal(SIGPIPE, SIG_IGN);
    ::sigprocmask(SIG_BLOCK, &block, &m_previousMask);
    m_waitMask = m_previousMask;
    for (const int signal : kStopSignals) sigdelset(&m_waitMask, signal);
}

SignalGuard::~SignalGuard() { ::sigprocmask(SIG_SETMASK, &m_previousMask, nullptr); }

int SignalGuard::Caught() { return g_caught; }

namespace {

class DeviceLoop {
public:
    DeviceLoop(Line& line, FrameParser& parser, Loader& loader, BoardModel& board, const LoopSettings& settings,
               const SignalGuard& signals, std::string& error)
        : m_line(line),
          m_parser(parser),
          m_loader(loader),
          m_board(board),
          m_settings(settings),
          m_signals(signals),
          m_error(error),
          m_in(settings.bytesPerSecond, Clock::now()),
          m_out(settings.bytesPerSecond, Clock::now()) {}

    LoopResult Run() {
        for (;;) {
            if (SignalGuard::Caught() != 0) return LoopResult::Signal;
            Clock::time_point now = Clock::now();
            if (m_settings.deadline && now >= *m_settings.deadline) return LoopResult::Timeout;

            Collect(now);
            const Loader::Status status = m_loader.GetStatus();
            if (status == Loader::Status::Failed) return LoopResult::ImageFailed;
            const bool serving = status == Loader::Status::Serving;
            if (!serving && m_pending.empty() && !m_board.Deadline()) {
                if (!m_finishedAt) m_finishedAt = now;
                // A client of the terminal server may still reset the board
                // or close the port after the last transfer; it gets a while.
                const bool client = status == Loader::Status::Finished && m_line.PeerAttached() &&
                                    now < *m_finishedAt + m_settings.clientGrace;
                if (!client) {
                    // Give the tool the chance to read our last answer before
                    // the line goes away under it.
                    if (const auto early = Linger()) return *early;
                    return status == Loader::Status::Finished ? LoopResult::Finished : LoopResult::HungUp;
                }
            }

            // Past the last transfer the client's traffic is still taken in
            // (its modem lines, its close), its data dropped.
            const bool listening = !serving && m_line.PeerAttached();
            const bool wantRead = (serving || listening) && m_in.Allowance(now) > 0;
            const bool mayWrite = !m_pending.empty() && m_out.Allowance(now) > 0;
            const bool wantWrite = mayWrite || m_line.HasQueuedOutput();
            std::optional<Clock::time_point> wake = m_settings.deadline;
            if (wantRead) {
                if (const auto quiet = m_parser.Deadline(); quiet && serving) Earliest(wake, *quiet);
            } else if (serving || listening) {
                Earliest(wake, m_in.NextByte(now));
            }
            if (!m_pending.empty() && !mayWrite) Earliest(wake, m_out.NextByte(now));
            if (const auto banner = m_board.Deadline()) Earliest(wake, *banner);
            if (m_finishedAt && listening) Earliest(wake, *m_finishedAt + m_settings.clientGrace);

            pollfd pfd{m_line.Fd(), static_cast<short>((wantRead ? POLLIN : 0) | (wantWrite ? POLLOUT : 0)), 0};
            timespec timeout{};
            if (wake) timeout = ToTimespec(*wake - now);
            const int ready = ::ppoll(&pfd, 1, wake ? &timeout : nullptr, &m_signals.WaitMask());
            if (ready < 0) {
                if (errno == EINTR) continue;
                m_error = std::string("poll: ") + std::strerror(errno);
                return LoopResult::LineFailed;
            }
            now = Clock::now();
            if ((pfd.revents & (POLLERR | POLLNVAL | POLLHUP)) != 0 && (pfd.revents & POLLIN) == 0) {
                if (!m_line.OnHangUp(m_error)) return LoopResult::LineFailed;
                continue;
            }
            if ((pfd.revents & POLLOUT) != 0) {
                if (m_line.HasQueuedOutput() && !m_line.Flush(m_error)) return LoopResult::LineFailed;
                if (mayWrite && !Write(now)) return LoopResult::LineFailed;
            }
            if (wantRead) {
                if ((pfd.revents & POLLIN) != 0) {
                    if (!Read(now, serving)) return LoopResult::LineFailed;
                } else if (serving) {
                    // Nothing waiting right now: the line is quiet.
                    m_parser.Advance(now);
                }
            }
        }
    }

private:
    // What the loader answered, and what the board's application says.
    void Collect(Clock::time_point now) {
        const std::vector<uint8_t> answer = m_loader.TakeOutput();
        m_pending.insert(m_pending.end(), answer.begin(), answer.end());
        if (m_loader.Stats().transfers != m_transfers) {
            m_transfers = m_loader.Stats().transfers;
            m_board.OnEndFrame(now);
        }
        const std::vector<uint8_t> said = m_board.TakeOutput(now);
        m_pending.insert(m_pending.end(), said.begin(), said.end());
    }

    bool Read(Clock::time_point now, bool serving) {
        const std::size_t want = std::min(m_buffer.size(), m_in.Allowance(now));
        std::size_t count = 0;
        if (!m_line.Read(std::span<uint8_t>(m_buffer.data(), want), count, m_error)) return false;
        m_in.Consume(count);
        if (serving && count != 0) m_parser.Feed(std::span<const uint8_t>(m_buffer.data(), count), now);
        return true;
    }

    bool Write(Clock::time_point now) {
        const std::size_t want = std::min(m_pending.size(), m_out.Allowance(now));
        std::size_t count = 0;
        if (!m_line.Write(std::span<const uint8_t>(m_pending.data(), want), count, m_error)) return false;
        m_out.Consume(count);
        m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<std::ptrdiff_t>(count));
        return true;
    }

    std::optional<LoopResult> Linger() {
        // A pseudo-terminal hands written bytes to the slave side through a
        // kernel work queue, so right after the write the tool's queue may
        // still look empty; and a hang-up throws away what it has not read.
        // So: wait for the answer to show up there, then for it to be gone.
        const Clock::time_point start = Clock::now();
        const Clock::time_point until = start + m_settings.linger;
        const Clock::time_point arrival = start + std::min<Clock::duration>(100ms, m_settings.linger);
        bool seen = false;
        for (;;) {
            if (SignalGuard::Caught() != 0) return LoopResult::Signal;
            const Clock::time_point now = Clock::now();
            if (m_settings.deadline && now >= *m_settings.deadline) return LoopResult::Timeout;
            if (m_line.Undelivered() != 0) {
                seen = true;
            } else if (seen || now >= arrival) {
                break;
            }
            if (now >= until) break;
            timespec nap = ToTimespec(std::chrono::milliseconds(2));
            ::ppoll(nullptr, 0, &nap, &m_signals.WaitMask());
        }
        return std::nullopt;
    }

    Line& m_line;
    FrameParser& m_parser;
    Loader& m_loader;
    BoardModel& m_board;
    const LoopSettings& m_settings;
    const SignalGuard& m_signals;
    std::string& m_error;
    Pacer m_in;
    Pacer m_out;
    std::vector<uint8_t> m_pending;
    std::array<uint8_t, 4096> m_buffer{};
    uint64_t m_transfers = 0;
    std::optional<Clock::time_point> m_finishedAt;
};

}  // namespace

LoopResult RunDevice(Line& line, FrameParser& parser, Loader& loader, BoardModel& board, const LoopSettings& settings,
                     const SignalGuard& signals, std::string& error) {
    return DeviceLoop(line, parser, loader, board, settings, signals, error).Run();
}

}  // namespace dravel::devsim
