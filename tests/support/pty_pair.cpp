#include "tests/support/pty_pair.h"

#include <unistd.h>

#include <stdexcept>

namespace dravel::testing {

PtyPair::PtyPair() {
    std::string error;
    if (!m_pair.Open(error)) throw std::runtime_error("PtyPair: " + error);
}

bool PtyPair::WriteMaster(std::span<const uint8_t> bytes, std::chrono::milliseconds timeout) {
    return WriteMaster(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), timeout);
}

bool PtyPair::WriteMaster(std::string_view text, std::chrono::milliseconds timeout) {
    return pty::WriteAll(m_pair.MasterFd(), text, pty::Clock::now() + timeout) == pty::IoEnd::Done;
}

std::vector<uint8_t> PtyPair::ReadMaster(std::size_t max, std::chrono::milliseconds timeout) {
    std::string got;
    pty::ReadUpTo(m_pair.MasterFd(), got, max, pty::Clock::now() + timeout);
    return {got.begin(), got.end()};
}

TtyPeer::TtyPeer(const std::string& path) {
    std::string error;
    m_fd = pty::OpenRaw(path, error);
    if (m_fd < 0) throw std::runtime_error(error);
}

void TtyPeer::Close() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
}

bool TtyPeer::Write(std::string_view bytes, std::chrono::milliseconds timeout) {
    const pty::IoEnd end = pty::WriteAll(m_fd, bytes, pty::Clock::now() + timeout);
    m_hungUp |= end == pty::IoEnd::HungUp;
    return end == pty::IoEnd::Done;
}

std::string TtyPeer::Read(std::size_t want, std::chrono::milliseconds timeout) {
    std::string got;
    m_hungUp |= pty::ReadUpTo(m_fd, got, want, pty::Clock::now() + timeout) == pty::IoEnd::HungUp;
    return got;
}

}  // namespace dravel::testing
