// dravel-cli as a user and a script see it: its standard output, its exit
// codes, and what reaches the simulated device.

#include <gtest/gtest.h>

#include <signal.h>

#include <filesystem>
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

RunResult RunCli(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
    std::vector<std::string> argv = {Cli()};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> fullEnv = {"DRAVEL_TIMER_SCALE=0.25"};
    fullEnv.insert(fullEnv.end(), env.begin(), env.end());
    return testing::Run(argv, fullEnv, 60s);
}

TEST(Cli, CompletedTransferPrintsTheSystemsTextsAndExitsZero) {
    TempDir dir;
    DevsimProcess device({"--idle-gap-ms", "5"});
    const std::string content = PatternImage(2500);
    testing::WriteWholeFile(dir / "fw.bin", content);
    auto result = RunCli({"--port", "1", "--kind", "2", dir / "fw.bin"}, {"DRAVEL_COM1=" + device.LinkPath()});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(SplitLines(result.out),
              (std::vector<std::string>{"Transmitting .... ", "Sync Dectected ...", "Trnasmited Count 1",
                                        "Trnasmited Count 2", "Trnasmited Count 3", "Transfer Completed "}));
    EXPECT_EQ(result.err.find('\r'), std::string::npos) << "no progress bar on a pipe";
    ASSERT_EQ(device.Wait(), 0);
    EXPECT_EQ(device.Image(), Padded(content));
}

TEST(Cli, ThePortsDeviceComesFromItsEnvironmentVariable) {
    TempDir dir;
    DevsimProcess device({"--idle-gap-ms", "5"});
    testing::WriteWholeFile(dir / "fw.bin", "abc");
    auto result = RunCli({"--port", "3", dir / "fw.bin"}, {"DRAVEL_COM3=" + device.LinkPath()});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    ASSERT_EQ(device.Wait(), 0);
}

TEST(Cli, APortIsTheDeviceTheDesktopProgramKeptForItUnlessItsVariableIsSet) {
    TempDir dir;
    DevsimProcess device({"--idle-gap-ms", "5"});
    const std::string content = PatternImage(1500);
    testing::WriteWholeFile(dir / "fw.bin", content);
    std::filesystem::create_directories(dir / "config/dravel");
    testing::WriteWholeFile(dir / "config/dravel/ports.json", "{\"ports\": {\"2\": \"" + device.LinkPath() + "\"}}");
    const std::vector<std::string> settings = {"XDG_CONFIG_HOME=" + dir / "config", "DRAVEL_COM2="};

    auto list = RunCli({"--list-ports"}, settings);
    const auto lines = SplitLines(list.out);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_NE(lines[1].find(device.LinkPath()), std::string::npos) << lines[1];
    EXPECT_NE(lines[1].find("[remembered]"), std::string::npos) << lines[1];

    auto result = RunCli({"--port", "2", "--trace", dir / "trace.log", dir / "fw.bin"}, settings);
    ASSERT_EQ(result.exitCode, 0) << result.err;
    ASSERT_EQ(device.Wait(), 0);
    EXPECT_EQ(device.Image(), Padded(content));
    EXPECT_EQ(testing::ReadWholeFile(dir / "trace.log").find("ignored"), std::string::npos);

    // The variable still wins over the store.
    auto overridden = RunCli({"--port", "2", dir / "fw.bin"},
                             {"XDG_CONFIG_HOME=" + dir / "config", "DRAVEL_COM2=" + dir / "no-such-tty"});
    EXPECT_EQ(overridden.exitCode, 1);
    EXPECT_EQ(SplitLines(overridden.out), (std::vector<std::string>{"Transmitting .... ", "CommPort Open Error"}));
    EXPECT_NE(overridden.err.find(dir / "no-such-tty"), std::string::npos) << overridden.err;

    // A damaged store: the default device, and the trace says why.
    testing::WriteWholeFile(dir / "config/dravel/ports.json", "{\"ports\": {\"2\": ");
    auto damaged = RunCli({"--port", "2", "--kind", "5", "--sync-timeout", "1", "--trace", dir / "damaged.log"}, settings);
    EXPECT_NE(damaged.exitCode, 0);
    const std::string trace = testing::ReadWholeFile(dir / "damaged.log");
    EXPECT_NE(trace.find("ports.json ignored, it is not JSON"), std::string::npos) << trace;
    EXPECT_EQ(damaged.err.find(device.LinkPath()), std::string::npos) << damaged.err;
}

TEST(Cli, DeviceAbortExitsThree) {
    TempDir dir;
    DevsimProcess device({"--idle-gap-ms", "5", "--abort-at", "1"});
    testing::WriteWholeFile(dir / "fw.bin", PatternImage(100));
    auto result = RunCli({dir / "fw.bin"}, {"DRAVEL_COM1=" + device.LinkPath()});
    EXPECT_EQ(result.exitCode, 3);
    EXPECT_EQ(SplitLines(result.out).back(), "Transfer Error !! ");
}

TEST(Cli, FileThatCannotBeOpenedExitsThreeWithItsPathAndCause) {
    TempDir dir;
    for (const std::string& path : {dir / "missing.bin", dir.Path(), std::string("/dev/zero")}) {
        DevsimProcess device({"--idle-gap-ms", "5"});
        auto result = RunCli({path}, {"DRAVEL_COM1=" + device.LinkPath()});
        EXPECT_EQ(result.exitCode, 3) << path;
        EXPECT_EQ(SplitLines(result.out).back(), path + " Open Failed");
        EXPECT_NE(result.err.find(path), std::string::npos) << result.err;
    }
}

TEST(Cli, PortThatCannotBeOpenedIsFatalWithExitOne) {
    TempDir dir;
    testing::WriteWholeFile(dir / "fw.bin", "abc");
    testing::WriteWholeFile(dir / "not-a-port", "precious");
    for (const std::string& device : {dir / "nothing-here", dir / "not-a-port", dir.Path()}) {
        auto result = RunCli({dir / "fw.bin"}, {"DRAVEL_COM1=" + device});
        EXPECT_EQ(result.exitCode, 1) << device;
        EXPECT_EQ(SplitLines(result.out),
                  (std::vector<std::string>{"Transmitting .... ", "CommPort Open Error"}));
        EXPECT_NE(result.err.find(device), std::string::npos) << "the cause names the device: " << result.err;
    }
    EXPECT_EQ(testing::ReadWholeFile(dir / "not-a-port"), "precious");
}

TEST(Cli, BadCommandLinesSayWhatIsWrongAndExitTwo) {
    const std::vector<std::vector<std::string>> bad = {
        {}, {"--port", "5", "f"}, {"--port"}, {"--kind", "0", "f"}, {"--kind", "x", "f"}, {"--bogus", "f"}, {"a", "b"}};
    for (const auto& args : bad) {
        auto result = RunCli(args);
        EXPECT_EQ(result.exitCode, 2);
        EXPECT_TRUE(result.out.empty());
        EXPECT_NE(result.err.find("usage:"), std::string::npos);
    }
    auto help = RunCli({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("DRAVEL_COM"), std::string::npos);
}

TEST(Cli, ListPortsShowsEachPortsDeviceAndState) {
    DevsimProcess device;
    auto result = RunCli({"--list-ports"}, {"DRAVEL_COM2=" + device.LinkPath(), "DRAVEL_COM3=/nonexistent/tty"});
    ASSERT_EQ(result.exitCode, 0);
    const auto lines = SplitLines(result.out);
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[0].rfind("port 1", 0), 0u);
    EXPECT_EQ(lines[3].rfind("port 4", 0), 0u);
    EXPECT_NE(lines[1].find(device.LinkPath()), std::string::npos);
    EXPECT_NE(lines[1].find("free"), std::string::npos) << lines[1];
    EXPECT_NE(lines[2].find("missing"), std::string::npos) << lines[2];
}

TEST(Cli, InterruptClosesThePortAndExits130) {
    TempDir dir;
    DevsimProcess device({"--idle-gap-ms", "5", "--baud", "9600"});
    testing::WriteWholeFile(dir / "fw.bin", PatternImage(64 * 1024));
    testing::ChildProcess cli({Cli(), dir / "fw.bin"}, dir / "out", dir / "err",
                              {"DRAVEL_COM1=" + device.LinkPath(), "DRAVEL_TIMER_SCALE=0.25"});
    std::this_thread::sleep_for(1500ms);
    cli.Signal(SIGINT);
    EXPECT_EQ(cli.Wait(10s), 130);
    EXPECT_NE(testing::ReadWholeFile(dir / "err").find("port is closed"), std::string::npos);
    // The line is free again at once.
    auto again = RunCli({"--list-ports"}, {"DRAVEL_COM1=" + device.LinkPath()});
    EXPECT_NE(SplitLines(again.out)[0].find("free"), std::string::npos) << again.out;
    device.Stop();
    EXPECT_FALSE(device.EndSequence().has_value());
}

TEST(Cli, TerminateExits143) {
    TempDir dir;
    DevsimProcess device({"--silent-probes", "1000"});
    testing::WriteWholeFile(dir / "fw.bin", "abc");
    testing::ChildProcess cli({Cli(), dir / "fw.bin"}, dir / "out", dir / "err", {"DRAVEL_COM1=" + device.LinkPath()});
    std::this_thread::sleep_for(500ms);
    cli.Signal(SIGTERM);
    EXPECT_EQ(cli.Wait(10s), 143);
}

}  // namespace
}  // namespace dravel
