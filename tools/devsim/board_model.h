// The board around the simulated loader: what its reset and boot-select
// wiring makes of DTR and RTS, and what its application says when it starts.
//
// The wiring: DTR low holds the board in reset, RTS high selects the loader.
// A reset is DTR off for at least kResetPulse and back on; RTS at the moment
// DTR comes back decides what starts: on, the loader; off, the application.
// A connection starts with both lines off, and the first rise of DTR is the
// port being opened, not a reset.
//
// --loader-on-reset: the loader answers nothing (no probe, no frame) until a
// reset into it; once it has taken an image it starts the application and is
// gone, so another transfer needs another reset - except with
// --banner-on-reset, where only a reset starts the application.
// --banner TEXT: the application's first line, TEXT CR LF, kBannerDelay after
// the end frame; with --banner-on-reset after a reset into the application
// instead. A reset before the banner is out starts over.
//
// What it owns: the line levels, the loader's presence and the banner due.
// It does no I/O and reads no clock: the caller passes the time.
// Threads: one owner thread, the device loop's.
// Failures: none.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "frame_parser.h"
#include "loader.h"

namespace dravel::devsim {

inline constexpr std::chrono::milliseconds kResetPulse{80};
inline constexpr std::chrono::milliseconds kBannerDelay{200};

struct BoardSettings {
    bool loaderOnReset = false;
    std::string banner;  // empty: the application says nothing
    bool bannerOnReset = false;
};

class BoardModel {
public:
    using Clock = std::chrono::steady_clock;
    enum class Reset : uint8_t { None, IntoLoader, IntoApplication };

    explicit BoardModel(BoardSettings settings);

    // A client connected to the port: both lines off, nothing known of DTR.
    void OnConnected(Clock::time_point now);
    // A SET-CONTROL value; DTR and RTS changes count, the rest is ignored.
    // Says whether that made a reset, and of which kind.
    Reset OnControl(uint8_t value, Clock::time_point now);
    // The loader took an image.
    void OnEndFrame(Clock::time_point now);

    bool LoaderRunning() const { return m_loaderRunning; }
    // How long DTR was off before the last reset.
    std::chrono::milliseconds LastPulse() const { return m_lastPulse; }

    // What the application writes by `now` (the banner with CR LF), once.
    std::vector<uint8_t> TakeOutput(Clock::time_point now);
    // When the banner is due, if one is.
    std::optional<Clock::time_point> Deadline() const { return m_bannerAt; }

private:
    void ScheduleBanner(Clock::time_point now);

    BoardSettings m_settings;
    bool m_loaderRunning;
    bool m_dtr = false;
    bool m_rts = false;
    std::optional<Clock::time_point> m_dtrOffSince;
    std::chrono::milliseconds m_lastPulse{0};
    std::optional<Clock::time_point> m_bannerAt;
};

// Between the frame parser and the loader: passes everything on while the
// loader runs, and drops it (with a line in the log) while it does not.
class LoaderGate final : public FrameSink {
public:
    LoaderGate(FrameSink& loader, const BoardModel& board, LoaderEnvironment& environment)
        : m_loader(loader), m_board(board), m_environment(environment) {}

    void OnProbe() override;
    void OnFrame(const ParsedFrame& frame) override;
    void OnBadFrame(const BadFrame& bad) override;
    void OnNoise(std::size_t count) override;

private:
    bool Passes(const char* what);

    FrameSink& m_loader;
    const BoardModel& m_board;
    LoaderEnvironment& m_environment;
};

}  // namespace dravel::devsim
