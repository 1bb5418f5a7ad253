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

const char* UsageText() {
    return "usage: dravel-linesim --tool-link PATH --device-link PATH [options]\n"
           "  Relays bytes between two pseudo-terminals like a cable, with faults.\n"
           "  --baud B             pace each direction at B/10 bytes per second\n"
           "  --flip-rate R        probability per byte of one bit inverted (0..1)\n"
           "  --drop-rate R        probability per byte of the byte lost\n"
           "  --dup-rate R         probability per byte of the byte doubled\n"
           "  --stall MS[@BYTE]    stop relaying for MS ms once BYTE bytes have passed\n"
           "                       (repeatable; BYTE defaults to 0)\n"
           "  --hangup-after N     close both lines after N bytes relayed, exit 4\n"
           "  --direction up|down|both\n"
           "                       where faults apply (up: tool to device), default both\n"
           "  --seed S             seed of the random faults (printed either way)\n"
           "  --max-faults N       inject no more than N random faults\n"
           "  --timeout S          give up after S seconds, exit 3\n"
           "  --log FILE           one line per fault with its direction and offset\n"
           "Exit: 0 stopped by SIGINT/SIGTERM, 2 usage or setup error, 3 timeout, 4 hung up.\n";
}

ParseResult ParseOptions(const std::vector<std::string>& arguments) {
    ParseResult result;
    RelayOptions& options = result.options;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& name = arguments[i];
        if (name == "--help" || name == "-h") {
            options.help = true;
            return result;
        }
        if (i + 1 >= arguments.size()) {
            result.error = name.rfind("--", 0) == 0 ? name + " needs a value" : "unexpected argument " + name;
            return result;
        }
        const std::string& value = arguments[++i];
        bool good = true;
        if (name == "--tool-link") {
            options.toolLink = value;
            good = !value.empty();
        } else if (name == "--device-link") {
            options.deviceLink = value;
            good = !value.empty();
        } else if (name == "--baud") {
            good = ParseUnsigned<uint32_t>(value, options.baud, 1);
        } else if (name == "--flip-rate") {
            good = ParseRate(value, options.rates.flip);
        } else if (name == "--drop-rate") {
            good = ParseRate(value, options.rates.drop);
        } else if (name == "--dup-rate") {
            good = ParseRate(value, options.rates.dup);
        } else if (name == "--stall") {
            Stall stall;
            good = ParseStall(value, stall);
            if (good) options.stalls.push_back(stall);
        } else if (name == "--hangup-after") {
            uint64_t count = 0;
            good = ParseUnsigned<uint64_t>(value, count);
            options.hangupAfter = count;
        } else if (name == "--direction") {
            options.up = value == "up" || value == "both";
            options.down = value == "down" || value == "both";
            good = options.up || options.down;
        } else if (name == "--seed") {
            uint64_t seed = 0;
            good = ParseUnsigned<uint64_t>(value, seed);
            options.seed = seed;
        } else if (name == "--max-faults") {
            uint64_t count = 0;
            good = ParseUnsigned<uint64_t>(value, count);
            options.maxFaults = count;
        } else if (name == "--timeout") {
            uint32_t seconds = 0;
            good = ParseUnsigned<uint32_t>(value, seconds, 1);
            options.timeoutSeconds = seconds;
        } else if (name == "--log") {
            options.logPath = value;
            good = !value.empty();
        } else {
            result.error = "unknown option " + name;
            return result;
        }
        if (!good) {
            result.error = "bad value for " + name + ": '" + value + "'";
            return result;
        }
    }
    if (options.toolLink.empty() || options.deviceLink.empty()) {
        result.error = "both --tool-link and --device-link are needed";
    } else if (options.toolLink == options.deviceLink) {
        result.error = "--tool-link and --device-link must differ";
    }
    std::stable_sort(options.stalls.begin(), options.stalls.end(),
                     [](const Stall& a, const Stall& b) { return a.atByte < b.atByte; });
    return result;
}

}  // namespace dravel::linesim
