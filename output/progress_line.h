// The progress line: how a transfer that runs as a child of a station (a gang
// or a watch) tells its parent how far it is, one line on its standard
// error per step:
//
//   @progress <bytes sent> <image size, or - for a pipe> <resends> <1 once synchronised, else 0>
//
// The writer and the reader live here together so that they cannot drift.
//
// Pure functions, any thread. ParseProgressLine takes any bytes (a child's
// line may be cut or be something else) and answers nothing for what is not
// a whole progress line; it allocates nothing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/transfer.h"

namespace dravel::output {

inline constexpr std::string_view kProgressPrefix = "@progress ";

// What a progress line says.
struct ProgressReport {
    uint64_t bytesSent = 0;
    std::optional<uint64_t> fileSize;
    int32_t resends = 0;
    bool synchronised = false;

    bool operator==(const ProgressReport&) const = default;
};

ProgressReport ReportOf(const TransferProgress& progress);

// The line without its line feed.
std::string ProgressLine(const ProgressReport& report);
inline std::string ProgressLine(const TransferProgress& progress) { return ProgressLine(ReportOf(progress)); }

// Nothing when `line` is not exactly a progress line as ProgressLine writes it.
std::optional<ProgressReport> ParseProgressLine(std::string_view line);

// A board's next attempt begins (2, 3, ...): "@attempt <n>", so that the
// station's line for the board can say how many it took.
inline constexpr std::string_view kAttemptPrefix = "@attempt ";
std::string AttemptLine(int attempt);
// Nothing when `line` is not exactly an attempt line with a number from 1.
std::optional<int> ParseAttemptLine(std::string_view line);

}  // namespace dravel::output
