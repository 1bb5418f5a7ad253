// The board's output after a download, whatever it is and however the line
// cuts it: the banner matcher keeps bounded memory and decides the same way
// for the whole output as for its pieces (the first input byte chooses the
// size of the pieces).
//
// Checked: the same line matches, or the same last lines are kept, either
// way; at most kRecentLines lines are kept, each the printable form of at
// most kMaxLine bytes; never more bytes counted than came in.
#include <cstdint>
#include <span>
#include <string>

#include "board/boot_banner.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    using dravel::board::BootBannerMatcher;
    if (size == 0) return 0;
    const std::size_t piece = 1 + input[0] % 32;
    const std::span<const uint8_t> bytes(input + 1, size - 1);
    std::string error;
    auto whole = BootBannerMatcher::Make("^(app|boot) v[0-9]+\\.[0-9]+( \\w+)* ready$|ok> $", error);
    auto split = whole;
    FUZZ_CHECK(whole && split);
    whole->Feed(bytes);
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
        split->Feed(bytes.subspan(at, std::min(piece, bytes.size() - at)));
    }
    whole->Finish();
    split->Finish();
    FUZZ_CHECK(whole->Matched() == split->Matched());
    FUZZ_CHECK(whole->MatchedLine() == split->MatchedLine());
    FUZZ_CHECK(whole->RecentLines() == split->RecentLines());
    FUZZ_CHECK(whole->NoMatchCause() == split->NoMatchCause());
    FUZZ_CHECK(whole->BytesSeen() <= bytes.size());
    FUZZ_CHECK(whole->RecentLines().size() <= BootBannerMatcher::kRecentLines);
    for (const std::string& line : whole->RecentLines()) FUZZ_CHECK(line.size() <= 4 * BootBannerMatcher::kMaxLine);
    FUZZ_CHECK(whole->MatchedLine().size() <= 4 * BootBannerMatcher::kMaxLine);
    return 0;
}
