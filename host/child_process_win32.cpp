#include "host/child_process.h"

#include "os/system_text.h"
#include "os/windows_api.h"

#include <array>
#include <atomic>
#include <thread>

namespace dravel {

struct ChildProcess::Native {
    PROCESS_INFORMATION process{};
    bool started = false;
    std::atomic<bool> ended{false};  // Interrupt() on one thread, Wait() on another
    int exitStatus = -1;
    std::thread readers[2];
};

namespace {

// One argument as the C run-time of the child splits its command line:
// quotes around it, backslashes doubled only where a quote follows them.
std::string Quote(const std::string& argument) {
    if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string::npos) return argument;
    std::string quoted = "\"";
    std::size_t backslashes = 0;
    for (char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"') quoted.append(backslashes * 2 + 1, '\\');
        else quoted.append(backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, '\\');
    quoted += '"';
    return quoted;
}

void ReadLines(HANDLE pipe, ChildStream stream, const ChildProcess::LineHandler& onLine) {
    std::string pending;
    std::array<char, 4096> buffer{};
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(pipe, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) || got == 0) break;
        pending.append(buffer.data(), got);
        std::size_t start = 0;
        for (std::size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1) {
            std::string line = pending.substr(start, end - start);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            onLine(stream, line);
        }
        pending.erase(0, start);
    }
    if (!pending.empty()) onLine(stream, pending);
    CloseHandle(pipe);
}

}  // namespace

ChildProcess::ChildProcess() : m_native(std::make_unique<Native>()) {}

ChildProcess::~ChildProcess() {
    if (m_native->started && !m_native->ended) {
        TerminateProcess(m_native->process.hProcess, 1);
        Wait();
    }
    for (auto& reader : m_native->readers) {
        if (reader.joinable()) reader.join();
    }
    if (m_native->started) {
        CloseHandle(m_native->process.hThread);
        CloseHandle(m_native->process.hProcess);
    }
}

bool ChildProcess::Start(const std::string& program, const std::vector<std::string>& arguments, LineHandler onLine,
                         std::string& error) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE out[2] = {nullptr, nullptr};
    HANDLE err[2] = {nullptr, nullptr};
    if (!CreatePipe(&out[0], &out[1], &inherit, 0) || !CreatePipe(&err[0], &err[1], &inherit, 0)) {
        error = "pipe: " + SystemText(GetLastError());
        for (HANDLE handle : {out[0], out[1], err[0], err[1]}) {
            if (handle) CloseHandle(handle);
        }
        return false;
    }
    // Only the writing ends go to the child.
    SetHandleInformation(out[0], HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(err[0], HANDLE_FLAG_INHERIT, 0);

    std::string commandLine = Quote(program);
    for (const std::string& argument : arguments) commandLine += " " + Quote(argument);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = out[1];
    startup.hStdError = err[1];
    // A group of its own: the console's Ctrl+C goes to the parent, which
    // passes one Ctrl+Break on to each child.
    const BOOL created = CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                        CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &startup, &m_native->process);
    const DWORD failure = created ? 0 : GetLastError();
    CloseHandle(out[1]);
    CloseHandle(err[1]);
    if (!created) {
        CloseHandle(out[0]);
        CloseHandle(err[0]);
        error = program + ": " + SystemText(failure);
        return false;
    }
    m_native->started = true;
    m_native->ended = false;
    m_native->readers[0] = std::thread(ReadLines, out[0], ChildStream::Output, onLine);
    m_native->readers[1] = std::thread(ReadLines, err[0], ChildStream::Error, onLine);
    return true;
}

void ChildProcess::Interrupt() {
    if (m_native->started && !m_native->ended) GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, m_native->process.dwProcessId);
}

int ChildProcess::Wait() {
    if (!m_native->started) return -1;
    if (!m_native->ended) {
        // The handle stays open until this object goes, so the process id
        // Interrupt() uses cannot pass to another process meanwhile.
        WaitForSingleObject(m_native->process.hProcess, INFINITE);
        DWORD code = 0;
        GetExitCodeProcess(m_native->process.hProcess, &code);
        m_native->exitStatus = static_cast<int>(code);
        m_native->ended = true;
    }
    for (auto& reader : m_native->readers) {
        if (reader.joinable()) reader.join();
    }
    return m_native->exitStatus;
}

std::string CurrentExecutable() {
    char path[MAX_PATH * 4];
    const DWORD length = GetModuleFileNameA(nullptr, path, static_cast<DWORD>(sizeof path));
    if (length == 0 || length >= sizeof path) return {};
    return std::string(path, length);
}

}  // namespace dravel
