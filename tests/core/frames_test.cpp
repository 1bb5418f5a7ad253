// Frames on the wire, the CRC that closes them, and how answer lines become
// the transfer status.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>
#include <string>
#include <vector>

#include "comm/comm.h"
#include "window/headless_window.h"
#include "protocol/download.h"

namespace dravel {
namespace {

std::vector<uint8_t> Bytes(std::initializer_list<int> values) {
    std::vector<uint8_t> out;
    for (int v : values) out.push_back(static_cast<uint8_t>(v));
    return out;
}

class FrameTest : public ::testing::Test {
protected:
    std::vector<uint8_t> Send(uint8_t command, int32_t length, int32_t sequence = 0) {
        frame.SetSequenceNumber(sequence);
        frame.SendFrame(command, length);
        const auto tx = frame.TransmitBuffer();
        std::size_t size = FramePayloadSize(command, static_cast<std::size_t>(std::clamp(length, 0, 1024))) + kFrameOverhead;
        return {tx.begin(), tx.begin() + static_cast<std::ptrdiff_t>(size)};
    }
    HeadlessWindow window;
    CMainFrame frame{window};
};

TEST(Crc32, MatchesTheCheckValueAndVanishesOverAWholeFrame) {
    const std::string digits = "123456789";
    EXPECT_EQ(Crc32({reinterpret_cast<const uint8_t*>(digits.data()), digits.size()}), 0x89A1897Fu);
    EXPECT_EQ(Crc32({}), 0u);
    CrcTable table{};
    InitCrcTable(table);
    EXPECT_EQ(table[1], kCrcPolynomial);
    EXPECT_EQ(UpdateCrc32(table, 0x1234u, reinterpret_cast<const uint8_t*>(digits.data()), 0), 0x1234u);
    EXPECT_EQ(UpdateCrc32(table, 0x1234u, reinterpret_cast<const uint8_t*>(digits.data()), -3), 0x1234u);
}

TEST_F(FrameTest, EndFrameIs41BytesWithItsKnownCrc) {
    auto wire = Send(CMD_END, 0);
    std::vector<uint8_t> expected = Bytes({0x55, 0x00, 0x39, 0x20, 0x00});
    expected.resize(5 + 32, 0);
    for (int b : {0x7D, 0xF0, 0x44, 0x17}) expected.push_back(static_cast<uint8_t>(b));
    EXPECT_EQ(wire, expected);
    EXPECT_EQ(Crc32(wire), 0u);
}

TEST_F(FrameTest, CommandSixCarriesExactlyItsPayload) {
    std::memcpy(frame.BlockBuffer().data(), "abc", 3);
    EXPECT_EQ(Send(CMD_BLOCK_6, 3),
              Bytes({0x55, 0x00, 0x36, 0x03, 0x00, 0x61, 0x62, 0x63, 0x51, 0x2C, 0x4C, 0x39}));

    std::memset(frame.BlockBuffer().data(), 0xA5, kBlockBufferSize);
    auto full = Send(CMD_BLOCK_6, 1024);
    ASSERT_EQ(full.size(), 1033u);
    EXPECT_EQ(full[3], 0x00);
    EXPECT_EQ(full[4], 0x04);
    EXPECT_EQ(Crc32(full), 0u);

    auto empty = Send(CMD_BLOCK_6, 0);
    ASSERT_EQ(empty.size(), 9u);
    EXPECT_EQ(empty[3], 0x00);
    EXPECT_EQ(empty[4], 0x00);
    EXPECT_EQ(Crc32(empty), 0u);
}

TEST_F(FrameTest, CommandFiveAlwaysAnnounces1024ZeroFilledBytes) {
    std::memset(frame.BlockBuffer().data(), 0x11, 100);
    auto wire = Send(CMD_BLOCK_5, 100, 7);
    ASSERT_EQ(wire.size(), 1033u);
    EXPECT_EQ(wire[1], 7);
    EXPECT_EQ(wire[3], 0x00);
    EXPECT_EQ(wire[4], 0x04);
    for (std::size_t i = 0; i < 100; ++i) ASSERT_EQ(wire[5 + i], 0x11) << i;
    for (std::size_t i = 100; i < 1024; ++i) ASSERT_EQ(wire[5 + i], 0x00) << i;
    EXPECT_EQ(Crc32(wire), 0u);
}

TEST_F(FrameTest, OtherCommandsCarryOnlyTheFirst32Bytes) {
    for (int i = 0; i < 40; ++i) frame.BlockBuffer()[static_cast<std::size_t>(i)] = static_cast<uint8_t>(i + 1);
    auto wire = Send('X', 40, 0x1FF);  // only the low byte of the sequence goes out
    ASSERT_EQ(wire.size(), 41u);
    EXPECT_EQ(wire[1], 0xFF);
    EXPECT_EQ(wire[3], 0x20);
    EXPECT_EQ(wire[4], 0x00);
    EXPECT_EQ(wire[5 + 31], 32);
    EXPECT_EQ(Crc32(std::span<const uint8_t>(wire.data(), 37)),
              (uint32_t{wire[37]} << 24) | (uint32_t{wire[38]} << 16) | (uint32_t{wire[39]} << 8) | wire[40]);
}

TEST_F(FrameTest, LengthsOutsideTheBlockBufferStayInsideIt) {
    // Under the sanitizers these would report any access outside the buffers.
    auto negative = Send(CMD_BLOCK_6, -5);
    EXPECT_EQ(negative.size(), 9u);
    auto huge = Send(CMD_BLOCK_6, 5000);
    EXPECT_EQ(huge.size(), 1033u);
    EXPECT_EQ(Crc32(huge), 0u);
    EXPECT_EQ(frame.AppendCrc(100000), frame.AppendCrc(static_cast<int32_t>(kTransmitBufferSize - 4)));
}

// The answer classifier, fed through the port's real receive path.
class ClassifierTest : public ::testing::Test {
protected:
    void SetUp() override {
        port->SetNotifyWnd(&window);
        port->SetNotificationTag(1);
        frame.AdoptPort(port);
        Feed({0x55, 0x41, 0x0A});  // the first answer opens the receive path
        ASSERT_EQ(frame.TransferStatus(), XFER_ACK);
        frame.SetTransferStatus(XFER_WAIT);
    }
    void TearDown() override { frame.AdoptPort(nullptr); }
    void Feed(std::initializer_list<int> bytes) {
        auto data = Bytes(bytes);
        port->AppendReceived(static_cast<int>(data.size()), data.data());
    }
    HeadlessWindow window;
    CMainFrame frame{window};
    std::shared_ptr<CComm> port = std::make_shared<CComm>();
};

TEST_F(ClassifierTest, AnswerLettersGiveTheirStatus) {
    const std::pair<int, int32_t> table[] = {{'A', XFER_ACK}, {'N', XFER_NAK}, {'T', XFER_END}, {'X', XFER_OTHER}};
    for (auto [letter, status] : table) {
        frame.SetTransferStatus(XFER_WAIT);
        Feed({0x55, letter, 0x0A});
        EXPECT_EQ(frame.TransferStatus(), status) << char(letter);
        EXPECT_EQ(port->ReceiveCount(), 0);
    }
}

TEST_F(ClassifierTest, AnswerSplitOverTwoBatchesIsClassifiedWhenComplete) {
    Feed({0x55, 0x41});
    EXPECT_EQ(frame.TransferStatus(), XFER_WAIT);
    EXPECT_EQ(port->ReceiveCount(), 2);
    Feed({0x0A});
    EXPECT_EQ(frame.TransferStatus(), XFER_ACK);
    EXPECT_EQ(port->ReceiveCount(), 0);
}

TEST_F(ClassifierTest, SecondLineInTheSameBatchIsDiscarded) {
    Feed({0x55, 0x41, 0x0A, 0x55, 0x4E, 0x0A});
    EXPECT_EQ(frame.TransferStatus(), XFER_ACK);
    EXPECT_EQ(port->ReceiveCount(), 0);
    EXPECT_TRUE(std::all_of(port->ReceiveBuffer().begin(), port->ReceiveBuffer().end(), [](uint8_t b) { return b == 0; }));
}

TEST_F(ClassifierTest, TwoBytesAloneStayUntilMoreArrive) {
    Feed({0x41, 0x0A});
    EXPECT_EQ(frame.TransferStatus(), XFER_WAIT);
    EXPECT_EQ(port->ReceiveCount(), 2);
}

TEST_F(ClassifierTest, StrayByteAheadOfAnAnswerIsNeverTakenForAnAcceptance) {
    Feed({0x3F, 0x55, 0x41, 0x0A});
    EXPECT_EQ(frame.TransferStatus(), XFER_WAIT) << "a broken line lets the wait run out";
    EXPECT_EQ(port->ReceiveCount(), 0);
    // ... and the next answer is found again.
    Feed({0x55, 0x4E, 0x0A});
    EXPECT_EQ(frame.TransferStatus(), XFER_NAK);
}

TEST_F(ClassifierTest, NoiseWithoutLineFeedIsDroppedAndTheNextLineRecognised) {
    Feed({0x12, 0x34, 0x56, 0x78, 0x9A});
    EXPECT_EQ(frame.TransferStatus(), XFER_WAIT);
    EXPECT_EQ(port->ReceiveCount(), 0);
    Feed({0x55, 0x41});
    Feed({0x0A});
    EXPECT_EQ(frame.TransferStatus(), XFER_ACK);
}

TEST_F(ClassifierTest, LineAfterNoiseInTheSameBatchIsRecognised) {
    Feed({0x41, 0x0A});  // left over, as in the case above
    Feed({0x55, 0x54, 0x0A});
    EXPECT_EQ(frame.TransferStatus(), XFER_END);
    EXPECT_EQ(port->ReceiveCount(), 0);
}

TEST_F(ClassifierTest, ReceiveBufferIsNeverWrittenPastItsEnd) {
    // With the classifier detached nothing empties the buffer.
    frame.AdoptPort(nullptr);
    std::vector<uint8_t> flood(500, 0x41);
    for (int i = 0; i < 4; ++i) port->AppendReceived(static_cast<int>(flood.size()), flood.data());
    EXPECT_EQ(port->ReceiveCount(), static_cast<int32_t>(kReceiveBufferSize));
    EXPECT_EQ(port->DroppedBytes(), 2000u - kReceiveBufferSize);
}

TEST_F(FrameTest, TimersTurnIntoTimeoutsAndTheAnswerTimerFiresOnce) {
    HeadlessWindow::Options options;
    options.timerScale = 0.001;  // 20 ms answer timer, 1 ms sync timer
    HeadlessWindow fast(options);
    CMainFrame timed(fast);

    timed.SetTransferStatus(XFER_WAIT);
    fast.SetTimer(TIMER_ANSWER, kAnswerTimeoutMs);
    while (timed.TransferStatus() == XFER_WAIT) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(timed.TransferStatus(), XFER_TIMEOUT);
    timed.SetTransferStatus(XFER_WAIT);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(timed.TransferStatus(), XFER_WAIT) << "the answer timer killed itself";

    fast.SetTimer(TIMER_SYNC, kSyncTimeoutMs);
    for (int seen = 0; seen < 2;) {
        if (timed.TransferStatus() == XFER_TIMEOUT) {
            ++seen;
            timed.SetTransferStatus(XFER_WAIT);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    fast.KillTimer(TIMER_SYNC);
    timed.SetTransferStatus(XFER_WAIT);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(timed.TransferStatus(), XFER_WAIT) << "no expiry after KillTimer";
}

}  // namespace
}  // namespace dravel
