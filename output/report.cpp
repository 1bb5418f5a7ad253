#include "output/report.h"

#include <gcrypt.h>

#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <system_error>

#include "dravel_version.h"
#include "output/trace_log.h"

namespace dravel::output {

namespace {

std::string Hex(const unsigned char* bytes, std::size_t count) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(count * 2);
    for (std::size_t i = 0; i < count; ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0x0F];
    }
    return text;
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

// The library wants to be asked once before its first use.
bool HashReady() {
    static const bool ready = gcry_check_version(nullptr) != nullptr;
    return ready;
}

std::string Sha256Hex(std::span<const uint8_t> bytes) {
    if (!HashReady()) return {};
    std::array<unsigned char, 32> digest{};
    gcry_md_hash_buffer(GCRY_MD_SHA256, digest.data(), bytes.data(), bytes.size());
    return Hex(digest.data(), digest.size());
}

nlohmann::ordered_json AddressJson(const std::optional<uint64_t>& address) {
    if (!address) return nullptr;
    char text[24];
    std::snprintf(text, sizeof text, "0x%08llX", static_cast<unsigned long long>(*address));
    return text;
}

bool DigestImage(const std::string& path, ImageDigest& digest, std::string& error) {
    digest = {};
    std::error_code statusError;
    if (!std::filesystem::is_regular_file(std::filesystem::status(path, statusError))) return true;
    if (!HashReady()) {
        error = "libgcrypt did not initialise";
        return false;
    }
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    gcry_md_hd_t hash = nullptr;
    if (gcry_md_open(&hash, GCRY_MD_SHA256, 0) != 0) {
        error = "SHA-256 is not available";
        return false;
    }
    std::array<unsigned char, 65536> buffer{};
    uint64_t size = 0;
    for (;;) {
        const std::size_t got = std::fread(buffer.data(), 1, buffer.size(), file.get());
        if (got > 0) {
            gcry_md_write(hash, buffer.data(), got);
            size += got;
        }
        if (got < buffer.size()) break;
    }
    const bool failed = std::ferror(file.get()) != 0;
    if (!failed) {
        digest.size = size;
        digest.sha256 = Hex(gcry_md_read(hash, GCRY_MD_SHA256), gcry_md_get_algo_dlen(GCRY_MD_SHA256));
    } else {
        error = path + ": read failed";
    }
    gcry_md_close(hash);
    return !failed;
}

std::string ToJson(const ReportRecord& record) {
    nlohmann::ordered_json object;
    object["start"] = record.start;
    object["version"] = DRAVEL_VERSION;
    object["port"] = record.port;
    object["device"] = record.device;
    object["image"] = record.image;
    object["size"] = record.digest.size ? nlohmann::ordered_json(*record.digest.size) : nullptr;
    object["sha256"] = record.digest.sha256 ? nlohmann::ordered_json(*record.digest.sha256) : nullptr;
    object["format"] = record.digest.format ? nlohmann::ordered_json(*record.digest.format) : nullptr;
    object["base"] = AddressJson(record.digest.base);
    object["source_sha256"] = record.digest.sourceSha256 ? nlohmann::ordered_json(*record.digest.sourceSha256) : nullptr;
    object["kind"] = record.kind;
    object["frames"] = record.frames;
    object["resends"] = record.resends;
    object["no_answers"] = record.noAnswers;
    object["payload_bytes"] = record.payloadBytes;
    object["seconds"] = std::round(record.seconds * 1000.0) / 1000.0;
    object["bytes_per_second"] =
        record.seconds > 0 ? std::round(static_cast<double>(record.payloadBytes) / record.seconds * 10.0) / 10.0 : 0.0;
    object["outcome"] = record.outcome;
    object["exit_code"] = record.exitCode;
    if (record.board) object["board"] = *record.board;
    if (record.serial) object["serial"] = *record.serial;
    if (record.attempts) object["attempts"] = *record.attempts;
    if (record.banner) object["banner"] = *record.banner;
    // Texts from the command line or the file system need not be UTF-8.
    return object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

ReportFile::~ReportFile() {
    if (m_file) std::fclose(m_file);
}

bool ReportFile::Open(const std::string& path, std::string& error) {
    m_file = std::fopen(path.c_str(), "ab");
    if (!m_file) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

void ReportFile::Append(const ReportRecord& record) {
    if (!m_file) return;
    const std::string line = ToJson(record) + "\n";
    std::fwrite(line.data(), 1, line.size(), m_file);
    std::fflush(m_file);
}

TransferRecord::TransferRecord(ReportRecord identity)
    : m_record(std::move(identity)), m_began(std::chrono::steady_clock::now()) {
    m_record.start = IsoTimeNow();
}

void TransferRecord::SetDigest(const ImageDigest& digest) {
    std::lock_guard lock(m_mutex);
    m_record.digest = digest;
}

void TransferRecord::Progress(const TransferProgress& progress) {
    std::lock_guard lock(m_mutex);
    m_record.frames = progress.blocks;
    m_record.resends = progress.resends;
    m_record.noAnswers = progress.noAnswers;
    m_record.payloadBytes = progress.bytesSent;
}

void TransferRecord::SetSerial(uint64_t serial) {
    std::lock_guard lock(m_mutex);
    m_record.serial = serial;
}

void TransferRecord::Attempt(int attempt) {
    std::lock_guard lock(m_mutex);
    m_record.attempts = attempt;
}

void TransferRecord::Banner(std::string_view line) {
    std::lock_guard lock(m_mutex);
    m_record.banner = std::string(line);
}

void TransferRecord::Box(std::string_view text) {
    std::lock_guard lock(m_mutex);
    m_record.outcome = text;
}

void TransferRecord::Cause(std::string_view text) {
    std::lock_guard lock(m_mutex);
    m_lastCause = text;
}

std::string TransferRecord::Outcome() {
    std::lock_guard lock(m_mutex);
    return m_record.outcome;
}

std::string TransferRecord::LastCause() {
    std::lock_guard lock(m_mutex);
    return m_lastCause;
}

void TransferRecord::Finish(ReportFile& file, int exitCode, std::string_view outcomeIfNoBox) {
    std::lock_guard lock(m_mutex);
    if (m_finished) return;
    m_finished = true;
    if (m_record.outcome.empty()) m_record.outcome = outcomeIfNoBox;
    m_record.exitCode = exitCode;
    m_record.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_began).count();
    file.Append(m_record);
}

}  // namespace dravel::output
