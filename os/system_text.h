// The system's own words for an error code, for the causes a person reads:
// strerror() on POSIX (errno), FormatMessage on Windows (GetLastError(),
// WSAGetLastError()) with the number, which is what a search for the
// problem needs. One file per platform: system_text_posix.cpp,
// system_text_win32.cpp.
//
// Any thread. Code 0 is no error: an empty text.
#pragma once

#include <string>

namespace dravel {

std::string SystemText(unsigned long code);

}  // namespace dravel
