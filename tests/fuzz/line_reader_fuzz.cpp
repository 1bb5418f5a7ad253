// The kind-1 line reader over arbitrary file contents, checked against the
// plain reading of the format: lines end at each CR LF (searched from the
// left), a line's last character before the CR is its command, a line that
// does not fit the block buffer with its CR LF ends the reading, and bytes
// after the last CR LF are never sent.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "protocol/file_reader.h"

namespace {

using dravel::ImageFile;
using dravel::LineReader;
using dravel::kBlockBufferSize;

// Marks what lies beyond the payload, so a reader that writes past it, or
// leaves a previous line's bytes behind, is seen.
constexpr uint8_t kFill = 0xA5;

struct MemoryFile {
    int fd = -1;
    std::string path;
    explicit MemoryFile(const uint8_t* data, size_t size) {
        fd = ::memfd_create("line-reader-input", MFD_CLOEXEC);
        FUZZ_CHECK(fd >= 0);
        size_t done = 0;
        while (done < size) {
            const ssize_t n = ::write(fd, data + done, size - done);
            FUZZ_CHECK(n > 0);
            done += static_cast<size_t>(n);
        }
        path = "/proc/self/fd/" + std::to_string(fd);
    }
    ~MemoryFile() { ::close(fd); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    MemoryFile memory(data, size);
    ImageFile file;
    FUZZ_CHECK(file.Open(memory.path));
    FUZZ_CHECK(file.Size() && *file.Size() == size);
    LineReader reader(file);

    std::array<uint8_t, kBlockBufferSize> block{};
    std::size_t at = 0;  // where the model's next line begins
    for (uint64_t line = 1;; ++line) {
        block.fill(kFill);
        uint8_t command = 0;
        std::size_t length = SIZE_MAX;
        const LineReader::Result result = reader.Next(block, command, length);

        const auto begin = data + at;
        const auto end = data + size;
        const uint8_t crlf[2] = {0x0D, 0x0A};
        const auto found = std::search(begin, end, crlf, crlf + 2);
        const std::size_t lineBytes = found == end ? SIZE_MAX : static_cast<std::size_t>(found - begin) + 2;

        if (lineBytes != SIZE_MAX && lineBytes <= kBlockBufferSize) {
            FUZZ_CHECK(reader.LineNumber() == line);
            if (lineBytes == 2) {
                FUZZ_CHECK(result == LineReader::Result::Empty);
            } else {
                FUZZ_CHECK(result == LineReader::Result::Line);
                FUZZ_CHECK(length == lineBytes - 3);
                FUZZ_CHECK(command == begin[length]);
                FUZZ_CHECK(std::equal(begin, begin + length, block.begin()));
                FUZZ_CHECK(block[length] == command);
            }
            at += lineBytes;
            continue;
        }
        if (static_cast<std::size_t>(end - begin) > kBlockBufferSize) {
            FUZZ_CHECK(result == LineReader::Result::TooLong);
            FUZZ_CHECK(reader.LineNumber() == line);
        } else {
            FUZZ_CHECK(result == LineReader::Result::End);
            FUZZ_CHECK(!file.ReadFailed());
            // The end stays the end.
            FUZZ_CHECK(reader.Next(block, command, length) == LineReader::Result::End);
        }
        break;
    }
    return 0;
}
