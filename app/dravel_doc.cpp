#include "app/dravel_doc.h"

#include <filesystem>
#include <fstream>
#include <system_error>

namespace dravel::gui {

bool CDravelDoc::OnNewDocument() {
    m_pathName.clear();
    m_lastError.clear();
    return true;
}

bool CDravelDoc::OnOpenDocument(const std::string& path) {
    // Opened for reading only and closed again at once: the document stores
    // nothing, so there is nothing to read, and nothing is ever written. What
    // is no regular file (a FIFO would block, a device may act on an open) is
    // only looked at.
    std::error_code error;
    const auto status = std::filesystem::status(path, error);
    if (error) {
        m_lastError = path + ": " + error.message();
        return false;
    }
    if (std::filesystem::is_regular_file(status) && !std::ifstream(path, std::ios::binary).is_open()) {
        m_lastError = path + ": cannot be opened for reading";
        return false;
    }
    m_pathName = path;
    m_lastError.clear();
    return true;
}

}  // namespace dravel::gui
