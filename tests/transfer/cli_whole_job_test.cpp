// The whole job on a station that nobody stands at: a HEX file as the
// toolchain wrote it, two boards reset into their loaders over rfc2217://,
// each given the next serial number stamped into its own copy of the flat
// image, confirmed by its new firmware's banner, one of them tried again,
// and every board's record in the database with what happened to it.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/support/devsim_server.h"
#include "tests/support/toolchain.h"

namespace dravel {
namespace {

using testing::DevsimServer;
using testing::Padded;
using testing::SplitLines;
using testing::TempDir;

const testing::Program kFirmware = testing::FlashAndRamProgram(700, 9);

constexpr std::size_t kStampAt = 0x300;

std::string Stamped(std::string image, uint32_t serial) {
    for (std::size_t i = 0; i < 4; ++i) image[kStampAt + i] = static_cast<char>((serial >> (8 * i)) & 0xFF);
    return image;
}

TEST(WholeJob, AHexFileReachesEachResetBoardWithItsOwnNumberAndEveryBoardIsConfirmedAndRecorded) {
    DRAVEL_SKIP_WITHOUT("arm-none-eabi-as", "arm-none-eabi-ld", "arm-none-eabi-objcopy");
    TempDir dir;
    const std::string elf = testing::Link(dir, kFirmware);
    if (HasFatalFailure()) return;
    const std::string flat = testing::ObjcopyFlat(dir, elf, "");
    testing::Tool({"arm-none-eabi-objcopy", "-O", "ihex", elf, dir / "app.hex"});
    if (HasFatalFailure()) return;
    ASSERT_GT(flat.size(), kStampAt + 4);

    const std::vector<std::string> board = {"--loader-on-reset", "--banner", "App v3 ready", "--banner-on-reset"};
    DevsimServer steady(board);
    std::vector<std::string> flakyOptions = board;
    flakyOptions.insert(flakyOptions.end(), {"--abort-at", "1"});
    DevsimServer flaky(flakyOptions);
    const std::string database = dir / "boards.db";
    const auto run = testing::Run({testing::BinPath("dravel-cli"), "--json", "--port", steady.Url(), "--port",
                                   flaky.Url(), "--reset", "D0|R1|W0.1|D1", "--run", "R0|D0|W0.1|D1", "--sync-timeout", "5", "--expect",
                                   "^App v3 ready$", "--retries", "1", "--records", database, "--serial-range",
                                   "7000-7099", "--stamp", "0x300:u32le", "--station", "bench 2", dir / "app.hex"});
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    ASSERT_EQ(steady.Wait(), 0) << steady.Errors();
    ASSERT_EQ(flaky.Wait(), 0) << flaky.Errors();

    // Which board got which number is the database's business; each image
    // must carry its own, and the rest of it is objcopy's image untouched.
    std::vector<uint64_t> serials;
    for (const std::string& line : SplitLines(run.out)) {
        const auto event = nlohmann::json::parse(line, nullptr, false);
        if (event.value("event", "") != "end") continue;
        EXPECT_EQ(event.value("format", ""), "ihex");
        EXPECT_EQ(event.value("base", ""), "0x08000000");
        EXPECT_EQ(event.value("outcome", ""), "completed");
        const uint64_t serial = event.value("serial", uint64_t{0});
        serials.push_back(serial);
        DevsimServer& device = event.value("port", "") == steady.Url() ? steady : flaky;
        EXPECT_EQ(device.Image(), Padded(Stamped(flat, static_cast<uint32_t>(serial)))) << event.dump();
    }
    std::sort(serials.begin(), serials.end());
    EXPECT_EQ(serials, (std::vector<uint64_t>{7000, 7001})) << run.out;

    const auto exported = testing::Run({testing::BinPath("dravel-cli"), "--records", database, "--export", "jsonl"});
    ASSERT_EQ(exported.exitCode, 0) << exported.err;
    std::vector<int64_t> attempts;
    for (const std::string& line : SplitLines(exported.out)) {
        const auto record = nlohmann::json::parse(line);
        EXPECT_EQ(record.value("outcome", ""), "passed") << line;
        EXPECT_EQ(record.value("banner", ""), "App v3 ready") << line;
        EXPECT_EQ(record.value("station", ""), "bench 2") << line;
        EXPECT_EQ(record.value("image", ""), dir / "app.hex") << line;
        attempts.push_back(record.value("attempts", int64_t{0}));
    }
    std::sort(attempts.begin(), attempts.end());
    EXPECT_EQ(attempts, (std::vector<int64_t>{1, 2})) << exported.out;
}

}  // namespace
}  // namespace dravel
