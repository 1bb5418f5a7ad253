#include "records/board_record.h"

#include <array>
#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "records/serial_numbers.h"

namespace dravel::records {

namespace {

constexpr std::array<std::string_view, 17> kColumns = {
    "id",      "serial",  "station", "session", "port",    "device",   "board", "image",   "sha256",
    "unstamped_sha256",   "started", "ended",   "outcome", "cause",    "attempts", "banner", "version"};

constexpr std::array<std::string_view, 4> kOutcomes = {"started", "passed", "failed", "interrupted"};

ColumnValue Text(const std::string& text) { return text; }
ColumnValue TextOrNull(const std::string& text) { return text.empty() ? ColumnValue{} : ColumnValue{text}; }

// A NULL text column reads as empty: rows written by other tools may leave
// optional texts out.
bool ReadText(const ColumnValue& value, std::string& text) {
    if (std::holds_alternative<std::monostate>(value)) {
        text.clear();
        return true;
    }
    if (const auto* held = std::get_if<std::string>(&value)) {
        text = *held;
        return true;
    }
    return false;
}

bool ReadInteger(const ColumnValue& value, std::optional<int64_t>& number) {
    if (std::holds_alternative<std::monostate>(value)) {
        number.reset();
        return true;
    }
    if (const auto* held = std::get_if<int64_t>(&value)) {
        number = *held;
        return true;
    }
    return false;
}

// Reads an unsigned decimal field of a time stamp, exactly `digits` long.
bool TakeDigits(std::string_view& text, std::size_t digits, int& value) {
    if (text.size() < digits) return false;
    value = 0;
    for (std::size_t i = 0; i < digits; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + (text[i] - '0');
    }
    text.remove_prefix(digits);
    return true;
}

bool TakeChar(std::string_view& text, std::string_view allowed) {
    if (text.empty() || allowed.find(text.front()) == std::string_view::npos) return false;
    text.remove_prefix(1);
    return true;
}

std::string FormatTime(int year, unsigned month, unsigned day, int hour, int minute, int second, int millisecond) {
    char text[80];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", year, month, day, hour, minute, second,
                  millisecond);
    return text;
}

// The length of the valid UTF-8 sequence at the start of `text`, or 0.
std::size_t Utf8Length(std::string_view text) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    if (lead >= 0x01 && lead < 0x80) return 1;
    std::size_t length = 0;
    uint32_t lowest = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        lowest = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        lowest = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        lowest = 0x10000;
    } else {
        return 0;
    }
    if (text.size() < length) return 0;
    uint32_t point = lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) return 0;
        point = (point << 6) | (byte(i) & 0x3F);
    }
    if (point < lowest || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) return 0;
    return length;
}

void MakeText(std::string& text, std::size_t longest) {
    std::string clean;
    clean.reserve(text.size());
    std::string_view rest = text;
    while (!rest.empty()) {
        const std::size_t length = Utf8Length(rest);
        const std::string_view piece = length > 0 ? rest.substr(0, length) : std::string_view("\xEF\xBF\xBD");
        if (clean.size() + piece.size() > longest) break;
        clean += piece;
        rest.remove_prefix(length > 0 ? length : 1);
    }
    text = std::move(clean);
}

void WriteCsvField(std::ostream& out, const ColumnValue& value) {
    if (const auto* number = std::get_if<int64_t>(&value)) {
        out << *number;
        return;
    }
    const auto* text = std::get_if<std::string>(&value);
    if (text == nullptr) return;
    if (text->find_first_of(",\"\r\n") == std::string::npos) {
        out << *text;
        return;
    }
    out << '"';
    for (const char c : *text) {
        if (c == '"') out << '"';
        out << c;
    }
    out << '"';
}

}  // namespace

void MakeStorable(BoardRecord& record) {
    for (std::string* text : {&record.id, &record.station, &record.session, &record.port, &record.device,
                              &record.image, &record.sha256, &record.unstampedSha256, &record.started, &record.ended,
                              &record.version}) {
        MakeText(*text, SIZE_MAX);
    }
    MakeText(record.banner, kLongestBoardText);
    MakeText(record.cause, kLongestBoardText);
}

std::string_view OutcomeText(Outcome outcome) { return kOutcomes[static_cast<std::size_t>(outcome)]; }

std::optional<Outcome> ParseOutcome(std::string_view text) {
    for (std::size_t i = 0; i < kOutcomes.size(); ++i) {
        if (kOutcomes[i] == text) return static_cast<Outcome>(i);
    }
    return std::nullopt;
}

std::string UtcNow() {
    using namespace std::chrono;
    const auto now = floor<milliseconds>(system_clock::now());
    const auto today = floor<days>(now);
    const year_month_day date{today};
    const hh_mm_ss time{now - today};
    return FormatTime(static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                      static_cast<unsigned>(date.day()), static_cast<int>(time.hours().count()),
                      static_cast<int>(time.minutes().count()), static_cast<int>(time.seconds().count()),
                      static_cast<int>(time.subseconds().count()));
}

std::optional<std::string> ParseSince(std::string_view text, std::string& error) {
    std::string_view rest = text;
    int year = 0;
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;
    bool good = TakeDigits(rest, 4, year) && TakeChar(rest, "-") && TakeDigits(rest, 2, month) &&
                TakeChar(rest, "-") && TakeDigits(rest, 2, day);
    if (good && TakeChar(rest, "T ")) {
        good = TakeDigits(rest, 2, hour) && TakeChar(rest, ":") && TakeDigits(rest, 2, minute);
        if (good && TakeChar(rest, ":")) {
            good = TakeDigits(rest, 2, second);
            if (good && TakeChar(rest, ".")) {
                // Milliseconds are what the records hold; finer digits are cut.
                std::size_t digits = 0;
                int scale = 100;
                while (!rest.empty() && rest.front() >= '0' && rest.front() <= '9') {
                    if (digits++ < 3) {
                        millisecond += (rest.front() - '0') * scale;
                        scale /= 10;
                    }
                    rest.remove_prefix(1);
                }
                good = digits > 0;
            }
        }
    }
    if (good) TakeChar(rest, "Z");
    const std::chrono::year_month_day date{std::chrono::year(year), std::chrono::month(static_cast<unsigned>(month)),
                                           std::chrono::day(static_cast<unsigned>(day))};
    if (!good || !rest.empty() || !date.ok() || hour > 23 || minute > 59 || second > 59) {
        error = "--since \"" + std::string(text) + "\": expected a UTC time as YYYY-MM-DD or YYYY-MM-DDTHH:MM:SS";
        return std::nullopt;
    }
    return FormatTime(year, static_cast<unsigned>(month), static_cast<unsigned>(day), hour, minute, second,
                      millisecond);
}

std::span<const std::string_view> RecordColumns() { return kColumns; }

bool IsTimeColumn(std::string_view column) { return column == "started" || column == "ended"; }

std::vector<ColumnValue> ColumnValues(const BoardRecord& record) {
    return {Text(record.id),
            record.serial ? ColumnValue{static_cast<int64_t>(*record.serial)} : ColumnValue{},
            Text(record.station),
            Text(record.session),
            Text(record.port),
            Text(record.device),
            record.board ? ColumnValue{*record.board} : ColumnValue{},
            Text(record.image),
            Text(record.sha256),
            Text(record.unstampedSha256),
            Text(record.started),
            TextOrNull(record.ended),
            Text(std::string(OutcomeText(record.outcome))),
            Text(record.cause),
            ColumnValue{record.attempts},
            Text(record.banner),
            Text(record.version)};
}

std::optional<BoardRecord> RecordFromColumns(std::span<const ColumnValue> values) {
    if (values.size() != kColumns.size()) return std::nullopt;
    BoardRecord record;
    std::optional<int64_t> serial;
    std::optional<int64_t> attempts;
    std::string outcome;
    const bool read = ReadText(values[0], record.id) && ReadInteger(values[1], serial) &&
                      ReadText(values[2], record.station) && ReadText(values[3], record.session) &&
                      ReadText(values[4], record.port) && ReadText(values[5], record.device) &&
                      ReadInteger(values[6], record.board) && ReadText(values[7], record.image) &&
                      ReadText(values[8], record.sha256) && ReadText(values[9], record.unstampedSha256) &&
                      ReadText(values[10], record.started) && ReadText(values[11], record.ended) &&
                      ReadText(values[12], outcome) && ReadText(values[13], record.cause) &&
                      ReadInteger(values[14], attempts) && ReadText(values[15], record.banner) &&
                      ReadText(values[16], record.version);
    if (!read || record.id.empty() || record.station.empty() || record.started.empty()) return std::nullopt;
    if (serial) {
        if (*serial < 0) return std::nullopt;
        record.serial = static_cast<uint64_t>(*serial);
    }
    record.attempts = attempts.value_or(0);
    const std::optional<Outcome> parsed = ParseOutcome(outcome);
    if (!parsed) return std::nullopt;
    record.outcome = *parsed;
    return record;
}

std::string ToJson(const BoardRecord& record) {
    const std::vector<ColumnValue> values = ColumnValues(record);
    nlohmann::ordered_json object = nlohmann::ordered_json::object();
    for (std::size_t i = 0; i < kColumns.size(); ++i) {
        const std::string name(kColumns[i]);
        if (const auto* number = std::get_if<int64_t>(&values[i])) {
            object[name] = *number;
        } else if (const auto* text = std::get_if<std::string>(&values[i])) {
            object[name] = *text;
        } else {
            object[name] = nullptr;
        }
    }
    // Texts from a board or the file system need not be UTF-8.
    return object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

std::optional<BoardRecord> FromJson(std::string_view line) {
    const nlohmann::json object = nlohmann::json::parse(line, nullptr, false);
    if (!object.is_object()) return std::nullopt;
    std::vector<ColumnValue> values(kColumns.size());
    for (std::size_t i = 0; i < kColumns.size(); ++i) {
        const auto found = object.find(std::string(kColumns[i]));
        if (found == object.end() || found->is_null()) continue;
        if (found->is_string()) {
            values[i] = found->get<std::string>();
        } else if (found->is_number_integer() && !found->is_number_unsigned()) {
            values[i] = found->get<int64_t>();
        } else if (found->is_number_unsigned() && found->get<uint64_t>() <= kLargestSerial) {
            values[i] = static_cast<int64_t>(found->get<uint64_t>());
        } else {
            return std::nullopt;
        }
    }
    return RecordFromColumns(values);
}

std::optional<ExportFormat> ParseExportFormat(std::string_view text) {
    if (text == "csv") return ExportFormat::Csv;
    if (text == "jsonl") return ExportFormat::Jsonl;
    return std::nullopt;
}

void WriteCsvHeader(std::ostream& out) {
    for (std::size_t i = 0; i < kColumns.size(); ++i) out << (i == 0 ? "" : ",") << kColumns[i];
    out << "\r\n";
}

void WriteCsv(std::ostream& out, const BoardRecord& record) {
    const std::vector<ColumnValue> values = ColumnValues(record);
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i > 0) out << ',';
        WriteCsvField(out, values[i]);
    }
    out << "\r\n";
}

void WriteJsonl(std::ostream& out, const BoardRecord& record) { out << ToJson(record) << '\n'; }

}  // namespace dravel::records
