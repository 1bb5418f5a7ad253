// CDravelView: the download form that fills the main window.
//
// What it owns: its controls (choose file, send, the five labels, the banner
// and the progress bar), the file-chosen flag, the transfer kind and the one
// navy brush its background is painted with.
//
// Threads: everything runs on the user-interface thread except TransferKind,
// which the transfer worker reads (it is atomic). The worker's status texts
// and the enabling of send arrive through the window side, on this thread.
//
// Failure: a cancelled file dialog changes nothing; a send without a chosen
// file says "Select file first!", and one whose file the host cannot prepare
// is left to the host to explain; either changes nothing but the transfer kind.
// Errors of the port or the file are the transfer's to report.
#pragma once

#include <atomic>
#include <string>

#include <wx/bitmap.h>
#include <wx/button.h>
#include <wx/gauge.h>
#include <wx/panel.h>
#include <wx/statbmp.h>

#include "app/status_label.h"
#include "protocol/form_view.h"
#include "protocol/download.h"

namespace dravel::text {
inline constexpr const char* kSelectFileFirst = "Select file first!";
}  // namespace dravel::text

namespace dravel::gui {

// What the form needs of the window it sits in.
class FormHost {
public:
    virtual ~FormHost() = default;
    virtual void SetFilePath(const std::string& path) = 0;
    virtual std::string FilePath() const = 0;
    // Makes the chosen file ready to go, before anything of the transfer
    // starts; false, once the user has been told why, when it cannot go.
    virtual bool PrepareSend() { return true; }
    // SetFormView(form) and StartTransfer() of the protocol side.
    virtual void StartTransfer(FormView& form) = 0;
    virtual void ShowMessage(const std::string& text) = 0;
    // Asks the user for a file; empty when cancelled.
    virtual std::string ChooseFile() = 0;
};

inline const wxColour kNavy(0, 0, 128);
inline const wxColour kYellow(255, 255, 0);

inline constexpr int kFileChosen = 2;
inline constexpr int kTransferKindSend = 2;
inline constexpr int kProgressRange = 1000;

class CDravelView final : public wxPanel, public FormView {
public:
    CDravelView(wxWindow* parent, FormHost& host);
    ~CDravelView() override;

    // Colours and title, and the parent frame shrunk to hold the form. Run
    // once after creation and again by new/open document.
    void OnInitialUpdate();

    // Command handlers (choose file 1009, send 1002).
    void OnChooseFile(wxCommandEvent& event);
    void OnSend(wxCommandEvent& event);
    // What a confirmed file dialog does.
    void ApplyChosenFile(const std::string& path);

    // Shows the share of the file the device has taken.
    void ShowProgress(const TransferProgress& progress);

    // FormView
    int TransferKind() const override { return m_transferKind.load(); }
    void SetStatusText(const std::string& text) override;
    void EnableSendButton(bool enable) override;

    // The form's full extent (template 101) in pixels.
    wxSize FormExtent() const { return m_extent; }

    CStatusLabel& TitleLabel() { return *m_titleLabel; }
    CStatusLabel& StatusLabel() { return *m_statusLabel; }
    CStatusLabel& FileLabel() { return *m_fileLabel; }
    CStatusLabel& Label1006() { return *m_label1006; }
    CStatusLabel& Label1008() { return *m_label1008; }
    wxButton& SendButton() { return *m_sendButton; }
    wxButton& ChooseButton() { return *m_chooseButton; }
    wxGauge& Progress() { return *m_progress; }
    int FileChosenFlag() const { return m_fileChosen; }

private:
    void OnPaint(wxPaintEvent& event);
    void ShrinkParentToFit();

    FormHost& m_host;
    CStatusLabel* m_titleLabel = nullptr;
    wxButton* m_sendButton = nullptr;
    CStatusLabel* m_label1008 = nullptr;
    CStatusLabel* m_statusLabel = nullptr;
    CStatusLabel* m_label1006 = nullptr;
    CStatusLabel* m_fileLabel = nullptr;
    wxButton* m_chooseButton = nullptr;
    wxStaticBitmap* m_banner = nullptr;
    wxGauge* m_progress = nullptr;
    int m_fileChosen = 0;
    std::atomic<int> m_transferKind{0};
    wxBrush m_navyBrush;
    wxSize m_extent;

    wxDECLARE_EVENT_TABLE();
};

// The banner picture compiled into the program (500 x 50).
wxBitmap BannerBitmap();
// The program's icon at the given size.
wxBitmap IconBitmap();

}  // namespace dravel::gui
