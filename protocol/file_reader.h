// Reading the image file the way the transfer sends it.
//
// ImageFile is the buffered stream the worker reads one byte at a time. It is
// opened read-only and only if it is something that ends: a regular file or a
// pipe. A directory or a device file (/dev/zero would never end) is refused.
// It can also stand for an image already in memory (a file converted before
// the transfer), which reads the same way and never fails.
//
// BlockReader cuts the file into blocks of up to 1024 bytes with one byte read
// ahead, so a file whose size is a multiple of 1024 ends without an empty
// block. LineReader cuts a text into lines that end in CR LF; the character
// before the CR is the line's command, the bytes before it its payload.
//
// Both write only inside the block buffer they are given. A read error is
// told apart from the end of the file, so it can never pass for a complete
// transfer.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "protocol/frame.h"

namespace dravel {

class ImageFile {
public:
    ImageFile() = default;
    ~ImageFile();
    ImageFile(const ImageFile&) = delete;
    ImageFile& operator=(const ImageFile&) = delete;

    // False with the reason in Error() when the file cannot be used.
    bool Open(const std::string& path);
    // Reads `bytes` instead of a file; Size() is theirs.
    void OpenBytes(std::shared_ptr<const std::vector<uint8_t>> bytes);
    // Whether Open() would succeed, found out before anything else is done:
    // a regular file is opened and closed again, a pipe is only looked at
    // (opening it would wait for its writer).
    static bool CheckOpens(const std::string& path, std::string& error);
    void Close();
    bool IsOpen() const { return m_file != nullptr || m_bytes != nullptr; }

    // The next byte, or EOF (-1) at the end of the file or on a read error.
    int Get();
    bool AtEnd() const;
    bool ReadFailed() const;
    // Size of a regular file; nothing for a pipe.
    std::optional<uint64_t> Size() const { return m_size; }
    const std::string& Error() const { return m_error; }
    uint64_t BytesRead() const { return m_bytesRead; }

private:
    std::FILE* m_file = nullptr;
    std::shared_ptr<const std::vector<uint8_t>> m_bytes;
    bool m_bytesEnded = false;  // Get() has run past the last byte, as feof() tells for a file
    uint64_t m_bytesRead = 0;
    std::optional<uint64_t> m_size;
    std::string m_error;
    bool m_readFailed = false;
};

using BlockBuffer = std::span<uint8_t, kBlockBufferSize>;

class BlockReader {
public:
    explicit BlockReader(ImageFile& file) : m_file(file) {}
    // Reads the first byte ahead. False if the file is empty (or unreadable).
    bool Start();
    // Fills the block from the byte read ahead on; returns the number of bytes
    // (1 to 1024). At the end of the file AtEnd() turns true.
    std::size_t Fill(BlockBuffer block);
    bool AtEnd() const { return m_file.AtEnd() || m_file.ReadFailed(); }

private:
    ImageFile& m_file;
    int m_ahead = EOF;
};

class LineReader {
public:
    enum class Result {
        Line,      // a complete line: command and payload length are set
        Empty,     // CR LF alone: no command character, nothing to send
        TooLong,   // the line does not fit the block buffer with its CR LF
        End,       // end of the file; bytes after the last CR LF are dropped
    };
    explicit LineReader(ImageFile& file) : m_file(file) {}
    // The payload is left in block[0 .. length-1], the command at block[length].
    Result Next(BlockBuffer block, uint8_t& command, std::size_t& length);
    // 1-based number of the line last returned.
    uint64_t LineNumber() const { return m_lineNumber; }

private:
    ImageFile& m_file;
    uint64_t m_lineNumber = 0;
};

}  // namespace dravel
