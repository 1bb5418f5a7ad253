#include "board/modem_sequence.h"

#include <optional>

namespace dravel::board {

namespace {

constexpr std::string_view kExpected =
    "expected D0, D1 (DTR), R0, R1 (RTS), U<dtr><rts> such as U01 (both at once) or W<seconds> such as W0.1";
// A step or sequence quoted in a message is cut here: the message is one line.
constexpr std::size_t kQuoteLimit = 40;

std::string Quote(std::string_view text)
{
    if (text.size() <= kQuoteLimit) return "\"" + std::string(text) + "\"";
    return "\"" + std::string(text.substr(0, kQuoteLimit)) + "...\"";
}

std::string_view Trim(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

std::optional<bool> Level(char c)
{
    if (c == '0') return false;
    if (c == '1') return true;
    return std::nullopt;
}

// "W" followed by seconds: digits, a point and up to three more digits. The
// reason when the text is no such wait.
std::optional<std::chrono::milliseconds> ParseWait(std::string_view digits, std::string& reason)
{
    const std::size_t point = digits.find('.');
    const std::string_view whole = digits.substr(0, point);
    const std::string_view fraction = point == std::string_view::npos ? std::string_view() : digits.substr(point + 1);
    auto allDigits = [](std::string_view part) {
        for (const char c : part) {
            if (c < '0' || c > '9') return false;
        }
        return true;
    };
    if ((whole.empty() && fraction.empty()) || !allDigits(whole) || !allDigits(fraction)) {
        reason = std::string(kExpected);
        return std::nullopt;
    }
    if (fraction.size() > 3) {
        reason = "a wait is given to the millisecond at most, such as W0.125";
        return std::nullopt;
    }
    std::string_view significant = whole;
    while (!significant.empty() && significant.front() == '0') significant.remove_prefix(1);
    int64_t milliseconds = 0;
    if (significant.size() > 5) {
        milliseconds = kMaxModemWait.count() + 1;
    } else {
        for (const char c : significant) milliseconds = milliseconds * 10 + (c - '0');
        milliseconds *= 1000;
        int64_t scale = 100;
        for (const char c : fraction) {
            milliseconds += (c - '0') * scale;
            scale /= 10;
        }
    }
    if (milliseconds > kMaxModemWait.count()) {
        reason = "a wait is at most 60 s";
        return std::nullopt;
    }
    return std::chrono::milliseconds(milliseconds);
}

std::optional<ModemStep> ParseStep(std::string_view step, std::string& reason)
{
    if (step.empty()) {
        reason = "an empty step; " + std::string(kExpected);
        return std::nullopt;
    }
    const std::string_view rest = step.substr(1);
    switch (step.front()) {
    case 'D':
    case 'R':
        if (rest.size() == 1) {
            if (const auto on = Level(rest.front())) {
                return step.front() == 'D' ? ModemStep::SetDtr(*on) : ModemStep::SetRts(*on);
            }
        }
        break;
    case 'U':
        if (rest.size() == 2) {
            const auto dtr = Level(rest[0]);
            const auto rts = Level(rest[1]);
            if (dtr && rts) return ModemStep::SetBoth(*dtr, *rts);
        }
        reason = "U takes two digits, 0 or 1, for DTR then RTS, such as U01";
        return std::nullopt;
    case 'W':
        if (const auto span = ParseWait(rest, reason)) return ModemStep::Pause(*span);
        return std::nullopt;
    default: break;
    }
    reason = std::string(kExpected);
    return std::nullopt;
}

std::string Seconds(std::chrono::milliseconds span)
{
    const int64_t ms = span.count();
    std::string text = std::to_string(ms / 1000);
    if (const int64_t part = ms % 1000; part != 0) {
        std::string digits = std::to_string(1000 + part).substr(1);
        while (digits.back() == '0') digits.pop_back();
        text += "." + digits;
    }
    return text;
}

const char* OnOff(bool on) { return on ? "on" : "off"; }

}  // namespace

ModemSequence ParseModemSequence(std::string_view text)
{
    ModemSequence sequence;
    if (Trim(text).empty()) {
        sequence.error = "the sequence is empty; give steps such as D0|W0.1|D1";
        return sequence;
    }
    std::chrono::milliseconds waited{0};
    std::size_t number = 0;
    std::size_t start = 0;
    for (;;) {
        const std::size_t bar = text.find('|', start);
        const std::string_view raw = text.substr(start, bar == std::string_view::npos ? text.npos : bar - start);
        ++number;
        if (number > kMaxModemSteps) {
            sequence.steps.clear();
            sequence.error = Quote(text) + " has more than " + std::to_string(kMaxModemSteps) + " steps";
            return sequence;
        }
        std::string reason;
        const auto step = ParseStep(Trim(raw), reason);
        if (!step) {
            sequence.steps.clear();
            sequence.error = "bad step " + Quote(Trim(raw)) + " (step " + std::to_string(number) + " of " +
                             Quote(text) + "): " + reason;
            return sequence;
        }
        waited += step->wait;
        sequence.steps.push_back(*step);
        if (bar == std::string_view::npos) break;
        start = bar + 1;
    }
    if (waited > kMaxModemWait) {
        sequence.steps.clear();
        sequence.error = "the waits of " + Quote(text) + " add up to " + Seconds(waited) + " s; at most 60 s";
    }
    return sequence;
}

std::string ToString(const ModemStep& step)
{
    switch (step.kind) {
    case ModemStep::Kind::Dtr: return step.dtr ? "D1" : "D0";
    case ModemStep::Kind::Rts: return step.rts ? "R1" : "R0";
    case ModemStep::Kind::Both: return std::string("U") + (step.dtr ? '1' : '0') + (step.rts ? '1' : '0');
    case ModemStep::Kind::Wait: return "W" + Seconds(step.wait);
    }
    return {};
}

std::string ToString(std::span<const ModemStep> steps)
{
    std::string text;
    for (const ModemStep& step : steps) {
        if (!text.empty()) text += '|';
        text += ToString(step);
    }
    return text;
}

std::string Describe(const ModemStep& step)
{
    switch (step.kind) {
    case ModemStep::Kind::Dtr: return std::string("DTR ") + OnOff(step.dtr);
    case ModemStep::Kind::Rts: return std::string("RTS ") + OnOff(step.rts);
    case ModemStep::Kind::Both: return std::string("DTR ") + OnOff(step.dtr) + " and RTS " + OnOff(step.rts);
    case ModemStep::Kind::Wait: return "wait " + Seconds(step.wait) + " s";
    }
    return {};
}

ModemRun ApplyModemSequence(std::span<const ModemStep> steps, ModemControl& control)
{
    ModemRun run;
    for (run.step = 0; run.step < steps.size(); ++run.step) {
        const ModemStep& step = steps[run.step];
        std::string cause;
        bool taken = true;
        switch (step.kind) {
        case ModemStep::Kind::Dtr: taken = control.SetDtr(step.dtr, cause); break;
        case ModemStep::Kind::Rts: taken = control.SetRts(step.rts, cause); break;
        case ModemStep::Kind::Both: taken = control.SetBoth(step.dtr, step.rts, cause); break;
        case ModemStep::Kind::Wait:
            if (!control.Wait(step.wait)) {
                run.end = ModemRun::End::Interrupted;
                return run;
            }
            break;
        }
        if (!taken) {
            run.end = ModemRun::End::Refused;
            run.cause = Describe(step) + " refused (step " + std::to_string(run.step + 1) + ", " + ToString(step) +
                        ")" + (cause.empty() ? std::string() : ": " + cause);
            return run;
        }
    }
    return run;
}

bool ModemWait::For(std::chrono::milliseconds span)
{
    std::unique_lock lock(m_mutex);
    return !m_changed.wait_for(lock, span, [this] { return m_interrupted; });
}

void ModemWait::Interrupt()
{
    {
        std::lock_guard lock(m_mutex);
        m_interrupted = true;
    }
    m_changed.notify_all();
}

void ModemWait::Reset()
{
    std::lock_guard lock(m_mutex);
    m_interrupted = false;
}

bool ModemWait::Interrupted() const
{
    std::lock_guard lock(m_mutex);
    return m_interrupted;
}

}  // namespace dravel::board
