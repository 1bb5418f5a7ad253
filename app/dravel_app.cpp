#include "app/dravel_app.h"

#include <iostream>

#include <wx/button.h>
#include <wx/image.h>
#include <wx/statbmp.h>
#include <wx/stattext.h>

#include "app/dialog_units.h"
#include "app/dravel_view.h"
#include "app/main_frame.h"
#include "app/resource_ids.h"
#include "ports/port_table.h"
#include "window/timer_scale.h"

namespace dravel::gui {

// ------------------------------------------------------------------ about box

wxBEGIN_EVENT_TABLE(CAboutDlg, wxDialog)
    EVT_BUTTON(id::kAboutOk, CAboutDlg::OnOk)
wxEND_EVENT_TABLE()

CAboutDlg::CAboutDlg(wxWindow* parent)
    : wxDialog(parent, wxID_ANY, "About dravel", wxDefaultPosition, wxDefaultSize, wxCAPTION | wxSYSTEM_MENU | wxCLOSE_BOX) {
    const wxBitmap icon = IconBitmap();
    if (icon.IsOk()) {
        wxImage small = icon.ConvertToImage().Rescale(32, 32, wxIMAGE_QUALITY_HIGH);
        new wxStaticBitmap(this, wxID_ANY, wxBitmap(small), DialogRect(this, 11, 14, 20, 20).GetPosition());
    }
    struct Line { const char* text; int y; };
    for (const Line& line : {Line{"dravel version 1.1", 8}, Line{"Sends a firmware image to a device over RS-232", 20},
                             Line{"For everyone who keeps old loaders alive", 32}}) {
        const wxRect rect = DialogRect(this, 40, line.y, 130, 8);
        new wxStaticText(this, wxID_ANY, line.text, rect.GetPosition(), wxDefaultSize, wxST_NO_AUTORESIZE);
    }
    // The texts may be wider than the template reckons with a wide font.
    int right = DialogSize(this, 170, 0).x;
    for (wxWindow* child : GetChildren()) {
        child->SetSize(child->GetBestSize());
        right = std::max(right, child->GetRect().GetRight());
    }
    const wxSize okSize = DialogSize(this, 50, 14);
    const int okX = right + DialogSize(this, 8, 0).x;
    auto* ok = new wxButton(this, id::kAboutOk, "OK", wxPoint(okX, DialogSize(this, 0, 7).y), okSize);
    ok->SetDefault();
    SetAffirmativeId(id::kAboutOk);
    SetEscapeId(id::kAboutOk);
    SetClientSize(std::max(DialogSize(this, 232, 0).x, okX + okSize.x + DialogSize(this, 7, 0).x),
                  DialogSize(this, 0, 52).y);
    Centre();
}

void CAboutDlg::OnOk(wxCommandEvent&) { EndModal(wxID_OK); }

// ---------------------------------------------------------------- application

wxBEGIN_EVENT_TABLE(CDravelApp, wxApp)
    EVT_MENU(id::Command(id::kAppAbout), CDravelApp::OnAppAbout)
wxEND_EVENT_TABLE()

void CDravelApp::OnInitCmdLine(wxCmdLineParser& parser) {
    wxApp::OnInitCmdLine(parser);
    parser.AddParam("file", wxCMD_LINE_VAL_STRING, wxCMD_LINE_PARAM_OPTIONAL);
    // Answered before the toolkit starts (app_main.cpp); listed for --help.
    parser.AddSwitch("", "version", "print the version and exit");
}

bool CDravelApp::OnCmdLineParsed(wxCmdLineParser& parser) {
    if (parser.GetParamCount() > 0) m_fileArgument = parser.GetParam(0);
    return wxApp::OnCmdLineParsed(parser);
}

bool CDravelApp::OnInit() {
    SetAppName("dravel");
    SetAppDisplayName(wxString::FromUTF8(std::string(kApplicationName)));
    if (!wxApp::OnInit()) return false;
    wxInitAllImageHandlers();

    CMainFrame::Options options;
    // Ports 1 to 4 as the last OK in the port dialog left them (the command
    // line reads the same store). A store that cannot be read leaves the
    // defaults; the next OK writes a good one.
    options.ports = PortTable::Load();
    if (!options.ports.Note().empty()) std::cerr << "dravel: " << options.ports.Note() << std::endl;

    m_document = std::make_unique<CDravelDoc>();
    // Only tests shorten the answer timers; without the variable they are
    // the protocol's own 1000 and 20000 ms.
    options.side.timerScale = TimerScaleFromEnvironment();
    auto* frame = new CMainFrame(*m_document, options);
    if (!frame->IsCreated()) {
        frame->Destroy();
        return false;
    }
    SetTopWindow(frame);

    if (!m_fileArgument.empty()) {
        if (!m_document->OnOpenDocument(m_fileArgument.utf8_string())) {
            std::cerr << "dravel: " << m_document->LastError() << " (starting with an empty document)" << std::endl;
            m_document->OnNewDocument();
        } else {
            frame->View().OnInitialUpdate();
        }
    } else {
        m_document->OnNewDocument();
    }

    frame->Show(true);
    frame->Update();
    return true;
}

void CDravelApp::OnAppAbout(wxCommandEvent&) {
    CAboutDlg about(GetTopWindow());
    about.ShowModal();
}

}  // namespace dravel::gui
