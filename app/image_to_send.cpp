#include "app/image_to_send.h"

#include <array>
#include <filesystem>
#include <fstream>
#include <new>
#include <span>
#include <system_error>

namespace dravel::gui {

namespace {

constexpr std::size_t kReadChunk = 1 << 16;

bool NamedBin(const std::string& path) {
    const std::filesystem::path name(path);
    std::string extension = name.extension().string();
    for (char& c : extension) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return extension == ".bin";
}

ImageToSend Refused(std::string error) {
    ImageToSend result;
    result.way = ImageToSend::Way::Refused;
    result.error = std::move(error);
    return result;
}

}  // namespace

ImageToSend PrepareImageToSend(const std::string& path) {
    // A .bin has always gone byte for byte: nothing of it is looked at here.
    if (NamedBin(path)) return {};
    // A device or a pipe is not read here: it might never end, and this is
    // the thread the window runs on. One whose name promises an image format
    // cannot go as it is either.
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(path, error);
    if (!std::filesystem::is_regular_file(status)) {
        std::string formatError;
        if (error || !std::filesystem::exists(status) ||
            ChooseFormat(path, std::span<const uint8_t>(), formatError) == ImageFormat::Raw) {
            return {};
        }
        return Refused(path + ": not a regular file, and an image of this kind is read whole before it is sent");
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) return {};

    try {
        std::vector<uint8_t> bytes;
        std::array<char, kReadChunk> chunk{};
        // One byte past the limit tells a file that is too large.
        while (bytes.size() <= kMaxConvertedFileSize && file.read(chunk.data(), chunk.size()).gcount() > 0) {
            const auto* begin = reinterpret_cast<const uint8_t*>(chunk.data());
            bytes.insert(bytes.end(), begin, begin + file.gcount());
        }
        if (file.bad()) return Refused(path + ": the file could not be read to its end");
        if (bytes.size() > kMaxConvertedFileSize) {
            // Only the first bytes tell an ELF file; a name may promise a
            // format. Neither: a large raw image, sent from its file as always.
            std::string formatError;
            const std::span<const uint8_t> magic = std::span<const uint8_t>(bytes).first(4);
            const bool elf = magic[0] == 0x7F && magic[1] == 'E' && magic[2] == 'L' && magic[3] == 'F';
            const auto format = ChooseFormat(path, elf ? magic : std::span<const uint8_t>(), formatError);
            if (!format) return Refused(formatError);
            if (*format == ImageFormat::Raw) return {};
            return Refused(path + ": larger than the " + std::to_string(kMaxConvertedFileSize >> 20) +
                           " MiB an image file may have to be converted");
        }

        ImageResult image = LoadImage(path, bytes, ImageOptions{});
        if (!image.error.empty()) return Refused(std::move(image.error));
        if (image.format == ImageFormat::Raw) return {};
        ImageToSend result;
        result.way = ImageToSend::Way::Bytes;
        result.bytes = std::move(image.bytes);
        result.format = image.format;
        result.base = image.base;
        return result;
    } catch (const std::bad_alloc&) {
        return Refused(path + ": not enough memory to convert the image");
    }
}

}  // namespace dravel::gui
