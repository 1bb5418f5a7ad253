// Low latency for USB serial adapters.
//
// A USB adapter holds what the device sends until its latency timer runs out
// (16 ms by default for FTDI) or a USB packet is full. A stop-and-wait
// download waits for a three-byte answer after every frame, so at 115200
// baud that alone costs about 15 % of the line. On Linux the driver can be
// asked for low latency (ASYNC_LOW_LATENCY, which the FTDI driver turns into
// a 1 ms timer); on Windows the same setting lives in the adapter's
// properties, where a program cannot reach it without administrator rights.
//
// RequestLowLatency is called by the serial line once it is configured. It
// never fails the opening: a driver that refuses or a line where it means
// nothing (a pseudo-terminal) is only said in the returned text, which the
// line passes on as a trace note (--trace), never to the user's screen.
//
// Threads: any.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace dravel {

// Asks the driver of the open line (a descriptor or handle) for low latency;
// the text of what happened.
std::string RequestLowLatency(intptr_t handle, const std::string& device);

// An adapter's latency timer where the system shows it, and the file that
// holds it (Linux: /sys/bus/usb-serial/devices/ttyUSB0/latency_timer).
struct LatencyTimer {
    int milliseconds = 0;
    std::string settingPath;
};

// Above this an adapter's timer is worth lowering: a frame's answer waits
// longer in the adapter than on the wire.
inline constexpr int kLatencyTimerWorthLoweringMs = 2;

}  // namespace dravel
