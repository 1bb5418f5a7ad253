// What comes into the port table from outside: the text of ports.json (any
// program or person may have written it) and a port argument (the command
// line, DRAVEL_COM<n>, the dialog's free text). The first input byte chooses
// which the rest is.
//
// Checked for a store: nothing throws; a damaged text gives no bindings and
// a note; a text that is taken gives device names without control
// characters or surrounding blanks, and what is saved of them reads back
// the same. For an argument: a port resolves to a device with a label, or
// to nothing with a reason; a network device always comes down parsed, to a
// host without brackets, a path or control characters and a port from 1 to
// 65535.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "ports/port_table.h"

namespace {

using namespace dravel;

void CheckStore(std::string_view text) {
    const LoadedBindings loaded = ParsePortBindings(text, "ports.json");
    if (!loaded.note.empty()) {
        FUZZ_CHECK(loaded.bindings == PortBindings{});
        return;
    }
    for (int port = 1; port <= kBindablePorts; ++port) {
        const std::string device = loaded.bindings.Device(port);
        for (const char c : device) FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
        FUZZ_CHECK(device.empty() || (device.front() != ' ' && device.back() != ' '));
    }
    const LoadedBindings again = ParsePortBindings(FormatPortBindings(loaded.bindings), "ports.json");
    FUZZ_CHECK(again.note.empty());
    FUZZ_CHECK(again.bindings == loaded.bindings);
}

void CheckArgument(std::string_view argument) {
    std::string error;
    const std::optional<ResolvedPort> port = PortTable().Resolve(argument, error);
    if (!port) {
        FUZZ_CHECK(!error.empty());
        return;
    }
    FUZZ_CHECK(!port->label.empty());
    FUZZ_CHECK(!port->device.empty());
    if (port->origin == DeviceOrigin::Named) FUZZ_CHECK(port->device == argument && port->label == argument);
    if (port->IsNetwork() && port->origin == DeviceOrigin::Named) {
        FUZZ_CHECK(port->network.has_value());
        FUZZ_CHECK(!port->network->host.empty());
        FUZZ_CHECK(port->network->host.find_first_of("[]/?#@ ") == std::string::npos);
        for (const char c : port->network->host) FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
        FUZZ_CHECK(port->network->port >= 1);
    }
    if (!port->IsNetwork()) FUZZ_CHECK(!port->network.has_value() && port->problem.empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    if (size == 0) return 0;
    const std::string_view rest(reinterpret_cast<const char*>(input + 1), size - 1);
    if (input[0] % 2 == 0) {
        CheckStore(rest);
    } else {
        CheckArgument(rest);
    }
    return 0;
}
