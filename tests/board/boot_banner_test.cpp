// --expect: the board's output in any split, the lines it makes, what
// matches, and what is said when nothing does.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "board/boot_banner.h"

namespace dravel::board {
namespace {

BootBannerMatcher Matcher(const std::string& pattern) {
    std::string error;
    auto matcher = BootBannerMatcher::Make(pattern, error);
    EXPECT_TRUE(matcher) << error;
    return std::move(*matcher);
}

std::span<const uint8_t> Bytes(std::string_view text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

// Feeds `output` cut at `cut` (a whole feed when cut is 0 or past the end),
// then finishes: the matched line, or "" when none.
std::string Outcome(const std::string& pattern, std::string_view output, std::size_t cut, bool finish = true) {
    BootBannerMatcher matcher = Matcher(pattern);
    const std::size_t at = cut == 0 ? output.size() : std::min(cut, output.size());
    matcher.Feed(Bytes(output.substr(0, at)));
    matcher.Feed(Bytes(output.substr(at)));
    if (finish) matcher.Finish();
    return matcher.MatchedLine();
}

TEST(BootBanner, FindsTheLineWhateverThePiecesAndLineEnds) {
    struct Case {
        const char* pattern;
        std::string output;
        const char* matched;
    };
    const Case cases[] = {
        {"app v2\\.\\d+ ready", "rom boot\r\napp v2.13 ready\r\n", "app v2.13 ready"},
        {"^ready$", "not ready\nready\n", "ready"},
        {"^ready$", "ready\r", "ready"},
        {"^ready$", "\r\n\r\n\n\rready\n\r", "ready"},
        {"^ok> $", "boot\r\nok> ", "ok> "},  // a prompt has no line end: taken at the deadline
        {"v[0-9]+", std::string("\x00\xFF garbage\x1B[0m v7\r\n", 18), "\\x00\\xFF garbage\\x1B[0m v7"},
        {"^boot$", "rebooting\nboot", "boot"},
        {"A|B", "xx\nzzB\n", "zzB"},
        {"^never$", "one\ntwo\nthree\n", ""},
    };
    for (const Case& c : cases) {
        for (std::size_t cut = 0; cut <= c.output.size(); ++cut) {
            EXPECT_EQ(Outcome(c.pattern, c.output, cut), c.matched)
                << "pattern " << c.pattern << " cut at " << cut;
        }
    }
    // Before the deadline an unfinished line does not count: "v1" may yet become "v12".
    EXPECT_EQ(Outcome("^v1$", "v1", 0, false), "");
    EXPECT_EQ(Outcome("^v1$", "v12\n", 2), "");
}

TEST(BootBanner, KeepsBoundedMemoryAndTheLastLinesForTheCause) {
    BootBannerMatcher matcher = Matcher("^READY$");
    EXPECT_EQ(matcher.NoMatchCause(), "the board stayed silent");
    matcher.Feed(Bytes("\r\n\n"));
    EXPECT_EQ(matcher.NoMatchCause(), "the board sent 3 bytes of nothing but line ends");

    // A megabyte without a line end goes by in pieces of at most kMaxLine.
    const std::string flood(1 << 20, 'x');
    EXPECT_FALSE(matcher.Feed(Bytes(flood)));
    ASSERT_EQ(matcher.RecentLines().size(), BootBannerMatcher::kRecentLines);
    for (const std::string& line : matcher.RecentLines()) EXPECT_EQ(line, std::string(BootBannerMatcher::kMaxLine, 'x'));

    matcher.Feed(Bytes("\nboot 1\nboot 2\r\nerror: bad \"image\"\\\tcrc\r\n"));
    matcher.Finish();
    EXPECT_FALSE(matcher.Matched());
    EXPECT_EQ(matcher.NoMatchCause(),
              "the board said instead (last lines): \"" + std::string(BootBannerMatcher::kMaxLine, 'x') +
                  "\", \"boot 1\", \"boot 2\", \"error: bad \"image\"\\\\\\tcrc\"");

    // A banner arriving after the flood still confirms, and the rest is ignored.
    EXPECT_TRUE(matcher.Feed(Bytes("READY\r\nmore\n")));
    EXPECT_EQ(matcher.MatchedLine(), "READY");
    EXPECT_EQ(matcher.BytesSeen(), 3 + flood.size() + 41 + 6);
}

TEST(BootBanner, APatternThatDoesNotCompileIsRefusedWithItsReason) {
    for (const char* pattern : {"(unclosed", "[z-a]", "*x", "a{2,1}"}) {
        std::string error;
        EXPECT_FALSE(BootBannerMatcher::Make(pattern, error)) << pattern;
        EXPECT_NE(error.find(std::string("\"") + pattern + "\" is no regular expression"), std::string::npos) << error;
    }
}

}  // namespace
}  // namespace dravel::board
