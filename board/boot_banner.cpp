#include "board/boot_banner.h"

#include <cstdio>

namespace dravel::board {

std::optional<BootBannerMatcher> BootBannerMatcher::Make(const std::string& pattern, std::string& error)
{
    try {
        return BootBannerMatcher(std::regex(pattern, std::regex::ECMAScript));
    } catch (const std::regex_error& failure) {
        error = "the pattern \"" + pattern + "\" is no regular expression (ECMAScript syntax): " + failure.what();
        return std::nullopt;
    }
}

bool BootBannerMatcher::Feed(std::span<const uint8_t> bytes)
{
    for (const uint8_t byte : bytes) {
        if (m_matched) return true;
        ++m_bytesSeen;
        if (byte == '\r' || byte == '\n') {
            EndLine();
            continue;
        }
        m_line.push_back(static_cast<char>(byte));
        if (m_line.size() == kMaxLine) EndLine();
    }
    return m_matched.has_value();
}

bool BootBannerMatcher::Finish()
{
    if (!m_matched) EndLine();
    return m_matched.has_value();
}

void BootBannerMatcher::EndLine()
{
    // CR LF, and blank lines, leave nothing to look at.
    if (m_line.empty()) return;
    bool found = false;
    try {
        found = std::regex_search(m_line, m_pattern);
    } catch (const std::regex_error&) {
        // The library gives up on a pattern that backtracks too much: a line
        // it cannot decide on does not confirm the download.
    }
    if (found) {
        m_matched = Printable(m_line);
    } else {
        if (m_recent.size() == kRecentLines) m_recent.pop_front();
        m_recent.push_back(Printable(m_line));
    }
    m_line.clear();
}

std::string BootBannerMatcher::NoMatchCause() const
{
    if (m_bytesSeen == 0) return "the board stayed silent";
    if (m_recent.empty()) {
        return "the board sent " + std::to_string(m_bytesSeen) + " bytes of nothing but line ends";
    }
    std::string said = m_recent.size() == 1 ? "the board said instead: " : "the board said instead (last lines): ";
    for (std::size_t i = 0; i < m_recent.size(); ++i) {
        if (i != 0) said += ", ";
        said += "\"" + m_recent[i] + "\"";
    }
    return said;
}

std::string Printable(std::string_view bytes)
{
    std::string text;
    text.reserve(bytes.size());
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '\\') {
            text += "\\\\";
        } else if (byte == '\t') {
            text += "\\t";
        } else if (byte >= 0x20 && byte < 0x7F) {
            text += c;
        } else {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            text += escaped;
        }
    }
    return text;
}

}  // namespace dravel::board
