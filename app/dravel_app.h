// CDravelApp: the application object, and CAboutDlg, its about box.
//
// Start-up makes the document, then the main frame (which asks for the port
// before any window exists), processes the command line - a file name is
// taken as the document and nothing is read from it or written to it - and
// shows the window. The port is not opened at start-up.
//
// Threads: user-interface thread only. Failure: a window that cannot be
// created ends start-up (OnInit returns false); a command-line file that
// cannot be opened is reported and the program starts with an empty document.
#pragma once

#include <memory>

#include <wx/app.h>
#include <wx/cmdline.h>
#include <wx/dialog.h>

#include "app/dravel_doc.h"

namespace dravel::gui {

class CMainFrame;

class CAboutDlg final : public wxDialog {
public:
    explicit CAboutDlg(wxWindow* parent);

private:
    void OnOk(wxCommandEvent& event);
    wxDECLARE_EVENT_TABLE();
};

class CDravelApp final : public wxApp {
public:
    bool OnInit() override;
    void OnInitCmdLine(wxCmdLineParser& parser) override;
    bool OnCmdLineParsed(wxCmdLineParser& parser) override;

    void OnAppAbout(wxCommandEvent& event);

private:
    std::unique_ptr<CDravelDoc> m_document;
    wxString m_fileArgument;

    wxDECLARE_EVENT_TABLE();
};

}  // namespace dravel::gui
