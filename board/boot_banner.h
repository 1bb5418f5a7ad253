// The board's first words after a download (--expect REGEX): a matcher fed
// with the bytes the line delivers, in whatever pieces they come, that says
// whether a line of the board's output matched, and if none did, what the
// board said instead.
//
// Lines: CR, LF and CR LF each end a line; empty lines are passed over. A
// line that grows to kMaxLine bytes without an end is cut there and the
// piece taken as a line of its own, so a board that never ends a line is
// still looked at, in bounded memory. At the deadline, Finish() takes the
// piece still waiting for its line end as a last line (a prompt such as
// "ok> " has none).
//
// Matching: each line alone is searched for the pattern (std::regex_search),
// so the pattern may match anywhere in it, and ^ and $ anchor at the line's
// start and end. The pattern sees the line's bytes as they came.
//
// Regular-expression syntax: ECMAScript, as the C++ standard library has it
// (std::regex with std::regex::ECMAScript), which is the grammar of
// JavaScript's regular expressions: . [abc] [^0-9] \d \w \s \b, * + ? {n}
// {n,m} and their lazy forms (*?), (a|b) and (?:a|b), ^ $, lookahead (?= )
// and (?! ), back references \1. No lookbehind, no named groups, no inline
// flags; case counts ([Rr]eady). It is the one grammar that the standard
// library offers alike on Linux and on Windows, so a pattern behaves the same
// on both, and it is the one most people already know.
//
// What it owns: the compiled pattern, the line in progress (at most kMaxLine
// bytes) and the last kRecentLines lines, in printable form: the bytes kept
// never exceed a few kilobytes, whatever the board sends.
// Threads: an object belongs to one thread at a time.
// Failures: Make() refuses a pattern std::regex refuses, with its reason.
// Nothing else fails; every byte sequence is taken.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <regex>
#include <span>
#include <string>
#include <string_view>

namespace dravel::board {

class BootBannerMatcher {
public:
    static constexpr std::size_t kMaxLine = 512;
    static constexpr std::size_t kRecentLines = 4;

    // Nothing, with the reason in `error`, for a pattern that does not compile.
    static std::optional<BootBannerMatcher> Make(const std::string& pattern, std::string& error);

    // Bytes as they arrived. True once a line has matched; after that the
    // bytes are not looked at any more.
    bool Feed(std::span<const uint8_t> bytes);
    // The time is up: the line still without its end is matched as it is.
    bool Finish();

    bool Matched() const { return m_matched.has_value(); }
    // The line that matched, printable (see Printable()); empty before.
    std::string MatchedLine() const { return m_matched.value_or(std::string()); }
    // The last lines that did not match, oldest first, printable.
    const std::deque<std::string>& RecentLines() const { return m_recent; }
    uint64_t BytesSeen() const { return m_bytesSeen; }

    // Why nothing matched, for the cause of an unconfirmed download: "the
    // board stayed silent", or "the board said instead: "...", "..."".
    std::string NoMatchCause() const;

private:
    explicit BootBannerMatcher(std::regex pattern) : m_pattern(std::move(pattern)) {}
    void EndLine();

    std::regex m_pattern;
    std::string m_line;
    std::optional<std::string> m_matched;
    std::deque<std::string> m_recent;
    uint64_t m_bytesSeen = 0;
};

// The line for people and for JSON: bytes outside printable ASCII as \xNN,
// a tab as \t, a backslash doubled.
std::string Printable(std::string_view bytes);

}  // namespace dravel::board
