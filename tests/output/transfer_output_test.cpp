// The fan-out of a transfer's steps: each output gets what its settings ask
// for, and the report and the end event come once.

#include <gtest/gtest.h>

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "output/exit_codes.h"
#include "output/transfer_output.h"
#include "tests/support/files.h"

namespace dravel::output {
namespace {

using testing::ReadWholeFile;
using testing::SplitLines;
using testing::TempDir;

// Standard output and error of a transfer, in scratch files.
class Streams {
public:
    Streams() : m_out(std::tmpfile()), m_err(std::tmpfile()) {}
    ~Streams() {
        std::fclose(m_out);
        std::fclose(m_err);
    }
    ConsoleStreams Get() const { return {m_out, m_err}; }
    std::vector<std::string> Out() const { return Read(m_out); }
    std::vector<std::string> Err() const { return Read(m_err); }

private:
    static std::vector<std::string> Read(std::FILE* file) {
        std::fflush(file);
        std::rewind(file);
        std::string text;
        char buffer[4096];
        for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;) text.append(buffer, got);
        return SplitLines(text);
    }
    std::FILE* m_out;
    std::FILE* m_err;
};

TransferProgress Synchronised(int32_t blocks, uint64_t bytes) {
    TransferProgress progress;
    progress.synchronised = true;
    progress.blocks = blocks;
    progress.bytesSent = bytes;
    progress.fileSize = 2048;
    return progress;
}

// One transfer that fails, told step by step, as the job tells it.
void TellAFailedTransfer(TransferOutput& output) {
    output.Status("Transmitting .... ");
    output.Trace(TraceEvent::Port(TraceEvent::Kind::PortOpened, "COM1 /dev/ttyUSB0"));
    output.Progress(Synchronised(0, 0));
    output.Status("Sync Dectected ...");
    output.Progress(Synchronised(1, 1024));
    output.Cause("the device refused block 2 three times");
    output.Remark("interrupted: stopping the transfer");
    output.Box("Transfer Error !! ");
    output.End(kExitFailed);
    // The process ends only once: a later end changes nothing.
    output.End(kExitCompleted);
}

TEST(TransferOutput, EachStepReachesWhatTheSettingsAskFor) {
    struct Case {
        const char* name;
        bool quiet;
        bool json;
        bool forParent;
        std::vector<std::string> out;          // exactly, without --json
        std::vector<std::string> errHas;
        std::vector<std::string> errHasNot;
    };
    const std::vector<Case> cases = {
        {"texts", false, false, false, {"Transmitting .... ", "Sync Dectected ...", "Transfer Error !! "},
         {"dravel-cli: the device refused block 2 three times", "dravel-cli: interrupted: stopping the transfer"},
         {"@progress"}},
        {"quiet", true, false, false, {"Transfer Error !! "}, {"dravel-cli: the device refused"}, {"@progress"}},
        {"child of a station", true, false, true, {"Transfer Error !! "}, {"@progress 0 2048 0 1", "@progress 1024 2048 0 1"}, {}},
        {"events", false, true, false, {}, {"dravel-cli: the device refused"}, {"@progress"}},
        {"events for a station", false, true, true, {}, {}, {"@progress"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Streams streams;
        TransferOutputSettings settings;
        settings.portLabel = "COM1";
        settings.quiet = c.quiet;
        settings.json = c.json;
        settings.progressForParent = c.forParent;
        settings.streams = streams.Get();
        {
            TransferOutput output(settings);
            ASSERT_FALSE(output.OpenRecordFiles().has_value());
            EXPECT_EQ(output.WantsTrace(), c.json);
            TellAFailedTransfer(output);
        }
        const std::string err = [&] {
            std::string all;
            for (const std::string& line : streams.Err()) all += line + "\n";
            return all;
        }();
        for (const std::string& wanted : c.errHas) EXPECT_NE(err.find(wanted), std::string::npos) << wanted << "\n" << err;
        for (const std::string& unwanted : c.errHasNot) EXPECT_EQ(err.find(unwanted), std::string::npos) << err;
        if (!c.json) {
            EXPECT_EQ(streams.Out(), c.out);
            continue;
        }
        std::vector<std::string> names;
        nlohmann::json end;
        for (const std::string& line : streams.Out()) {
            const auto event = nlohmann::json::parse(line);
            EXPECT_EQ(event["port"], "COM1");
            names.push_back(event["event"]);
            if (event["event"] == "end") end = event;
        }
        EXPECT_EQ(names, (std::vector<std::string>{"open", "sync", "progress", "end"}));
        EXPECT_EQ(end["outcome"], "error");
        EXPECT_EQ(end["exit_code"], kExitFailed);
        EXPECT_EQ(end["message"], "Transfer Error !! ");
        EXPECT_EQ(end["cause"], "the device refused block 2 three times") << "a remark is no cause";
        EXPECT_EQ(end["bytes"], 1024);
    }
}

TEST(TransferOutput, TheReportAndTheTraceKeepOneTransferEach) {
    TempDir dir;
    Streams streams;
    TransferOutputSettings settings;
    settings.port = "1";
    settings.device = "/dev/ttyUSB0";
    settings.portLabel = "COM1";
    settings.image = dir / "fw.bin";
    settings.board = 7;
    settings.quiet = true;
    settings.reportPath = dir / "report.jsonl";
    settings.tracePath = dir / "trace.log";
    settings.streams = streams.Get();
    {
        TransferOutput output(settings);
        ASSERT_FALSE(output.OpenRecordFiles().has_value());
        EXPECT_TRUE(output.WantsDigest());
        EXPECT_TRUE(output.WantsTrace());
        output.SetImage({3, std::string(64, 'f')});
        output.Note("ports from the environment");
        TellAFailedTransfer(output);
    }
    const auto reports = SplitLines(ReadWholeFile(dir / "report.jsonl"));
    ASSERT_EQ(reports.size(), 1u);
    const auto report = nlohmann::json::parse(reports[0]);
    EXPECT_EQ(report["port"], "1");
    EXPECT_EQ(report["device"], "/dev/ttyUSB0");
    EXPECT_EQ(report["image"], dir / "fw.bin");
    EXPECT_EQ(report["sha256"], std::string(64, 'f'));
    EXPECT_EQ(report["kind"], 2);
    EXPECT_EQ(report["board"], 7);
    EXPECT_EQ(report["frames"], 1);
    EXPECT_EQ(report["outcome"], "Transfer Error !! ");
    EXPECT_EQ(report["exit_code"], kExitFailed);
    const auto trace = SplitLines(ReadWholeFile(dir / "trace.log"));
    ASSERT_EQ(trace.size(), 2u);
    EXPECT_NE(trace[0].find(" COM1 ports from the environment"), std::string::npos) << trace[0];
    EXPECT_NE(trace[1].find(" COM1 port open"), std::string::npos) << trace[1];
}

TEST(TransferOutput, AnImageThatDoesNotOpenEndsInItsOwnWords) {
    TempDir dir;
    Streams streams;
    TransferOutputSettings settings;
    settings.portLabel = "/dev/ttyUSB3";
    settings.image = dir / "missing.bin";
    settings.json = true;
    settings.streams = streams.Get();
    TransferOutput output(settings);
    EXPECT_EQ(output.EndImageNotOpened("no such file"), kExitFailed);
    ASSERT_EQ(streams.Out().size(), 1u);
    const auto end = nlohmann::json::parse(streams.Out()[0]);
    EXPECT_EQ(end["event"], "end");
    EXPECT_EQ(end["message"], dir / "missing.bin Open Failed");
    EXPECT_EQ(end["cause"], kImageNotOpenedCause);
    EXPECT_EQ(streams.Err(), (std::vector<std::string>{"dravel-cli: no such file"}));
}

}  // namespace
}  // namespace dravel::output
