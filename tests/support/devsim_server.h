// Test support: the device simulator as its own terminal server
// (dravel-devsim --listen), the way a board in a rack is reached over
// rfc2217://, with the DTR and RTS commands it saw.
//
// DevsimServer starts build/bin/dravel-devsim listening on a free port of
// 127.0.0.1 in a folder of its own, waits for its port file, and afterwards
// offers what the board saw: exit status, image, event log, and the control
// log (every SET-CONTROL with the simulator's monotonic time).
//
// What it owns: the simulator's process and its folder; the destructor
// kills what still runs and removes the folder.
//
// Threads: none started; the object belongs to the test that made it.
//
// Failures: the constructor throws std::runtime_error with the simulator's
// standard error when the port file does not appear within 10 s.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/files.h"
#include "tests/support/process.h"

namespace dravel::testing {

struct ControlCommand {
    double ms = 0;      // CLOCK_MONOTONIC, as the simulator read it
    int value = 0;      // the SET-CONTROL value: 8/9 DTR on/off, 11/12 RTS on/off
    std::string name;   // "DTR on"
};

class DevsimServer {
public:
    explicit DevsimServer(const std::vector<std::string>& options = {});

    std::string Url() const { return "rfc2217://127.0.0.1:" + std::to_string(m_port); }
    int Port() const { return m_port; }
    std::optional<int> Wait(std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
        return m_child->Wait(timeout);
    }
    void Stop() { m_child->Stop(); }
    std::string ImagePath() const { return m_dir / "image.out"; }
    std::string Image() const { return ReadWholeFile(ImagePath()); }
    std::vector<std::string> Log() const { return SplitLines(ReadWholeFile(m_dir / "events.log")); }
    std::vector<ControlCommand> Controls() const;
    // The SET-CONTROL values in order, such as {1, 8, 11, 9}.
    std::vector<int> ControlValues() const;
    std::string Summary() const { return m_child->Stdout(); }
    std::string Errors() const { return m_child->Stderr(); }

private:
    TempDir m_dir;
    int m_port = 0;
    std::optional<ChildProcess> m_child;
};

}  // namespace dravel::testing
