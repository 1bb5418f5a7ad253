// The records against real databases: SQLite files and a PostgreSQL server
// of the test's own; several station processes at once, a station killed
// in the middle of a board, the server stopped and started under a station.
// Serial ranges and stamps as tables.
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <set>
#include <sstream>

#include "records/records.h"
#include "tests/support/files.h"
#include "tests/support/postgres_server.h"
#include "tests/support/process.h"

namespace dravel::records {
namespace {

using dravel::testing::ChildProcess;
using dravel::testing::PostgresServer;
using dravel::testing::ReadWholeFile;
using dravel::testing::ScopedEnv;
using dravel::testing::SplitLines;
using dravel::testing::TempDir;
using std::chrono::seconds;

TEST(SerialRange, ReadsDecimalAndHexadecimalAndRefusesAnythingElse) {
    struct Case {
        const char* text;
        std::optional<std::pair<uint64_t, uint64_t>> range;
    };
    const Case cases[] = {
        {"1-10", {{1, 10}}},
        {"0x10-0x1F", {{16, 31}}},
        {"0X0a-255", {{10, 255}}},
        {"7-7", {{7, 7}}},
        {"0-9223372036854775807", {{0, kLargestSerial}}},
        {"10-1", {}},
        {"1-", {}},
        {"-1-5", {}},
        {"1 - 5", {}},
        {"0x-5", {}},
        {"1-9223372036854775808", {}},
        {"18446744073709551616-18446744073709551617", {}},
        {"1-5-", {}},
        {"", {}},
    };
    for (const Case& c : cases) {
        std::string error;
        const auto range = ParseSerialRange(c.text, error);
        ASSERT_EQ(range.has_value(), c.range.has_value()) << c.text << ": " << error;
        if (range) {
            EXPECT_EQ(std::make_pair(range->first, range->last), *c.range) << c.text;
            EXPECT_EQ(RangeUsedUpText(*range), std::string("no serial numbers left in ") + c.text);
        } else {
            EXPECT_NE(error.find(std::string("\"") + c.text + "\""), std::string::npos) << error;
        }
    }
}

TEST(Stamp, EveryFormatWritesTheNumberAtItsOffsetAndNothingElse) {
    struct Case {
        const char* stamp;
        uint64_t serial;
        std::vector<uint8_t> bytes;
    };
    const Case cases[] = {
        {"2:u32le", 0x12345678, {0x78, 0x56, 0x34, 0x12}},
        {"2:u32be", 0x12345678, {0x12, 0x34, 0x56, 0x78}},
        {"0x3:u64le", 0x0102030405060708, {8, 7, 6, 5, 4, 3, 2, 1}},
        {"3:u64be", 0x0102030405060708, {1, 2, 3, 4, 5, 6, 7, 8}},
        {"28:u32le", 0xFFFFFFFF, {0xFF, 0xFF, 0xFF, 0xFF}},
        {"1:ascii:6", 42, {'0', '0', '0', '0', '4', '2'}},
        {"0:ascii:3", 999, {'9', '9', '9'}},
        {"0:ascii:1", 0, {'0'}},
        {"4:ascii:20", kLargestSerial,
         {'0', '9', '2', '2', '3', '3', '7', '2', '0', '3', '6', '8', '5', '4', '7', '7', '5', '8', '0', '7'}},
    };
    for (const Case& c : cases) {
        std::string error;
        const auto stamp = ParseStamp(c.stamp, error);
        ASSERT_TRUE(stamp) << c.stamp << ": " << error;
        std::vector<uint8_t> image(32, 0xEE);
        ASSERT_TRUE(ApplyStamp(*stamp, c.serial, image, error)) << c.stamp << ": " << error;
        std::vector<uint8_t> expected(32, 0xEE);
        std::copy(c.bytes.begin(), c.bytes.end(), expected.begin() + static_cast<std::ptrdiff_t>(stamp->offset));
        EXPECT_EQ(image, expected) << c.stamp;
    }
}

TEST(Stamp, RefusesBeforeAnyBoardWhatCannotBeWritten) {
    struct Case {
        const char* stamp;
        const char* range;
        const char* complaint;  // nullptr: accepted
    };
    const Case cases[] = {
        {"28:u32le", "1-5", nullptr},
        {"29:u32le", "1-5", "outside the image"},
        {"25:u64be", "1-5", "outside the image"},
        {"0x100000000:u32le", "1-5", "outside the image"},
        {"0:u32be", "0-0x100000000", "does not fit"},
        {"0:ascii:3", "1-999", nullptr},
        {"0:ascii:3", "1-1000", "does not fit"},
        {"12", "1-5", "OFFSET:FORMAT"},
        {"x:u32le", "1-5", "offset"},
        {"-1:u32le", "1-5", "offset"},
        {"4:u16le", "1-5", "FORMAT"},
        {"4:ascii:0", "1-5", "ascii:N"},
        {"4:ascii:21", "1-5", "ascii:N"},
        {"4:ascii:", "1-5", "ascii:N"},
        {"4:ascii:2x", "1-5", "ascii:N"},
    };
    for (const Case& c : cases) {
        std::string error;
        const auto range = ParseSerialRange(c.range, error);
        ASSERT_TRUE(range) << error;
        const auto stamp = ParseStamp(c.stamp, error);
        const bool accepted = stamp && CheckStamp(*stamp, 32, *range, error);
        if (c.complaint == nullptr) {
            EXPECT_TRUE(accepted) << c.stamp << ": " << error;
            continue;
        }
        EXPECT_FALSE(accepted) << c.stamp << " " << c.range;
        EXPECT_NE(error.find(c.complaint), std::string::npos) << c.stamp << ": " << error;
        // A number that does not fit leaves the image as it was.
        if (stamp) {
            std::vector<uint8_t> image(32, 0xEE);
            EXPECT_FALSE(ApplyStamp(*stamp, range->last, image, error));
            EXPECT_EQ(image, std::vector<uint8_t>(32, 0xEE)) << c.stamp;
        }
    }
}

enum class Engine { Sqlite, Postgres };

class RecordsOn : public ::testing::TestWithParam<Engine> {
protected:
    void SetUp() override {
        m_state = std::make_unique<ScopedEnv>("XDG_STATE_HOME", m_dir / "state");
        if (GetParam() == Engine::Sqlite) {
            m_url = m_dir / "records.db";
            return;
        }
        if (!PostgresServer::Available()) GTEST_SKIP() << "no PostgreSQL server installed";
        m_server = std::make_unique<PostgresServer>();
        m_url = m_server->Url();
    }

    std::unique_ptr<Records> Open(const std::string& station) {
        std::string error;
        auto records = Records::Open(m_url, station, error);
        EXPECT_TRUE(records) << error;
        return records;
    }

    // Every record in the database, by its serial number (records without
    // one are not made here).
    std::map<uint64_t, BoardRecord> Exported() {
        std::ostringstream out;
        std::string error;
        EXPECT_TRUE(ExportRecords(m_url, ExportFormat::Jsonl, std::nullopt, out, error)) << error;
        std::map<uint64_t, BoardRecord> records;
        for (const std::string& line : SplitLines(out.str())) {
            const auto record = FromJson(line);
            EXPECT_TRUE(record && record->serial) << line;
            if (record && record->serial) {
                EXPECT_TRUE(records.emplace(*record->serial, *record).second) << line;
            }
        }
        return records;
    }

    std::unique_ptr<ChildProcess> Station(const std::string& station, const std::string& range,
                                          const std::string& count) {
        const std::string name = "station-" + std::to_string(m_children++);
        return std::make_unique<ChildProcess>(
            std::vector<std::string>{dravel::testing::BinPath("records_station"), m_url, station, range, count},
            m_dir / (name + ".out"), m_dir / (name + ".err"));
    }

    TempDir m_dir;
    std::unique_ptr<ScopedEnv> m_state;
    std::unique_ptr<PostgresServer> m_server;
    std::string m_url;
    int m_children = 0;
};

TEST_P(RecordsOn, StationsAtOnceGetUniqueContiguousNumbers) {
    constexpr int kBoards = 15;
    // Two processes share a station name, as two runs on one machine do by
    // default: neither may take the other's boards for interrupted.
    std::vector<std::unique_ptr<ChildProcess>> stations;
    for (const char* name : {"line-1", "line-2", "line-1"}) {
        stations.push_back(Station(name, "1000-1999", std::to_string(kBoards)));
    }
    std::multiset<uint64_t> given;
    for (const auto& station : stations) {
        ASSERT_EQ(station->Wait(seconds(90)), 0) << station->Stderr();
        for (const std::string& line : SplitLines(station->Stdout())) given.insert(std::stoull(line));
    }
    const std::map<uint64_t, BoardRecord> records = Exported();
    ASSERT_EQ(given.size(), 3u * kBoards);
    ASSERT_EQ(records.size(), given.size());
    uint64_t expected = 1000;
    for (const uint64_t serial : given) EXPECT_EQ(serial, expected++);
    for (const auto& [serial, record] : records) {
        EXPECT_EQ(record.outcome, Outcome::Passed) << serial << " " << record.cause;
        EXPECT_FALSE(record.ended.empty());
        EXPECT_LE(record.started, record.ended);
    }
}

TEST_P(RecordsOn, AKilledStationsBoardIsInterruptedAndItsNumberNeverGivenAgain) {
    const auto killed = Station("bench", "1-100", "hold");
    ASSERT_TRUE(killed->WaitForStdout("\n", seconds(30))) << killed->Stderr();
    const uint64_t held = std::stoull(killed->Stdout());

    // While it runs, its board is its own.
    EXPECT_EQ(Open("bench")->Summary().interrupted, 0u);
    killed->Signal(SIGKILL);
    killed->Wait(seconds(10));

    const auto records = Open("bench");
    ASSERT_TRUE(records);
    EXPECT_EQ(records->Summary().interrupted, 1u);
    BoardRecord next;
    std::string error;
    ASSERT_EQ(records->Start(next, ParseSerialRange("1-100", error)).status, Records::StartStatus::Started);
    EXPECT_EQ(*next.serial, held + 1);

    const auto all = Exported();
    ASSERT_EQ(all.count(held), 1u);
    EXPECT_EQ(all.at(held).outcome, Outcome::Interrupted);
    EXPECT_FALSE(all.at(held).ended.empty());
    EXPECT_FALSE(all.at(held).cause.empty());
}

TEST_P(RecordsOn, AUsedUpRangeSaysSoAndGivesNoNumberTwice) {
    const auto records = Open("bench");
    ASSERT_TRUE(records);
    std::string error;
    const auto narrow = ParseSerialRange("0x5-0x6", error);
    std::vector<uint64_t> serials;
    for (int board = 0; board < 3; ++board) {
        BoardRecord record;
        const Records::StartResult result = records->Start(record, narrow);
        if (board < 2) {
            ASSERT_EQ(result.status, Records::StartStatus::Started) << result.message;
            serials.push_back(*record.serial);
        } else {
            EXPECT_EQ(result.status, Records::StartStatus::RangeUsedUp);
            EXPECT_EQ(result.message, "no serial numbers left in 0x5-0x6");
        }
    }
    EXPECT_EQ(serials, (std::vector<uint64_t>{5, 6}));
    // A wider range goes on after the highest number given in it.
    BoardRecord wider;
    ASSERT_EQ(records->Start(wider, ParseSerialRange("1-7", error)).status, Records::StartStatus::Started);
    EXPECT_EQ(*wider.serial, 7u);
    EXPECT_EQ(Exported().size(), 3u);
}

INSTANTIATE_TEST_SUITE_P(Engines, RecordsOn, ::testing::Values(Engine::Sqlite, Engine::Postgres),
                         [](const auto& test) { return test.param == Engine::Sqlite ? "Sqlite" : "Postgres"; });

class RecordsOnPostgres : public RecordsOn {};

TEST_P(RecordsOnPostgres, AServerOutageLosesNothingAndDoublesNothing) {
    std::string error;
    const auto range = ParseSerialRange("1-100", error);
    auto records = Open("bench");
    ASSERT_TRUE(records);
    BoardRecord first;
    BoardRecord second;
    ASSERT_EQ(records->Start(first, range).status, Records::StartStatus::Started);
    // A restart between two boards costs no wait.
    m_server->Stop();
    m_server->Start();
    ASSERT_EQ(records->Start(second, range).status, Records::StartStatus::Started);
    first.outcome = Outcome::Passed;
    ASSERT_EQ(records->Complete(first).status, Records::CompleteStatus::Committed);

    // Gone while a board runs: its record waits in the journal, and no new
    // board gets a number.
    m_server->Stop();
    second.outcome = Outcome::Failed;
    second.cause = "Transfer Error !! ";
    const Records::CompleteResult journaled = records->Complete(second);
    ASSERT_EQ(journaled.status, Records::CompleteStatus::Journaled);
    EXPECT_EQ(FromJson(SplitLines(ReadWholeFile(records->JournalPath())).at(0)), second);
    BoardRecord third;
    const Records::StartResult waiting = records->Start(third, range);
    EXPECT_EQ(waiting.status, Records::StartStatus::Unavailable);
    EXPECT_EQ(waiting.message.rfind("waiting for the records database: ", 0), 0u) << waiting.message;

    // Back: the journal is committed before the next board starts.
    m_server->Start();
    ASSERT_EQ(records->Start(third, range).status, Records::StartStatus::Started);
    EXPECT_EQ(*third.serial, *second.serial + 1);
    EXPECT_FALSE(std::filesystem::exists(records->JournalPath()));

    // Gone again, and the station ends before it is back: the next start
    // commits what the journal kept.
    m_server->Stop();
    third.outcome = Outcome::Passed;
    ASSERT_EQ(records->Complete(third).status, Records::CompleteStatus::Journaled);
    const std::filesystem::path journal = records->JournalPath();
    const std::string kept = ReadWholeFile(journal);
    records.reset();
    m_server->Start();
    ASSERT_EQ(Open("bench")->Summary().replayed, 1u);
    EXPECT_FALSE(std::filesystem::exists(journal));

    // A journal committed once already (a crash before it was removed) is
    // committed again without a second record.
    dravel::testing::WriteWholeFile(journal, kept);
    ASSERT_EQ(Open("bench")->Summary().replayed, 1u);

    const auto all = Exported();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all.at(*first.serial).outcome, Outcome::Passed);
    EXPECT_EQ(all.at(*second.serial), second);
    EXPECT_EQ(all.at(*third.serial), third);
}

INSTANTIATE_TEST_SUITE_P(Engines, RecordsOnPostgres, ::testing::Values(Engine::Postgres),
                         [](const auto&) { return "Postgres"; });

// The CSV export read back by Python's csv module equals the JSON-lines
// export, for texts with every character CSV must quote.
TEST(Export, CsvReadsBackAsTheJsonLines) {
    TempDir dir;
    ScopedEnv state("XDG_STATE_HOME", dir / "state");
    const std::string url = dir / "records.db";
    std::string error;
    {
        const auto records = Records::Open(url, "bench, \"north\"", error);
        ASSERT_TRUE(records) << error;
        for (const char* banner : {"plain", "a,b", "say \"hi\"", "two\r\nlines", "caf\xC3\xA9 \xFF"}) {
            BoardRecord record;
            record.banner = banner;
            record.board = 3;
            ASSERT_EQ(records->Start(record, std::nullopt).status, Records::StartStatus::Started);
            record.outcome = Outcome::Failed;
            record.cause = banner;
            ASSERT_EQ(records->Complete(record).status, Records::CompleteStatus::Committed);
        }
    }
    for (const auto& [format, name] : {std::pair{ExportFormat::Csv, "records.csv"}, {ExportFormat::Jsonl, "records.jsonl"}}) {
        std::ofstream out(dir / name, std::ios::binary);
        ASSERT_TRUE(ExportRecords(url, format, std::nullopt, out, error)) << error;
    }
    const auto compared = dravel::testing::Run(
        {"/usr/bin/python3", "-c",
         "import csv, json, sys\n"
         "rows = list(csv.DictReader(open(sys.argv[1], newline='', encoding='utf-8')))\n"
         "lines = [json.loads(l) for l in open(sys.argv[2], encoding='utf-8')]\n"
         "text = lambda v: '' if v is None else str(v)\n"
         "assert len(rows) == len(lines) == 5, (len(rows), len(lines))\n"
         "for row, line in zip(rows, lines):\n"
         "    assert list(row) == list(line), (list(row), list(line))\n"
         "    assert row == {k: text(v) for k, v in line.items()}, (row, line)\n"
         "print('same')\n",
         dir / "records.csv", dir / "records.jsonl"});
    EXPECT_EQ(compared.exitCode, 0) << compared.err;
    EXPECT_EQ(compared.out, "same\n");

    std::ostringstream later;
    ASSERT_TRUE(ExportRecords(url, ExportFormat::Jsonl, ParseSince("2999-01-01", error), later, error)) << error;
    EXPECT_EQ(later.str(), "");
    EXPECT_FALSE(ExportRecords(dir / "none.db", ExportFormat::Csv, std::nullopt, later, error));
}

}  // namespace
}  // namespace dravel::records
