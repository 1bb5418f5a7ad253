// A board's own steps around a transfer: for a board whose adapter drives
// its reset and boot-select through DTR and RTS, and that announces its new
// firmware once it runs. The transfer calls them at fixed points and knows
// nothing of what they do; without hooks a transfer runs as it always has.
//
// Order within one transfer, the port open throughout:
//   attempt 1: AttemptBegins, BeforeSync, probes, frames, end frame, AfterEnd
//   attempt 2, ... while TryAgain says so
//
// Threads: everything on the transfer's worker, but Received(), which the
// reader's notification calls (the window side's thread) from the moment
// the end frame has gone until AfterEnd returns. An implementation guards
// what Received() and AfterEnd() share.
//
// Failures: BeforeSync and AfterEnd say false with the cause; the transfer
// ends the attempt there, as LineRefused or NotConfirmed.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "protocol/transfer.h"

namespace dravel {

class CComm;

class BoardHooks {
public:
    // The attempt (1, 2, ...) starts; nothing has touched the line for it yet.
    virtual void AttemptBegins(int attempt) = 0;
    // Before the first probe: false, with the cause, when the line refused
    // what the board needs (a reset through modem lines it does not have).
    virtual bool BeforeSync(CComm& port, std::string& cause) = 0;
    // After the end frame has left: false, with the cause, when the board
    // did not confirm the new firmware.
    virtual bool AfterEnd(CComm& port, std::string& cause) = 0;
    // What the board says after the end frame.
    virtual void Received(std::span<const uint8_t> bytes) = 0;
    // Whether an attempt that ended so is made again from the start.
    virtual bool TryAgain(TransferOutcome outcome, int attempt) = 0;

protected:
    ~BoardHooks() = default;
};

}  // namespace dravel
