// The worker's wait for the transfer status: woken by the handler that sets
// it, so a frame costs no more than the answer's own time.

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "window/headless_window.h"
#include "protocol/download.h"

namespace dravel {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Runs `act` on another thread after a moment and returns how long a wait
// with a generous limit took.
template <typename Act>
Clock::duration WaitWhile(CMainFrame& frame, Act act) {
    std::thread other([&] {
        std::this_thread::sleep_for(50ms);
        act();
    });
    const auto start = Clock::now();
    frame.AwaitStatusChange(5s);
    const auto waited = Clock::now() - start;
    other.join();
    return waited;
}

TEST(StatusWait, AHandlerSettingTheStatusWakesTheWorkerAtOnce) {
    HeadlessWindow window;
    CMainFrame frame(window);
    frame.SetTransferStatus(XFER_WAIT);
    EXPECT_LT(WaitWhile(frame, [&] { frame.OnTimer(TIMER_SYNC); }), 2s) << "a lost wake-up waits the whole limit";
    EXPECT_EQ(frame.TransferStatus(), XFER_TIMEOUT);
    frame.SetTransferStatus(XFER_WAIT);
    EXPECT_LT(WaitWhile(frame, [&] { frame.SetTransferStatus(XFER_ACK); }), 2s);
}

TEST(StatusWait, AStopWakesItAndWithoutEitherItEndsAtItsLimit) {
    HeadlessWindow window;
    CMainFrame frame(window);
    frame.SetTransferStatus(XFER_WAIT);
    const auto start = Clock::now();
    frame.AwaitStatusChange(60ms);
    EXPECT_GE(Clock::now() - start, 50ms);
    EXPECT_LT(WaitWhile(frame, [&] { frame.RequestStop(); }), 2s);
}

}  // namespace
}  // namespace dravel
