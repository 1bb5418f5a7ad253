// dravel::gui::CMainFrame: the program's one window.
//
// What it owns: the window side, the protocol-side main frame (on which the
// transfers run), the port table, the port settings dialog with the chosen
// configuration, the status bar and, as its child, the download form. The
// chosen port is resolved through the table at every send, and the transfer
// opens what that gave. Constructing it asks for
// the port first, before any window exists; anything but OK says "The End"
// and ends the process with exit code 1.
//
// The file: chosen in the dialog or dropped on the form (one file, taken as
// if chosen). At send an ELF, Intel HEX or S-record file is converted to its
// flat image (app/image_to_send.h) and the protocol side is given the bytes;
// a plain binary goes from its file as ever. A file that cannot be converted
// shows the reader's one line in a box, and nothing starts.
//
// Threads: user-interface thread only. The transfer worker and the port's
// reader reach it only through the window side and the progress observer,
// both of which stop reaching it when the window closes.
//
// Closing: the close handler shuts the protocol side down (the port is
// closed under a running transfer, every wait of the worker on this thread is
// released, the worker is joined) before the window is destroyed. While a
// modal box or dialog is up the destruction waits until it has closed, so no
// window is pulled from under it.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include <wx/app.h>
#include <wx/arrstr.h>
#include <wx/frame.h>
#include <wx/modalhook.h>
#include <wx/timer.h>

#include "app/dravel_doc.h"
#include "app/dravel_view.h"
#include "app/port_settings_dlg.h"
#include "app/wx_window_side.h"
#include "ports/port_table.h"
#include "protocol/download.h"

namespace dravel::text {
inline constexpr const char* kTheEnd = "The End";
inline constexpr const char* kDropOneFile = "Drop one file at a time";
}  // namespace dravel::text

namespace dravel::gui {

inline constexpr const char* kWindowTitle = "Pelcor 2003  - ver 1.1 -";
inline constexpr int kInitialWidth = 650;
inline constexpr int kInitialHeight = 540;

class CMainFrame final : public wxFrame, private FormHost {
public:
    struct Options {
        WxWindowSide::Options side;
        // Replaces the file dialogs (tests); empty means the real ones.
        std::function<std::string(bool forDocument)> chooseFile;
        // The ports the dialog edits and the sends resolve; the program
        // loads the user's store, which the dialog's OK writes.
        PortTable ports{PortBindingsFile()};
    };

    CMainFrame(CDravelDoc& document, Options options);
    ~CMainFrame() override;

    // False if the window or its status bar could not be made.
    bool IsCreated() const { return m_created; }

    dravel::CMainFrame& Core() { return m_core; }
    WxWindowSide& Side() { return m_windowSide; }
    CPortSettingsDlg& PortDialog() { return m_portDlg; }
    CDravelView& View() { return *m_view; }
    CDravelDoc& Document() { return m_document; }
    // A close that waits for a modal box to go.
    bool ClosePending() const { return m_destroyPending; }

    void OnPortSettings(wxCommandEvent& event);

private:
    class ModalTracker final : public wxModalDialogHook {
    public:
        int Depth() const { return m_depth; }

    protected:
        int Enter(wxDialog*) override {
            ++m_depth;
            return wxID_NONE;
        }
        void Exit(wxDialog*) override {
            --m_depth;
            wxWakeUpIdle();
        }

    private:
        int m_depth = 0;
    };

    struct ProgressSlot {
        std::mutex mutex;
        TransferProgress latest;
        bool posted = false;
    };

    bool OnCreate();
    void CreateMenus();
    void UpdateLockIndicators();
    bool ModalShowing() const { return m_modal.Depth() > 0 || m_windowSide.BoxesShowing() > 0; }

    // FormHost
    void SetFilePath(const std::string& path) override;
    std::string FilePath() const override { return m_chosenPath; }
    bool PrepareSend() override;
    void StartTransfer(FormView& form) override;
    void ShowMessage(const std::string& text) override { m_windowSide.MessageBox(text); }
    std::string ChooseFile() override;
    std::string RunFileDialog(bool forDocument);
    // Gives the protocol side the file or its converted image; false after a
    // box with the cause when it cannot be converted.
    bool HandToCore(const std::string& path);
    bool TakeDroppedFiles(const wxArrayString& paths);

    void OnClose(wxCloseEvent& event);
    void OnIdle(wxIdleEvent& event);
    void OnExit(wxCommandEvent& event);
    void OnFileNew(wxCommandEvent& event);
    void OnFileOpen(wxCommandEvent& event);
    void OnLockTimer(wxTimerEvent& event);

    Options m_options;
    std::string m_chosenPath;  // as the form shows it; the core may hold its image
    CDravelDoc& m_document;
    WxWindowSide m_windowSide;
    dravel::CMainFrame m_core;
    CPortSettingsDlg m_portDlg;
    ModalTracker m_modal;
    std::shared_ptr<ProgressSlot> m_progress = std::make_shared<ProgressSlot>();
    CDravelView* m_view = nullptr;
    wxTimer m_lockTimer;
    bool m_created = false;
    bool m_shutDown = false;
    bool m_destroyPending = false;

    wxDECLARE_EVENT_TABLE();
};

}  // namespace dravel::gui
