// The serial port class on real pseudo-terminals: the opening gate, chunking,
// closing while the reader waits, hang-ups, and writes that are not lost.

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "comm/comm.h"
#include "comm/opening_gate.h"
#include "ports/port_table.h"
#include "window/headless_window.h"
#include "tests/support/process.h"
#include "tests/support/pty_pair.h"

namespace dravel {
namespace {

using namespace std::chrono_literals;
using dravel::testing::PtyPair;
using dravel::testing::ScopedEnv;

// Port n as a front end hands it down: resolved by the port table, where
// DRAVEL_COM<n> names the pseudo-terminal.
void UsePort(CComm& port, uint8_t number) {
    port.SetCommParams(number, 115200, 8, 0, 0);
    port.SetPort(PortTable().Resolve(number));
}

struct Notification {
    uintptr_t wParam;
    intptr_t lParam;
    int32_t receiveCount;
    std::vector<uint8_t> bytes;
};

// A port on a pseudo-terminal whose notifications are recorded; the handler
// empties the receive buffer unless told to keep it.
class PortOnPty : public ::testing::Test {
protected:
    void SetUp() override {
        dravel::testing::ResetReceiveGate();
        window.SetMessageHandler([this](uint32_t message, uintptr_t wParam, intptr_t lParam) {
            if (message != WM_COMM_RECEIVED) return;
            if (holdNext.exchange(false)) {
                std::unique_lock lock(mutex);
                released.wait(lock, [this] { return letGo; });
            }
            std::lock_guard lock(mutex);
            const auto held = port->Received();
            notes.push_back({wParam, lParam, port->ReceiveCount(), {held.begin(), held.end()}});
            if (!keepBytes) {  // read under the mutex, which the test holds to change it
                port->DropReceived(held.size());
            }
            changed.notify_all();
        });
        port->SetNotificationTag(1);
        UsePort(*port, 1);
        ASSERT_EQ(port->CreateEvents(), 1);
        ASSERT_EQ(port->OpenPort(), 1) << port->LastError();
        port->SetNotifyWnd(&window);
    }
    void TearDown() override {
        {
            std::lock_guard lock(mutex);
            letGo = true;
        }
        released.notify_all();
        port->CloseAll();
    }
    bool WaitForNotes(std::size_t count, std::chrono::milliseconds timeout = 2s) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return notes.size() >= count; });
    }
    std::size_t NoteCount() {
        std::lock_guard lock(mutex);
        return notes.size();
    }
    void Release() {
        {
            std::lock_guard lock(mutex);
            letGo = true;
        }
        released.notify_all();
    }

    PtyPair pty;
    ScopedEnv env{"DRAVEL_COM1", pty.SlavePath()};
    HeadlessWindow window;
    std::unique_ptr<CComm> port = std::make_unique<CComm>();
    std::mutex mutex;
    std::condition_variable changed;
    std::condition_variable released;
    std::vector<Notification> notes;
    std::atomic<bool> holdNext{false};
    bool letGo = false;
    bool keepBytes = false;
};

TEST_F(PortOnPty, NothingPassesUntilTheOpeningAnswerArrives) {
    pty.WriteMaster("UAx");
    std::this_thread::sleep_for(100ms);
    pty.WriteMaster("UN\n");
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(NoteCount(), 0u) << "dropped chunks are not notified";
    EXPECT_FALSE(dravel::testing::ReceiveGateOpen());

    pty.WriteMaster("UA\nrest");
    ASSERT_TRUE(WaitForNotes(1));
    EXPECT_EQ(notes[0].bytes, (std::vector<uint8_t>{'U', 'A', '\n', 'r', 'e', 's', 't'}));
    EXPECT_EQ(notes[0].wParam, 1u);
    EXPECT_EQ(notes[0].lParam, 0);
    EXPECT_TRUE(dravel::testing::ReceiveGateOpen());

    // Once open, every chunk passes whatever it begins with, also on a new port.
    pty.WriteMaster("zz");
    ASSERT_TRUE(WaitForNotes(2));
    EXPECT_EQ(notes[1].bytes, (std::vector<uint8_t>{'z', 'z'}));
    port->CloseAll();
    port = std::make_unique<CComm>();
    port->SetNotificationTag(1);
    UsePort(*port, 1);
    port->CreateEvents();
    ASSERT_EQ(port->OpenPort(), 1) << port->LastError();
    port->SetNotifyWnd(&window);
    pty.WriteMaster("q");
    ASSERT_TRUE(WaitForNotes(3));
    EXPECT_EQ(notes[2].bytes, (std::vector<uint8_t>{'q'}));
}

TEST_F(PortOnPty, OpeningAnswerReadInPiecesIsNotifiedWholeOnce) {
    // A driver that hands bytes over as they come: each piece is its own read.
    pty.WriteMaster("U");
    std::this_thread::sleep_for(100ms);
    pty.WriteMaster("A");
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(NoteCount(), 0u);
    EXPECT_FALSE(dravel::testing::ReceiveGateOpen());
    pty.WriteMaster("\n");
    ASSERT_TRUE(WaitForNotes(1));
    EXPECT_EQ(notes[0].bytes, (std::vector<uint8_t>{'U', 'A', '\n'}));
    EXPECT_EQ(notes[0].receiveCount, 3);
    EXPECT_TRUE(dravel::testing::ReceiveGateOpen());
}

TEST_F(PortOnPty, SplitAnswerGivesTwoNotificationsWithGrowingCount) {
    // The opening answer is emptied by the handler as usual; from then on the
    // bytes stay, as they do while an answer line is incomplete.
    pty.WriteMaster("UA\n");
    ASSERT_TRUE(WaitForNotes(1));
    {
        std::lock_guard lock(mutex);
        keepBytes = true;
    }
    pty.WriteMaster("UA");
    ASSERT_TRUE(WaitForNotes(2));
    pty.WriteMaster("\n");
    ASSERT_TRUE(WaitForNotes(3));
    EXPECT_EQ(notes[1].receiveCount, 2);
    EXPECT_EQ(notes[2].receiveCount, 3);
}

TEST_F(PortOnPty, BurstOf200BytesArrivesAs80And80And40) {
    holdNext = true;  // the reader waits in its first notification
    pty.WriteMaster("UA\n");
    std::this_thread::sleep_for(100ms);
    std::vector<uint8_t> burst(200);
    for (std::size_t i = 0; i < burst.size(); ++i) burst[i] = static_cast<uint8_t>(i);
    pty.WriteMaster(burst);
    std::this_thread::sleep_for(200ms);
    Release();
    ASSERT_TRUE(WaitForNotes(4));
    std::this_thread::sleep_for(100ms);
    ASSERT_EQ(NoteCount(), 4u);
    EXPECT_EQ(notes[1].bytes.size(), 80u);
    EXPECT_EQ(notes[2].bytes.size(), 80u);
    EXPECT_EQ(notes[3].bytes.size(), 40u);
    EXPECT_EQ(notes[3].bytes.back(), 199);
}

TEST_F(PortOnPty, CloseWhileTheReaderWaitsReturnsAndCloseAllTwiceIsHarmless) {
    std::this_thread::sleep_for(50ms);
    auto closing = std::async(std::launch::async, [&] { return port->CloseAll(); });
    ASSERT_EQ(closing.wait_for(3s), std::future_status::ready);
    EXPECT_EQ(closing.get(), 1);
    EXPECT_FALSE(port->IsOpen());
    EXPECT_EQ(port->CloseAll(), 1);
    // The device is free again: another port can take it.
    CComm again;
    UsePort(again, 1);
    again.CreateEvents();
    EXPECT_EQ(again.OpenPort(), 1) << again.LastError();
}

TEST_F(PortOnPty, CloseOnTheWindowThreadDoesNotDeadlockWithABlockedNotification) {
    // The window thread is busy closing while the reader wants to deliver to it.
    std::promise<void> closed;
    std::thread ui([&] {
        window.Invoke([&] {
            pty.WriteMaster("UA\n");
            std::this_thread::sleep_for(100ms);  // the reader now waits for this thread
            port->CloseAll();
        });
        closed.set_value();
    });
    EXPECT_EQ(closed.get_future().wait_for(5s), std::future_status::ready);
    ui.join();
}

TEST_F(PortOnPty, SecondOpenOfAHeldPortFailsWithItsCause) {
    CComm second;
    UsePort(second, 1);
    second.CreateEvents();
    EXPECT_EQ(second.OpenPort(), 0);
    EXPECT_NE(second.LastError().find(pty.SlavePath()), std::string::npos) << second.LastError();
    EXPECT_FALSE(second.IsOpen());
}

TEST_F(PortOnPty, HangUpIsNoticedAndDoesNotMakeTheReaderSpin) {
    pty.CloseMaster();
    const auto deadline = std::chrono::steady_clock::now() + 3s;
    while (!port->IsLineLost() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(port->IsLineLost());
    EXPECT_FALSE(port->LineLostCause().empty());
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    std::this_thread::sleep_for(500ms);
    getrusage(RUSAGE_SELF, &after);
    auto cpu = [](const rusage& r) {
        return r.ru_utime.tv_sec * 1000000L + r.ru_utime.tv_usec + r.ru_stime.tv_sec * 1000000L + r.ru_stime.tv_usec;
    };
    EXPECT_LT(cpu(after) - cpu(before), 200000L) << "the reader must block, not poll a dead line";
    EXPECT_EQ(port->WriteComm(reinterpret_cast<const uint8_t*>("x"), 1), 0);
}

TEST(PortClose, EndFrameWrittenJustBeforeTheCloseIsNeverThrownAway) {
    // The result box may return at once: the close follows the end frame
    // immediately, and the other side has not read it yet.
    PtyPair pty;
    ScopedEnv env("DRAVEL_COM1", pty.SlavePath());
    const std::vector<uint8_t> end(41, 0x39);
    for (int round = 0; round < 50; ++round) {
        CComm port;
        UsePort(port, 1);
        port.CreateEvents();
        ASSERT_EQ(port.OpenPort(), 1) << port.LastError();
        port.WriteComm(end.data(), static_cast<uint32_t>(end.size()));
        port.CloseAll();
        ASSERT_EQ(pty.ReadMasterExactly(end.size(), 2s).size(), end.size()) << "round " << round;
    }
}

TEST_F(PortOnPty, WrittenBytesLeaveBeforeTheCloseEmptiesTheQueues) {
    std::vector<uint8_t> frame(1033);
    for (std::size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(i * 7);
    port->WriteComm(frame.data(), static_cast<uint32_t>(frame.size()));
    std::vector<uint8_t> end(41, 0x39);
    port->WriteComm(end.data(), static_cast<uint32_t>(end.size()));
    port->CloseAll();  // at once, as a result box that returns at once would
    auto got = pty.ReadMasterExactly(frame.size() + end.size(), 2s);
    ASSERT_EQ(got.size(), frame.size() + end.size());
    EXPECT_TRUE(std::equal(frame.begin(), frame.end(), got.begin()));
    EXPECT_EQ(got.back(), 0x39);
}

TEST(PortOpen, RegularFileNamedAsAPortIsRefusedAndLeftUntouched) {
    char path[] = "/tmp/dravel-port-XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "keep", 4), 4);
    ::close(fd);
    struct stat before {};
    ::stat(path, &before);
    ScopedEnv env("DRAVEL_COM2", path);
    CComm port;
    UsePort(port, 2);
    port.CreateEvents();
    EXPECT_EQ(port.OpenPort(), 0);
    EXPECT_NE(port.LastError().find(path), std::string::npos);
    struct stat after {};
    ::stat(path, &after);
    EXPECT_EQ(after.st_size, 4);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    std::ifstream in(path);
    std::string content;
    in >> content;
    EXPECT_EQ(content, "keep");
    ::unlink(path);
}

}  // namespace
}  // namespace dravel
