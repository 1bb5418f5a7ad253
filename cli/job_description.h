// What one run of dravel-cli is asked to do, made from its command line in
// one place.
//
// CommandLineOptions is what the parser fills in; DeclareOptions declares
// every option on it (but for the check of a port's name, which belongs to
// the ports and is handed in). DescribeJob turns the options into the
// JobDescription: the one value a single transfer, each child of a gang and
// each board of a watch are run from. ChildArguments is the way back to a
// command line, for the children a station starts: whatever a description
// holds reaches them, and a new option is wired in these three places.
//
// Pure functions; any thread. DescribeJob says what is wrong with a command
// line in words for the usage message, and touches nothing.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "cli/board_records.h"
#include "image/image.h"
#include "protocol/transfer.h"

namespace dravel::cli {

// The command line as the parser leaves it.
struct CommandLineOptions {
    std::vector<std::string> ports;
    int kind = 2;
    std::string file;
    bool listPorts = false;
    bool quiet = false;
    double syncTimeout = 0.0;
    int maxResends = -1;
    std::string trace;
    std::string report;
    bool gangMember = false;
    bool json = false;
    std::vector<std::string> watch;
    int count = 0;
    int board = 0;
    RecordsOptions records;
    std::string base;     // --base, --fill, --max-size as given
    std::string fill;
    std::string maxSize;
    bool convert = false;
    std::string convertTo;  // -o
    std::string imageName;  // what a station's child was handed
    std::string imageFormat;
    std::string sourceSha256;
    // A board that nobody touches (cli/board_steps.h).
    std::string reset;
    std::string run;
    std::string expect;
    double expectTimeout = 0.0;  // 0: not given
    int retries = 0;
};

// `checkPort` answers an empty text for a port name it takes, else why not.
void DeclareOptions(CLI::App& app, CommandLineOptions& options,
                    std::function<std::string(const std::string&)> checkPort);

enum class JobMode {
    Single,  // one transfer on one port
    Gang,    // the same image to several ports at once
    Watch,   // a board per device as it appears
    Export,  // the records written out; nothing flashed
    Convert, // the flat image to a file; no port
};

// The flat image a station converted once and hands its children in a file
// of its own: what the children say of it is the image as the user gave it.
struct HandedImage {
    std::string name;    // as given ("-": standard input)
    std::string format;  // FormatName() of the reader that made it
    std::string sourceSha256;
    bool operator==(const HandedImage&) const = default;
};

struct JobDescription {
    // Where: the ports as given ("1" to "4" or a device; port 1 when none
    // was given), or the patterns of a watch (then no port).
    std::vector<std::string> ports;
    std::vector<std::string> watchPatterns;
    std::optional<int> count;  // a watch ends after this many boards
    // What.
    TransferKind kind = TransferKind::Blocks5;
    std::string file;
    TransferLimits limits;
    // What is said, and where.
    bool quiet = false;
    bool json = false;
    std::string tracePath;   // "-": standard error
    std::string reportPath;
    // What a station tells its children.
    bool forParent = false;    // progress lines for the parent
    std::optional<int> board;  // a watch's board number
    // Serial numbers, stamps and records (board_records.h).
    std::optional<RecordsJob> records;
    // How the image is read and flattened, and where a conversion goes.
    ImageOptions image;
    std::optional<HandedImage> handedImage;
    std::string convertTo;  // "-": standard output
    // Reset, start and confirmation of the board, and its attempts; the
    // texts as given, checked.
    std::string resetSequence;
    std::string runSequence;
    std::string expect;
    double expectTimeout = 0.0;  // seconds; 0: the default
    int retries = 0;

    JobMode Mode() const;
    bool operator==(const JobDescription&) const = default;
};

// The job the options ask for; nothing, with the reason in `error`, for a
// command line that does not make one.
std::optional<JobDescription> DescribeJob(const CommandLineOptions& options, std::string& error);

// The command line of the child that runs `job` on `port` for a station;
// `board` is its number in a watch, whose children leave their texts to
// the station's line per board.
std::vector<std::string> ChildArguments(const JobDescription& job, const std::string& port,
                                        std::optional<int> board = std::nullopt);

}  // namespace dravel::cli
