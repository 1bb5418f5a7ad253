// Device watch: which serial devices matching a pattern are present now,
// looked at as often as the caller likes (dravel-cli --watch polls it a few
// times a second).
//
// A pattern is a glob: '*' any run of characters, '?' one character,
// "[...]" one of a set ("[!...]" none of it). On Linux it is matched against
// the file system (/dev/ttyUSB*, /dev/serial/by-id/usb-FTDI*), and a name is
// present when it leads to a character device; a dangling link in
// /dev/serial/by-id is a board that was unplugged. On Windows it is matched,
// without regard to case, against the system's list of serial ports
// (COM*), and a listed port counts only when it can be opened: under Wine
// the list never changes, and an arrival shows only as a port becoming
// openable.
//
// Polling, not device notifications: a glob over the file system sees what
// udev's symbolic links and a test's pseudo-terminal links do alike, and
// under Wine nothing would be notified at all. A look costs a few system
// calls per pattern.
//
// Threads: any; nothing is kept between calls.
#pragma once

#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace dravel {

// The devices matching any of the patterns, sorted, each once. Those in
// `inUse` (held by this program now) count as present without a look, since
// on Windows a look is an opening that would get in the way of the holder's.
std::vector<std::string> FindMatchingDevices(const std::vector<std::string>& patterns,
                                             const std::set<std::string>& inUse);

// Whether a whole name matches a glob. Path separators are ordinary
// characters here: the Linux side leaves folders to the system's glob.
bool MatchesGlob(std::string_view pattern, std::string_view name, bool ignoreCase);

// Whether a pattern holds a wildcard at all.
bool HasWildcard(std::string_view pattern);

}  // namespace dravel
