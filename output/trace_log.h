// --trace: one line for every event of a transfer, with the time it happened.
//
//   2026-12-08T10:11:12.345Z COM1 frame seq=00 cmd=35 '5' len=1024 crc=7DF04417 wire=1033
//
// What it owns: the file it appends to (or standard error for "-"). Each
// line is written whole with one call, so the lines of several processes
// that trace into one file do not tear.
//
// Threads: Write may be called from any thread.
//
// Failures: Open answers false with the system's words; a write that fails
// later loses that line and nothing else.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>

#include "protocol/trace.h"

namespace dravel::output {

class TraceLog {
public:
    TraceLog() = default;
    ~TraceLog();
    TraceLog(const TraceLog&) = delete;
    TraceLog& operator=(const TraceLog&) = delete;

    // "-" is standard error. False with the cause in `error` when the file
    // cannot be opened for appending.
    bool Open(const std::string& path, std::string& error);
    void SetPort(std::string port) { m_port = std::move(port); }
    void Write(const TraceEvent& event);
    void WriteText(const std::string& text);

private:
    std::mutex m_mutex;
    std::FILE* m_file = nullptr;
    bool m_own = false;
    std::string m_port;
};

// The time now as ISO 8601 in UTC with milliseconds.
std::string IsoTimeNow();

}  // namespace dravel::output
