// Boards that nobody touches: dravel-cli resets the simulator's board into
// its loader over rfc2217:// (the simulator is its own terminal server and
// logs every SET-CONTROL with its time), starts the application, waits for
// its banner and tries a failed board again; a pseudo-terminal without
// modem lines and a port another program holds are refused with their
// cause.

#include <gtest/gtest.h>

#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/support/devsim_process.h"
#include "tests/support/devsim_server.h"
#include "tests/support/pty_pair.h"

namespace dravel {
namespace {

using testing::DevsimServer;
using testing::Padded;
using testing::PatternImage;
using testing::SplitLines;
using testing::TempDir;

std::string Cli() { return testing::BinPath("dravel-cli"); }

constexpr int kDtrOn = 8, kDtrOff = 9, kRtsOn = 11, kRtsOff = 12;
// The board's reset into its loader, as most adapters wire it.
const char* const kReset = "D0|R1|W0.1|D1";

struct Outcome {
    testing::RunResult run;
    std::vector<nlohmann::json> events;
    nlohmann::json report;
};

// One download of `image` to `port` with --json and --report.
Outcome Download(const TempDir& dir, const std::vector<std::string>& ports, const std::vector<std::string>& options,
                 const std::string& image) {
    testing::WriteWholeFile(dir / "fw.bin", image);
    std::vector<std::string> argv = {Cli(), "--json", "--report", dir / "report.jsonl", "--sync-timeout", "5"};
    for (const std::string& port : ports) argv.insert(argv.end(), {"--port", port});
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back(dir / "fw.bin");
    Outcome outcome{testing::Run(argv), {}, {}};
    for (const std::string& line : SplitLines(outcome.run.out)) {
        outcome.events.push_back(nlohmann::json::parse(line, nullptr, false));
    }
    const auto records = SplitLines(testing::ReadWholeFile(dir / "report.jsonl"));
    if (!records.empty()) outcome.report = nlohmann::json::parse(records.back(), nullptr, false);
    return outcome;
}

std::vector<std::string> EventNames(const Outcome& outcome) {
    std::vector<std::string> names;
    for (const auto& event : outcome.events) names.push_back(event.value("event", "?"));
    return names;
}

TEST(BoardReset, TheSequenceReachesTheBoardInOrderWithItsWaitsAndOnlyThenIsItProbed) {
    struct Case {
        const char* reset;
        std::vector<int> controls;  // after the opening's DTR on, RTS on
        std::size_t waitAfter;      // the index in `controls` a wait of `waitMs` follows
        double waitMs;
    };
    const std::vector<Case> cases = {
        {kReset, {kDtrOff, kRtsOn, kDtrOn}, 1, 100},
        // Both lines at once: over RFC 2217 DTR's command, then RTS's.
        {"U01|W0.2|U11", {kDtrOff, kRtsOn, kDtrOn, kRtsOn}, 1, 200},
        {"R0|D0|W0.15|R1|D1", {kRtsOff, kDtrOff, kRtsOn, kDtrOn}, 1, 150},
    };
    const std::string image = PatternImage(2500);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reset);
        DevsimServer board({"--loader-on-reset"});
        TempDir dir;
        const Outcome outcome = Download(dir, {board.Url()}, {"--reset", c.reset}, image);
        ASSERT_EQ(outcome.run.exitCode, 0) << outcome.run.err;
        ASSERT_EQ(board.Wait(), 0) << board.Errors();
        EXPECT_EQ(board.Image(), Padded(image));
        const auto controls = board.Controls();
        std::vector<int> values;
        for (const auto& control : controls) values.push_back(control.value);
        // Opening: no flow control, DTR on, RTS on; then the sequence; the close lowers DTR.
        ASSERT_GE(values.size(), 3 + c.controls.size());
        EXPECT_EQ(std::vector<int>(values.begin() + 3, values.begin() + 3 + static_cast<long>(c.controls.size())),
                  c.controls);
        EXPECT_GE(controls[3 + c.waitAfter + 1].ms - controls[3 + c.waitAfter].ms, c.waitMs - 1.0);
        EXPECT_EQ(outcome.report.value("attempts", 0), 1);
    }
}

TEST(BoardConfirmation, OnlyALineMatchingTheExpectationCountsAndTheResultSaysWhatTheBoardSaid) {
    struct Case {
        const char* name;
        std::vector<std::string> board;
        std::vector<std::string> options;
        int exitCode;
        std::string banner;    // the confirming line; empty: none
        std::string saidText;  // on standard error
        int attempts;
    };
    const std::vector<Case> cases = {
        {"confirmed", {"--banner", "App v2 ready"}, {"--expect", "^App v[0-9]+ ready$"}, 0, "App v2 ready", "", 1},
        {"wrong banner",
         {"--banner", "App v1 ready"},
         {"--expect", "v2", "--expect-timeout", "0.8"},
         5,
         "",
         "the board said instead",
         1},
        {"silent", {}, {"--expect", "v2", "--expect-timeout", "0.5"}, 5, "", "stayed silent", 1},
        // The application starts only when --run resets the board with RTS off.
        {"started by --run",
         {"--loader-on-reset", "--banner", "App v2 ready", "--banner-on-reset"},
         {"--reset", kReset, "--run", "R0|D0|W0.1|D1", "--expect", "v2"},
         0,
         "App v2 ready",
         "",
         1},
        {"not started without --run",
         {"--loader-on-reset", "--banner", "App v2 ready", "--banner-on-reset"},
         {"--reset", kReset, "--expect", "v2", "--expect-timeout", "0.6"},
         5,
         "",
         "stayed silent",
         1},
        {"aborted, then again", {"--abort-at", "2"}, {"--retries", "2"}, 0, "", "attempt 1: the device aborted", 2},
        {"aborted, no retries", {"--abort-at", "2"}, {}, 3, "", "the device aborted", 0},
    };
    const std::string image = PatternImage(3000, 7);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DevsimServer board(c.board);
        TempDir dir;
        const Outcome outcome = Download(dir, {board.Url()}, c.options, image);
        ASSERT_EQ(outcome.run.exitCode, c.exitCode) << outcome.run.err;
        board.Stop();
        // The transfer completed whenever the exit says confirmed or not.
        if (c.exitCode == 0 || c.exitCode == 5) {
            EXPECT_EQ(outcome.report.value("outcome", ""), "Transfer Completed ");
            EXPECT_EQ(board.Image(), Padded(image));
        }
        EXPECT_NE(outcome.run.err.find(c.saidText), std::string::npos) << outcome.run.err;
        const auto names = EventNames(outcome);
        ASSERT_FALSE(names.empty());
        EXPECT_EQ(names.back(), "end");
        EXPECT_EQ(outcome.events.back().value("exit_code", -1), c.exitCode);
        EXPECT_EQ(outcome.report.value("exit_code", -1), c.exitCode);
        if (!c.banner.empty()) {
            EXPECT_EQ(outcome.report.value("banner", ""), c.banner);
            const auto boot = std::find(names.begin(), names.end(), "boot");
            ASSERT_NE(boot, names.end());
            EXPECT_EQ(outcome.events[static_cast<std::size_t>(boot - names.begin())].value("line", ""), c.banner);
        } else {
            EXPECT_FALSE(outcome.report.contains("banner"));
        }
        if (c.attempts > 0) {
            EXPECT_EQ(outcome.report.value("attempts", 0), c.attempts);
            EXPECT_EQ(outcome.events.back().value("attempt", 0), c.attempts);
            // Each attempt is synchronised afresh, its events carrying its number.
            int syncs = 0;
            for (const auto& event : outcome.events) {
                if (event.value("event", "") != "sync") continue;
                EXPECT_EQ(event.value("attempt", 0), ++syncs);
            }
            EXPECT_EQ(syncs, c.attempts);
        } else {
            EXPECT_FALSE(outcome.report.contains("attempts"));
        }
    }
}

TEST(BoardGang, EachBoardIsResetConfirmedAndTriedAgainOnItsOwn) {
    DevsimServer steady({"--loader-on-reset", "--banner", "App v2 ready"});
    DevsimServer flaky({"--loader-on-reset", "--banner", "App v2 ready", "--abort-at", "1"});
    TempDir dir;
    const std::string image = PatternImage(2100, 3);
    testing::WriteWholeFile(dir / "fw.bin", image);
    const auto run = testing::Run({Cli(), "--port", steady.Url(), "--port", flaky.Url(), "--reset", kReset, "--expect",
                                   "v2 ready", "--retries", "1", "--report", dir / "report.jsonl", dir / "fw.bin"});
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_EQ(steady.Wait(), 0);
    EXPECT_EQ(flaky.Wait(), 0);
    EXPECT_EQ(flaky.Image(), Padded(image));
    // The table says the attempts of the board that needed more than one.
    EXPECT_NE(run.out.find("Transfer Completed  (2 attempts)"), std::string::npos) << run.out;
    std::vector<int> attempts;
    for (const std::string& line : SplitLines(testing::ReadWholeFile(dir / "report.jsonl"))) {
        const auto record = nlohmann::json::parse(line);
        EXPECT_EQ(record.value("banner", ""), "App v2 ready");
        attempts.push_back(record.value("attempts", 0));
    }
    std::sort(attempts.begin(), attempts.end());
    EXPECT_EQ(attempts, (std::vector<int>{1, 2}));
    // Each board saw its own reset, the flaky one twice.
    auto resets = [](const DevsimServer& board) {
        int count = 0;
        for (const auto& control : board.Controls()) count += control.value == kDtrOff ? 1 : 0;
        return count - 1;  // the close lowers DTR once more
    };
    EXPECT_EQ(resets(steady), 1);
    EXPECT_EQ(resets(flaky), 2);
}

TEST(BoardRefused, ALineWithoutModemLinesOrHeldByAnotherProgramStopsBeforeAnyProbeAndSaysWhy) {
    TempDir dir;
    testing::WriteWholeFile(dir / "fw.bin", PatternImage(100));
    // A pseudo-terminal has no modem lines: the reset cannot be played.
    testing::DevsimProcess board;
    for (const char* reset : {"W0.2|D0|W0.1|D1", "U01"}) {
        const auto run = testing::Run({Cli(), "--port", board.LinkPath(), "--reset", reset, dir / "fw.bin"});
        EXPECT_EQ(run.exitCode, 1) << run.err;
        EXPECT_NE(run.err.find("has no modem lines (DTR, RTS)"), std::string::npos) << run.err;
        EXPECT_NE(run.err.find(board.LinkPath()), std::string::npos) << run.err;
    }
    board.Stop();
    for (const std::string& line : board.Log()) EXPECT_EQ(line.find("probe"), std::string::npos) << line;

    // Held and locked by this test: the cause names it with its process id.
    testing::PtyPair cable;
    ASSERT_EQ(::flock(cable.KeptSlaveFd(), LOCK_EX | LOCK_NB), 0);
    const auto held = testing::Run({Cli(), "--port", cable.SlavePath(), dir / "fw.bin"});
    EXPECT_EQ(held.exitCode, 1) << held.err;
    EXPECT_NE(held.err.find("(pid " + std::to_string(::getpid()) + ")"), std::string::npos) << held.err;

    // No modem lines at all on a raw TCP port, and a sequence that does not
    // parse: usage errors, before anything is opened.
    for (const std::vector<std::string>& options :
         {std::vector<std::string>{"--port", "socket://127.0.0.1:9", "--run", "D1"},
          std::vector<std::string>{"--port", board.LinkPath(), "--reset", "D0|Q1"}}) {
        std::vector<std::string> argv = {Cli()};
        argv.insert(argv.end(), options.begin(), options.end());
        argv.push_back(dir / "fw.bin");
        EXPECT_EQ(testing::Run(argv).exitCode, 2);
    }
}

}  // namespace
}  // namespace dravel
