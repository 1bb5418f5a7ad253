// How the image file is cut into blocks and lines.

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <array>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>
#include <string>
#include <vector>

#include "protocol/file_reader.h"

namespace dravel {
namespace {

class TempFile {
public:
    explicit TempFile(const std::string& content) {
        static std::atomic<int> counter{0};
        const std::string name =
            "dravel-image-" + std::to_string(std::random_device{}()) + "-" + std::to_string(counter++);
        m_path = (std::filesystem::temp_directory_path() / name).string();
        std::ofstream out(m_path, std::ios::binary);
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
        EXPECT_TRUE(out.good());
    }
    ~TempFile() {
        std::error_code ignored;
        std::filesystem::remove(m_path, ignored);
    }
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

std::vector<std::size_t> BlockSizes(const std::string& content) {
    TempFile temp(content);
    ImageFile file;
    EXPECT_TRUE(file.Open(temp.Path()));
    BlockReader reader(file);
    std::array<uint8_t, kBlockBufferSize> block{};
    std::vector<std::size_t> sizes;
    if (!reader.Start()) return sizes;
    std::string joined;
    for (;;) {
        const std::size_t n = reader.Fill(block);
        sizes.push_back(n);
        joined.append(reinterpret_cast<const char*>(block.data()), n);
        if (reader.AtEnd()) break;
    }
    EXPECT_EQ(joined, content);
    return sizes;
}

TEST(BlockReader, CutsFilesIntoFullBlocksAndOneShortOneWithoutAnEmptyTail) {
    EXPECT_EQ(BlockSizes(""), std::vector<std::size_t>{});
    EXPECT_EQ(BlockSizes("x"), std::vector<std::size_t>{1});
    EXPECT_EQ(BlockSizes(std::string(1023, 'a')), std::vector<std::size_t>{1023});
    EXPECT_EQ(BlockSizes(std::string(1024, 'b')), std::vector<std::size_t>{1024});
    EXPECT_EQ(BlockSizes(std::string(1025, 'c')), (std::vector<std::size_t>{1024, 1}));
    EXPECT_EQ(BlockSizes(std::string(2048, 'd')), (std::vector<std::size_t>{1024, 1024}));
}

struct Line {
    LineReader::Result result;
    uint8_t command;
    std::string payload;
};

std::vector<Line> Lines(const std::string& content) {
    TempFile temp(content);
    ImageFile file;
    EXPECT_TRUE(file.Open(temp.Path()));
    LineReader reader(file);
    std::array<uint8_t, kBlockBufferSize> block{};
    std::vector<Line> lines;
    for (;;) {
        uint8_t command = 0;
        std::size_t length = 0;
        block.fill(0);
        const auto result = reader.Next(block, command, length);
        if (result == LineReader::Result::End) break;
        if (result == LineReader::Result::Line) {
            lines.push_back({result, command, std::string(reinterpret_cast<const char*>(block.data()), length)});
        } else {
            lines.push_back({result, 0, {}});
            if (result == LineReader::Result::TooLong) break;
        }
    }
    return lines;
}

TEST(LineReader, LastCharacterBeforeCrLfIsTheCommandAndTrailingBytesAreDropped) {
    auto lines = Lines("12345X\r\nabc");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].command, 'X');
    EXPECT_EQ(lines[0].payload, "12345");
}

TEST(LineReader, LineFeedsWithoutCarriageReturnAreOrdinaryPayload) {
    auto lines = Lines("\nab\nc6\r\n9\r\n");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].command, '6');
    EXPECT_EQ(lines[0].payload, "\nab\nc");
    EXPECT_EQ(lines[1].command, '9');
    EXPECT_EQ(lines[1].payload, "");
}

TEST(LineReader, CrLfAloneHasNoCommandAndIsReportedEmpty) {
    auto lines = Lines("\r\nabA\r\n");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].result, LineReader::Result::Empty);
    EXPECT_EQ(lines[1].command, 'A');
    EXPECT_EQ(lines[1].payload, "ab");
}

TEST(LineReader, LinesThatDoNotFitTheBlockBufferAreRefused) {
    const std::string fits = std::string(1021, 'p') + "B\r\n";  // exactly 1024 bytes
    auto ok = Lines(fits);
    ASSERT_EQ(ok.size(), 1u);
    EXPECT_EQ(ok[0].payload.size(), 1021u);
    auto tooLong = Lines(std::string(1022, 'p') + "B\r\nnextX\r\n");
    ASSERT_EQ(tooLong.size(), 1u);
    EXPECT_EQ(tooLong[0].result, LineReader::Result::TooLong);
    auto huge = Lines(std::string(5000, 'p'));  // never ends in CR LF at all
    ASSERT_EQ(huge.size(), 1u);
    EXPECT_EQ(huge[0].result, LineReader::Result::TooLong);
}

TEST(ImageFile, RefusesWhatWouldNeverEndOrIsNoFile) {
    ImageFile file;
    EXPECT_FALSE(file.Open(std::filesystem::temp_directory_path().string()));
    EXPECT_NE(file.Error().find("directory"), std::string::npos);
#ifndef _WIN32
    EXPECT_FALSE(file.Open("/dev/zero"));
#endif
    EXPECT_FALSE(file.Open("/nonexistent/image.bin"));
    EXPECT_NE(file.Error().find("No such file"), std::string::npos);
    TempFile temp("abc");
    ASSERT_TRUE(file.Open(temp.Path()));
    EXPECT_EQ(file.Size(), 3u);
}

#ifndef _WIN32  // named pipes of this kind are POSIX's
TEST(ImageFile, PipeIsReadToItsEndWithoutASize) {
    char dir[] = "/tmp/dravel-fifo-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string fifo = std::string(dir) + "/image";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::thread writer([&] {
        std::ofstream out(fifo, std::ios::binary);
        out << std::string(3000, 'z');
    });
    ImageFile file;
    ASSERT_TRUE(file.Open(fifo));
    EXPECT_FALSE(file.Size().has_value());
    BlockReader reader(file);
    std::array<uint8_t, kBlockBufferSize> block{};
    std::size_t total = 0;
    ASSERT_TRUE(reader.Start());
    for (;;) {
        total += reader.Fill(block);
        if (reader.AtEnd()) break;
    }
    writer.join();
    EXPECT_EQ(total, 3000u);
    EXPECT_FALSE(file.ReadFailed());
    ::unlink(fifo.c_str());
    ::rmdir(dir);
}
#endif

}  // namespace
}  // namespace dravel
