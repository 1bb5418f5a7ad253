// A child's line on its way into a station's event stream, over any bytes:
// either nothing is written, or exactly one line that is a JSON object with
// the child's `event`, the parent's `t`, and `schema` only on the stream's
// first line.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

#include "fuzz_check.h"
#include "output/json_events.h"

namespace {

std::string Written(std::FILE* file) {
    std::fflush(file);
    std::rewind(file);
    std::string text;
    char buffer[4096];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;) text.append(buffer, got);
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::FILE* const file = std::tmpfile();
    FUZZ_CHECK(file != nullptr);
    static bool first = true;
    std::rewind(file);
    FUZZ_CHECK(::ftruncate(::fileno(file), 0) == 0);

    dravel::output::EventStream stream(file);
    // A stream's first line names the format; the child's line comes second.
    if (!first) stream.Emit("appeared", "/dev/ttyUSB0");
    first = !first;
    const std::size_t before = Written(file).size();
    std::fseek(file, 0, SEEK_END);

    const std::string line(reinterpret_cast<const char*>(data), size);
    std::string event;
    const bool passed = stream.PassOn(line, event);
    const std::string text = Written(file).substr(before);
    if (!passed) {
        FUZZ_CHECK(text.empty());
        return 0;
    }
    FUZZ_CHECK(size <= dravel::output::kLongestPassedEvent);
    FUZZ_CHECK(!text.empty() && text.back() == '\n');
    FUZZ_CHECK(text.find('\n') == text.size() - 1);
    const auto object = nlohmann::ordered_json::parse(text, nullptr, false);
    FUZZ_CHECK(!object.is_discarded() && object.is_object());
    FUZZ_CHECK(object.contains("event") && object["event"] == event);
    FUZZ_CHECK(object.contains("t") && object["t"].is_number());
    FUZZ_CHECK(object.contains("schema") == (before == 0));
    return 0;
}
