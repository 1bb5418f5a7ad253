// The records in an SQLite file: one machine, any number of dravel
// processes. WAL lets readers go on beside the one writer; the busy timeout
// makes a writer wait its turn rather than fail; BEGIN IMMEDIATE takes the
// write lock before the highest number is read, so two processes never read
// the same one.
#include <sqlite3.h>

#include <chrono>
#include <filesystem>

#include "records/database.h"

namespace dravel::records {

namespace {

// Longer than any transaction of ours takes; a writer held up longer than
// this reads as a database that cannot be reached just now.
constexpr int kBusyTimeoutMs = 5000;

std::string Parameter(int n) { return "?" + std::to_string(n); }
std::string SelectColumn(std::string_view column) { return std::string(column); }
constexpr SqlDialect kDialect{"INTEGER", "TEXT", Parameter, SelectColumn};

// Busy, locked, out of space, an I/O error, a file that cannot be opened:
// conditions of the disk or of other processes, which pass.
bool Transient(int code) {
    switch (code & 0xFF) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
    case SQLITE_IOERR:
    case SQLITE_CANTOPEN:
    case SQLITE_FULL:
    case SQLITE_PROTOCOL:
        return true;
    default:
        return false;
    }
}

class Statement {
public:
    Statement(sqlite3* db, const std::string& sql) : m_db(db) {
        m_code = sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &m_statement, nullptr);
    }
    ~Statement() { sqlite3_finalize(m_statement); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& Bind(int n, const ColumnValue& value) {
        if (m_code != SQLITE_OK) return *this;
        if (const auto* number = std::get_if<int64_t>(&value)) {
            m_code = sqlite3_bind_int64(m_statement, n, *number);
        } else if (const auto* text = std::get_if<std::string>(&value)) {
            m_code = sqlite3_bind_text(m_statement, n, text->data(), static_cast<int>(text->size()), SQLITE_TRANSIENT);
        } else {
            m_code = sqlite3_bind_null(m_statement, n);
        }
        return *this;
    }
    Statement& BindAll(const std::vector<ColumnValue>& values) {
        for (std::size_t i = 0; i < values.size(); ++i) Bind(static_cast<int>(i + 1), values[i]);
        return *this;
    }

    // True while there is a row; false at the end or on failure (Failed()).
    bool Step() {
        if (m_code != SQLITE_OK && m_code != SQLITE_ROW) return false;
        m_code = sqlite3_step(m_statement);
        if (m_code == SQLITE_DONE) {
            m_code = SQLITE_OK;
            return false;
        }
        return m_code == SQLITE_ROW;
    }
    bool Run() {
        while (Step()) {
        }
        return !Failed();
    }
    bool Failed() const { return m_code != SQLITE_OK && m_code != SQLITE_ROW; }

    ColumnValue Column(int n) const {
        switch (sqlite3_column_type(m_statement, n)) {
        case SQLITE_NULL:
            return {};
        case SQLITE_INTEGER:
            return static_cast<int64_t>(sqlite3_column_int64(m_statement, n));
        default: {
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(m_statement, n));
            return std::string(text != nullptr ? text : "", static_cast<std::size_t>(sqlite3_column_bytes(m_statement, n)));
        }
        }
    }

    DbStatus Status() const {
        const std::string cause = sqlite3_errmsg(m_db);
        return Transient(m_code) ? DbStatus::Unavailable(cause) : DbStatus::Refused(cause);
    }

private:
    sqlite3* m_db;
    sqlite3_stmt* m_statement = nullptr;
    int m_code = SQLITE_OK;
};

class SqliteDatabase final : public Database {
public:
    SqliteDatabase(sqlite3* db, std::string identity) : m_db(db), m_identity(std::move(identity)) {}
    ~SqliteDatabase() override { sqlite3_close_v2(m_db); }

    std::string Identity() const override { return m_identity; }

    DbStatus Prepare(OpenMode mode) {
        sqlite3_busy_timeout(m_db, kBusyTimeoutMs);
        sqlite3_extended_result_codes(m_db, 1);
        if (mode == OpenMode::Existing) {
            Statement version(m_db, "SELECT version FROM " + std::string(kSchemaTable));
            if (!version.Step()) {
                return version.Failed() && Transient(sqlite3_errcode(m_db))
                           ? version.Status()
                           : DbStatus::Refused("it holds no dravel records");
            }
            return CheckVersion(version.Column(0));
        }
        // WAL survives in the file; asking again costs nothing.
        Statement wal(m_db, "PRAGMA journal_mode=WAL");
        if (!wal.Run()) return wal.Status();
        // A commit is on the disk when it returns: PASS comes after it.
        Statement full(m_db, "PRAGMA synchronous=FULL");
        if (!full.Run()) return full.Status();
        return InTransaction([&]() -> DbStatus {
            for (const std::string& sql : CreateSchemaSql(kDialect)) {
                Statement create(m_db, sql);
                if (!create.Run()) return create.Status();
            }
            Statement version(m_db, "SELECT version FROM " + std::string(kSchemaTable));
            if (version.Step()) return CheckVersion(version.Column(0));
            if (version.Failed()) return version.Status();
            Statement insert(m_db, "INSERT INTO " + std::string(kSchemaTable) + " (version) VALUES (?1)");
            insert.Bind(1, ColumnValue{int64_t{kSchemaVersion}});
            return insert.Run() ? DbStatus{} : insert.Status();
        });
    }

    DbStatus Start(BoardRecord& record, const SerialRange* range, bool& usedUp) override {
        usedUp = false;
        return InTransaction([&]() -> DbStatus {
            Statement known(m_db, "SELECT serial FROM " + std::string(kRecordsTable) + " WHERE id = ?1");
            known.Bind(1, record.id);
            if (known.Step()) {
                const ColumnValue serial = known.Column(0);
                if (const auto* number = std::get_if<int64_t>(&serial)) record.serial = static_cast<uint64_t>(*number);
                return {};
            }
            if (known.Failed()) return known.Status();
            if (range != nullptr) {
                Statement highest(m_db, "SELECT max(serial) FROM " + std::string(kRecordsTable) +
                                            " WHERE serial BETWEEN ?1 AND ?2");
                highest.Bind(1, static_cast<int64_t>(range->first)).Bind(2, static_cast<int64_t>(range->last));
                if (!highest.Step()) return highest.Status();
                const ColumnValue top = highest.Column(0);
                const auto* given = std::get_if<int64_t>(&top);
                if (given != nullptr && static_cast<uint64_t>(*given) >= range->last) {
                    usedUp = true;
                    return {};
                }
                record.serial = given != nullptr ? static_cast<uint64_t>(*given) + 1 : range->first;
            }
            Statement insert(m_db, InsertSql(kDialect));
            insert.BindAll(ColumnValues(record));
            return insert.Run() ? DbStatus{} : insert.Status();
        });
    }

    DbStatus Put(const BoardRecord& record) override {
        Statement upsert(m_db, UpsertSql(kDialect));
        upsert.BindAll(ColumnValues(record));
        return upsert.Run() ? DbStatus{} : upsert.Status();
    }

    DbStatus UnfinishedSessions(const std::string& station, std::vector<std::string>& sessions) override {
        sessions.clear();
        Statement select(m_db, "SELECT DISTINCT session FROM " + std::string(kRecordsTable) +
                                   " WHERE station = ?1 AND outcome = ?2");
        select.Bind(1, station).Bind(2, std::string(OutcomeText(Outcome::Started)));
        while (select.Step()) {
            const ColumnValue session = select.Column(0);
            if (const auto* text = std::get_if<std::string>(&session)) sessions.push_back(*text);
        }
        return select.Failed() ? select.Status() : DbStatus{};
    }

    DbStatus MarkInterrupted(const std::string& station, const std::string& session, const std::string& ended,
                             const std::string& cause, std::size_t& marked) override {
        marked = 0;
        Statement update(m_db, "UPDATE " + std::string(kRecordsTable) +
                                   " SET outcome = ?1, ended = ?2, cause = ?3"
                                   " WHERE station = ?4 AND session = ?5 AND outcome = ?6");
        update.Bind(1, std::string(OutcomeText(Outcome::Interrupted)))
            .Bind(2, ended)
            .Bind(3, cause)
            .Bind(4, station)
            .Bind(5, session)
            .Bind(6, std::string(OutcomeText(Outcome::Started)));
        if (!update.Run()) return update.Status();
        marked = static_cast<std::size_t>(sqlite3_changes(m_db));
        return {};
    }

    DbStatus ForEach(const std::optional<std::string>& since,
                     const std::function<void(const BoardRecord&)>& visit) override {
        Statement select(m_db, "SELECT " + SelectColumnsSql(kDialect) + " FROM " + std::string(kRecordsTable) +
                                   (since ? " WHERE started >= ?1" : "") + " ORDER BY started, id");
        if (since) select.Bind(1, *since);
        std::vector<ColumnValue> values(RecordColumns().size());
        while (select.Step()) {
            for (std::size_t i = 0; i < values.size(); ++i) values[i] = select.Column(static_cast<int>(i));
            if (const std::optional<BoardRecord> record = RecordFromColumns(values)) visit(*record);
        }
        return select.Failed() ? select.Status() : DbStatus{};
    }

private:
    DbStatus CheckVersion(const ColumnValue& value) {
        const auto* version = std::get_if<int64_t>(&value);
        if (version == nullptr) return DbStatus::Refused("its schema version is not a number");
        if (*version > kSchemaVersion) return DbStatus::Refused(SchemaNewerText(*version));
        return {};
    }

    template <typename Body>
    DbStatus InTransaction(Body body) {
        Statement begin(m_db, "BEGIN IMMEDIATE");
        if (!begin.Run()) return begin.Status();
        DbStatus status = body();
        if (status.Ok()) {
            Statement commit(m_db, "COMMIT");
            if (!commit.Run()) status = commit.Status();
        }
        if (!sqlite3_get_autocommit(m_db)) {
            Statement rollback(m_db, "ROLLBACK");
            rollback.Run();
        }
        return status;
    }

    sqlite3* m_db;
    std::string m_identity;
};

}  // namespace

std::unique_ptr<Database> OpenSqlite(const std::string& path, OpenMode mode, DbStatus& status) {
    const int flags = SQLITE_OPEN_READWRITE | (mode == OpenMode::Create ? SQLITE_OPEN_CREATE : 0) |
                      SQLITE_OPEN_NOMUTEX;
    sqlite3* db = nullptr;
    const int code = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
    if (code != SQLITE_OK) {
        status = DbStatus::Unavailable(db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(code));
        sqlite3_close_v2(db);
        return nullptr;
    }
    std::error_code error;
    const std::filesystem::path canonical = std::filesystem::weakly_canonical(std::filesystem::absolute(path), error);
    auto database = std::make_unique<SqliteDatabase>(db, "sqlite:" + (error ? path : canonical.string()));
    status = database->Prepare(mode);
    if (!status.Ok()) return nullptr;
    return database;
}

}  // namespace dravel::records
