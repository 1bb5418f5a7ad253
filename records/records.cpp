#include "records/records.h"

#include <array>
#include <condition_variable>
#include <fstream>
#include <iterator>
#include <random>
#include <system_error>

#include "dravel_version.h"
#include "records/database.h"
#include "records/journal.h"
#include "host/local_state.h"

namespace dravel::records {

namespace {

constexpr std::string_view kJournalSuffix = ".jsonl";
constexpr std::string_view kLockSuffix = ".lock";
constexpr std::string_view kInterruptedCause = "the station stopped before the board ended";

std::string RandomName() {
    std::random_device device;
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string name;
    for (int word = 0; word < 4; ++word) {
        uint32_t bits = device();
        for (int i = 0; i < 8; ++i, bits >>= 4) name += kDigits[bits & 0xF];
    }
    return name;
}

// Journals are kept per database, under a short name for it (FNV-1a).
std::string DatabaseKey(const std::string& identity) {
    uint64_t hash = 0xcbf29ce484222325ull;
    for (const char c : identity) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 0x100000001b3ull;
    }
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string key;
    for (int i = 60; i >= 0; i -= 4) key += kDigits[(hash >> i) & 0xF];
    return key;
}

std::filesystem::path LockPath(const std::filesystem::path& folder, const std::string& session) {
    return folder / (session + std::string(kLockSuffix));
}

// Nothing, with the cause, when the file cannot be read whole; an absent
// file reads as empty.
std::optional<std::string> ReadJournal(const std::filesystem::path& path, std::string& error) {
    std::error_code code;
    if (!std::filesystem::exists(path, code)) return std::string();
    const uintmax_t size = std::filesystem::file_size(path, code);
    if (code || size > kLargestJournal) {
        error = path.string() + ": " + (code ? code.message() : "larger than a journal can be");
        return std::nullopt;
    }
    std::ifstream in(path, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        error = path.string() + ": could not be read";
        return std::nullopt;
    }
    return text;
}

struct Replay {
    std::size_t committed = 0;
    std::string kept;  // lines still to commit, each with its line feed
    std::size_t keptLines = 0;
    DbStatus firstFailure;
};

// Puts every record of a journal's text in the database; what it does not
// take is kept. Records are written whole over their own id, so a line
// committed twice (a crash between the commit and the journal's rewrite)
// leaves one record.
Replay ReplayText(Database& database, std::string_view text) {
    Replay replay;
    bool reachable = true;
    for (const JournalLine& line : ParseJournal(text)) {
        DbStatus status = DbStatus::Refused("a journal line that is not a record: " + std::string(line.text.substr(0, 80)));
        if (line.record && reachable) status = database.Put(*line.record);
        if (line.record && !reachable) status = DbStatus::Unavailable(replay.firstFailure.cause);
        if (status.Ok()) {
            ++replay.committed;
            continue;
        }
        if (status.kind == DbStatus::Kind::Unavailable) reachable = false;
        if (replay.firstFailure.Ok()) replay.firstFailure = status;
        replay.kept.append(line.text).push_back('\n');
        ++replay.keptLines;
    }
    return replay;
}

}  // namespace

std::string RedactedUrl(const std::string& url) {
    if (!IsPostgresUrl(url)) return url;
    std::string shown = url;
    const std::size_t authority = shown.find("://") + 3;
    const std::size_t at = shown.find('@', authority);
    const std::size_t slash = shown.find('/', authority);
    const std::size_t colon = shown.find(':', authority);
    if (at != std::string::npos && (slash == std::string::npos || at < slash) && colon < at) {
        shown.replace(colon + 1, at - colon - 1, "***");
    }
    for (std::size_t found = shown.find("password="); found != std::string::npos;
         found = shown.find("password=", found + 1)) {
        const std::size_t value = found + 9;
        const std::size_t end = shown.find('&', value);
        shown.replace(value, (end == std::string::npos ? shown.size() : end) - value, "***");
    }
    return shown;
}

Records::Records(std::unique_ptr<Database> database, std::string station, std::string session,
                 std::filesystem::path folder, std::unique_ptr<FileLock> lock)
    : m_database(std::move(database)),
      m_station(std::move(station)),
      m_session(std::move(session)),
      m_folder(std::move(folder)),
      m_lock(std::move(lock)) {
    m_journal = m_folder / (DatabaseKey(m_database->Identity()) + "-" + m_session + std::string(kJournalSuffix));
}

std::unique_ptr<Records> Records::Open(const std::string& url, const std::string& station, std::string& error) {
    const std::string where = "records " + RedactedUrl(url) + ": ";
    if (station.empty()) {
        error = where + "the station has no name";
        return nullptr;
    }
    DbStatus status;
    std::unique_ptr<Database> database = OpenDatabase(url, OpenMode::Create, status);
    if (!database) {
        error = where + status.cause;
        return nullptr;
    }
    const std::filesystem::path state = StateFolder();
    if (state.empty()) {
        error = where + "no folder for the journal (the environment names no home folder)";
        return nullptr;
    }
    const std::filesystem::path folder = state / "records";
    std::error_code made;
    std::filesystem::create_directories(folder, made);
    if (made) {
        error = where + folder.string() + ": " + made.message();
        return nullptr;
    }
    const std::string session = RandomName();
    std::unique_ptr<FileLock> lock = FileLock::TryLock(LockPath(folder, session), error);
    if (!lock) {
        error = where + (error.empty() ? "this run's lock file is held by another" : error);
        return nullptr;
    }
    std::unique_ptr<Records> records(
        new Records(std::move(database), station, session, folder, std::move(lock)));
    if (!records->Recover(error)) {
        error = where + error;
        return nullptr;
    }
    return records;
}

Records::~Records() {
    std::lock_guard guard(m_mutex);
    std::error_code ignored;
    // A journal still holding records stays for the next run to commit;
    // without the lock file this run reads as ended.
    std::filesystem::remove(LockPath(m_folder, m_session), ignored);
}

// Runs that ended, however, are adopted one at a time under their own lock:
// their journals committed (what the database refuses moves into this run's
// journal), then their boards still started marked interrupted.
bool Records::Recover(std::string& error) {
    const std::string prefix = DatabaseKey(m_database->Identity()) + "-";
    std::error_code listing;
    std::vector<std::filesystem::path> journals;
    for (const auto& entry : std::filesystem::directory_iterator(m_folder, listing)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(prefix, 0) == 0 && entry.path().extension() == kJournalSuffix && entry.path() != m_journal) {
            journals.push_back(entry.path());
        }
    }
    if (listing) {
        error = m_folder.string() + ": " + listing.message();
        return false;
    }
    for (const std::filesystem::path& journal : journals) {
        const std::string session = journal.stem().string().substr(prefix.size());
        std::string lockError;
        const std::unique_ptr<FileLock> theirs = FileLock::TryLock(LockPath(m_folder, session), lockError);
        if (!theirs) continue;  // alive, or not ours to judge
        const std::optional<std::string> text = ReadJournal(journal, error);
        if (!text) return false;
        const Replay replay = ReplayText(*m_database, *text);
        if (replay.firstFailure.kind == DbStatus::Kind::Unavailable) {
            error = replay.firstFailure.cause;
            return false;
        }
        if (replay.keptLines > 0) {
            if (!AppendDurably(m_journal, replay.kept, error)) return false;
            m_journalPending = true;
            m_summary.warning = std::to_string(replay.keptLines) + " journal lines kept in " + m_journal.string() +
                                ": " + replay.firstFailure.cause;
        }
        m_summary.replayed += replay.committed;
        std::error_code ignored;
        std::filesystem::remove(journal, ignored);
        std::filesystem::remove(LockPath(m_folder, session), ignored);
    }

    std::vector<std::string> sessions;
    if (DbStatus status = m_database->UnfinishedSessions(m_station, sessions); !status.Ok()) {
        error = status.cause;
        return false;
    }
    for (const std::string& session : sessions) {
        if (session == m_session) continue;
        std::string lockError;
        const std::unique_ptr<FileLock> theirs = FileLock::TryLock(LockPath(m_folder, session), lockError);
        if (!theirs) continue;
        std::size_t marked = 0;
        if (DbStatus status =
                m_database->MarkInterrupted(m_station, session, UtcNow(), std::string(kInterruptedCause), marked);
            !status.Ok()) {
            error = status.cause;
            return false;
        }
        m_summary.interrupted += marked;
        std::error_code ignored;
        std::filesystem::remove(LockPath(m_folder, session), ignored);
    }
    return true;
}

void Records::FillIdentity(BoardRecord& record) const {
    if (record.id.empty()) record.id = RandomName();
    record.station = m_station;
    record.session = m_session;
    record.version = DRAVEL_VERSION;
    if (record.started.empty()) record.started = UtcNow();
    MakeStorable(record);
}

Records::StartResult Records::Start(BoardRecord& record, const std::optional<SerialRange>& range) {
    std::lock_guard guard(m_mutex);
    // A board that waited for the database starts when it gets its number.
    record.started = UtcNow();
    FillIdentity(record);
    record.outcome = Outcome::Started;
    record.ended.clear();
    if (m_journalPending) {
        FlushResult flushed;
        if (const DbStatus status = FlushLocked(flushed); status.kind == DbStatus::Kind::Unavailable) {
            return {StartStatus::Unavailable, "waiting for the records database: " + status.cause};
        }
    }
    bool usedUp = false;
    const DbStatus status = m_database->Start(record, range ? &*range : nullptr, usedUp);
    switch (status.kind) {
    case DbStatus::Kind::Ok:
        if (usedUp) return {StartStatus::RangeUsedUp, RangeUsedUpText(*range)};
        return {StartStatus::Started, {}};
    case DbStatus::Kind::Unavailable:
        return {StartStatus::Unavailable, "waiting for the records database: " + status.cause};
    case DbStatus::Kind::Refused:
        break;
    }
    return {StartStatus::Refused, "the records database refused the board: " + status.cause};
}

Records::StartResult Records::StartWhenAvailable(BoardRecord& record, const std::optional<SerialRange>& range,
                                                 std::stop_token stop,
                                                 const std::function<void(const std::string&)>& waiting) {
    std::mutex pause;
    std::condition_variable_any wake;
    std::string said;
    for (;;) {
        StartResult result = Start(record, range);
        if (result.status != StartStatus::Unavailable) return result;
        if (waiting && result.message != said) {
            waiting(result.message);
            said = result.message;
        }
        std::unique_lock lock(pause);
        wake.wait_for(lock, stop, kRetryInterval, [] { return false; });
        if (stop.stop_requested()) return result;
    }
}

Records::CompleteResult Records::Complete(BoardRecord& record) {
    std::lock_guard guard(m_mutex);
    FillIdentity(record);
    if (record.ended.empty()) record.ended = UtcNow();
    DbStatus status;
    if (m_journalPending) {
        // Once the journal could not be committed, this record goes the
        // same way at once rather than waiting out a second timeout.
        FlushResult flushed;
        if (const DbStatus failed = FlushLocked(flushed); failed.kind == DbStatus::Kind::Unavailable) status = failed;
    }
    if (status.Ok()) status = m_database->Put(record);
    if (status.Ok()) return {CompleteStatus::Committed, {}};
    std::string error;
    if (AppendDurably(m_journal, ToJson(record) + "\n", error)) {
        m_journalPending = true;
        return {CompleteStatus::Journaled,
                "the records database did not take the record (" + status.cause + "); it is kept in " +
                    m_journal.string() + " until it does"};
    }
    return {CompleteStatus::Lost,
            "the records database did not take the record (" + status.cause + ") nor the journal (" + error + ")"};
}

Records::FlushResult Records::Flush() {
    std::lock_guard guard(m_mutex);
    FlushResult result;
    result.cause = FlushLocked(result).cause;
    return result;
}

DbStatus Records::FlushLocked(FlushResult& result) {
    if (!m_journalPending) return {};
    std::string error;
    const std::optional<std::string> text = ReadJournal(m_journal, error);
    if (!text) return DbStatus::Refused(error);
    const Replay replay = ReplayText(*m_database, *text);
    result.committed = replay.committed;
    result.pending = replay.keptLines;
    if (replay.committed == 0 && replay.keptLines > 0) return replay.firstFailure;
    std::error_code removed;
    if (replay.keptLines == 0) {
        std::filesystem::remove(m_journal, removed);
        if (!removed) m_journalPending = false;
    } else if (!ReplaceDurably(m_journal, replay.kept, error)) {
        // The journal still holds the committed lines too; committing them
        // again later changes nothing.
        return DbStatus::Refused(error);
    }
    return replay.firstFailure;
}

bool ExportRecords(const std::string& url, ExportFormat format, const std::optional<std::string>& since,
                   std::ostream& out, std::string& error) {
    DbStatus status;
    const std::unique_ptr<Database> database = OpenDatabase(url, OpenMode::Existing, status);
    if (database) {
        if (format == ExportFormat::Csv) WriteCsvHeader(out);
        status = database->ForEach(since, [&](const BoardRecord& record) {
            if (format == ExportFormat::Csv) {
                WriteCsv(out, record);
            } else {
                WriteJsonl(out, record);
            }
        });
    }
    if (!status.Ok()) {
        error = "records " + RedactedUrl(url) + ": " + status.cause;
        return false;
    }
    out.flush();
    if (!out) {
        error = "the records could not be written out";
        return false;
    }
    return true;
}

}  // namespace dravel::records
