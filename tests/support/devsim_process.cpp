#include "tests/support/devsim_process.h"

#include <sys/stat.h>

#include <cstdlib>
#include <stdexcept>
#include <thread>

namespace dravel::testing {

namespace {

// The number after "seq=" on the log's lines that start with `prefix`.
std::vector<int> SequencesOf(const std::vector<std::string>& log, const std::string& prefix) {
    std::vector<int> sequences;
    for (const auto& line : log) {
        if (!line.starts_with(prefix)) continue;
        const auto at = line.find("seq=");
        if (at != std::string::npos) sequences.push_back(std::atoi(line.c_str() + at + 4));
    }
    return sequences;
}

}  // namespace

DevsimProcess::DevsimProcess(const std::vector<std::string>& options) : DevsimProcess(options, std::string()) {}

DevsimProcess::DevsimProcess(const std::vector<std::string>& options, const std::string& linkPath)
    : m_link(linkPath.empty() ? m_dir / "COM1" : linkPath) {
    std::vector<std::string> argv = {BinPath("dravel-devsim"), "--link", LinkPath(), "--image", ImagePath(),
                                     "--log", m_dir / "events.log", "--timeout", "120"};
    argv.insert(argv.end(), options.begin(), options.end());
    m_child.emplace(argv, m_dir / "devsim.out", m_dir / "devsim.err");
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    struct stat info {};
    while (::lstat(LinkPath().c_str(), &info) != 0) {
        if (Clock::now() >= deadline || m_child->Wait(std::chrono::milliseconds(0))) {
            throw std::runtime_error("device simulator did not start: " + Errors());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

bool DevsimProcess::HasImage() const {
    struct stat info {};
    return ::stat(ImagePath().c_str(), &info) == 0;
}

std::vector<int> DevsimProcess::FrameSequences() const { return SequencesOf(Log(), "frame "); }

std::optional<int> DevsimProcess::EndSequence() const {
    const std::vector<int> ends = SequencesOf(Log(), "end");
    if (ends.empty()) return std::nullopt;
    return ends.front();
}

}  // namespace dravel::testing
