// --json: standard output as a stream of events for station software, one
// JSON object per line, in place of the texts meant for people.
//
//   {"event":"open","port":"/dev/ttyUSB0","t":0.012,"schema":"dravel-events/1","device":"/dev/ttyUSB0"}
//   {"event":"progress","port":"/dev/ttyUSB0","t":0.5,"blocks":12,"total":40,"bytes":12288,"rate":11300.2,"eta":2.5}
//
// Every event has `event`, `port` (the device as given or as found) and `t`,
// seconds since the program started; the first line of a stream also names
// the format in `schema`. docs/cli.md lists the events and their fields.
//
// EventStream owns the writing: one whole line per call, under a lock, so
// events of several threads never tear. A parent (a gang, a watch) passes on
// what its children write with PassOn(): their `t` is replaced by its own
// clock, so the times of one stream always come from one clock. PassOn takes
// any bytes: what is not one JSON object with an `event`, or is longer than
// any event a child writes, is left out.
//
// TransferEvents turns what one transfer reports (trace events, progress,
// the result) into events. Its calls come from the transfer's threads; it
// takes its own lock. EndEventFields() is the one place the `end` event's
// fields are put together: a transfer's own, and a station's for a child
// that could not say how it ended.
//
// Failures: a stream that cannot be written loses the line; nothing stops.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "protocol/trace.h"
#include "protocol/transfer.h"

namespace dravel::output {

inline constexpr const char* kEventSchema = "dravel-events/1";

// Longer lines from a child are no event of ours.
inline constexpr std::size_t kLongestPassedEvent = 64 * 1024;

// Seconds since the program started (since the first call, made first thing
// in main()).
double ProgramSeconds();

class EventStream {
public:
    explicit EventStream(std::FILE* out = stdout) : m_out(out) {}

    // An event with its name and port; `t` is added, and `schema` on the
    // stream's first line. Fields in `fields` follow in their order.
    void Emit(const std::string& event, const std::string& port, const nlohmann::ordered_json& fields = {});

    // A line a child wrote: false when it is not a JSON object with an
    // `event` (it is then left out). Its `t` becomes this program's, its
    // `schema` goes; `event` is the event's name for the caller to act on.
    bool PassOn(const std::string& line, std::string& event);

private:
    void Write(nlohmann::ordered_json& object);

    std::mutex m_mutex;
    std::FILE* m_out;
    bool m_first = true;
};

// What the end event says of how a transfer ended, from the exit status.
const char* OutcomeName(int exitCode);

// How a transfer ended, as its `end` event tells it.
struct TransferEnd {
    std::optional<int> board;  // a watch's board number
    std::optional<int> attempt;  // with a board's attempts: the one that decided
    int exitCode = 0;
    uint64_t bytes = 0;        // file bytes the device accepted
    double seconds = 0.0;
    int32_t resends = 0;
    std::optional<std::string> sha256;  // of the image, when it was read
    std::optional<std::string> format{};  // the image's reader, its base, the file as given
    std::optional<uint64_t> base{};
    std::optional<std::string> sourceSha256{};
    std::optional<uint64_t> serial{};  // the number the records gave the board
    std::string message;       // the tool's own result text
    std::string cause;         // left out when empty
};

// The `end` event's fields after `event`, `port` and `t`, in their order.
nlohmann::ordered_json EndEventFields(const TransferEnd& end);

class TransferEvents {
public:
    struct Image {
        std::optional<uint64_t> size;
        std::optional<std::string> sha256;
        TransferKind kind = TransferKind::Blocks5;
        std::optional<std::string> format{};
        std::optional<uint64_t> base{};
        std::optional<std::string> sourceSha256{};
    };

    TransferEvents(EventStream& stream, std::string port, std::optional<int> board);

    void SetImage(const Image& image);
    void OnTrace(const TraceEvent& event);
    void OnProgress(const TransferProgress& progress);
    // A board's attempt (1, 2, ...) begins: every later event carries it.
    void SetAttempt(int attempt);
    // The serial number the records gave the board: the end event carries it.
    void SetSerial(uint64_t serial);
    // The line with which the board confirmed its new firmware.
    void Boot(const std::string& line);
    // Once; later calls do nothing. `message` is the tool's own result text.
    void End(int exitCode, const std::string& message, const std::string& cause);

private:
    nlohmann::ordered_json Fields() const;
    void EmitProgress(const TransferProgress& progress, std::chrono::steady_clock::time_point now);

    using Clock = std::chrono::steady_clock;

    std::mutex m_mutex;
    EventStream& m_stream;
    const std::string m_port;
    const std::optional<int> m_board;
    std::optional<int> m_attempt;
    std::optional<uint64_t> m_serial;
    Image m_image;
    Clock::time_point m_began;
    std::optional<Clock::time_point> m_synchronisedAt;
    Clock::time_point m_lastProgress{};
    int32_t m_lastBlocksShown = -1;
    TransferProgress m_latest;
    const char* m_pendingCause = "other";  // what the next resend is for
    bool m_ended = false;
};

}  // namespace dravel::output
