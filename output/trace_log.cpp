#include "output/trace_log.h"

#include <cerrno>
#include <chrono>
#include <cstring>

namespace dravel::output {

std::string IsoTimeNow() {
    using namespace std::chrono;
    const auto now = floor<milliseconds>(system_clock::now());
    const auto day = floor<days>(now);
    const year_month_day date(day);
    const hh_mm_ss time(now - day);
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()), static_cast<int>(time.subseconds().count()));
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

}  // namespace dravel::output
