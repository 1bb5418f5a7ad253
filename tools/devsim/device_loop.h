// The simulator's event loop: moves bytes between the line, the frame
// parser and the loader, paced like a UART when asked, adds what the board's
// application says (its banner) when it is due, until the loader is done,
// the time is up or a signal arrives. After the last transfer, a client of
// the terminal server is served until it has gone (or LoopSettings'
// clientGrace is over), so its last modem-line commands and its close are
// seen too; a banner due is written before the loop ends.
//
// It sleeps in ppoll() until the line is readable or writable or the next
// deadline (idle gap, pacing credit, overall timeout) - never a busy loop.
// SIGINT, SIGTERM and SIGHUP are blocked outside ppoll() so none of them can
// slip in between the check and the wait; SignalGuard installs that.
//
// Threads: the thread that owns the line runs the loop; SignalGuard lives on
// main's stack for the whole run.
//
// Failures: the result says why the loop ended; a line failure carries the
// system's text in `error`.
#pragma once

#include <chrono>
#include <csignal>
#include <cstdint>
#include <optional>
#include <string>

#include "board_model.h"
#include "frame_parser.h"
#include "line.h"
#include "loader.h"

namespace dravel::devsim {

class SignalGuard {
public:
    SignalGuard();
    ~SignalGuard();
    SignalGuard(const SignalGuard&) = delete;
    SignalGuard& operator=(const SignalGuard&) = delete;

    const sigset_t& WaitMask() const { return m_waitMask; }
    // The signal that ended the run, 0 if none.
    static int Caught();

private:
    sigset_t m_previousMask{};
    sigset_t m_waitMask{};
};

struct LoopSettings {
    uint32_t bytesPerSecond = 0;  // 0: unpaced
    std::optional<std::chrono::steady_clock::time_point> deadline;
    // How long to wait, at the end, for the tool to take our last answer.
    std::chrono::milliseconds linger{500};
    // How long a terminal server's client may stay after the last transfer.
    std::chrono::milliseconds clientGrace{10000};
};

enum class LoopResult : uint8_t { Finished, HungUp, Timeout, Signal, LineFailed, ImageFailed };

LoopResult RunDevice(Line& line, FrameParser& parser, Loader& loader, BoardModel& board, const LoopSettings& settings,
                     const SignalGuard& signals, std::string& error);

}  // namespace dravel::devsim
