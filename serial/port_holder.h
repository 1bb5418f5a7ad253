// Who holds a serial device that will not open, so that the cause of a busy
// port can name the program and say how to get it out of the way.
//
// Linux (port_holder_linux.cpp): every process with the device among its
// open files (/proc/PID/fd: the link's target, or the same device number,
// so a symbolic link such as /dev/serial/by-id/... finds the holder of
// /dev/ttyUSB0), and every process with a flock() or lockf() lock on it
// (/proc/locks, by the device node's inode). A process whose files this
// user may not look at stays hidden; when nothing is found that way, a known
// prober of new serial adapters that runs (ModemManager, brltty) is named as
// the likely holder.
// Windows (port_holder_win32.cpp): the system does not say who holds a COM
// port; nothing is found, and the cause says "in use by another program".
//
// What it owns: nothing; it reads /proc and keeps nothing.
// Threads: any thread, any number at once.
// Failures: none reported: what cannot be read is passed over, so the
// answer may be empty, never wrong about a process it names as certain.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace dravel {

struct PortHolder {
    int pid = 0;
    std::string command;  // the process's name (/proc/PID/comm)
    // False: the device's holders are hidden from this user, and this known
    // prober runs, so it probably is the one.
    bool certain = true;

    friend bool operator==(const PortHolder&, const PortHolder&) = default;
};

// The processes other than this one that hold `device` open or locked.
std::vector<PortHolder> FindPortHolders(const std::string& device);

// The usual way out for a known holder, "" for any other program:
// "on Debian: systemctl stop ModemManager, or apt-get remove modemmanager".
std::string HolderFix(std::string_view command);

// The cause of a busy port: "in use by ModemManager (pid 812); on Debian:
// ...", "in use by another program, probably brltty (pid 77); ...", or "in
// use by another program" when nobody was found.
std::string DescribeBusyPort(const std::vector<PortHolder>& holders);

// The usual fix after "permission denied" on `device`: on Linux, joining
// the group that may use it ("sudo usermod -aG dialout $USER, then log in
// again"); "" where nothing is known (Windows, a device of root alone).
std::string PermissionFix(const std::string& device);

// The processes /proc/locks names as holding a lock on the file with this
// inode on the file system with this device number (the node's st_dev);
// waiters ("->" lines) and locks of no process (-1) are left out.
std::vector<int> LockHolders(std::string_view procLocks, unsigned fsMajor, unsigned fsMinor, uint64_t inode);

}  // namespace dravel
