#include "output/console.h"

#include <algorithm>
#include <cstdio>

#include "host/interrupts.h"
#include "output/progress_line.h"

namespace dravel::output {

Console::Console(bool quiet, bool json, ConsoleStreams streams)
    : m_streams(streams),
      m_quiet(quiet),
      m_json(json),
      m_progressBar(!json && streams.err == stderr && EnableTerminalSequences(ConsoleStream::Error)) {}

void Console::Status(std::string_view text) {
    if (!m_quiet) Line(text);
}

void Console::Box(std::string_view text) { Line(text); }

void Console::Line(std::string_view text) {
    if (m_json) return;
    std::lock_guard lock(m_mutex);
    ClearBar();
    std::fwrite(text.data(), 1, text.size(), m_streams.out);
    std::fputc('\n', m_streams.out);
    std::fflush(m_streams.out);
    DrawBar();
}

void Console::Cause(std::string_view text) {
    std::lock_guard lock(m_mutex);
    ClearBar();
    std::fprintf(m_streams.err, "dravel-cli: %.*s\n", static_cast<int>(text.size()), text.data());
    std::fflush(m_streams.err);
    DrawBar();
}

void Console::AttemptForParent(int attempt) {
    std::lock_guard lock(m_mutex);
    const std::string line = AttemptLine(attempt) + "\n";
    std::fputs(line.c_str(), m_streams.err);
    std::fflush(m_streams.err);
}

void Console::Progress(const TransferProgress& progress) {
    if (m_forParent) {
        std::lock_guard lock(m_mutex);
        const std::string line = ProgressLine(progress) + "\n";
        std::fputs(line.c_str(), m_streams.err);
        std::fflush(m_streams.err);
        return;
    }
    if (!m_progressBar) return;
    std::lock_guard lock(m_mutex);
    const auto now = std::chrono::steady_clock::now();
    if (!m_started && progress.synchronised) {
        m_started = true;
        m_start = now;
    }
    if (progress.finished) {
        ClearBar();
        m_bar.clear();
        return;
    }
    // Right after synchronising the file is not open yet: nothing to show.
    if (progress.synchronised && progress.blocks == 0 && !progress.fileSize) return;
    if (now - m_lastDraw < std::chrono::milliseconds(100)) return;
    m_lastDraw = now;
    const double seconds = m_started ? std::chrono::duration<double>(now - m_start).count() : 0.0;
    const double rate = seconds > 0.05 ? static_cast<double>(progress.bytesSent) / seconds : 0.0;
    char line[160];
    if (!progress.synchronised) {
        std::snprintf(line, sizeof line, "waiting for the device ...");
    } else if (progress.fileSize && *progress.fileSize > 0) {
        const double share =
            std::min(1.0, static_cast<double>(progress.bytesSent) / static_cast<double>(*progress.fileSize));
        const int filled = static_cast<int>(share * 30.0);
        const double left =
            rate > 0 ? static_cast<double>(*progress.fileSize - std::min(*progress.fileSize, progress.bytesSent)) / rate
                     : 0.0;
        std::snprintf(line, sizeof line, "[%-30.*s] %3d%%  %7.1f KiB/s  %3d:%02d left  resends %d", filled,
                      "##############################", static_cast<int>(share * 100.0), rate / 1024.0,
                      static_cast<int>(left) / 60, static_cast<int>(left) % 60, progress.resends);
    } else {
        std::snprintf(line, sizeof line, "%llu bytes  %7.1f KiB/s  resends %d",
                      static_cast<unsigned long long>(progress.bytesSent), rate / 1024.0, progress.resends);
    }
    ClearBar();
    m_bar = line;
    DrawBar();
}

void Console::ClearBar() {
    if (m_progressBar && !m_bar.empty()) std::fputs("\r\033[K", m_streams.err);
}

void Console::DrawBar() {
    if (m_progressBar && !m_bar.empty()) {
        std::fputs(m_bar.c_str(), m_streams.err);
        std::fflush(m_streams.err);
    }
}

}  // namespace dravel::output
