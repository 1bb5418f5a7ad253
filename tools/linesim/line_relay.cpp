#include "line_relay.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstring>
#include <random>

namespace dravel::linesim {

namespace {

// Far more than one frame (1033 bytes) either way; beyond it the relay
// stops reading and lets the kernel's pty buffer hold the rest, as a UART's
// sender would wait for a full receiver.
constexpr std::size_t kInboxLimit = 8192;
constexpr std::size_t kOutboxLimit = 8192;
constexpr std::size_t kIoChunk = 4096;
// Credit an idle wire may gather: enough to ride out poll()'s millisecond
// granularity, far too little to pass for a faster line.
constexpr auto kBurstWindow = std::chrono::milliseconds(2);
// What an FTDI adapter sends in one USB packet: 64 bytes, two of them its
// modem status.
constexpr std::size_t kUsbPacketData = 62;

uint64_t FreshSeed() {
    std::random_device device;
    return (static_cast<uint64_t>(device()) << 32) ^ device();
}

}  // namespace

LineRelay::LineRelay(RelayOptions options) : m_options(std::move(options)) {
    m_plan = FaultPlan(m_options.rates, m_options.seed ? *m_options.seed : FreshSeed(), m_options.up,
                       m_options.down);
    m_up.direction = Direction::Up;
    m_up.source = &m_tool;
    m_up.destination = &m_device;
    m_down.direction = Direction::Down;
    m_down.source = &m_device;
    m_down.destination = &m_tool;
    if (m_options.baud > 0) {
        m_byteTime = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(10.0 / m_options.baud));
        m_burst = std::max<Clock::duration>(m_byteTime, kBurstWindow);
    }
}

LineRelay::~LineRelay() {
    if (m_log) std::fclose(m_log);
    if (m_signalFd >= 0) ::close(m_signalFd);
}

void LineRelay::Log(const char* format, ...) {
    if (!m_log) return;
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(m_log, format, arguments);
    va_end(arguments);
    std::fputc('\n', m_log);
}

bool LineRelay::Setup() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    if (::sigprocmask(SIG_BLOCK, &signals, nullptr) != 0 ||
        (m_signalFd = ::signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK)) < 0) {
        std::fprintf(stderr, "linesim: signalfd: %s\n", std::strerror(errno));
        return false;
    }
    ::signal(SIGPIPE, SIG_IGN);
    if (!m_options.logPath.empty()) {
        m_log = std::fopen(m_options.logPath.c_str(), "w");
        if (!m_log) {
            std::fprintf(stderr, "linesim: %s: %s\n", m_options.logPath.c_str(), std::strerror(errno));
            return false;
        }
        std::setvbuf(m_log, nullptr, _IOLBF, 0);
    }
    if (!m_tool.Create(m_options.toolLink)) {
        std::fprintf(stderr, "linesim: tool side: %s\n", m_tool.Error().c_str());
        return false;
    }
    if (!m_device.Create(m_options.deviceLink)) {
        std::fprintf(stderr, "linesim: device side: %s\n", m_device.Error().c_str());
        return false;
    }
    Log("seed=%" PRIu64, m_plan.Seed());
    std::fprintf(stderr, "linesim: ready tool=%s -> %s device=%s -> %s seed=%" PRIu64 "\n",
                 m_tool.LinkPath().c_str(), m_tool.SlavePath().c_str(), m_device.LinkPath().c_str(),
                 m_device.SlavePath().c_str(), m_plan.Seed());
    return true;
}

uint64_t LineRelay::FaultedBytes() const {
    uint64_t count = 0;
    if (m_plan.Applies(Direction::Up)) count += m_up.counters.bytesIn;
    if (m_plan.Applies(Direction::Down)) count += m_down.counters.bytesIn;
    return count;
}

bool LineRelay::MayInject() const { return !m_options.maxFaults || m_faults < *m_options.maxFaults; }

void LineRelay::StartStallIfDue(Clock::time_point now) {
    if (m_nextStall >= m_options.stalls.size()) return;
    const Stall& stall = m_options.stalls[m_nextStall];
    if (FaultedBytes() < stall.atByte) return;
    ++m_nextStall;
    ++m_stalls;
    const auto until = now + std::chrono::milliseconds(stall.milliseconds);
    for (Lane* lane : {&m_up, &m_down}) {
        if (m_plan.Applies(lane->direction)) lane->stalledUntil = std::max(lane->stalledUntil, until);
    }
    Log("stall %s offset=%" PRIu64 " ms=%" PRIu32,
        m_plan.Applies(Direction::Up) && m_plan.Applies(Direction::Down)
            ? "both"
            : ToString(m_plan.Applies(Direction::Up) ? Direction::Up : Direction::Down),
        FaultedBytes(), stall.milliseconds);
}

void LineRelay::Carry(Lane& lane, uint8_t byte) {
    const uint64_t offset = lane.counters.bytesIn++;
    ++m_carried;
    const ByteFate fate = m_plan.Decide(lane.direction, offset);
    const char* way = ToString(lane.direction);
    if (fate.drop && MayInject()) {
        ++m_faults;
        ++lane.counters.drops;
        Log("drop %s offset=%" PRIu64 " byte=0x%02x", way, offset, byte);
        return;
    }
    if (fate.flipBit && MayInject()) {
        ++m_faults;
        ++lane.counters.flips;
        const auto flipped = static_cast<uint8_t>(byte ^ (1u << *fate.flipBit));
        Log("flip %s offset=%" PRIu64 " bit=%u 0x%02x->0x%02x", way, offset, unsigned{*fate.flipBit}, byte,
            flipped);
        byte = flipped;
    }
    if (lane.outbox.empty()) lane.heldSince = Clock::now();
    lane.outbox.push_back(byte);
    ++lane.counters.bytesOut;
    if (fate.dup && MayInject()) {
        ++m_faults;
        ++lane.counters.dups;
        Log("dup %s offset=%" PRIu64 " byte=0x%02x", way, offset, byte);
        lane.outbox.push_back(byte);
        ++lane.counters.bytesOut;
    }
}

void LineRelay::Emit(Lane& lane, Clock::time_point now) {
    while (!lane.inbox.empty() && lane.outbox.size() < kOutboxLimit && !m_hangUpNow) {
        if (m_plan.Applies(lane.direction)) StartStallIfDue(now);
        if (now < lane.stalledUntil) return;
        if (m_options.baud > 0) {
            lane.wireFree = std::max(lane.wireFree, now - m_burst);
            lane.wireFree = std::max(lane.wireFree, lane.stalledUntil);
            if (lane.wireFree + m_byteTime > now) return;
            lane.wireFree += m_byteTime;
        }
        const uint8_t byte = lane.inbox.front();
        lane.inbox.pop_front();
        Carry(lane, byte);
        if (m_options.hangupAfter && m_carried >= *m_options.hangupAfter) m_hangUpNow = true;
    }
}

bool LineRelay::Fill(Lane& lane, Clock::time_point now) {
    std::array<uint8_t, kIoChunk> chunk{};
    const std::size_t room = std::min(chunk.size(), kInboxLimit - lane.inbox.size());
    if (room == 0) return true;
    const ssize_t got = ::read(lane.source->MasterFd(), chunk.data(), room);
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) return true;
    if (got <= 0) {
        // The relay holds a slave descriptor of its own, so this is not a
        // peer going away; something is wrong with the pty itself.
        std::fprintf(stderr, "linesim: read %s side: %s\n", lane.direction == Direction::Up ? "tool" : "device",
                     got == 0 ? "end of file" : std::strerror(errno));
        return false;
    }
    if (lane.inbox.empty() && m_options.baud > 0) lane.wireFree = std::max(lane.wireFree, now - m_burst);
    lane.inbox.insert(lane.inbox.end(), chunk.begin(), chunk.begin() + got);
    return true;
}

bool LineRelay::Chunked(const Lane& lane) const {
    return m_options.chunk > 0 && m_plan.Applies(lane.direction);
}

bool LineRelay::UsbHolds(const Lane& lane) const {
    return m_options.usbLatencyMs > 0 && lane.direction == Direction::Down;
}

std::size_t LineRelay::UsbReleasable(const Lane& lane, Clock::time_point now) const {
    if (!UsbHolds(lane)) return lane.outbox.size();
    if (now >= lane.heldSince + std::chrono::milliseconds(m_options.usbLatencyMs)) return lane.outbox.size();
    // Full packets go at once; the rest waits for the timer.
    return lane.outbox.size() / kUsbPacketData * kUsbPacketData;
}

bool LineRelay::Flush(Lane& lane) {
    std::size_t releasable = UsbReleasable(lane, Clock::now());
    if (UsbHolds(lane) && releasable > 0 && releasable < lane.outbox.size()) {
        // Full packets leave before the timer runs out, which starts again for the rest.
        lane.heldSince = Clock::now();
    }
    while (!lane.outbox.empty() && releasable > 0) {
        std::array<uint8_t, kIoChunk> chunk{};
        std::size_t count = std::min({chunk.size(), lane.outbox.size(), releasable});
        if (Chunked(lane)) {
            // A driver that hands bytes over as they come: the next piece only
            // once the peer has read the last one.
            if (lane.destination->PeerUnread() > 0) return true;
            count = std::min<std::size_t>(count, m_options.chunk);
        }
        std::copy_n(lane.outbox.begin(), count, chunk.begin());
        const ssize_t taken = ::write(lane.destination->MasterFd(), chunk.data(), count);
        if (taken < 0 && (errno == EAGAIN || errno == EINTR)) return true;
        if (taken < 0) {
            std::fprintf(stderr, "linesim: write %s side: %s\n",
                         lane.direction == Direction::Up ? "device" : "tool", std::strerror(errno));
            return false;
        }
        lane.outbox.erase(lane.outbox.begin(), lane.outbox.begin() + taken);
        releasable -= static_cast<std::size_t>(taken);
        if (static_cast<std::size_t>(taken) < count || Chunked(lane)) return true;
    }
    return true;
}

int LineRelay::PollTimeout(Clock::time_point now, Clock::time_point deadline, bool hasDeadline) const {
    auto due = Clock::time_point::max();
    if (hasDeadline) due = deadline;
    for (const Lane* lane : {&m_up, &m_down}) {
        if (lane->inbox.empty() || lane->outbox.size() >= kOutboxLimit) continue;
        if (now < lane->stalledUntil) {
            due = std::min(due, lane->stalledUntil);
        } else if (m_options.baud > 0) {
            due = std::min(due, std::max(lane->wireFree, now - m_burst) + m_byteTime);
        } else {
            due = now;
        }
    }
    // In pieces, whether the peer has read the last one is looked at again
    // every millisecond: nothing tells the relay when it has.
    for (const Lane* lane : {&m_up, &m_down}) {
        if (Chunked(*lane) && !lane->outbox.empty()) due = std::min(due, now + std::chrono::milliseconds(1));
    }
    // Bytes the adapter holds go when its timer runs out.
    if (!m_down.outbox.empty() && UsbReleasable(m_down, now) == 0) {
        due = std::min(due, m_down.heldSince + std::chrono::milliseconds(m_options.usbLatencyMs));
    }
    if (due == Clock::time_point::max()) return -1;
    if (due <= now) return 0;
    // Round up: waking early would only come back here with nothing due.
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(due - now).count();
    return static_cast<int>(std::min<int64_t>(wait, 60'000));
}

std::string LineRelay::Summary() const {
    char text[512];
    std::snprintf(text, sizeof text,
                  "linesim: up=%" PRIu64 " down=%" PRIu64 " flips=%" PRIu64 " drops=%" PRIu64 " dups=%" PRIu64
                  " stalls=%" PRIu64 " seed=%" PRIu64 " end=%s",
                  m_up.counters.bytesIn, m_down.counters.bytesIn, m_up.counters.flips + m_down.counters.flips,
                  m_up.counters.drops + m_down.counters.drops, m_up.counters.dups + m_down.counters.dups, m_stalls,
                  m_plan.Seed(), m_end.c_str());
    return text;
}

int LineRelay::Finish(int code, const char* how) {
    m_end = how;
    Log("end %s up=%" PRIu64 " down=%" PRIu64, how, m_up.counters.bytesIn, m_down.counters.bytesIn);
    m_tool.Release();
    m_device.Release();
    std::printf("%s\n", Summary().c_str());
    std::fflush(stdout);
    return code;
}

int LineRelay::Run() {
    if (!Setup()) return Finish(kExitSetup, "error");
    const auto start = Clock::now();
    const bool hasDeadline = m_options.timeoutSeconds.has_value();
    const auto deadline = hasDeadline ? start + std::chrono::seconds(*m_options.timeoutSeconds) : start;

    for (;;) {
        auto now = Clock::now();
        if (hasDeadline && now >= deadline) return Finish(kExitTimeout, "timeout");
        for (Lane* lane : {&m_up, &m_down}) {
            Emit(*lane, now);
            if (!Flush(*lane)) return Finish(kExitSetup, "error");
        }
        if (m_hangUpNow) {
            Log("hangup after=%" PRIu64, m_carried);
            m_tool.HangUp();
            m_device.HangUp();
            return Finish(kExitHungUp, "hangup");
        }

        std::array<pollfd, 3> fds{};
        fds[0] = {m_tool.MasterFd(), 0, 0};
        fds[1] = {m_device.MasterFd(), 0, 0};
        fds[2] = {m_signalFd, POLLIN, 0};
        if (m_up.inbox.size() < kInboxLimit) fds[0].events |= POLLIN;
        if (!m_down.outbox.empty() && !Chunked(m_down) && UsbReleasable(m_down, now) > 0) fds[0].events |= POLLOUT;
        if (m_down.inbox.size() < kInboxLimit) fds[1].events |= POLLIN;
        if (!m_up.outbox.empty() && !Chunked(m_up)) fds[1].events |= POLLOUT;

        const int ready = ::poll(fds.data(), fds.size(), PollTimeout(now, deadline, hasDeadline));
        if (ready < 0 && errno != EINTR) {
            std::fprintf(stderr, "linesim: poll: %s\n", std::strerror(errno));
            return Finish(kExitSetup, "error");
        }
        if (ready <= 0) continue;
        if (fds[2].revents & POLLIN) {
            signalfd_siginfo info{};
            if (::read(m_signalFd, &info, sizeof info) > 0) {
                Log("signal %u", info.ssi_signo);
                return Finish(kExitStopped, "stopped");
            }
        }
        now = Clock::now();
        for (std::size_t i = 0; i < 2; ++i) {
            Lane& lane = i == 0 ? m_up : m_down;
            if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) {
                if (!Fill(lane, now)) return Finish(kExitSetup, "error");
            }
        }
    }
}

}  // namespace dravel::linesim
