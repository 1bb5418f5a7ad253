// The folder where this user's settings of dravel are kept.
//
// Linux: $XDG_CONFIG_HOME/dravel, or ~/.config/dravel when that variable is
// unset, empty or relative (a relative one is to be ignored, by the XDG rules).
// Windows: %APPDATA%\dravel.
//
// Only the environment is read, so tests point it elsewhere by setting the
// variable. The folder is named, not made.
//
// Threads: any; the environment must not change meanwhile.
#pragma once

#include <filesystem>

namespace dravel {

// Empty when the environment names no folder for settings (no HOME, no
// APPDATA): there is then nowhere to keep them.
std::filesystem::path UserConfigFolder();

}  // namespace dravel
