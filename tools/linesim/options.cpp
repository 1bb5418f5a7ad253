#include "options.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>

namespace dravel::linesim {

namespace {

template <typename T>
bool ParseUnsigned(const std::string& text, T& value, T minimum = 0) {
    if (text.empty() || text[0] == '-' || text[0] == '+') return false;
    T parsed{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), parsed);
    if (error != std::errc{} || end != text.data() + text.size() || parsed < minimum) return false;
    value = parsed;
    return true;
}

bool ParseRate(const std::string& text, double& rate) {
    if (text.empty()) return false;
    char* end = nullptr;
    const double parsed = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !std::isfinite(parsed) || parsed < 0.0 || parsed > 1.0) {
        return false;
    }
    rate = parsed;
    return true;
}

bool ParseStall(const std::string& text, Stall& stall) {
    const auto at = text.find('@');
    if (!ParseUnsigned<uint32_t>(text.substr(0, at), stall.milliseconds, 1)) return false;
    if (at == std::string::npos) {
        stall.atByte = 0;
        return true;
    }
    return ParseUnsigned<uint64_t>(text.substr(at + 1), stall.atByte);
}

}  // namespace

void DescribeOptions(CLI::App& app, RelayOptions& options) {
    app.description("Relays bytes between two pseudo-terminals like a cable, with faults.");
    app.footer("Exit: 0 stopped by SIGINT/SIGTERM, 2 usage or setup error, 3 timeout, 4 hung up.");
    // As always: of an option given twice the last one counts.
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    // Every value is checked by a parser that names the option it belongs to.
    auto valued = [&app](const char* name, const char* type, const char* help, auto parse) {
        return app
            .add_option_function<std::string>(
                name,
                [=](const std::string& value) {
                    if (!parse(value)) throw CLI::ValidationError(name, "bad value '" + value + "'");
                })
            ->type_name(type)
            ->description(help);
    };
    auto link = [](std::string& target) {
        return [&target](const std::string& value) {
            // An option where the path should be means the path was left out.
            if (value.empty() || value.rfind("--", 0) == 0) return false;
            target = value;
            return true;
        };
    };
    valued("--tool-link", "PATH", "the tool's end: a symbolic link to a new pseudo-terminal", link(options.toolLink));
    valued("--device-link", "PATH", "the device's end", link(options.deviceLink));
    valued("--baud", "B", "pace each direction at B/10 bytes per second",
           [&options](const std::string& value) { return ParseUnsigned<uint32_t>(value, options.baud, 1); });
    valued("--flip-rate", "R", "probability per byte of one bit inverted (0..1)",
           [&options](const std::string& value) { return ParseRate(value, options.rates.flip); });
    valued("--drop-rate", "R", "probability per byte of the byte lost",
           [&options](const std::string& value) { return ParseRate(value, options.rates.drop); });
    valued("--dup-rate", "R", "probability per byte of the byte doubled",
           [&options](const std::string& value) { return ParseRate(value, options.rates.dup); });
    app.add_option_function<std::vector<std::string>>("--stall", [&options](const std::vector<std::string>& values) {
           for (const std::string& value : values) {
               Stall stall;
               if (!ParseStall(value, stall)) throw CLI::ValidationError("--stall", "bad value '" + value + "'");
               options.stalls.push_back(stall);
           }
       })
        ->allow_extra_args(false)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->type_name("MS[@BYTE]")
        ->description("stop relaying for MS ms once BYTE bytes have passed (repeatable; BYTE defaults to 0)");
    valued("--hangup-after", "N", "close both lines after N bytes relayed, exit 4", [&options](const std::string& value) {
        uint64_t count = 0;
        if (!ParseUnsigned<uint64_t>(value, count)) return false;
        options.hangupAfter = count;
        return true;
    });
    valued("--direction", "up|down|both", "where faults apply (up: tool to device), default both",
           [&options](const std::string& value) {
               options.up = value == "up" || value == "both";
               options.down = value == "down" || value == "both";
               return options.up || options.down;
           });
    valued("--seed", "S", "seed of the random faults (printed either way)", [&options](const std::string& value) {
        uint64_t seed = 0;
        if (!ParseUnsigned<uint64_t>(value, seed)) return false;
        options.seed = seed;
        return true;
    });
    valued("--max-faults", "N", "inject no more than N random faults", [&options](const std::string& value) {
        uint64_t count = 0;
        if (!ParseUnsigned<uint64_t>(value, count)) return false;
        options.maxFaults = count;
        return true;
    });
    valued("--chunk", "N", "hand the peer at most N bytes at a time, each only once it has read the last (in the --direction of faults)",
           [&options](const std::string& value) {
               uint32_t chunk = 0;
               if (!ParseUnsigned<uint32_t>(value, chunk, 1)) return false;
               options.chunk = chunk;
               return true;
           });
    valued("--usb-latency", "MS",
           "hold what the device sends as a USB adapter's latency timer does: until MS ms after the first byte "
           "held, or 62 bytes",
           [&options](const std::string& value) { return ParseUnsigned<uint32_t>(value, options.usbLatencyMs, 1); });
    valued("--timeout", "S", "give up after S seconds, exit 3", [&options](const std::string& value) {
        uint32_t seconds = 0;
        if (!ParseUnsigned<uint32_t>(value, seconds, 1)) return false;
        options.timeoutSeconds = seconds;
        return true;
    });
    valued("--log", "FILE", "one line per fault with its direction and offset", [&options](const std::string& value) {
        if (value.empty()) return false;
        options.logPath = value;
        return true;
    });
}

std::optional<std::string> CheckOptions(RelayOptions& options) {
    if (options.toolLink.empty() || options.deviceLink.empty()) return "both --tool-link and --device-link are needed";
    if (options.toolLink == options.deviceLink) return "--tool-link and --device-link must differ";
    std::stable_sort(options.stalls.begin(), options.stalls.end(),
                     [](const Stall& a, const Stall& b) { return a.atByte < b.atByte; });
    return std::nullopt;
}

}  // namespace dravel::linesim
