// Inside the records room: a journal's text read back. A journal is one
// record per line as ToJson writes it; a line is acknowledged only once it
// and its line feed are on the disk, so text after the last line feed is a
// write that a crash cut short, never a record anyone was told is safe.
//
// Threads: any; the function is pure.
//
// Failures: a line that does not read as a record comes back without one,
// for the caller to keep rather than lose.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

#include "records/board_record.h"

namespace dravel::records {

// Journals are read whole; one larger than this is not ours to read.
inline constexpr std::size_t kLargestJournal = std::size_t{256} << 20;

struct JournalLine {
    std::string_view text;  // without the line feed
    std::optional<BoardRecord> record;
};

std::vector<JournalLine> ParseJournal(std::string_view text);

}  // namespace dravel::records
