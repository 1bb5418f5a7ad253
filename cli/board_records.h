// Serial numbers and records for the boards of the command line: the
// options (--records, --serial-range, --stamp, --station, --export, --since),
// what they ask of a job, and one board's record from its number to its end.
//
// Who keeps the records: the process that flashes the board. A single run
// is that process; a gang or a watch runs a dravel-cli child per board, and
// each child opens the records, allocates its board's number, stamps its own
// copy of the image and completes the record itself. The station parent only
// checks once, before any child, that the database can be reached (and in
// doing so commits what earlier runs left in their journals and marks their
// unfinished boards interrupted). That keeps one owner per record: a child
// killed mid-board leaves its record started under its own session for the
// next run to mark, and two stations (or two children) never share a number
// because the database hands numbers out in a transaction.
//
// Threads: DescribeRecords, RecordsArguments and RecordsUsageProblem are
// pure and run in main(). A BoardRecords belongs to the thread that runs the
// job, but Complete may also come from the core's thread that ends the
// process when the port cannot be opened; it takes effect once.
//
// Failures: every failure is said through the transfer's output with its
// cause, and becomes an exit status: a database that cannot be reached at
// start 1, a range used up 3 ("no serial numbers left in FIRST-LAST"), a
// record that could be neither committed nor journaled turns a completed
// transfer into 3, so that nothing passes without a durable record.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "output/report.h"
#include "protocol/transfer.h"
#include "records/board_record.h"
#include "records/records.h"
#include "records/serial_numbers.h"

namespace dravel::output {
class TransferOutput;
}

namespace dravel::cli {

// The records' options as the parser leaves them.
struct RecordsOptions {
    std::string url;
    std::string serialRange;
    std::string stamp;
    std::string station;
    std::string exportFormat;
    std::string since;
};

void DeclareRecordsOptions(CLI::App& app, RecordsOptions& options);

struct RecordsJob {
    std::string url;
    std::string station;  // empty: the host name, found where the records are opened
    std::optional<records::SerialRange> range;
    std::optional<records::Stamp> stamp;
    // --export: the job writes the records out and flashes nothing.
    std::optional<records::ExportFormat> exportFormat;
    std::optional<std::string> since;

    bool operator==(const RecordsJob& other) const;
};

// False with the reason when the options do not make sense together;
// `job` stays empty when no records were asked for. `sendsImage`: the
// transfer kind sends a file (a stamp needs one).
bool DescribeRecords(const RecordsOptions& options, bool sendsImage, std::optional<RecordsJob>& job,
                     std::string& error);

// The same options again, for a station's child.
void AppendRecordsArguments(const std::optional<RecordsJob>& job, std::vector<std::string>& arguments);

// Before any board: the stamp lies inside the flat image (of `imageSize`
// bytes, or the file at `imagePath` as it is sent) and the range's last
// number fits it. Empty when it does (or when the image cannot be looked at:
// the image's own check says so then).
std::string RecordsUsageProblem(const std::optional<RecordsJob>& job, const std::string& imagePath);
std::string RecordsUsageProblem(const std::optional<RecordsJob>& job, uint64_t imageSize);

// A station's check before its first child: nothing when the database can
// be reached (what the opening found is said on standard error), else 1
// with the cause said.
std::optional<int> CheckRecordsReachable(const RecordsJob& job, bool quiet, bool json);

// --export: the records on standard output; 0, or 1 with the cause.
int RunExportJob(const RecordsJob& job);

// One board's record in the process that flashes it.
class BoardRecords {
public:
    struct Board {
        std::string port;
        std::string device;
        std::optional<int> number;
        std::string image;  // as the user named it
        TransferKind kind = TransferKind::Blocks5;
        // The image as it is to be sent, read whole (a board's copy is
        // stamped, never the file), and what the output says of it.
        std::optional<std::vector<uint8_t>> bytes;
        output::ImageDigest digest;
    };

    // `waitForDatabase`: a station's child, which waits for a database that
    // went away rather than ending (its parent found it there at the start).
    BoardRecords(const std::optional<RecordsJob>& job, bool waitForDatabase);
    ~BoardRecords();
    BoardRecords(const BoardRecords&) = delete;
    BoardRecords& operator=(const BoardRecords&) = delete;

    bool Enabled() const { return m_job.has_value(); }

    // Before the port is opened: opens the records, allocates the board's
    // number (waiting while the database is away; an interrupt ends the
    // wait) and stamps its copy of the image. Nothing when the board may go
    // on; else the exit status, with the output already ended.
    std::optional<int> Begin(Board board, output::TransferOutput& output);

    // The bytes to send in place of the file, once Begin has read them.
    const std::vector<uint8_t>* Image() const { return m_image ? &*m_image : nullptr; }

    // Completes the record with how the transfer ended, before the output
    // ends. Returns the exit status to end with: a completed transfer whose
    // record was lost becomes a failure.
    // `attempts` and `banner`: what the board's steps saw, when it had any.
    int Complete(int exitCode, output::TransferOutput& output, int attempts = 1,
                 const std::optional<std::string>& banner = std::nullopt);

private:
    std::unique_ptr<records::Records> OpenRecords(output::TransferOutput& output, int& exitCode);

    const std::optional<RecordsJob> m_job;
    const bool m_waitForDatabase;
    std::unique_ptr<records::Records> m_records;
    records::BoardRecord m_record;
    std::optional<std::vector<uint8_t>> m_image;
    std::mutex m_mutex;
    bool m_started = false;
    bool m_completed = false;
};

}  // namespace dravel::cli
