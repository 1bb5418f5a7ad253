// dravel-devsim as its own terminal server (--listen rfc2217://): the real
// dravel-cli downloads through it, and a board wired for DTR/RTS reset
// answers only after a reset into its loader and announces its application
// after a reset into that. The host side is dravel's own network line.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "comm/serial_line.h"
#include "protocol/frame.h"
#include "tests/support/devsim_server.h"

namespace dravel {
namespace {

using namespace std::chrono_literals;
using testing::DevsimServer;
using testing::TempDir;

// dravel's side of an rfc2217:// port, opened and set up as dravel does.
class Host {
public:
    explicit Host(const std::string& url) {
        EXPECT_EQ(m_line.Open(url), SerialResult::Ok) << m_line.LastError();
        EXPECT_EQ(m_line.Configure(LineSettings{}), SerialResult::Ok) << m_line.LastError();
    }

    void Send(std::span<const uint8_t> bytes) {
        while (!bytes.empty()) {
            std::size_t count = 0;
            const SerialResult result = m_line.Write(bytes, count);
            ASSERT_TRUE(result == SerialResult::Ok || result == SerialResult::WouldBlock) << m_line.LastError();
            bytes = bytes.subspan(count);
            if (!bytes.empty()) {
                ASSERT_EQ(m_line.WaitForOutput(2s), SerialResult::Ok);
            }
        }
    }
    void SendFrame(uint8_t sequence, uint8_t command, const std::string& data) {
        std::array<uint8_t, kTransmitBufferSize> frame{};
        const std::size_t size = BuildFrame(frame, sequence, command,
                                            std::span(reinterpret_cast<const uint8_t*>(data.data()), data.size()));
        Send(std::span(frame.data(), size));
    }
    void Probe() { Send(std::array<uint8_t, 1>{kSyncByte}); }

    // Up to `want` bytes; returns early once they are all there.
    std::string Read(std::size_t want, std::chrono::milliseconds timeout) {
        std::string got;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (got.size() < want) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left <= 0ms) break;
            LineEvents events;
            m_line.Wait(LineInterest{}, left, events);
            std::array<uint8_t, 256> buffer{};
            std::size_t count = 0;
            if (m_line.Read(std::span(buffer.data(), std::min(buffer.size(), want - got.size())), count) ==
                SerialResult::HungUp) {
                break;
            }
            got.append(reinterpret_cast<const char*>(buffer.data()), count);
        }
        return got;
    }
    std::string Answer() { return Read(3, 3s); }

    void Pulse(std::chrono::milliseconds off) {
        ASSERT_EQ(m_line.SetDtr(false), SerialResult::Ok);
        std::this_thread::sleep_for(off);
        ASSERT_EQ(m_line.SetDtr(true), SerialResult::Ok);
    }
    SerialLine& Line() { return m_line; }

private:
    SerialLine m_line;
};

const std::string kAck = "UA\n";

TEST(DevsimListen, DravelDownloadsThroughItByteForByteAndItsModemCommandsAreLogged) {
    TempDir dir;
    DevsimServer board;
    // Every byte value, 0xFF among them, which telnet doubles on the way.
    std::string content = testing::PatternImage(30000);
    content += std::string(3000, '\xFF');
    testing::WriteWholeFile(dir / "fw.bin", content);
    const testing::RunResult cli =
        testing::Run({testing::BinPath("dravel-cli"), "-p", board.Url(), dir / "fw.bin"}, {"DRAVEL_TIMER_SCALE=0.25"});
    ASSERT_EQ(cli.exitCode, 0) << cli.out << cli.err;
    EXPECT_EQ(testing::SplitLines(cli.out).back(), "Transfer Completed ");
    EXPECT_EQ(cli.err.find("unanswered"), std::string::npos) << "every command is answered: " << cli.err;
    ASSERT_EQ(board.Wait(), 0) << board.Errors();
    EXPECT_EQ(board.Image(), testing::Padded(content));
    EXPECT_NE(board.Summary().find("crc_failures=0"), std::string::npos) << board.Summary();

    // Opening: no flow control, DTR on, RTS on; closing: DTR off.
    EXPECT_EQ(board.ControlValues(), (std::vector<int>{1, 8, 11, 9}));
    const auto controls = board.Controls();
    ASSERT_EQ(controls.size(), 4u);
    EXPECT_EQ(controls[1].name, "DTR on");
    EXPECT_EQ(controls[3].name, "DTR off");
    for (std::size_t i = 1; i < controls.size(); ++i) EXPECT_LE(controls[i - 1].ms, controls[i].ms);
}

TEST(DevsimListen, ABoardWiredForResetAnswersOnlyAfterAResetIntoItsLoader) {
    DevsimServer board({"--loader-on-reset", "--banner", "APP v2 ready", "--banner-on-reset", "--idle-gap-ms", "5"});
    {
        Host host(board.Url());
        host.Probe();
        EXPECT_EQ(host.Read(3, 300ms), "") << "answered without a reset";
        host.Pulse(20ms);  // too short to reset the board
        host.Probe();
        EXPECT_EQ(host.Read(3, 300ms), "");
        ASSERT_EQ(host.Line().SetRts(false), SerialResult::Ok);
        host.Pulse(120ms);  // a reset, but into the application
        host.Probe();
        EXPECT_EQ(host.Read(14, 2s), "APP v2 ready\r\n") << "the application starts and ignores the probe";

        ASSERT_EQ(host.Line().SetRts(true), SerialResult::Ok);
        host.Pulse(100ms);
        host.Probe();
        ASSERT_EQ(host.Answer(), kAck);
        host.SendFrame(0, CMD_BLOCK_6, "new firmware");
        EXPECT_EQ(host.Answer(), kAck);
        host.SendFrame(1, CMD_END, "");
        EXPECT_EQ(host.Answer(), kAck);
        EXPECT_EQ(host.Read(1, 400ms), "") << "no banner before the application is started";

        ASSERT_EQ(host.Line().SetRts(false), SerialResult::Ok);
        host.Pulse(100ms);
        EXPECT_EQ(host.Read(14, 2s), "APP v2 ready\r\n");
    }
    ASSERT_EQ(board.Wait(), 0) << board.Errors();
    EXPECT_EQ(board.Image(), "new firmware");

    std::vector<std::string> resets;
    for (const std::string& line : board.Log()) {
        if (line.starts_with("reset") || line.starts_with("probe")) resets.push_back(line.substr(0, line.find(" (")));
    }
    EXPECT_EQ(resets, (std::vector<std::string>{"probe ignored", "probe ignored", "reset into the application",
                                                "probe ignored", "reset into the loader", "probe answered",
                                                "reset into the application"}));
    // The simulator's own clock saw the waits between the commands.
    std::vector<double> dtrOff;
    std::vector<double> dtrOn;
    for (const auto& command : board.Controls()) {
        if (command.value == 9) dtrOff.push_back(command.ms);
        if (command.value == 8) dtrOn.push_back(command.ms);
    }
    ASSERT_EQ(dtrOn.size(), 5u);   // the opening, then four pulses
    ASSERT_EQ(dtrOff.size(), 5u);  // four pulses, then the close
    EXPECT_GE(dtrOn[2] - dtrOff[1], 100.0);
    EXPECT_GE(dtrOn[3] - dtrOff[2], 80.0);
}

TEST(DevsimListen, TheBannerFollowsEveryEndFrame) {
    DevsimServer board({"--banner", "hello from the app", "--repeat", "2"});
    for (int round = 0; round < 2; ++round) {
        Host host(board.Url());
        host.Probe();
        ASSERT_EQ(host.Answer(), kAck) << "round " << round;
        host.SendFrame(0, CMD_END, "");
        EXPECT_EQ(host.Answer(), kAck);
        EXPECT_EQ(host.Read(1, 100ms), "") << "the application needs its time to start";
        EXPECT_EQ(host.Read(20, 2s), "hello from the app\r\n");
    }
    EXPECT_EQ(board.Wait(), 0) << board.Errors();
}

}  // namespace
}  // namespace dravel
