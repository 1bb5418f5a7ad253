// The simulator's pieces without any I/O: the frame parser under split,
// noisy and damaged input with the caller's clock, the loader's sequence
// rules, the fault plan and the command line.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "fault_plan.h"
#include "frame_parser.h"
#include "loader.h"
#include "options.h"
#include "protocol/crc32.h"

namespace dravel::devsim {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using Clock = FrameParser::Clock;

Bytes MakeFrame(uint8_t seq, uint8_t cmd, const Bytes& payload, std::optional<uint16_t> lengthField = {}) {
    const uint16_t length = lengthField.value_or(static_cast<uint16_t>(payload.size()));
    Bytes frame{kSyncByte, seq, cmd, static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8)};
    frame.insert(frame.end(), payload.begin(), payload.end());
    frame.resize(kFrameHeaderSize + length, 0);
    const uint32_t crc = Crc32(frame);
    for (int shift = 24; shift >= 0; shift -= 8) frame.push_back(static_cast<uint8_t>(crc >> shift));
    return frame;
}

Bytes Concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct Event {
    char kind;  // 'P' probe, 'F' frame, 'B' bad frame, 'X' noise
    uint8_t seq = 0;
    uint8_t cmd = 0;
    Bytes payload;
    std::size_t count = 0;  // skipped (F), bytes (B), noise (X)
    BadFrameReason reason = BadFrameReason::Incomplete;
};

struct Recorder final : FrameSink {
    std::vector<Event> events;
    void OnProbe() override { events.push_back({'P', 0, 0, {}, 0, {}}); }
    void OnFrame(const ParsedFrame& f) override {
        events.push_back({'F', f.sequence, f.command, Bytes(f.payload.begin(), f.payload.end()), f.skippedBytes, {}});
    }
    void OnBadFrame(const BadFrame& b) override { events.push_back({'B', 0, 0, {}, b.bytes, b.reason}); }
    void OnNoise(std::size_t n) override { events.push_back({'X', 0, 0, {}, n, {}}); }
    std::string Kinds() const {
        std::string kinds;
        for (const auto& e : events) kinds += e.kind;
        return kinds;
    }
};

class ParserTest : public ::testing::Test {
protected:
    void Feed(const Bytes& bytes) { parser.Feed(bytes, now); }
    void Wait(Clock::duration d) {
        now += d;
        parser.Advance(now);
    }
    Recorder sink;
    FrameParser parser{sink, 30ms};
    Clock::time_point now = Clock::time_point{} + 1h;
};

TEST_F(ParserTest, ExampleFramesAreRecognisedWithoutWaiting) {
    Bytes end{0x55, 0x00, 0x39, 0x20, 0x00};
    end.resize(37, 0);
    end.insert(end.end(), {0x7D, 0xF0, 0x44, 0x17});
    const Bytes abc{0x55, 0x00, 0x36, 0x03, 0x00, 0x61, 0x62, 0x63, 0x51, 0x2C, 0x4C, 0x39};
    EXPECT_EQ(MakeFrame(0, CMD_END, {}, 32), end);
    EXPECT_EQ(MakeFrame(0, CMD_BLOCK_6, {'a', 'b', 'c'}), abc);

    // Back to back in one chunk, no quiet time in between.
    Feed(Concat(abc, end));
    ASSERT_EQ(sink.Kinds(), "FF");
    EXPECT_EQ(sink.events[0].cmd, CMD_BLOCK_6);
    EXPECT_EQ(sink.events[0].payload, (Bytes{'a', 'b', 'c'}));
    EXPECT_EQ(sink.events[1].cmd, CMD_END);
    EXPECT_EQ(sink.events[1].payload, Bytes(32, 0));
    EXPECT_FALSE(parser.Deadline());
}

TEST_F(ParserTest, FrameSplitAnywhereIsStillOneFrame) {
    Bytes payload(1024);
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 7 + 0x55);
    const Bytes frame = MakeFrame(0xFE, CMD_BLOCK_5, payload);
    for (std::size_t split = 1; split < frame.size(); split += 1) {
        parser.Feed(std::span(frame).first(split), now);
        now += 10ms;  // less than the gap, and no Advance: the host is mid-frame
        parser.Feed(std::span(frame).subspan(split), now);
    }
    ASSERT_EQ(sink.events.size(), frame.size() - 1);
    for (const auto& e : sink.events) {
        ASSERT_EQ(e.kind, 'F');
        ASSERT_EQ(e.seq, 0xFE);
        ASSERT_EQ(e.payload, payload);
    }
    // One byte at a time, with the caller seeing a quiet line in between
    // but never for a whole gap.
    sink.events.clear();
    for (const uint8_t byte : frame) {
        parser.Feed(Bytes{byte}, now);
        Wait(29ms);
    }
    EXPECT_EQ(sink.Kinds(), "F");
}

TEST_F(ParserTest, NoiseAheadOfAFrame) {
    // Without a sync byte the noise is dropped and the frame answered at once.
    const Bytes frame = MakeFrame(3, CMD_B, {1, 2, 3, 4});
    Feed(Concat({0x00, 0xFF, 0x0A, 0x13}, frame));
    ASSERT_EQ(sink.Kinds(), "XF");
    EXPECT_EQ(sink.events[0].count, 4u);
    EXPECT_EQ(sink.events[1].count, 0u);

    // A sync byte in the noise starts a false frame; at the quiet line the
    // real frame at the end of the burst is found, and nothing is refused.
    sink.events.clear();
    Feed(Concat({0x55, 0x01, 0x55}, frame));
    Wait(29ms);
    EXPECT_EQ(sink.Kinds(), "");
    Wait(1ms);
    ASSERT_EQ(sink.Kinds(), "F");
    EXPECT_EQ(sink.events[0].seq, 3);
    EXPECT_EQ(sink.events[0].count, 3u);
    EXPECT_EQ(sink.events[0].payload, (Bytes{1, 2, 3, 4}));
}

TEST_F(ParserTest, LoneSyncByteIsAProbeOnceTheLineIsQuiet) {
    Feed({kSyncByte});
    ASSERT_TRUE(parser.Deadline());
    EXPECT_EQ(*parser.Deadline(), now + 30ms);
    Wait(29ms);
    EXPECT_EQ(sink.Kinds(), "");
    Wait(1ms);
    EXPECT_EQ(sink.Kinds(), "P");
    EXPECT_FALSE(parser.Deadline());
    EXPECT_TRUE(parser.Hunting());
    // A second probe a second later is a probe again.
    now += 1s;
    Feed({kSyncByte});
    Wait(30ms);
    EXPECT_EQ(sink.Kinds(), "PP");
}

TEST_F(ParserTest, DamagedFramesGiveOneBadFrameAndLoseNothingAfter) {
    const Bytes good = MakeFrame(1, CMD_BLOCK_6, {'o', 'k'});
    struct Case {
        const char* name;
        Bytes bytes;
        BadFrameReason reason;
    };
    Bytes flipped = MakeFrame(0, CMD_BLOCK_5, {9, 9, 9}, 1024);
    flipped[100] ^= 0x01;
    Bytes oversized{0x55, 0x00, 0x35, 0x01, 0x04};  // 1025
    oversized.resize(5000, 0x55);                  // more than the window holds
    Bytes cut = MakeFrame(0, CMD_BLOCK_5, {1}, 1024);
    cut.resize(600);
    const std::vector<Case> cases{{"crc", flipped, BadFrameReason::CrcMismatch},
                                  {"length", oversized, BadFrameReason::LengthTooLarge},
                                  {"incomplete", cut, BadFrameReason::Incomplete}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sink.events.clear();
        // Arriving in pieces with short pauses: still one burst.
        for (std::size_t at = 0; at < c.bytes.size(); at += 700) {
            parser.Feed(std::span(c.bytes).subspan(at, std::min<std::size_t>(700, c.bytes.size() - at)), now);
            Wait(20ms);
        }
        EXPECT_EQ(sink.Kinds(), "");
        Wait(10ms);
        ASSERT_EQ(sink.Kinds(), "B");
        EXPECT_EQ(sink.events[0].reason, c.reason);
        EXPECT_EQ(sink.events[0].count, c.bytes.size());
        Wait(1s);
        EXPECT_EQ(sink.Kinds(), "B") << "answered twice";
        Feed(good);
        ASSERT_EQ(sink.Kinds(), "BF");
        EXPECT_EQ(sink.events[1].payload, (Bytes{'o', 'k'}));
    }
}

TEST_F(ParserTest, ResetForgetsAPendingFrame) {
    Feed({0x55, 0x00, 0x35});
    parser.Reset();
    Wait(1s);
    EXPECT_EQ(sink.Kinds(), "");
    EXPECT_TRUE(parser.Hunting());
}

// The loader with a fake environment: sequence rules and what gets stored.
struct FakeEnvironment final : LoaderEnvironment {
    std::vector<std::string> log;
    std::vector<Bytes> images;
    bool failWrites = false;
    void Log(std::string_view line) override { log.emplace_back(line); }
    bool StoreImage(std::span<const uint8_t> image) override {
        if (failWrites) return false;
        images.emplace_back(image.begin(), image.end());
        return true;
    }
};

class LoaderTest : public ::testing::Test {
protected:
    LoaderTest() : loader(env, FaultPlan({}), 1) {}
    std::string Send(uint8_t seq, uint8_t cmd, const Bytes& payload, std::optional<uint16_t> length = {}) {
        const Bytes frame = MakeFrame(seq, cmd, payload, length);
        ParsedFrame parsed;
        parsed.sequence = seq;
        parsed.command = cmd;
        parsed.length = static_cast<uint16_t>(frame.size() - kFrameOverhead);
        parsed.payload = std::span(frame).subspan(kFrameHeaderSize, parsed.length);
        loader.OnFrame(parsed);
        return Answers();
    }
    std::string End(uint8_t seq) { return Send(seq, CMD_END, {}, 32); }
    std::string Answers() {
        std::string letters;
        const Bytes out = loader.TakeOutput();
        EXPECT_EQ(out.size() % 3, 0u);
        for (std::size_t i = 0; i + 3 <= out.size(); i += 3) {
            EXPECT_EQ(out[i], 'U');
            EXPECT_EQ(out[i + 2], '\n');
            letters += static_cast<char>(out[i + 1]);
        }
        return letters;
    }
    FakeEnvironment env;
    Loader loader;
};

TEST_F(LoaderTest, SequenceRulesKeepTheImageWhole) {
    loader.OnProbe();
    EXPECT_EQ(Answers(), "A");
    EXPECT_EQ(Send(0, CMD_BLOCK_5, {1, 2}, 1024), "A");
    EXPECT_EQ(Send(0, CMD_BLOCK_5, {1, 2}, 1024), "A");  // duplicate
    EXPECT_EQ(Send(2, CMD_BLOCK_6, {3}), "T");           // block 1 skipped
    EXPECT_EQ(Send(1, CMD_BLOCK_6, {3}), "A");
    EXPECT_EQ(Send(0, CMD_BLOCK_6, {4}), "T");           // older than the last accepted
    EXPECT_EQ(End(3), "T");                              // would leave a gap
    EXPECT_TRUE(env.images.empty());
    // A sequence byte wraps after 255.
    for (int seq = 2; seq < 2 + 300; ++seq) ASSERT_EQ(Send(static_cast<uint8_t>(seq), CMD_B, {static_cast<uint8_t>(seq)}), "A");
    EXPECT_EQ(End(static_cast<uint8_t>(302)), "A");
    ASSERT_EQ(env.images.size(), 1u);
    const Bytes& image = env.images[0];
    ASSERT_EQ(image.size(), 1024u + 1 + 300);
    EXPECT_EQ(image[0], 1);
    EXPECT_EQ(image[1023], 0);
    EXPECT_EQ(image[1024], 3);
    EXPECT_EQ(image.back(), static_cast<uint8_t>(301));
    EXPECT_EQ(loader.GetStatus(), Loader::Status::Finished);
    EXPECT_EQ(loader.Stats().frames, 305u);
    EXPECT_EQ(loader.Stats().resends, 1u);
    EXPECT_EQ(loader.Stats().bytesStored, image.size());
}

TEST_F(LoaderTest, ProbeAfterDataStartsAFreshImage) {
    EXPECT_EQ(Send(0, CMD_BLOCK_6, {1}), "A");
    EXPECT_EQ(Send(1, CMD_BLOCK_6, {2}), "A");
    loader.OnProbe();
    EXPECT_EQ(Answers(), "A");
    EXPECT_EQ(Send(1, CMD_BLOCK_6, {2}), "T") << "the restart forgot the last accepted frame";
    EXPECT_EQ(Send(0, CMD_BLOCK_6, {7}), "A");
    EXPECT_EQ(End(1), "A");
    ASSERT_EQ(env.images.size(), 1u);
    EXPECT_EQ(env.images[0], Bytes{7});
    EXPECT_NE(env.log[2].find("restarted"), std::string::npos) << env.log[2];
}

TEST_F(LoaderTest, BadFrameIsRefusedAndCountedAndItsResendIsAResend) {
    loader.OnBadFrame({BadFrameReason::CrcMismatch, 1033});
    EXPECT_EQ(Answers(), "N");
    EXPECT_EQ(Send(0, CMD_BLOCK_6, {1}), "A");
    EXPECT_EQ(loader.Stats().badFrames, 1u);
    EXPECT_EQ(loader.Stats().resends, 1u);
    EXPECT_EQ(env.log[0], "bad frame reason=crc bytes=1033 answer=N");
    EXPECT_EQ(env.log[1], "frame seq=0 cmd=0x36 len=1 crc=ok answer=A stored=1 block=1 garbage=0");
}

TEST_F(LoaderTest, UnwritableImageStopsTheLoader) {
    env.failWrites = true;
    EXPECT_EQ(End(0), "");
    EXPECT_EQ(loader.GetStatus(), Loader::Status::Failed);
    EXPECT_EQ(Send(0, CMD_BLOCK_6, {1}), "");
}

TEST(FaultPlan, FaultsFireOnTheRightArrivals) {
    FaultConfig config;
    config.silentProbes = 2;
    config.refuse[2] = 2;
    config.refuseEvery = 3;
    config.abortAt = 7;
    config.loseAnswer = {4};
    config.garbageAt[5] = 6;
    FaultPlan plan(config);
    EXPECT_FALSE(plan.AnswerProbe());
    EXPECT_FALSE(plan.AnswerProbe());
    EXPECT_TRUE(plan.AnswerProbe());
    EXPECT_EQ(plan.OnArrival(1, 1), BlockVerdict::Accept);
    EXPECT_EQ(plan.OnArrival(2, 1), BlockVerdict::Refuse);
    EXPECT_EQ(plan.OnArrival(2, 2), BlockVerdict::Refuse);
    EXPECT_EQ(plan.OnArrival(2, 3), BlockVerdict::Accept);
    EXPECT_EQ(plan.OnArrival(3, 1), BlockVerdict::Refuse);
    EXPECT_EQ(plan.OnArrival(3, 2), BlockVerdict::Accept);
    EXPECT_EQ(plan.OnArrival(6, 1), BlockVerdict::Refuse);
    EXPECT_EQ(plan.OnArrival(7, 1), BlockVerdict::Abort);
    EXPECT_TRUE(plan.LoseAnswer(4));
    EXPECT_FALSE(plan.LoseAnswer(4)) << "lost twice: the host could never get past it";
    EXPECT_FALSE(plan.LoseAnswer(5));
    EXPECT_EQ(plan.GarbageBefore(5, true), 6u);
    EXPECT_EQ(plan.GarbageBefore(5, false), 0u);
    EXPECT_EQ(plan.GarbageBefore(4, true), 0u);
    config = {};
    config.garbageEvery = 2;
    EXPECT_EQ(FaultPlan(config).GarbageBefore(9, false), 2u);
}

TEST(Options, FullCommandLine) {
    const std::vector<const char*> args{"--link",         "/tmp/x/COM1", "--image=/tmp/x/out", "--log", "/tmp/x/log",
                                        "--baud",         "9600",        "--idle-gap-ms",      "50",    "--repeat",
                                        "3",              "--timeout",   "1.5",                "--silent-probes",
                                        "2",              "--refuse",    "4",                  "--refuse=5:3",
                                        "--refuse-every", "10",          "--abort-at",         "7",     "--lose-answer",
                                        "8",              "--garbage",   "4@2",                "--garbage", "1",
                                        "--hangup-after", "9"};
    Options o;
    std::string error;
    ASSERT_EQ(ParseOptions(args, o, error), ParseOutcome::Run) << error;
    EXPECT_EQ(o.link, "/tmp/x/COM1");
    EXPECT_EQ(o.image, "/tmp/x/out");
    EXPECT_EQ(o.log, "/tmp/x/log");
    EXPECT_EQ(o.baud, 9600u);
    EXPECT_EQ(o.idleGap, 50ms);
    EXPECT_EQ(o.repeat, 3u);
    EXPECT_EQ(o.timeout, 1500ms);
    EXPECT_EQ(o.faults.silentProbes, 2u);
    EXPECT_EQ(o.faults.refuse, (std::map<uint64_t, uint32_t>{{4, 1}, {5, 3}}));
    EXPECT_EQ(o.faults.refuseEvery, 10u);
    EXPECT_EQ(o.faults.abortAt, 7u);
    EXPECT_EQ(o.faults.loseAnswer, std::set<uint64_t>{8});
    EXPECT_EQ(o.faults.garbageAt, (std::map<uint64_t, std::size_t>{{2, 4}}));
    EXPECT_EQ(o.faults.garbageEvery, 1u);
    EXPECT_EQ(o.faults.hangupAfter, 9u);
}

TEST(Options, MistakesAreNamed) {
    const std::vector<std::pair<std::vector<const char*>, std::string>> cases{
        {{"--image", "o"}, "--link"},
        {{"--link", "l", "--tty", "/dev/ttyS0", "--image", "o"}, "--link"},
        {{"--link", "l"}, "--image"},
        {{"--link", "l", "--image", "o", "--refuse", "0"}, "--refuse"},
        {{"--link", "l", "--image", "o", "--refuse", "3:"}, "--refuse"},
        {{"--link", "l", "--image", "o", "--refuse", "3:0"}, "--refuse"},
        {{"--link", "l", "--image", "o", "--garbage", "4@"}, "--garbage"},
        {{"--link", "l", "--image", "o", "--garbage", "x"}, "--garbage"},
        {{"--link", "l", "--image", "o", "--baud", "96OO"}, "--baud"},
        {{"--link", "l", "--image", "o", "--timeout", "0"}, "--timeout"},
        {{"--link", "l", "--image", "o", "--abort-at"}, "--abort-at"},
        {{"--link", "--image", "o"}, "--link"},
        {{"--link", "l", "--image", "o", "--frobnicate", "1"}, "--frobnicate"},
    };
    for (const auto& [args, named] : cases) {
        Options o;
        std::string error;
        EXPECT_EQ(ParseOptions(args, o, error), ParseOutcome::Error) << named;
        EXPECT_NE(error.find(named), std::string::npos) << error;
    }
    Options o;
    std::string error;
    EXPECT_EQ(ParseOptions(std::vector<const char*>{"--help"}, o, error), ParseOutcome::Help);
}

}  // namespace
}  // namespace dravel::devsim
