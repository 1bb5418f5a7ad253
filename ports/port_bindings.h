// Port bindings: the device behind each of the program's ports 1 to 4, kept
// between runs in one small file that both front ends read, so that
// `dravel-cli --port 2` opens what the desktop program calls port 2.
//
// The file is <UserConfigFolder()>/ports.json:
//
//   {"ports": {"1": "/dev/serial/by-id/usb-FTDI_...", "2": "rfc2217://host:2217"}}
//
// A port missing from it, or bound to "", is the platform's own port. The
// device is any string an opening takes (a path, COM7, a network port);
// nothing is checked here, so a device that is gone shows at its opening.
// This is the store alone: which device a port stands for, with the
// environment and the defaults, is the port table's (ports/port_table.h).
//
// Failure: a file that is missing, unreadable or damaged gives no bindings
// and a note saying why; a save that fails says why and leaves the old file
// as it was (the new one is written beside it, then renamed over it).
//
// Threads: plain values and functions of files; any thread.
#pragma once

#include <array>
#include <filesystem>
#include <string>
#include <string_view>

namespace dravel {

inline constexpr int kBindablePorts = 4;

struct PortBindings {
    // Index 0 is port 1. Empty: the port's own default device.
    std::array<std::string, kBindablePorts> devices;

    // The binding of port n; empty outside 1 to 4.
    std::string Device(int portNumber) const;
    // Ports outside 1 to 4 are ignored; surrounding blanks are dropped.
    void Bind(int portNumber, std::string device);

    bool operator==(const PortBindings&) const = default;
};

// <UserConfigFolder()>/ports.json; empty when there is no folder for it.
std::filesystem::path PortBindingsFile();

struct LoadedBindings {
    PortBindings bindings;
    // Why the defaults stand in for the file (missing, unreadable, damaged);
    // empty when the file was read.
    std::string note;
};

LoadedBindings LoadPortBindings(const std::filesystem::path& file);

// The file's text as LoadPortBindings() reads it; `file` only names it in
// the note.
LoadedBindings ParsePortBindings(std::string_view text, const std::filesystem::path& file);

// The text SavePortBindings() writes.
std::string FormatPortBindings(const PortBindings& bindings);

// Writes the bindings, creating the folder if need be. False with the cause
// in `error`.
bool SavePortBindings(const std::filesystem::path& file, const PortBindings& bindings, std::string& error);

}  // namespace dravel
