#include "host/interrupts.h"

#include <cstdio>
#include <mutex>

#include <fcntl.h>
#include <io.h>

#include "os/windows_api.h"

#include "host/win32_console_rules.h"

namespace dravel {

namespace {

// The system calls the console handler on a thread of its own, for every
// process attached to the console. What it hands over lives for the whole
// process, so that a late event never finds a watcher half gone.
struct Interrupts {
    HANDLE arrived = nullptr;  // auto-reset: an interrupt for the watcher, or the watcher's stop
    HANDLE closed = nullptr;   // manual-reset: no transfer holds the port (any more)
    std::atomic<bool> interrupted{false};
    std::atomic<int> exitCode{0};
    std::atomic<const char*> what{""};
};

Interrupts& State()
{
    static Interrupts state;
    return state;
}

// How long a closing console is held for the port's close; the system ends
// the process itself about five seconds after the event.
constexpr DWORD kCloseHoldMs = 4500;

BOOL WINAPI OnConsoleEvent(DWORD ctrlType)
{
    Interrupts& state = State();
    const win32::InterruptDecision decision = win32::DecideInterrupt(ctrlType, state.interrupted.load());
    if (!decision.handled) return FALSE;
    if (decision.exitNow) {
        static constexpr char kMessage[] = "\ndravel-cli: interrupted again; exiting now\n";
        DWORD written = 0;
        ::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), kMessage, sizeof kMessage - 1, &written, nullptr);
        ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(decision.exitCode));
    }
    if (decision.notify && !state.interrupted.exchange(true)) {
        state.exitCode.store(decision.exitCode);
        state.what.store(decision.what);
        ::SetEvent(state.arrived);
    }
    if (decision.waitForClose) ::WaitForSingleObject(state.closed, kCloseHoldMs);
    return TRUE;
}

bool IsConsole(HANDLE handle)
{
    DWORD mode = 0;
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && ::GetFileType(handle) == FILE_TYPE_CHAR &&
           ::GetConsoleMode(handle, &mode);
}

HANDLE StreamHandle(ConsoleStream stream)
{
    return ::GetStdHandle(stream == ConsoleStream::Output ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
}

}  // namespace

bool IsTerminal(ConsoleStream stream) { return IsConsole(StreamHandle(stream)); }

void UseLineFeedLineEnds()
{
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}

void ReadStandardInputAsBytes()
{
    _setmode(_fileno(stdin), _O_BINARY);
}

bool EnableTerminalSequences(ConsoleStream stream)
{
    const HANDLE handle = StreamHandle(stream);
    DWORD mode = 0;
    if (!IsConsole(handle) || !::GetConsoleMode(handle, &mode)) return false;
    if (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) return true;
    // Consoles before Windows 10 refuse it: they would print the sequences.
    return ::SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != FALSE;
}

void InterruptWatcher::Prepare()
{
    static std::once_flag once;
    std::call_once(once, [] {
        Interrupts& state = State();
        state.arrived = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
        state.closed = ::CreateEventA(nullptr, TRUE, TRUE, nullptr);
        // From here on an interrupt waits for the watcher instead of ending
        // the process, as a blocked signal does on Linux.
        ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
    });
}

InterruptWatcher::InterruptWatcher(Handler onInterrupt) : m_onInterrupt(std::move(onInterrupt))
{
    Prepare();
    ::ResetEvent(State().closed);
    m_thread = std::thread([this] { Run(); });
}

InterruptWatcher::~InterruptWatcher()
{
    Interrupts& state = State();
    m_done.store(true);
    ::SetEvent(state.arrived);
    m_thread.join();
    // Whoever owns this watcher has closed its port by now: a closing
    // console may let the process end.
    state.interrupted.store(false);
    ::SetEvent(state.closed);
}

void InterruptWatcher::Run()
{
    Interrupts& state = State();
    while (!m_done.load()) {
        if (::WaitForSingleObject(state.arrived, INFINITE) != WAIT_OBJECT_0) break;
        if (m_done.load()) break;
        if (!state.interrupted.load() || m_exitCode.load() != 0) continue;
        m_exitCode.store(state.exitCode.load());
        if (m_onInterrupt) m_onInterrupt(state.what.load());
    }
}

}  // namespace dravel
