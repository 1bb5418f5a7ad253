// LineRelay: the cable between the tool and the device, with its faults.
//
// What it owns: the two pseudo-terminal ends (tool side and device side),
// one lane per direction with the bytes read but not yet on the wire and the
// bytes that have left the wire but not yet been taken by the far master, the
// fault plan and its counters, and the fault log.
//
// Each lane paces its wire at baud/10 bytes per second (a UART at that rate
// with 8N1 framing). An idle wire gathers no more than a couple of
// milliseconds of credit, so a burst after a pause leaves no faster than a
// real line would allow. Nothing spins: the loop sleeps in poll() until a
// byte is due, a stall ends, a descriptor is ready, a signal comes or the
// time is up.
//
// Threads: single-threaded. Run() blocks SIGINT, SIGTERM and SIGHUP for the
// calling thread and takes them through a signalfd; call it from main
// before any other thread exists.
//
// Failures: Run() returns the exit code (0 stopped by a signal, 2 setup or
// I/O error with the cause on standard error, 3 time up, 4 hung up as
// asked). Every exit removes the links and prints the summary.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>

#include "fault_plan.h"
#include "options.h"
#include "pty_end.h"

namespace dravel::linesim {

inline constexpr int kExitStopped = 0;
inline constexpr int kExitSetup = 2;
inline constexpr int kExitTimeout = 3;
inline constexpr int kExitHungUp = 4;

struct LaneCounters {
    uint64_t bytesIn = 0;   // taken off the wire's input, counted before faults
    uint64_t bytesOut = 0;  // handed to the far side, after faults
    uint64_t flips = 0;
    uint64_t drops = 0;
    uint64_t dups = 0;
};

class LineRelay {
public:
    explicit LineRelay(RelayOptions options);
    ~LineRelay();
    LineRelay(const LineRelay&) = delete;
    LineRelay& operator=(const LineRelay&) = delete;

    int Run();
    std::string Summary() const;

private:
    using Clock = std::chrono::steady_clock;

    struct Lane {
        Direction direction;
        PtyEnd* source;
        PtyEnd* destination;
        std::deque<uint8_t> inbox;   // read from the source, not yet on the wire
        std::deque<uint8_t> outbox;  // off the wire, not yet taken by the destination
        Clock::time_point wireFree{};
        Clock::time_point stalledUntil{};
        Clock::time_point heldSince{};  // the adapter's timer started (--usb-latency)
        LaneCounters counters;
    };

    bool Setup();
    void Emit(Lane& lane, Clock::time_point now);
    void Carry(Lane& lane, uint8_t byte);
    bool Flush(Lane& lane);
    // Handed over in pieces (--chunk, in the faulted directions).
    bool Chunked(const Lane& lane) const;
    // Held in the adapter (--usb-latency): how many bytes may go now.
    std::size_t UsbReleasable(const Lane& lane, Clock::time_point now) const;
    bool UsbHolds(const Lane& lane) const;
    bool Fill(Lane& lane, Clock::time_point now);
    void StartStallIfDue(Clock::time_point now);
    uint64_t FaultedBytes() const;
    bool MayInject() const;
    int PollTimeout(Clock::time_point now, Clock::time_point deadline, bool hasDeadline) const;
    int Finish(int code, const char* how);
    void Log(const char* format, ...) __attribute__((format(printf, 2, 3)));

    RelayOptions m_options;
    FaultPlan m_plan;
    PtyEnd m_tool;
    PtyEnd m_device;
    Lane m_up;
    Lane m_down;
    Clock::duration m_byteTime{};
    Clock::duration m_burst{};
    std::size_t m_nextStall = 0;
    uint64_t m_stalls = 0;
    uint64_t m_faults = 0;
    uint64_t m_carried = 0;  // both directions, for --hangup-after
    bool m_hangUpNow = false;
    std::FILE* m_log = nullptr;
    int m_signalFd = -1;
    std::string m_end = "stopped";
};

}  // namespace dravel::linesim
