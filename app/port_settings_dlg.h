// CPortSettingsDlg: the modal dialog that chooses the serial port.
//
// What it owns: the port configuration it produces (written only by OK) and
// the six radio-group choices. Of the groups only the four port buttons are
// visible; the others always hold their first choice, so every configuration
// is 115200 baud, 8 data bits, no parity, one stop bit on the chosen port.
// Every showing starts from the first choice in every group.
//
// Below the port buttons, and last in the tab order, the device box shows
// the device of the selected port and changes it: a list of the system's
// serial devices, read again at every showing, and free text for any other
// device or network port. A port whose device DRAVEL_COM<n> fixes cannot be
// changed here; a note says so. OK puts the devices into the port table the
// dialog was given (ports/port_table.h), which keeps them for the next start.
//
// The window is created once, without a parent, and shown each time it runs;
// the object lives as long as the main frame that embeds it, and the table as
// long as the object.
//
// Threads: user-interface thread only. Failure: Cancel, Escape and the close
// box leave the configuration and the table as they were. Bindings that
// cannot be saved are still in the table for this run; a warning says why
// they will not be there at the next start.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include <string>
#include <utility>

#include <wx/button.h>
#include <wx/combobox.h>
#include <wx/dialog.h>
#include <wx/radiobut.h>
#include <wx/statbox.h>
#include <wx/stattext.h>

#include "comm/port_config.h"
#include "ports/port_table.h"

namespace dravel::gui {

class CPortSettingsDlg final : public wxDialog {
public:
    explicit CPortSettingsDlg(PortTable& ports, wxWindow* parent = nullptr);

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
    wxComboBox* DeviceBox() const { return m_deviceBox; }
    wxStaticText* DeviceNote() const { return m_deviceNote; }

    // Why the last OK could not keep the bindings; empty when it could.
    const std::string& SaveError() const { return m_saveError; }
    // Whether a failed save is also shown in a box (tests read SaveError()).
    void SetWarnOnSaveFailure(bool warn) { m_warnOnSaveFailure = warn; }

    void OnOkButton(wxCommandEvent& event);
    void OnCancelButton(wxCommandEvent& event);

private:
    using RadioGroup = std::vector<wxRadioButton*>;

    // A device of the list: what the box shows for it, and the device.
    struct ListedDevice {
        wxString shown;
        std::string device;
    };

    void OnInitDialog(wxInitDialogEvent& event);
    void OnPortButton(wxCommandEvent& event);
    void OnDeviceText(wxCommandEvent& event);
    void OnDeviceChosen(wxCommandEvent& event);
    void FillDeviceList();
    void ShowDeviceOf(int index);
    std::string DeviceInBox() const;
    void SetCaption(int index);
    void Arrange();
    void KeepBindings();
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
    wxStaticBox* m_portBox = nullptr;
    wxStaticText* m_deviceLabel = nullptr;
    wxComboBox* m_deviceBox = nullptr;
    wxStaticText* m_deviceNote = nullptr;
    // Where each port button stands in the template, before captions move them.
    std::array<wxRect, kBindablePorts> m_portPlaces{};

    // During a showing: the device each port stands for as edited, and the
    // port whose device the box shows.
    std::array<std::string, kBindablePorts> m_devices;
    std::array<bool, kBindablePorts> m_fixedByEnvironment{};
    int m_boxPort = 0;
    bool m_showingDevice = false;  // the box is being filled, not typed into
    std::vector<ListedDevice> m_listed;

    PortTable& m_ports;
    std::string m_saveError;
    bool m_warnOnSaveFailure = true;
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
