#include "records/journal.h"

namespace dravel::records {

std::vector<JournalLine> ParseJournal(std::string_view text) {
    std::vector<JournalLine> lines;
    for (std::size_t end = text.find('\n'); end != std::string_view::npos; end = text.find('\n')) {
        const std::string_view line = text.substr(0, end);
        std::optional<BoardRecord> record = FromJson(line);
        if (record) MakeStorable(*record);
        lines.push_back({line, std::move(record)});
        text.remove_prefix(end + 1);
    }
    return lines;
}

}  // namespace dravel::records
