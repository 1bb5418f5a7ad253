// dravel-devsim as a program: the test plays the host on the simulator's
// pseudo-terminal with hand-built frames and checks answers, image, log,
// summary and exit codes, fault options one by one.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "protocol/crc32.h"
#include "protocol/frame.h"
#include "tests/support/devsim_process.h"
#include "tests/support/pty_pair.h"

namespace dravel {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::DevsimProcess;
using testing::ReadWholeFile;
using testing::TempDir;
using Bytes = std::vector<uint8_t>;

Bytes MakeFrame(uint8_t seq, uint8_t cmd, const std::string& data, std::optional<uint16_t> lengthField = {}) {
    const uint16_t length = lengthField.value_or(static_cast<uint16_t>(data.size()));
    Bytes frame(kFrameHeaderSize + std::max<std::size_t>(length, data.size()), 0);
    frame[0] = kSyncByte;
    frame[1] = seq;
    frame[2] = cmd;
    frame[3] = static_cast<uint8_t>(length);
    frame[4] = static_cast<uint8_t>(length >> 8);
    std::copy(data.begin(), data.end(), frame.begin() + kFrameHeaderSize);
    frame.resize(kFrameHeaderSize + length);
    const uint32_t crc = Crc32(frame);
    for (int shift = 24; shift >= 0; shift -= 8) frame.push_back(static_cast<uint8_t>(crc >> shift));
    return frame;
}
Bytes Block5(uint8_t seq, const std::string& data) { return MakeFrame(seq, CMD_BLOCK_5, data, 1024); }
Bytes Block6(uint8_t seq, const std::string& data) { return MakeFrame(seq, CMD_BLOCK_6, data); }
Bytes EndFrame(uint8_t seq) { return MakeFrame(seq, CMD_END, "", 32); }

// The host's end of the line, opened raw like the tool opens its port.
class HostPort : public testing::TtyPeer {
public:
    using TtyPeer::TtyPeer;

    void Send(const Bytes& bytes) {
        ASSERT_TRUE(Write(std::string(bytes.begin(), bytes.end()), 2s)) << "line stuck";
    }
    std::string Answer() { return Read(3, 3s); }
    // What arrives while nothing should.
    std::string Silence() { return Read(64, 200ms); }
    std::string Exchange(const Bytes& frame) {
        Send(frame);
        return Answer();
    }
};

const std::string kAck = "UA\n";
const std::string kNak = "UN\n";
const std::string kAbort = "UT\n";

bool Exists(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

TEST(Devsim, CleanTransferStoresEveryKindOfFrameByteExact) {
    DevsimProcess sim;
    {
        HostPort host(sim.LinkPath());
        ASSERT_EQ(host.Exchange({kSyncByte}), kAck);
        EXPECT_EQ(host.Exchange(Block5(0, "hello")), kAck);
        EXPECT_EQ(host.Exchange(Block6(1, "abc")), kAck);
        EXPECT_EQ(host.Exchange(MakeFrame(2, CMD_B, std::string("\x0A\x0D\x03\x55\x00", 5))), kAck);
        EXPECT_EQ(host.Exchange(MakeFrame(3, CMD_BLOCK_7, std::string(1024, 'x'), 1024)), kAck);
        EXPECT_EQ(host.Exchange(MakeFrame(4, 'A', "settings", 32)), kAck);
        host.Send(EndFrame(5));
        EXPECT_EQ(host.Answer(), kAck);
    }
    ASSERT_EQ(sim.Wait(), 0) << sim.Errors();
    std::string expected = "hello" + std::string(1019, '\0') + "abc" + std::string("\x0A\x0D\x03\x55\x00", 5) +
                           std::string(1024, 'x') + "settings" + std::string(24, '\0');
    EXPECT_EQ(sim.Image(), expected);
    EXPECT_EQ(sim.Summary(), "devsim: frames=5 resends=0 crc_failures=0 bytes_stored=2088 image=" + sim.ImagePath() + "\n");
    EXPECT_EQ(sim.FrameSequences(), (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_EQ(sim.EndSequence(), 5);
    EXPECT_NE(sim.Errors().find("devsim: ready " + sim.LinkPath() + " -> /dev/pts/"), std::string::npos);
    EXPECT_FALSE(Exists(sim.LinkPath())) << "link left behind";
}

TEST(Devsim, DamagedFramesAreRefusedOnceAndTheResendAccepted) {
    DevsimProcess sim;
    HostPort host(sim.LinkPath());
    ASSERT_EQ(host.Exchange({kSyncByte}), kAck);
    Bytes damaged = Block5(0, "first");
    damaged[600] ^= 0x40;
    EXPECT_EQ(host.Exchange(damaged), kNak);
    EXPECT_EQ(host.Silence(), "") << "answered one frame twice";
    EXPECT_EQ(host.Exchange(Block5(0, "first")), kAck);

    Bytes oversized{kSyncByte, 1, CMD_BLOCK_6, 0x01, 0x04};  // 1025
    oversized.resize(1034, 'z');
    EXPECT_EQ(host.Exchange(oversized), kNak);
    EXPECT_EQ(host.Exchange(Block6(1, "second")), kAck);

    Bytes cut = Block6(2, "third");
    cut.pop_back();
    EXPECT_EQ(host.Exchange(cut), kNak);
    // Noise with a sync byte in it right ahead of the frame costs nothing.
    Bytes noisy{0x55, 0x13, 0xFF};
    const Bytes third = Block6(2, "third");
    noisy.insert(noisy.end(), third.begin(), third.end());
    EXPECT_EQ(host.Exchange(noisy), kAck);
    host.Send(EndFrame(3));
    ASSERT_EQ(sim.Wait(), 0) << sim.Errors();
    EXPECT_EQ(sim.Image(), "first" + std::string(1019, '\0') + "secondthird");
    EXPECT_EQ(sim.Summary(),
              "devsim: frames=3 resends=3 crc_failures=3 bytes_stored=1035 image=" + sim.ImagePath() + "\n");
}

TEST(Devsim, DuplicatesAreStoredOnceAndSkippedBlocksAbort) {
    DevsimProcess sim;
    HostPort host(sim.LinkPath());
    ASSERT_EQ(host.Exchange({kSyncByte}), kAck);
    EXPECT_EQ(host.Exchange(Block6(0, "one")), kAck);
    EXPECT_EQ(host.Exchange(Block6(0, "one")), kAck);
    EXPECT_EQ(host.Exchange(Block6(2, "three")), kAbort);
    EXPECT_EQ(host.Exchange(EndFrame(2)), kAbort) << "an end frame past a missing block";
    EXPECT_FALSE(sim.HasImage());
    // A new probe starts over with an empty image.
    ASSERT_EQ(host.Exchange({kSyncByte}), kAck);
    EXPECT_EQ(host.Exchange(Block6(0, "new")), kAck);
    host.Send(EndFrame(1));
    ASSERT_EQ(sim.Wait(), 0) << sim.Errors();
    EXPECT_EQ(sim.Image(), "new");
    EXPECT_EQ(sim.FrameSequences(), (std::vector<int>{0, 0, 2, 0}));
    const auto log = sim.Log();
    ASSERT_GE(log.size(), 3u);
    EXPECT_NE(log[2].find("answer=A duplicate"), std::string::npos) << log[2];
}

TEST(Devsim, SilentProbesRefusalsAndAbort) {
    DevsimProcess sim({"--silent-probes", "2", "--refuse", "2:2", "--refuse-every", "3", "--abort-at", "5"});
    HostPort host(sim.LinkPath());
    host.Send({kSyncByte});
    EXPECT_EQ(host.Silence(), "");
    host.Send({kSyncByte});
    EXPECT_EQ(host.Silence(), "");
    ASSERT_EQ(host.Exchange({kSyncByte}), kAck);
    EXPECT_EQ(host.Exchange(Block6(0, "1")), kAck);
    EXPECT_EQ(host.Exchange(Block6(1, "2")), kNak);
    EXPECT_EQ(host.Exchange(Block6(1, "2")), kNak);
    EXPECT_EQ(host.Exchange(Block6(1, "2")), kAck);
    EXPECT_EQ(host.Exchange(Block6(2, "3")), kNak);
    EXPECT_EQ(host.Exchange(Block6(2, "3")), kAck);
    EXPECT_EQ(host.Exchange(Block6(3, "4")), kAck);
    EXPECT_EQ(host.Exchange(Block6(4, "5")), kAbort);
    host.Send(EndFrame(4));
    ASSERT_EQ(sim.Wait(), 0) << sim.Errors();
    EXPECT_EQ(sim.Image(), "1234");
    EXPECT_EQ(sim.Summary(),
              "devsim: frames=8 resends=3 crc_failures=0 bytes_stored=4 image=" + sim.ImagePath() + "\n");
}

TEST(Devsim, LostAnswerLeavesTheResendAsADuplicate) {
    DevsimProcess sim({"--lose-answer", "2"});
    HostPort host(sim.LinkPath());
    ASSERT_EQ(host.Exchange({kSyncByte}), kAck);
    EXPECT_EQ(host.Exchange(Block6(0, "a")), kAck);
    host.Send(Block6(1, "b"));
    EXPECT_EQ(host.Silence(), "");
    EXPECT_EQ(host.Exchange(Block6(1, "b")), kAck);
    EXPECT_EQ(host.Exchange(Block6(2, "c")), kAck);
    host.Send(EndFrame(3));
    ASSERT_EQ(sim.Wait(), 0) << sim.Errors();
    EXPECT_EQ(sim.Image(), "abc");
    EXPECT_NE(sim.Summary().find("frames=4 resends=1 "), std::string::npos) << sim.Summary();
}

TEST(Devsim, GarbageGoesAheadOfDataAnswersOnly) {
    {
        DevsimProcess sim({"--garbage", "5@2"});
        HostPort host(sim.LinkPath());
        ASSERT_EQ(host.Exchange({kSyncByte}), kAck);
        EXPECT_EQ(host.Exchange(Block6(0, "a")), kAck);
        host.Send(Block6(1, "b"));
        EXPECT_EQ(host.Read(8, 3s), "?????" + kAck);
        EXPECT_EQ(host.Exchange(Block6(1, "b")), kAck) << "the resend's answer is clean";
        host.Send(EndFrame(2));
        EXPECT_EQ(sim.Wait(), 0);
        EXPECT_EQ(sim.Image(), "ab");
    }
    {
        DevsimProcess sim({"--garbage", "3"});
        HostPort host(sim.LinkPath());
        ASSERT_EQ(host.Exchange({kSyncByte}), kAck) << "the probe's answer must stay clean";
        Bytes damaged = Block6(0, "a");
        damaged.back() ^= 1;
        host.Send(damaged);
        EXPECT_EQ(host.Read(6, 3s), "???" + kNak);
        host.Send(Block6(0, "a"));
        EXPECT_EQ(host.Read(6, 3s), "???" + kAck);
        host.Send(Block6(0, "a"));
        EXPECT_EQ(host.Read(6, 3s), "???" + kAck);
        host.Send(Block6(2, "c"));
        EXPECT_EQ(host.Read(6, 3s), "???" + kAbort);
        host.Send(EndFrame(1));
        EXPECT_EQ(host.Read(6, 3s), kAck) << "the end frame's answer is clean";
        EXPECT_EQ(sim.Wait(), 0);
    }
}

TEST(Devsim, HangupAfterABlockClosesTheLineWithExitCodeFour) {
    DevsimProcess sim({"--hangup-after", "2"});
    HostPort host(sim.LinkPath());
    ASSERT_EQ(host.Exchange({kSyncByte}), kAck);
    EXPECT_EQ(host.Exchange(Block6(0, "a")), kAck);
    EXPECT_EQ(host.Exchange(Block6(1, "b")), kAck) << "the answer must come before the hang-up";
    EXPECT_EQ(sim.Wait(), 4) << sim.Errors();
    EXPECT_EQ(host.Read(1, 1s), "");
    EXPECT_TRUE(host.HungUp());
    EXPECT_FALSE(Exists(sim.LinkPath()));
    EXPECT_FALSE(sim.HasImage());
    EXPECT_NE(sim.Summary().find("frames=2 "), std::string::npos) << sim.Summary();
}

TEST(Devsim, RepeatServesSeveralTransfersAcrossReopens) {
    DevsimProcess sim({"--repeat", "3"});
    for (int round = 0; round < 3; ++round) {
        HostPort host(sim.LinkPath());
        ASSERT_EQ(host.Exchange({kSyncByte}), kAck) << "round " << round;
        const std::string data = "round" + std::to_string(round);
        EXPECT_EQ(host.Exchange(Block6(0, data)), kAck);
        host.Send(EndFrame(1));
        EXPECT_EQ(host.Answer(), kAck);
        if (round < 2) {
            EXPECT_EQ(sim.Wait(0ms), std::nullopt) << "quit after round " << round;
            EXPECT_EQ(sim.Image(), data);
        }
    }
    ASSERT_EQ(sim.Wait(), 0) << sim.Errors();
    EXPECT_EQ(sim.Image(), "round2");
    EXPECT_NE(sim.Summary().find("frames=3 resends=0 crc_failures=0 bytes_stored=18 "), std::string::npos);
}

TEST(Devsim, PacedLineIsNeverFasterThanItsBaudRate) {
    // 2 x 1033 bytes in, 6 out, at 19200 baud (1920 bytes a second).
    DevsimProcess sim({"--baud", "19200"});
    HostPort host(sim.LinkPath());
    ASSERT_EQ(host.Exchange({kSyncByte}), kAck);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(host.Exchange(Block5(0, "x")), kAck);
    EXPECT_EQ(host.Exchange(Block5(1, "y")), kAck);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 2072 * 1000ms / 1920 * 9 / 10);
    host.Send(EndFrame(2));
    ASSERT_EQ(sim.Wait(), 0);
    EXPECT_EQ(sim.Image().size(), 2048u);
}

TEST(Devsim, TimeoutAndSignalEndTheRunAndRemoveTheLink) {
    {
        DevsimProcess sim({"--timeout", "0.3"});
        EXPECT_EQ(sim.Wait(10s), 3);
        EXPECT_FALSE(Exists(sim.LinkPath()));
        EXPECT_NE(sim.Summary().find("devsim: frames=0 "), std::string::npos);
    }
    {
        DevsimProcess sim;
        {
            HostPort host(sim.LinkPath());
            ASSERT_EQ(host.Exchange({kSyncByte}), kAck);
        }
        sim.Stop();
        EXPECT_EQ(sim.Wait(0ms), 128 + SIGTERM);
        EXPECT_FALSE(Exists(sim.LinkPath()));
        EXPECT_NE(sim.Summary().find("devsim: frames=0 "), std::string::npos);
    }
}

TEST(Devsim, TtyModeServesATerminalDeviceAtAnOddRate) {
    // A pseudo-terminal's slave stands in for /dev/ttyUSB1; 33600 baud is
    // no B-constant, so this also goes through the kernel's termios2.
    testing::PtyPair cable;
    TempDir dir;
    ChildProcess sim({testing::BinPath("dravel-devsim"), "--tty", cable.SlavePath(), "--baud", "33600", "--image",
                      dir / "out", "--timeout", "30"},
                     dir / "stdout", dir / "stderr");
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (ReadWholeFile(dir / "stderr").find("devsim: ready " + cable.SlavePath()) == std::string::npos) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << ReadWholeFile(dir / "stderr");
        ASSERT_EQ(sim.Wait(5ms), std::nullopt) << ReadWholeFile(dir / "stderr");
    }
    auto exchange = [&](const Bytes& frame) {
        EXPECT_TRUE(cable.WriteMaster(frame));
        const auto answer = cable.ReadMasterExactly(3, 3s);
        return std::string(answer.begin(), answer.end());
    };
    ASSERT_EQ(exchange({kSyncByte}), kAck);
    EXPECT_EQ(exchange(Block6(0, "serial")), kAck);
    EXPECT_TRUE(cable.WriteMaster(EndFrame(1)));
    ASSERT_EQ(sim.Wait(10s), 0) << ReadWholeFile(dir / "stderr");
    EXPECT_EQ(ReadWholeFile(dir / "out"), "serial");
}

TEST(Devsim, NeverReplacesAnythingButAPseudoTerminalLink) {
    TempDir dir;
    const std::string link = dir / "COM1";
    auto run = [&](std::vector<std::string> extra = {}) {
        std::vector<std::string> argv{testing::BinPath("dravel-devsim"), "--link", link, "--image", dir / "out",
                                      "--timeout", "0.2"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        ChildProcess child(argv, dir / "stdout", dir / "stderr");
        return child.Wait(10s);
    };

    testing::WriteWholeFile(link, "precious");
    EXPECT_EQ(run(), 2);
    EXPECT_EQ(ReadWholeFile(link), "precious");
    EXPECT_NE(ReadWholeFile(dir / "stderr").find(link), std::string::npos) << ReadWholeFile(dir / "stderr");

    ::unlink(link.c_str());
    ASSERT_EQ(::symlink("/etc/hostname", link.c_str()), 0);
    EXPECT_EQ(run(), 2);
    EXPECT_EQ(ReadWholeFile(dir / "stderr").find("ready"), std::string::npos);

    ::unlink(link.c_str());
    ASSERT_EQ(::mkdir(link.c_str(), 0755), 0);
    EXPECT_EQ(run(), 2);
    ::rmdir(link.c_str());

    // A link left by a simulator that died is fair game.
    ASSERT_EQ(::symlink("/dev/pts/9999", link.c_str()), 0);
    EXPECT_EQ(run(), 3) << ReadWholeFile(dir / "stderr");
    EXPECT_FALSE(Exists(link));

    // And bad usage says so with exit code 2: a pseudo-terminal has no
    // modem lines to reset a board with.
    for (const std::vector<std::string>& bad : {std::vector<std::string>{"--refuse", "0"}, {"--loader-on-reset"},
                                               {"--banner", "x", "--banner-on-reset"}, {"--listen", "tcp://x:1"}}) {
        EXPECT_EQ(run(bad), 2) << bad.front();
        EXPECT_NE(ReadWholeFile(dir / "stderr").find(bad.back()), std::string::npos) << ReadWholeFile(dir / "stderr");
        EXPECT_FALSE(Exists(link));
    }
}

TEST(Devsim, TheBannerFollowsTheEndFrameBeforeTheRunEnds) {
    DevsimProcess sim({"--banner", "app 1.0 \\ ready"});
    HostPort host(sim.LinkPath());
    ASSERT_EQ(host.Exchange({kSyncByte}), kAck);
    EXPECT_EQ(host.Exchange(Block6(0, "fw")), kAck);
    EXPECT_EQ(host.Exchange(EndFrame(1)), kAck);
    EXPECT_EQ(host.Read(1, 100ms), "") << "the application needs its time to start";
    EXPECT_EQ(host.Read(17, 3s), "app 1.0 \\ ready\r\n");
    EXPECT_EQ(sim.Wait(), 0) << sim.Errors();
    EXPECT_EQ(sim.Image(), "fw");
}

}  // namespace
}  // namespace dravel
