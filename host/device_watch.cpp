#include "host/device_watch.h"

#include <cctype>

namespace dravel {

namespace {

char Fold(char c, bool ignoreCase)
{
    return ignoreCase ? static_cast<char>(std::tolower(static_cast<unsigned char>(c))) : c;
}

// A bracket expression at pattern[at] ('['); whether `c` is in it, and where
// the pattern goes on. A '[' without its ']' is taken as itself.
bool InSet(std::string_view pattern, std::size_t& at, char c, bool ignoreCase, bool& valid)
{
    std::size_t i = at + 1;
    const bool negated = i < pattern.size() && (pattern[i] == '!' || pattern[i] == '^');
    if (negated) ++i;
    bool found = false;
    bool first = true;
    for (; i < pattern.size() && (first || pattern[i] != ']'); ++i, first = false) {
        char low = pattern[i];
        char high = low;
        if (i + 2 < pattern.size() && pattern[i + 1] == '-' && pattern[i + 2] != ']') {
            high = pattern[i + 2];
            i += 2;
        }
        const char folded = Fold(c, ignoreCase);
        if ((Fold(low, ignoreCase) <= folded && folded <= Fold(high, ignoreCase)) || (low <= c && c <= high)) {
            found = true;
        }
    }
    valid = i < pattern.size();
    if (!valid) return false;
    at = i + 1;
    return found != negated;
}

}  // namespace

bool HasWildcard(std::string_view pattern)
{
    return pattern.find_first_of("*?[") != std::string_view::npos;
}

bool MatchesGlob(std::string_view pattern, std::string_view name, bool ignoreCase)
{
    // Iterative, with one remembered star: linear enough for port names and
    // never recursing on a hostile pattern.
    std::size_t p = 0;
    std::size_t n = 0;
    std::size_t starP = std::string_view::npos;
    std::size_t starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starN = n;
            continue;
        }
        if (p < pattern.size() && pattern[p] == '[') {
            std::size_t next = p;
            bool valid = true;
            const bool in = InSet(pattern, next, name[n], ignoreCase, valid);
            if (valid) {
                if (in) {
                    p = next;
                    ++n;
                    continue;
                }
            } else if (name[n] == '[') {
                ++p;
                ++n;
                continue;
            }
        } else if (p < pattern.size() && (pattern[p] == '?' || Fold(pattern[p], ignoreCase) == Fold(name[n], ignoreCase))) {
            ++p;
            ++n;
            continue;
        }
        if (starP == std::string_view::npos) return false;
        p = starP + 1;
        n = ++starN;
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

}  // namespace dravel
