#include "host/interrupts.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <string>

namespace dravel {

namespace {

// SIGUSR1 only wakes the watcher when it is to go.
sigset_t WatchedSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGUSR1);
    return set;
}

}  // namespace

bool IsTerminal(ConsoleStream stream) {
    return ::isatty(stream == ConsoleStream::Output ? STDOUT_FILENO : STDERR_FILENO) == 1;
}

void UseLineFeedLineEnds() {}

void ReadStandardInputAsBytes() {}

bool EnableTerminalSequences(ConsoleStream stream) { return IsTerminal(stream); }

void InterruptWatcher::Prepare() {
    const sigset_t set = WatchedSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

InterruptWatcher::InterruptWatcher(Handler onInterrupt) : m_onInterrupt(std::move(onInterrupt)) {
    m_thread = std::thread([this] { Run(); });
}

InterruptWatcher::~InterruptWatcher() {
    m_done.store(true);
    pthread_kill(m_thread.native_handle(), SIGUSR1);
    m_thread.join();
}

void InterruptWatcher::Run() {
    const sigset_t set = WatchedSignals();
    while (!m_done.load()) {
        int received = 0;
        if (sigwait(&set, &received) != 0 || received == SIGUSR1) continue;
        if (m_exitCode.load() != 0) {
            // A second interrupt: the user does not want to wait for the close.
            static constexpr char kMessage[] = "\ndravel-cli: interrupted again; exiting now\n";
            [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
            ::_exit(128 + received);
        }
        m_exitCode.store(128 + received);
        if (m_onInterrupt) m_onInterrupt(received == SIGINT ? "interrupted" : "terminated");
    }
}

}  // namespace dravel
