// dravel-cli through Debian's ser2net, the way boards in racks are reached:
// an RFC 2217 port and a raw TCP port in front of the simulator's
// pseudo-terminal. Every run must end byte for byte or with its cause and
// the documented exit status, in bounded time.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/devsim_process.h"
#include "tests/support/ser2net_process.h"

namespace dravel {
namespace {

using namespace std::chrono_literals;
using testing::DevsimProcess;
using testing::Padded;
using testing::PatternImage;
using testing::RunResult;
using testing::Ser2netProcess;
using testing::SplitLines;
using testing::TempDir;

RunResult RunCli(const std::vector<std::string>& args, std::chrono::milliseconds timeout = 60s) {
    std::vector<std::string> argv = {testing::BinPath("dravel-cli")};
    argv.insert(argv.end(), args.begin(), args.end());
    return testing::Run(argv, {"DRAVEL_TIMER_SCALE=0.25"}, timeout);
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

struct Rack {
    explicit Rack(const std::vector<std::string>& faults = {}) : device(WithGap(faults)), server(device.LinkPath()) {}
    static std::vector<std::string> WithGap(std::vector<std::string> faults) {
        faults.insert(faults.end(), {"--idle-gap-ms", "5"});
        return faults;
    }
    DevsimProcess device;
    Ser2netProcess server;
};

class ThroughSer2net : public ::testing::TestWithParam<bool> {
protected:
    std::string Url(const Rack& rack) const { return GetParam() ? rack.server.Rfc2217Url() : rack.server.RawUrl(); }
};

TEST_P(ThroughSer2net, AnImageArrivesByteForByte) {
    TempDir dir;
    Rack rack;
    const std::string content = PatternImage(40000);
    testing::WriteWholeFile(dir / "fw.bin", content);
    const RunResult result = RunCli({"-p", Url(rack), "--trace", dir / "trace.log", dir / "fw.bin"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(SplitLines(result.out).back(), "Transfer Completed ");
    ASSERT_EQ(rack.device.Wait(), 0);
    EXPECT_EQ(rack.device.Image(), Padded(content));
    const std::string trace = testing::ReadWholeFile(dir / "trace.log");
    if (GetParam()) {
        // The negotiation is traced step by step, the settings sent once.
        EXPECT_TRUE(Contains(trace, "server DO COM-PORT-OPTION")) << trace;
        EXPECT_TRUE(Contains(trace, "server SET-BAUDRATE 115200")) << trace;
        EXPECT_TRUE(Contains(trace, "sent SET-CONTROL DTR off")) << trace;
        std::size_t settings = 0;
        for (const auto& line : SplitLines(trace)) settings += Contains(line, "sent SET-BAUDRATE");
        EXPECT_EQ(settings, 1u);
        // ser2net on a terminal without modem lines leaves DTR and RTS
        // unanswered: one note, not a failure.
        EXPECT_TRUE(Contains(result.err, "unanswered")) << result.err;
    } else {
        EXPECT_TRUE(Contains(trace, "raw TCP")) << trace;
    }
}

TEST_P(ThroughSer2net, AnImageOfNothingButFFBytesArrivesIntact) {
    TempDir dir;
    Rack rack;
    const std::string content(5000, '\xFF');
    testing::WriteWholeFile(dir / "fw.bin", content);
    const RunResult result = RunCli({"-p", Url(rack), dir / "fw.bin"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    ASSERT_EQ(rack.device.Wait(), 0);
    EXPECT_EQ(rack.device.Image(), Padded(content));
    EXPECT_EQ(rack.device.Summary().find("crc_failures=0") != std::string::npos, true) << rack.device.Summary();
}

TEST_P(ThroughSer2net, RefusedFramesAreSentAgainAndAnAbortIsATransferError) {
    TempDir dir;
    const std::string content = PatternImage(6000);
    testing::WriteWholeFile(dir / "fw.bin", content);
    {
        Rack rack({"--refuse", "2:2", "--refuse", "5"});
        const RunResult result = RunCli({"-p", Url(rack), dir / "fw.bin"});
        ASSERT_EQ(result.exitCode, 0) << result.err;
        EXPECT_TRUE(Contains(result.out, "NAK  Data = 3")) << result.out;
        ASSERT_EQ(rack.device.Wait(), 0);
        EXPECT_EQ(rack.device.Image(), Padded(content));
    }
    {
        Rack rack({"--abort-at", "3"});
        const RunResult result = RunCli({"-p", Url(rack), dir / "fw.bin"});
        EXPECT_EQ(result.exitCode, 3) << result.err;
        EXPECT_EQ(SplitLines(result.out).back(), "Transfer Error !! ");
    }
}

TEST_P(ThroughSer2net, AServerStoppedMidTransferIsALostLineAtOnce) {
    TempDir dir;
    Rack rack({"--baud", "115200"});
    testing::WriteWholeFile(dir / "fw.bin", PatternImage(200000));
    testing::ChildProcess cli({testing::BinPath("dravel-cli"), "-p", Url(rack), dir / "fw.bin"}, dir / "out",
                              dir / "err", {});
    ASSERT_TRUE(cli.WaitForStdout("Trnasmited Count 5", 20s)) << cli.Stderr();
    const auto stopped = std::chrono::steady_clock::now();
    rack.server.Stop();
    const auto exit = cli.Wait(15s);
    // Not one answer timer (20 s) waited out.
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, 5s);
    EXPECT_EQ(exit, 3) << cli.Stderr();
    EXPECT_EQ(SplitLines(cli.Stdout()).back(), "Transfer Error !! ");
    EXPECT_TRUE(Contains(cli.Stderr(), "closed the connection") || Contains(cli.Stderr(), "reset"))
        << cli.Stderr();
}

TEST_P(ThroughSer2net, AnotherUserTakingThePortOverEndsTheTransferWithItsCause) {
    TempDir dir;
    Rack rack({"--baud", "115200"});
    testing::WriteWholeFile(dir / "fw.bin", PatternImage(200000));
    testing::ChildProcess first({testing::BinPath("dravel-cli"), "-p", Url(rack), dir / "fw.bin"}, dir / "out1",
                                dir / "err1", {});
    ASSERT_TRUE(first.WaitForStdout("Trnasmited Count 5", 20s)) << first.Stderr();
    // The second user only sits on the port; ser2net kicks the first off.
    const int port = GetParam() ? rack.server.Rfc2217Port() : rack.server.RawPort();
    testing::ChildProcess second({"/usr/bin/python3", "-c",
                                  "import socket,time; s=socket.create_connection(('127.0.0.1'," +
                                      std::to_string(port) + ")); time.sleep(8)"},
                                 dir / "out2", dir / "err2", {});
    EXPECT_EQ(first.Wait(10s), 3) << first.Stderr();
    EXPECT_EQ(SplitLines(first.Stdout()).back(), "Transfer Error !! ");
    EXPECT_TRUE(Contains(first.Stderr(), Url(rack))) << first.Stderr();
}

INSTANTIATE_TEST_SUITE_P(Ports, ThroughSer2net, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& port) { return port.param ? "rfc2217" : "raw"; });

TEST(NetworkPortFailures, NoServerAndNoSuchHostEndWithTheOpenErrorAndTheCause) {
    TempDir dir;
    testing::WriteWholeFile(dir / "fw.bin", "abc");
    const int nobody = testing::FreeTcpPort();
    for (const auto& [url, cause] :
         {std::pair{"rfc2217://127.0.0.1:" + std::to_string(nobody), std::string("refused")},
          std::pair{"socket://127.0.0.1:" + std::to_string(nobody), std::string("refused")},
          std::pair{std::string("rfc2217://no-such-host.invalid:2217"), std::string("cannot resolve host")}}) {
        const auto began = std::chrono::steady_clock::now();
        const RunResult result = RunCli({"-p", url, dir / "fw.bin"});
        EXPECT_LT(std::chrono::steady_clock::now() - began, 15s);
        EXPECT_EQ(result.exitCode, 1) << url << "\n" << result.err;
        EXPECT_EQ(SplitLines(result.out).back(), "CommPort Open Error");
        EXPECT_TRUE(Contains(result.err, cause)) << result.err;
    }
}

TEST(NetworkPortFailures, AMalformedNetworkPortIsABadCommandLine) {
    for (const std::string url : {"rfc2217://host", "socket://:80", "rfc2217://host:99999", "socket://::1:80"}) {
        const RunResult result = RunCli({"-p", url, "fw.bin"});
        EXPECT_EQ(result.exitCode, 2) << url;
        EXPECT_TRUE(Contains(result.err, url)) << result.err;
    }
}

TEST(NetworkPortFailures, APortThatIsNoRfc2217ServerFailsTheOpenInBoundedTime) {
    TempDir dir;
    Rack rack;
    testing::WriteWholeFile(dir / "fw.bin", "abc");
    // The raw port passes the telnet offers through to the device, which
    // never answers them: the negotiation gives up after its 3 s.
    const std::string url = "rfc2217://127.0.0.1:" + std::to_string(rack.server.RawPort());
    const auto began = std::chrono::steady_clock::now();
    const RunResult result = RunCli({"-p", url, dir / "fw.bin"});
    const auto took = std::chrono::steady_clock::now() - began;
    EXPECT_EQ(result.exitCode, 1) << result.err;
    EXPECT_TRUE(Contains(result.err, "socket://")) << result.err;
    EXPECT_GE(took, 2900ms);
    EXPECT_LT(took, 8s);
}

TEST(NetworkGang, TwoNetworkPortsAndALocalOneGetTheSameImage) {
    TempDir dir;
    Rack first;
    Rack second;
    DevsimProcess local({"--idle-gap-ms", "5"});
    const std::string content = PatternImage(30000);
    testing::WriteWholeFile(dir / "fw.bin", content);
    const RunResult result = RunCli({"-p", first.server.Rfc2217Url(), "-p", second.server.RawUrl(), "-p",
                                     local.LinkPath(), dir / "fw.bin"});
    ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
    for (DevsimProcess* device : {&first.device, &second.device, &local}) {
        ASSERT_EQ(device->Wait(), 0);
        EXPECT_EQ(device->Image(), Padded(content));
    }
}

TEST(NetworkEnvironment, DravelComNamesANetworkPortForAPortNumber) {
    TempDir dir;
    Rack rack;
    const std::string content = PatternImage(3000);
    testing::WriteWholeFile(dir / "fw.bin", content);
    const RunResult result = testing::Run({testing::BinPath("dravel-cli"), "--port", "3", dir / "fw.bin"},
                                          {"DRAVEL_TIMER_SCALE=0.25", "DRAVEL_COM3=" + rack.server.Rfc2217Url()}, 60s);
    ASSERT_EQ(result.exitCode, 0) << result.err;
    ASSERT_EQ(rack.device.Wait(), 0);
    EXPECT_EQ(rack.device.Image(), Padded(content));
}

}  // namespace
}  // namespace dravel
