#include "options.h"

#include <charconv>
#include <cmath>
#include <string_view>

namespace dravel::devsim {

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

std::optional<std::pair<std::string, uint16_t>> ParseListenUrl(std::string_view url, std::string& error) {
    constexpr std::string_view scheme = "rfc2217://";
    error = "bad address '" + std::string(url) + "' (rfc2217://HOST:PORT, PORT 0 for a free one)";
    if (!url.starts_with(scheme)) return std::nullopt;
    url.remove_prefix(scheme.size());
    const std::size_t colon = url.rfind(':');
    if (colon == std::string_view::npos) return std::nullopt;
    std::string_view host = url.substr(0, colon);
    if (host.starts_with('[') && host.ends_with(']')) host = host.substr(1, host.size() - 2);
    uint64_t port = 0;
    if (host.empty() || host.find_first_of("[]/") != std::string_view::npos ||
        !ParseNumber(url.substr(colon + 1), 0, 65535, port)) {
        return std::nullopt;
    }
    error.clear();
    return std::pair{std::string(host), static_cast<uint16_t>(port)};
}

void DescribeOptions(CLI::App& app, Options& options) {
    app.description(
        "Plays a device's loader for dravel: answers the sync probe, checks every\n"
        "frame (sync byte, CRC-32, sequence byte), answers A, N or T, collects the\n"
        "accepted payloads and writes them to OUT when the end frame arrives.");
    app.footer(
        "Block K is the K-th distinct data frame of the run, from 1.\n"
        "\n"
        "With --listen the simulator is the terminal server itself: it answers every\n"
        "COM port command (rate, character format, flow control, BREAK, DTR, RTS,\n"
        "purge, signature) as a server does, and the board behind it sees DTR and RTS.\n"
        "A connection starts with both off; DTR's first rise is the port opening, not\n"
        "a reset. After the last transfer the client is served until it closes the\n"
        "connection, at most 10 s, so its last commands are seen too.\n"
        "\n"
        "Exit: 0 after the last end frame, 1 line or image write failed at run time,\n"
        "2 usage or setup error, 3 timeout, 4 hung up as asked, 128+N on signal N.\n"
        "Summary on stdout:\n"
        "  devsim: frames=F resends=R crc_failures=C bytes_stored=B image=OUT");
    // As always: of an option given twice the last one counts.
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    // Values the parser turns down name their option and what was expected.
    auto number = [&app](const char* name, uint64_t low, uint64_t high, const char* expected, auto store) {
        return app.add_option_function<std::string>(
            name, [=](const std::string& value) {
                uint64_t parsed = 0;
                if (!ParseNumber(value, low, high, parsed)) {
                    throw CLI::ValidationError(name, "bad value '" + value + "' (" + expected + ")");
                }
                store(parsed);
            });
    };
    auto path = [&app](const char* name, std::string& target, const char* help) {
        return app.add_option(name, target, help)->check([](const std::string& value) {
            // An option where the path should be means the path was left out.
            if (value.empty() || value.rfind("--", 0) == 0) return std::string("needs a path");
            return std::string();
        });
    };

    path("--link", options.link, "create a pseudo-terminal and make PATH a symbolic link to it (an existing PATH must be such a link)")
        ->type_name("PATH")->group("Line");
    path("--tty", options.tty, "use a real serial device, raw 8N1, no flow control")->type_name("DEV")->group("Line");
    app.add_option("--listen", options.listen,
                   "be the terminal server in front of the board instead: a TCP port speaking telnet with the COM "
                   "port option (RFC 2217), one client at a time; PORT 0 lets the system choose a free port (see "
                   "--port-file). The ready line on standard error names the address")
        ->type_name("rfc2217://HOST:PORT")->group("Line")
        ->check([](const std::string& value) {
            std::string error;
            return ParseListenUrl(value, error) ? std::string() : error;
        });
    path("--port-file", options.portFile,
         "with --listen: once listening, write the port number and a line end there (in one step), for a test "
         "that asked for port 0; removed at the end")
        ->type_name("PATH")->group("Line");
    path("--control-log", options.controlLog,
         "with --listen: one line per SET-CONTROL command received, in order: the time in milliseconds on the "
         "system's monotonic clock (CLOCK_MONOTONIC, 3 decimals), the value, and its meaning, such as "
         "'81234.567 9 DTR off'")
        ->type_name("PATH")->group("Line");
    number("--baud", 50, 4000000, "bits per second, 50 to 4000000",
           [&options](uint64_t value) { options.baud = static_cast<uint32_t>(value); })
        ->type_name("B")->group("Line")
        ->description("line rate (default 115200); on a pseudo-terminal and behind --listen both directions are paced "
                      "at B/10 bytes per second");
    number("--idle-gap-ms", 1, 60000, "milliseconds, 1 to 60000",
           [&options](uint64_t value) { options.idleGap = std::chrono::milliseconds(value); })
        ->type_name("MS")->group("Line")->description("quiet time that ends a probe or a bad frame (default 30)");

    path("--image", options.image, "where each finished image is written")->type_name("OUT")->group("Run");
    number("--repeat", 1, UINT32_MAX, "a count of at least 1", [&options](uint64_t value) { options.repeat = value; })
        ->type_name("N")->group("Run")->description("serve N transfers, then exit (default 1)");
    app.add_option_function<std::string>("--timeout", [&options](const std::string& value) {
           std::chrono::milliseconds timeout{};
           if (!ParseSeconds(value, timeout)) {
               throw CLI::ValidationError("--timeout", "bad value '" + value + "' (seconds above 0)");
           }
           options.timeout = timeout;
       })
        ->type_name("S")->group("Run")->description("give up after S seconds in all (exit 3); decimals allowed");
    path("--log", options.log, "one line per event (probes, frames, answers)")->type_name("FILE")->group("Run");

    app.add_flag("--loader-on-reset", options.board.loaderOnReset,
                 "with --listen: the loader answers nothing until the board is reset into it: DTR off for at "
                 "least 80 ms, then on while RTS is on; after taking an image it starts the application and is "
                 "gone until the next such reset")
        ->group("Board");
    app.add_option("--banner", options.board.banner,
                   "the application's first line: TEXT and CR LF, written 0.2 s after the end frame")
        ->type_name("TEXT")->group("Board")
        ->check([](const std::string& value) {
            if (value.empty() || value.size() > 1024) return std::string("needs 1 to 1024 characters");
            if (value.find_first_of("\r\n") != std::string::npos) return std::string("one line, without CR or LF");
            return std::string();
        });
    app.add_flag("--banner-on-reset", options.board.bannerOnReset,
                 "with --listen and --banner: the banner comes 0.2 s after a reset into the application (DTR off "
                 "for at least 80 ms, then on while RTS is off) instead of after the end frame")
        ->group("Board");

    number("--silent-probes", 0, UINT64_MAX, "a count",
           [&options](uint64_t value) { options.faults.silentProbes = value; })
        ->type_name("K")->group("Faults")->description("leave the first K probes unanswered");
    app.add_option_function<std::vector<std::string>>("--refuse", [&options](const std::vector<std::string>& values) {
           for (const std::string& value : values) {
               uint64_t block = 0;
               uint32_t times = 0;
               if (!ParseRefuse(value, block, times)) {
                   throw CLI::ValidationError("--refuse", "bad value '" + value + "' (K or K:TIMES, both at least 1)");
               }
               options.faults.refuse[block] = times;
           }
       })
        ->allow_extra_args(false)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)->type_name("K[:TIMES]")->group("Faults")
        ->description("refuse block K TIMES times (default 1); repeatable");
    number("--refuse-every", 1, UINT64_MAX, "a block count of at least 1",
           [&options](uint64_t value) { options.faults.refuseEvery = value; })
        ->type_name("K")->group("Faults")->description("refuse the first arrival of every K-th block");
    number("--abort-at", 1, UINT64_MAX, "a block number from 1", [&options](uint64_t value) { options.faults.abortAt = value; })
        ->type_name("K")->group("Faults")->description("answer T to block K");
    app.add_option_function<std::vector<std::string>>("--lose-answer", [&options](const std::vector<std::string>& values) {
           for (const std::string& value : values) {
               uint64_t block = 0;
               if (!ParseNumber(value, 1, UINT64_MAX, block)) {
                   throw CLI::ValidationError("--lose-answer", "bad value '" + value + "' (a block number from 1)");
               }
               options.faults.loseAnswer.insert(block);
           }
       })
        ->allow_extra_args(false)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)->type_name("K")->group("Faults")
        ->description("store block K but leave its answer out once; repeatable");
    app.add_option_function<std::vector<std::string>>("--garbage", [&options](const std::vector<std::string>& values) {
           for (const std::string& value : values) {
               std::size_t count = 0;
               std::optional<uint64_t> block;
               if (!ParseGarbage(value, count, block)) {
                   throw CLI::ValidationError("--garbage", "bad value '" + value + "' (N or N@K, both at least 1)");
               }
               if (block) {
                   options.faults.garbageAt[*block] = count;
               } else {
                   options.faults.garbageEvery = count;
               }
           }
       })
        ->allow_extra_args(false)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)->type_name("N[@K]")->group("Faults")
        ->description("N bytes of '?' ahead of the first answer to block K (A, N or T), or without @K ahead of every "
                      "answer to a data frame (not to probes or the end frame); repeatable");
    number("--hangup-after", 1, UINT64_MAX, "a block number from 1",
           [&options](uint64_t value) { options.faults.hangupAfter = value; })
        ->type_name("K")->group("Faults")->description("after answering block K close the line and exit 4");
}

std::optional<std::string> CheckOptions(const Options& options) {
    const int lines = !options.link.empty() + !options.tty.empty() + !options.listen.empty();
    if (lines != 1) return "give exactly one of --link PATH, --tty DEV or --listen rfc2217://HOST:PORT";
    if (options.listen.empty()) {
        // A pseudo-terminal carries no modem lines, and the device's side of
        // a real line sees the host's DTR and RTS on other pins.
        if (options.board.loaderOnReset) return "--loader-on-reset needs --listen: only there are DTR and RTS seen";
        if (options.board.bannerOnReset) return "--banner-on-reset needs --listen: only there are DTR and RTS seen";
        if (!options.portFile.empty()) return "--port-file goes with --listen";
        if (!options.controlLog.empty()) return "--control-log goes with --listen";
    }
    if (options.board.bannerOnReset && options.board.banner.empty()) return "--banner-on-reset needs --banner TEXT";
    if (options.image.empty()) return "--image OUT is required";
    return std::nullopt;
}

ParseOutcome ParseOptions(std::span<const char* const> args, Options& options, std::string& error) {
    CLI::App app("", "dravel-devsim");
    app.set_version_flag("--version", "dravel-devsim");
    DescribeOptions(app, options);
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::CallForHelp&) {
        return ParseOutcome::Help;
    } catch (const CLI::CallForVersion&) {
        return ParseOutcome::Version;
    } catch (const CLI::ParseError& failure) {
        error = failure.what();
        return ParseOutcome::Error;
    }
    if (const auto reason = CheckOptions(options)) {
        error = *reason;
        return ParseOutcome::Error;
    }
    return ParseOutcome::Run;
}

}  // namespace dravel::devsim
