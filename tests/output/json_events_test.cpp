// The --json events as a program reads them: one transfer's events, and a
// parent's stream with its children's events passed on.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "output/json_events.h"
#include "protocol/answer.h"

namespace dravel::output {
namespace {

// Everything a stream wrote, a parsed object per line.
class StreamCapture {
public:
    StreamCapture() : m_file(std::tmpfile()) {}
    ~StreamCapture() { std::fclose(m_file); }
    std::FILE* File() { return m_file; }
    std::vector<nlohmann::json> Events() {
        std::fflush(m_file);
        std::rewind(m_file);
        std::vector<nlohmann::json> events;
        char line[4096];
        while (std::fgets(line, sizeof line, m_file)) events.push_back(nlohmann::json::parse(line));
        return events;
    }

private:
    std::FILE* m_file;
};

TransferProgress Progress(int32_t blocks, uint64_t bytes, uint64_t size) {
    TransferProgress progress;
    progress.synchronised = true;
    progress.blocks = blocks;
    progress.bytesSent = bytes;
    progress.fileSize = size;
    return progress;
}

TEST(JsonEvents, ATransferReadsAsOpenSyncProgressResendsAndOneEnd) {
    StreamCapture capture;
    EventStream stream(capture.File());
    TransferEvents events(stream, "/dev/ttyUSB0", 2);
    events.SetImage({5000, std::string(64, 'a'), TransferKind::Blocks5});
    events.OnTrace(TraceEvent::Port(TraceEvent::Kind::PortOpened, "/dev/ttyUSB0 /dev/ttyUSB0"));
    TransferProgress waiting;
    events.OnProgress(waiting);
    events.OnProgress(Progress(0, 0, 5000));
    events.OnProgress(Progress(1, 0, 5000));
    const uint8_t nak[] = {0x55, 0x4E, 0x0A};
    events.OnTrace(TraceEvent::Of(TraceEvent::Kind::Answer, nak, XFER_NAK));
    events.OnTrace(TraceEvent::Resend(1, 2));
    events.OnTrace(TraceEvent::Timer(3));
    events.OnTrace(TraceEvent::Resend(1, 3));
    for (int32_t block = 2; block <= 5; ++block) events.OnProgress(Progress(block, 1024u * (block - 1), 5000));
    events.End(0, "Transfer Completed ", "");
    events.End(3, "late", "");

    const auto lines = capture.Events();
    ASSERT_GE(lines.size(), 6u);
    EXPECT_EQ(lines[0]["schema"], kEventSchema);
    for (std::size_t i = 1; i < lines.size(); ++i) EXPECT_FALSE(lines[i].contains("schema"));
    double last = 0.0;
    std::vector<std::string> names;
    for (const auto& event : lines) {
        EXPECT_EQ(event["port"], "/dev/ttyUSB0");
        EXPECT_EQ(event["board"], 2);
        EXPECT_GE(event["t"].get<double>(), last);
        last = event["t"].get<double>();
        names.push_back(event["event"]);
    }
    EXPECT_EQ(names.front(), "open");
    EXPECT_EQ(names[1], "sync");
    EXPECT_EQ(std::count(names.begin(), names.end(), "sync"), 1);
    EXPECT_EQ(std::count(names.begin(), names.end(), "end"), 1);
    EXPECT_EQ(names.back(), "end");

    std::vector<nlohmann::json> resends;
    for (const auto& event : lines) {
        if (event["event"] == "resend") resends.push_back(event);
    }
    ASSERT_EQ(resends.size(), 2u);
    EXPECT_EQ(resends[0]["cause"], "refused");
    EXPECT_EQ(resends[0]["block"], 1);
    EXPECT_EQ(resends[1]["cause"], "timeout");

    // However few progress events the period lets through, the last block is one of them.
    nlohmann::json lastProgress;
    for (const auto& event : lines) {
        if (event["event"] == "progress") lastProgress = event;
    }
    EXPECT_EQ(lastProgress["blocks"], 5);
    EXPECT_EQ(lastProgress["total"], 5);

    const auto& end = lines.back();
    EXPECT_EQ(end["outcome"], "completed");
    EXPECT_EQ(end["message"], "Transfer Completed ");
    EXPECT_EQ(end["sha256"], std::string(64, 'a'));
    EXPECT_EQ(end["bytes"], 4096);
}

TEST(JsonEvents, AParentPassesOnItsChildrensEventsOnItsOwnClock) {
    StreamCapture capture;
    EventStream stream(capture.File());
    std::string event;
    stream.Emit("appeared", "/dev/ttyUSB1");
    EXPECT_TRUE(stream.PassOn(R"({"event":"open","port":"/dev/ttyUSB1","t":99.5,"schema":"dravel-events/1"})", event));
    EXPECT_EQ(event, "open");
    EXPECT_FALSE(stream.PassOn("Transfer Completed ", event));
    EXPECT_FALSE(stream.PassOn("[1,2]", event));
    EXPECT_FALSE(stream.PassOn(R"({"port":"x"})", event));
    const auto lines = capture.Events();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0]["schema"], kEventSchema);
    EXPECT_FALSE(lines[1].contains("schema"));
    EXPECT_LT(lines[1]["t"].get<double>(), 99.0) << "the child's own clock was left in";
    EXPECT_GE(lines[1]["t"].get<double>(), lines[0]["t"].get<double>());
}

}  // namespace
}  // namespace dravel::output
