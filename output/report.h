// --report: one JSON object per transfer, appended to a file as one line, so
// a production line keeps a record of which image went to which board.
//
// What it owns: the report file, opened for appending before the transfer so
// that an unwritable report stops the run before the line is touched. The
// object is written with one call at the end; several processes (a gang)
// may append to the same file.
//
// ImageDigest reads the image once, ahead of the transfer, for its size and
// its SHA-256 (libgcrypt); a pipe has neither.
//
// TransferRecord gathers the record while the transfer runs: its calls may
// come from any of the transfer's threads (it takes its own lock), and
// Finish() appends it once, whichever way the process ends.
//
// Failures: Open and DigestImage answer false with the system's words; a
// write that fails once the file is open loses that line and nothing else.
#pragma once

#include <cstdint>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "protocol/transfer.h"

namespace dravel::output {

struct ImageDigest {
    std::optional<uint64_t> size;
    std::optional<std::string> sha256;  // lower-case hex
    // The reader that made the image ("bin", "ihex", "srec", "elf"), the
    // address of its first byte, and the digest of the file as given.
    std::optional<std::string> format{};
    std::optional<uint64_t> base{};
    std::optional<std::string> sourceSha256{};
};

// False with the cause in `error` when the file cannot be read to its end.
bool DigestImage(const std::string& path, ImageDigest& digest, std::string& error);

// SHA-256 of bytes in memory, lower-case hex; empty if the library fails.
std::string Sha256Hex(std::span<const uint8_t> bytes);

// How the report and the events write an address: "0x08000000".
nlohmann::ordered_json AddressJson(const std::optional<uint64_t>& address);

struct ReportRecord {
    std::string start;  // ISO 8601, UTC
    std::string port;   // as given on the command line
    std::string device;
    std::string image;
    ImageDigest digest;
    int kind = 2;
    int32_t frames = 0;
    int32_t resends = 0;
    int32_t noAnswers = 0;
    uint64_t payloadBytes = 0;
    double seconds = 0.0;
    std::string outcome;
    int exitCode = 0;
    std::optional<int> board;  // the board's number in a watch
    std::optional<uint64_t> serial;  // the serial number the records gave the board
    std::optional<int> attempts;        // with a board's attempts
    std::optional<std::string> banner;  // the line that confirmed the firmware
};

// The record as one line of JSON, without the line feed.
std::string ToJson(const ReportRecord& record);

class ReportFile {
public:
    ReportFile() = default;
    ~ReportFile();
    ReportFile(const ReportFile&) = delete;
    ReportFile& operator=(const ReportFile&) = delete;

    bool Open(const std::string& path, std::string& error);
    bool IsOpen() const { return m_file != nullptr; }
    void Append(const ReportRecord& record);

private:
    std::FILE* m_file = nullptr;
};

// What the report says of one transfer, gathered while it runs.
class TransferRecord {
public:
    // `identity`: the port, the device, the image, the kind and the board;
    // the start is now.
    explicit TransferRecord(ReportRecord identity);

    void SetDigest(const ImageDigest& digest);
    void SetSerial(uint64_t serial);
    void Progress(const TransferProgress& progress);
    // A message-box text: the last one is the outcome.
    void Box(std::string_view text);
    void Cause(std::string_view text);
    void Attempt(int attempt);
    void Banner(std::string_view line);
    // The tool's own result text and the last cause so far.
    std::string Outcome();
    std::string LastCause();
    // Once; later calls do nothing. `outcomeIfNoBox` stands for the result
    // text when no box was shown.
    void Finish(ReportFile& file, int exitCode, std::string_view outcomeIfNoBox);

private:
    std::mutex m_mutex;
    ReportRecord m_record;
    std::chrono::steady_clock::time_point m_began;
    bool m_finished = false;
    std::string m_lastCause;
};

}  // namespace dravel::output
