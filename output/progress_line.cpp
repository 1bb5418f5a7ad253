#include "output/progress_line.h"

#include <charconv>

namespace dravel::output {

namespace {

// The next field up to a space (or the end), taken off the front of `rest`.
std::string_view TakeField(std::string_view& rest) {
    const std::size_t space = rest.find(' ');
    const std::string_view field = rest.substr(0, space);
    rest = space == std::string_view::npos ? std::string_view() : rest.substr(space + 1);
    return field;
}

// Digits only: from_chars alone would take a sign and leave trailing bytes.
template <typename Number>
bool ReadNumber(std::string_view field, Number& value) {
    if (field.empty() || field.find_first_not_of("0123456789") != std::string_view::npos) return false;
    const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), value);
    return error == std::errc() && end == field.data() + field.size();
}

}  // namespace

ProgressReport ReportOf(const TransferProgress& progress) {
    return {progress.bytesSent, progress.fileSize, progress.resends, progress.synchronised};
}

std::string ProgressLine(const ProgressReport& report) {
    return std::string(kProgressPrefix) + std::to_string(report.bytesSent) + " " +
           (report.fileSize ? std::to_string(*report.fileSize) : std::string("-")) + " " +
           std::to_string(report.resends) + " " + (report.synchronised ? "1" : "0");
}

std::optional<ProgressReport> ParseProgressLine(std::string_view line) {
    if (!line.starts_with(kProgressPrefix)) return std::nullopt;
    std::string_view rest = line.substr(kProgressPrefix.size());
    const std::string_view sent = TakeField(rest);
    const std::string_view size = TakeField(rest);
    const std::string_view resends = TakeField(rest);
    const std::string_view synchronised = rest;
    ProgressReport report;
    if (!ReadNumber(sent, report.bytesSent) || !ReadNumber(resends, report.resends)) return std::nullopt;
    if (size != "-") {
        uint64_t known = 0;
        if (!ReadNumber(size, known)) return std::nullopt;
        report.fileSize = known;
    }
    if (synchronised != "0" && synchronised != "1") return std::nullopt;
    report.synchronised = synchronised == "1";
    return report;
}

std::string AttemptLine(int attempt) { return std::string(kAttemptPrefix) + std::to_string(attempt); }

std::optional<int> ParseAttemptLine(std::string_view line) {
    if (!line.starts_with(kAttemptPrefix)) return std::nullopt;
    int attempt = 0;
    if (!ReadNumber(line.substr(kAttemptPrefix.size()), attempt) || attempt < 1) return std::nullopt;
    return attempt;
}

}  // namespace dravel::output
