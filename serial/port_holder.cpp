#include "serial/port_holder.h"

#include <algorithm>
#include <charconv>
#include <set>

namespace dravel {

namespace {

std::vector<std::string_view> Words(std::string_view line)
{
    std::vector<std::string_view> words;
    std::size_t at = 0;
    while (at < line.size()) {
        while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
        const std::size_t start = at;
        while (at < line.size() && line[at] != ' ' && line[at] != '\t') ++at;
        if (at > start) words.push_back(line.substr(start, at - start));
    }
    return words;
}

template <typename Number>
bool ParseWhole(std::string_view text, Number& value, int base = 10)
{
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

}  // namespace

std::vector<int> LockHolders(std::string_view procLocks, unsigned fsMajor, unsigned fsMinor, uint64_t inode)
{
    // "1: FLOCK  ADVISORY  WRITE 6246 fe:00:1164908 0 EOF"; the device
    // numbers in hexadecimal, the inode in decimal.
    std::set<int> pids;
    while (!procLocks.empty()) {
        const std::size_t end = procLocks.find('\n');
        const std::string_view line = procLocks.substr(0, end);
        procLocks = end == std::string_view::npos ? std::string_view() : procLocks.substr(end + 1);
        const std::vector<std::string_view> words = Words(line);
        if (words.size() < 6 || words[1] == "->") continue;
        int pid = 0;
        if (!ParseWhole(words[4], pid) || pid <= 0) continue;
        const std::string_view file = words[5];
        const std::size_t first = file.find(':');
        const std::size_t second = file.find(':', first == std::string_view::npos ? first : first + 1);
        if (second == std::string_view::npos) continue;
        unsigned major = 0;
        unsigned minor = 0;
        uint64_t node = 0;
        if (ParseWhole(file.substr(0, first), major, 16) && ParseWhole(file.substr(first + 1, second - first - 1), minor, 16) &&
            ParseWhole(file.substr(second + 1), node) && major == fsMajor && minor == fsMinor && node == inode) {
            pids.insert(pid);
        }
    }
    return {pids.begin(), pids.end()};
}

std::string HolderFix(std::string_view command)
{
    if (command == "ModemManager") {
        return "on Debian: systemctl stop ModemManager, or apt-get remove modemmanager";
    }
    if (command == "brltty") return "on Debian: apt-get remove brltty";
    return {};
}

std::string DescribeBusyPort(const std::vector<PortHolder>& holders)
{
    if (holders.empty()) return "in use by another program";
    const bool certain = holders.front().certain;
    std::string text = certain ? "in use by " : "in use by another program, probably ";
    std::vector<std::string> fixes;
    for (std::size_t i = 0; i < holders.size(); ++i) {
        if (i != 0) text += i + 1 < holders.size() ? ", " : certain ? " and " : " or ";
        text += holders[i].command + " (pid " + std::to_string(holders[i].pid) + ")";
        const std::string fix = HolderFix(holders[i].command);
        if (!fix.empty() && std::find(fixes.begin(), fixes.end(), fix) == fixes.end()) fixes.push_back(fix);
    }
    for (const std::string& fix : fixes) text += "; " + fix;
    return text;
}

}  // namespace dravel
