// What the Windows console handler does with each control event the system
// sends (Ctrl+C, Ctrl+Break, the window closing, logoff, shutdown).
//
// A pure function of numbers, kept apart from SetConsoleCtrlHandler so that
// it can be tested on any platform: a console window closing cannot be
// produced on demand under Wine. No Windows header is needed here; the
// numbers are wincon.h's.
#pragma once

#include <cstdint>

namespace dravel::win32 {

// The console's control events (wincon.h's CTRL_*_EVENT numbers).
inline constexpr uint32_t kCtrlCEvent = 0;
inline constexpr uint32_t kCtrlBreakEvent = 1;
inline constexpr uint32_t kCtrlCloseEvent = 2;
inline constexpr uint32_t kCtrlLogoffEvent = 5;
inline constexpr uint32_t kCtrlShutdownEvent = 6;

struct InterruptDecision {
    bool handled = false;       // the handler answers TRUE; false leaves it to the next handler
    bool exitNow = false;       // end the process at once, without the orderly close
    bool notify = false;        // hand the interrupt to the watcher (the first one only)
    bool waitForClose = false;  // the system ends the process when the handler returns:
                                // hold it until the port has been closed
    int exitCode = 0;
    const char* what = "";      // for the message: "interrupted", "terminated"
};

// What the console handler does with `ctrlType`, given whether an interrupt
// has already come.
InterruptDecision DecideInterrupt(uint32_t ctrlType, bool alreadyInterrupted);

}  // namespace dravel::win32
