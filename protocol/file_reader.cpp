#include "protocol/file_reader.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace dravel {

namespace {

// The system's words for a failure, as strerror() gives them everywhere.
std::string SystemMessage(const std::error_code& error) {
    if (error.category() == std::generic_category() || error.category() == std::system_category()) {
        if (const auto condition = error.default_error_condition(); condition.category() == std::generic_category()) {
            return std::strerror(condition.value());
        }
    }
    return error.message();
}

}  // namespace

ImageFile::~ImageFile() { Close(); }

bool ImageFile::Open(const std::string& path) {
    Close();
    m_error.clear();
    m_readFailed = false;
    m_size.reset();
    m_bytesRead = 0;
    // Looked at before opening: opening a device can have effects of its own.
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(path, error);
    if (error) {
        m_error = path + ": " + SystemMessage(error);
        return false;
    }
    if (std::filesystem::is_directory(status)) {
        m_error = path + ": is a directory";
        return false;
    }
    const bool regular = std::filesystem::is_regular_file(status);
    if (!regular && !std::filesystem::is_fifo(status)) {
        m_error = path + ": not a regular file or a pipe (a device would never end)";
        return false;
    }
    m_file = std::fopen(path.c_str(), "rb");
    if (m_file == nullptr) {
        m_error = path + ": " + std::strerror(errno);
        return false;
    }
    if (regular) {
        const auto size = std::filesystem::file_size(path, error);
        if (!error) m_size = static_cast<uint64_t>(size);
    }
    return true;
}

bool ImageFile::CheckOpens(const std::string& path, std::string& error) {
    std::error_code statusError;
    if (std::filesystem::is_fifo(std::filesystem::status(path, statusError)) && !statusError) return true;
    ImageFile file;
    if (file.Open(path)) return true;
    error = file.Error();
    return false;
}

void ImageFile::OpenBytes(std::shared_ptr<const std::vector<uint8_t>> bytes) {
    Close();
    m_error.clear();
    m_readFailed = false;
    m_bytesRead = 0;
    m_bytes = bytes ? std::move(bytes) : std::make_shared<const std::vector<uint8_t>>();
    m_size = m_bytes->size();
}

void ImageFile::Close() {
    m_bytes.reset();
    m_bytesEnded = false;
    if (m_file != nullptr) {
        std::fclose(m_file);
        m_file = nullptr;
    }
}

int ImageFile::Get() {
    if (m_bytes) {
        if (m_bytesRead == m_bytes->size()) {
            m_bytesEnded = true;
            return EOF;
        }
        return (*m_bytes)[m_bytesRead++];
    }
    if (m_file == nullptr) return EOF;
    const int c = std::fgetc(m_file);
    if (c != EOF) ++m_bytesRead;
    if (c == EOF && std::ferror(m_file) && !m_readFailed) {
        m_readFailed = true;
        m_error = std::string("read failed: ") + std::strerror(errno);
    }
    return c;
}

bool ImageFile::AtEnd() const {
    if (m_bytes) return m_bytesEnded;
    return m_file == nullptr || std::feof(m_file);
}

bool ImageFile::ReadFailed() const { return m_readFailed; }

bool BlockReader::Start() {
    m_ahead = m_file.Get();
    return !AtEnd();
}

std::size_t BlockReader::Fill(BlockBuffer block) {
    std::size_t n = 0;
    while (!AtEnd() && n < block.size()) {
        block[n] = static_cast<uint8_t>(m_ahead);
        m_ahead = m_file.Get();
        ++n;
    }
    return n;
}

LineReader::Result LineReader::Next(BlockBuffer block, uint8_t& command, std::size_t& length) {
    std::size_t n = 0;
    for (;;) {
        const int c = m_file.Get();
        if (m_file.AtEnd() || m_file.ReadFailed()) return Result::End;
        if (n == block.size()) {
            // The line and its CR LF must fit in the block buffer.
            ++m_lineNumber;
            return Result::TooLong;
        }
        const auto byte = static_cast<uint8_t>(c);
        block[n] = byte;
        if (byte == 0x0A && n >= 1 && block[n - 1] == 0x0D) {
            ++m_lineNumber;
            if (n < 2) {
                block[0] = block[1] = 0;
                return Result::Empty;
            }
            command = block[n - 2];
            length = n - 2;
            return Result::Line;
        }
        ++n;
    }
}

}  // namespace dravel
