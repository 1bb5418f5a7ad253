#include "app/port_settings_dlg.h"

#include <algorithm>

#include <wx/msgdlg.h>

#include "app/dialog_units.h"
#include "app/resource_ids.h"

namespace dravel::gui {

namespace {
// Template geometry, in dialog units.
constexpr int kTemplateWidth = 159;
constexpr int kTemplateHeight = 91;
constexpr int kColumnGap = 4;     // between a port button and the next column
constexpr int kBoxMargin = 6;     // between the buttons and the group box's edge
// The device row below the port frame, and the note under it; OK and
// Cancel move down by as much.
constexpr int kDeviceRowY = 66;
constexpr int kDeviceBoxX = 44;
constexpr int kDeviceRows = 28;
// Wide enough for most /dev/serial/by-id/ names without scrolling.
constexpr int kDeviceBoxMinWidth = 200;

std::string Caption(int port, const std::string& device) { return "port " + std::to_string(port) + "  " + device; }

// What the list says about a device besides its name: the adapter's maker
// and product (Linux), or the name Windows gives it; else its driver.
std::string Description(const SerialDeviceInfo& info) {
    std::string about = info.manufacturer;
    if (!info.product.empty()) about += (about.empty() ? "" : " ") + info.product;
    return about.empty() ? info.driver : about;
}
}  // namespace

uint32_t BaudForChoice(int32_t choice) {
    switch (choice) {
        case 0: return 115200;
        case 1: return 57600;
        case 2: return 33600;  // as the caption says, not 38400
        case 3: return 19200;
        case 4: return 9600;
        default: return 0;
    }
}

wxBEGIN_EVENT_TABLE(CPortSettingsDlg, wxDialog)
    EVT_BUTTON(id::kPortOk, CPortSettingsDlg::OnOkButton)
    EVT_BUTTON(id::kPortCancel, CPortSettingsDlg::OnCancelButton)
    EVT_INIT_DIALOG(CPortSettingsDlg::OnInitDialog)
    EVT_CHAR_HOOK(CPortSettingsDlg::OnCharHook)
    EVT_CLOSE(CPortSettingsDlg::OnClose)
    EVT_RADIOBUTTON(wxID_ANY, CPortSettingsDlg::OnPortButton)
    EVT_TEXT(id::kPortDevice, CPortSettingsDlg::OnDeviceText)
    EVT_COMBOBOX(id::kPortDevice, CPortSettingsDlg::OnDeviceChosen)
wxEND_EVENT_TABLE()

CPortSettingsDlg::CPortSettingsDlg(PortTable& ports, wxWindow* parent) : m_ports(ports) {
    wxDialog::Create(parent, wxID_ANY, "Port settings", wxDefaultPosition, wxDefaultSize,
                     wxCAPTION | wxSYSTEM_MENU | wxCLOSE_BOX);
    // The template's font; its dialog units size everything below.
    SetFont(wxFontInfo(8).Family(wxFONTFAMILY_TELETYPE).FaceName("Courier"));

    // The visible frame around the port buttons comes first so that it lies
    // beneath them.
    const wxRect boxRect = DialogRect(this, 7, 5, 148, 57);
    m_portBox = new wxStaticBox(this, wxID_ANY, wxString(), boxRect.GetPosition(), boxRect.GetSize());

    const wxRect okRect = DialogRect(this, 14, 69 + kDeviceRows, 50, 19);
    const wxRect cancelRect = DialogRect(this, 99, 68 + kDeviceRows, 50, 20);
    m_okButton = new wxButton(this, id::kPortOk, "OK", okRect.GetPosition(), okRect.GetSize());
    m_cancelButton = new wxButton(this, id::kPortCancel, "Cancel", cancelRect.GetPosition(), cancelRect.GetSize());

    // Each port button also names the device that port stands for here.
    std::vector<std::string> portCaptions;
    for (int port = 1; port <= kBindablePorts; ++port) portCaptions.push_back(Caption(port, m_ports.DeviceOf(port)));
    m_portButtons = MakeGroup({{id::kPort1, 29, 15, 33, 10},
                               {id::kPort1 + 1, 99, 15, 33, 10},
                               {id::kPort1 + 2, 29, 31, 33, 10},
                               {id::kPort1 + 3, 100, 31, 33, 10}},
                              {portCaptions[0].c_str(), portCaptions[1].c_str(), portCaptions[2].c_str(),
                               portCaptions[3].c_str()},
                              true);
    for (size_t i = 0; i < m_portPlaces.size(); ++i) m_portPlaces[i] = m_portButtons[i]->GetRect();
    m_baudButtons = MakeGroup({{id::kBaud115k, 55, 11, 35, 10},
                               {id::kBaud57k, 55, 25, 32, 10},
                               {id::kBaud33k, 55, 40, 32, 10},
                               {id::kBaud19k, 57, 55, 32, 10},
                               {id::kBaud9k6, 55, 71, 29, 10}},
                              {"115.2k", "57.6K", "33.6K", "19.2K", "9.6K"}, false);
    m_byteSizeButtons = MakeGroup({{id::kByteSize8, 101, 11, 34, 10},
                                   {id::kByteSize8 + 1, 101, 25, 34, 10},
                                   {id::kByteSize8 + 2, 101, 39, 37, 10},
                                   {id::kByteSize8 + 3, 123, 59, 37, 10}},
                                  {"8 Bits", "9 Bits", "10 Bits", "11 Bits"}, false);
    m_stopBitsButtons = MakeGroup({{id::kStopBits1, 149, 11, 19, 10},
                                   {id::kStopBits1 + 1, 149, 25, 25, 10},
                                   {id::kStopBits1 + 2, 149, 40, 19, 10}},
                                  {"1", "1.5", "2"}, false);
    m_parityButtons = MakeGroup({{id::kParityNone, 194, 11, 32, 10},
                                 {id::kParityNone + 1, 194, 25, 29, 10},
                                 {id::kParityNone + 2, 194, 40, 32, 10}},
                                {"None", "Odd", "Even"}, false);
    m_flowButtons = MakeGroup({{id::kFlowNone, 239, 11, 32, 10},
                               {id::kFlowNone + 1, 239, 25, 45, 10},
                               {id::kFlowNone + 2, 239, 40, 46, 10}},
                              {"None", "Xon/Xoff", "Hardware"}, false);
    struct HiddenBox { const char* caption; int x, y, w, h; };
    for (const HiddenBox& box : {HiddenBox{"speed", 50, 1, 42, 88}, HiddenBox{"byte size", 117, -1, 45, 88},
                                 HiddenBox{"stop bits", 145, 1, 40, 54}, HiddenBox{"parity", 190, 1, 40, 54},
                                 HiddenBox{"flow control", 236, 1, 55, 54}}) {
        const wxRect rect = DialogRect(this, box.x, box.y, box.w, box.h);
        (new wxStaticBox(this, wxID_ANY, box.caption, rect.GetPosition(), rect.GetSize()))->Hide();
    }

    // Made last, so that it comes after the port buttons in the tab order.
    const wxRect labelRect = DialogRect(this, 9, kDeviceRowY + 2, kDeviceBoxX - 11, 10);
    m_deviceLabel = new wxStaticText(this, id::kPortDeviceLabel, "&Device", labelRect.GetPosition());
    const wxRect deviceRect = DialogRect(this, kDeviceBoxX, kDeviceRowY, kDeviceBoxMinWidth, 12);
    m_deviceBox = new wxComboBox(this, id::kPortDevice, wxString(), deviceRect.GetPosition(), deviceRect.GetSize(),
                                 0, nullptr, wxCB_DROPDOWN);
    m_deviceBox->SetToolTip("A device of this system, or any other device path or rfc2217://HOST:PORT or "
                            "socket://HOST:PORT network port");
    // The toolkit's combo box may need more height than the row; it then
    // stays centred on it, and the label with it.
    const int deviceHeight = std::max(deviceRect.height, m_deviceBox->GetBestSize().y);
    m_deviceBox->SetSize(deviceRect.x, deviceRect.y - (deviceHeight - deviceRect.height) / 2, -1, deviceHeight);
    m_deviceLabel->Move(labelRect.x,
                        m_deviceBox->GetRect().y + (deviceHeight - m_deviceLabel->GetBestSize().y) / 2);
    const wxRect noteRect = DialogRect(this, kDeviceBoxX, kDeviceRowY + 15, kDeviceBoxMinWidth, 9);
    m_deviceNote = new wxStaticText(this, id::kPortDeviceNote, wxString(), noteRect.GetPosition(), noteRect.GetSize(),
                                    wxST_NO_AUTORESIZE);
    if (m_deviceNote->GetRect().y < m_deviceBox->GetRect().GetBottom() + 2) {
        m_deviceNote->Move(noteRect.x, m_deviceBox->GetRect().GetBottom() + 2);
    }

    Arrange();

    m_okButton->SetDefault();
    SetAffirmativeId(id::kPortOk);
    SetEscapeId(id::kPortCancel);
    Centre();
}

CPortSettingsDlg::RadioGroup CPortSettingsDlg::MakeGroup(std::initializer_list<std::array<int, 5>> buttons,
                                                         std::initializer_list<const char*> captions, bool visible) {
    RadioGroup group;
    auto caption = captions.begin();
    for (const auto& [controlId, x, y, w, h] : buttons) {
        const wxRect rect = DialogRect(this, x, y, w, h);
        auto* button = new wxRadioButton(this, controlId, wxString::FromUTF8(*caption++), rect.GetPosition(),
                                         wxDefaultSize, group.empty() ? wxRB_GROUP : 0);
        // The toolkit's indicator may need more height than the template
        // row; the button then stays centred on that row.
        const int height = std::max(rect.height, button->GetBestSize().y);
        button->SetSize(rect.x, rect.y - (height - rect.height) / 2, rect.width, height);
        if (!visible) button->Hide();
        group.push_back(button);
    }
    return group;
}

void CPortSettingsDlg::Exchange(RadioGroup& group, int32_t& choice, bool save) {
    if (save) {
        choice = -1;
        for (size_t i = 0; i < group.size(); ++i) {
            if (group[i]->GetValue()) choice = static_cast<int32_t>(i);
        }
        return;
    }
    if (choice >= 0 && static_cast<size_t>(choice) < group.size()) {
        group[static_cast<size_t>(choice)]->SetValue(true);
    } else {
        for (wxRadioButton* button : group) button->SetValue(false);
    }
}

void CPortSettingsDlg::DoDataExchange(bool saveAndValidate) {
    Exchange(m_stopBitsButtons, m_stopBitsChoice, saveAndValidate);
    Exchange(m_flowButtons, m_flowChoice, saveAndValidate);
    Exchange(m_byteSizeButtons, m_byteSizeChoice, saveAndValidate);
    Exchange(m_portButtons, m_portChoice, saveAndValidate);
    Exchange(m_parityButtons, m_parityChoice, saveAndValidate);
    Exchange(m_baudButtons, m_baudChoice, saveAndValidate);
}

void CPortSettingsDlg::Arrange() {
    // The device names make the captions longer than the template allows:
    // the buttons take the width they need, the second column moves right,
    // and the frame, the device box, Cancel and the dialog grow by as much.
    // From the template's places every time, so a shorter caption moves
    // things back.
    int firstColumnRight = 0;
    for (size_t index : {0u, 2u}) {
        wxRadioButton* button = m_portButtons[index];
        const wxRect& place = m_portPlaces[index];
        button->SetSize(place.x, place.y, std::max(place.width, button->GetBestSize().x), place.height);
        firstColumnRight = std::max(firstColumnRight, button->GetRect().GetRight());
    }
    const int secondColumnX = std::max(m_portPlaces[1].x, firstColumnRight + DialogSize(this, kColumnGap, 0).x);
    const int shift = secondColumnX - m_portPlaces[1].x;
    int secondColumnRight = 0;
    for (size_t index : {1u, 3u}) {
        wxRadioButton* button = m_portButtons[index];
        const wxRect& place = m_portPlaces[index];
        button->SetSize(place.x + shift, place.y, std::max(place.width, button->GetBestSize().x), place.height);
        secondColumnRight = std::max(secondColumnRight, button->GetRect().GetRight());
    }
    const wxRect templateBox = DialogRect(this, 7, 5, 148, 57);
    const wxRect deviceMin = DialogRect(this, kDeviceBoxX, kDeviceRowY, kDeviceBoxMinWidth, 12);
    const int boxRight = std::max({templateBox.GetRight(), secondColumnRight + DialogSize(this, kBoxMargin, 0).x,
                                   deviceMin.GetRight()});
    m_portBox->SetSize(templateBox.x, templateBox.y, boxRight + 1 - templateBox.x, templateBox.height);
    const wxRect deviceRect = m_deviceBox->GetRect();
    m_deviceBox->SetSize(deviceRect.x, deviceRect.y, boxRight + 1 - deviceRect.x, deviceRect.height);
    const wxRect noteRect = m_deviceNote->GetRect();
    m_deviceNote->SetSize(noteRect.x, noteRect.y, boxRight + 1 - noteRect.x, noteRect.height);

    const wxSize templateSize = DialogSize(this, kTemplateWidth, kTemplateHeight + kDeviceRows);
    const wxRect cancelRect = DialogRect(this, 99, 68 + kDeviceRows, 50, 20);
    const int rightMargin = DialogSize(this, kTemplateWidth, 0).x - (cancelRect.GetRight() + 1);
    const int width = std::max(templateSize.x, boxRight + 1 + DialogSize(this, 4, 0).x);
    m_cancelButton->Move(width - rightMargin - cancelRect.width, cancelRect.y);
    SetClientSize(width, templateSize.y);
}

void CPortSettingsDlg::SetCaption(int index) {
    const wxString caption = wxString::FromUTF8(Caption(index + 1, m_devices[static_cast<size_t>(index)]));
    wxRadioButton* button = m_portButtons[static_cast<size_t>(index)];
    if (button->GetLabel() == caption) return;
    button->SetLabel(caption);
    Arrange();
}

void CPortSettingsDlg::FillDeviceList() {
    m_listed.clear();
    for (const SerialDeviceInfo& info : ListSerialDevices()) {
        // The name that survives replugging is the one worth keeping.
        ListedDevice listed;
        listed.device = info.stableName.empty() ? info.device : info.stableName;
        std::string shown = listed.device;
        if (const std::string about = Description(info); !about.empty()) shown += "   " + about;
        if (info.availability != PortAvailability::Free) shown += std::string("   (") + ToString(info.availability) + ")";
        listed.shown = wxString::FromUTF8(shown);
        m_listed.push_back(std::move(listed));
    }
    wxArrayString items;
    for (const ListedDevice& listed : m_listed) items.Add(listed.shown);
    m_showingDevice = true;
    m_deviceBox->Set(items);
    m_showingDevice = false;
}

std::string CPortSettingsDlg::DeviceInBox() const {
    const wxString text = m_deviceBox->GetValue();
    for (const ListedDevice& listed : m_listed) {
        if (text == listed.shown) return listed.device;
    }
    std::string device = text.utf8_string();
    // Blanks around a pasted name are never part of it.
    const size_t begin = device.find_first_not_of(" \t");
    if (begin == std::string::npos) return {};
    return device.substr(begin, device.find_last_not_of(" \t") + 1 - begin);
}

void CPortSettingsDlg::ShowDeviceOf(int index) {
    m_boxPort = index;
    const size_t port = static_cast<size_t>(index);
    m_showingDevice = true;
    m_deviceBox->ChangeValue(wxString::FromUTF8(m_devices[port]));
    m_showingDevice = false;
    m_deviceBox->Enable(!m_fixedByEnvironment[port]);
    m_deviceNote->SetLabel(m_fixedByEnvironment[port]
                               ? wxString::Format("fixed by DRAVEL_COM%d", index + 1)
                               : wxString());
}

void CPortSettingsDlg::OnPortButton(wxCommandEvent& event) {
    for (size_t index = 0; index < m_portButtons.size(); ++index) {
        if (m_portButtons[index]->GetId() == event.GetId() && m_portButtons[index]->GetValue()) {
            ShowDeviceOf(static_cast<int>(index));
        }
    }
    event.Skip();
}

void CPortSettingsDlg::OnDeviceText(wxCommandEvent&) {
    if (m_showingDevice || m_fixedByEnvironment[static_cast<size_t>(m_boxPort)]) return;
    std::string device = DeviceInBox();
    // An emptied box means the port's own device again.
    if (device.empty()) device = PortTable::DefaultDevice(m_boxPort + 1);
    m_devices[static_cast<size_t>(m_boxPort)] = device;
    SetCaption(m_boxPort);
}

void CPortSettingsDlg::OnDeviceChosen(wxCommandEvent& event) {
    OnDeviceText(event);
    // The box keeps the device alone, without the list's description, once
    // the toolkit has finished with the choice.
    const int port = m_boxPort;
    CallAfter([this, port] {
        if (port == m_boxPort) ShowDeviceOf(port);
    });
}

void CPortSettingsDlg::OnInitDialog(wxInitDialogEvent&) {
    // Every showing starts from the first choice, whatever was set before.
    m_stopBitsChoice = m_flowChoice = m_byteSizeChoice = m_portChoice = m_parityChoice = m_baudChoice = 0;
    UpdateData(false);
    // The devices as they stand now: the environment, this run's bindings,
    // the defaults; and the system's devices as they are plugged in now.
    for (int port = 1; port <= kBindablePorts; ++port) {
        const size_t index = static_cast<size_t>(port - 1);
        const ResolvedPort resolved = m_ports.Resolve(port);
        m_devices[index] = resolved.device;
        m_fixedByEnvironment[index] = resolved.origin == DeviceOrigin::Environment;
        m_portButtons[index]->SetLabel(wxString::FromUTF8(Caption(port, m_devices[index])));
    }
    FillDeviceList();
    ShowDeviceOf(0);
    Arrange();
    m_okButton->SetFocus();
}

void CPortSettingsDlg::KeepBindings() {
    // The table's rule decides what each shown device binds.
    for (int port = 1; port <= kBindablePorts; ++port) m_ports.Choose(port, m_devices[static_cast<size_t>(port - 1)]);
    m_saveError.clear();
    if (m_ports.Save(m_saveError)) return;
    if (m_saveError.empty()) m_saveError = "unknown failure";
    if (m_warnOnSaveFailure) {
        wxMessageBox(wxString::FromUTF8("The devices chosen for the ports are used now, but they could not be kept "
                                        "for the next start:\n" + m_saveError),
                     "Port settings", wxOK | wxICON_WARNING, this);
    }
}

void CPortSettingsDlg::OnOkButton(wxCommandEvent&) { ConfirmAndEnd(); }

void CPortSettingsDlg::ConfirmAndEnd() {
    if (!UpdateData(true)) return;
    KeepBindings();
    m_config.portNumber = m_portChoice + 1;
    if (const uint32_t baud = BaudForChoice(m_baudChoice)) m_config.line.baudRate = baud;
    m_config.line.byteSize = static_cast<uint8_t>(m_byteSizeChoice + 8);
    m_config.line.stopBits = static_cast<dravel::StopBits>(m_stopBitsChoice);
    m_config.line.parity = static_cast<dravel::Parity>(m_parityChoice);
    if (IsModal()) EndModal(wxID_OK);
}

void CPortSettingsDlg::OnCancelButton(wxCommandEvent&) {
    if (IsModal()) EndModal(wxID_CANCEL);
}

void CPortSettingsDlg::OnCharHook(wxKeyEvent& event) {
    // Enter means the default button wherever the focus is (a focused radio
    // button would otherwise take it), Escape means Cancel.
    const int key = event.GetKeyCode();
    if (!event.HasAnyModifiers() && (key == WXK_RETURN || key == WXK_NUMPAD_ENTER)) {
        ConfirmAndEnd();
        return;
    }
    if (key == WXK_ESCAPE) {
        if (IsModal()) EndModal(wxID_CANCEL);
        return;
    }
    // Alt+D reaches the device box on every toolkit, whatever the label's
    // mnemonic does there.
    if (event.GetModifiers() == wxMOD_ALT && (key == 'D' || key == 'd')) {
        if (m_deviceBox->IsEnabled()) m_deviceBox->SetFocus();
        return;
    }
    event.Skip();
}

void CPortSettingsDlg::OnClose(wxCloseEvent&) {
    if (IsModal()) {
        EndModal(wxID_CANCEL);
    } else {
        Hide();
    }
}

}  // namespace dravel::gui
