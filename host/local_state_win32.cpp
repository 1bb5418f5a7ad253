#include "host/local_state.h"

#include "os/system_text.h"
#include "os/windows_api.h"

#include <algorithm>
#include <vector>

namespace dravel::records {

namespace {

std::string Utf8(const std::wstring& text) {
    const std::u8string bytes = std::filesystem::path(text).u8string();
    return std::string(bytes.begin(), bytes.end());
}

std::string Cause(const std::filesystem::path& path) {
    const DWORD code = ::GetLastError();
    return Utf8(path.wstring()) + ": " + SystemText(code);
}

bool WriteFileDurably(const std::filesystem::path& path, DWORD access, DWORD disposition, std::string_view text,
                      std::string& error) {
    const HANDLE file = ::CreateFileW(path.c_str(), access, FILE_SHARE_READ, nullptr, disposition,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = Cause(path);
        return false;
    }
    bool written = true;
    while (written && !text.empty()) {
        DWORD done = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(text.size(), 1u << 20));
        written = ::WriteFile(file, text.data(), chunk, &done, nullptr) && done > 0;
        text.remove_prefix(done);
    }
    written = written && ::FlushFileBuffers(file);
    if (!written) error = Cause(path);
    ::CloseHandle(file);
    return written;
}

}  // namespace

std::filesystem::path StateFolder() {
    // The local (not roaming) application data: a station's journal belongs
    // to the machine, not to the user's profile elsewhere.
    const DWORD needed = ::GetEnvironmentVariableW(L"LOCALAPPDATA", nullptr, 0);
    if (needed <= 1) return {};
    std::vector<wchar_t> value(needed);
    const DWORD length = ::GetEnvironmentVariableW(L"LOCALAPPDATA", value.data(), needed);
    if (length == 0 || length >= needed) return {};
    const std::filesystem::path base(std::wstring(value.data(), length));
    if (!base.is_absolute()) return {};
    return base / "dravel";
}

std::string HostName() {
    wchar_t name[256] = {};
    DWORD length = 256;
    if (!::GetComputerNameExW(ComputerNameDnsHostname, name, &length) || length == 0) return "localhost";
    return Utf8(std::wstring(name, length));
}

std::unique_ptr<FileLock> FileLock::TryLock(const std::filesystem::path& path, std::string& error) {
    error.clear();
    // Others may delete the file while it is held: the owner removes its
    // own when it ends.
    const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        // A file another process is deleting cannot be opened: its owner
        // is still there or just gone, and either way not ours to take.
        if (::GetLastError() != ERROR_ACCESS_DENIED) error = Cause(path);
        return nullptr;
    }
    OVERLAPPED whole = {};
    if (!::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &whole)) {
        if (::GetLastError() != ERROR_LOCK_VIOLATION) error = Cause(path);
        ::CloseHandle(file);
        return nullptr;
    }
    return std::unique_ptr<FileLock>(new FileLock(reinterpret_cast<intptr_t>(file)));
}

FileLock::~FileLock() { ::CloseHandle(reinterpret_cast<HANDLE>(m_handle)); }

bool AppendDurably(const std::filesystem::path& path, std::string_view text, std::string& error) {
    return WriteFileDurably(path, FILE_APPEND_DATA, OPEN_ALWAYS, text, error);
}

bool ReplaceDurably(const std::filesystem::path& path, std::string_view text, std::string& error) {
    std::filesystem::path temporary = path;
    temporary += L".new";
    if (!WriteFileDurably(temporary, GENERIC_WRITE, CREATE_ALWAYS, text, error)) return false;
    if (!::MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        error = Cause(path);
        ::DeleteFileW(temporary.c_str());
        return false;
    }
    return true;
}

}  // namespace dravel::records
