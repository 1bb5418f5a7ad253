// dravel-cli keeping the records of its boards, end to end: the simulator
// receives each board's image, SQLite files and a PostgreSQL server of the
// test's own hold the records, and --export reads them back. The numbers in
// the received images are read here byte by byte, not by the product's own
// code.

#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/devsim_process.h"
#include "tests/support/postgres_server.h"

namespace dravel {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::DevsimProcess;
using testing::PostgresServer;
using testing::ReadWholeFile;
using testing::SplitLines;
using testing::TempDir;

constexpr std::size_t kImageSize = 2048;

std::string Cli() { return testing::BinPath("dravel-cli"); }

// A station's surroundings: its own state folder (a machine of its own), the
// answer timers shortened.
std::vector<std::string> StationEnvironment(const std::string& state) {
    return {"XDG_STATE_HOME=" + state, "DRAVEL_TIMER_SCALE=0.25"};
}

testing::RunResult RunCli(const std::vector<std::string>& arguments, const std::string& state) {
    std::vector<std::string> argv = {Cli()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return testing::Run(argv, StationEnvironment(state), 60s);
}

std::vector<nlohmann::json> Exported(const std::string& url, const std::string& state) {
    const auto result = RunCli({"--records", url, "--export", "jsonl"}, state);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    std::vector<nlohmann::json> records;
    for (const std::string& line : SplitLines(result.out)) records.push_back(nlohmann::json::parse(line));
    return records;
}

std::string Sha256Of(const TempDir& dir, const std::string& bytes) {
    testing::WriteWholeFile(dir / "digest.in", bytes);
    const auto result = testing::Run({"/usr/bin/sha256sum", dir / "digest.in"});
    return result.out.substr(0, 64);
}

struct StampPlace {
    std::size_t offset;
    std::size_t width;
};

// Where "OFFSET:FORMAT" puts the number, and the number found there.
StampPlace PlaceOf(const std::string& stamp) {
    const std::size_t colon = stamp.find(':');
    const std::size_t offset = std::stoul(stamp.substr(0, colon), nullptr, 0);
    const std::string format = stamp.substr(colon + 1);
    if (format.rfind("ascii:", 0) == 0) return {offset, std::stoul(format.substr(6))};
    return {offset, format.substr(1, 2) == "32" ? 4u : 8u};
}

uint64_t NumberAt(const std::string& image, const std::string& stamp) {
    const StampPlace place = PlaceOf(stamp);
    const std::string field = image.substr(place.offset, place.width);
    if (stamp.find("ascii:") != std::string::npos) {
        EXPECT_EQ(field.find_first_not_of("0123456789"), std::string::npos) << field;
        return std::stoull(field);
    }
    const bool bigEndian = stamp.ends_with("be");
    uint64_t value = 0;
    for (std::size_t i = 0; i < place.width; ++i) {
        const auto byte = static_cast<unsigned char>(field[bigEndian ? i : place.width - 1 - i]);
        value = (value << 8) | byte;
    }
    return value;
}

// The received image is the file with the number at its place and nothing
// else changed; the number.
uint64_t CheckStampedImage(const std::string& received, const std::string& content, const std::string& stamp) {
    const StampPlace place = PlaceOf(stamp);
    EXPECT_EQ(received.size(), testing::Padded(content).size());
    if (received.size() < place.offset + place.width) return 0;
    std::string unstamped = received;
    unstamped.replace(place.offset, place.width, content.substr(place.offset, place.width));
    EXPECT_EQ(unstamped, testing::Padded(content)) << "bytes beside the stamp changed";
    return NumberAt(received, stamp);
}

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 30s) {
    const auto deadline = testing::Clock::now() + timeout;
    while (!done()) {
        if (testing::Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

// dravel-cli --watch on a folder of boards.
class Station {
public:
    Station(const TempDir& dir, const std::string& name, const std::vector<std::string>& options) {
        std::vector<std::string> argv = {Cli(), "--watch", dir / (name + "-board*"), "--station", name};
        argv.insert(argv.end(), options.begin(), options.end());
        m_child = std::make_unique<ChildProcess>(argv, dir / (name + ".out"), dir / (name + ".err"),
                                                 StationEnvironment(dir / (name + "-state")));
    }
    std::string Out() const { return m_child->Stdout(); }
    std::string Err() const { return m_child->Stderr(); }
    std::optional<int> Wait(std::chrono::milliseconds timeout = 60s) { return m_child->Wait(timeout); }
    ChildProcess& Process() { return *m_child; }

private:
    std::unique_ptr<ChildProcess> m_child;
};

class RecordsCli : public ::testing::Test {
protected:
    void SetUp() override {
        m_content = testing::PatternImage(kImageSize, 7);
        testing::WriteWholeFile(m_dir / "fw.bin", m_content);
    }

    static PostgresServer& Server() {
        if (!s_server) s_server = std::make_unique<PostgresServer>();
        return *s_server;
    }
    static void TearDownTestSuite() { s_server.reset(); }

    TempDir m_dir;
    std::string m_content;
    static inline std::unique_ptr<PostgresServer> s_server;
};

TEST_F(RecordsCli, EveryStampFormatReachesTheBoardAndEveryMistakeStopsBeforeAnyBoard) {
    const std::string url = m_dir / "line.db";
    const std::string state = m_dir / "state";
    const std::vector<std::string> stamps = {"0x10:u32le", "7:u32be", "0x100:u64le", "2040:u64be", "2041:ascii:7"};
    for (std::size_t i = 0; i < stamps.size(); ++i) {
        DevsimProcess device;
        const auto run = RunCli({"-p", device.LinkPath(), "--records", url, "--serial-range", "0xF4240-1000009",
                                 "--stamp", stamps[i], "--report", m_dir / "report.jsonl", m_dir / "fw.bin"},
                                state);
        ASSERT_EQ(run.exitCode, 0) << stamps[i] << ": " << run.err;
        ASSERT_EQ(device.Wait(10s), 0);
        EXPECT_EQ(CheckStampedImage(device.Image(), m_content, stamps[i]), 1000000 + i) << stamps[i];
    }
    const auto reports = SplitLines(ReadWholeFile(m_dir / "report.jsonl"));
    const auto records = Exported(url, state);
    ASSERT_EQ(records.size(), stamps.size());
    ASSERT_EQ(reports.size(), stamps.size());
    const std::string unstamped = Sha256Of(m_dir, m_content);
    for (std::size_t i = 0; i < records.size(); ++i) {
        const auto& record = records[i];
        EXPECT_EQ(record["serial"], 1000000 + i);
        EXPECT_EQ(record["outcome"], "passed");
        EXPECT_EQ(record["unstamped_sha256"], unstamped);
        EXPECT_NE(record["sha256"], unstamped);
        // The report tells the same board: its number and the image as sent.
        const auto report = nlohmann::json::parse(reports[i]);
        EXPECT_EQ(report["serial"], record["serial"]);
        EXPECT_EQ(report["sha256"], record["sha256"]);
    }
    const auto csv = RunCli({"--records", url, "--export", "csv", "--since", "2000-01-01"}, state);
    EXPECT_EQ(csv.exitCode, 0) << csv.err;
    EXPECT_EQ(SplitLines(csv.out).size(), stamps.size() + 1);

    // Mistakes: said on standard error with exit status 2 (1 for a database
    // that cannot be reached), and no board touched, no number given.
    struct Mistake {
        std::vector<std::string> options;
        int exitCode;
        std::string said;
    };
    const std::vector<Mistake> mistakes = {
        {{"--records", url, "--stamp", "0:u32le"}, 2, "--stamp needs --serial-range"},
        {{"--records", url, "--serial-range", "1-9", "--stamp", "2045:u32le"}, 2, "outside the image"},
        {{"--records", url, "--serial-range", "1-99999", "--stamp", "0:ascii:4"}, 2, "ascii:4"},
        {{"--records", url, "--serial-range", "9-1"}, 2, "9-1"},
        {{"--records", url, "--serial-range", "1-9", "--stamp", "0:u16le"}, 2, "u16le"},
        {{"--serial-range", "1-9"}, 2, "--serial-range needs --records"},
        {{"--records", url, "--since", "2024-01-01"}, 2, "--since is for --export"},
        {{"--records", "postgresql://postgres@127.0.0.1:1/none", "--serial-range", "1-9"}, 1, "127.0.0.1"},
    };
    for (const Mistake& mistake : mistakes) {
        DevsimProcess device;
        std::vector<std::string> arguments = {"-p", device.LinkPath()};
        arguments.insert(arguments.end(), mistake.options.begin(), mistake.options.end());
        arguments.push_back(m_dir / "fw.bin");
        const auto run = RunCli(arguments, state);
        EXPECT_EQ(run.exitCode, mistake.exitCode) << mistake.said << ": " << run.err;
        EXPECT_NE(run.err.find(mistake.said), std::string::npos) << run.err;
        EXPECT_TRUE(device.Log().empty()) << mistake.said << ": the board was probed";
    }
    EXPECT_EQ(Exported(url, state).size(), stamps.size());
    const auto exportMistake = RunCli({"--records", m_dir / "absent.db", "--export", "csv"}, state);
    EXPECT_EQ(exportMistake.exitCode, 1);
    EXPECT_FALSE(std::filesystem::exists(m_dir / "absent.db"));
}

TEST_F(RecordsCli, ThreeStationsFlashingAtOnceGetUniqueContiguousNumbers) {
    if (!PostgresServer::Available()) GTEST_SKIP() << "no PostgreSQL server installed";
    const std::vector<std::string> urls = {m_dir / "shared.db", Server().CreateDatabase("three_stations")};
    const std::string stamp = "0x40:u32le";
    for (const std::string& url : urls) {
        SCOPED_TRACE(url);
        TempDir dir;
        std::vector<std::unique_ptr<DevsimProcess>> boards;
        const std::vector<std::string> names = {"a", "b", "c"};
        for (const std::string& name : names) {
            for (int board = 1; board <= 2; ++board) {
                boards.push_back(std::make_unique<DevsimProcess>(
                    std::vector<std::string>{}, dir / (name + "-board" + std::to_string(board))));
            }
        }
        std::vector<std::unique_ptr<Station>> stations;
        for (const std::string& name : names) {
            stations.push_back(std::make_unique<Station>(
                dir, name,
                std::vector<std::string>{"--count", "2", "--records", url, "--serial-range", "5000-5999", "--stamp",
                                         stamp, m_dir / "fw.bin"}));
        }
        for (auto& station : stations) EXPECT_EQ(station->Wait(), 0) << station->Out() << station->Err();

        const auto records = Exported(url, dir / "export-state");
        ASSERT_EQ(records.size(), boards.size());
        std::set<uint64_t> numbers;
        for (const auto& record : records) {
            EXPECT_EQ(record["outcome"], "passed");
            numbers.insert(record["serial"].get<uint64_t>());
            // The record's board carries the record's number.
            const auto board = std::find_if(boards.begin(), boards.end(),
                                            [&](const auto& b) { return b->LinkPath() == record["device"]; });
            ASSERT_NE(board, boards.end()) << record.dump();
            ASSERT_EQ((*board)->Wait(5s), 0);
            EXPECT_EQ(CheckStampedImage((*board)->Image(), m_content, stamp), record["serial"].get<uint64_t>());
            const std::string station = record["station"];
            EXPECT_EQ(record["device"].get<std::string>().rfind(dir / (station + "-board"), 0), 0u);
        }
        EXPECT_EQ(numbers.size(), boards.size());
        EXPECT_EQ(*numbers.begin(), 5000u);
        EXPECT_EQ(*numbers.rbegin(), 5000u + boards.size() - 1);
    }
}

TEST_F(RecordsCli, AWatchWhoseRangeIsUsedUpSaysSoAndEnds) {
    std::vector<std::unique_ptr<DevsimProcess>> boards;
    for (int board = 1; board <= 3; ++board) {
        boards.push_back(std::make_unique<DevsimProcess>(std::vector<std::string>{},
                                                         m_dir / ("s-board" + std::to_string(board))));
    }
    Station station(m_dir, "s",
                    {"--records", m_dir / "s.db", "--serial-range", "1-2", "--stamp", "0:u32be", m_dir / "fw.bin"});
    ASSERT_EQ(station.Wait(), 3) << station.Out() << station.Err();
    const auto lines = SplitLines(station.Out());
    const auto fails = std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
        return line.rfind("FAIL ", 0) == 0 && line.ends_with(" no serial numbers left in 1-2");
    });
    EXPECT_EQ(fails, 1) << station.Out();
    EXPECT_EQ(lines.back(), "3 boards: 2 passed, 1 failed");
    EXPECT_NE(station.Err().find("no more boards can be flashed: no serial numbers left in 1-2"), std::string::npos)
        << station.Err();
    std::set<uint64_t> numbers;
    int untouched = 0;
    for (const auto& board : boards) {
        if (board->HasImage()) {
            EXPECT_EQ(board->Wait(5s), 0);
            numbers.insert(CheckStampedImage(board->Image(), m_content, "0:u32be"));
        } else {
            // The board without a number got no byte at all.
            EXPECT_TRUE(board->Log().empty());
            ++untouched;
        }
    }
    EXPECT_EQ(untouched, 1);
    EXPECT_EQ(numbers, (std::set<uint64_t>{1, 2}));
}

TEST_F(RecordsCli, AKilledBoardAndADatabaseOutageLoseNothingAndDoubleNothing) {
    if (!PostgresServer::Available()) GTEST_SKIP() << "no PostgreSQL server installed";
    PostgresServer& server = Server();
    const std::string url = server.CreateDatabase("outage");
    const std::string stamp = "0x200:ascii:6";
    const std::vector<std::string> records = {"--records", url, "--serial-range", "1-999", "--stamp", stamp};

    // A board that never answers, its run killed mid-board: its record stays
    // started with number 1.
    {
        DevsimProcess silent({"--silent-probes", "1000000"});
        std::vector<std::string> argv = {Cli(), "-p", silent.LinkPath(), "--station", "s"};
        argv.insert(argv.end(), records.begin(), records.end());
        argv.push_back(m_dir / "fw.bin");
        ChildProcess run(argv, m_dir / "killed.out", m_dir / "killed.err", StationEnvironment(m_dir / "s-state"));
        ASSERT_TRUE(run.WaitForStdout("Transmitting", 20s)) << run.Stderr();
        run.Signal(SIGKILL);
        ASSERT_EQ(run.Wait(5s), 128 + SIGKILL);
    }

    // The station comes back: the killed board is marked interrupted. Its
    // first board is slow enough for the server to go away in the middle.
    std::vector<std::string> options = {"--count", "2"};
    options.insert(options.end(), records.begin(), records.end());
    options.push_back(m_dir / "fw.bin");
    auto first = std::make_unique<DevsimProcess>(std::vector<std::string>{"--baud", "4800"}, m_dir / "s-board1");
    Station station(m_dir, "s", options);
    ASSERT_TRUE(WaitUntil([&] { return !first->Log().empty(); })) << station.Err();
    server.Stop();
    ASSERT_EQ(first->Wait(20s), 0);
    ASSERT_TRUE(WaitUntil([&] { return station.Out().find("PASS 1 ") != std::string::npos; })) << station.Err();
    EXPECT_NE(station.Err().find("1 board(s) of earlier runs that never ended marked interrupted"), std::string::npos)
        << station.Err();

    // While the server is away the next board waits, untouched.
    DevsimProcess second({}, m_dir / "s-board2");
    ASSERT_TRUE(station.Process().WaitForStderr("waiting for the records database", 20s)) << station.Err();
    std::this_thread::sleep_for(500ms);
    EXPECT_TRUE(second.Log().empty());
    server.Start();
    ASSERT_EQ(station.Wait(), 0) << station.Out() << station.Err();
    // The first board's record went through the journal, which is empty now.
    EXPECT_NE(station.Err().find("until it does"), std::string::npos) << station.Err();
    for (const auto& entry : std::filesystem::directory_iterator(m_dir / "s-state/dravel/records")) {
        EXPECT_NE(entry.path().extension(), ".jsonl") << entry.path();
    }

    const auto exported = Exported(url, m_dir / "export-state");
    ASSERT_EQ(exported.size(), 3u);
    EXPECT_EQ(exported[0]["serial"], 1);
    EXPECT_EQ(exported[0]["outcome"], "interrupted");
    EXPECT_FALSE(exported[0]["cause"].get<std::string>().empty());
    const std::vector<DevsimProcess*> boards = {first.get(), &second};
    for (std::size_t i = 0; i < boards.size(); ++i) {
        const auto& record = exported[i + 1];
        EXPECT_EQ(record["outcome"], "passed") << record.dump();
        EXPECT_EQ(record["serial"], i + 2);
        EXPECT_EQ(record["device"], boards[i]->LinkPath());
        ASSERT_EQ(boards[i]->Wait(5s), 0);
        EXPECT_EQ(CheckStampedImage(boards[i]->Image(), m_content, stamp), i + 2);
    }
}

}  // namespace
}  // namespace dravel
