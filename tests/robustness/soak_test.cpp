// The soak: 200 transfers in one process, on one window side and one main
// frame, as a desktop session that sends all day would. Whatever a transfer
// takes - descriptors (port, events), threads (worker, reader), memory - it
// must give back: the counts after the last transfer equal those after the
// warm-up, and the resident memory stays within a small margin.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <mutex>
#include <thread>

#include "window/headless_window.h"
#include "ports/port_table.h"
#include "protocol/download.h"
#include "tests/support/files.h"
#include "tests/support/process.h"

namespace {

using namespace dravel;
using namespace dravel::testing;
using namespace std::chrono_literals;

constexpr int kTransfers = 200;
constexpr int kWarmUp = 10;
constexpr uint64_t kMemoryMarginKiB = 4 * 1024;

std::size_t Entries(const char* folder) {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder)) ++count;
    return count;
}

struct Usage {
    std::size_t descriptors = 0;
    std::size_t threads = 0;
    uint64_t residentKiB = 0;
};

// A worker or reader that has been joined may still be listed for a moment.
Usage Settle(std::size_t expectedThreads) {
    const auto until = Clock::now() + 2s;
    while (Entries("/proc/self/task") > expectedThreads && Clock::now() < until) std::this_thread::sleep_for(5ms);
    return {Entries("/proc/self/fd"), Entries("/proc/self/task"), ResidentKiB(::getpid())};
}

std::size_t CountTransfers(const std::string& log) {
    std::size_t count = 0;
    for (auto at = log.find("answer=A bytes="); at != std::string::npos; at = log.find("answer=A bytes=", at + 1)) {
        ++count;
    }
    return count;
}

// The log lines before each transfer that began without the previous one's end frame.
std::string AroundRestarts(const std::string& log) {
    const std::vector<std::string> lines = SplitLines(log);
    std::string text;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].find("transfer restarted") == std::string::npos) continue;
        for (std::size_t j = i >= 6 ? i - 6 : 0; j <= i; ++j) text += lines[j] + "\n";
        text += "...\n";
    }
    return text;
}

class CountingForm final : public FormView {
public:
    int TransferKind() const override { return 2; }
    void SetStatusText(const std::string&) override {}
    void EnableSendButton(bool) override {}
};

TEST(Soak, TwoHundredTransfersInOneProcessGiveBackEveryDescriptorThreadAndByte) {
    TempDir dir;
    const std::string content = RandomImage(3 * 1024 + 300, 200);
    WriteWholeFile(dir / "fw.bin", content);
    ChildProcess device({BinPath("dravel-devsim"), "--link", dir / "device", "--image", dir / "stored.bin",
                         "--idle-gap-ms", "5", "--repeat", std::to_string(kTransfers), "--timeout", "300",
                         "--log", dir / "sim.log"},
                        dir / "sim.out", dir / "sim.err");
    ASSERT_TRUE(device.WaitForStderr("devsim: ready", 5s));
    ::setenv("DRAVEL_COM1", (dir / "device").c_str(), 1);

    std::mutex boxMutex;
    std::vector<std::string> boxes;
    HeadlessWindow::Options options;
    options.timerScale = 0.05;
    options.onMessageBox = [&](std::string_view text, std::string_view) {
        std::lock_guard lock(boxMutex);
        boxes.emplace_back(text);
    };
    options.onCause = [](std::string_view) {};
    HeadlessWindow window(options);
    CMainFrame frame(window);
    CountingForm form;
    frame.SetFilePath(dir / "fw.bin");
    PortConfig port;
    port.resolved = PortTable().Resolve(1);
    frame.SetPortConfig(port);

    Usage warm;
    const auto start = Clock::now();
    for (int transfer = 1; transfer <= kTransfers; ++transfer) {
        window.Invoke([&] {
            frame.SetFormView(&form);
            frame.StartTransfer();
        });
        ASSERT_TRUE(frame.WaitUntilIdle(30s)) << "transfer " << transfer << " did not end";
        ASSERT_EQ(frame.LastOutcome(), TransferOutcome::Completed) << "transfer " << transfer;
        ASSERT_FALSE(frame.HasPort()) << "transfer " << transfer << " left its port behind";
        if (transfer == kWarmUp) warm = Settle(0);
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const Usage end = Settle(warm.threads);

    // The simulator took 200 end frames, one per transfer, and stored the last image whole.
    EXPECT_EQ(device.Wait(10s), 0) << device.Stderr() << "transfers ended in the simulator's log: "
                                   << CountTransfers(ReadWholeFile(dir / "sim.log")) << "\n"
                                   << AroundRestarts(ReadWholeFile(dir / "sim.log"));
    EXPECT_TRUE(ReadWholeFile(dir / "stored.bin") == Padded(content));
    {
        std::lock_guard lock(boxMutex);
        EXPECT_EQ(boxes.size(), static_cast<std::size_t>(kTransfers));
        EXPECT_EQ(std::count(boxes.begin(), boxes.end(), "Transfer Completed "), kTransfers);
    }

    RecordProperty("seconds", std::to_string(seconds));
    RecordProperty("descriptors", std::to_string(warm.descriptors) + "->" + std::to_string(end.descriptors));
    RecordProperty("threads", std::to_string(warm.threads) + "->" + std::to_string(end.threads));
    RecordProperty("rss_kib", std::to_string(warm.residentKiB) + "->" + std::to_string(end.residentKiB));
    std::printf("soak: %d transfers in %.1f s; descriptors %zu -> %zu, threads %zu -> %zu, VmRSS %llu -> %llu KiB\n",
                kTransfers, seconds, warm.descriptors, end.descriptors, warm.threads, end.threads,
                static_cast<unsigned long long>(warm.residentKiB), static_cast<unsigned long long>(end.residentKiB));
    EXPECT_EQ(end.descriptors, warm.descriptors);
    EXPECT_EQ(end.threads, warm.threads);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // Sanitizers hold freed memory back on purpose (ASan's quarantine), so the
    // resident size says nothing there; LeakSanitizer checks leaks instead.
#else
    EXPECT_LE(end.residentKiB, warm.residentKiB + kMemoryMarginKiB);
#endif
    ::unsetenv("DRAVEL_COM1");
}

}  // namespace
