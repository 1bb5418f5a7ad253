#include "options.h"

#include <charconv>
#include <cmath>
#include <string_view>

namespace dravel::devsim {

const char* HelpText() {
    return R"(usage: dravel-devsim (--link PATH | --tty DEV) --image OUT [options]

Plays a device's loader for dravel: answers the sync probe, checks every
frame (sync byte, CRC-32, sequence byte), answers A, N or T, collects the
accepted payloads and writes them to OUT when the end frame arrives.

Line:
  --link PATH          create a pseudo-terminal and make PATH a symbolic link
                       to it (an existing PATH must be such a link)
  --tty DEV            use a real serial device, raw 8N1, no flow control
  --baud B             line rate (default 115200); on a pseudo-terminal both
                       directions are paced at B/10 bytes per second
  --idle-gap-ms MS     quiet time that ends a probe or a bad frame (default 30)

Run:
  --image OUT          where each finished image is written
  --repeat N           serve N transfers, then exit (default 1)
  --timeout S          give up after S seconds in all (exit 3); decimals allowed
  --log FILE           one line per event (probes, frames, answers)

Faults (block K = the K-th distinct data frame of the run, from 1):
  --silent-probes K    leave the first K probes unanswered
  --refuse K[:TIMES]   refuse block K TIMES times (default 1); repeatable
  --refuse-every K     refuse the first arrival of every K-th block
  --abort-at K         answer T to block K
  --lose-answer K      store block K but leave its answer out once; repeatable
  --garbage N[@K]      N bytes of '?' ahead of the first answer to block K
                       (A, N or T), or without @K ahead of every answer to a
                       data frame (not to probes or the end frame); repeatable
  --hangup-after K     after answering block K close the line and exit 4

Exit: 0 after the last end frame, 1 line or image write failed at run time,
2 usage or setup error, 3 timeout, 4 hung up as asked, 128+N on signal N.
Summary on stdout:
  devsim: frames=F resends=R crc_failures=C bytes_stored=B image=OUT
)";
}

namespace {

bool ParseSeconds(std::string_view text, std::chrono::milliseconds& value) {
    double seconds = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) return false;
    if (!(seconds > 0) || seconds > 1e7) return false;
    value = std::chrono::milliseconds(static_cast<int64_t>(std::ceil(seconds * 1000.0)));
    return true;
}

}  // namespace

ParseOutcome ParseOptions(std::span<const char* const> args, Options& options, std::string& error) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string_view name = args[i];
        if (name == "--help" || name == "-h") return ParseOutcome::Help;
        if (!name.starts_with("--")) {
            error = "unexpected argument '" + std::string(name) + "'";
            return ParseOutcome::Error;
        }
        std::string_view value;
        bool hasValue = false;
        if (const auto eq = name.find('='); eq != std::string_view::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
            hasValue = true;
        } else if (i + 1 < args.size() && !std::string_view(args[i + 1]).starts_with("--")) {
            value = args[i + 1];
            hasValue = true;
            ++i;
        }
        const std::string option(name);
        if (!hasValue) {
            error = option + " needs a value";
            return ParseOutcome::Error;
        }
        auto bad = [&](const char* expected) {
            error = "bad value '" + std::string(value) + "' for " + option + " (" + expected + ")";
            return ParseOutcome::Error;
        };
        uint64_t number = 0;
        if (name == "--link") {
            if (value.empty()) return bad("a path");
            options.link = value;
        } else if (name == "--tty") {
            if (value.empty()) return bad("a device path");
            options.tty = value;
        } else if (name == "--image") {
            if (value.empty()) return bad("a path");
            options.image = value;
        } else if (name == "--log") {
            if (value.empty()) return bad("a path");
            options.log = value;
        } else if (name == "--baud") {
            if (!ParseNumber(value, 50, 4000000, number)) return bad("bits per second, 50 to 4000000");
            options.baud = static_cast<uint32_t>(number);
        } else if (name == "--idle-gap-ms") {
            if (!ParseNumber(value, 1, 60000, number)) return bad("milliseconds, 1 to 60000");
            options.idleGap = std::chrono::milliseconds(number);
        } else if (name == "--repeat") {
            if (!ParseNumber(value, 1, UINT32_MAX, number)) return bad("a count of at least 1");
            options.repeat = number;
        } else if (name == "--timeout") {
            std::chrono::milliseconds timeout{};
            if (!ParseSeconds(value, timeout)) return bad("seconds above 0");
            options.timeout = timeout;
        } else if (name == "--silent-probes") {
            if (!ParseNumber(value, 0, UINT64_MAX, number)) return bad("a count");
            options.faults.silentProbes = number;
        } else if (name == "--refuse") {
            uint64_t block = 0;
            uint32_t times = 0;
            if (!ParseRefuse(value, block, times)) return bad("K or K:TIMES, both at least 1");
            options.faults.refuse[block] = times;
        } else if (name == "--refuse-every") {
            if (!ParseNumber(value, 1, UINT64_MAX, number)) return bad("a block count of at least 1");
            options.faults.refuseEvery = number;
        } else if (name == "--abort-at") {
            if (!ParseNumber(value, 1, UINT64_MAX, number)) return bad("a block number from 1");
            options.faults.abortAt = number;
        } else if (name == "--lose-answer") {
            if (!ParseNumber(value, 1, UINT64_MAX, number)) return bad("a block number from 1");
            options.faults.loseAnswer.insert(number);
        } else if (name == "--garbage") {
            std::size_t count = 0;
            std::optional<uint64_t> block;
            if (!ParseGarbage(value, count, block)) return bad("N or N@K, both at least 1");
            if (block) {
                options.faults.garbageAt[*block] = count;
            } else {
                options.faults.garbageEvery = count;
            }
        } else if (name == "--hangup-after") {
            if (!ParseNumber(value, 1, UINT64_MAX, number)) return bad("a block number from 1");
            options.faults.hangupAfter = number;
        } else {
            error = "unknown option " + option;
            return ParseOutcome::Error;
        }
    }
    if (options.link.empty() == options.tty.empty()) {
        error = "give exactly one of --link PATH or --tty DEV";
        return ParseOutcome::Error;
    }
    if (options.image.empty()) {
        error = "--image OUT is required";
        return ParseOutcome::Error;
    }
    return ParseOutcome::Run;
}

}  // namespace dravel::devsim
