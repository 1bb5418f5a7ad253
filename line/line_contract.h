// The ground every kind of line stands on: the results, the character
// format, what a wait reports and the notes a line leaves for the trace.
// Local serial lines, network lines and the port class above them all speak
// in these types, so that none of them has to include another.
//
// Plain values only: no thread rules, nothing here can fail.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace dravel {

enum class SerialResult {
    Ok,
    NoDevice,      // nothing at that path, or hardware that is not there
    NotATerminal,  // a regular file, a directory, a device that is no serial line
    Busy,          // another program holds the line
    Denied,        // the system does not let this user open it
    Refused,       // the driver refused the settings
    WouldBlock,    // nothing could be done without waiting
    HungUp,        // the device is gone (unplugged, other side closed)
    Failed,        // any other system error, see LastError()
};

const char* ToString(SerialResult result);

enum class Parity : uint8_t { None = 0, Odd = 1, Even = 2 };
enum class StopBits : uint8_t { One = 0, OneAndHalf = 1, Two = 2 };

// The character format and rate of a line. The numeric values of Parity and
// StopBits are the codes the port settings have always been stored with.
struct LineSettings {
    uint32_t baudRate = 115200;
    uint8_t byteSize = 8;  // 5 to 8; anything else is refused
    Parity parity = Parity::None;
    StopBits stopBits = StopBits::One;  // one and a half is taken as two where the driver has no such thing

    friend bool operator==(const LineSettings&, const LineSettings&) = default;
};

// What a look at a device found, without keeping it.
struct DeviceProbe {
    SerialResult result = SerialResult::NoDevice;  // Ok: free for us to open
    std::string detail;                            // the system's words when it is not free
};

// What ended a Wait().
struct LineEvents {
    bool input = false;   // bytes wait to be read, or the line reports a hang-up (a read tells)
    bool output = false;  // the driver takes output again
    bool woken = false;   // Wake() was called
};

// Something a line did or found while it was opened or used that a person
// looking into a problem wants to see: the steps of a network port's
// negotiation, a setting the driver would not take. Trace notes go only to a
// trace; warnings also reach the user (standard error on the command line).
struct LineNote {
    enum class Level { Trace, Warning };
    Level level = Level::Trace;
    std::string text;
};
// Called on the thread that made the call the note is about (the owner's,
// for everything that happens while opening); must not call back into the line.
using LineNoteObserver = std::function<void(const LineNote&)>;

// What a Wait() waits for besides Wake().
struct LineInterest {
    bool input = true;
    bool output = false;
};

// "rfc2217://..." and "socket://...": a port across the network.
bool IsNetworkPort(std::string_view device);

}  // namespace dravel
