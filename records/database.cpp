#include "records/database.h"

namespace dravel::records {

namespace {

bool Required(std::string_view column) {
    return column == "id" || column == "station" || column == "session" || column == "started" ||
           column == "outcome";
}

std::string Joined(const SqlDialect& dialect, std::string (*each)(const SqlDialect&, std::string_view, int)) {
    std::string text;
    int n = 0;
    for (const std::string_view column : RecordColumns()) {
        if (n > 0) text += ", ";
        text += each(dialect, column, ++n);
    }
    return text;
}

}  // namespace

bool IsPostgresUrl(std::string_view url) {
    return url.substr(0, 13) == "postgresql://" || url.substr(0, 11) == "postgres://";
}

std::unique_ptr<Database> OpenDatabase(const std::string& url, OpenMode mode, DbStatus& status) {
    return IsPostgresUrl(url) ? OpenPostgres(url, mode, status) : OpenSqlite(url, mode, status);
}

bool IsIntegerColumn(std::string_view column) {
    return column == "serial" || column == "board" || column == "attempts";
}

std::vector<std::string> CreateSchemaSql(const SqlDialect& dialect) {
    std::string table = "CREATE TABLE IF NOT EXISTS " + std::string(kRecordsTable) + " (";
    bool first = true;
    for (const std::string_view column : RecordColumns()) {
        table += first ? "" : ", ";
        first = false;
        table += std::string(column) + " ";
        if (IsIntegerColumn(column)) {
            table += dialect.integerType;
        } else if (IsTimeColumn(column)) {
            table += dialect.timeType;
        } else {
            table += "TEXT";
        }
        if (Required(column)) table += " NOT NULL";
        if (column == "id") table += " PRIMARY KEY";
        // The guard of last resort against a number given twice.
        if (column == "serial") table += " UNIQUE";
    }
    table += ")";
    const std::string records(kRecordsTable);
    return {
        "CREATE TABLE IF NOT EXISTS " + std::string(kSchemaTable) + " (version INTEGER NOT NULL)",
        table,
        "CREATE INDEX IF NOT EXISTS " + records + "_by_station ON " + records + " (station, outcome)",
        "CREATE INDEX IF NOT EXISTS " + records + "_by_start ON " + records + " (started)",
    };
}

std::string InsertSql(const SqlDialect& dialect) {
    return "INSERT INTO " + std::string(kRecordsTable) + " (" +
           Joined(dialect, [](const SqlDialect&, std::string_view column, int) { return std::string(column); }) +
           ") VALUES (" +
           Joined(dialect, [](const SqlDialect& d, std::string_view, int n) { return d.parameter(n); }) + ")";
}

std::string UpsertSql(const SqlDialect& dialect) {
    std::string sql = InsertSql(dialect) + " ON CONFLICT (id) DO UPDATE SET ";
    bool first = true;
    for (const std::string_view column : RecordColumns()) {
        if (column == "id") continue;
        sql += first ? "" : ", ";
        first = false;
        sql += std::string(column) + " = excluded." + std::string(column);
    }
    return sql;
}

std::string SelectColumnsSql(const SqlDialect& dialect) {
    return Joined(dialect, [](const SqlDialect& d, std::string_view column, int) { return d.selectColumn(column); });
}

std::string SchemaNewerText(long long version) {
    return "the records database has schema version " + std::to_string(version) + "; this dravel knows up to " +
           std::to_string(kSchemaVersion) + " (a newer dravel made it)";
}

}  // namespace dravel::records
