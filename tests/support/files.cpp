#include "tests/support/files.h"

#include <stdlib.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <stdexcept>

namespace dravel::testing {

std::string ReadWholeFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteWholeFile(const std::filesystem::path& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "dravel-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
    m_path = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

std::string PatternImage(std::size_t size, unsigned seed) {
    std::string image(size, '\0');
    unsigned state = seed * 2654435761u + 1;
    for (auto& c : image) {
        state = state * 1103515245u + 12345u;
        c = static_cast<char>(state >> 16);
    }
    return image;
}

std::string RandomImage(std::size_t size, uint64_t seed) {
    std::mt19937_64 generator(seed);
    std::string image(size, '\0');
    for (auto& byte : image) byte = static_cast<char>(generator() & 0xFF);
    return image;
}

std::string Padded(const std::string& content) {
    std::string padded = content;
    padded.resize((content.size() + 1023) / 1024 * 1024, '\0');
    return padded;
}

}  // namespace dravel::testing
