// Intel HEX and Motorola S-records: one record per line, hex digits with a
// checksum, read into runs of consecutive records.
#include <cstring>
#include <optional>
#include <string_view>

#include "image/segments.h"

namespace dravel {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// Calls visit(number, line) for each line, without its LF or CR LF and the
// blanks around it, until visit returns false.
template <typename Visit>
void ForEachLine(std::span<const uint8_t> text, Visit visit) {
    std::size_t at = 0;
    for (uint64_t number = 1; at < text.size(); ++number) {
        const char* begin = reinterpret_cast<const char*>(text.data()) + at;
        const std::size_t rest = text.size() - at;
        const void* lineFeed = std::memchr(begin, '\n', rest);
        const std::size_t length = lineFeed ? static_cast<const char*>(lineFeed) - begin : rest;
        at += length + (lineFeed ? 1 : 0);
        std::string_view line(begin, length);
        while (!line.empty() && IsBlank(line.front())) line.remove_prefix(1);
        while (!line.empty() && IsBlank(line.back())) line.remove_suffix(1);
        if (!visit(number, line)) return;
    }
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool AllHex(std::string_view digits) {
    for (const char c : digits) {
        if (HexValue(c) < 0) return false;
    }
    return true;
}

// The digits as bytes; otherwise what is wrong with them.
bool DecodeHex(std::string_view digits, std::vector<uint8_t>& bytes, std::string& problem) {
    for (const char c : digits) {
        if (HexValue(c) < 0) {
            const auto byte = static_cast<uint8_t>(c);
            problem = byte > ' ' && byte < 0x7F ? "'" + std::string(1, c) + "' is not a hex digit"
                                                : "byte " + ByteText(byte) + " is not a hex digit";
            return false;
        }
    }
    if (digits.size() % 2 != 0) {
        problem = "odd number of hex digits";
        return false;
    }
    bytes.resize(digits.size() / 2);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<uint8_t>(HexValue(digits[2 * i]) << 4 | HexValue(digits[2 * i + 1]));
    }
    return true;
}

uint8_t Sum(std::span<const uint8_t> bytes) {
    unsigned sum = 0;
    for (const uint8_t b : bytes) sum += b;
    return static_cast<uint8_t>(sum);
}

uint64_t BigEndian(std::span<const uint8_t> bytes) {
    uint64_t value = 0;
    for (const uint8_t b : bytes) value = value << 8 | b;
    return value;
}

// Records that continue the one before, on the next line with as many bytes,
// grow one segment, which still knows the line of each of its bytes.
class Runs {
public:
    void Add(uint64_t address, std::span<const uint8_t> data, uint64_t line) {
        if (data.empty()) return;
        if (!m_segments.empty()) {
            Segment& last = m_segments.back();
            const std::size_t have = last.bytes.size();
            if (last.address + have == address && have % last.recordSize == 0 && data.size() <= last.recordSize &&
                line == last.line + have / last.recordSize) {
                last.bytes.insert(last.bytes.end(), data.begin(), data.end());
                return;
            }
        }
        m_segments.push_back(Segment{address, {data.begin(), data.end()}, {}, line, data.size()});
    }
    std::vector<Segment> Take() { return std::move(m_segments); }

private:
    std::vector<Segment> m_segments;
};

// What both formats share: a line's digits to a record's bytes, the data
// kept in runs, and the refusal that names the line and an address (where
// the data so far ends, for a line that gives none).
class RecordReader {
public:
    // Decodes the line's digits; false when refused.
    bool Start(uint64_t line, std::string_view digits) {
        m_line = line;
        std::string problem;
        return DecodeHex(digits, m_record, problem) || Malformed(problem);
    }
    const std::vector<uint8_t>& Record() const { return m_record; }

    bool Refuse(const std::string& cause, std::optional<uint64_t> address = {}) {
        m_error = "line " + std::to_string(m_line) + ", address " + AddressText(address.value_or(m_next)) + ": " +
                  cause;
        return false;
    }
    bool Malformed(const std::string& cause, std::optional<uint64_t> address = {}) {
        return Refuse("malformed record: " + cause, address);
    }
    bool Checked(uint64_t address, uint8_t found, uint8_t wanted) {
        if (found != wanted) {
            return Refuse("bad checksum " + ByteText(found) + " (the record's bytes need " + ByteText(wanted) + ")",
                          address);
        }
        return m_endLine == 0 || Refuse("data after the end record (line " + std::to_string(m_endLine) + ")", address);
    }
    void Data(uint64_t address, std::span<const uint8_t> data) {
        m_runs.Add(address, data, m_line);
        m_next = address + data.size();
    }
    void End() { m_endLine = m_line; }
    ReadResult Finish() {
        if (m_error.empty() && m_endLine == 0) Refuse("the file ends without an end record (truncated?)");
        if (!m_error.empty()) return ReadResult{{}, m_error};
        return ReadResult{m_runs.Take(), {}};
    }

private:
    std::vector<uint8_t> m_record;
    uint64_t m_line = 0;
    uint64_t m_endLine = 0;
    uint64_t m_next = 0;
    Runs m_runs;
    std::string m_error;
};

}  // namespace

ReadResult ReadIntelHex(std::span<const uint8_t> text) {
    RecordReader reader;
    uint64_t segmentBase = 0;  // type 02, paragraphs
    uint64_t linearBase = 0;   // type 04, upper 16 bits
    ForEachLine(text, [&](uint64_t number, std::string_view line) {
        if (line.empty()) return true;
        const bool marked = line.front() == ':';
        if (!reader.Start(number, marked ? line.substr(1) : std::string_view())) return false;
        if (!marked) return reader.Refuse("not an Intel HEX record");
        const std::vector<uint8_t>& record = reader.Record();
        if (record.size() < 5) return reader.Malformed("too short");
        const std::size_t length = record[0];
        if (record.size() != length + 5) {
            return reader.Malformed("its length byte says " + std::to_string(length) + " data bytes, the line holds " +
                                    std::to_string(record.size() - 5));
        }
        // Both bases apply together, as binutils reads them.
        const uint64_t address = linearBase + segmentBase + BigEndian(std::span(record).subspan(1, 2));
        const uint8_t type = record[3];
        const std::span<const uint8_t> data = std::span(record).subspan(4, length);
        if (!reader.Checked(address, record.back(), static_cast<uint8_t>(-Sum(std::span(record).first(length + 4))))) {
            return false;
        }
        const std::size_t wanted[] = {length, 0, 2, 4, 2, 4};
        if (type > 5) return reader.Malformed("unknown record type " + ByteText(type), address);
        if (length != wanted[type]) {
            return reader.Malformed("type " + ByteText(type) + " needs " + std::to_string(wanted[type]) +
                                        " data bytes, not " + std::to_string(length),
                                    address);
        }
        switch (type) {
        case 0: reader.Data(address, data); break;
        case 1: reader.End(); break;
        case 2: segmentBase = BigEndian(data) << 4; break;
        case 4: linearBase = BigEndian(data) << 16; break;
        default: break;  // start addresses: the device knows its own
        }
        return true;
    });
    return reader.Finish();
}

ReadResult ReadSrec(std::span<const uint8_t> text) {
    RecordReader reader;
    uint64_t dataRecords = 0;
    ForEachLine(text, [&](uint64_t number, std::string_view line) {
        if (line.empty()) return true;
        const bool typed = line.size() >= 2 && line[0] == 'S' && line[1] >= '0' && line[1] <= '9';
        if (!reader.Start(number, typed ? line.substr(2) : std::string_view())) return false;
        if (!typed) return reader.Refuse("not an S-record");
        const int type = line[1] - '0';
        if (type == 4) return reader.Malformed("S4 is not a record type");
        const std::vector<uint8_t>& record = reader.Record();
        if (record.empty() || record.size() != record[0] + 1u) {
            const std::size_t count = record.empty() ? 0 : record[0];
            return reader.Malformed("its count byte says " + std::to_string(count) + " bytes follow, the line holds " +
                                    std::to_string(record.empty() ? 0 : record.size() - 1));
        }
        const std::size_t count = record[0];
        const std::size_t addressBytes[] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};
        const std::size_t width = addressBytes[type];
        if (count < width + 1) return reader.Malformed("too short for its address and checksum");
        const uint64_t address = BigEndian(std::span(record).subspan(1, width));
        const std::span<const uint8_t> data = std::span(record).subspan(1 + width, count - width - 1);
        if (!reader.Checked(address, record.back(), static_cast<uint8_t>(~Sum(std::span(record).first(count))))) {
            return false;
        }
        if (type >= 5 && !data.empty()) {
            return reader.Malformed("S" + std::to_string(type) + " carries no data", address);
        }
        switch (type) {
        case 1: case 2: case 3:
            reader.Data(address, data);
            ++dataRecords;
            break;
        case 5: case 6:
            // The count of the data records before it catches a line lost on the way.
            if (address != (dataRecords & ((uint64_t{1} << (8 * width)) - 1))) {
                return reader.Refuse("the record count says " + std::to_string(address) + ", the file holds " +
                                     std::to_string(dataRecords) + " data records before it");
            }
            break;
        case 7: case 8: case 9: reader.End(); break;
        default: break;  // S0: a header for people
        }
        return true;
    });
    return reader.Finish();
}

namespace {

bool AllLinesAre(std::span<const uint8_t> text, bool (*shape)(std::string_view)) {
    bool any = false;
    bool all = true;
    ForEachLine(text, [&](uint64_t, std::string_view line) {
        if (line.empty()) return true;
        any = true;
        all = shape(line);
        return all;
    });
    return any && all;
}

}  // namespace

bool LooksLikeIntelHex(std::span<const uint8_t> text) {
    return AllLinesAre(text, [](std::string_view line) { return line.front() == ':' && AllHex(line.substr(1)); });
}

bool LooksLikeSrec(std::span<const uint8_t> text) {
    return AllLinesAre(text, [](std::string_view line) {
        return line.size() >= 2 && line[0] == 'S' && line[1] >= '0' && line[1] <= '9' && AllHex(line.substr(2));
    });
}

}  // namespace dravel
