// Who holds a busy port: real processes holding a pseudo-terminal open or
// locked, found by the device's own path and through a symbolic link, and
// the texts that name them.
#include "serial/port_holder.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "tests/support/files.h"
#include "tests/support/process.h"
#include "tests/support/pty_pair.h"

namespace dravel {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::PtyPair;
using testing::TempDir;

bool Names(const std::vector<PortHolder>& holders, pid_t pid, const std::string& command) {
    return std::find(holders.begin(), holders.end(), PortHolder{static_cast<int>(pid), command, true}) != holders.end();
}

// Looks until `pid` shows up as a holder (the child opens the device a moment after it starts).
std::vector<PortHolder> HoldersOnceSeen(const std::string& device, pid_t pid) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    for (;;) {
        std::vector<PortHolder> holders = FindPortHolders(device);
        const bool seen = std::any_of(holders.begin(), holders.end(), [pid](const PortHolder& h) { return h.pid == pid; });
        if (seen || std::chrono::steady_clock::now() >= deadline) return holders;
        std::this_thread::sleep_for(10ms);
    }
}

TEST(SerialPortHolder, AProcessHoldingTheDeviceOpenIsNamedByPathAndThroughALink) {
    PtyPair cable;
    TempDir dir;
    const std::string link = dir / "ttyBOARD";
    ASSERT_EQ(::symlink(cable.SlavePath().c_str(), link.c_str()), 0);
    EXPECT_TRUE(FindPortHolders(link).empty()) << "our own descriptors are not another program's";

    // The shell opens the device on descriptor 3 and becomes `sleep`, which keeps it.
    ChildProcess holder({"/bin/sh", "-c", "exec 3<>\"$0\"; exec sleep 60", cable.SlavePath()}, dir / "out",
                        dir / "err");
    const auto byLink = HoldersOnceSeen(link, holder.Pid());
    EXPECT_TRUE(Names(byLink, holder.Pid(), "sleep")) << testing::ReadWholeFile(dir / "err");
    EXPECT_TRUE(Names(FindPortHolders(cable.SlavePath()), holder.Pid(), "sleep"));
    EXPECT_EQ(DescribeBusyPort(byLink), "in use by sleep (pid " + std::to_string(holder.Pid()) + ")");

    holder.Stop();
    EXPECT_TRUE(FindPortHolders(link).empty());
}

TEST(SerialPortHolder, AFlockHolderIsReadFromTheSystemsListOfLocks) {
    PtyPair cable;
    TempDir dir;
    // flock(1) takes the lock and waits for its command; both have the device open.
    ChildProcess holder({"/usr/bin/flock", "--exclusive", cable.SlavePath(), "sleep", "60"}, dir / "out", dir / "err");
    struct stat info {};
    ASSERT_EQ(::stat(cable.SlavePath().c_str(), &info), 0);
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    std::vector<int> locking;
    while (locking.empty() && std::chrono::steady_clock::now() < deadline) {
        locking = LockHolders(testing::ReadWholeFile("/proc/locks"), major(info.st_dev), minor(info.st_dev), info.st_ino);
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(locking, std::vector<int>{holder.Pid()}) << testing::ReadWholeFile("/proc/locks");
    EXPECT_TRUE(Names(FindPortHolders(cable.SlavePath()), holder.Pid(), "flock"));

    // Waiters, locks of no process and other files do not count; the device
    // numbers are hexadecimal.
    const std::string locks =
        "1: FLOCK  ADVISORY  WRITE 4242 1a:0b:77 0 EOF\n"
        "1: -> FLOCK  ADVISORY  WRITE 4343 1a:0b:77 0 EOF\n"
        "2: OFDLCK ADVISORY  READ  -1 1a:0b:77 0 EOF\n"
        "3: POSIX  ADVISORY  WRITE 4444 1a:0b:78 0 EOF\n"
        "4: POSIX  ADVISORY  WRITE 4545 26:11:77 0 EOF\n"
        "garbage\n"
        "5: POSIX  ADVISORY  WRITE 4646 1a:0b:77 0 EOF";
    EXPECT_EQ(LockHolders(locks, 0x1a, 0x0b, 77), (std::vector<int>{4242, 4646}));
}

TEST(SerialPortHolder, KnownHoldersComeWithTheirUsualFix) {
    EXPECT_EQ(DescribeBusyPort({}), "in use by another program");
    EXPECT_EQ(DescribeBusyPort({{812, "ModemManager", true}}),
              "in use by ModemManager (pid 812); on Debian: systemctl stop ModemManager, or apt-get remove "
              "modemmanager");
    EXPECT_EQ(DescribeBusyPort({{77, "brltty", false}, {812, "ModemManager", false}}),
              "in use by another program, probably brltty (pid 77) or ModemManager (pid 812); on Debian: apt-get "
              "remove brltty; on Debian: systemctl stop ModemManager, or apt-get remove modemmanager");
    EXPECT_EQ(DescribeBusyPort({{1, "picocom", true}, {2, "cat", true}, {3, "screen", true}}),
              "in use by picocom (pid 1), cat (pid 2) and screen (pid 3)");
}

TEST(SerialPortHolder, PermissionDeniedPointsAtTheDevicesGroup) {
    PtyPair cable;
    // A pseudo-terminal's group (tty) may only write: no group to join.
    EXPECT_EQ(PermissionFix(cable.SlavePath()), "");
    EXPECT_EQ(PermissionFix("/nonexistent/ttyUSB9"), "");
    TempDir dir;
    const std::string node = dir / "ttyUSB0";
    const group* dialout = ::getgrnam("dialout");
    if (dialout == nullptr || ::mknod(node.c_str(), S_IFCHR | 0600, makedev(4, 64)) != 0 ||
        ::chown(node.c_str(), 0, dialout->gr_gid) != 0 || ::chmod(node.c_str(), 0660) != 0) {
        GTEST_SKIP() << "making a device node of group dialout needs root";
    }
    EXPECT_EQ(PermissionFix(node), "sudo usermod -aG dialout $USER, then log in again");
}

}  // namespace
}  // namespace dravel
