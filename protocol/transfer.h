// The transfer: synchronise with the device, send the file frame by frame,
// send again what the device did not accept, end with the end frame, report
// the outcome.
//
// One frame, one answer: after every probe or frame the worker arms a window
// timer and waits until the answer classifier or the timer has set the
// transfer status (both run on the user-interface thread); the handler that
// sets it wakes the worker, which also looks at least every 10 ms.
//
// TransferRun is one transfer on the worker thread of a CMainFrame. Its steps
// read as the transfer goes: Synchronise, then (unless the kind only
// synchronises) OpenFile and SendBlocks or SendLines, then the end frame.
// Every step that cannot go on returns the Ending, and Run() has the one way
// out: the port is closed and released, the result box shown, the send
// button enabled and the outcome recorded, whatever ended the transfer.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "protocol/file_reader.h"
#include "protocol/frame.h"
#include "protocol/trace.h"

namespace dravel {

class CMainFrame;

enum class TransferOutcome {
    None,        // no transfer has run
    Running,
    Completed,   // "Transfer Completed " was shown
    Failed,      // "Transfer Error !! " was shown (device abort, lost line, bad file content, too many resends)
    OpenFailed,  // "<path> Open Failed" was shown
    NoAnswer,    // the device did not answer the probes within the sync limit
    Stopped,     // stopped from outside (window closed, cancel)
    NotStarted,  // "Fail to start thread"
    LineRefused,   // the line refused the board's reset before any probe
    NotConfirmed,  // "Transfer Completed " was shown, but the board did not announce its firmware
};

struct TransferProgress {
    uint64_t bytesSent = 0;            // file bytes the device has accepted
    std::optional<uint64_t> fileSize;  // unknown for a pipe
    int32_t blocks = 0;                // new blocks or lines sent
    int32_t resends = 0;               // frames sent again
    int32_t noAnswers = 0;             // waits that ended by their timer
    bool synchronised = false;
    bool finished = false;
};

// Bounds a script may put on a transfer. None by default: the form waits for
// a device for ever and sends a frame until it is taken.
struct TransferLimits {
    // Give up synchronising when the device has not answered for this long.
    std::optional<std::chrono::milliseconds> syncTimeout;
    // A frame sent this many times more without acceptance ends the transfer
    // as a transfer error.
    std::optional<int32_t> maxResends;

    bool operator==(const TransferLimits&) const = default;
};

// Window timers of the main frame, and the worker's poll period.
inline constexpr uint32_t TIMER_SYNC = 2;
inline constexpr uint32_t TIMER_ANSWER = 3;
inline constexpr uint32_t kSyncTimeoutMs = 1000;
inline constexpr uint32_t kAnswerTimeoutMs = 20000;
inline constexpr uint32_t kStatusPollMs = 10;

// How the file is read and which command its frames carry. The form keeps
// the kind as a number (it always sets 2); values the form never gives are
// taken as 2.
enum class TransferKind : int32_t {
    TextLines = 1,  // a text line per frame; its last character before CR LF is the command
    Blocks5 = 2,    // 1024-byte blocks, command '5', the last block zero-filled
    Blocks6 = 3,    // blocks, command '6', the last block as long as it is
    Blocks7 = 4,    // blocks, command '7'
    SyncOnly5 = 5,  // synchronise only, quietly
    SyncOnly6 = 6,  // synchronise only, quietly
};

constexpr TransferKind ToTransferKind(int value) {
    return value >= 1 && value <= 6 ? static_cast<TransferKind>(value) : TransferKind::Blocks5;
}

// A kind given as a number from outside (a command line): none for a number
// that names no kind, where the form would quietly take 2.
constexpr std::optional<TransferKind> TransferKindFromNumber(int value) {
    if (value < 1 || value > 6) return std::nullopt;
    return static_cast<TransferKind>(value);
}

constexpr int KindNumber(TransferKind kind) { return static_cast<int>(kind); }

// Quiet kinds show no sync texts, send no file and leave send disabled.
constexpr bool IsQuiet(TransferKind kind) {
    return kind == TransferKind::SyncOnly5 || kind == TransferKind::SyncOnly6;
}

// Whether a transfer of the kind reads an image; the quiet kinds only synchronise.
constexpr bool KindSendsFile(TransferKind kind) { return !IsQuiet(kind); }

// Whether the image goes in blocks of kBlockBufferSize bytes (else in text
// lines, or not at all), so that its size says how many frames it takes.
constexpr bool KindSendsBlocks(TransferKind kind) {
    return kind == TransferKind::Blocks5 || kind == TransferKind::Blocks6 || kind == TransferKind::Blocks7;
}

// The frames a block kind needs for `size` bytes (the last one may be short).
constexpr uint64_t BlocksFor(uint64_t size) { return (size + kBlockBufferSize - 1) / kBlockBufferSize; }

constexpr uint8_t BlockCommand(TransferKind kind) {
    switch (kind) {
        case TransferKind::Blocks6: return 0x36;
        case TransferKind::Blocks7: return 0x37;
        default: return 0x35;
    }
}

// The texts of the transfer, exactly as the system shows them.
namespace text {
inline constexpr const char* kSyncDetected = "Sync Dectected ...";
inline constexpr const char* kNoAnswer = "No Answer %d";
inline constexpr const char* kNakData = "NAK  Data = %d";
inline constexpr const char* kOtherAnswer = "Other Answer this Data";
inline constexpr const char* kTransmittedData = "Trnasmited Data %d";
inline constexpr const char* kTransmittedCount = "Trnasmited Count %d";
inline constexpr const char* kTransmittedCountKind4 = "Transmited Count %d";
inline constexpr const char* kCompleted = "Transfer Completed ";
inline constexpr const char* kError = "Transfer Error !! ";
inline constexpr const char* kOpenFailed = " Open Failed";
}  // namespace text

// The text shown after a frame was accepted.
constexpr const char* AcknowledgeText(TransferKind kind) {
    switch (kind) {
        case TransferKind::TextLines: return text::kTransmittedData;
        case TransferKind::Blocks7: return text::kTransmittedCountKind4;
        default: return text::kTransmittedCount;
    }
}

class TransferRun {
public:
    explicit TransferRun(CMainFrame& frame);
    TransferRun(const TransferRun&) = delete;
    TransferRun& operator=(const TransferRun&) = delete;

    // The whole transfer, on the worker thread.
    void Run();

private:
    struct Ending;
    enum class Wait { Answered, Stopped, LineLost, SyncTimedOut };

    void Prepare();
    // One attempt from the board's reset to its confirmation.
    Ending Attempt(int attempt);
    std::optional<Ending> Synchronise();
    std::optional<Ending> OpenFile();
    std::optional<Ending> SendBlocks();
    std::optional<Ending> SendLines();
    std::optional<Ending> CheckFileSentWhole();
    void SendEndFrame();
    // One frame and its answer, sent again until the device takes it.
    std::optional<Ending> SendAndWait(uint8_t command, std::size_t length);
    void Finish(const Ending& ending);

    Wait WaitForStatus();
    Ending EndingOfWait(Wait wait);
    void WriteSyncProbe();
    void RaiseSequence();
    void Trace(const TraceEvent& event);
    // Read from the form at each decision, as the form may change it.
    TransferKind Kind() const;
    void Publish();

    CMainFrame& m_frame;
    TransferLimits m_limits;
    std::optional<std::chrono::steady_clock::time_point> m_syncDeadline;  // while synchronising
    int32_t m_noAnswerCount = 0;  // over the sync and the data phase together
    int32_t m_refusalCount = 0;
    int32_t m_blockCount = 0;  // new blocks or lines sent, resends not counted
    bool m_abortMark = false;
    std::string m_path;
    ImageFile m_file;
    TransferProgress m_progress;
};

}  // namespace dravel
