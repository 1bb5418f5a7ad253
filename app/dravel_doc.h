// CDravelDoc: the application's single document, which holds nothing.
//
// Opening a document remembers its name and reads nothing from it; there is
// no way to save, so no command of the program can write over a file the
// user opened. User-interface thread only; failures are returned, with the
// system's words in LastError().
#pragma once

#include <string>

namespace dravel::gui {

class CDravelDoc {
public:
    bool OnNewDocument();
    // True if the file exists and can be read; its contents are not touched.
    bool OnOpenDocument(const std::string& path);

    const std::string& PathName() const { return m_pathName; }
    const std::string& LastError() const { return m_lastError; }

private:
    std::string m_pathName;
    std::string m_lastError;
};

}  // namespace dravel::gui
