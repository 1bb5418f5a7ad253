// The command line's two output streams.
//
// Standard output carries the system's own texts, one per line, exactly as
// the desktop program shows them (with --quiet only the result and failures:
// the texts that would be message boxes). Standard error carries the causes
// and, on a terminal, a progress bar that is redrawn below the texts; for a
// parent process (a station) it carries the progress lines instead
// (progress_line.h).
//
// Threads: every call may come from any thread; lines never interleave.
// Failures: a stream that cannot be written loses the line; nothing stops.
#pragma once

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

#include "protocol/transfer.h"

namespace dravel::output {

// Where a console writes: the process's own streams, or files in a test.
struct ConsoleStreams {
    std::FILE* out = stdout;
    std::FILE* err = stderr;
};

class Console {
public:
    // With `json` standard output is left to the events: no texts, no bar.
    explicit Console(bool quiet, bool json = false, ConsoleStreams streams = {});

    // A status-label text (left out with --quiet).
    void Status(std::string_view text);
    // A message-box text: the result, or a failure.
    void Box(std::string_view text);
    // A cause or a hint, on standard error.
    void Cause(std::string_view text);
    void Progress(const TransferProgress& progress);

    // Machine-readable progress for a parent process, on standard error.
    void SetProgressForParent(bool on) { m_forParent = on; }
    // For a parent process: a board's next attempt begins.
    void AttemptForParent(int attempt);

private:
    void Line(std::string_view text);
    void ClearBar();
    void DrawBar();

    std::mutex m_mutex;
    const ConsoleStreams m_streams;
    const bool m_quiet;
    const bool m_json;
    const bool m_progressBar;
    bool m_forParent = false;
    std::string m_bar;
    bool m_started = false;
    std::chrono::steady_clock::time_point m_start{};
    std::chrono::steady_clock::time_point m_lastDraw{};
};

}  // namespace dravel::output
