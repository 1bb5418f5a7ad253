// What the records keep on the station's own disk, where the operating
// system differs: the folder for it, exclusive locks on files, and writes
// that are on the disk when they return. One file per platform
// (local_state_posix.cpp, local_state_win32.cpp) behind this header.
//
// StateFolder: Linux $XDG_STATE_HOME/dravel, or ~/.local/state/dravel when
// that variable is unset, empty or relative (the XDG rules); Windows
// %LOCALAPPDATA%\dravel. Only the environment is read; the folder is named,
// not made.
//
// Threads: any. A FileLock belongs to one thread at a time; locks are held
// per open file, so two FileLocks on one path exclude each other even in
// one process.
//
// Failures: every function says why in `error` (the system's own text).
// A lock held by someone else is not a failure: TryLock returns nothing and
// leaves `error` empty. The locks go with the process that holds them,
// however it ends.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

namespace dravel::records {

// Empty when the environment names no folder (no HOME, no LOCALAPPDATA).
std::filesystem::path StateFolder();

// The name a station goes by when it is given none.
std::string HostName();

class FileLock {
public:
    // Opens (creating it if need be) and locks `path` without waiting.
    static std::unique_ptr<FileLock> TryLock(const std::filesystem::path& path, std::string& error);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

private:
    explicit FileLock(intptr_t handle) : m_handle(handle) {}
    intptr_t m_handle;
};

// Appends `text` to `path` (made if missing) and returns once the file and
// its folder entry are on the disk.
bool AppendDurably(const std::filesystem::path& path, std::string_view text, std::string& error);

// Replaces the whole of `path` with `text` such that a crash leaves either
// the old or the new content, never a mixture.
bool ReplaceDurably(const std::filesystem::path& path, std::string_view text, std::string& error);

}  // namespace dravel::records
