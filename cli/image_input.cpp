#include "cli/image_input.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <random>
#include <span>
#include <string_view>
#include <system_error>

#include "host/interrupts.h"
#include "output/console.h"
#include "output/exit_codes.h"
#include "protocol/file_reader.h"

namespace dravel::cli {

namespace {

constexpr std::size_t kReadChunk = std::size_t{1} << 16;

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

bool NamedBin(const std::string& name) {
    std::string extension = std::filesystem::path(name).extension().string();
    for (char& c : extension) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return extension == ".bin";
}

std::string MiB(uint64_t bytes) { return std::to_string(bytes >> 20) + " MiB"; }

// The stream to its end, or to one byte past `limit`; false with the
// system's words when it cannot be read.
bool ReadAll(std::FILE* file, const std::string& name, std::vector<uint8_t>& bytes, std::string& error,
             uint64_t limit = kLargestImageRead) {
    std::vector<uint8_t> chunk(kReadChunk);
    while (bytes.size() <= limit) {
        const std::size_t got = std::fread(chunk.data(), 1, chunk.size(), file);
        bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(got));
        if (got < chunk.size()) break;
    }
    if (std::ferror(file) == 0) return true;
    error = name + ": the file could not be read to its end (" + std::strerror(errno) + ")";
    return false;
}

bool ReadFile(const std::string& path, std::vector<uint8_t>& bytes, std::string& error,
              uint64_t limit = kLargestImageRead) {
    const File file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    return ReadAll(file.get(), path, bytes, error, limit);
}

ImageFormat FormatNamed(const std::string& name) {
    for (const ImageFormat format : {ImageFormat::IntelHex, ImageFormat::Srec, ImageFormat::Elf}) {
        if (name == FormatName(format)) return format;
    }
    return ImageFormat::Raw;
}

PreparedImage Refused(PreparedImage image, std::string error) {
    image.bytes.reset();
    image.error = std::move(error);
    return image;
}

// The image of a job; a raw file goes from the disk where `mayStream`.
PreparedImage Prepare(const JobDescription& job, bool mayStream) {
    PreparedImage image;
    image.name = ImageNameOf(job);
    image.base = job.image.base;
    std::string error;
    std::vector<uint8_t> source;
    try {
        if (job.handedImage) {
            // The station's flat image: sent as it is, said as the user's file.
            // Its parent made it, as large as --max-size allowed.
            if (!ReadFile(job.file, source, error, UINT64_MAX)) return Refused(std::move(image), error);
            image.format = FormatNamed(job.handedImage->format);
            if (!job.handedImage->sourceSha256.empty()) image.sourceSha256 = job.handedImage->sourceSha256;
            image.sha256 = output::Sha256Hex(source);
            image.bytes = std::move(source);
            return image;
        }
        const bool asItIs = job.kind == TransferKind::TextLines;
        if (job.file == "-") {
            ReadStandardInputAsBytes();
            if (!ReadAll(stdin, "-", source, error)) return Refused(std::move(image), error);
            if (source.size() > kLargestImageRead) {
                return Refused(std::move(image), "-: more than " + MiB(kLargestImageRead) +
                                                     " on standard input; send an image that large from a file");
            }
        } else {
            if (!ImageFile::CheckOpens(job.file, error)) return Refused(std::move(image), error);
            std::error_code statusError;
            const bool regular = std::filesystem::is_regular_file(job.file, statusError);
            std::string formatError;
            // A pipe is read whole only when its name asks for a reader:
            // anything else may never end, and has always gone as it came.
            if (mayStream && (asItIs || NamedBin(job.file) ||
                              (!regular && ChooseFormat(job.file, {}, formatError) == ImageFormat::Raw))) {
                return image;
            }
            const uintmax_t size = regular ? std::filesystem::file_size(job.file, statusError) : 0;
            if (regular && !statusError && size > kLargestImageRead) {
                // Not read whole: the first bytes tell an ELF file, the name the rest.
                if (!ReadFile(job.file, source, error, 3)) return Refused(std::move(image), error);
                const bool elf = source.size() >= 4 && source[0] == 0x7F && source[1] == 'E' && source[2] == 'L' &&
                                 source[3] == 'F';
                const auto format = ChooseFormat(job.file, elf ? source : std::vector<uint8_t>(), formatError);
                if (!format) return Refused(std::move(image), formatError);
                if (*format == ImageFormat::Raw && mayStream) return image;
                return Refused(std::move(image), job.file + ": larger than the " + MiB(kLargestImageRead) +
                                                     " an image file may have to be read whole");
            }
            if (!ReadFile(job.file, source, error)) return Refused(std::move(image), error);
            if (source.size() > kLargestImageRead) {
                return Refused(std::move(image), job.file + ": grew past " + MiB(kLargestImageRead) + " as it was read");
            }
        }
        image.sourceSha256 = output::Sha256Hex(source);
        const auto format = asItIs ? std::optional(ImageFormat::Raw) : ChooseFormat(image.name, source, error);
        if (!format) return Refused(std::move(image), error);
        if (*format == ImageFormat::Raw) {
            image.sha256 = image.sourceSha256;
            image.bytes = std::move(source);
            return image;
        }
        ImageResult converted = LoadImage(image.name, source, job.image);
        if (!converted.error.empty()) return Refused(std::move(image), converted.error);
        image.format = converted.format;
        image.base = converted.base;
        image.sha256 = output::Sha256Hex(converted.bytes);
        image.bytes = std::move(converted.bytes);
        return image;
    } catch (const std::bad_alloc&) {
        std::string cause = image.name + ": not enough memory to read the image";
        return Refused(std::move(image), std::move(cause));
    }
}

std::string RandomName() {
    std::random_device random;
    char text[32];
    std::snprintf(text, sizeof text, "dravel-image-%08x%08x", static_cast<unsigned>(random()),
                  static_cast<unsigned>(random()));
    return text;
}

// Writes the whole file, or nothing of it stays; false with the cause.
bool WriteFile(const std::filesystem::path& path, std::span<const uint8_t> bytes, std::string& error) {
    File file(std::fopen(path.string().c_str(), "wb"));
    bool written = file && std::fwrite(bytes.data(), 1, bytes.size(), file.get()) == bytes.size();
    if (!written) error = path.string() + ": " + std::strerror(errno);
    if (file && std::fclose(file.release()) != 0 && written) {
        written = false;
        error = path.string() + ": " + std::strerror(errno);
    }
    if (!written) {
        std::error_code ignored;
        std::filesystem::remove(path, ignored);
    }
    return written;
}

}  // namespace

std::string PreparedImage::Describe() const {
    std::string text = FormatName(format);
    if (base) text += ", base " + AddressText(*base);
    if (bytes) return text + ", " + std::to_string(bytes->size()) + " bytes";
    std::error_code sizeError;
    const uintmax_t size = std::filesystem::file_size(name, sizeError);
    if (sizeError) return text + ", sent as it is read";
    return text + ", " + std::to_string(size) + " bytes, sent as it is read";
}

output::ImageDigest PreparedImage::Digest() const {
    output::ImageDigest digest;
    if (bytes) digest.size = bytes->size();
    digest.sha256 = sha256;
    Complete(digest);
    return digest;
}

void PreparedImage::Complete(output::ImageDigest& digest) const {
    digest.format = FormatName(format);
    digest.base = base;
    // A file sent as it is read is its own source.
    digest.sourceSha256 = bytes ? sourceSha256 : digest.sha256;
}

std::string ImageNameOf(const JobDescription& job) { return job.handedImage ? job.handedImage->name : job.file; }

PreparedImage PrepareImage(const JobDescription& job, bool mayStream) {
    // Reading may wait on a person or a pipe for as long as they like, and
    // nothing is open yet that an interrupt would have to close in order.
    InterruptWatcher interrupts([](std::string_view what) {
        std::fprintf(stderr, "dravel-cli: %.*s while the image was read; nothing was sent\n",
                     static_cast<int>(what.size()), what.data());
        std::fflush(stderr);
        std::_Exit(what == "interrupted" ? kExitInterrupted : kExitTerminated);
    });
    return Prepare(job, mayStream);
}

StationImage::StationImage(const JobDescription& job) : m_childJob(job) {
    if (!KindSendsFile(job.kind)) return;
    PreparedImage image = PrepareImage(job);
    if (!image.error.empty()) {
        m_error = std::move(image.error);
        return;
    }
    if (!image.bytes) return;  // each child reads the file, as it always has
    try {
        std::error_code error;
        const std::filesystem::path temporary = std::filesystem::temp_directory_path(error);
        // A folder only this run made, whatever else lies in the temporary folder.
        for (int attempt = 0; attempt < 8 && m_folder.empty() && !error; ++attempt) {
            const std::filesystem::path candidate = temporary / RandomName();
            if (std::filesystem::create_directory(candidate, error)) m_folder = candidate;
        }
        if (m_folder.empty()) {
            m_error = "no folder for the boards' image in the temporary folder " + temporary.string() + ": " +
                      (error ? error.message() : std::string("every name was taken"));
            return;
        }
        const std::filesystem::path file = m_folder / "image.bin";
        std::string writeError;
        if (!WriteFile(file, *image.bytes, writeError)) {
            m_error = "the boards' image cannot be written: " + writeError;
            return;
        }
        m_childJob.file = file.string();
        m_childJob.image.base = image.base;
        m_childJob.handedImage = HandedImage{image.name, FormatName(image.format), image.sourceSha256.value_or("")};
    } catch (const std::exception& failure) {
        m_error = std::string("the boards' image cannot be written: ") + failure.what();
    }
}

StationImage::~StationImage() {
    if (m_folder.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(m_folder, ignored);
}

int RunConvertJob(const JobDescription& job) {
    output::Console console(false);
    JobDescription whole = job;
    whole.kind = TransferKind::Blocks5;  // a conversion is of an image, never of text lines
    const PreparedImage image = PrepareImage(whole, false);
    if (!image.error.empty()) {
        console.Cause(image.error);
        return kExitFailed;
    }
    std::FILE* said = stdout;
    if (job.convertTo == "-") {
        said = stderr;
        if (std::fwrite(image.bytes->data(), 1, image.bytes->size(), stdout) != image.bytes->size() ||
            std::fflush(stdout) != 0) {
            console.Cause(std::string("standard output: ") + std::strerror(errno));
            return kExitUsage;
        }
    } else {
        // Written beside the output and put in its place whole, so that a
        // failed write leaves the file that was there.
        const std::filesystem::path out(job.convertTo);
        std::filesystem::path part = out;
        part += ".part";
        std::string error;
        if (!WriteFile(part, *image.bytes, error)) {
            console.Cause("-o " + error);
            return kExitUsage;
        }
        std::error_code renameError;
        std::filesystem::rename(part, out, renameError);
        if (renameError) {
            std::filesystem::remove(out, renameError);
            std::filesystem::rename(part, out, renameError);
        }
        if (renameError) {
            std::filesystem::remove(part, renameError);
            console.Cause("-o " + job.convertTo + ": cannot be replaced");
            return kExitUsage;
        }
    }
    std::fprintf(said, "format %s\nbase %s\nsize %zu\nsha256 %s\nsource_sha256 %s\n", FormatName(image.format),
                 image.base ? AddressText(*image.base).c_str() : "none", image.bytes->size(),
                 image.sha256.value_or("").c_str(), image.sourceSha256.value_or("").c_str());
    std::fflush(said);
    return kExitCompleted;
}

}  // namespace dravel::cli
