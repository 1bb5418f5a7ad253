#include "app/dravel_doc.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace dravel::gui {

bool CDravelDoc::OnNewDocument() {
    m_pathName.clear();
    m_lastError.clear();
    return true;
}

bool CDravelDoc::OnOpenDocument(const std::string& path) {
    // Opened for reading only and closed again at once: the document stores
    // nothing, so there is nothing to read, and nothing is ever written.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        m_lastError = path + ": " + std::strerror(errno);
        return false;
    }
    ::close(fd);
    m_pathName = path;
    m_lastError.clear();
    return true;
}

}  // namespace dravel::gui
