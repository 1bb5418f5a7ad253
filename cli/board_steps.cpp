#include "cli/board_steps.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <tuple>

#include "comm/comm.h"

namespace dravel::cli {

namespace {

// Longer than anyone waits for a board to boot; a typing mistake such as
// 5000 for 5 must not hold a station for hours.
constexpr double kLongestExpectSeconds = 600.0;
// More attempts than that is a board to put aside, not to try again.
constexpr int kMostRetries = 100;

std::string Seconds(std::chrono::milliseconds span) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", static_cast<double>(span.count()) / 1000.0);
    return text;
}

// The open port as a sequence sees it. A line that turns out to have no
// modem lines refuses: the board would not be reset, and probing it anyway
// would only end as "no answer" far from the cause.
class PortModemControl final : public board::ModemControl {
public:
    PortModemControl(CComm& port, board::ModemWait& wait) : m_port(port), m_wait(wait) {}

    bool SetDtr(bool on, std::string& cause) override { return Check(m_port.SetDtr(on), "DTR", cause); }
    bool SetRts(bool on, std::string& cause) override { return Check(m_port.SetRts(on), "RTS", cause); }
    bool SetBoth(bool dtr, bool rts, std::string& cause) override {
        return Check(m_port.SetModemLines(dtr, rts), "DTR and RTS", cause);
    }
    bool Wait(std::chrono::milliseconds span) override { return m_wait.For(span); }

private:
    bool Check(SerialResult result, const char* lines, std::string& cause) {
        if (result != SerialResult::Ok) {
            cause = m_port.LineError();
            return false;
        }
        if (!m_port.HasModemLines()) {
            cause = m_port.DevicePath() + " has no modem lines (" + lines +
                    "): it is a pseudo-terminal or its driver refuses them, so the board cannot be reset through it";
            return false;
        }
        return true;
    }

    CComm& m_port;
    board::ModemWait& m_wait;
};

}  // namespace

std::optional<BoardSteps> MakeBoardSteps(const std::string& reset, const std::string& run, const std::string& expect,
                                         double expectSeconds, int retries, std::string& error) {
    BoardSteps steps;
    for (const auto& [option, text, target] : {std::tuple{"--reset", &reset, &steps.reset},
                                               std::tuple{"--run", &run, &steps.run}}) {
        if (text->empty()) continue;
        board::ModemSequence sequence = board::ParseModemSequence(*text);
        if (!sequence) {
            error = std::string(option) + " " + sequence.error;
            return std::nullopt;
        }
        *target = std::move(sequence.steps);
    }
    if (!expect.empty()) {
        std::string why;
        if (!board::BootBannerMatcher::Make(expect, why)) {
            error = "--expect " + why;
            return std::nullopt;
        }
        steps.expect = expect;
    }
    if (expectSeconds > 0.0 && expect.empty()) {
        error = "--expect-timeout is for --expect";
        return std::nullopt;
    }
    if (expectSeconds < 0.0 || expectSeconds > kLongestExpectSeconds || std::isnan(expectSeconds)) {
        error = "--expect-timeout is more than 0 and at most " + std::to_string(static_cast<int>(kLongestExpectSeconds)) +
                " seconds";
        return std::nullopt;
    }
    if (expectSeconds > 0.0) {
        steps.expectTimeout = std::chrono::milliseconds(std::max<long long>(1, std::llround(expectSeconds * 1000.0)));
    }
    if (retries < 0 || retries > kMostRetries) {
        error = "--retries is 0 to " + std::to_string(kMostRetries);
        return std::nullopt;
    }
    steps.retries = retries;
    return steps;
}

std::string BoardStepsProblem(const BoardSteps& steps, const std::string& device) {
    if ((steps.reset.empty() && steps.run.empty()) || !device.starts_with("socket://")) return {};
    return "--reset and --run need modem lines, and " + device +
           " (raw TCP) carries none; use rfc2217:// if the server speaks RFC 2217";
}

BoardRun::BoardRun(BoardSteps steps, output::TransferOutput& output) : m_steps(std::move(steps)), m_output(output) {}

void BoardRun::AttemptBegins(int attempt) {
    std::string error;
    auto matcher = m_steps.expect.empty() ? std::nullopt : board::BootBannerMatcher::Make(m_steps.expect, error);
    {
        std::lock_guard lock(m_mutex);
        m_matcher = std::move(matcher);
        m_result.attempts = attempt;
    }
    m_output.Attempt(attempt);
}

bool BoardRun::BeforeSync(CComm& port, std::string& cause) { return Play(m_steps.reset, port, "--reset", cause); }

bool BoardRun::AfterEnd(CComm& port, std::string& cause) {
    // The end frame must be out before a run sequence resets the board.
    if (!m_steps.run.empty()) port.DrainOutput();
    if (!Play(m_steps.run, port, "--run", cause)) return false;
    if (m_steps.expect.empty()) return true;
    return AwaitBanner(port.DevicePath(), cause);
}

bool BoardRun::Play(const std::vector<board::ModemStep>& steps, CComm& port, const char* option, std::string& cause) {
    if (steps.empty()) return true;
    // Known at the open already: no step is played, not even a wait.
    if (!port.HasModemLines()) {
        cause = std::string(option) + ": " + port.DevicePath() +
                " has no modem lines (DTR, RTS): it is a pseudo-terminal or its driver refuses them, so the board "
                "cannot be reset through it";
        return false;
    }
    PortModemControl control(port, m_modemWait);
    const board::ModemRun run = board::ApplyModemSequence(steps, control);
    switch (run.end) {
        case board::ModemRun::End::Done: return true;
        case board::ModemRun::End::Interrupted: cause = std::string(option) + " interrupted"; return false;
        case board::ModemRun::End::Refused: cause = std::string(option) + ": " + run.cause; return false;
    }
    return false;
}

void BoardRun::Received(std::span<const uint8_t> bytes) {
    std::lock_guard lock(m_mutex);
    if (m_matcher && !m_matcher->Matched() && m_matcher->Feed(bytes)) m_changed.notify_all();
}

bool BoardRun::AwaitBanner(const std::string& device, std::string& cause) {
    std::unique_lock lock(m_mutex);
    const auto deadline = std::chrono::steady_clock::now() + m_steps.expectTimeout;
    m_changed.wait_until(lock, deadline, [this] { return m_interrupted || (m_matcher && m_matcher->Matched()); });
    if (m_interrupted || !m_matcher) return false;
    if (m_matcher->Matched() || m_matcher->Finish()) {
        m_result.banner = m_matcher->MatchedLine();
        const std::string line = *m_result.banner;
        lock.unlock();
        m_output.Boot(line);
        return true;
    }
    cause = "delivered but not confirmed: no line from " + device + " matched /" + m_steps.expect + "/ within " +
            Seconds(m_steps.expectTimeout) + " s; " + m_matcher->NoMatchCause();
    return false;
}

bool BoardRun::TryAgain(TransferOutcome outcome, int attempt) {
    {
        std::lock_guard lock(m_mutex);
        if (m_interrupted) return false;
    }
    if (attempt > m_steps.retries) return false;
    // A line that refuses the reset, an image that does not open or a cancel
    // would only end the same way again.
    return outcome == TransferOutcome::Failed || outcome == TransferOutcome::NoAnswer ||
           outcome == TransferOutcome::NotConfirmed;
}

void BoardRun::Interrupt() {
    m_modemWait.Interrupt();
    {
        std::lock_guard lock(m_mutex);
        m_interrupted = true;
    }
    m_changed.notify_all();
}

BoardResult BoardRun::Result() const {
    std::lock_guard lock(m_mutex);
    return m_result;
}

}  // namespace dravel::cli
