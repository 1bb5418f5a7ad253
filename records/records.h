// The records of a station: a serial number for each board, its record in
// the database, and the journal that keeps completed records while the
// database cannot be reached.
//
//   auto records = Records::Open(url, station, error);   // before any board
//   BoardRecord board{...};                              // port, device, image, digests
//   Records::StartResult s = records->StartWhenAvailable(board, range, stop, say);
//   ... stamp *board.serial, send, fill outcome, cause, banner, sha256 ...
//   Records::CompleteResult c = records->Complete(board); // PASS only if not Lost
//
// What it owns: the database connection; this run's session (a random name
// that its records carry, held by a lock file under the state folder for as
// long as the object lives); this run's journal, a JSON-lines file beside
// the lock, written and synced before Complete returns.
//
// Open: makes the database and its schema if needed, commits what earlier
// runs of this machine left in their journals for this database, and marks
// interrupted the station's records still started by runs that are no
// longer alive (their numbers stay given). A run is alive while it holds its
// lock file, so several processes of one station on one machine leave each
// other's boards alone; a station name belongs to one machine.
//
// Threads: every member may be called from any thread; calls are
// serialised, and one may wait for the database (up to its timeouts: 5 s for
// an SQLite file held by another writer, 10 s to connect to a server).
//
// Failures: Open returns nothing with the cause (a database that cannot be
// reached, a state folder that cannot be made) for exit 1 before any board.
// Start says whether the board may go (Started), must not (RangeUsedUp,
// Refused), or should wait (Unavailable). Complete never loses a record
// quietly: Committed, Journaled (durable on this machine, committed later;
// by Start, Complete, Flush, or the next Open), or Lost with the cause.
#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <stop_token>
#include <string>

#include "records/board_record.h"
#include "records/serial_numbers.h"

namespace dravel::records {

class Database;
class FileLock;
struct DbStatus;

class Records {
public:
    struct OpenSummary {
        std::size_t replayed = 0;     // records committed from earlier runs' journals
        std::size_t interrupted = 0;  // records of dead runs marked interrupted
        std::string warning;          // journal lines that could not be committed, and why
    };

    static std::unique_ptr<Records> Open(const std::string& url, const std::string& station, std::string& error);
    ~Records();
    Records(const Records&) = delete;
    Records& operator=(const Records&) = delete;

    enum class StartStatus { Started, RangeUsedUp, Unavailable, Refused };
    struct StartResult {
        StartStatus status = StartStatus::Started;
        // RangeUsedUp: "no serial numbers left in FIRST-LAST"; Unavailable:
        // "waiting for the records database: CAUSE"; Refused: the cause.
        std::string message;
    };

    // Writes `record` as started, with the next number of `range` when one
    // is given. Fills id, serial, station, session, started, version. After
    // an Unavailable, call again with the same record: an earlier try whose
    // commit went unheard is found, not doubled.
    StartResult Start(BoardRecord& record, const std::optional<SerialRange>& range);

    // Start, tried again every kRetryInterval while the database cannot be
    // reached; `waiting` hears each new cause once. Returns Unavailable only
    // when `stop` was requested.
    static constexpr std::chrono::seconds kRetryInterval{2};
    StartResult StartWhenAvailable(BoardRecord& record, const std::optional<SerialRange>& range,
                                   std::stop_token stop, const std::function<void(const std::string&)>& waiting);

    enum class CompleteStatus { Committed, Journaled, Lost };
    struct CompleteResult {
        CompleteStatus status = CompleteStatus::Committed;
        std::string message;  // why the database did not take it; for Lost, why the journal did not either
    };

    // Writes the finished record (outcome passed, failed or interrupted;
    // `ended` filled if empty).
    CompleteResult Complete(BoardRecord& record);

    // Commits what the journal holds, when the database takes it. A caller
    // that idles may call it now and then; the next Start does it anyway.
    struct FlushResult {
        std::size_t committed = 0;
        std::size_t pending = 0;
        std::string cause;
    };
    FlushResult Flush();

    const OpenSummary& Summary() const { return m_summary; }
    const std::string& Station() const { return m_station; }
    const std::string& Session() const { return m_session; }
    const std::filesystem::path& JournalPath() const { return m_journal; }

private:
    Records(std::unique_ptr<Database> database, std::string station, std::string session,
            std::filesystem::path folder, std::unique_ptr<FileLock> lock);
    bool Recover(std::string& error);
    DbStatus FlushLocked(FlushResult& result);
    void FillIdentity(BoardRecord& record) const;

    std::mutex m_mutex;
    std::unique_ptr<Database> m_database;
    std::string m_station;
    std::string m_session;
    std::filesystem::path m_folder;
    std::filesystem::path m_journal;
    std::unique_ptr<FileLock> m_lock;
    bool m_journalPending = false;
    OpenSummary m_summary;
};

// --export: the records started at or after `since` (all without it) to
// `out`, oldest first. False with the cause when the database cannot be
// read. Nothing is made: a path that holds no records is an error.
bool ExportRecords(const std::string& url, ExportFormat format, const std::optional<std::string>& since,
                   std::ostream& out, std::string& error);

// The URL as messages may show it: a password in it becomes ***.
std::string RedactedUrl(const std::string& url);

}  // namespace dravel::records
