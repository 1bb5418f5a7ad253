// The station without a device: which names a watch pattern takes, the line
// a board's result is said in, and the supervisor of child runs with real
// child processes (a shell plays dravel-cli's part).

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <stdexcept>
#include <thread>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "host/device_watch.h"
#include "output/exit_codes.h"
#include "station/child_runs.h"
#include "station/watch.h"

namespace dravel::station {
namespace {

using namespace std::chrono_literals;

TEST(WatchPattern, TakesTheNamesAStationMeans) {
    EXPECT_TRUE(MatchesGlob("/dev/ttyUSB*", "/dev/ttyUSB0", false));
    EXPECT_TRUE(MatchesGlob("/dev/ttyUSB*", "/dev/ttyUSB12", false));
    EXPECT_TRUE(MatchesGlob("/dev/serial/by-id/usb-FTDI*", "/dev/serial/by-id/usb-FTDI_FT232R_A1-if00-port0", false));
    EXPECT_TRUE(MatchesGlob("COM?", "COM7", false));
    EXPECT_TRUE(MatchesGlob("COM[1-4]", "COM3", false));
    EXPECT_TRUE(MatchesGlob("COM[!1-4]", "COM5", false));
    EXPECT_TRUE(MatchesGlob("*", "", false));
    EXPECT_TRUE(MatchesGlob("a*b*c", "axxbyyc", false));
    EXPECT_TRUE(MatchesGlob("COM1", "COM1", false));
}

TEST(WatchPattern, LeavesTheRestAlone) {
    EXPECT_FALSE(MatchesGlob("/dev/ttyUSB*", "/dev/ttyACM0", false));
    EXPECT_FALSE(MatchesGlob("COM?", "COM12", false));
    EXPECT_FALSE(MatchesGlob("COM[1-4]", "COM5", false));
    EXPECT_FALSE(MatchesGlob("COM[!1-4]", "COM2", false));
    EXPECT_FALSE(MatchesGlob("COM1", "COM10", false));
    EXPECT_FALSE(MatchesGlob("a*b*c", "axxbyy", false));
    EXPECT_FALSE(MatchesGlob("", "COM1", false));
    // A long run of stars against a long name must not take for ever.
    EXPECT_FALSE(MatchesGlob(std::string(200, '*') + "x", std::string(2000, 'a'), false));
}

TEST(WatchPattern, CaseCountsOnlyWhereTheSystemIgnoresIt) {
    EXPECT_TRUE(MatchesGlob("com*", "COM7", true));
    EXPECT_TRUE(MatchesGlob("COM[a-z]", "COMx", true));
    EXPECT_FALSE(MatchesGlob("com*", "COM7", false));
    // A '[' without its ']' is a character like any other.
    EXPECT_TRUE(MatchesGlob("COM[", "COM[", false));
    EXPECT_TRUE(HasWildcard("COM*"));
    EXPECT_FALSE(HasWildcard("COM7"));
}

TEST(BoardLine, SaysPassOrFailTheNumberTheDeviceTheSecondsAndForAFailureTheCause) {
    EXPECT_EQ(BoardLine(true, 3, "/dev/ttyUSB0", 12.345, ""), "PASS 3 /dev/ttyUSB0 12.35");
    EXPECT_EQ(BoardLine(false, 4, "COM7", 2.0, "no answer from the device within 5 s"),
              "FAIL 4 COM7 2.00 no answer from the device within 5 s");
    EXPECT_EQ(BoardLine(true, 5, "COM7", 3.0, "", 2), "PASS 5 COM7 3.00 (2 attempts)");
    EXPECT_EQ(BoardLine(false, 6, "COM7", 3.0, "not confirmed", 3), "FAIL 6 COM7 3.00 (3 attempts) not confirmed");
}

// A scratch file a stream writes into, read back line by line.
class Capture {
public:
    Capture() : m_file(std::tmpfile()) {}
    ~Capture() { std::fclose(m_file); }
    std::FILE* File() { return m_file; }
    std::vector<std::string> Lines() {
        std::fflush(m_file);
        std::rewind(m_file);
        std::vector<std::string> lines;
        char line[4096];
        while (std::fgets(line, sizeof line, m_file)) lines.emplace_back(line, std::strcspn(line, "\n"));
        return lines;
    }

private:
    std::FILE* m_file;
};

// Shell children stand in for dravel-cli: the supervisor only reads lines
// and exit statuses.
class ChildRunsTest : public ::testing::Test {
protected:
    // The interrupt watcher wants its signals blocked in every thread; the
    // threads made from here on inherit the mask.
    void SetUp() override { InterruptWatcher::Prepare(); }

    ChildRuns::Options ShellOptions(bool json) {
        ChildRuns::Options options;
        options.json = json;
        options.program = "/bin/sh";
        options.events = m_events.File();
        options.echo = [this](const ChildRun& run, ChildStream stream, const std::string& line) {
            return std::optional<Echo>(
                Echo{m_echoes.File(), run.name + (stream == ChildStream::Output ? " out " : " err ") + line});
        };
        return options;
    }

    static std::vector<ChildRun> RunToTheEnd(ChildRuns& runs) {
        for (const auto until = std::chrono::steady_clock::now() + 20s;
             runs.Running() > 0 && std::chrono::steady_clock::now() < until;) {
            runs.WaitForChange(200ms);
        }
        return runs.TakeFinished();
    }

    static const ChildRun& Named(const std::vector<ChildRun>& runs, const std::string& name) {
        for (const ChildRun& run : runs) {
            if (run.name == name) return run;
        }
        throw std::runtime_error("no run named " + name);
    }

    Capture m_events;
    Capture m_echoes;
};

TEST_F(ChildRunsTest, EachRunEndsWithWhatItsChildSaidAndTheProgressLineIsReadNotShown) {
    ChildRuns runs(ShellOptions(false));
    std::string error;
    const std::vector<std::pair<std::string, std::string>> children = {
        {"good", "echo '@progress 3072 4096 2 1' >&2; echo 'Transfer Completed '; exit 0"},
        {"refused", "echo 'dravel-cli: the device refused block 3' >&2; echo 'Transfer Error !! '; exit 3"},
        {"silent", "echo 'Transfer Error !! '; exit 3"},
        {"bare", "exit 5"},
        {"killed", "kill -TERM $$"},
    };
    for (const auto& [name, script] : children) {
        ASSERT_TRUE(runs.Start(name, name, std::nullopt, {"-c", script}, error)) << error;
    }
    const std::vector<ChildRun> ended = RunToTheEnd(runs);
    ASSERT_EQ(ended.size(), children.size());

    const ChildRun& good = Named(ended, "good");
    EXPECT_EQ(good.exitCode, kExitCompleted);
    ASSERT_TRUE(good.progress.has_value());
    EXPECT_EQ(*good.progress, (output::ProgressReport{3072, 4096, 2, true}));
    EXPECT_EQ(good.Cause(), "");
    EXPECT_EQ(Named(ended, "refused").Cause(), "the device refused block 3");
    EXPECT_EQ(Named(ended, "silent").Cause(), "Transfer Error !!");
    EXPECT_EQ(Named(ended, "bare").Cause(), "exit status 5");
    EXPECT_EQ(Named(ended, "killed").exitCode, kExitTerminated);
    EXPECT_EQ(Named(ended, "killed").Cause(), "interrupted");
    for (std::size_t i = 0; i < ended.size(); ++i) EXPECT_TRUE(ended[i].finished);

    const std::vector<std::string> echoes = m_echoes.Lines();
    EXPECT_NE(std::find(echoes.begin(), echoes.end(), "good out Transfer Completed "), echoes.end());
    EXPECT_NE(std::find(echoes.begin(), echoes.end(), "refused err dravel-cli: the device refused block 3"), echoes.end());
    for (const std::string& line : echoes) EXPECT_EQ(line.find("@progress"), std::string::npos) << line;
    EXPECT_TRUE(m_events.Lines().empty()) << "no events without --json";
    EXPECT_TRUE(runs.TakeFinished().empty()) << "a run is taken once";
}

TEST_F(ChildRunsTest, WithJsonEveryRunEndsOnceInTheStreamWhetherOrNotItsChildSaidSo) {
    ChildRuns runs(ShellOptions(true));
    std::string error;
    const std::string end = R"({"event":"end","port":"/dev/a","t":5,"schema":"dravel-events/1","outcome":"completed"})";
    ASSERT_TRUE(runs.Start("a", "/dev/a", 1, {"-c", "echo '" + end + "'; exit 0"}, error)) << error;
    ASSERT_TRUE(runs.Start("b", "/dev/b", 2, {"-c", "echo 'dravel-cli: gone' >&2; exit 3"}, error)) << error;
    ASSERT_TRUE(runs.Start("c", "/dev/c", 3, {"-c", "echo 'not an event'; kill -KILL $$"}, error)) << error;
    EXPECT_EQ(RunToTheEnd(runs).size(), 3u);

    std::map<std::string, std::vector<nlohmann::json>> ends;
    for (const std::string& line : m_events.Lines()) {
        const auto event = nlohmann::json::parse(line);
        EXPECT_EQ(event["event"], "end") << line;
        ends[event["port"]].push_back(event);
    }
    ASSERT_EQ(ends.size(), 3u);
    for (const auto& [port, events] : ends) EXPECT_EQ(events.size(), 1u) << port;
    EXPECT_LT(ends["/dev/a"][0]["t"].get<double>(), 5.0) << "passed on with the parent's clock";
    const auto& b = ends["/dev/b"][0];
    EXPECT_EQ(b["board"], 2);
    EXPECT_EQ(b["outcome"], "error");
    EXPECT_EQ(b["exit_code"], 3);
    EXPECT_EQ(b["cause"], "gone");
    EXPECT_EQ(b["message"], "gone");
    EXPECT_TRUE(b["sha256"].is_null());
    EXPECT_EQ(ends["/dev/c"][0]["exit_code"], 128 + SIGKILL);
}

TEST_F(ChildRunsTest, AnInterruptReachesEveryChildOnceAndOneStartedAfterItAtOnce) {
    ChildRuns::Options options = ShellOptions(false);
    std::atomic<int> ready{0};
    std::atomic<int> stopping{0};
    options.echo = [this, &ready, &stopping](const ChildRun& run, ChildStream, const std::string& line) {
        ready += line == "ready";
        stopping += line == "stop 1";
        return std::optional<Echo>(Echo{m_echoes.File(), run.name + " " + line});
    };
    std::atomic<int> running = -1;
    options.interruptText = [&running](std::string_view what, int count) {
        running = count;
        return std::string(what);
    };
    ChildRuns runs(options);
    // Each counts the interrupts it gets; a second one would show.
    const std::string script =
        "n=0; trap 'n=$((n+1)); echo \"stop $n\"' INT; echo ready; "
        "while [ $n -eq 0 ]; do sleep 0.02; done; sleep 0.5; exit 9";
    std::string error;
    ASSERT_TRUE(runs.Start("one", "one", std::nullopt, {"-c", script}, error)) << error;
    ASSERT_TRUE(runs.Start("two", "two", std::nullopt, {"-c", script}, error)) << error;
    for (const auto until = std::chrono::steady_clock::now() + 10s; ready < 2 && std::chrono::steady_clock::now() < until;) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_EQ(ready.load(), 2);
    ::kill(::getpid(), SIGINT);
    for (const auto until = std::chrono::steady_clock::now() + 10s; !runs.Interrupted() && std::chrono::steady_clock::now() < until;) {
        runs.WaitForChange(50ms);
    }
    ASSERT_TRUE(runs.Interrupted());
    // Signals do not queue: a second interrupt counts only once the first has.
    for (const auto until = std::chrono::steady_clock::now() + 10s; stopping < 2 && std::chrono::steady_clock::now() < until;) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_EQ(stopping.load(), 2);
    ASSERT_TRUE(runs.Start("late", "late", std::nullopt, {"-c", "exec sleep 30"}, error)) << error;
    const std::vector<ChildRun> ended = RunToTheEnd(runs);

    ASSERT_EQ(ended.size(), 3u);
    EXPECT_EQ(Named(ended, "one").exitCode, 9);
    EXPECT_EQ(Named(ended, "two").exitCode, 9);
    EXPECT_EQ(Named(ended, "late").exitCode, kExitInterrupted);
    EXPECT_EQ(running.load(), 2);
    EXPECT_TRUE(runs.InterruptedWhileRunning());
    EXPECT_EQ(runs.InterruptExitCode(), kExitInterrupted);
    const std::vector<std::string> echoes = m_echoes.Lines();
    for (const std::string name : {"one", "two"}) {
        EXPECT_EQ(std::count(echoes.begin(), echoes.end(), name + " stop 1"), 1) << name;
        EXPECT_EQ(std::count(echoes.begin(), echoes.end(), name + " stop 2"), 0) << name;
    }
}

TEST_F(ChildRunsTest, AProgramThatCannotStartIsARunThatEndedWithItsCause) {
    ChildRuns::Options options = ShellOptions(false);
    options.program = "/nonexistent/dravel-cli";
    ChildRuns runs(options);
    std::string error;
    EXPECT_FALSE(runs.Start("x", "x", std::nullopt, {}, error));
    EXPECT_NE(error.find("/nonexistent/dravel-cli"), std::string::npos) << error;
    const std::vector<ChildRun> ended = runs.TakeFinished();
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_EQ(ended[0].exitCode, kExitPortFatal);
    EXPECT_EQ(ended[0].Cause(), "cannot start the download: " + error);
    EXPECT_EQ(runs.Running(), 0);
}

}  // namespace
}  // namespace dravel::station
