// The simulator's end of the serial cable: either a pseudo-terminal reached
// through a symbolic link, or a real serial device.
//
// What it owns: the file descriptors of the line and, for a pseudo-terminal,
// the symbolic link. The pseudo-terminal keeps one slave descriptor of its
// own open for its whole life, so the master never sees a hang-up while the
// tool is between transfers and the slave's settings survive reopening. The
// link is placed atomically and removed again by Close() or the destructor,
// but only while it still points at this line's slave.
//
// Threads: one owner thread.
//
// Failures: Open* return nullptr with a message that names the path and the
// system's reason; a path that is anything but a symbolic link to a
// /dev/pts/ device is never replaced.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace dravel::devsim {

class Line {
public:
    virtual ~Line() = default;
    virtual int Fd() const = 0;
    // Bytes written that have not yet reached the other side (best effort).
    virtual std::size_t Undelivered() const = 0;
    // A pseudo-terminal moves bytes at memory speed and needs pacing; a
    // real device is paced by its UART.
    virtual bool NeedsPacing() const = 0;
    virtual std::string Describe() const = 0;
    virtual void Close() = 0;
};

std::unique_ptr<Line> OpenPtyLink(const std::string& linkPath, std::string& error);
std::unique_ptr<Line> OpenTty(const std::string& device, uint32_t baud, std::string& error);

}  // namespace dravel::devsim
