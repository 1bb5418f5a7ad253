// The Windows serial line under Wine, on a COM port mapped to the Linux
// device simulator's pseudo-terminal (tests/wine/with-device gives each case
// its own device; it hangs up after its first data frame).
//
// What is looked at: the exchange itself, a wait that neither spins nor
// outlives a wake or a close, the loss of the line, DTR at close, and names
// that are no serial port.

#include <gtest/gtest.h>

#include "os/windows_api.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "comm/serial_line.h"
#include "protocol/frame.h"

namespace dravel {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::string TestPort() { return Env("DRAVEL_TEST_PORT"); }

std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// CPU time of this process so far (user + kernel).
std::chrono::milliseconds CpuTime() {
    FILETIME created, exited, kernel, user;
    ::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto ticks = [](const FILETIME& t) { return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
    return std::chrono::milliseconds((ticks(kernel) + ticks(user)) / 10000);
}

// Reads until `wanted` bytes have come or the time is up.
std::string Receive(SerialLine& line, std::size_t wanted, std::chrono::milliseconds limit) {
    std::string got;
    const auto deadline = Clock::now() + limit;
    while (got.size() < wanted && Clock::now() < deadline) {
        LineEvents events;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (line.Wait(LineInterest{}, std::max(left, 0ms), events) != SerialResult::Ok) break;
        std::array<uint8_t, 64> buffer{};
        std::size_t count = 0;
        if (line.Read(buffer, count) == SerialResult::HungUp) break;
        got.append(reinterpret_cast<const char*>(buffer.data()), count);
    }
    return got;
}

void Send(SerialLine& line, std::span<const uint8_t> bytes) {
    std::size_t count = 0;
    ASSERT_EQ(line.Write(bytes, count), SerialResult::Ok) << line.LastError();
    ASSERT_EQ(count, bytes.size());
    ASSERT_EQ(line.WaitForOutput(1000ms), SerialResult::Ok);
}

void Synchronise(SerialLine& line) {
    const std::array<uint8_t, 1> probe = {kSyncByte};
    Send(line, probe);
    EXPECT_EQ(Receive(line, 3, 3000ms), "UA\n");
}

class LineOnDevice : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(TestPort().empty()) << "run through tests/wine/with-device";
        ASSERT_EQ(line.Open(TestPort()), SerialResult::Ok) << line.LastError();
        ASSERT_EQ(line.Configure(LineSettings{}), SerialResult::Ok) << line.LastError();
    }
    SerialLine line;
};

TEST_F(LineOnDevice, ExchangesWithTheDeviceAndAnIdleWaitCostsNoProcessorTime) {
    EXPECT_TRUE(line.HasModemLines()) << "the modem-lines preload is not loaded";
    // Nothing comes: the wait ends at its timeout, not before, and costs
    // next to nothing meanwhile.
    const auto cpuBefore = CpuTime();
    const auto started = Clock::now();
    LineEvents events;
    ASSERT_EQ(line.Wait(LineInterest{}, 1500ms, events), SerialResult::Ok);
    const auto waited = Clock::now() - started;
    EXPECT_FALSE(events.input || events.output || events.woken);
    EXPECT_GE(waited, 1400ms);
    EXPECT_LT(CpuTime() - cpuBefore, 150ms) << "the reader's wait must not poll";
    Synchronise(line);
}

TEST_F(LineOnDevice, AWakeFromAnotherThreadEndsAnEndlessWaitAtOnce) {
    std::atomic<bool> returned{false};
    LineEvents events;
    std::thread reader([&] {
        line.Wait(LineInterest{}, -1ms, events);
        returned = true;
    });
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(returned.load());
    const auto woken = Clock::now();
    line.Wake();
    reader.join();
    EXPECT_LT(Clock::now() - woken, 200ms);
    EXPECT_TRUE(events.woken);
    EXPECT_FALSE(events.input);
}

TEST_F(LineOnDevice, CloseReleasesThePendingEventWaitLowersDtrAndThePortOpensAgain) {
    // The reader leaves its event wait pending when a wake ends its Wait():
    // the close must end that wait before the record and the handle go.
    std::thread reader([&] {
        LineEvents events;
        line.Wait(LineInterest{}, -1ms, events);
    });
    std::this_thread::sleep_for(200ms);
    line.Wake();
    reader.join();
    const auto closing = Clock::now();
    line.Close();
    EXPECT_LT(Clock::now() - closing, 500ms);
    EXPECT_FALSE(line.IsOpen());
    line.Close();  // twice is harmless

    const std::string modem = ReadWholeFile(Env("DRAVEL_WINE_MODEM_LOG"));
    EXPECT_NE(modem.find("DTR=0"), std::string::npos) << "DTR is lowered at close:\n" << modem;

    ASSERT_EQ(line.Open(TestPort()), SerialResult::Ok) << line.LastError();
    ASSERT_EQ(line.Configure(LineSettings{}), SerialResult::Ok) << line.LastError();
    Synchronise(line);
}

TEST_F(LineOnDevice, AWriteIsTakenWholeAndReturnsAtOnce) {
    Synchronise(line);
    std::array<uint8_t, kTransmitBufferSize> frame{};
    std::vector<uint8_t> payload(1024, 0x5A);
    const std::size_t size = BuildFrame(frame, 0, CMD_END, payload);
    std::size_t count = 0;
    const auto started = Clock::now();
    ASSERT_EQ(line.Write(std::span<const uint8_t>(frame.data(), size), count), SerialResult::Ok);
    EXPECT_LT(Clock::now() - started, 50ms);
    EXPECT_EQ(count, size);
    // The caller's buffer is free at once: the line holds its own copy.
    frame.fill(0);
    EXPECT_EQ(line.WaitForOutput(1000ms), SerialResult::Ok);
    EXPECT_EQ(Receive(line, 3, 3000ms), "UA\n") << "the device accepted the end frame";
}

TEST_F(LineOnDevice, ADeviceThatHangsUpIsReportedWithinASecondAndTheReaderDoesNotSpin) {
    Synchronise(line);
    std::array<uint8_t, kTransmitBufferSize> frame{};
    std::vector<uint8_t> payload(1024, 0x11);
    const std::size_t size = BuildFrame(frame, 0, CMD_BLOCK_5, payload);
    Send(line, std::span<const uint8_t>(frame.data(), size));
    EXPECT_EQ(Receive(line, 3, 3000ms), "UA\n");
    // The device closes its end now. Wine leaves the event wait pending; the
    // line notices on its next look.
    const auto started = Clock::now();
    const auto cpuBefore = CpuTime();
    SerialResult read = SerialResult::Ok;
    int waits = 0;
    while (Clock::now() - started < 5s) {
        LineEvents events;
        ASSERT_EQ(line.Wait(LineInterest{}, 3000ms, events), SerialResult::Ok);
        ++waits;
        std::array<uint8_t, 8> buffer{};
        std::size_t count = 0;
        read = line.Read(buffer, count);
        if (read == SerialResult::HungUp) break;
    }
    ASSERT_EQ(read, SerialResult::HungUp);
    EXPECT_LT(Clock::now() - started, 2500ms);
    EXPECT_LT(waits, 5);
    EXPECT_FALSE(line.LastError().empty());
    EXPECT_NE(line.LastError().find(TestPort()), std::string::npos) << line.LastError();
    // A lost line is not waited on for input any more; a wait for a wake
    // alone sleeps.
    LineEvents events;
    ASSERT_EQ(line.Wait(LineInterest{false, false}, 500ms, events), SerialResult::Ok);
    EXPECT_LT(CpuTime() - cpuBefore, 200ms);
    line.Close();
}

TEST(LineNames, NamesThatAreNoSerialPortAreRefusedWithTheSystemsWords) {
    SerialLine line;
    // A COM port that Wine maps to nothing.
    EXPECT_EQ(line.Open("COM40"), SerialResult::NoDevice);
    EXPECT_NE(line.LastError().find("open COM40: "), std::string::npos) << line.LastError();
    EXPECT_NE(line.LastError().find("(error "), std::string::npos) << line.LastError();
    EXPECT_EQ(SerialLine::Probe("COM40").result, SerialResult::NoDevice);

    // A file named as the port is left as it was.
    const std::filesystem::path dir = std::filesystem::temp_directory_path() / "dravel-line-names";
    std::filesystem::create_directories(dir);
    const std::string file = (dir / "not-a-port").string();
    { std::ofstream(file, std::ios::binary) << "precious"; }
    EXPECT_EQ(line.Open(file), SerialResult::NotATerminal);
    EXPECT_NE(line.LastError().find("not a serial port"), std::string::npos) << line.LastError();
    EXPECT_EQ(ReadWholeFile(file), "precious");
    EXPECT_EQ(line.Open(dir.string()), SerialResult::NotATerminal) << "a directory is no busy port";
    EXPECT_EQ(SerialLine::Probe(dir.string()).detail, "a directory");
    EXPECT_EQ(line.Open("NUL"), SerialResult::NotATerminal) << line.LastError();
    EXPECT_FALSE(line.IsOpen());
    std::filesystem::remove_all(dir);
}

TEST(LineNames, PortNumbersAreTheSystemsComNames) {
    EXPECT_EQ(SerialLine::DefaultDevice(1), "COM1");
    EXPECT_EQ(SerialLine::DefaultDevice(4), "COM4");
}

// Run alone, without the modem-lines preload (see CMakeLists.txt).
TEST(WithoutModemLines, EmptyEventWaitsNeitherSpinNorLoseInput) {
    SerialLine line;
    ASSERT_EQ(line.Open(TestPort()), SerialResult::Ok) << line.LastError();
    ASSERT_EQ(line.Configure(LineSettings{}), SerialResult::Ok) << line.LastError();
    EXPECT_FALSE(line.HasModemLines());
    const auto cpuBefore = CpuTime();
    LineEvents events;
    ASSERT_EQ(line.Wait(LineInterest{}, 1500ms, events), SerialResult::Ok);
    EXPECT_FALSE(events.input);
    EXPECT_LT(CpuTime() - cpuBefore, 300ms) << "each empty wait is followed by a pause";
    Synchronise(line);
    line.Close();
}

}  // namespace
}  // namespace dravel
