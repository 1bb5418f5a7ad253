// Modem-line sequences for boards whose serial adapter drives reset and
// boot-select through DTR and RTS: the text of --reset and --run, and a
// runner that plays a sequence on a line.
//
// A sequence is steps separated by '|', spaces around a step allowed:
//   D0, D1       DTR off, on
//   R0, R1       RTS off, on
//   U<dtr><rts>  both in one request where the line has one: U01 is DTR off
//                and RTS on at the same moment
//   W<seconds>   a wait, decimals allowed down to the millisecond (W0.1,
//                W.05, W2); at most 60 s each
// At most kMaxModemSteps steps, whose waits add up to at most 60 s: a
// sequence is a reset, not a schedule, and a typing mistake must not hold a
// station for an hour.
//
// The runner knows no line: it drives a ModemControl, which the serial line
// implements for real and a test implements by recording. It stops at the
// first request the line refuses and at an interrupted wait, and says which
// step that was.
//
// What it owns: nothing beyond the parsed steps. ModemWait owns the flag and
// the condition variable of one interruptible wait.
// Threads: parsing and running on any one thread at a time; a ModemControl
// is called only on the thread that runs the sequence. ModemWait::Interrupt()
// may be called from any thread.
// Failures: ParseModemSequence never throws; a bad sequence gives a usage
// text that quotes the step and says what was expected. The runner reports
// the step it stopped at and the line's own words.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace dravel::board {

inline constexpr std::size_t kMaxModemSteps = 64;
inline constexpr std::chrono::milliseconds kMaxModemWait{60000};

struct ModemStep {
    enum class Kind : uint8_t { Dtr, Rts, Both, Wait };
    Kind kind = Kind::Wait;
    bool dtr = false;  // Dtr, Both
    bool rts = false;  // Rts, Both
    std::chrono::milliseconds wait{0};  // Wait

    static ModemStep SetDtr(bool on) { return {Kind::Dtr, on, false, {}}; }
    static ModemStep SetRts(bool on) { return {Kind::Rts, false, on, {}}; }
    static ModemStep SetBoth(bool dtr, bool rts) { return {Kind::Both, dtr, rts, {}}; }
    static ModemStep Pause(std::chrono::milliseconds span) { return {Kind::Wait, false, false, span}; }

    friend bool operator==(const ModemStep&, const ModemStep&) = default;
};

struct ModemSequence {
    std::vector<ModemStep> steps;
    std::string error;  // empty when the text was good

    explicit operator bool() const { return error.empty(); }
};

ModemSequence ParseModemSequence(std::string_view text);

// The step as it is written in a sequence ("D0", "U01", "W0.1"), and a whole
// sequence so; parsing the result gives the same steps back.
std::string ToString(const ModemStep& step);
std::string ToString(std::span<const ModemStep> steps);
// In words, for causes and traces: "DTR off", "DTR off and RTS on", "wait 0.1 s".
std::string Describe(const ModemStep& step);

// What a sequence is played on.
class ModemControl {
public:
    // Each returns false with the line's reason in `cause` when the line
    // refuses (no modem lines, the driver says no, the connection is gone).
    virtual bool SetDtr(bool on, std::string& cause) = 0;
    virtual bool SetRts(bool on, std::string& cause) = 0;
    // Both in one request where the line has one; otherwise DTR, then RTS.
    virtual bool SetBoth(bool dtr, bool rts, std::string& cause) = 0;
    // Waits `span`; false when the wait was interrupted (the user cancelled).
    virtual bool Wait(std::chrono::milliseconds span) = 0;

protected:
    ~ModemControl() = default;
};

struct ModemRun {
    enum class End : uint8_t { Done, Refused, Interrupted };
    End end = End::Done;
    std::size_t step = 0;  // index of the step it stopped at; the step count when done
    std::string cause;     // Refused: "DTR off refused (step 1, D0): <the line's reason>"
};

ModemRun ApplyModemSequence(std::span<const ModemStep> steps, ModemControl& control);

// A sleep that another thread can cut short, for ModemControl::Wait. Once
// interrupted it stays so (every later wait returns false at once) until
// Reset(), so an interrupt between two waits is not lost.
class ModemWait {
public:
    // False when interrupted before or during the wait.
    bool For(std::chrono::milliseconds span);
    void Interrupt();
    void Reset();
    bool Interrupted() const;

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_interrupted = false;
};

}  // namespace dravel::board
