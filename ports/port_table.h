// The port table: the one place that knows which device stands behind each
// of the program's ports, and how a port argument becomes a port to open.
// The desktop program's dialog, --list-ports and the command line all use it.
//
// For port n the device is the environment variable DRAVEL_COM<n> when it is
// set and not empty (DRAVEL_COM1=/dev/ttyUSB0, DRAVEL_COM1=COM7), else the
// device the port dialog keeps for it (the bindings, ports/port_bindings.h),
// else the platform's own n-th port (/dev/ttyS<n-1> on Linux, COM<n> on
// Windows). The environment is read at every question, so a table answers as
// the process stands now.
//
// A port argument - "1" to "4", COM<n>, a device path, rfc2217://HOST:PORT,
// socket://HOST:PORT - is resolved once, by Resolve(), into a ResolvedPort
// that is passed down to the port class as it is.
//
// Edits (Choose) change this table only; Save() keeps them for the next start.
//
// Threads: a plain value with no lock; one owner thread at a time (the
// desktop program's user-interface thread, the command line's main).
// Failure: a store that cannot be read leaves the defaults, and Note() says
// why; a save that cannot be made says why and changes nothing on disk.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "ports/port_bindings.h"
#include "ports/resolved_port.h"
#include "serial/port_names.h"

namespace dravel {

class PortTable {
public:
    // No store behind it: the environment and the defaults; Save() fails.
    PortTable() = default;
    // Bindings to be kept in `file`, beginning with `bindings`; nothing is read.
    explicit PortTable(std::filesystem::path file, PortBindings bindings = {});

    // The table as the store at `file` left it (the user's ports.json by
    // default); a store that cannot be read gives the defaults and a note.
    static PortTable Load(const std::filesystem::path& file);
    static PortTable Load();

    const std::filesystem::path& File() const { return m_file; }
    // Why the store was not read (missing, damaged, no folder); empty when it was.
    const std::string& Note() const { return m_note; }
    const PortBindings& Bindings() const { return m_bindings; }

    // --- where each port's device comes from
    std::string DeviceOf(int portNumber) const { return Resolve(portNumber).device; }
    DeviceOrigin OriginOf(int portNumber) const { return Resolve(portNumber).origin; }
    static std::string DefaultDevice(int portNumber);

    // --- edit and save
    // Port n is to stand for `device` from now on, as a person chose it in
    // the dialog. A port the environment fixes keeps its binding (the
    // variable is for this run, not for the next); the port's own default,
    // or nothing, binds nothing.
    void Choose(int portNumber, std::string device);
    // Keeps the bindings in File(); false with the cause in `error`.
    bool Save(std::string& error) const;

    // --- resolution
    // Port n of the program, labelled COM<n>.
    ResolvedPort Resolve(int portNumber) const;
    // A port argument: "1" to "4" as Resolve(n); COM<n> names port n's
    // device, labelled as given; anything else is a device as it stands.
    // Nothing, with the reason in `error`, for a bare number outside 1 to 4,
    // an empty argument or a network port that does not parse.
    std::optional<ResolvedPort> Resolve(std::string_view argument, std::string& error) const;

    // Looks at port n's device without disturbing it (serial/port_names.h).
    PortProbe Probe(int portNumber) const;

private:
    std::filesystem::path m_file;
    PortBindings m_bindings;
    std::string m_note;
};

}  // namespace dravel
