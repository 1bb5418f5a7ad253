// The decisions the Windows serial line takes on what the system
// reports: which error code means a missing port, a port held by another
// program, a line that is gone; how an event wait ended.
//
// They are pure functions of numbers, kept apart from the calls that produce
// those numbers, so that they can be tested on any platform: most of the
// codes (a USB adapter pulled out in the middle of a transfer, a port held by
// another program) cannot be produced on demand, not under Wine and rarely on
// a desk. No Windows header is needed here; the codes are winerror.h's.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "line/line_contract.h"

namespace dravel::win32 {

// winerror.h, by number.
inline constexpr uint32_t kErrorInvalidFunction = 1;
inline constexpr uint32_t kErrorFileNotFound = 2;
inline constexpr uint32_t kErrorPathNotFound = 3;
inline constexpr uint32_t kErrorAccessDenied = 5;
inline constexpr uint32_t kErrorInvalidHandle = 6;
inline constexpr uint32_t kErrorBadUnit = 20;
inline constexpr uint32_t kErrorNotReady = 21;
inline constexpr uint32_t kErrorBadCommand = 22;
inline constexpr uint32_t kErrorGenFailure = 31;
inline constexpr uint32_t kErrorSharingViolation = 32;
inline constexpr uint32_t kErrorNotSupported = 50;
inline constexpr uint32_t kErrorBadNetPath = 53;
inline constexpr uint32_t kErrorDevNotExist = 55;
inline constexpr uint32_t kErrorInvalidParameter = 87;
inline constexpr uint32_t kErrorSemTimeout = 121;
inline constexpr uint32_t kErrorInvalidName = 123;
inline constexpr uint32_t kErrorBadPathname = 161;
inline constexpr uint32_t kErrorBusy = 170;
inline constexpr uint32_t kErrorNoSuchDevice = 433;
inline constexpr uint32_t kErrorOperationAborted = 995;
inline constexpr uint32_t kErrorIoIncomplete = 996;
inline constexpr uint32_t kErrorIoPending = 997;
inline constexpr uint32_t kErrorCounterTimeout = 1121;
inline constexpr uint32_t kErrorDeviceNotConnected = 1167;
inline constexpr uint32_t kErrorTimeout = 1460;
inline constexpr uint32_t kErrorDeviceRemoved = 1617;

// Where a code came from.
enum class Step {
    Open,       // CreateFileA
    Identify,   // GetCommState right after the open: is this a serial port at all?
    Configure,  // GetCommState / SetCommState with our settings
    Status,     // ClearCommError
    Transfer,   // the event wait, ReadFile, WriteFile, EscapeCommFunction
};

SerialResult ResultForError(uint32_t code, Step step);

// Codes with which a port that is in use says that its hardware is gone: a
// USB adapter unplugged, a driver that has stopped its device.
bool MeansDeviceGone(uint32_t code);

// EscapeCommFunction refused for want of modem lines (a virtual port, a
// pseudo-terminal under Wine), not for a fault of the line.
bool MeansNoModemLines(uint32_t code);

// The name CreateFileA is given for a device: "COM<n>" (any case) becomes
// "\\.\COM<n>", so that ports above 9 open too; anything else is taken as it
// stands ("\\.\COM12", a path).
std::string DeviceNameForOpen(std::string_view device);

// How a completed WaitCommEvent (or one that could not start) ended.
enum class WaitEnd {
    Events,  // an event of the mask: look at the mask
    Empty,   // released without an event while the line still answers: wait
             // again, but not at once, or the reader would spin
    Lost,    // the line is gone
    Closed,  // our own close released it
};

// `succeeded` and `error`: the result of GetOverlappedResult (or of the
// WaitCommEvent call that failed at once); `mask` the events it reported;
// `closing` whether our own Close() is under way; `statusReadable` whether
// ClearCommError still succeeds on the handle (looked at only when needed).
WaitEnd JudgeWaitEnd(bool succeeded, uint32_t error, uint32_t mask, bool closing, bool statusReadable);

}  // namespace dravel::win32
