// The report's JSON and the image digest behind it.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "output/report.h"
#include "tests/support/files.h"

namespace dravel::output {
namespace {

TEST(Report, DigestOfKnownContentAndOfNothing) {
    testing::TempDir dir;
    testing::WriteWholeFile(dir / "abc.bin", "abc");
    testing::WriteWholeFile(dir / "empty.bin", "");
    ImageDigest digest;
    std::string error;
    ASSERT_TRUE(DigestImage(dir / "abc.bin", digest, error)) << error;
    EXPECT_EQ(digest.size, 3u);
    EXPECT_EQ(digest.sha256, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    ASSERT_TRUE(DigestImage(dir / "empty.bin", digest, error)) << error;
    EXPECT_EQ(digest.sha256, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST(Report, OneLineOfJsonThatSurvivesAnyFileName) {
    ReportRecord record;
    record.image = std::string("bad\xff\xfename.bin");
    record.seconds = 2.0;
    record.payloadBytes = 1000;
    const std::string line = ToJson(record);
    EXPECT_EQ(line.find('\n'), std::string::npos);
    const auto object = nlohmann::json::parse(line);
    EXPECT_EQ(object["bytes_per_second"], 500.0);
    EXPECT_TRUE(object["sha256"].is_null()) << "a pipe has no digest";
}

}  // namespace
}  // namespace dravel::output
