// For tests only: the opening gate of the receive path lives for the whole
// process; tests that need it closed again call this between cases.
#pragma once

namespace dravel::testing {

void ResetReceiveGate();
bool ReceiveGateOpen();

}  // namespace dravel::testing
