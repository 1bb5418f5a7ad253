// Port names and the look at a port's device without opening it for use.
#include "serial/port_names.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>

#include "comm/serial_line.h"
#include "ports/port_table.h"
#include "tests/support/process.h"
#include "tests/support/pty_pair.h"

namespace dravel {
namespace {

using namespace std::chrono_literals;
using testing::PtyPair;
using testing::ScopedEnv;

// Port n looked at as --list-ports looks at it: DRAVEL_COM<n> names the device.
PortProbe ProbePort(int portNumber) { return PortTable().Probe(portNumber); }

TEST(SerialPortNames, OnlyComFollowedByAPortNumber)
{
    EXPECT_EQ(ParsePortName("COM1"), 1);
    EXPECT_EQ(ParsePortName("COM3"), 3);
    EXPECT_EQ(ParsePortName("COM12"), 12);
    EXPECT_EQ(ParsePortName("COM255"), 255);
    for (const char* name : {"COM0", "COM", "com3", "Com3", "COM3x", "COM3 ", " COM3", "COM-1", "COM+1",
                             "COM01", "COMx", "/dev/ttyS0", "", "COM99999999999999999999"}) {
        EXPECT_FALSE(ParsePortName(name).has_value()) << '"' << name << '"';
    }
}

class SerialProbe : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/dravel-probe-XXXXXX";
        m_dir = ::mkdtemp(pattern);
    }
    void TearDown() override { std::filesystem::remove_all(m_dir); }

    std::filesystem::path m_dir;
};

TEST_F(SerialProbe, FreeBusyAndFreeAgain)
{
    PtyPair pty;
    ScopedEnv port("DRAVEL_COM7", pty.SlavePath());

    PortProbe probe = ProbePort(7);
    EXPECT_EQ(probe.device, pty.SlavePath());
    EXPECT_STREQ(ToString(probe.availability), "free") << probe.detail;

    SerialLine line;
    ASSERT_EQ(line.Open(pty.SlavePath()), SerialResult::Ok) << line.LastError();
    probe = ProbePort(7);
    EXPECT_STREQ(ToString(probe.availability), "busy");
    EXPECT_EQ(probe.detail, "Device or resource busy");
    // Looking did not take the line away from its holder.
    EXPECT_TRUE(line.IsOpen());
    line.Close();

    EXPECT_EQ(ProbePort(7).availability, PortAvailability::Free);

    // Held by a program that only locks, then by one that only sets TIOCEXCL.
    ASSERT_EQ(::flock(pty.KeptSlaveFd(), LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(ProbePort(7).availability, PortAvailability::Busy);
    ASSERT_EQ(::flock(pty.KeptSlaveFd(), LOCK_UN), 0);
    ASSERT_EQ(::ioctl(pty.KeptSlaveFd(), TIOCEXCL), 0);
    EXPECT_EQ(ProbePort(7).availability, PortAvailability::Busy);
    ASSERT_EQ(::ioctl(pty.KeptSlaveFd(), TIOCNXCL), 0);
}

TEST_F(SerialProbe, LookingChangesNothingOnTheLine)
{
    PtyPair pty;
    ScopedEnv port("DRAVEL_COM2", pty.SlavePath());
    // Settings no tool of ours would choose, and bytes waiting to be read.
    termios before{};
    ASSERT_EQ(::tcgetattr(pty.KeptSlaveFd(), &before), 0);
    before.c_cflag = (before.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | CS7 | PARENB | HUPCL;
    ::cfsetspeed(&before, B2400);
    ASSERT_EQ(::tcsetattr(pty.KeptSlaveFd(), TCSANOW, &before), 0);
    ASSERT_EQ(::tcgetattr(pty.KeptSlaveFd(), &before), 0);
    ASSERT_TRUE(pty.WriteMaster("waiting"));
    int waiting = 0;
    for (int i = 0; i < 500 && waiting < 7; ++i) {
        ::ioctl(pty.KeptSlaveFd(), FIONREAD, &waiting);
        ::usleep(1000);
    }
    ASSERT_EQ(waiting, 7);

    ASSERT_EQ(ProbePort(2).availability, PortAvailability::Free);

    termios after{};
    ASSERT_EQ(::tcgetattr(pty.KeptSlaveFd(), &after), 0);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_oflag, before.c_oflag);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(::cfgetospeed(&after), static_cast<speed_t>(B2400));
    ASSERT_EQ(::ioctl(pty.KeptSlaveFd(), FIONREAD, &waiting), 0);
    EXPECT_EQ(waiting, 7);
    // Nothing was sent to the device and the line is not left exclusive.
    EXPECT_TRUE(pty.ReadMaster(1, 50ms).empty());
    int exclusive = -1;
    ASSERT_EQ(::ioctl(pty.KeptSlaveFd(), TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
}

TEST_F(SerialProbe, MissingAndNotATerminal)
{
    {
        ScopedEnv port("DRAVEL_COM3", (m_dir / "unplugged").string());
        const PortProbe probe = ProbePort(3);
        EXPECT_EQ(probe.device, (m_dir / "unplugged").string());
        EXPECT_STREQ(ToString(probe.availability), "missing");
        EXPECT_EQ(probe.detail, "No such file or directory");
    }
    {
        const auto file = m_dir / "image.bin";
        std::ofstream(file) << "keep";
        std::filesystem::last_write_time(file, std::filesystem::file_time_type::clock::now() - 1h);
        const auto before = std::filesystem::last_write_time(file);
        ScopedEnv port("DRAVEL_COM3", file.string());
        const PortProbe probe = ProbePort(3);
        EXPECT_STREQ(ToString(probe.availability), "not a terminal");
        EXPECT_EQ(probe.detail, "a regular file");
        EXPECT_EQ(std::filesystem::last_write_time(file), before);
        EXPECT_EQ(std::filesystem::file_size(file), 4u);
    }
    {
        ScopedEnv port("DRAVEL_COM3", m_dir.string());
        EXPECT_EQ(ProbePort(3).availability, PortAvailability::NotATerminal);
    }
    {
        ScopedEnv port("DRAVEL_COM3", "/dev/null");
        EXPECT_EQ(ProbePort(3).availability, PortAvailability::NotATerminal);
    }
    EXPECT_EQ(ProbePort(0).availability, PortAvailability::Missing);
}

}  // namespace
}  // namespace dravel
