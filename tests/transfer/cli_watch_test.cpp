// dravel-cli as a production station: boards (simulators behind
// pseudo-terminal links that appear and go in a folder) flashed as they are
// plugged in, a result line each, --count, Ctrl+C, and the events of --json
// as a station program reads them.

#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/devsim_process.h"

namespace dravel {
namespace {

using namespace std::chrono_literals;
using testing::DevsimProcess;
using testing::Padded;
using testing::PatternImage;
using testing::SplitLines;
using testing::TempDir;

std::string Cli() { return testing::BinPath("dravel-cli"); }

std::string Sha256Sum(const std::string& path) {
    std::string command = "sha256sum '" + path + "'";
    std::FILE* pipe = ::popen(command.c_str(), "r");
    char digest[65] = {};
    if (pipe == nullptr || std::fscanf(pipe, "%64s", digest) != 1) digest[0] = '\0';
    if (pipe) ::pclose(pipe);
    return digest;
}

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 20s) {
    const auto deadline = testing::Clock::now() + timeout;
    while (!done()) {
        if (testing::Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

std::size_t Count(const std::string& text, const std::string& needle) {
    std::size_t count = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++count;
    return count;
}

// A station: dravel-cli --watch on the boards' folder.
class Station {
public:
    Station(const TempDir& dir, std::vector<std::string> options, const std::string& scale = "0.25") {
        std::vector<std::string> argv = {Cli(), "--watch", dir / "board*"};
        argv.insert(argv.end(), options.begin(), options.end());
        m_child = std::make_unique<testing::ChildProcess>(argv, dir / "station.out", dir / "station.err",
                                                          std::vector<std::string>{"DRAVEL_TIMER_SCALE=" + scale});
    }
    std::string Out() const { return m_child->Stdout(); }
    std::string Err() const { return m_child->Stderr(); }
    std::vector<std::string> Results() const {
        std::vector<std::string> results;
        for (const auto& line : SplitLines(Out())) {
            if (line.rfind("PASS ", 0) == 0 || line.rfind("FAIL ", 0) == 0) results.push_back(line);
        }
        return results;
    }
    bool WaitForResults(std::size_t count, std::chrono::milliseconds timeout = 20s) {
        return WaitUntil([&] { return Results().size() >= count; }, timeout);
    }
    std::vector<nlohmann::json> Events() const {
        std::vector<nlohmann::json> events;
        for (const auto& line : SplitLines(Out())) events.push_back(nlohmann::json::parse(line));
        return events;
    }
    std::optional<int> Wait(std::chrono::milliseconds timeout = 30s) { return m_child->Wait(timeout); }
    void Signal(int signal) { m_child->Signal(signal); }

private:
    std::unique_ptr<testing::ChildProcess> m_child;
};

TEST(WatchStation, FiveBoardsPluggedInOneAfterAnotherAtTheSamePlace) {
    TempDir dir;
    const std::string content = PatternImage(3000, 5);
    testing::WriteWholeFile(dir / "fw.bin", content);
    Station station(dir, {"--count", "5", "--report", dir / "boards.jsonl", dir / "fw.bin"});
    for (int board = 1; board <= 5; ++board) {
        DevsimProcess device({"--idle-gap-ms", "5"}, dir / "board");
        ASSERT_EQ(device.Wait(20s), 0) << "board " << board << ": " << station.Err();
        EXPECT_EQ(device.Image(), Padded(content));
        // Unplugged: the station must see it go before the next one comes.
        ASSERT_TRUE(WaitUntil([&] { return Count(station.Err(), " gone") >= static_cast<std::size_t>(board) ||
                                           board == 5; }))
            << station.Err();
    }
    ASSERT_EQ(station.Wait(), 0) << station.Out() << station.Err();
    const auto results = station.Results();
    ASSERT_EQ(results.size(), 5u) << station.Out();
    const std::regex pass(R"(PASS (\d) (\S+) \d+\.\d\d)");
    for (std::size_t i = 0; i < results.size(); ++i) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(results[i], match, pass)) << results[i];
        EXPECT_EQ(match[1].str(), std::to_string(i + 1));
        EXPECT_EQ(match[2].str(), dir / "board");
    }
    EXPECT_EQ(SplitLines(station.Out()).back(), "5 boards: 5 passed, 0 failed");
    const auto reports = SplitLines(testing::ReadWholeFile(dir / "boards.jsonl"));
    ASSERT_EQ(reports.size(), 5u);
    for (std::size_t i = 0; i < reports.size(); ++i) {
        const auto record = nlohmann::json::parse(reports[i]);
        EXPECT_EQ(record["board"], i + 1);
        EXPECT_EQ(record["exit_code"], 0);
        EXPECT_EQ(record["sha256"], Sha256Sum(dir / "fw.bin"));
    }
}

TEST(WatchStation, FailuresAreSaidWithTheirCauseAndTheStationGoesOn) {
    TempDir dir;
    testing::WriteWholeFile(dir / "fw.bin", PatternImage(5000));
    // Plugged in before the station starts: never answers, aborts, is
    // unplugged in the middle of its download.
    DevsimProcess silent({"--idle-gap-ms", "5", "--silent-probes", "100000"}, dir / "board-a");
    DevsimProcess aborting({"--idle-gap-ms", "5", "--abort-at", "2"}, dir / "board-b");
    DevsimProcess unplugged({"--idle-gap-ms", "5", "--hangup-after", "2"}, dir / "board-c");
    Station station(dir, {"--count", "4", "--sync-timeout", "1", dir / "fw.bin"}, "1");
    ASSERT_TRUE(station.WaitForResults(3)) << station.Out() << station.Err();
    ASSERT_TRUE(WaitUntil([&] { return station.Err().find(dir / "board-c gone") != std::string::npos; }))
        << station.Err();
    DevsimProcess good({"--idle-gap-ms", "5"}, dir / "board-d");
    ASSERT_EQ(station.Wait(), 3) << station.Out() << station.Err();
    EXPECT_EQ(good.Wait(), 0);

    auto results = station.Results();
    ASSERT_EQ(results.size(), 4u) << station.Out();
    auto line = [&](const std::string& board) {
        const auto found = std::find_if(results.begin(), results.end(), [&](const std::string& result) {
            return result.find(" " + (dir / board) + " ") != std::string::npos;
        });
        return found == results.end() ? std::string() : *found;
    };
    EXPECT_TRUE(line("board-a").starts_with("FAIL ")) << line("board-a");
    EXPECT_NE(line("board-a").find("no answer"), std::string::npos) << line("board-a");
    EXPECT_TRUE(line("board-b").starts_with("FAIL ")) << line("board-b");
    EXPECT_NE(line("board-b").find("aborted"), std::string::npos) << line("board-b");
    EXPECT_TRUE(line("board-c").starts_with("FAIL ")) << line("board-c");
    EXPECT_TRUE(line("board-d").starts_with("PASS 4 ")) << line("board-d");
    // The two that stayed plugged in were flashed once only.
    EXPECT_EQ(SplitLines(station.Out()).back(), "4 boards: 1 passed, 3 failed");
}

TEST(WatchStation, ABoardThatStaysPluggedInIsFlashedOnceAndCtrlCWhileIdleEndsWithTheSummary) {
    TempDir dir;
    testing::WriteWholeFile(dir / "fw.bin", PatternImage(2000));
    DevsimProcess device({"--idle-gap-ms", "5", "--repeat", "3"}, dir / "board1");
    Station station(dir, {dir / "fw.bin"});
    ASSERT_TRUE(station.WaitForResults(1)) << station.Err();
    // Several looks at the folder later it is still there and still done.
    std::this_thread::sleep_for(1500ms);
    station.Signal(SIGINT);
    ASSERT_EQ(station.Wait(), 0) << station.Err();
    EXPECT_EQ(station.Results().size(), 1u) << station.Out();
    EXPECT_EQ(SplitLines(station.Out()).back(), "1 board: 1 passed, 0 failed");
    EXPECT_EQ(device.FrameSequences().size(), 2u) << "the device got one image";
}

TEST(WatchStation, CtrlCWithNoBoardAtAllEndsAtOnceWithAnEmptySummary) {
    TempDir dir;
    testing::WriteWholeFile(dir / "fw.bin", "abc");
    Station station(dir, {dir / "fw.bin"});
    ASSERT_TRUE(WaitUntil([&] { return station.Err().find("waiting for devices") != std::string::npos; }));
    station.Signal(SIGTERM);
    EXPECT_EQ(station.Wait(5s), 0);
    EXPECT_EQ(station.Out(), "0 boards: 0 passed, 0 failed\n");
}

TEST(WatchStation, CtrlCWhileFlashingClosesThePortAndCountsTheBoardAsFailed) {
    TempDir dir;
    testing::WriteWholeFile(dir / "fw.bin", PatternImage(64 * 1024));
    DevsimProcess device({"--idle-gap-ms", "5", "--baud", "9600"}, dir / "board1");
    Station station(dir, {dir / "fw.bin"});
    ASSERT_TRUE(WaitUntil([&] { return device.FrameSequences().size() >= 2; })) << station.Err();
    station.Signal(SIGINT);
    EXPECT_EQ(station.Wait(10s), 130) << station.Err();
    const auto results = station.Results();
    ASSERT_EQ(results.size(), 1u) << station.Out();
    EXPECT_TRUE(results[0].starts_with("FAIL 1 ")) << results[0];
    EXPECT_NE(results[0].find("interrupted"), std::string::npos) << results[0];
    EXPECT_EQ(SplitLines(station.Out()).back(), "1 board: 0 passed, 1 failed");
    // The port is free again.
    auto again = testing::Run({Cli(), "-p", device.LinkPath(), "--sync-timeout", "0.2", "--kind", "5"},
                              {"DRAVEL_TIMER_SCALE=1"}, 10s);
    EXPECT_EQ(again.err.find("busy"), std::string::npos) << again.err;
}

TEST(WatchStation, CountEndsTheWatchAndLeavesFurtherBoardsUntouched) {
    TempDir dir;
    testing::WriteWholeFile(dir / "fw.bin", PatternImage(1500));
    // Every board is confirmed by its own banner: the watch hands each child --expect.
    DevsimProcess first({"--idle-gap-ms", "5", "--banner", "App ready"}, dir / "board1");
    DevsimProcess second({"--idle-gap-ms", "5", "--banner", "App ready"}, dir / "board2");
    DevsimProcess third({"--idle-gap-ms", "5", "--banner", "App ready"}, dir / "board3");
    Station station(dir, {"--count", "2", "--expect", "^App ready$", "--report", dir / "boards.jsonl", dir / "fw.bin"});
    ASSERT_EQ(station.Wait(), 0) << station.Err();
    EXPECT_EQ(station.Results().size(), 2u) << station.Out();
    for (const std::string& line : SplitLines(testing::ReadWholeFile(dir / "boards.jsonl"))) {
        EXPECT_EQ(nlohmann::json::parse(line).value("banner", ""), "App ready") << line;
    }
    EXPECT_EQ(first.Wait(5s), 0);
    EXPECT_EQ(second.Wait(5s), 0);
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(third.FrameSequences().empty());
    const auto log = third.Log();
    EXPECT_EQ(std::count_if(log.begin(), log.end(),
                            [](const std::string& line) { return line.find("probe") != std::string::npos; }),
              0);
}

TEST(WatchStation, BadCommandLinesAreUsageErrors) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--count", "2", "f"}, {"--watch", "/dev/x*", "--count", "0", "f"},
          {"--watch", "/dev/x*", "-p", "/dev/ttyUSB0", "f"}, {"--watch", "", "f"}, {"--watch", "/dev/x*"}}) {
        auto result = testing::Run([&] {
            std::vector<std::string> argv = {Cli()};
            argv.insert(argv.end(), args.begin(), args.end());
            return argv;
        }(), {}, 10s);
        EXPECT_EQ(result.exitCode, 2) << args[0] << " " << args[1] << ": " << result.err;
        EXPECT_TRUE(result.out.empty());
    }
}

// What a station program needs of every event stream.
void ExpectEveryLineAnEventInTime(const std::vector<nlohmann::json>& events) {
    ASSERT_FALSE(events.empty());
    EXPECT_TRUE(events.front().contains("schema"));
    double last = 0.0;
    for (const auto& event : events) {
        ASSERT_TRUE(event.is_object());
        EXPECT_TRUE(event["event"].is_string());
        EXPECT_TRUE(event["port"].is_string());
        EXPECT_GE(event["t"].get<double>(), last) << event;
        last = event["t"].get<double>();
    }
}

// The events of one port, in order.
std::vector<nlohmann::json> Of(const std::vector<nlohmann::json>& events, const std::string& port) {
    std::vector<nlohmann::json> mine;
    std::copy_if(events.begin(), events.end(), std::back_inserter(mine),
                 [&](const nlohmann::json& event) { return event["port"] == port; });
    return mine;
}

void ExpectCompletedTransfer(const std::vector<nlohmann::json>& events, const std::string& sha256, int total) {
    std::vector<std::string> names;
    int lastBlocks = -1;
    for (const auto& event : events) {
        names.push_back(event["event"]);
        if (event["event"] == "progress") {
            EXPECT_GT(event["blocks"].get<int>(), lastBlocks);
            lastBlocks = event["blocks"];
            EXPECT_EQ(event["total"], total);
        }
    }
    EXPECT_EQ(lastBlocks, total) << "the blocks rise to the total";
    EXPECT_EQ(std::count(names.begin(), names.end(), "end"), 1);
    EXPECT_LT(std::find(names.begin(), names.end(), "open"), std::find(names.begin(), names.end(), "sync"));
    const auto& end = events.back();
    ASSERT_EQ(end["event"], "end");
    EXPECT_EQ(end["outcome"], "completed");
    EXPECT_EQ(end["message"], "Transfer Completed ");
    EXPECT_EQ(end["sha256"], sha256);
    EXPECT_GT(end["seconds"].get<double>(), 0.0);
}

TEST(WatchJson, TwoBoardsAtOnceAreFlashedSideBySideAndEachReportsItsOwnEvents) {
    TempDir dir;
    testing::WriteWholeFile(dir / "fw.bin", PatternImage(6 * 1024));
    DevsimProcess first({"--idle-gap-ms", "5", "--baud", "115200"}, dir / "board1");
    DevsimProcess second({"--idle-gap-ms", "5", "--baud", "115200", "--refuse", "3"}, dir / "board2");
    Station station(dir, {"--json", "--count", "2", dir / "fw.bin"});
    ASSERT_EQ(station.Wait(), 0) << station.Err();
    const auto events = station.Events();
    ExpectEveryLineAnEventInTime(events);
    const std::string sha256 = Sha256Sum(dir / "fw.bin");
    for (const DevsimProcess* device : {&first, &second}) {
        auto mine = Of(events, device->LinkPath());
        ASSERT_GE(mine.size(), 4u);
        EXPECT_EQ(mine.front()["event"], "appeared");
        mine.erase(mine.begin());
        ExpectCompletedTransfer(mine, sha256, 6);
        EXPECT_EQ(mine.back()["board"], device == &first ? 1 : 2);
    }
    const auto resend = std::find_if(events.begin(), events.end(),
                                     [](const nlohmann::json& event) { return event["event"] == "resend"; });
    ASSERT_NE(resend, events.end());
    EXPECT_EQ((*resend)["port"], second.LinkPath());
    EXPECT_EQ((*resend)["cause"], "refused");
    EXPECT_EQ((*resend)["block"], 3);
    // Side by side: both ports were open before either download ended.
    std::vector<std::string> order;
    for (const auto& event : events) {
        if (event["event"] == "open" || event["event"] == "end") order.push_back(event["event"]);
    }
    EXPECT_EQ(order, (std::vector<std::string>{"open", "open", "end", "end"}));
    EXPECT_NE(station.Err().find("2 boards: 2 passed, 0 failed"), std::string::npos) << station.Err();
}

TEST(WatchJson, ABoardThatGoesIsAGoneEventAfterItsEnd) {
    TempDir dir;
    testing::WriteWholeFile(dir / "fw.bin", PatternImage(5000));
    Station station(dir, {"--json", "--count", "2", dir / "fw.bin"});
    {
        DevsimProcess unplugged({"--idle-gap-ms", "5", "--hangup-after", "2"}, dir / "board1");
        EXPECT_EQ(unplugged.Wait(10s), 4);
    }
    ASSERT_TRUE(WaitUntil([&] { return station.Out().find("\"gone\"") != std::string::npos; })) << station.Out();
    // Stopped while idle: the summary's status, not an interrupt's.
    station.Signal(SIGINT);
    ASSERT_EQ(station.Wait(), 3) << station.Err();
    const auto events = station.Events();
    ExpectEveryLineAnEventInTime(events);
    std::vector<std::string> first;
    for (const auto& event : Of(events, dir / "board1")) first.push_back(event["event"]);
    ASSERT_GE(first.size(), 3u);
    EXPECT_EQ(first.front(), "appeared");
    EXPECT_EQ(first.back(), "gone");
    EXPECT_EQ(first[first.size() - 2], "end");
    const auto end = Of(events, dir / "board1")[first.size() - 2];
    EXPECT_EQ(end["outcome"], "error");
    EXPECT_EQ(end["message"], "Transfer Error !! ");
}

TEST(GangJson, EveryPortEndsOnceInOneStream) {
    TempDir dir;
    testing::WriteWholeFile(dir / "fw.bin", PatternImage(4 * 1024));
    DevsimProcess good({"--idle-gap-ms", "5"});
    DevsimProcess aborting({"--idle-gap-ms", "5", "--abort-at", "2"});
    auto result = testing::Run({Cli(), "--json", "-p", good.LinkPath(), "-p", aborting.LinkPath(), dir / "fw.bin"},
                               {"DRAVEL_TIMER_SCALE=0.25"}, 30s);
    EXPECT_EQ(result.exitCode, 3) << result.err;
    std::vector<nlohmann::json> events;
    for (const auto& line : SplitLines(result.out)) events.push_back(nlohmann::json::parse(line));
    ExpectEveryLineAnEventInTime(events);
    ExpectCompletedTransfer(Of(events, good.LinkPath()), Sha256Sum(dir / "fw.bin"), 4);
    const auto failed = Of(events, aborting.LinkPath());
    ASSERT_FALSE(failed.empty());
    EXPECT_EQ(failed.back()["event"], "end");
    EXPECT_EQ(failed.back()["outcome"], "error");
    EXPECT_EQ(failed.back()["message"], "Transfer Error !! ");
    EXPECT_EQ(std::count_if(events.begin(), events.end(),
                            [](const nlohmann::json& event) { return event.contains("schema"); }),
              1);
}

TEST(SingleJson, NoAnswerAndAPortThatCannotBeOpenedEndInTheirOwnWords) {
    TempDir dir;
    testing::WriteWholeFile(dir / "fw.bin", "abc");
    DevsimProcess silent({"--idle-gap-ms", "5", "--silent-probes", "100000"});
    auto quiet = testing::Run({Cli(), "--json", "-p", silent.LinkPath(), "--sync-timeout", "0.5", dir / "fw.bin"},
                              {"DRAVEL_TIMER_SCALE=0.2"}, 20s);
    EXPECT_EQ(quiet.exitCode, 4);
    const auto noAnswer = nlohmann::json::parse(SplitLines(quiet.out).back());
    EXPECT_EQ(noAnswer["outcome"], "no-answer");
    auto missing = testing::Run({Cli(), "--json", "-p", dir / "nothing", dir / "fw.bin"}, {}, 20s);
    EXPECT_EQ(missing.exitCode, 1);
    const auto lines = SplitLines(missing.out);
    ASSERT_EQ(lines.size(), 1u) << missing.out;
    const auto end = nlohmann::json::parse(lines[0]);
    EXPECT_EQ(end["event"], "end");
    EXPECT_EQ(end["outcome"], "error");
    EXPECT_EQ(end["message"], "CommPort Open Error");
    EXPECT_NE(end["cause"].get<std::string>().find(dir / "nothing"), std::string::npos);
}

TEST(LowLatency, TheTraceSaysWhatCameOfTheRequestRightAfterTheOpening) {
    TempDir dir;
    testing::WriteWholeFile(dir / "fw.bin", "abc");
    DevsimProcess device({"--idle-gap-ms", "5"});
    auto result = testing::Run({Cli(), "-q", "-p", device.LinkPath(), "--trace", dir / "trace.log", dir / "fw.bin"},
                               {"DRAVEL_TIMER_SCALE=0.25"}, 20s);
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.err, "") << "never said to the user";
    const auto lines = SplitLines(testing::ReadWholeFile(dir / "trace.log"));
    ASSERT_GE(lines.size(), 3u);
    // A pseudo-terminal has no serial driver to ask; said as the line is set
    // up, before the opening is complete (and after what is sent).
    EXPECT_NE(lines[0].find("image " + dir / "fw.bin"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("line low latency: means nothing on " + device.LinkPath()), std::string::npos) << lines[1];
    EXPECT_NE(lines[2].find("port open"), std::string::npos) << lines[2];
}

}  // namespace
}  // namespace dravel
