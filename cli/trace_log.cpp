#include "cli/trace_log.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>

namespace dravel::cli {

std::string IsoTimeNow() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm utc{};
#ifdef _WIN32
    gmtime_s(&utc, &seconds);
#else
    gmtime_r(&seconds, &utc);
#endif
    char text[40];
    const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + length, sizeof text - length, ".%03dZ", static_cast<int>(millis));
    return text;
}

TraceLog::~TraceLog() {
    if (m_own && m_file) std::fclose(m_file);
}

bool TraceLog::Open(const std::string& path, std::string& error) {
    if (path == "-") {
        m_file = stderr;
        m_own = false;
        return true;
    }
    m_file = std::fopen(path.c_str(), "ab");
    if (!m_file) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    m_own = true;
    return true;
}

void TraceLog::Write(const TraceEvent& event) { WriteText(FormatTraceEvent(event)); }

void TraceLog::WriteText(const std::string& text) {
    if (!m_file) return;
    std::string line = IsoTimeNow() + " " + (m_port.empty() ? std::string() : m_port + " ") + text + "\n";
    std::lock_guard lock(m_mutex);
    std::fwrite(line.data(), 1, line.size(), m_file);
    std::fflush(m_file);
}

}  // namespace dravel::cli
