// The job a command line asks for, and the command lines a station gives
// its children: whatever the parent was asked, each child is asked too.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/command_line.h"
#include "cli/job_description.h"

namespace dravel::cli {
namespace {

// The command line as dravel-cli reads it (every port name taken).
std::optional<JobDescription> Describe(const std::vector<std::string>& arguments, std::string& error) {
    CommandLineOptions options;
    CLI::App app("test", "dravel-cli");
    command_line::Prepare(app);
    DeclareOptions(app, options, [](const std::string&) { return std::string(); });
    std::vector<const char*> argv = {"dravel-cli"};
    for (const std::string& argument : arguments) argv.push_back(argument.c_str());
    try {
        app.parse(static_cast<int>(argv.size()), argv.data());
    } catch (const CLI::ParseError& parseError) {
        error = parseError.what();
        return std::nullopt;
    }
    return DescribeJob(options, error);
}

TEST(JobDescription, EachChildOfAStationIsAskedWhatItsParentWasAsked) {
    struct Case {
        std::vector<std::string> arguments;
        JobMode mode;
    };
    const std::vector<Case> cases = {
        {{"-p", "1", "-p", "/dev/ttyUSB0", "fw.bin"}, JobMode::Gang},
        {{"-p", "2", "-p", "3", "--kind", "4", "-q", "--sync-timeout", "2.5", "--max-resends", "0", "--trace", "-",
          "--report", "r.jsonl", "--json", "--", "-fw.bin"},
         JobMode::Gang},
        {{"-p", "rfc2217://[::1]:2217", "-p", "COM7", "--kind", "5"}, JobMode::Gang},
        {{"--watch", "/dev/ttyUSB*", "--count", "3", "fw.bin"}, JobMode::Watch},
        {{"--watch", "COM*", "--watch", "/dev/ttyACM*", "--json", "--sync-timeout", "0.0004", "--trace", "t.log",
          "image with spaces.bin"},
         JobMode::Watch},
        {{"--watch", "x*", "-q", "--kind", "1", "lines.txt"}, JobMode::Watch},
        {{"-p", "1", "-p", "2", "--records", "postgresql://line@db/boards", "--serial-range", "0x10-0x20", "--stamp",
          "0x400:ascii:8", "--station", "line 7", "fw.bin"},
         JobMode::Gang},
        {{"--watch", "b*", "--records", "boards.db", "fw.bin"}, JobMode::Watch},
        {{"-p", "1", "-p", "2", "--base", "0x8000000", "--fill", "0", "--max-size", "1M", "-"}, JobMode::Gang},
        {{"--watch", "y*", "--image-name=-fw v2.hex", "--image-format", "ihex", "--source-sha256", "ab", "--base",
          "4096", "/tmp/image.bin"},
         JobMode::Watch},
        {{"-p", "rfc2217://h:1", "-p", "rfc2217://h:2", "--reset", "D0 | R1|W0.1|D1", "--run", "U00|W.05|D1", "--expect",
          "^App v[0-9]+ (ready|up)$", "--expect-timeout", "2.5", "--retries", "3", "fw.bin"},
         JobMode::Gang},
        {{"--watch", "/dev/ttyUSB*", "--reset", "U01|W0.2|U11", "--expect", "ready", "fw.bin"}, JobMode::Watch},
    };
    for (const Case& c : cases) {
        std::string error;
        const auto job = Describe(c.arguments, error);
        ASSERT_TRUE(job.has_value()) << error;
        ASSERT_EQ(job->Mode(), c.mode);
        const std::vector<std::string> targets =
            c.mode == JobMode::Gang ? job->ports : std::vector<std::string>{"/dev/ttyUSB9", "COM12"};
        int board = 0;
        for (const std::string& target : targets) {
            const std::optional<int> number = c.mode == JobMode::Watch ? std::optional<int>(++board) : std::nullopt;
            const auto child = Describe(ChildArguments(*job, target, number), error);
            ASSERT_TRUE(child.has_value()) << error;
            JobDescription expected = *job;
            expected.ports = {target};
            expected.watchPatterns.clear();
            expected.count.reset();
            expected.forParent = true;
            expected.board = number;
            // A watch's line per board stands for its children's texts.
            if (number && !job->json) expected.quiet = true;
            EXPECT_EQ(child->Mode(), JobMode::Single);
            EXPECT_TRUE(*child == expected) << "child for " << target << " of " << c.arguments.front();
        }
    }
}

TEST(JobDescription, ACommandLineThatMakesNoJobSaysWhy) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{}, "no FILE given"},
        {{"--kind", "4"}, "no FILE given"},
        {{"--count", "2", "fw.bin"}, "--count is for --watch"},
        {{"--watch", "a*", "-p", "1", "fw.bin"}, "--watch finds its devices itself; leave out --port"},
        {{"--watch", "", "fw.bin"}, "--watch needs a pattern"},
        {{"-p", "2", "-p", "3", "-p", "2", "fw.bin"}, "port 2 is given twice"},
        {{"--kind", "7", "fw.bin"}, "--kind"},
        {{"--sync-timeout", "0", "fw.bin"}, "--sync-timeout"},
        {{"--serial-range", "1-2", "fw.bin"}, "--serial-range needs --records"},
        {{"--records", "b.db", "--stamp", "0:u32le", "fw.bin"}, "--stamp needs --serial-range"},
        {{"--records", "b.db", "--serial-range", "1-2", "--stamp", "0:u32le", "--kind", "5"}, "--stamp needs an image"},
        {{"--records", "b.db", "--export", "xml"}, "--export takes csv or jsonl"},
        {{"--records", "b.db", "--export", "csv", "fw.bin"}, "it takes no FILE"},
        {{"--records", "b.db", "--since", "2024-01-01", "fw.bin"}, "--since is for --export"},
        {{"--records", "b.db", "--export", "csv", "--since", "yesterday"}, "yesterday"},
        {{"--base", "8M", "fw.hex"}, "--base: '8M' is not an address"},
        {{"--fill", "256", "fw.hex"}, "--fill: '256' is not a byte"},
        {{"--max-size", "0", "fw.hex"}, "--max-size: '0'"},
        {{"--convert", "fw.hex"}, "--convert needs -o OUT"},
        {{"--convert", "-o", "out.bin"}, "no FILE given"},
        {{"--convert", "-p", "1", "fw.hex", "-o", "out.bin"}, "--convert touches no port"},
        {{"-o", "out.bin", "fw.hex"}, "-o is for --convert"},
        {{"--reset", "D0|D2", "fw.bin"}, "--reset bad step \"D2\""},
        {{"--run", "W61", "fw.bin"}, "--run "},
        {{"--reset", "D0||D1", "fw.bin"}, "--reset "},
        {{"--expect", "(ready", "fw.bin"}, "--expect the pattern \"(ready\""},
        {{"--expect-timeout", "3", "fw.bin"}, "--expect-timeout is for --expect"},
        {{"--expect", "x", "--expect-timeout", "601", "fw.bin"}, "--expect-timeout is more than 0"},
        {{"--retries", "-1", "fw.bin"}, "--retries"},
        {{"--retries", "101", "fw.bin"}, "--retries is 0 to 100"},
        {{"--kind", "5", "--expect", "ready"}, "kinds 5 and 6 do not send"},
    };
    for (const auto& [arguments, wanted] : cases) {
        std::string error;
        EXPECT_FALSE(Describe(arguments, error).has_value()) << wanted;
        EXPECT_NE(error.find(wanted), std::string::npos) << error;
    }
    // Kinds that only synchronise need no image; no port is port 1.
    std::string error;
    const auto syncOnly = Describe({"--kind", "6"}, error);
    ASSERT_TRUE(syncOnly.has_value()) << error;
    EXPECT_EQ(syncOnly->ports, std::vector<std::string>{"1"});
    EXPECT_EQ(syncOnly->kind, TransferKind::SyncOnly6);
    // Writing the records out flashes nothing and needs no image.
    const auto exporting = Describe({"--records", "b.db", "--export", "jsonl", "--since", "2024-05-01"}, error);
    ASSERT_TRUE(exporting.has_value()) << error;
    EXPECT_EQ(exporting->Mode(), JobMode::Export);
    EXPECT_EQ(exporting->records->since, "2024-05-01T00:00:00.000Z");
    // However short, a limit asked for stays one.
    const auto shortest = Describe({"--sync-timeout", "0.0001", "fw.bin"}, error);
    ASSERT_TRUE(shortest.has_value()) << error;
    EXPECT_EQ(shortest->limits.syncTimeout, std::chrono::milliseconds(1));
}

}  // namespace
}  // namespace dravel::cli
