#include "board_model.h"

#include <string>

namespace dravel::devsim {

namespace {
// SET-CONTROL values (RFC 2217) that move the modem lines.
constexpr uint8_t kDtrOn = 8;
constexpr uint8_t kDtrOff = 9;
constexpr uint8_t kRtsOn = 11;
constexpr uint8_t kRtsOff = 12;
}  // namespace

BoardModel::BoardModel(BoardSettings settings)
    : m_settings(std::move(settings)), m_loaderRunning(!m_settings.loaderOnReset) {}

void BoardModel::OnConnected(Clock::time_point)
{
    m_dtr = false;
    m_rts = false;
    m_dtrOffSince.reset();
}

BoardModel::Reset BoardModel::OnControl(uint8_t value, Clock::time_point now)
{
    switch (value) {
    case kRtsOn: m_rts = true; return Reset::None;
    case kRtsOff: m_rts = false; return Reset::None;
    case kDtrOff:
        if (m_dtr || !m_dtrOffSince) m_dtrOffSince = now;
        m_dtr = false;
        return Reset::None;
    case kDtrOn: break;
    default: return Reset::None;
    }
    const bool rose = !m_dtr;
    m_dtr = true;
    if (!rose || !m_dtrOffSince) return Reset::None;
    const auto off = now - *m_dtrOffSince;
    m_dtrOffSince.reset();
    if (off < kResetPulse) return Reset::None;
    m_lastPulse = std::chrono::duration_cast<std::chrono::milliseconds>(off);
    m_bannerAt.reset();
    if (m_rts) {
        if (m_settings.loaderOnReset) m_loaderRunning = true;
        return Reset::IntoLoader;
    }
    if (m_settings.loaderOnReset) m_loaderRunning = false;
    if (m_settings.bannerOnReset) ScheduleBanner(now);
    return Reset::IntoApplication;
}

void BoardModel::OnEndFrame(Clock::time_point now)
{
    if (m_settings.bannerOnReset) return;
    // The loader hands over to the application it has just written.
    if (m_settings.loaderOnReset) m_loaderRunning = false;
    ScheduleBanner(now);
}

void BoardModel::ScheduleBanner(Clock::time_point now)
{
    if (!m_settings.banner.empty()) m_bannerAt = now + kBannerDelay;
}

std::vector<uint8_t> BoardModel::TakeOutput(Clock::time_point now)
{
    if (!m_bannerAt || now < *m_bannerAt) return {};
    m_bannerAt.reset();
    std::vector<uint8_t> out(m_settings.banner.begin(), m_settings.banner.end());
    out.push_back('\r');
    out.push_back('\n');
    return out;
}

bool LoaderGate::Passes(const char* what)
{
    if (m_board.LoaderRunning()) return true;
    m_environment.Log(std::string(what) + " ignored (the loader is not running: no reset into it)");
    return false;
}

void LoaderGate::OnProbe()
{
    if (Passes("probe")) m_loader.OnProbe();
}

void LoaderGate::OnFrame(const ParsedFrame& frame)
{
    if (Passes("frame")) m_loader.OnFrame(frame);
}

void LoaderGate::OnBadFrame(const BadFrame& bad)
{
    if (Passes("bad frame")) m_loader.OnBadFrame(bad);
}

void LoaderGate::OnNoise(std::size_t count)
{
    if (m_board.LoaderRunning()) m_loader.OnNoise(count);
}

}  // namespace dravel::devsim
