// Trace of a transfer: one event for everything that crosses the line and
// every decision taken on it, for a device that misbehaves in the field.
//
// The core reports events to an observer (CMainFrame::SetTraceObserver) on
// the thread where they happen: probes, frames and resends on the worker,
// answers and timer expiries on the user-interface thread, the port's open on
// the user-interface thread and its close on the worker; the line's notes on
// the thread of the call they are about. The observer must be
// safe to call from those threads and must not call back into the core.
// FormatTraceEvent turns an event into one line of text (without a time).
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>

namespace dravel {

struct TraceEvent {
    enum class Kind {
        PortOpened,    // text: the port's name and device
        PortClosed,    // text: the port's name and device
        Probe,         // bytes: the sync probe as written
        Frame,         // bytes: the frame as written
        Answer,        // bytes: the answer line; status: how it was classified
        Noise,         // bytes: received bytes thrown away unclassified
        TimerExpired,  // timerId
        Resend,        // sequence, attempt: the frame goes again, for the attempt-th time
        LineNote,      // text: what the line did or found (a network port's negotiation, ...)
    };
    Kind kind = Kind::Probe;
    std::span<const uint8_t> bytes;  // valid only during the call
    int32_t status = 0;
    uint32_t timerId = 0;
    uint8_t sequence = 0;
    int32_t attempt = 0;
    std::string text;

    static TraceEvent Of(Kind kind, std::span<const uint8_t> bytes, int32_t status = 0) {
        TraceEvent event;
        event.kind = kind;
        event.bytes = bytes;
        event.status = status;
        return event;
    }
    static TraceEvent Port(Kind kind, std::string text) {
        TraceEvent event;
        event.kind = kind;
        event.text = std::move(text);
        return event;
    }
    static TraceEvent Timer(uint32_t timerId) {
        TraceEvent event;
        event.kind = Kind::TimerExpired;
        event.timerId = timerId;
        return event;
    }
    static TraceEvent Resend(uint8_t sequence, int32_t attempt) {
        TraceEvent event;
        event.kind = Kind::Resend;
        event.sequence = sequence;
        event.attempt = attempt;
        return event;
    }
};

using TraceObserver = std::function<void(const TraceEvent&)>;

std::string FormatTraceEvent(const TraceEvent& event);

// The name of a transfer status value ("ACK", "TIMEOUT", ...).
const char* StatusName(int32_t status);

}  // namespace dravel
