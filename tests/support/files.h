// Test support: scratch folders, whole files, and the images tests send.
//
// What it owns: a TempDir owns a fresh folder under the temporary directory
// and removes it, with everything in it, when it goes.
//
// Threads: the functions may be called from any thread; a TempDir belongs
// to the test that made it.
//
// Failures: TempDir throws std::runtime_error when it cannot make its
// folder. A file that cannot be read reads as empty; a file that cannot be
// written is left as it is, for the test's own checks to notice.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace dravel::testing {

std::string ReadWholeFile(const std::filesystem::path& path);
void WriteWholeFile(const std::filesystem::path& path, std::string_view bytes);
std::vector<std::string> SplitLines(const std::string& text);

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

// Deterministic contents with every byte value. Two makers, since the fault
// matrix's recorded results (docs/robustness.md) were measured on
// RandomImage's bytes and the other suites expect PatternImage's.
std::string PatternImage(std::size_t size, unsigned seed = 1);
std::string RandomImage(std::size_t size, uint64_t seed);

// The image a block transfer leaves on the device: the file, zero-padded to
// whole 1024-byte blocks.
std::string Padded(const std::string& content);

}  // namespace dravel::testing
