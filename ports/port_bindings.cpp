#include "ports/port_bindings.h"

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <system_error>

#include <nlohmann/json.hpp>

#include "host/config_folder.h"

namespace dravel {

namespace {

// Four device names; anything near this size is not a file of ours, and
// reading it whole would only cost time.
constexpr std::uintmax_t kLargestFile = 64 * 1024;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string Trimmed(std::string text) {
    size_t begin = 0;
    while (begin < text.size() && IsBlank(text[begin])) ++begin;
    size_t end = text.size();
    while (end > begin && IsBlank(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

// A device name that a person could have typed: no control characters,
// which no path or host name holds and which would garble every message.
bool IsPlausibleDevice(const std::string& device) {
    for (const char c : device) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
    }
    return true;
}

std::string Shown(const std::filesystem::path& file) { return file.empty() ? "(none)" : file.string(); }

std::string Damaged(const std::filesystem::path& file, const std::string& why) {
    return "port bindings " + Shown(file) + " ignored, " + why + "; the ports are their defaults";
}

}  // namespace

std::string PortBindings::Device(int portNumber) const {
    if (portNumber < 1 || portNumber > kBindablePorts) return {};
    return devices[static_cast<size_t>(portNumber - 1)];
}

void PortBindings::Bind(int portNumber, std::string device) {
    if (portNumber < 1 || portNumber > kBindablePorts) return;
    devices[static_cast<size_t>(portNumber - 1)] = Trimmed(std::move(device));
}

std::filesystem::path PortBindingsFile() {
    const std::filesystem::path folder = UserConfigFolder();
    if (folder.empty()) return {};
    return folder / "ports.json";
}

LoadedBindings LoadPortBindings(const std::filesystem::path& file) {
    LoadedBindings loaded;
    if (file.empty()) {
        loaded.note = "no folder for settings (neither XDG_CONFIG_HOME nor HOME, or APPDATA, is set); "
                      "the ports are their defaults";
        return loaded;
    }
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(file, error);
    if (status.type() == std::filesystem::file_type::not_found) {
        loaded.note = "no port bindings yet at " + Shown(file) + "; the ports are their defaults";
        return loaded;
    }
    if (error) return {{}, Damaged(file, "cannot look at it: " + error.message())};
    if (!std::filesystem::is_regular_file(status)) return {{}, Damaged(file, "it is not a file")};
    const std::uintmax_t size = std::filesystem::file_size(file, error);
    if (error) return {{}, Damaged(file, "cannot look at it: " + error.message())};
    if (size > kLargestFile) return {{}, Damaged(file, "it is too large (" + std::to_string(size) + " bytes)")};

    std::ifstream in(file, std::ios::binary);
    if (!in) {
        return {{}, Damaged(file, "it cannot be read: " + std::error_code(errno, std::generic_category()).message())};
    }
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return {{}, Damaged(file, "it cannot be read")};
    return ParsePortBindings(text, file);
}

LoadedBindings ParsePortBindings(std::string_view text, const std::filesystem::path& file) {
    LoadedBindings loaded;
    if (text.size() > kLargestFile) return {{}, Damaged(file, "it is too large (" + std::to_string(text.size()) + " bytes)")};
    const nlohmann::json document = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (document.is_discarded()) return {{}, Damaged(file, "it is not JSON")};
    if (!document.is_object() || !document.contains("ports") || !document["ports"].is_object()) {
        return {{}, Damaged(file, "it holds no \"ports\" object")};
    }
    // Keys of ports this program does not have are left alone: a later
    // version may know more ports than this one.
    for (const auto& [key, value] : document["ports"].items()) {
        const std::optional<int> port = key.size() == 1 ? std::optional<int>(key[0] - '0') : std::nullopt;
        if (!port || *port < 1 || *port > kBindablePorts) continue;
        if (!value.is_string() || !IsPlausibleDevice(value.get<std::string>())) {
            return {{}, Damaged(file, "port " + key + " is not a device name")};
        }
        loaded.bindings.Bind(*port, value.get<std::string>());
    }
    return loaded;
}

std::string FormatPortBindings(const PortBindings& bindings) {
    nlohmann::json ports = nlohmann::json::object();
    for (int port = 1; port <= kBindablePorts; ++port) {
        if (!bindings.Device(port).empty()) ports[std::to_string(port)] = bindings.Device(port);
    }
    const nlohmann::json document = {{"ports", ports}};
    return document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

bool SavePortBindings(const std::filesystem::path& file, const PortBindings& bindings, std::string& error) {
    if (file.empty()) {
        error = "there is no folder for settings (neither XDG_CONFIG_HOME nor HOME, or APPDATA, is set)";
        return false;
    }
    const std::string text = FormatPortBindings(bindings);

    std::error_code failure;
    const std::filesystem::path folder = file.parent_path();
    std::filesystem::create_directories(folder, failure);
    if (failure) {
        error = "cannot make " + folder.string() + ": " + failure.message();
        return false;
    }
    // A name of its own, so that two programs saving at once never write
    // into one temporary file; whichever renames last wins whole.
    std::random_device entropy;
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, ".%08x.tmp", static_cast<unsigned>(entropy()));
    const std::filesystem::path temporary = file.string() + suffix;
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out) {
            error = "cannot write " + temporary.string() + ": " + std::error_code(errno, std::generic_category()).message();
            return false;
        }
        out << text;
        out.close();
        if (!out) {
            std::filesystem::remove(temporary, failure);
            error = "cannot write " + temporary.string();
            return false;
        }
    }
    std::filesystem::rename(temporary, file, failure);
    if (failure) {
        error = "cannot replace " + file.string() + ": " + failure.message();
        std::error_code ignored;
        std::filesystem::remove(temporary, ignored);
        return false;
    }
    return true;
}

}  // namespace dravel
