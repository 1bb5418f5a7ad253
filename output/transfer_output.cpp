#include "output/transfer_output.h"

#include "output/exit_codes.h"

namespace dravel::output {

namespace {

ReportRecord Identity(const TransferOutputSettings& settings) {
    ReportRecord record;
    record.port = settings.port;
    record.device = settings.device;
    record.image = KindSendsFile(settings.kind) ? settings.image : std::string();
    record.kind = KindNumber(settings.kind);
    record.board = settings.board;
    return record;
}

}  // namespace

std::string CheckRecordFiles(const std::string& reportPath, const std::string& tracePath) {
    std::string error;
    if (!reportPath.empty()) {
        ReportFile report;
        if (!report.Open(reportPath, error)) return "--report " + error;
    }
    if (!tracePath.empty()) {
        TraceLog trace;
        if (!trace.Open(tracePath, error)) return "--trace " + error;
    }
    return {};
}

TransferOutput::TransferOutput(TransferOutputSettings settings)
    : m_settings(std::move(settings)),
      m_console(m_settings.quiet, m_settings.json, m_settings.streams),
      m_stream(m_settings.streams.out),
      m_events(m_stream, m_settings.portLabel, m_settings.board),
      m_record(Identity(m_settings)) {
    // With events the parent reads the progress from them.
    m_console.SetProgressForParent(m_settings.progressForParent && !m_settings.json);
    m_events.SetImage({std::nullopt, std::nullopt, m_settings.kind});
    m_trace.SetPort(m_settings.portLabel);
}

std::optional<int> TransferOutput::OpenRecordFiles() {
    std::string error;
    if (!m_settings.reportPath.empty() && !m_report.Open(m_settings.reportPath, error)) {
        m_console.Cause("--report " + error);
        return kExitUsage;
    }
    if (!m_settings.tracePath.empty() && !m_trace.Open(m_settings.tracePath, error)) {
        m_console.Cause("--trace " + error);
        return kExitUsage;
    }
    return std::nullopt;
}

bool TransferOutput::WantsDigest() const {
    return (m_report.IsOpen() || m_settings.json) && KindSendsFile(m_settings.kind);
}

void TransferOutput::SetImage(const ImageDigest& digest) {
    m_record.SetDigest(digest);
    m_events.SetImage({digest.size, digest.sha256, m_settings.kind, digest.format, digest.base, digest.sourceSha256});
}

void TransferOutput::SetSerial(uint64_t serial) {
    m_record.SetSerial(serial);
    m_events.SetSerial(serial);
}

bool TransferOutput::WantsTrace() const { return !m_settings.tracePath.empty() || m_settings.json; }

void TransferOutput::Note(std::string_view text) { m_trace.WriteText(std::string(text)); }

void TransferOutput::Status(std::string_view text) { m_console.Status(text); }

void TransferOutput::Box(std::string_view text) {
    m_record.Box(text);
    m_console.Box(text);
}

void TransferOutput::Cause(std::string_view text) {
    m_record.Cause(text);
    m_console.Cause(text);
}

void TransferOutput::Remark(std::string_view text) { m_console.Cause(text); }

void TransferOutput::Progress(const TransferProgress& progress) {
    m_record.Progress(progress);
    m_console.Progress(progress);
    if (m_settings.json) m_events.OnProgress(progress);
}

void TransferOutput::Trace(const TraceEvent& event) {
    if (!m_settings.tracePath.empty()) m_trace.Write(event);
    if (m_settings.json) m_events.OnTrace(event);
}

void TransferOutput::Attempt(int attempt) {
    m_record.Attempt(attempt);
    m_events.SetAttempt(attempt);
    if (m_settings.progressForParent && !m_settings.json && attempt > 1) m_console.AttemptForParent(attempt);
}

void TransferOutput::Boot(std::string_view line) {
    m_record.Banner(line);
    if (m_settings.json) m_events.Boot(std::string(line));
}

void TransferOutput::End(int exitCode, std::string_view outcomeIfNoBox) {
    Finish(exitCode, outcomeIfNoBox, std::nullopt);
}

int TransferOutput::EndImageNotOpened(std::string_view error) {
    Cause(error);
    Box(m_settings.image + text::kOpenFailed);
    Finish(kExitFailed, {}, kImageNotOpenedCause);
    return kExitFailed;
}

void TransferOutput::Finish(int exitCode, std::string_view outcomeIfNoBox, std::optional<std::string_view> cause) {
    m_record.Finish(m_report, exitCode, outcomeIfNoBox);
    if (!m_settings.json) return;
    // The record has taken the result text by now, or the stand-in for it.
    const std::string why =
        cause ? std::string(*cause) : exitCode == kExitCompleted ? std::string() : m_record.LastCause();
    m_events.End(exitCode, m_record.Outcome(), why);
}

}  // namespace dravel::output
