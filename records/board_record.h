// The record of one board, and the forms it takes outside the database: a
// line of JSON (the journal and --export jsonl) and a row of CSV.
//
// What it owns: nothing; values and their conversions. Every form lists the
// same columns in the same order (RecordColumns), so that the two databases,
// the journal and both exports cannot drift apart.
//
// Threads: any; the functions are pure (UtcNow reads the clock).
//
// Failures: FromJson and ParseSince return nothing for text they cannot
// read; ParseSince says why in `error`.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace dravel::records {

enum class Outcome { Started, Passed, Failed, Interrupted };

std::string_view OutcomeText(Outcome outcome);
std::optional<Outcome> ParseOutcome(std::string_view text);

struct BoardRecord {
    std::string id;                 // unique in the database; made when the board starts
    std::optional<uint64_t> serial;  // none when the station hands out no numbers
    std::string station;
    std::string session;  // the run of dravel that wrote it
    std::string port;
    std::string device;
    std::optional<int64_t> board;  // the board's number in this run
    std::string image;
    std::string sha256;           // of the image as sent, stamped
    std::string unstampedSha256;  // of the image before stamping
    std::string started;          // ISO 8601, UTC, as UtcNow writes it
    std::string ended;            // empty while the board runs
    Outcome outcome = Outcome::Started;
    std::string cause;
    int64_t attempts = 0;
    std::string banner;
    std::string version;  // of dravel

    bool operator==(const BoardRecord&) const = default;
};

// Makes every text of the record one that both databases and JSON keep as
// it is: invalid UTF-8 and NUL bytes become U+FFFD, and the texts that come
// from a board (banner, cause) are cut at kLongestBoardText bytes.
inline constexpr std::size_t kLongestBoardText = 4096;
void MakeStorable(BoardRecord& record);

// "2024-05-01T12:34:56.789Z": sorts as text in the order of time.
std::string UtcNow();

// --since: a UTC date ("2024-05-01") or date and time ("2024-05-01T12:00",
// seconds and a fraction optional, a trailing Z allowed), in the form UtcNow
// writes.
std::optional<std::string> ParseSince(std::string_view text, std::string& error);

// A column's value as a database sees it: NULL, an integer or text.
using ColumnValue = std::variant<std::monostate, int64_t, std::string>;

std::span<const std::string_view> RecordColumns();
// Time columns, which PostgreSQL keeps as timestamps.
bool IsTimeColumn(std::string_view column);
std::vector<ColumnValue> ColumnValues(const BoardRecord& record);
// Nothing when a value has the wrong type or a required one is missing.
std::optional<BoardRecord> RecordFromColumns(std::span<const ColumnValue> values);

std::string ToJson(const BoardRecord& record);  // one line, without the line feed
std::optional<BoardRecord> FromJson(std::string_view line);

enum class ExportFormat { Csv, Jsonl };
std::optional<ExportFormat> ParseExportFormat(std::string_view text);
// CSV as RFC 4180 has it: a header line of column names, CR LF line ends,
// fields quoted when they hold a comma, a quote or a line break.
void WriteCsvHeader(std::ostream& out);
void WriteCsv(std::ostream& out, const BoardRecord& record);
void WriteJsonl(std::ostream& out, const BoardRecord& record);

}  // namespace dravel::records
