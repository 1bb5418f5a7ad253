// dravel-cli on a production line: any device as a port, bounded waits, a
// missing image found before the line is touched, quiet output, the trace
// and the report, and the same image to several devices at once.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/devsim_process.h"

namespace dravel {
namespace {

using namespace std::chrono_literals;
using testing::DevsimProcess;
using testing::Padded;
using testing::PatternImage;
using testing::RunResult;
using testing::SplitLines;
using testing::TempDir;

std::string Cli() { return testing::BinPath("dravel-cli"); }

RunResult RunCli(const std::vector<std::string>& args, const std::string& scale = "0.25",
                 std::chrono::milliseconds timeout = 60s) {
    std::vector<std::string> argv = {Cli()};
    argv.insert(argv.end(), args.begin(), args.end());
    return testing::Run(argv, {"DRAVEL_TIMER_SCALE=" + scale}, timeout);
}

// Probes the simulator saw: none means nothing reached the line.
std::size_t ProbesSeen(const DevsimProcess& device) {
    std::size_t probes = 0;
    for (const auto& line : device.Log()) probes += line.find("probe") != std::string::npos;
    return probes;
}

std::string Sha256Sum(const std::string& path) {
    std::string command = "sha256sum '" + path + "'";
    std::FILE* pipe = ::popen(command.c_str(), "r");
    char digest[65] = {};
    if (pipe == nullptr || std::fscanf(pipe, "%64s", digest) != 1) digest[0] = '\0';
    if (pipe) ::pclose(pipe);
    return digest;
}

TEST(CliPorts, ADevicePathIsAPort) {
    TempDir dir;
    DevsimProcess device({"--idle-gap-ms", "5"});
    const std::string content = PatternImage(3000);
    testing::WriteWholeFile(dir / "fw.bin", content);
    auto result = RunCli({"-p", device.LinkPath(), dir / "fw.bin"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(SplitLines(result.out).back(), "Transfer Completed ");
    ASSERT_EQ(device.Wait(), 0);
    EXPECT_EQ(device.Image(), Padded(content));
}

TEST(CliPorts, ADevicePathThatIsNoSerialLineIsRefusedAndLeftUntouched) {
    TempDir dir;
    testing::WriteWholeFile(dir / "fw.bin", "abc");
    testing::WriteWholeFile(dir / "precious", "keep");
    for (const std::string& device : {dir / "precious", dir.Path(), dir / "missing"}) {
        auto result = RunCli({"--port", device, dir / "fw.bin"});
        EXPECT_EQ(result.exitCode, 1) << device;
        EXPECT_EQ(SplitLines(result.out).back(), "CommPort Open Error");
        EXPECT_NE(result.err.find(device), std::string::npos) << result.err;
    }
    EXPECT_EQ(testing::ReadWholeFile(dir / "precious"), "keep");
}

TEST(CliPorts, ABusyPortIsRefusedWithItsCause) {
    TempDir dir;
    DevsimProcess device({"--idle-gap-ms", "5", "--silent-probes", "1000"});
    testing::WriteWholeFile(dir / "fw.bin", "abc");
    testing::ChildProcess holder({Cli(), "-p", device.LinkPath(), dir / "fw.bin"}, dir / "out", dir / "err", {});
    std::this_thread::sleep_for(500ms);
    auto result = RunCli({"-p", device.LinkPath(), dir / "fw.bin"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.err.find("busy"), std::string::npos) << result.err;
    holder.Signal(SIGTERM);
    EXPECT_EQ(holder.Wait(10s), 143);
}

TEST(CliLimits, NoAnswerWithinTheSyncTimeoutExitsFourAndClosesThePort) {
    TempDir dir;
    DevsimProcess device({"--silent-probes", "1000"});
    testing::WriteWholeFile(dir / "fw.bin", "abc");
    const auto began = std::chrono::steady_clock::now();
    auto result = RunCli({"-p", device.LinkPath(), "--sync-timeout", "1.5", dir / "fw.bin"}, "1");
    const auto took = std::chrono::steady_clock::now() - began;
    EXPECT_EQ(result.exitCode, 4) << result.err;
    EXPECT_NE(result.err.find("no answer from the device"), std::string::npos) << result.err;
    EXPECT_GE(took, 1400ms);
    EXPECT_LT(took, 10s);
    EXPECT_EQ(SplitLines(result.out).back(), "No Answer 1");
    // The port is free again.
    auto list = RunCli({"--port", device.LinkPath(), "--sync-timeout", "0.2", "--kind", "5"}, "1");
    EXPECT_EQ(list.exitCode, 4) << list.err;
}

TEST(CliLimits, AFrameRefusedMoreOftenThanAllowedIsATransferError) {
    TempDir dir;
    DevsimProcess device({"--idle-gap-ms", "5", "--refuse", "2:10"});
    testing::WriteWholeFile(dir / "fw.bin", PatternImage(4000));
    auto result = RunCli({"-p", device.LinkPath(), "--max-resends", "2", dir / "fw.bin"});
    EXPECT_EQ(result.exitCode, 3);
    const auto lines = SplitLines(result.out);
    EXPECT_EQ(lines.back(), "Transfer Error !! ");
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "NAK  Data = 3"), 1) << result.out;
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "NAK  Data = 4"), 0) << "no fourth sending";
    EXPECT_NE(result.err.find("sent 3 times"), std::string::npos) << result.err;
    device.Stop();
    EXPECT_FALSE(device.EndSequence().has_value()) << "no end frame after a failure";
}

TEST(CliLimits, BadLimitsAreUsageErrors) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--sync-timeout", "0", "f"}, {"--sync-timeout", "-1", "f"},
          {"--sync-timeout", "soon", "f"}, {"--max-resends", "-1", "f"}, {"--max-resends", "x", "f"},
          {"-p", "1", "-p", "1", "f"}}) {
        auto result = RunCli(args);
        EXPECT_EQ(result.exitCode, 2) << args[1];
        EXPECT_TRUE(result.out.empty());
        EXPECT_NE(result.err.find("usage:"), std::string::npos);
    }
}

TEST(CliImage, AMissingImageIsReportedBeforeThePortIsOpened) {
    TempDir dir;
    DevsimProcess device({"--idle-gap-ms", "5"});
    for (const std::string& image : {dir / "missing.bin", dir.Path()}) {
        auto result = RunCli({"-p", device.LinkPath(), "--sync-timeout", "5", image});
        EXPECT_EQ(result.exitCode, 3);
        EXPECT_EQ(SplitLines(result.out), (std::vector<std::string>{image + " Open Failed"}));
        EXPECT_NE(result.err.find(image), std::string::npos);
    }
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(ProbesSeen(device), 0u) << "nothing reached the line";
}

TEST(CliOutput, QuietLeavesOnlyTheResult) {
    TempDir dir;
    DevsimProcess device({"--idle-gap-ms", "5", "--refuse", "1"});
    testing::WriteWholeFile(dir / "fw.bin", PatternImage(2100));
    auto result = RunCli({"-q", "-p", device.LinkPath(), dir / "fw.bin"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(SplitLines(result.out), (std::vector<std::string>{"Transfer Completed "}));
}

TEST(CliOutput, TraceHasALineForEveryProbeFrameAnswerTimerAndResend) {
    TempDir dir;
    // Block 2 is refused once; the answer to block 3 is lost once.
    DevsimProcess device({"--idle-gap-ms", "5", "--refuse", "2", "--lose-answer", "3"});
    testing::WriteWholeFile(dir / "fw.bin", PatternImage(3 * 1024));
    auto result = RunCli({"-p", device.LinkPath(), "--trace", dir / "trace.log", dir / "fw.bin"}, "0.05");
    ASSERT_EQ(result.exitCode, 0) << result.err;

    const std::regex line(R"((\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z) (\S+) (.*))");
    std::vector<std::string> events;
    for (const auto& text : SplitLines(testing::ReadWholeFile(dir / "trace.log"))) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(text, match, line)) << text;
        EXPECT_EQ(match[2].str(), device.LinkPath());
        std::string event = match[3].str();
        // Probes that went before the first answer do not matter here.
        if (event == "probe 55" && !events.empty() && events.back() == "probe 55") continue;
        events.push_back(event);
    }
    ASSERT_GE(events.size(), 3u);
    // Frames stand in by their sequence byte and command only.
    for (auto& event : events) {
        if (event.rfind("frame ", 0) == 0) event = event.substr(0, event.find(" len="));
    }
    const std::vector<std::string> expected = {
        "image " + dir / "fw.bin" + ": bin, 3072 bytes, sent as it is read",
        "line low latency: means nothing on " + device.LinkPath() + " (no serial driver behind it, a pseudo-terminal?)",
        "port open " + device.LinkPath() + " " + device.LinkPath(),
        "probe 55",
        "answer 55 41 0A -> ACK",
        "frame seq=00 cmd=35 '5'",
        "answer 55 41 0A -> ACK",
        "frame seq=01 cmd=35 '5'",
        "answer 55 4E 0A -> NAK",
        "resend seq=01 sending 2",
        "frame seq=01 cmd=35 '5'",
        "answer 55 41 0A -> ACK",
        "frame seq=02 cmd=35 '5'",
        "timer 3 expired -> TIMEOUT",
        "resend seq=02 sending 2",
        "frame seq=02 cmd=35 '5'",
        "answer 55 41 0A -> ACK",
        "frame seq=03 cmd=39 '9'",
        "port close " + device.LinkPath() + " " + device.LinkPath(),
    };
    EXPECT_EQ(events, expected);
    const std::string full = testing::ReadWholeFile(dir / "trace.log");
    EXPECT_NE(full.find("frame seq=00 cmd=35 '5' len=1024 crc="), std::string::npos);
    EXPECT_NE(full.find("wire=1033"), std::string::npos);
}

TEST(CliOutput, ReportAppendsOneObjectPerTransferWithTheImagesDigest) {
    TempDir dir;
    const std::string content = PatternImage(5000, 7);
    testing::WriteWholeFile(dir / "fw.bin", content);
    {
        DevsimProcess device({"--idle-gap-ms", "5", "--refuse", "2"});
        auto result = RunCli({"-p", device.LinkPath(), "--report", dir / "report.jsonl", dir / "fw.bin"});
        ASSERT_EQ(result.exitCode, 0) << result.err;
    }
    {
        DevsimProcess device({"--idle-gap-ms", "5", "--abort-at", "2"});
        auto result = RunCli({"-p", device.LinkPath(), "--kind", "3", "--report", dir / "report.jsonl", dir / "fw.bin"});
        ASSERT_EQ(result.exitCode, 3) << result.err;
    }
    const auto lines = SplitLines(testing::ReadWholeFile(dir / "report.jsonl"));
    ASSERT_EQ(lines.size(), 2u);
    const auto first = nlohmann::json::parse(lines[0]);
    EXPECT_TRUE(std::regex_match(first["start"].get<std::string>(),
                                 std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")));
    EXPECT_FALSE(first["version"].get<std::string>().empty());
    EXPECT_EQ(first["image"], dir / "fw.bin");
    EXPECT_EQ(first["size"], 5000);
    EXPECT_EQ(first["sha256"], Sha256Sum(dir / "fw.bin"));
    EXPECT_EQ(first["kind"], 2);
    EXPECT_EQ(first["frames"], 5);
    EXPECT_EQ(first["resends"], 1);
    EXPECT_EQ(first["no_answers"], 0);
    EXPECT_EQ(first["payload_bytes"], 5000);
    EXPECT_GT(first["seconds"].get<double>(), 0.0);
    EXPECT_GT(first["bytes_per_second"].get<double>(), 0.0);
    EXPECT_EQ(first["outcome"], "Transfer Completed ");
    EXPECT_EQ(first["exit_code"], 0);
    const auto second = nlohmann::json::parse(lines[1]);
    EXPECT_EQ(second["kind"], 3);
    EXPECT_EQ(second["outcome"], "Transfer Error !! ");
    EXPECT_EQ(second["exit_code"], 3);
    EXPECT_EQ(second["payload_bytes"], 1024);
}

TEST(CliOutput, AReportThatCannotBeWrittenStopsTheRunBeforeTheLine) {
    TempDir dir;
    DevsimProcess device({"--idle-gap-ms", "5"});
    testing::WriteWholeFile(dir / "fw.bin", "abc");
    for (const std::string& report : {dir.Path(), dir / "no-such-folder/r.jsonl"}) {
        auto result = RunCli({"-p", device.LinkPath(), "--report", report, dir / "fw.bin"});
        EXPECT_EQ(result.exitCode, 2) << report;
        EXPECT_NE(result.err.find(report), std::string::npos) << result.err;
    }
    auto trace = RunCli({"-p", device.LinkPath(), "--trace", dir / "no-such-folder/t.log", dir / "fw.bin"});
    EXPECT_EQ(trace.exitCode, 2);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(ProbesSeen(device), 0u);
}

TEST(CliGang, FourDevicesAtOnceWithOneThatAbortsAndOneThatHangsUp) {
    TempDir dir;
    const std::string content = PatternImage(6 * 1024 + 10, 3);
    testing::WriteWholeFile(dir / "fw.bin", content);
    DevsimProcess good1({"--idle-gap-ms", "5"});
    DevsimProcess good2({"--idle-gap-ms", "5", "--refuse", "3"});
    DevsimProcess aborting({"--idle-gap-ms", "5", "--abort-at", "2"});
    DevsimProcess hanging({"--idle-gap-ms", "5", "--hangup-after", "3"});
    auto result = RunCli({"-p", good1.LinkPath(), "-p", good2.LinkPath(), "-p", aborting.LinkPath(), "-p",
                          hanging.LinkPath(), "--report", dir / "report.jsonl", dir / "fw.bin"});
    EXPECT_EQ(result.exitCode, 3) << result.out << result.err;
    ASSERT_EQ(good1.Wait(), 0);
    ASSERT_EQ(good2.Wait(), 0);
    EXPECT_EQ(good1.Image(), Padded(content));
    EXPECT_EQ(good2.Image(), Padded(content));

    // The table at the end: a row per port, in the order given.
    const auto lines = SplitLines(result.out);
    auto header = std::find_if(lines.begin(), lines.end(), [](const std::string& l) { return l.rfind("port ", 0) == 0; });
    ASSERT_NE(header, lines.end()) << result.out;
    ASSERT_EQ(lines.end() - header, 5);
    EXPECT_NE(header[1].find("Transfer Completed"), std::string::npos) << header[1];
    EXPECT_NE(header[2].find("Transfer Completed"), std::string::npos) << header[2];
    EXPECT_NE(header[3].find("Transfer Error !!"), std::string::npos) << header[3];
    EXPECT_NE(header[4].find("Transfer Error !!"), std::string::npos) << header[4];
    EXPECT_NE(header[2].find(good2.LinkPath()), std::string::npos);
    // Each port's own texts, marked with the port.
    EXPECT_NE(result.out.find("[" + good1.LinkPath() + "] Sync Dectected ..."), std::string::npos);

    const auto reports = SplitLines(testing::ReadWholeFile(dir / "report.jsonl"));
    ASSERT_EQ(reports.size(), 4u);
    int completed = 0;
    for (const auto& text : reports) completed += nlohmann::json::parse(text)["exit_code"] == 0;
    EXPECT_EQ(completed, 2);
}

TEST(CliGang, InterruptStopsEveryChildAndFreesEveryPort) {
    TempDir dir;
    testing::WriteWholeFile(dir / "fw.bin", PatternImage(64 * 1024));
    DevsimProcess first({"--idle-gap-ms", "5", "--baud", "9600"});
    DevsimProcess second({"--idle-gap-ms", "5", "--baud", "9600"});
    testing::ChildProcess cli({Cli(), "-p", first.LinkPath(), "-p", second.LinkPath(), dir / "fw.bin"}, dir / "out",
                              dir / "err", {"DRAVEL_TIMER_SCALE=0.25"});
    std::this_thread::sleep_for(1500ms);
    cli.Signal(SIGINT);
    EXPECT_EQ(cli.Wait(10s), 130);
    // The port is free again: a new run may open it (whether the simulator,
    // left in the middle of a transfer, answers its probe does not matter).
    for (const DevsimProcess* device : {&first, &second}) {
        auto again = RunCli({"-p", device->LinkPath(), "--sync-timeout", "0.2", "--kind", "5"}, "1");
        EXPECT_TRUE(again.exitCode == 0 || again.exitCode == 4) << again.exitCode.value_or(-1) << ": " << again.err;
        EXPECT_EQ(again.err.find("busy"), std::string::npos) << again.err;
    }
}

TEST(CliVersion, EveryProgramSaysItsVersion) {
    for (const std::string tool : {"dravel-cli", "dravel-devsim", "dravel-linesim"}) {
        auto result = testing::Run({testing::BinPath(tool), "--version"}, {}, 10s);
        EXPECT_EQ(result.exitCode, 0) << tool;
        EXPECT_TRUE(std::regex_search(result.out, std::regex(tool + R"( \d+\.\d+\.\d+)"))) << result.out;
    }
}

}  // namespace
}  // namespace dravel
