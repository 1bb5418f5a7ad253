// A board that nobody touches: reset into its loader through DTR and RTS
// before the first probe (--reset), started after the end frame (--run),
// counted only once it announces its new firmware (--expect), and tried
// again from the start when an attempt fails (--retries).
//
// BoardSteps is what the command line asks for, checked before anything is
// opened. BoardRun carries it out inside one transfer, as the transfer's
// BoardHooks: each attempt plays the reset on the open port, and after the
// end frame plays the run sequence and reads the board's lines until one
// matches or the time is up. The outputs hear of each attempt and of the
// line that confirmed; Result() gives both to the caller of the run.
//
// What it owns: the parsed sequences, the compiled pattern's matcher of the
// running attempt, the waits of the sequences and of the confirmation.
// Threads: the transfer's worker calls the hooks; the reader's notification
// calls Received(); Interrupt() may come from any thread and cuts every
// wait short for the rest of the run. Result() after the transfer.
// Failures: CheckBoardSteps and MakeBoardSteps say what is wrong with the
// options in words for the usage message. A line that refuses the modem
// lines ends the attempt with a cause naming the line and the device; no
// wait outlasts its own limit or an interrupt.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "board/boot_banner.h"
#include "board/modem_sequence.h"
#include "output/transfer_output.h"
#include "protocol/board_hooks.h"

namespace dravel::cli {

inline constexpr double kDefaultExpectSeconds = 5.0;

struct BoardSteps {
    std::vector<board::ModemStep> reset;
    std::vector<board::ModemStep> run;
    std::string expect;  // empty: the transfer's end is enough
    std::chrono::milliseconds expectTimeout{5000};
    int retries = 0;

    // Whether the transfer needs its hooks at all.
    bool Any() const { return !reset.empty() || !run.empty() || !expect.empty() || retries > 0; }
};

// The steps the option texts ask for; nothing, with the reason in `error`.
std::optional<BoardSteps> MakeBoardSteps(const std::string& reset, const std::string& run, const std::string& expect,
                                         double expectSeconds, int retries, std::string& error);

// Why the steps cannot be played on this device ("socket://" carries no
// modem lines); empty when they can.
std::string BoardStepsProblem(const BoardSteps& steps, const std::string& device);

// What a board's run came to, for whoever keeps a record of the board.
struct BoardResult {
    int attempts = 0;                   // attempts made, the last one decided
    std::optional<std::string> banner;  // the line that confirmed, printable
};

class BoardRun final : public BoardHooks {
public:
    BoardRun(BoardSteps steps, output::TransferOutput& output);

    void AttemptBegins(int attempt) override;
    bool BeforeSync(CComm& port, std::string& cause) override;
    bool AfterEnd(CComm& port, std::string& cause) override;
    void Received(std::span<const uint8_t> bytes) override;
    bool TryAgain(TransferOutcome outcome, int attempt) override;

    // Any thread: the user cancelled; waits end now and no attempt follows.
    void Interrupt();
    BoardResult Result() const;

private:
    bool Play(const std::vector<board::ModemStep>& steps, CComm& port, const char* option, std::string& cause);
    bool AwaitBanner(const std::string& device, std::string& cause);

    const BoardSteps m_steps;
    output::TransferOutput& m_output;
    board::ModemWait m_modemWait;

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::optional<board::BootBannerMatcher> m_matcher;  // the running attempt's
    bool m_interrupted = false;
    BoardResult m_result;
};

}  // namespace dravel::cli
