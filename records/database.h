// Inside the records room: one database holding the records, whichever
// engine it is. SQLite (a file, one machine) and PostgreSQL (a server shared
// by many machines) implement it; Records and ExportRecords are its only
// users.
//
// What an implementation owns: one connection, made again after it broke.
// The schema (one table of records, one of the schema version) is made on
// first use when asked to; values only ever travel as bound parameters.
//
// Threads: one at a time (Records holds a mutex around every call).
//
// Failures: every call returns a DbStatus. Unavailable means the database
// could not be reached or was busy beyond waiting (a retry later may work);
// Refused means it answered and said no (a retry will not help). A failed
// call leaves no transaction open.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "records/board_record.h"
#include "records/serial_numbers.h"

namespace dravel::records {

struct DbStatus {
    enum class Kind { Ok, Unavailable, Refused };
    Kind kind = Kind::Ok;
    std::string cause;

    bool Ok() const { return kind == Kind::Ok; }
    static DbStatus Unavailable(std::string why) { return {Kind::Unavailable, std::move(why)}; }
    static DbStatus Refused(std::string why) { return {Kind::Refused, std::move(why)}; }
};

class Database {
public:
    virtual ~Database() = default;

    // The same text for the same database however it was named (journals
    // are kept per database), and without a password.
    virtual std::string Identity() const = 0;

    // In one transaction: the next number of `range` never given in this
    // database (when a range is given) and the record, as started. A record
    // whose id is there already was started by an earlier call whose commit
    // went unheard: its number is the answer. `usedUp`: the range has no
    // number left, and nothing was written.
    virtual DbStatus Start(BoardRecord& record, const SerialRange* range, bool& usedUp) = 0;

    // Writes the record whole, over the one with its id if there is one.
    virtual DbStatus Put(const BoardRecord& record) = 0;

    // The sessions that have records of `station` still started.
    virtual DbStatus UnfinishedSessions(const std::string& station, std::vector<std::string>& sessions) = 0;
    virtual DbStatus MarkInterrupted(const std::string& station, const std::string& session,
                                     const std::string& ended, const std::string& cause, std::size_t& marked) = 0;

    // Every record started at or after `since` (all without it), in the
    // order they started.
    virtual DbStatus ForEach(const std::optional<std::string>& since,
                             const std::function<void(const BoardRecord&)>& visit) = 0;
};

enum class OpenMode {
    Create,   // make the file and the schema if missing
    Existing  // only read what is there
};

// Nothing, with the cause in `status`, when the database cannot be opened.
std::unique_ptr<Database> OpenSqlite(const std::string& path, OpenMode mode, DbStatus& status);
// In a build without libpq this says so.
std::unique_ptr<Database> OpenPostgres(const std::string& url, OpenMode mode, DbStatus& status);

// By the URL's form: postgresql:// or postgres:// is a server, anything
// else a file.
bool IsPostgresUrl(std::string_view url);
std::unique_ptr<Database> OpenDatabase(const std::string& url, OpenMode mode, DbStatus& status);

// The SQL both engines share, written from RecordColumns() so that the
// column order is the record's.
inline constexpr int kSchemaVersion = 1;
inline constexpr std::string_view kRecordsTable = "dravel_records";
inline constexpr std::string_view kSchemaTable = "dravel_schema";

struct SqlDialect {
    std::string_view integerType;
    std::string_view timeType;
    // The text of the n-th bound parameter, counted from 1.
    std::string (*parameter)(int n);
    // How a column is read back; time columns may need formatting.
    std::string (*selectColumn)(std::string_view column);
};

bool IsIntegerColumn(std::string_view column);
std::vector<std::string> CreateSchemaSql(const SqlDialect& dialect);
std::string InsertSql(const SqlDialect& dialect);  // parameters 1..N in column order
std::string UpsertSql(const SqlDialect& dialect);
std::string SelectColumnsSql(const SqlDialect& dialect);  // "a, b, ..."
std::string SchemaNewerText(long long version);

}  // namespace dravel::records
