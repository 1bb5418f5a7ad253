// The serial line on real pseudo-terminals: the test plays the device on the
// master side, SerialLine opens the slave as it would open /dev/ttyS0.
#include "comm/serial_line.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <numeric>
#include <thread>

#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>

#include "kernel_termios.h"
#include "tests/support/pty_pair.h"

namespace dravel {
namespace {

using namespace std::chrono_literals;
using testing::PtyPair;

// Fails the test if `call` has not returned within a bound, then pulls the
// cable so that a blocked call comes back and its thread can be joined.
// Guards the "never waits" promises without timing anything.
void ExpectReturnsPromptly(PtyPair& pty, const std::function<void()>& call)
{
    std::promise<void> done;
    std::future<void> finished = done.get_future();
    std::thread worker([&] {
        call();
        done.set_value();
    });
    const bool returned = finished.wait_for(5s) == std::future_status::ready;
    if (!returned) {
        pty.CloseMaster();
        pty.CloseKeptSlave();
    }
    worker.join();
    EXPECT_TRUE(returned) << "the call blocked";
}

std::vector<uint8_t> Pattern(std::size_t size)
{
    std::vector<uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + i / 251);
    return bytes;
}

int ExclusiveFlag(int fd)
{
    int exclusive = -1;
    ::ioctl(fd, TIOCGEXCL, &exclusive);
    return exclusive;
}

// A line opened and configured 115200 8N1 on a fresh pty.
class SerialIo : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(m_line.Open(m_pty.SlavePath()), SerialResult::Ok) << m_line.LastError();
        ASSERT_EQ(m_line.Configure(LineSettings{}), SerialResult::Ok) << m_line.LastError();
    }

    bool WaitForInput(std::size_t count)
    {
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (m_line.InputWaiting() < count) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(1ms);
        }
        return true;
    }

    PtyPair m_pty;
    SerialLine m_line;
};

// ---------------------------------------------------------------- opening

TEST(SerialOpen, TakesThePtyForItselfAndASecondOpenIsBusy)
{
    PtyPair pty;
    SerialLine line;
    ASSERT_EQ(line.Open(pty.SlavePath()), SerialResult::Ok) << line.LastError();
    EXPECT_EQ(ExclusiveFlag(pty.KeptSlaveFd()), 1);
    EXPECT_TRUE(::fcntl(static_cast<int>(line.NativeHandle()), F_GETFL) & O_NONBLOCK);

    // Root gets past the exclusive flag; the lock stops it, even within one
    // process.
    SerialLine second;
    EXPECT_EQ(second.Open(pty.SlavePath()), SerialResult::Busy);
    EXPECT_FALSE(second.IsOpen());
    EXPECT_EQ(second.LastError(), "open " + pty.SlavePath() + ": Device or resource busy");
    EXPECT_EQ(ExclusiveFlag(pty.KeptSlaveFd()), 1) << "the failed open disturbed the holder";

    // A program that only locks, and one that only sets TIOCEXCL, each hold
    // the line as well.
    line.Close();
    ASSERT_EQ(::flock(pty.KeptSlaveFd(), LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(line.Open(pty.SlavePath()), SerialResult::Busy);
    ASSERT_EQ(::flock(pty.KeptSlaveFd(), LOCK_UN), 0);
    ASSERT_EQ(::ioctl(pty.KeptSlaveFd(), TIOCEXCL), 0);
    EXPECT_EQ(line.Open(pty.SlavePath()), SerialResult::Busy);
    ASSERT_EQ(::ioctl(pty.KeptSlaveFd(), TIOCNXCL), 0);
    EXPECT_EQ(line.Open(pty.SlavePath()), SerialResult::Ok) << line.LastError();
}

TEST(SerialOpen, RefusesWhatIsNoTerminalWithoutTouchingIt)
{
    char pattern[] = "/tmp/dravel-serial-XXXXXX";
    const std::filesystem::path dir = ::mkdtemp(pattern);
    const auto file = dir / "firmware.bin";
    std::ofstream(file) << "do not write here";
    std::filesystem::last_write_time(file, std::filesystem::file_time_type::clock::now() - 24h);
    struct stat before{};
    ASSERT_EQ(::stat(file.c_str(), &before), 0);
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);

    SerialLine line;
    EXPECT_EQ(line.Open(file), SerialResult::NotATerminal);
    EXPECT_NE(line.LastError().find(file.string() + ": not a terminal (a regular file)"), std::string::npos)
        << line.LastError();
    EXPECT_EQ(line.Open(dir), SerialResult::NotATerminal);
    // Opening a FIFO for reading would wait for a writer.
    EXPECT_EQ(line.Open(dir / "fifo"), SerialResult::NotATerminal);
    EXPECT_EQ(line.Open("/dev/null"), SerialResult::NotATerminal);
    EXPECT_EQ(line.Open(dir / "no-such-port"), SerialResult::NoDevice);
    EXPECT_EQ(line.LastError(), "open " + (dir / "no-such-port").string() + ": No such file or directory");
    EXPECT_EQ(line.Open(file.string() + "/below-a-file"), SerialResult::NoDevice);
    EXPECT_FALSE(line.IsOpen());

    struct stat after{};
    ASSERT_EQ(::stat(file.c_str(), &after), 0);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    std::ifstream in(file);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "do not write here");
    std::filesystem::remove_all(dir);
}

// ---------------------------------------------------------------- settings

TEST(SerialConfigure, EveryRateOfThePortTableSticks)
{
    PtyPair pty;
    SerialLine line;
    ASSERT_EQ(line.Open(pty.SlavePath()), SerialResult::Ok) << line.LastError();
    // 33600 has no B-constant; going back from it must drop the
    // arbitrary-rate bits again.
    const std::pair<uint32_t, speed_t> table[] = {
        {115200, B115200}, {57600, B57600}, {33600, 0}, {19200, B19200}, {9600, B9600}, {115200, B115200}};
    for (const auto& [rate, constant] : table) {
        SCOPED_TRACE(rate);
        ASSERT_EQ(line.Configure(LineSettings{rate, 8, Parity::None, StopBits::One}), SerialResult::Ok) << line.LastError();
        // Read back through the kernel's own header, not the line's copy of it.
        const testing::KernelSpeeds speeds = testing::ReadKernelSpeeds(pty.KeptSlaveFd());
        ASSERT_TRUE(speeds.ok);
        EXPECT_EQ(speeds.output, rate);
        EXPECT_EQ(speeds.input, rate);
        EXPECT_EQ(speeds.arbitrary, constant == 0);
        termios tio{};
        ASSERT_EQ(::tcgetattr(pty.KeptSlaveFd(), &tio), 0);
        if (constant != 0) {
            EXPECT_EQ(::cfgetospeed(&tio), constant);
        }
    }
}

TEST(SerialConfigure, RawWithoutFlowControlWhateverWasThereBefore)
{
    PtyPair pty;
    termios cooked{};
    ASSERT_EQ(::tcgetattr(pty.KeptSlaveFd(), &cooked), 0);
    cooked.c_iflag |= ICRNL | IXON | IXOFF | IXANY | ISTRIP;
    cooked.c_oflag |= OPOST | ONLCR;
    cooked.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
    cooked.c_cflag |= CRTSCTS | HUPCL | CSTOPB;
    cooked.c_cc[VMIN] = 0;
    cooked.c_cc[VTIME] = 5;
    ASSERT_EQ(::tcsetattr(pty.KeptSlaveFd(), TCSANOW, &cooked), 0);

    SerialLine line;
    ASSERT_EQ(line.Open(pty.SlavePath()), SerialResult::Ok) << line.LastError();
    ASSERT_EQ(line.Configure(LineSettings{}), SerialResult::Ok) << line.LastError();
    termios tio{};
    ASSERT_EQ(::tcgetattr(pty.KeptSlaveFd(), &tio), 0);
    EXPECT_EQ(tio.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | HUPCL | CLOCAL | CREAD),
              static_cast<tcflag_t>(CS8 | CLOCAL | CREAD));
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | IXANY | ICRNL | ISTRIP), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(tio.c_cc[VMIN], 1);
    EXPECT_EQ(tio.c_cc[VTIME], 0);
    // A pty has no modem lines; raising DTR/RTS there is no error.
    EXPECT_FALSE(line.HasModemLines());
    EXPECT_EQ(line.SetDtr(false), SerialResult::Ok);
    EXPECT_EQ(line.SetRts(false), SerialResult::Ok);

    // Two stop bits stick; a pty forces eight bits without parity itself.
    ASSERT_EQ(line.Configure(LineSettings{115200, 7, Parity::Even, StopBits::Two}), SerialResult::Ok) << line.LastError();
    ASSERT_EQ(::tcgetattr(pty.KeptSlaveFd(), &tio), 0);
    EXPECT_TRUE(tio.c_cflag & CSTOPB);

    // Refused settings leave the line as it was.
    ASSERT_EQ(line.Configure(LineSettings{}), SerialResult::Ok);
    ASSERT_EQ(::tcgetattr(pty.KeptSlaveFd(), &tio), 0);
    const auto badParity = static_cast<Parity>(3);
    const auto badStopBits = static_cast<StopBits>(3);
    const LineSettings refused[] = {{115200, 9, Parity::None, StopBits::One},
                                    {115200, 4, Parity::None, StopBits::One},
                                    {115200, 8, badParity, StopBits::One},
                                    {115200, 8, Parity::None, badStopBits},
                                    {0, 8, Parity::None, StopBits::One}};
    for (const LineSettings& settings : refused) {
        EXPECT_EQ(line.Configure(settings), SerialResult::Refused);
        EXPECT_NE(line.LastError().find(pty.SlavePath()), std::string::npos) << line.LastError();
        termios now{};
        ASSERT_EQ(::tcgetattr(pty.KeptSlaveFd(), &now), 0);
        EXPECT_EQ(now.c_cflag, tio.c_cflag);
    }
}

// ---------------------------------------------------------------- input and output

TEST_F(SerialIo, EveryByteValuePassesUnchangedBothWays)
{
    // No CR/LF mapping, no XON/XOFF eaten, no ^C as a signal, no echo.
    std::vector<uint8_t> all(256);
    std::iota(all.begin(), all.end(), 0);
    ASSERT_TRUE(m_pty.WriteMaster(all));
    ASSERT_TRUE(WaitForInput(all.size()));
    std::vector<uint8_t> got(512);
    std::size_t count = 0;
    ASSERT_EQ(m_line.Read(got, count), SerialResult::Ok);
    got.resize(count);
    EXPECT_EQ(got, all);
    EXPECT_TRUE(m_pty.ReadMaster(1, 50ms).empty()) << "echoed";

    ASSERT_EQ(m_line.Write(all, count), SerialResult::Ok);
    EXPECT_EQ(count, all.size());
    EXPECT_EQ(m_pty.ReadMasterExactly(all.size(), 5s), all);
}

TEST_F(SerialIo, ReadTakesOnlyWhatWaitsAndNeverWaits)
{
    std::array<uint8_t, 64> buffer{};
    std::size_t count = 99;
    SerialResult result = SerialResult::Ok;
    ExpectReturnsPromptly(m_pty, [&] { result = m_line.Read(buffer, count); });
    EXPECT_EQ(result, SerialResult::WouldBlock);
    EXPECT_EQ(count, 0u);

    ASSERT_TRUE(m_pty.WriteMaster("\x01\x02\x03\x04\x05"));
    ASSERT_TRUE(WaitForInput(5));
    ASSERT_EQ(m_line.Read(std::span(buffer).first(3), count), SerialResult::Ok);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(m_line.InputWaiting(), 2u);
    ASSERT_EQ(m_line.Read(buffer, count), SerialResult::Ok);
    ASSERT_EQ(count, 2u);
    EXPECT_EQ(buffer[1], 5);
    ExpectReturnsPromptly(m_pty, [&] { result = m_line.Read(buffer, count); });
    EXPECT_EQ(result, SerialResult::WouldBlock);

    // Purge throws away what waits.
    ASSERT_TRUE(m_pty.WriteMaster("stale"));
    ASSERT_TRUE(WaitForInput(5));
    EXPECT_EQ(m_line.Purge(), SerialResult::Ok);
    EXPECT_EQ(m_line.InputWaiting(), 0u);
}

TEST(SerialIoBeforeConfigure, AnEmptyReadOnALiveLineIsNoHangUp)
{
    // With VMIN=0 read() comes back with 0 on a live line too.
    PtyPair pty;
    termios tio{};
    ASSERT_EQ(::tcgetattr(pty.KeptSlaveFd(), &tio), 0);
    tio.c_cc[VMIN] = 0;
    ASSERT_EQ(::tcsetattr(pty.KeptSlaveFd(), TCSANOW, &tio), 0);
    SerialLine line;
    ASSERT_EQ(line.Open(pty.SlavePath()), SerialResult::Ok) << line.LastError();
    std::array<uint8_t, 16> buffer{};
    std::size_t count = 0;
    EXPECT_EQ(line.Read(buffer, count), SerialResult::WouldBlock);
}

TEST_F(SerialIo, ABurstFromTheDeviceArrivesWhole)
{
    // Far more than the driver buffers: the device waits for room.
    const std::vector<uint8_t> sent = Pattern(256 * 1024);
    bool written = false;
    std::thread device([&] { written = m_pty.WriteMaster(sent, 20s); });

    std::vector<uint8_t> received;
    std::array<uint8_t, 1024> buffer{};
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (received.size() < sent.size() && std::chrono::steady_clock::now() < deadline) {
        pollfd pfd{static_cast<int>(m_line.NativeHandle()), POLLIN, 0};
        ::poll(&pfd, 1, 100);
        const std::size_t wanted = std::min(m_line.InputWaiting(), buffer.size());
        if (wanted == 0) continue;
        std::size_t count = 0;
        ASSERT_EQ(m_line.Read(std::span(buffer).first(wanted), count), SerialResult::Ok);
        EXPECT_EQ(count, wanted) << "reported waiting but not there";
        received.insert(received.end(), buffer.begin(), buffer.begin() + count);
    }
    device.join();
    EXPECT_TRUE(written);
    ASSERT_EQ(received.size(), sent.size());
    EXPECT_TRUE(received == sent);
}

TEST_F(SerialIo, WriteNeverWaitsAndReportsHonestlyWhatItTook)
{
    // Nobody reads the master, so the driver runs out of room.
    const std::vector<uint8_t> chunk = Pattern(64 * 1024);
    std::vector<uint8_t> taken;
    SerialResult result = SerialResult::Ok;
    ExpectReturnsPromptly(m_pty, [&] {
        std::size_t offset = 0;
        for (int i = 0; i < 1000 && result == SerialResult::Ok; ++i) {
            std::size_t count = 99;
            result = m_line.Write(std::span(chunk).subspan(offset), count);
            if (result != SerialResult::Ok) {
                EXPECT_EQ(count, 0u);
            }
            taken.insert(taken.end(), chunk.begin() + offset, chunk.begin() + offset + count);
            offset = (offset + count) % chunk.size();
        }
    });
    ASSERT_EQ(result, SerialResult::WouldBlock) << m_line.LastError();
    ASSERT_FALSE(taken.empty());

    // Everything reported as taken reaches the device, in order, and no more.
    const std::vector<uint8_t> arrived = m_pty.ReadMasterExactly(taken.size(), 10s);
    EXPECT_TRUE(arrived == taken);
    EXPECT_TRUE(m_pty.ReadMaster(1, 100ms).empty());
}

TEST_F(SerialIo, APulledCableIsAHangUpNotAWait)
{
    m_pty.CloseMaster();
    std::array<uint8_t, 16> buffer{};
    std::size_t count = 5;
    SerialResult reads[2]{};
    SerialResult write = SerialResult::Ok;
    ExpectReturnsPromptly(m_pty, [&] {
        reads[0] = m_line.Read(buffer, count);
        reads[1] = m_line.Read(buffer, count);
        std::size_t written = 0;
        write = m_line.Write(std::span<const uint8_t>(buffer), written);
    });
    EXPECT_EQ(reads[0], SerialResult::HungUp);
    EXPECT_EQ(reads[1], SerialResult::HungUp);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(write, SerialResult::HungUp);
    EXPECT_EQ(m_line.LastError(), "write " + m_pty.SlavePath() + ": Input/output error");
    ExpectReturnsPromptly(m_pty, [&] { m_line.Close(); });
    EXPECT_FALSE(m_line.IsOpen());
}

TEST_F(SerialIo, TheReaderAndTheWriterMayFailAtOnce)
{
    // Each asks for the cause of its own failure (a data race here shows
    // under the thread sanitizer).
    m_pty.CloseMaster();
    const auto hammer = [&](bool reading) {
        uint8_t byte = 0;
        for (int i = 0; i < 2000; ++i) {
            std::size_t count = 0;
            const SerialResult result = reading ? m_line.Read(std::span(&byte, 1), count)
                                                : m_line.Write(std::span(&byte, 1), count);
            if (result != SerialResult::HungUp || m_line.LastError().empty()) {
                ADD_FAILURE() << ToString(result);
                return;
            }
        }
    };
    std::thread reader(hammer, true);
    hammer(false);
    reader.join();
}

// ---------------------------------------------------------------- closing

TEST(SerialClose, TwiceIsHarmlessAndLetsTheNextOpenIn)
{
    PtyPair pty;
    {
        SerialLine line;
        ASSERT_EQ(line.Open(pty.SlavePath()), SerialResult::Ok) << line.LastError();
        ASSERT_TRUE(pty.WriteMaster("left behind"));
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (line.InputWaiting() < 11 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(1ms);
        }
        line.Close();
        line.Close();
        EXPECT_FALSE(line.IsOpen());
        // The slave stays open elsewhere (the kept fd): it is not left
        // exclusive, and what waited was purged.
        EXPECT_EQ(ExclusiveFlag(pty.KeptSlaveFd()), 0);
        int waiting = -1;
        ASSERT_EQ(::ioctl(pty.KeptSlaveFd(), FIONREAD, &waiting), 0);
        EXPECT_EQ(waiting, 0);

        std::array<uint8_t, 4> buffer{};
        std::size_t count = 3;
        EXPECT_EQ(line.Read(buffer, count), SerialResult::Failed);
        EXPECT_EQ(line.Write(buffer, count), SerialResult::Failed);
        EXPECT_EQ(line.Configure(LineSettings{}), SerialResult::Failed);

        ASSERT_EQ(line.Open(pty.SlavePath()), SerialResult::Ok) << line.LastError();
        // The destructor closes.
    }
    SerialLine after;
    EXPECT_EQ(after.Open(pty.SlavePath()), SerialResult::Ok) << after.LastError();
    // Opening again on an open object lets go of the first line.
    PtyPair second;
    ASSERT_EQ(after.Open(second.SlavePath()), SerialResult::Ok) << after.LastError();
    SerialLine third;
    EXPECT_EQ(third.Open(pty.SlavePath()), SerialResult::Ok) << third.LastError();
}

}  // namespace
}  // namespace dravel
