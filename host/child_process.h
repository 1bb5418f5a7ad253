// Child processes for a program that runs copies of itself side by side (the
// command line's gang download: one child per port, since the opening gate
// of the receive path belongs to a process).
//
// What it owns: one child process, the two pipes its standard output and
// error go into, and one reader thread per pipe that hands every line the
// child writes to a handler. The child runs in a process group of its own,
// so a Ctrl+C at the terminal reaches only the parent, which passes it on
// with Interrupt(): each child then gets exactly one interrupt and closes its
// port in order.
//
// Threads: Start, Interrupt, Wait and the destructor belong to the owner; the
// handler is called on the reader threads (one per stream), so it must be
// safe to call from two threads at once. The destructor kills a child that
// still runs, reaps it and joins both readers: nothing outlives the object.
//
// Failures: Start() returns false with the system's words in `error`.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace dravel {

enum class ChildStream { Output, Error };

class ChildProcess {
public:
    using LineHandler = std::function<void(ChildStream stream, const std::string& line)>;

    ChildProcess();
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Start(const std::string& program, const std::vector<std::string>& arguments, LineHandler onLine,
               std::string& error);

    // Asks the child to stop as an interrupt from its console would.
    void Interrupt();

    // Blocks until the child has ended and everything it wrote has been
    // handed over; its exit status (128 + the signal number if a signal ended it).
    int Wait();

private:
    struct Native;
    std::unique_ptr<Native> m_native;
};

// The running program's own executable, to start copies of it.
std::string CurrentExecutable();

}  // namespace dravel
