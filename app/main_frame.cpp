#include "app/main_frame.h"

#include <filesystem>
#include <system_error>

#include <wx/accel.h>
#include <wx/dnd.h>
#include <wx/filedlg.h>
#include <wx/icon.h>
#include <wx/menu.h>
#include <wx/statusbr.h>
#include <wx/utils.h>

#include "app/image_to_send.h"
#include "app/resource_ids.h"

namespace dravel::gui {

namespace {

constexpr int kLockTimerId = wxID_HIGHEST + 1;
constexpr int kLockPollMs = 300;
constexpr long kFrameStyle = wxCAPTION | wxSYSTEM_MENU | wxMINIMIZE_BOX | wxCLOSE_BOX;

// Firmware images first, then the binaries the dialog has always offered.
constexpr const char* kImageFileFilter =
    "Firmware images (*.bin;*.hex;*.ihex;*.srec;*.s19;*.s28;*.s37;*.elf;*.axf)|"
    "*.bin;*.hex;*.ihex;*.srec;*.s19;*.s28;*.s37;*.elf;*.axf|"
    "bin(*.bin)|*.bin|"
    "All files (*)|*";

#if wxUSE_DRAG_AND_DROP
class FileDropTarget final : public wxFileDropTarget {
public:
    explicit FileDropTarget(std::function<bool(const wxArrayString&)> take) : m_take(std::move(take)) {}
    bool OnDropFiles(wxCoord, wxCoord, const wxArrayString& paths) override { return m_take(paths); }

private:
    std::function<bool(const wxArrayString&)> m_take;
};
#endif

// The toolkit's debug check on menu item ids refuses the menu's historical
// commands (32771, 57664, 57665), which on GTK work all the same: ids are
// full ints there (on Windows id::Command brings them into range). Only that
// one check is let through, and only while the menu is built.
wxAssertHandler_t g_outerAssertHandler = nullptr;

void MenuIdAssertHandler(const wxString& file, int line, const wxString& func, const wxString& cond,
                         const wxString& msg) {
    if (func.Contains("wxMenuItemBase") && msg.Contains("itemid")) return;
    if (g_outerAssertHandler) g_outerAssertHandler(file, line, func, cond, msg);
}

class MenuIdCheckOff {
public:
    MenuIdCheckOff() { g_outerAssertHandler = wxSetAssertHandler(MenuIdAssertHandler); }
    ~MenuIdCheckOff() { wxSetAssertHandler(g_outerAssertHandler); }
    MenuIdCheckOff(const MenuIdCheckOff&) = delete;
    MenuIdCheckOff& operator=(const MenuIdCheckOff&) = delete;
};

bool Exists(const std::string& path) {
    std::error_code error;
    return std::filesystem::exists(path, error);
}

}  // namespace

wxBEGIN_EVENT_TABLE(CMainFrame, wxFrame)
    EVT_MENU(id::Command(id::kPortSettings), CMainFrame::OnPortSettings)
    EVT_MENU(id::Command(id::kAppExit), CMainFrame::OnExit)
    EVT_MENU(id::Command(id::kFileNew), CMainFrame::OnFileNew)
    EVT_MENU(id::Command(id::kFileOpen), CMainFrame::OnFileOpen)
    EVT_CLOSE(CMainFrame::OnClose)
    EVT_IDLE(CMainFrame::OnIdle)
    EVT_TIMER(kLockTimerId, CMainFrame::OnLockTimer)
wxEND_EVENT_TABLE()

CMainFrame::CMainFrame(CDravelDoc& document, Options options)
    : m_options(std::move(options)),
      m_document(document),
      m_windowSide(m_options.side),
      m_core(m_windowSide),
      m_portDlg(m_options.ports),
      m_lockTimer(this, kLockTimerId) {
    m_modal.Register();

    // The port comes first, while the dialog is the only window there is.
    if (m_portDlg.DoModal() != wxID_OK) {
        m_windowSide.MessageBox(text::kTheEnd);
        m_windowSide.EndProcess(1);
    }
    m_core.SetPortConfig(m_portDlg.Config());

    if (!wxFrame::Create(nullptr, wxID_ANY, kWindowTitle, wxDefaultPosition, wxSize(kInitialWidth, kInitialHeight),
                         kFrameStyle)) {
        return;
    }
    if (!OnCreate()) return;
    CreateMenus();
    const wxBitmap iconPicture = IconBitmap();
    if (iconPicture.IsOk()) {
        wxIcon icon;
        icon.CopyFromBitmap(iconPicture);
        SetIcon(icon);
    }

    m_view = new CDravelView(this, *this);
    m_windowSide.SetBoxParent(this);
#if wxUSE_DRAG_AND_DROP
    // On the form, which fills the window: a drop on one of its controls
    // reaches it too.
    m_view->SetDropTarget(new FileDropTarget([this](const wxArrayString& paths) { return TakeDroppedFiles(paths); }));
#endif

    // Called on the worker: only the latest state travels, and at most one
    // notification is on its way at a time, so a fast line cannot flood the
    // event queue.
    const auto slot = m_progress;
    WxWindowSide* side = &m_windowSide;
    CDravelView* view = m_view;
    m_core.SetProgressObserver([slot, side, view](const TransferProgress& progress) {
        bool post = false;
        {
            std::lock_guard lock(slot->mutex);
            slot->latest = progress;
            post = !slot->posted;
            slot->posted = true;
        }
        if (!post) return;
        side->Post([slot, view] {
            TransferProgress latest;
            {
                std::lock_guard lock(slot->mutex);
                latest = slot->latest;
                slot->posted = false;
            }
            view->ShowProgress(latest);
        });
    });

    m_view->OnInitialUpdate();
    // Never resizable: the size it has now is the only one it takes.
    SetSizeHints(GetSize(), GetSize());
    UpdateLockIndicators();
    m_lockTimer.Start(kLockPollMs);
    m_created = true;
}

CMainFrame::~CMainFrame() {
    m_lockTimer.Stop();
    if (!m_shutDown) {
        m_shutDown = true;
        m_core.Shutdown();
    }
    m_core.SetProgressObserver(nullptr);
    m_windowSide.SetBoxParent(nullptr);
    m_modal.Unregister();
}

bool CMainFrame::OnCreate() {
    // Window ids end at 32767 in this toolkit, so the status bar cannot carry
    // its historical 59393; nothing addresses it by id.
    wxStatusBar* bar = CreateStatusBar(4, wxSTB_SHOW_TIPS | wxSTB_ELLIPSIZE_END | wxFULL_REPAINT_ON_RESIZE);
    if (!bar) return false;
    const int indicator = bar->GetTextExtent("SCRL").x + 16;
    const int widths[4] = {-1, indicator, indicator, indicator};
    bar->SetStatusWidths(4, widths);
    SetStatusBarPane(0);
    SetStatusText("Status bar", 0);
    return true;
}

void CMainFrame::CreateMenus() {
    const MenuIdCheckOff historicalIds;
    auto* file = new wxMenu;
    file->Append(id::Command(id::kAppExit), "E&xit", "Close the window and end the program");
    auto* port = new wxMenu;
    port->Append(id::Command(id::kPortSettings), "Port &settings...", "RS 232");
    auto* help = new wxMenu;
    help->Append(id::Command(id::kAppAbout), "&About dravel...", "Show the program's version and what it is for");
    help->AppendSeparator();
    auto* bar = new wxMenuBar;
    bar->Append(file, "&File");
    bar->Append(port, "&Port");
    bar->Append(help, "&Help");
    SetMenuBar(bar);

    // The thirteen accelerators. Those without a handler here do nothing;
    // in particular there is no save, so Ctrl+S cannot write over anything.
    using id::Command;
    wxAcceleratorEntry entries[] = {
        {wxACCEL_CTRL, 'N', Command(id::kFileNew)},
        {wxACCEL_CTRL, 'O', Command(id::kFileOpen)},
        {wxACCEL_CTRL, 'S', Command(id::kFileSave)},
        {wxACCEL_CTRL, 'Z', Command(id::kEditUndo)},
        {wxACCEL_CTRL, 'X', Command(id::kEditCut)},
        {wxACCEL_CTRL, 'C', Command(id::kEditCopy)},
        {wxACCEL_CTRL, 'V', Command(id::kEditPaste)},
        {wxACCEL_ALT, WXK_BACK, Command(id::kEditUndo)},
        {wxACCEL_SHIFT, WXK_DELETE, Command(id::kEditCut)},
        {wxACCEL_CTRL, WXK_INSERT, Command(id::kEditCopy)},
        {wxACCEL_SHIFT, WXK_INSERT, Command(id::kEditPaste)},
        {wxACCEL_NORMAL, WXK_F6, Command(id::kNextPane)},
        {wxACCEL_SHIFT, WXK_F6, Command(id::kPrevPane)},
    };
    SetAcceleratorTable(wxAcceleratorTable(static_cast<int>(std::size(entries)), entries));
}

void CMainFrame::UpdateLockIndicators() {
    wxStatusBar* bar = GetStatusBar();
    if (!bar) return;
    const struct { int pane; wxKeyCode key; const char* text; } indicators[] = {
        {1, WXK_CAPITAL, "CAP"}, {2, WXK_NUMLOCK, "NUM"}, {3, WXK_SCROLL, "SCRL"}};
    for (const auto& indicator : indicators) {
        const wxString shown = wxGetKeyState(indicator.key) ? indicator.text : "";
        if (bar->GetStatusText(indicator.pane) != shown) bar->SetStatusText(shown, indicator.pane);
    }
}

void CMainFrame::OnLockTimer(wxTimerEvent&) { UpdateLockIndicators(); }

void CMainFrame::StartTransfer(FormView& form) {
    // The chosen port as the table stands now: the device this send opens.
    PortConfig config = m_core.GetPortConfig();
    config.resolved = m_options.ports.Resolve(config.portNumber);
    m_core.SetPortConfig(config);
    m_core.SetFormView(&form);
    m_core.StartTransfer();
}

void CMainFrame::SetFilePath(const std::string& path) {
    m_chosenPath = path;
    // A file chosen while a transfer is still synchronising is the one that
    // goes; one to be converted has to be converted now for that.
    if (m_core.TransferRunning()) {
        HandToCore(path);
    } else {
        m_core.SetFilePath(path);
    }
}

bool CMainFrame::PrepareSend() { return HandToCore(m_chosenPath); }

bool CMainFrame::HandToCore(const std::string& path) {
    ImageToSend image = PrepareImageToSend(path);
    switch (image.way) {
    case ImageToSend::Way::File: m_core.SetFilePath(path); return true;
    case ImageToSend::Way::Bytes: m_core.SetImage(path, std::move(image.bytes)); return true;
    case ImageToSend::Way::Refused: break;
    }
    m_windowSide.ReportCause(image.error);
    m_windowSide.MessageBox(image.error);
    return false;
}

bool CMainFrame::TakeDroppedFiles(const wxArrayString& paths) {
    // Nothing modal inside the drop: the program the files came from waits
    // for it to return.
    if (paths.size() != 1) {
        CallAfter([this] { m_windowSide.MessageBox(text::kDropOneFile); });
        return false;
    }
    const std::string path = paths[0].utf8_string();
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) {
        CallAfter([this, path] { m_windowSide.MessageBox(path + ": a folder, not a file"); });
        return false;
    }
    CallAfter([this, path] { m_view->ApplyChosenFile(path); });
    return true;
}

std::string CMainFrame::ChooseFile() { return RunFileDialog(false); }

std::string CMainFrame::RunFileDialog(bool forDocument) {
    if (m_options.chooseFile) return m_options.chooseFile(forDocument);
    if (forDocument) {
        wxFileDialog dialog(this, "Open", wxString(), wxString(), "All files (*)|*", wxFD_OPEN | wxFD_FILE_MUST_EXIST);
        return dialog.ShowModal() == wxID_OK ? dialog.GetPath().utf8_string() : std::string();
    }
    // No "*.bin" in the name box any more: the Windows dialog would take it
    // as a filter over the firmware images the first filter offers.
    wxFileDialog dialog(nullptr, "Open", wxString(), wxString(), kImageFileFilter, wxFD_OPEN | wxFD_FILE_MUST_EXIST);
    if (dialog.ShowModal() != wxID_OK) return {};
    std::string path = dialog.GetPath().utf8_string();
    // The default extension: a name typed without one means the .bin file.
    const auto slash = path.find_last_of('/');
    const auto dot = path.find_last_of('.');
    if (!Exists(path) && (dot == std::string::npos || (slash != std::string::npos && dot < slash)) &&
        Exists(path + ".bin")) {
        path += ".bin";
    }
    return path;
}

void CMainFrame::OnPortSettings(wxCommandEvent&) {
    // A running transfer keeps its port; the new choice is for the next one.
    if (m_portDlg.DoModal() == wxID_OK) m_core.SetPortConfig(m_portDlg.Config());
}

void CMainFrame::OnExit(wxCommandEvent&) { Close(); }

void CMainFrame::OnFileNew(wxCommandEvent&) {
    m_document.OnNewDocument();
    m_view->OnInitialUpdate();
}

void CMainFrame::OnFileOpen(wxCommandEvent&) {
    const std::string path = RunFileDialog(true);
    if (path.empty()) return;
    if (!m_document.OnOpenDocument(path)) {
        m_windowSide.ReportCause(m_document.LastError());
        m_windowSide.MessageBox("Failed to open document.");
        return;
    }
    m_view->OnInitialUpdate();
}

void CMainFrame::OnClose(wxCloseEvent&) {
    if (!m_shutDown) {
        // Port closed under the worker, its waits here released, and joined:
        // after this nothing of the transfer touches the window or the form.
        m_shutDown = true;
        m_lockTimer.Stop();
        m_core.Shutdown();
    }
    if (ModalShowing()) {
        // A box or dialog is up on top of this window: it goes first.
        m_destroyPending = true;
        return;
    }
    Destroy();
}

void CMainFrame::OnIdle(wxIdleEvent& event) {
    if (m_destroyPending && !ModalShowing()) {
        m_destroyPending = false;
        Destroy();
    }
    event.Skip();
}

}  // namespace dravel::gui
