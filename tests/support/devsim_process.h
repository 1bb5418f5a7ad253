// Test support: the device simulator as a child process.
//
// DevsimProcess starts build/bin/dravel-devsim on a fresh pseudo-terminal
// link in a folder of its own, waits until the link exists, and afterwards
// offers what the device saw: its exit status, the image it wrote, its event
// log and its summary line.
//
// What it owns: the simulator's process and its folder; the destructor
// kills what still runs and removes the folder.
//
// Threads: none started; the object belongs to the test that made it.
//
// Failures: the constructor throws std::runtime_error with the simulator's
// standard error when the link does not appear within 10 s. Every wait is
// bounded.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/files.h"
#include "tests/support/process.h"

namespace dravel::testing {

class DevsimProcess {
public:
    explicit DevsimProcess(const std::vector<std::string>& options = {});
    // With its link at a path of the test's choosing (a board plugged in
    // where a station watches); the link goes when the simulator ends.
    DevsimProcess(const std::vector<std::string>& options, const std::string& linkPath);

    const std::string& LinkPath() const { return m_link; }
    std::string ImagePath() const { return m_dir / "image.out"; }
    std::optional<int> Wait(std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
        return m_child->Wait(timeout);
    }
    void Stop() { m_child->Stop(); }
    bool HasImage() const;
    std::string Image() const { return ReadWholeFile(ImagePath()); }
    std::vector<std::string> Log() const { return SplitLines(ReadWholeFile(m_dir / "events.log")); }
    std::string Summary() const { return m_child->Stdout(); }
    std::string Errors() const { return m_child->Stderr(); }

    // Sequence bytes of the data frames in the log, in arrival order.
    std::vector<int> FrameSequences() const;
    // The end frame's sequence byte, if one arrived.
    std::optional<int> EndSequence() const;

private:
    TempDir m_dir;
    std::string m_link;
    std::optional<ChildProcess> m_child;
};

}  // namespace dravel::testing
