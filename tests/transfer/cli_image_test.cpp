// dravel-cli with the files a toolchain writes: what reaches the simulated
// device is objcopy's flat image of the same file, byte for byte; a bad file
// is refused before any port is opened; --convert writes the same image.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/support/devsim_process.h"
#include "tests/support/toolchain.h"

namespace dravel {
namespace {

using namespace std::chrono_literals;
using testing::DevsimProcess;
using testing::HexRecord;
using testing::Padded;
using testing::ReadWholeFile;
using testing::RunResult;
using testing::SplitLines;
using testing::Srec;
using testing::TempDir;
using testing::Tool;
using testing::WriteWholeFile;

// dravel-cli with `args`; `input` (a file) as its standard input, if given.
RunResult RunCli(const std::vector<std::string>& args, const std::string& input = "/dev/null") {
    std::vector<std::string> argv = {"/bin/sh", "-c", "exec \"$0\" \"$@\" < \"$DRAVEL_TEST_INPUT\"",
                                     testing::BinPath("dravel-cli")};
    argv.insert(argv.end(), args.begin(), args.end());
    return testing::Run(argv, {"DRAVEL_TIMER_SCALE=0.25", "DRAVEL_TEST_INPUT=" + input}, 60s);
}

std::string Sha256(const std::string& path) {
    const RunResult run = testing::Run({"/usr/bin/sha256sum", path});
    return run.out.substr(0, 64);
}

// Code in flash with a gap before its constants, initialised data loaded
// after them while it runs in RAM, and zeroed data: two blocks in all.
const testing::Program kFirmware = testing::FlashAndRamProgram(900, 5);

TEST(CliImages, ToolchainFilesReachTheDeviceAsObjcopysFlatImage) {
    DRAVEL_SKIP_WITHOUT("arm-none-eabi-as", "arm-none-eabi-ld", "arm-none-eabi-objcopy", "srec_cat");
    TempDir dir;
    const std::string elf = testing::Link(dir, kFirmware);
    if (HasFatalFailure()) return;
    const std::string flat = testing::ObjcopyFlat(dir, elf, "");
    Tool({"arm-none-eabi-objcopy", "-O", "ihex", elf, dir / "app.hex"});
    Tool({"arm-none-eabi-objcopy", "-O", "srec", elf, dir / "objcopy.srec"});
    for (const std::string length : {"2", "3", "4"}) {
        Tool({"srec_cat", dir / "objcopy.srec", "-motorola", "-o", dir / ("app.s" + length + "9"), "-motorola",
              "-address-length=" + length});
    }
    std::filesystem::copy_file(dir / "app.hex", dir / "firmware");
    if (HasFatalFailure()) return;
    ASSERT_EQ(flat.size(), 0x200u + 40 + 900 + 24) << "the layout the cases expect";

    const struct {
        std::string file;    // as given; "-": the source below on standard input
        std::string source;  // the file the bytes come from
        std::string format;
        int devices = 1;  // more: a gang, which converts once for all
        std::vector<std::string> options = {};
        bool zeroPadded = true;  // kind 2 pads the last block with zeros; kind 3 sends it as it is
        bool watch = false;      // the devices as boards that a watch finds
    } cases[] = {
        {elf, elf, "elf"},
        {dir / "app.hex", dir / "app.hex", "ihex"},
        {dir / "app.s29", dir / "app.s29", "srec"},
        {dir / "app.s39", dir / "app.s39", "srec", 1, {"--kind", "3"}, false},
        {dir / "app.s49", dir / "app.s49", "srec", 2},
        {dir / "firmware", dir / "firmware", "ihex"},  // by content
        {"-", elf, "elf"},
        {"-", dir / "app.s29", "srec", 2, {"--json"}},
        {"-", dir / "app.hex", "ihex", 2, {"--count", "2"}, true, true},
    };
    const std::string report = dir / "report.jsonl";
    std::size_t transfers = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file + " from " + c.source);
        std::vector<std::unique_ptr<DevsimProcess>> devices;
        std::vector<std::string> args = {"--report", report, "--trace", dir / "trace.log"};
        for (int i = 0; i < c.devices; ++i) {
            const std::vector<std::string> options = {"--idle-gap-ms", "5"};
            if (c.watch) {
                devices.push_back(std::make_unique<DevsimProcess>(options, dir / ("board" + std::to_string(i))));
            } else {
                devices.push_back(std::make_unique<DevsimProcess>(options));
                args.insert(args.end(), {"-p", devices.back()->LinkPath()});
            }
        }
        if (c.watch) args.insert(args.end(), {"--watch", dir / "board*"});
        args.insert(args.end(), c.options.begin(), c.options.end());
        args.push_back(c.file);
        const RunResult run = RunCli(args, c.source);
        ASSERT_EQ(run.exitCode, 0) << run.err << run.out;
        for (const auto& device : devices) {
            ASSERT_EQ(device->Wait(), 0);
            EXPECT_TRUE(device->Image() == (c.zeroPadded ? Padded(flat) : flat)) << "the device holds " << device->Image().size();
        }
        const auto lines = SplitLines(ReadWholeFile(report));
        ASSERT_EQ(lines.size(), transfers + devices.size());
        for (; transfers < lines.size(); ++transfers) {
            const auto record = nlohmann::json::parse(lines[transfers]);
            EXPECT_EQ(record["image"], c.file);
            EXPECT_EQ(record["format"], c.format);
            EXPECT_EQ(record["base"], "0x08000000");
            EXPECT_EQ(record["size"], flat.size());
            EXPECT_EQ(record["sha256"], Sha256(dir / "reference.bin"));
            EXPECT_EQ(record["source_sha256"], Sha256(c.source));
        }
        // The trace says what is sent before anything goes on the line.
        const auto trace = SplitLines(ReadWholeFile(dir / "trace.log"));
        ASSERT_FALSE(trace.empty());
        EXPECT_NE(trace.front().find("image " + c.file + ": " + c.format + ", base 0x08000000, " +
                                     std::to_string(flat.size()) + " bytes"),
                  std::string::npos)
            << trace.front();
        std::filesystem::remove(dir / "trace.log");
        if (c.options != std::vector<std::string>{"--json"}) continue;
        int ends = 0;
        for (const std::string& line : SplitLines(run.out)) {
            const auto event = nlohmann::json::parse(line);
            if (event["event"] != "end") continue;
            ++ends;
            EXPECT_EQ(event["outcome"], "completed");
            EXPECT_EQ(event["format"], c.format);
            EXPECT_EQ(event["base"], "0x08000000");
            EXPECT_EQ(event["sha256"], Sha256(dir / "reference.bin"));
            EXPECT_EQ(event["source_sha256"], Sha256(c.source));
        }
        EXPECT_EQ(ends, c.devices);
    }
}

const std::string kHexEnd = HexRecord(1, 0, {});
const std::string kFlash = HexRecord(4, 0, {0x08, 0x00});

TEST(CliImages, ABadFileIsRefusedWithItsLineAndAddressBeforeAnyPortOpens) {
    DRAVEL_SKIP_WITHOUT("arm-none-eabi-as", "arm-none-eabi-ld");
    TempDir dir;
    const std::string elf = ReadWholeFile(testing::Link(dir, kFirmware));
    if (HasFatalFailure()) return;
    std::string badChecksum = kFlash + HexRecord(0, 0x10, {1, 2, 3, 4}) + kHexEnd;
    badChecksum[kFlash.size() + 17] ^= 1;
    // Ports that do not exist: opening one would end with 1 instead.
    const std::vector<std::string> nowhere = {"-p", dir / "no-such-tty"};
    const struct {
        std::string name;  // as given; "-": the bytes on standard input
        std::string bytes;
        std::vector<std::string> options;
        std::vector<std::string> said;  // what the one line on standard error names
    } cases[] = {
        {"bad.hex", badChecksum, nowhere, {"line 2", "0x08000010", "bad checksum"}},
        {"low.hex", kFlash + HexRecord(0, 0x10, {1}) + kHexEnd, {"--base", "0x08000020", "-p", dir / "tty"},
         {"line 2", "0x08000010", "below the base 0x08000020"}},
        {"stray.hex", kFlash + HexRecord(0, 0, {1, 2}) + HexRecord(4, 0, {0x20, 0x00}) + HexRecord(0, 0x10, {3}) + kHexEnd,
         nowhere, {"0x08000000 (line 2)", "0x20000010 (line 4)", "16 MiB"}},
        {"wide.s19", Srec(1, 0x100, {1}) + Srec(1, 0x200, {2}) + Srec(9, 0, {}), {"--max-size", "256", "-p", dir / "tty"},
         {"0x00000100 (line 1)", "0x00000200 (line 2)", "256 bytes"}},
        {"-", Srec(2, 0x10000, {1}) + Srec(8, 0, {}) + Srec(2, 0x10001, {2}), nowhere,
         {"line 3", "0x00010001", "after the end record (line 2)"}},
        {"app.axf", kFlash + kHexEnd, nowhere, {"not an ELF file"}},
        {"cut.elf", elf.substr(0, elf.size() / 2), nowhere, {"truncated"}},
        {"gang.hex", badChecksum, {"-p", dir / "tty-a", "-p", dir / "tty-b", "--json"}, {"line 2", "bad checksum"}},
        {"watch.mot", Srec(3, 0x08000000, {1}) + Srec(5, 3, {}) + Srec(7, 0, {}), {"--watch", dir / "tty*"},
         {"line 2", "count says 3"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = c.name == "-" ? "-" : dir / c.name;
        WriteWholeFile(dir / "input", c.bytes);
        if (c.name != "-") WriteWholeFile(path, c.bytes);
        std::vector<std::string> args = c.options;
        args.push_back(path);
        const RunResult run = RunCli(args, dir / "input");
        EXPECT_EQ(run.exitCode, 3) << run.err;
        const auto errors = SplitLines(run.err);
        ASSERT_EQ(errors.size(), 1u) << run.err;
        EXPECT_EQ(errors[0].rfind("dravel-cli: " + path + ": ", 0), 0u) << errors[0];
        for (const std::string& part : c.said) EXPECT_NE(errors[0].find(part), std::string::npos) << errors[0];
        const auto lines = SplitLines(run.out);
        ASSERT_FALSE(lines.empty());
        if (std::find(args.begin(), args.end(), "--json") == args.end()) {
            EXPECT_EQ(lines, std::vector<std::string>{path + " Open Failed"});
            continue;
        }
        ASSERT_EQ(lines.size(), 2u) << run.out;
        for (const std::string& line : lines) {
            const auto event = nlohmann::json::parse(line);
            EXPECT_EQ(event["event"], "end");
            EXPECT_EQ(event["exit_code"], 3);
            EXPECT_EQ(event["message"], path + " Open Failed");
        }
    }
    // A file too large to read whole: refused when its name asks for a
    // reader, sent as it is read otherwise (the port is then tried).
    for (const auto& [name, exitCode] : {std::pair<std::string, int>{"big.hex", 3}, {"big.img", 1}}) {
        WriteWholeFile(dir / name, "");
        std::filesystem::resize_file(dir / name, uintmax_t{600} << 20);
        const RunResult run = RunCli({"-p", dir / "no-such-tty", dir / name});
        EXPECT_EQ(run.exitCode, exitCode) << name << ": " << run.err;
        EXPECT_EQ(run.err.find("larger than the 512 MiB") != std::string::npos, exitCode == 3) << run.err;
    }
}

TEST(CliImages, ConvertWritesTheFlatImageAndSaysWhatItIs) {
    DRAVEL_SKIP_WITHOUT("arm-none-eabi-as", "arm-none-eabi-ld", "arm-none-eabi-objcopy");
    TempDir dir;
    const std::string elf = testing::Link(dir, kFirmware);
    Tool({"arm-none-eabi-objcopy", "-O", "ihex", elf, dir / "app.hex"});
    if (HasFatalFailure()) return;
    const std::string flat = testing::ObjcopyFlat(dir, elf, "");
    const std::string said = "format ihex\nbase 0x08000000\nsize " + std::to_string(flat.size()) + "\nsha256 " +
                             Sha256(dir / "reference.bin") + "\nsource_sha256 " + Sha256(dir / "app.hex") + "\n";

    const RunResult toFile = RunCli({"--convert", dir / "app.hex", "-o", dir / "out.bin"});
    EXPECT_EQ(toFile.exitCode, 0) << toFile.err;
    EXPECT_EQ(toFile.out, said);
    EXPECT_TRUE(ReadWholeFile(dir / "out.bin") == flat);

    // From standard input to standard output; what it is goes to standard error.
    const RunResult piped = RunCli({"--convert", "-", "-o", "-", "--fill", "0"}, dir / "app.hex");
    EXPECT_EQ(piped.exitCode, 0) << piped.err;
    std::string zeroFilled = flat;
    for (std::size_t i = 300; i < 0x200; ++i) zeroFilled[i] = '\0';
    EXPECT_TRUE(piped.out == zeroFilled);
    EXPECT_EQ(piped.err.rfind("format ihex\nbase 0x08000000\n", 0), 0u) << piped.err;

    // A refusal leaves the output as it was; so does an output that cannot be written.
    WriteWholeFile(dir / "bad.hex", kFlash + HexRecord(0, 0x10, {1}));
    const RunResult refused = RunCli({"--convert", dir / "bad.hex", "-o", dir / "out.bin"});
    EXPECT_EQ(refused.exitCode, 3);
    EXPECT_NE(refused.err.find("truncated"), std::string::npos) << refused.err;
    const RunResult unwritable = RunCli({"--convert", dir / "app.hex", "-o", dir / "missing/out.bin"});
    EXPECT_EQ(unwritable.exitCode, 2);
    EXPECT_NE(unwritable.err.find(dir / "missing/out.bin"), std::string::npos) << unwritable.err;
    EXPECT_TRUE(ReadWholeFile(dir / "out.bin") == flat);
    EXPECT_FALSE(std::filesystem::exists(dir / "out.bin.part"));
}

TEST(CliImages, AnInterruptWhileStandardInputIsReadEndsAtOnce) {
    TempDir dir;
    const std::string fifo = dir / "input";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // Held open for writing and never written: the reader waits for ever.
    const int writer = ::open(fifo.c_str(), O_RDWR);
    ASSERT_GE(writer, 0);
    testing::ChildProcess cli({"/bin/sh", "-c", "exec \"$0\" \"$@\" < \"$DRAVEL_TEST_INPUT\"", testing::BinPath("dravel-cli"),
                               "-p", dir / "no-such-tty", "-"},
                              dir / "out", dir / "err", {"DRAVEL_TEST_INPUT=" + fifo});
    std::this_thread::sleep_for(500ms);
    cli.Signal(SIGINT);
    EXPECT_EQ(cli.Wait(10s), 130);
    EXPECT_NE(cli.Stderr().find("interrupted while the image was read; nothing was sent"), std::string::npos)
        << cli.Stderr();
    ::close(writer);
}

}  // namespace
}  // namespace dravel
