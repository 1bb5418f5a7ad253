#include "cli/job_description.h"

#include "cli/board_steps.h"

#include <algorithm>
#include <cmath>
#include <set>

namespace dravel::cli {

void DeclareOptions(CLI::App& app, CommandLineOptions& options,
                    std::function<std::string(const std::string&)> checkPort) {
    app.add_option("-p,--port", options.ports, "serial port 1 to 4 (default 1) or a device; repeat for a gang")
        ->type_name("PORT")
        ->allow_extra_args(false)
        ->check(std::move(checkPort));
    app.add_option("--kind", options.kind, "transfer kind 1 to 6 (default 2, the form's)")
        ->type_name("K")
        ->check(CLI::Range(1, 6).description(""));
    app.add_flag("--list-ports", options.listPorts, "show the ports and the serial devices, and whether each is free");
    app.add_option("--sync-timeout", options.syncTimeout, "give up when the device has not answered within S seconds (exit 4)")
        ->type_name("S")
        ->check(CLI::PositiveNumber.description(""));
    app.add_option("--max-resends", options.maxResends,
                   "end as a transfer error when a frame was sent N+1 times without acceptance")
        ->type_name("N")
        ->check(CLI::NonNegativeNumber.description(""));
    app.add_flag("-q,--quiet", options.quiet, "standard output carries only the result and failures");
    app.add_option("--trace", options.trace, "append a timestamped line per probe, frame, answer and timer ('-': stderr)")
        ->type_name("FILE");
    app.add_option("--report", options.report, "append one JSON object per transfer")->type_name("FILE");
    app.add_flag("--json", options.json, "standard output carries only JSON events, one per line (docs/cli.md)");
    app.add_option("--watch", options.watch,
                   "flash every serial device matching the glob as it appears (repeatable; quote it)")
        ->type_name("PATTERN")
        ->allow_extra_args(false);
    app.add_option("--count", options.count, "with --watch: end after N boards")
        ->type_name("N")
        ->check(CLI::PositiveNumber.description(""));
    DeclareRecordsOptions(app, options.records);
    app.add_option("--reset", options.reset,
                   "after the port opens, play SEQ on DTR/RTS to reset the board into its loader (D0|R1|W0.1|D1; docs/cli.md)")
        ->type_name("SEQ");
    app.add_option("--run", options.run, "after the end frame, play SEQ on DTR/RTS to start the new firmware")
        ->type_name("SEQ");
    app.add_option("--expect", options.expect,
                   "only a line of the board's output matching REGEX (ECMAScript) confirms the download (else exit 5)")
        ->type_name("REGEX");
    app.add_option("--expect-timeout", options.expectTimeout, "with --expect: wait S seconds for the line (default 5)")
        ->type_name("S")
        ->check(CLI::PositiveNumber.description(""));
    app.add_option("--retries", options.retries,
                   "try a board again from its reset up to N more times after an error, no answer or no confirmation")
        ->type_name("N")
        ->check(CLI::NonNegativeNumber.description(""));
    app.add_flag("--gang-member", options.gangMember)->group("");
    app.add_option("--board", options.board)->group("")->check(CLI::PositiveNumber);
    app.add_option("--base", options.base, "where the image's first byte lands (default: its lowest address)")
        ->type_name("ADDR");
    app.add_option("--fill", options.fill, "the byte between the parts of an image (default 0xFF)")->type_name("BYTE");
    app.add_option("--max-size", options.maxSize, "the span a converted image may have (default 16M)")
        ->type_name("BYTES");
    app.add_flag("--convert", options.convert, "write FILE's flat image to -o and print its base, size, SHA-256; no port");
    app.add_option("-o,--output", options.convertTo, "with --convert: the flat image's file ('-': stdout)")
        ->type_name("OUT");
    app.add_option("--image-name", options.imageName)->group("");
    app.add_option("--image-format", options.imageFormat)->group("");
    app.add_option("--source-sha256", options.sourceSha256)->group("");
    app.add_option("FILE", options.file, "the image to send (not for kinds 5 and 6)")->type_name("");
}

JobMode JobDescription::Mode() const {
    if (records && records->exportFormat) return JobMode::Export;
    if (!convertTo.empty()) return JobMode::Convert;
    if (!watchPatterns.empty()) return JobMode::Watch;
    return ports.size() > 1 ? JobMode::Gang : JobMode::Single;
}

namespace {

// The image's options; false with the reason for a usage error.
bool ReadImageOptions(const CommandLineOptions& options, JobDescription& job, std::string& error) {
    if (options.convert) {
        if (options.convertTo.empty()) error = "--convert needs -o OUT";
        else if (options.file.empty()) error = "no FILE given";
        else if (!options.ports.empty() || !options.watch.empty()) error = "--convert touches no port; leave out --port and --watch";
        if (!error.empty()) return false;
        job.convertTo = options.convertTo;
    } else if (!options.convertTo.empty()) {
        error = "-o is for --convert";
        return false;
    }
    if (!options.base.empty() && !(job.image.base = ParseBase(options.base, error))) return false;
    if (!options.fill.empty()) {
        const auto fill = ParseFill(options.fill, error);
        if (!fill) return false;
        job.image.fill = *fill;
    }
    if (!options.maxSize.empty()) {
        const auto maxSize = ParseMaxSize(options.maxSize, error);
        if (!maxSize) return false;
        job.image.maxSize = *maxSize;
    }
    if (!options.imageFormat.empty()) job.handedImage = {options.imageName, options.imageFormat, options.sourceSha256};
    return true;
}

}  // namespace

std::optional<JobDescription> DescribeJob(const CommandLineOptions& options, std::string& error) {
    const auto kind = TransferKindFromNumber(options.kind);
    if (!kind) {
        error = "a transfer kind is 1 to 6, not " + std::to_string(options.kind);
        return std::nullopt;
    }
    std::optional<RecordsJob> records;
    if (!DescribeRecords(options.records, KindSendsFile(*kind), records, error)) return std::nullopt;
    if (records && records->exportFormat) {
        if (!options.file.empty() || !options.ports.empty() || !options.watch.empty()) {
            error = "--export writes the records out; it takes no FILE, --port or --watch";
            return std::nullopt;
        }
        JobDescription exporting;
        exporting.records = records;
        return exporting;
    }
    if (KindSendsFile(*kind) && options.file.empty()) {
        error = "no FILE given";
        return std::nullopt;
    }
    if (options.count > 0 && options.watch.empty()) {
        error = "--count is for --watch";
        return std::nullopt;
    }
    JobDescription job;
    if (!ReadImageOptions(options, job, error)) return std::nullopt;
    if (!options.watch.empty()) {
        if (!options.ports.empty()) {
            error = "--watch finds its devices itself; leave out --port";
            return std::nullopt;
        }
        if (std::find(options.watch.begin(), options.watch.end(), std::string()) != options.watch.end()) {
            error = "--watch needs a pattern";
            return std::nullopt;
        }
        job.watchPatterns = options.watch;
        if (options.count > 0) job.count = options.count;
    } else {
        job.ports = options.ports;
        if (job.ports.empty()) job.ports.push_back("1");
        std::set<std::string> seen;
        for (const std::string& port : job.ports) {
            if (!seen.insert(port).second) {
                error = "port " + port + " is given twice";
                return std::nullopt;
            }
        }
    }
    job.kind = *kind;
    job.file = options.file;
    if (options.syncTimeout > 0) {
        // However short, a limit that was asked for stays one.
        const auto milliseconds = static_cast<int64_t>(options.syncTimeout * 1000.0 + 0.5);
        job.limits.syncTimeout = std::chrono::milliseconds(std::max<int64_t>(1, milliseconds));
    }
    if (options.maxResends >= 0) job.limits.maxResends = options.maxResends;
    job.quiet = options.quiet;
    job.json = options.json;
    job.tracePath = options.trace;
    job.reportPath = options.report;
    job.forParent = options.gangMember;
    if (options.board > 0) job.board = options.board;
    job.records = records;
    if (!MakeBoardSteps(options.reset, options.run, options.expect, options.expectTimeout, options.retries, error)) {
        return std::nullopt;
    }
    if (!KindSendsFile(job.kind) && (!options.run.empty() || !options.expect.empty())) {
        error = "--run and --expect follow the end frame, which kinds 5 and 6 do not send";
        return std::nullopt;
    }
    job.resetSequence = options.reset;
    job.runSequence = options.run;
    job.expect = options.expect;
    job.expectTimeout = options.expectTimeout;
    job.retries = options.retries;
    return job;
}

std::vector<std::string> ChildArguments(const JobDescription& job, const std::string& port, std::optional<int> board) {
    std::vector<std::string> arguments;
    const bool quiet = job.quiet || (board && !job.json);
    if (board) arguments.insert(arguments.end(), {"--board", std::to_string(*board)});
    arguments.insert(arguments.end(), {"--port", port, "--kind", std::to_string(KindNumber(job.kind)), "--gang-member"});
    if (quiet) arguments.push_back("--quiet");
    if (job.json) arguments.push_back("--json");
    if (job.limits.syncTimeout) {
        arguments.insert(arguments.end(),
                         {"--sync-timeout", std::to_string(static_cast<double>(job.limits.syncTimeout->count()) / 1000.0)});
    }
    if (job.limits.maxResends) arguments.insert(arguments.end(), {"--max-resends", std::to_string(*job.limits.maxResends)});
    if (!job.tracePath.empty()) arguments.insert(arguments.end(), {"--trace", job.tracePath});
    if (!job.reportPath.empty()) arguments.insert(arguments.end(), {"--report", job.reportPath});
    AppendRecordsArguments(job.records, arguments);
    if (job.image.base) arguments.insert(arguments.end(), {"--base", AddressText(*job.image.base)});
    if (job.image.fill != FlattenOptions().fill) arguments.insert(arguments.end(), {"--fill", std::to_string(job.image.fill)});
    if (job.image.maxSize != FlattenOptions().maxSize) {
        arguments.insert(arguments.end(), {"--max-size", std::to_string(job.image.maxSize)});
    }
    if (job.handedImage) {
        arguments.insert(arguments.end(), {"--image-name", job.handedImage->name, "--image-format", job.handedImage->format,
                                           "--source-sha256", job.handedImage->sourceSha256});
    }
    if (!job.resetSequence.empty()) arguments.insert(arguments.end(), {"--reset", job.resetSequence});
    if (!job.runSequence.empty()) arguments.insert(arguments.end(), {"--run", job.runSequence});
    if (!job.expect.empty()) arguments.insert(arguments.end(), {"--expect", job.expect});
    if (job.expectTimeout > 0) arguments.insert(arguments.end(), {"--expect-timeout", std::to_string(job.expectTimeout)});
    if (job.retries > 0) arguments.insert(arguments.end(), {"--retries", std::to_string(job.retries)});
    if (!job.file.empty()) arguments.insert(arguments.end(), {"--", job.file});
    return arguments;
}

}  // namespace dravel::cli
