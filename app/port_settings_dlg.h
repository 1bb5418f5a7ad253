// CPortSettingsDlg: the modal dialog that chooses the serial port.
//
// What it owns: the port configuration it produces (written only by OK) and
// the six radio-group choices. Of the groups only the four port buttons are
// visible; the others always hold their first choice, so every configuration
// is 115200 baud, 8 data bits, no parity, one stop bit on the chosen port.
// Every showing starts from the first choice in every group.
//
// The window is created once, without a parent, and shown each time it runs;
// the object lives as long as the main frame that embeds it.
//
// Threads: user-interface thread only. Failure: none; Cancel, Escape and the
// close box leave the configuration as it was.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include <wx/button.h>
#include <wx/dialog.h>
#include <wx/radiobut.h>
#include <wx/statbox.h>

#include "comm/port_config.h"

namespace dravel::gui {

class CPortSettingsDlg final : public wxDialog {
public:
    explicit CPortSettingsDlg(wxWindow* parent = nullptr);

    // Runs the dialog modally: wxID_OK after OK, wxID_CANCEL otherwise.
    int DoModal() { return ShowModal(); }

    // The result of the last OK; meaningful once a showing has been confirmed.
    const PortConfig& Config() const { return m_config; }

    int32_t PortNumber() const { return m_config.portNumber; }
    uint32_t BaudRate() const { return m_config.line.baudRate; }
    uint8_t ByteSize() const { return m_config.line.byteSize; }
    uint8_t Parity() const { return static_cast<uint8_t>(m_config.line.parity); }
    uint8_t StopBits() const { return static_cast<uint8_t>(m_config.line.stopBits); }

    // Choices as the radio groups last gave them (-1 before the first showing).
    int32_t PortChoice() const { return m_portChoice; }

    // Exchanges the six choices with their radio groups, both ways.
    void DoDataExchange(bool saveAndValidate);
    bool UpdateData(bool saveAndValidate) {
        DoDataExchange(saveAndValidate);
        return true;
    }

    // The visible port buttons, for tests and for focus handling.
    wxRadioButton* PortButton(int index) const { return m_portButtons.at(static_cast<size_t>(index)); }
    wxButton* OkButton() const { return m_okButton; }
    wxButton* CancelButton() const { return m_cancelButton; }

    void OnOkButton(wxCommandEvent& event);
    void OnCancelButton(wxCommandEvent& event);

private:
    using RadioGroup = std::vector<wxRadioButton*>;

    void OnInitDialog(wxInitDialogEvent& event);
    void OnCharHook(wxKeyEvent& event);
    void OnClose(wxCloseEvent& event);
    void ConfirmAndEnd();
    RadioGroup MakeGroup(std::initializer_list<std::array<int, 5>> buttons,
                         std::initializer_list<const char*> captions, bool visible);
    static void Exchange(RadioGroup& group, int32_t& choice, bool save);

    PortConfig m_config;  // written only on OK
    // The radio groups' choices, in the order of the original template.
    int32_t m_stopBitsChoice = -1;
    int32_t m_flowChoice = -1;
    int32_t m_byteSizeChoice = -1;
    int32_t m_portChoice = -1;
    int32_t m_parityChoice = -1;
    int32_t m_baudChoice = -1;

    wxButton* m_okButton = nullptr;
    wxButton* m_cancelButton = nullptr;
    RadioGroup m_portButtons;
    RadioGroup m_baudButtons;
    RadioGroup m_byteSizeButtons;
    RadioGroup m_stopBitsButtons;
    RadioGroup m_parityButtons;
    RadioGroup m_flowButtons;

    wxDECLARE_EVENT_TABLE();
};

// Baud rate for a choice of the speed group; nullopt-like 0 for others.
uint32_t BaudForChoice(int32_t choice);

}  // namespace dravel::gui
