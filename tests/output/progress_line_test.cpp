// The progress line a station's child writes and its parent reads.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "output/progress_line.h"

namespace dravel::output {
namespace {

TEST(ProgressLine, WhatTheChildWritesTheParentReadsBack) {
    const std::vector<ProgressReport> reports = {
        {},
        {0, std::nullopt, 0, true},
        {3072, 4096, 2, true},
        {UINT64_MAX, UINT64_MAX, INT32_MAX, true},
    };
    for (const ProgressReport& report : reports) {
        const std::string line = ProgressLine(report);
        EXPECT_EQ(ParseProgressLine(line), report) << line;
    }
    TransferProgress progress;
    progress.bytesSent = 5;
    progress.fileSize = 9;
    progress.resends = 1;
    progress.synchronised = true;
    EXPECT_EQ(ProgressLine(progress), "@progress 5 9 1 1");
}

TEST(ProgressLine, AnythingElseIsNoProgress) {
    for (const char* line : {"", "@progress", "@progress ", "@progress 1 2 3", "@progress 1 2 3 1 5", "@progress 1 2 3 2",
                             "@progress -1 2 3 1", "@progress +1 2 3 1", "@progress 1 x 3 1", "@progress 1 2 -3 1",
                             "@progress 1  2 3 1", "@progress 1 2 3 1 ", "@progress 18446744073709551616 - 0 1",
                             "@progress 0 - 2147483648 1", "dravel-cli: @progress 1 2 3 1", "@PROGRESS 1 2 3 1"}) {
        EXPECT_FALSE(ParseProgressLine(line).has_value()) << '"' << line << '"';
    }
}

}  // namespace
}  // namespace dravel::output
