// The line relay, driven as a child process over its two links.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <thread>

#include "tests/support/files.h"
#include "tests/support/process.h"
#include "tests/support/pty_pair.h"

namespace {

using namespace dravel::testing;
using namespace std::chrono_literals;

std::string AllByteValues(std::size_t rounds) {
    std::string bytes;
    for (std::size_t round = 0; round < rounds; ++round) {
        for (int value = 0; value < 256; ++value) bytes.push_back(static_cast<char>((value + round) & 0xFF));
    }
    return bytes;
}

uint64_t SummaryField(const std::string& summary, const std::string& name) {
    std::smatch match;
    if (!std::regex_search(summary, match, std::regex(" " + name + "=([0-9]+)"))) return UINT64_MAX;
    return std::stoull(match[1]);
}

std::size_t CountLines(const std::string& text, const std::string& prefix) {
    std::size_t count = 0;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) count += line.rfind(prefix, 0) == 0;
    return count;
}

class Relay {
public:
    Relay(const TempDir& dir, std::vector<std::string> options, const std::string& name = "linesim")
        : m_toolLink(dir / (name + "-tool")), m_deviceLink(dir / (name + "-device")) {
        std::vector<std::string> argv = {BinPath("dravel-linesim"), "--tool-link", m_toolLink, "--device-link",
                                         m_deviceLink, "--timeout", "60"};
        argv.insert(argv.end(), options.begin(), options.end());
        m_process.emplace(argv, dir / (name + ".out"), dir / (name + ".err"));
        m_ready = m_process->WaitForStderr("linesim: ready", 5s);
    }
    bool Ready() const { return m_ready; }
    const std::string& ToolLink() const { return m_toolLink; }
    const std::string& DeviceLink() const { return m_deviceLink; }
    ChildProcess& Process() { return *m_process; }
    // Stops the relay and returns its summary line.
    std::string Stop() {
        m_exit = m_process->Stop();
        return m_process->Stdout();
    }
    std::optional<int> ExitCode() const { return m_exit; }

private:
    std::string m_toolLink;
    std::string m_deviceLink;
    std::optional<ChildProcess> m_process;
    bool m_ready = false;
    std::optional<int> m_exit;
};

// Sends `bytes` in through `from` and collects what `to` receives until
// nothing more arrives for a while.
std::string Pass(TtyPeer& from, TtyPeer& to, const std::string& bytes, std::size_t expect) {
    std::string received;
    std::thread writer([&] { from.Write(bytes, 20s); });
    received = to.Read(expect, 20s);
    received += to.Read(SIZE_MAX, 300ms);  // anything beyond what was expected
    writer.join();
    return received;
}

// --- a clean line -------------------------------------------------------

TEST(LinesimCleanLine, EveryByteValueCrossesUnchangedBothWaysAtOnce) {
    TempDir dir;
    Relay relay(dir, {});
    ASSERT_TRUE(relay.Ready()) << relay.Process().Stderr();
    TtyPeer tool(relay.ToolLink());
    TtyPeer device(relay.DeviceLink());

    const std::string upBytes = AllByteValues(64);     // 16 KiB, more than a pty buffer
    const std::string downBytes = AllByteValues(17);
    std::string upReceived, downReceived;
    std::thread upWriter([&] { tool.Write(upBytes, 20s); });
    std::thread downWriter([&] { device.Write(downBytes, 20s); });
    std::thread downReader([&] { downReceived = tool.Read(downBytes.size(), 20s); });
    upReceived = device.Read(upBytes.size(), 20s);
    upWriter.join();
    downWriter.join();
    downReader.join();
    EXPECT_TRUE(upReceived == upBytes) << "up: " << upReceived.size() << " of " << upBytes.size();
    EXPECT_TRUE(downReceived == downBytes) << "down: " << downReceived.size() << " of " << downBytes.size();

    const std::string summary = relay.Stop();
    EXPECT_EQ(relay.ExitCode(), 0);
    EXPECT_EQ(SummaryField(summary, "up"), upBytes.size()) << summary;
    EXPECT_EQ(SummaryField(summary, "down"), downBytes.size()) << summary;
    EXPECT_EQ(SummaryField(summary, "flips") + SummaryField(summary, "drops") + SummaryField(summary, "dups"), 0u);
}

TEST(LinesimCleanLine, APeerMayCloseAndReopenItsSideWithoutTheLineGoingDown) {
    TempDir dir;
    Relay relay(dir, {});
    ASSERT_TRUE(relay.Ready());
    TtyPeer device(relay.DeviceLink());
    for (int round = 0; round < 3; ++round) {
        TtyPeer tool(relay.ToolLink());
        const std::string message = "round " + std::to_string(round) + "\r\n";
        EXPECT_EQ(Pass(tool, device, message, message.size()), message);
    }
    relay.Stop();
    EXPECT_EQ(relay.ExitCode(), 0);
}

// --- pacing ----------------------------------------------------------------

TEST(LinesimPacing, ALineAt9600BaudCarriesNoMoreThan960BytesASecondEachWay) {
    TempDir dir;
    Relay relay(dir, {"--baud", "9600"});
    ASSERT_TRUE(relay.Ready());
    TtyPeer tool(relay.ToolLink());
    TtyPeer device(relay.DeviceLink());
    const std::string bytes = AllByteValues(6);  // 1536 bytes: 1.6 s at 960 bytes/s

    const auto start = Clock::now();
    std::string upReceived, downReceived;
    std::thread downWriter([&] { device.Write(bytes, 20s); });
    std::thread downReader([&] { downReceived = tool.Read(bytes.size(), 20s); });
    std::thread upWriter([&] { tool.Write(bytes, 20s); });
    upReceived = device.Read(bytes.size(), 20s);
    const auto upElapsed = Clock::now() - start;
    upWriter.join();
    downWriter.join();
    downReader.join();
    const auto bothElapsed = Clock::now() - start;

    ASSERT_EQ(upReceived, bytes);
    ASSERT_EQ(downReceived, bytes);
    const double nominal = static_cast<double>(bytes.size()) / 960.0;
    const double upSeconds = std::chrono::duration<double>(upElapsed).count();
    const double bothSeconds = std::chrono::duration<double>(bothElapsed).count();
    RecordProperty("nominal_s", std::to_string(nominal));
    RecordProperty("measured_s", std::to_string(bothSeconds));
    EXPECT_GE(upSeconds, 0.8 * nominal);
    EXPECT_GE(bothSeconds, 0.8 * nominal);
    relay.Stop();
}

TEST(LinesimPacing, ABurstAfterAPauseIsPacedToo) {
    TempDir dir;
    Relay relay(dir, {"--baud", "19200"});
    ASSERT_TRUE(relay.Ready());
    TtyPeer tool(relay.ToolLink());
    TtyPeer device(relay.DeviceLink());
    ASSERT_EQ(Pass(tool, device, "x", 1), "x");
    std::this_thread::sleep_for(500ms);  // an idle wire must not store up credit
    const std::string bytes = AllByteValues(4);  // 1024 bytes: 0.53 s at 1920 bytes/s
    const auto start = Clock::now();
    ASSERT_EQ(Pass(tool, device, bytes, bytes.size()).size(), bytes.size());
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count() - 0.3;  // Pass's tail
    EXPECT_GE(seconds, 0.8 * 1024.0 / 1920.0);
    relay.Stop();
}

// --- random faults -----------------------------------------------------------

struct FaultRun {
    std::string received;
    std::string summary;
    std::string log;
};

FaultRun RunUp(const std::vector<std::string>& options, const std::string& bytes, std::size_t expect) {
    TempDir dir;
    std::vector<std::string> all = options;
    all.insert(all.end(), {"--log", dir / "faults.log"});
    Relay relay(dir, all);
    if (!relay.Ready()) return {};
    TtyPeer tool(relay.ToolLink());
    TtyPeer device(relay.DeviceLink());
    FaultRun run;
    run.received = Pass(tool, device, bytes, expect);
    run.summary = relay.Stop();
    run.log = ReadWholeFile(dir / "faults.log");
    return run;
}

TEST(LinesimFaults, FlipsInvertOneBitAtAboutTheRateAndReplayWithTheSameSeed) {
    const std::string bytes = AllByteValues(40);  // 10240 bytes
    const FaultRun first = RunUp({"--flip-rate", "0.01", "--seed", "1234"}, bytes, bytes.size());
    ASSERT_EQ(first.received.size(), bytes.size());
    std::size_t differing = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto diff = static_cast<unsigned>(static_cast<uint8_t>(bytes[i] ^ first.received[i]));
        if (diff == 0) continue;
        ++differing;
        EXPECT_EQ(diff & (diff - 1), 0u) << "more than one bit changed at " << i;
    }
    EXPECT_GT(differing, 50u);  // about 102 expected
    EXPECT_LT(differing, 180u);
    EXPECT_EQ(SummaryField(first.summary, "flips"), differing);
    EXPECT_EQ(CountLines(first.log, "flip up"), differing);
    EXPECT_EQ(SummaryField(first.summary, "seed"), 1234u);

    const FaultRun again = RunUp({"--flip-rate", "0.01", "--seed", "1234"}, bytes, bytes.size());
    EXPECT_TRUE(again.received == first.received) << "the same seed met different faults";
    const FaultRun other = RunUp({"--flip-rate", "0.01", "--seed", "1235"}, bytes, bytes.size());
    EXPECT_FALSE(other.received == first.received);
}

TEST(LinesimFaults, DropsLoseBytesAndKeepTheRestInOrder) {
    const std::string bytes = AllByteValues(40);
    const FaultRun run = RunUp({"--drop-rate", "0.02", "--seed", "7"}, bytes, bytes.size() - 300);
    const uint64_t drops = SummaryField(run.summary, "drops");
    EXPECT_GT(drops, 120u);  // about 205 expected
    EXPECT_LT(drops, 300u);
    ASSERT_EQ(run.received.size() + drops, bytes.size());
    // What arrives is the sent stream with bytes taken out, never reordered.
    std::size_t at = 0;
    for (char c : run.received) {
        while (at < bytes.size() && bytes[at] != c) ++at;
        ASSERT_LT(at, bytes.size()) << "received a byte out of order";
        ++at;
    }
    EXPECT_EQ(CountLines(run.log, "drop up"), drops);
}

TEST(LinesimFaults, DupsDoubleBytesInPlace) {
    const std::string bytes = AllByteValues(40);
    const FaultRun run = RunUp({"--dup-rate", "0.02", "--seed", "99"}, bytes, bytes.size() + 150);
    const uint64_t dups = SummaryField(run.summary, "dups");
    EXPECT_GT(dups, 120u);
    EXPECT_LT(dups, 300u);
    ASSERT_EQ(run.received.size(), bytes.size() + dups);
    std::string undoubled;
    std::size_t at = 0;
    for (std::size_t i = 0; i < run.received.size(); ++i) {
        ASSERT_LT(at, bytes.size());
        ASSERT_EQ(run.received[i], bytes[at]) << "at received offset " << i;
        if (i + 1 < run.received.size() && run.received[i + 1] == bytes[at] &&
            (at + 1 >= bytes.size() || bytes[at + 1] != bytes[at])) {
            ++i;  // the copy
        }
        ++at;
    }
    EXPECT_EQ(at, bytes.size());
}

TEST(LinesimFaults, MaxFaultsEndsTheInjectingSoEveryRunCanEnd) {
    const std::string bytes(2000, 'a');
    const FaultRun run = RunUp({"--flip-rate", "1", "--max-faults", "5", "--seed", "3"}, bytes, bytes.size());
    ASSERT_EQ(run.received.size(), bytes.size());
    std::size_t differing = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) differing += run.received[i] != bytes[i];
    EXPECT_EQ(differing, 5u);
    EXPECT_EQ(run.received.substr(5), bytes.substr(5)) << "the faults went to the first bytes";
}

TEST(LinesimFaults, DirectionKeepsTheOtherWayClean) {
    TempDir dir;
    Relay relay(dir, {"--flip-rate", "0.5", "--direction", "down", "--seed", "5"});
    ASSERT_TRUE(relay.Ready());
    TtyPeer tool(relay.ToolLink());
    TtyPeer device(relay.DeviceLink());
    const std::string bytes = AllByteValues(2);
    EXPECT_EQ(Pass(tool, device, bytes, bytes.size()), bytes) << "up must stay clean";
    EXPECT_NE(Pass(device, tool, bytes, bytes.size()), bytes) << "down must meet faults";
    relay.Stop();
}

TEST(LinesimFaults, WithoutASeedOneIsChosenAndPrinted) {
    TempDir dir;
    Relay relay(dir, {"--flip-rate", "0.1"});
    ASSERT_TRUE(relay.Ready());
    EXPECT_NE(relay.Process().Stderr().find("seed="), std::string::npos);
    const std::string summary = relay.Stop();
    EXPECT_NE(SummaryField(summary, "seed"), UINT64_MAX) << summary;
}

// --- stalls and hang-ups -------------------------------------------------------

TEST(LinesimStall, TheLineStopsForTheStallAfterTheGivenByte) {
    TempDir dir;
    Relay relay(dir, {"--stall", "700@10", "--direction", "up"});
    ASSERT_TRUE(relay.Ready());
    TtyPeer tool(relay.ToolLink());
    TtyPeer device(relay.DeviceLink());
    const auto start = Clock::now();
    ASSERT_TRUE(tool.Write("0123456789abcdefghij"));
    EXPECT_EQ(device.Read(20, 400ms), "0123456789") << "bytes before the stall pass at once";
    EXPECT_EQ(device.Read(10, 5s), "abcdefghij");
    EXPECT_GE(Clock::now() - start, 600ms);
    // Down was not stalled.
    ASSERT_TRUE(device.Write("ok"));
    EXPECT_EQ(tool.Read(2, 300ms), "ok");
    const std::string summary = relay.Stop();
    EXPECT_EQ(SummaryField(summary, "stalls"), 1u);
}

TEST(LinesimHangup, TheLineGoesDownAfterTheGivenByteCountAndTheRelayExits4) {
    TempDir dir;
    Relay relay(dir, {"--hangup-after", "100"});
    ASSERT_TRUE(relay.Ready());
    TtyPeer tool(relay.ToolLink());
    TtyPeer device(relay.DeviceLink());
    tool.Write(std::string(300, 'h'), 2s);
    const std::string received = device.Read(300, 3s);
    EXPECT_LE(received.size(), 100u);
    EXPECT_TRUE(device.HungUp()) << "the device side must see the line go";
    tool.Read(1, 1s);
    EXPECT_TRUE(tool.HungUp()) << "the tool side must see the line go";
    EXPECT_EQ(relay.Process().Wait(5s), 4);
    EXPECT_EQ(SummaryField(relay.Process().Stdout(), "up"), 100u);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(relay.ToolLink())));
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(relay.DeviceLink())));
}

// --- links, exits ------------------------------------------------------------

// --- a USB adapter's latency timer ----------------------------------------
// What it costs a transfer is measured by scripts/bench --usb-latency; here
// only what it holds and what it lets through.

TEST(LinesimUsbLatency, AShortAnswerWaitsInTheAdapterAndNothingIsLostOrReordered) {
    TempDir dir;
    // A timer far longer than the test looks: whatever arrives early was not held.
    Relay relay(dir, {"--usb-latency", "60000"});
    ASSERT_TRUE(relay.Ready()) << relay.Process().Stderr();
    TtyPeer tool(relay.ToolLink());
    TtyPeer device(relay.DeviceLink());
    device.Write("UA\n", 5s);
    EXPECT_EQ(tool.Read(SIZE_MAX, 500ms), "") << "an answer shorter than a USB packet went at once";
    // The tool's direction is no adapter's business.
    tool.Write("probe", 5s);
    EXPECT_EQ(device.Read(5, 5s), "probe");
    // A full packet goes; it takes the held answer with it, in order.
    const std::string packet = AllByteValues(1).substr(0, 59);
    device.Write(packet, 5s);
    EXPECT_EQ(tool.Read(62, 5s), "UA\n" + packet);
    relay.Stop();
}

TEST(LinesimUsbLatency, EveryByteCrossesInOrderWithAShortTimer) {
    TempDir dir;
    Relay relay(dir, {"--usb-latency", "2"});
    ASSERT_TRUE(relay.Ready()) << relay.Process().Stderr();
    TtyPeer tool(relay.ToolLink());
    TtyPeer device(relay.DeviceLink());
    const std::string bytes = AllByteValues(9);
    EXPECT_TRUE(Pass(device, tool, bytes, bytes.size()) == bytes);
    const std::string summary = relay.Stop();
    EXPECT_EQ(SummaryField(summary, "down"), bytes.size()) << summary;
}

TEST(LinesimLinks, ARealFileAtALinkPathIsNeverReplaced) {
    TempDir dir;
    WriteWholeFile(dir / "linesim-device", "precious");
    ChildProcess relay({BinPath("dravel-linesim"), "--tool-link", dir / "linesim-tool", "--device-link",
                        dir / "linesim-device", "--timeout", "10"},
                       dir / "relay.out", dir / "relay.err");
    EXPECT_EQ(relay.Wait(5s), 2);
    EXPECT_EQ(ReadWholeFile(dir / "linesim-device"), "precious");
    EXPECT_NE(relay.Stderr().find("not a link"), std::string::npos) << relay.Stderr();
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(dir / "linesim-tool")))
        << "the tool link made before the failure must be gone";
}

TEST(LinesimLinks, ALinkToSomethingElseIsLeftAloneButAStalePtyLinkIsReplaced) {
    TempDir dir;
    std::filesystem::create_symlink("/etc/hostname", dir / "other");
    ChildProcess refused({BinPath("dravel-linesim"), "--tool-link", dir / "other", "--device-link",
                          dir / "dev", "--timeout", "10"},
                         dir / "refused.out", dir / "refused.err");
    EXPECT_EQ(refused.Wait(5s), 2);
    EXPECT_EQ(std::filesystem::read_symlink(dir / "other"), "/etc/hostname");

    std::filesystem::create_symlink("/dev/pts/999999", dir / "stale");
    Relay relay(dir, {});
    ChildProcess replaced({BinPath("dravel-linesim"), "--tool-link", dir / "stale", "--device-link",
                           dir / "dev2", "--timeout", "10"},
                          dir / "replaced.out", dir / "replaced.err");
    ASSERT_TRUE(replaced.WaitForStderr("linesim: ready", 5s)) << replaced.Stderr();
    EXPECT_NE(std::filesystem::read_symlink(dir / "stale"), "/dev/pts/999999");
    EXPECT_EQ(replaced.Stop(), 0);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(dir / "stale")));
}

TEST(LinesimExit, TimeoutExits3AndInterruptExits0BothRemovingTheLinks) {
    TempDir dir;
    ChildProcess timed({BinPath("dravel-linesim"), "--tool-link", dir / "t1", "--device-link", dir / "d1",
                        "--timeout", "1"},
                       dir / "timed.out", dir / "timed.err");
    EXPECT_EQ(timed.Wait(5s), 3);
    EXPECT_NE(timed.Stdout().find("end=timeout"), std::string::npos) << timed.Stdout();
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(dir / "t1")));

    ChildProcess interrupted({BinPath("dravel-linesim"), "--tool-link", dir / "t2", "--device-link", dir / "d2"},
                             dir / "interrupted.out", dir / "interrupted.err");
    ASSERT_TRUE(interrupted.WaitForStderr("linesim: ready", 5s));
    interrupted.Signal(SIGINT);
    EXPECT_EQ(interrupted.Wait(5s), 0);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(dir / "d2")));
}

TEST(LinesimExit, ABadCommandLineExits2WithTheReason) {
    TempDir dir;
    const std::vector<std::vector<std::string>> lines = {
        {"--tool-link", dir / "a"},
        {"--tool-link", dir / "a", "--device-link", dir / "b", "--flip-rate", "1.5"},
        {"--tool-link", dir / "a", "--device-link", dir / "b", "--baud", "0"},
        {"--tool-link", dir / "a", "--device-link", dir / "b", "--direction", "sideways"},
        {"--tool-link", dir / "a", "--device-link", dir / "b", "--stall", "x@3"},
        {"--tool-link", dir / "a", "--device-link", dir / "a"},
        {"--tool-link", dir / "a", "--device-link", dir / "b", "--frobnicate", "1"},
    };
    for (const auto& line : lines) {
        std::vector<std::string> argv = {BinPath("dravel-linesim")};
        argv.insert(argv.end(), line.begin(), line.end());
        ChildProcess relay(argv, dir / "bad.out", dir / "bad.err");
        EXPECT_EQ(relay.Wait(5s), 2) << line.back();
        EXPECT_NE(relay.Stderr().find("usage:"), std::string::npos);
        EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(dir / "a")));
    }
}

}  // namespace
