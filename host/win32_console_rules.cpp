#include "host/win32_console_rules.h"

namespace dravel::win32 {

InterruptDecision DecideInterrupt(uint32_t ctrlType, bool alreadyInterrupted)
{
    InterruptDecision decision;
    switch (ctrlType) {
    case kCtrlCEvent:
    case kCtrlBreakEvent:
        decision.handled = true;
        decision.exitCode = 130;
        decision.what = "interrupted";
        // A second one: the user does not want to wait for the close.
        decision.exitNow = alreadyInterrupted;
        decision.notify = !alreadyInterrupted;
        return decision;
    case kCtrlCloseEvent:
    case kCtrlLogoffEvent:
    case kCtrlShutdownEvent:
        // Returning ends the process (and the system does so anyway after a
        // few seconds): the port must be closed by then, also when an
        // interrupt has already started the close.
        decision.handled = true;
        decision.exitCode = 143;
        decision.what = "terminated";
        decision.notify = !alreadyInterrupted;
        decision.waitForClose = true;
        return decision;
    default:
        return decision;
    }
}

}  // namespace dravel::win32
