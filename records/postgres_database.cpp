// The records on a PostgreSQL server that the stations of a line share.
// Numbers are handed out under a transaction-scoped advisory lock: one
// station at a time reads the highest number and inserts the next, and the
// lock goes with the transaction however it ends. The connection is made
// with libpq from the URL as given, so passwords come from where libpq looks
// (the URL, PGPASSWORD, ~/.pgpass, PGPASSFILE).
#include <libpq-fe.h>

#include <charconv>
#include <cstdlib>
#include <memory>

#include "records/database.h"

namespace dravel::records {

namespace {

// Keys of the advisory locks: "dravel" and "dravel"+1 as numbers, unlikely
// to meet another program's.
constexpr int64_t kAllocationLock = 0x647261'76656C;
constexpr int64_t kSchemaLock = kAllocationLock + 1;

// A dead network must end a wait, not hold a station forever: the connect
// gives up after 10 s, keepalives find a silent peer in about 25 s, a lock
// held by a station that went away is given up after 10 s (the caller tries
// again), and a transaction left idle is ended by the server.
constexpr const char* kConnectOptions[][2] = {
    {"connect_timeout", "10"}, {"keepalives_idle", "10"}, {"keepalives_interval", "5"},
    {"keepalives_count", "3"}, {"tcp_user_timeout", "25000"}, {"application_name", "dravel"},
};
constexpr const char* kSessionSettings[] = {
    "SET lock_timeout = '10s'",
    "SET idle_in_transaction_session_timeout = '30s'",
};

std::string Parameter(int n) { return "$" + std::to_string(n); }
std::string SelectColumn(std::string_view column) {
    const std::string name(column);
    if (!IsTimeColumn(column)) return name;
    return "to_char(" + name + " AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"')";
}
constexpr SqlDialect kDialect{"BIGINT", "TIMESTAMPTZ", Parameter, SelectColumn};

// libpq's messages run over several lines ("...: Connection refused\n\tIs
// the server running..."); a station prints them as one.
std::string OneLine(const char* text) {
    std::string line;
    for (const char* c = text != nullptr ? text : ""; *c != '\0'; ++c) {
        if (*c == '\n' || *c == '\t' || *c == '\r') {
            if (!line.empty() && line.back() != ' ') line += ' ';
        } else {
            line += *c;
        }
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    return line;
}

struct ResultDeleter {
    void operator()(PGresult* result) const { PQclear(result); }
};
using Result = std::unique_ptr<PGresult, ResultDeleter>;

class PostgresDatabase final : public Database {
public:
    explicit PostgresDatabase(std::string url) : m_url(std::move(url)) {}
    ~PostgresDatabase() override { PQfinish(m_conn); }

    std::string Identity() const override { return m_identity; }

    DbStatus Prepare(OpenMode mode) {
        if (DbStatus status = Connected(); !status.Ok()) return status;
        if (mode == OpenMode::Existing) {
            Result result;
            DbStatus status = Exec("SELECT version FROM " + std::string(kSchemaTable), {}, &result);
            if (status.kind == DbStatus::Kind::Refused) return DbStatus::Refused("it holds no dravel records");
            return status.Ok() ? CheckVersion(result.get()) : status;
        }
        return InTransaction([&]() -> DbStatus {
            // Two stations meeting an empty database at once would race
            // on the catalogue; the lock makes one wait for the other.
            if (DbStatus status = Exec("SELECT pg_advisory_xact_lock($1)", {kSchemaLock}); !status.Ok()) return status;
            for (const std::string& sql : CreateSchemaSql(kDialect)) {
                if (DbStatus status = Exec(sql, {}); !status.Ok()) return status;
            }
            Result result;
            if (DbStatus status = Exec("SELECT version FROM " + std::string(kSchemaTable), {}, &result); !status.Ok()) {
                return status;
            }
            if (PQntuples(result.get()) > 0) return CheckVersion(result.get());
            return Exec("INSERT INTO " + std::string(kSchemaTable) + " (version) VALUES ($1)",
                        {int64_t{kSchemaVersion}});
        });
    }

    // A server that restarted since the last call leaves a connection that
    // fails once; the call is made again on a new one. Each may be repeated:
    // Start finds its own record, Put writes the same record again.
    DbStatus Start(BoardRecord& record, const SerialRange* range, bool& usedUp) override {
        return Reconnecting([&] { return StartOnce(record, range, usedUp); });
    }
    DbStatus Put(const BoardRecord& record) override {
        return Reconnecting([&] { return PutOnce(record); });
    }
    DbStatus UnfinishedSessions(const std::string& station, std::vector<std::string>& sessions) override {
        return Reconnecting([&] { return UnfinishedSessionsOnce(station, sessions); });
    }
    DbStatus MarkInterrupted(const std::string& station, const std::string& session, const std::string& ended,
                             const std::string& cause, std::size_t& marked) override {
        return Reconnecting([&] { return MarkInterruptedOnce(station, session, ended, cause, marked); });
    }

    DbStatus StartOnce(BoardRecord& record, const SerialRange* range, bool& usedUp) {
        usedUp = false;
        return InTransaction([&]() -> DbStatus {
            if (range != nullptr) {
                if (DbStatus status = Exec("SELECT pg_advisory_xact_lock($1)", {kAllocationLock}); !status.Ok()) {
                    return status;
                }
            }
            Result known;
            if (DbStatus status = Exec("SELECT serial FROM " + std::string(kRecordsTable) + " WHERE id = $1",
                                       {record.id}, &known);
                !status.Ok()) {
                return status;
            }
            if (PQntuples(known.get()) > 0) {
                if (const auto serial = Integer(known.get(), 0, 0)) record.serial = static_cast<uint64_t>(*serial);
                return {};
            }
            if (range != nullptr) {
                // Read after the lock is held: under READ COMMITTED this
                // statement sees every number the previous holder committed.
                Result highest;
                if (DbStatus status = Exec("SELECT max(serial) FROM " + std::string(kRecordsTable) +
                                               " WHERE serial BETWEEN $1 AND $2",
                                           {static_cast<int64_t>(range->first), static_cast<int64_t>(range->last)},
                                           &highest);
                    !status.Ok()) {
                    return status;
                }
                const std::optional<int64_t> given = Integer(highest.get(), 0, 0);
                if (given && static_cast<uint64_t>(*given) >= range->last) {
                    usedUp = true;
                    return {};
                }
                record.serial = given ? static_cast<uint64_t>(*given) + 1 : range->first;
            }
            return Exec(InsertSql(kDialect), ColumnValues(record));
        });
    }

    DbStatus PutOnce(const BoardRecord& record) {
        if (DbStatus status = Connected(); !status.Ok()) return status;
        return Exec(UpsertSql(kDialect), ColumnValues(record));
    }

    DbStatus UnfinishedSessionsOnce(const std::string& station, std::vector<std::string>& sessions) {
        sessions.clear();
        if (DbStatus status = Connected(); !status.Ok()) return status;
        Result result;
        DbStatus status = Exec("SELECT DISTINCT session FROM " + std::string(kRecordsTable) +
                                   " WHERE station = $1 AND outcome = $2",
                               {station, std::string(OutcomeText(Outcome::Started))}, &result);
        if (!status.Ok()) return status;
        for (int row = 0; row < PQntuples(result.get()); ++row) sessions.emplace_back(PQgetvalue(result.get(), row, 0));
        return {};
    }

    DbStatus MarkInterruptedOnce(const std::string& station, const std::string& session, const std::string& ended,
                                 const std::string& cause, std::size_t& marked) {
        marked = 0;
        if (DbStatus status = Connected(); !status.Ok()) return status;
        Result result;
        DbStatus status = Exec("UPDATE " + std::string(kRecordsTable) +
                                   " SET outcome = $1, ended = $2, cause = $3"
                                   " WHERE station = $4 AND session = $5 AND outcome = $6",
                               {std::string(OutcomeText(Outcome::Interrupted)), ended, cause, station, session,
                                std::string(OutcomeText(Outcome::Started))},
                               &result);
        if (status.Ok()) marked = std::strtoull(PQcmdTuples(result.get()), nullptr, 10);
        return status;
    }

    DbStatus ForEach(const std::optional<std::string>& since,
                     const std::function<void(const BoardRecord&)>& visit) override {
        if (DbStatus status = Connected(); !status.Ok()) return status;
        const std::string sql = "SELECT " + SelectColumnsSql(kDialect) + " FROM " + std::string(kRecordsTable) +
                                (since ? " WHERE started >= $1" : "") + " ORDER BY started, id";
        std::vector<ColumnValue> parameters;
        if (since) parameters.emplace_back(*since);
        // Row by row, so that a large export does not sit in memory whole.
        Parameters bound(parameters);
        if (!PQsendQueryParams(m_conn, sql.c_str(), bound.Count(), nullptr, bound.Values(), nullptr, nullptr, 0) ||
            !PQsetSingleRowMode(m_conn)) {
            return Failure(nullptr);
        }
        DbStatus status;
        std::vector<ColumnValue> values(RecordColumns().size());
        while (Result result{PQgetResult(m_conn)}) {
            const ExecStatusType type = PQresultStatus(result.get());
            if (type == PGRES_SINGLE_TUPLE) {
                for (std::size_t i = 0; i < values.size(); ++i) values[i] = Value(result.get(), static_cast<int>(i));
                if (const std::optional<BoardRecord> record = RecordFromColumns(values)) visit(*record);
            } else if (type != PGRES_TUPLES_OK && status.Ok()) {
                status = Failure(result.get());
            }
        }
        return status;
    }

    DbStatus Connected() {
        if (m_conn != nullptr && PQstatus(m_conn) == CONNECTION_OK) return {};
        PQfinish(m_conn);
        std::vector<const char*> keywords;
        std::vector<const char*> values;
        for (const auto& option : kConnectOptions) {
            keywords.push_back(option[0]);
            values.push_back(option[1]);
        }
        // Last, so that what the URL says wins over the defaults above.
        keywords.push_back("dbname");
        values.push_back(m_url.c_str());
        keywords.push_back(nullptr);
        values.push_back(nullptr);
        m_conn = PQconnectdbParams(keywords.data(), values.data(), 1);
        if (m_conn == nullptr) return DbStatus::Unavailable("out of memory");
        if (PQstatus(m_conn) != CONNECTION_OK) return DbStatus::Unavailable(OneLine(PQerrorMessage(m_conn)));
        // The server's notices ("already exists, skipping") are not the
        // station's business.
        PQsetNoticeProcessor(m_conn, [](void*, const char*) {}, nullptr);
        for (const char* setting : kSessionSettings) {
            if (DbStatus status = Exec(setting, {}); !status.Ok()) return status;
        }
        m_identity = std::string("postgresql://") + PQuser(m_conn) + "@" + PQhost(m_conn) + ":" + PQport(m_conn) +
                     "/" + PQdb(m_conn);
        return {};
    }

private:
    // Text parameters (NULL for a missing value): the server converts them
    // to the column's type.
    class Parameters {
    public:
        explicit Parameters(const std::vector<ColumnValue>& values) {
            m_texts.reserve(values.size());
            for (const ColumnValue& value : values) {
                if (const auto* number = std::get_if<int64_t>(&value)) {
                    m_texts.emplace_back(std::to_string(*number));
                } else if (const auto* text = std::get_if<std::string>(&value)) {
                    m_texts.emplace_back(*text);
                } else {
                    m_texts.emplace_back();
                }
            }
            for (const auto& text : m_texts) m_pointers.push_back(text ? text->c_str() : nullptr);
        }
        int Count() const { return static_cast<int>(m_pointers.size()); }
        const char* const* Values() const { return m_pointers.data(); }

    private:
        std::vector<std::optional<std::string>> m_texts;
        std::vector<const char*> m_pointers;
    };

    DbStatus Exec(const std::string& sql, const std::vector<ColumnValue>& parameters, Result* reply = nullptr) {
        const Parameters bound(parameters);
        Result result{PQexecParams(m_conn, sql.c_str(), bound.Count(), nullptr, bound.Values(), nullptr, nullptr, 0)};
        const ExecStatusType type = result ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
        if (type != PGRES_COMMAND_OK && type != PGRES_TUPLES_OK) return Failure(result.get());
        if (reply != nullptr) *reply = std::move(result);
        return {};
    }

    // Lost connections, a server shutting down or starting, too many
    // clients, a lock not had in time, a conflict between transactions: all
    // pass. Anything else is the server's considered no.
    DbStatus Failure(const PGresult* result) {
        const std::string cause = OneLine(result != nullptr ? PQresultErrorMessage(result) : PQerrorMessage(m_conn));
        const char* field = result != nullptr ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
        const std::string_view state = field != nullptr ? field : "";
        const bool transient = PQstatus(m_conn) != CONNECTION_OK || state.empty() || state.substr(0, 2) == "08" ||
                               state.substr(0, 3) == "57P" || state.substr(0, 2) == "53" || state == "55P03" ||
                               state == "40001" || state == "40P01";
        return transient ? DbStatus::Unavailable(cause.empty() ? "the connection failed" : cause)
                         : DbStatus::Refused(cause);
    }

    template <typename Call>
    DbStatus Reconnecting(Call call) {
        const bool wasConnected = m_conn != nullptr && PQstatus(m_conn) == CONNECTION_OK;
        DbStatus status = call();
        if (status.kind == DbStatus::Kind::Unavailable && wasConnected && PQstatus(m_conn) != CONNECTION_OK) {
            status = call();
        }
        return status;
    }

    template <typename Body>
    DbStatus InTransaction(Body body) {
        if (DbStatus status = Connected(); !status.Ok()) return status;
        DbStatus status = Exec("BEGIN", {});
        if (status.Ok()) status = body();
        if (status.Ok()) status = Exec("COMMIT", {});
        if (PQstatus(m_conn) == CONNECTION_OK && PQtransactionStatus(m_conn) != PQTRANS_IDLE) Exec("ROLLBACK", {});
        return status;
    }

    static ColumnValue Value(const PGresult* result, int column) {
        if (PQgetisnull(result, 0, column)) return {};
        const char* text = PQgetvalue(result, 0, column);
        const std::string_view name = RecordColumns()[static_cast<std::size_t>(column)];
        if (IsIntegerColumn(name)) {
            int64_t number = 0;
            const std::size_t length = static_cast<std::size_t>(PQgetlength(result, 0, column));
            if (std::from_chars(text, text + length, number).ec == std::errc()) return number;
            return {};
        }
        return std::string(text, static_cast<std::size_t>(PQgetlength(result, 0, column)));
    }

    static std::optional<int64_t> Integer(const PGresult* result, int row, int column) {
        if (PQntuples(result) <= row || PQgetisnull(result, row, column)) return std::nullopt;
        const char* text = PQgetvalue(result, row, column);
        int64_t number = 0;
        const std::size_t length = static_cast<std::size_t>(PQgetlength(result, row, column));
        if (std::from_chars(text, text + length, number).ec != std::errc()) return std::nullopt;
        return number;
    }

    DbStatus CheckVersion(const PGresult* result) {
        const std::optional<int64_t> version = Integer(result, 0, 0);
        if (!version) return DbStatus::Refused("its schema version is not a number");
        if (*version > kSchemaVersion) return DbStatus::Refused(SchemaNewerText(*version));
        return {};
    }

    std::string m_url;
    PGconn* m_conn = nullptr;
    std::string m_identity;
};

}  // namespace

std::unique_ptr<Database> OpenPostgres(const std::string& url, OpenMode mode, DbStatus& status) {
    auto database = std::make_unique<PostgresDatabase>(url);
    status = database->Prepare(mode);
    if (!status.Ok()) return nullptr;
    return database;
}

}  // namespace dravel::records
