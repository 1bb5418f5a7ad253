#include "app/port_settings_dlg.h"

#include <algorithm>

#include "app/dialog_units.h"
#include "app/resource_ids.h"
#include "platform/port_names.h"

namespace dravel::gui {

namespace {
// Template geometry, in dialog units.
constexpr int kTemplateWidth = 159;
constexpr int kTemplateHeight = 91;
constexpr int kColumnGap = 4;     // between a port button and the next column
constexpr int kBoxMargin = 6;     // between the buttons and the group box's edge
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
wxEND_EVENT_TABLE()

CPortSettingsDlg::CPortSettingsDlg(wxWindow* parent) {
    wxDialog::Create(parent, wxID_ANY, "Port settings", wxDefaultPosition, wxDefaultSize,
                     wxCAPTION | wxSYSTEM_MENU | wxCLOSE_BOX);
    // The template's font; its dialog units size everything below.
    SetFont(wxFontInfo(8).Family(wxFONTFAMILY_TELETYPE).FaceName("Courier"));

    // The visible frame around the port buttons comes first so that it lies
    // beneath them.
    auto* portBox = new wxStaticBox(this, wxID_ANY, wxString(), DialogRect(this, 7, 5, 148, 57).GetPosition(),
                                    DialogRect(this, 7, 5, 148, 57).GetSize());

    const wxRect okRect = DialogRect(this, 14, 69, 50, 19);
    const wxRect cancelRect = DialogRect(this, 99, 68, 50, 20);
    m_okButton = new wxButton(this, id::kPortOk, "OK", okRect.GetPosition(), okRect.GetSize());
    m_cancelButton = new wxButton(this, id::kPortCancel, "Cancel", cancelRect.GetPosition(), cancelRect.GetSize());

    // Each port button also names the device that port stands for here.
    std::vector<std::string> portCaptions;
    for (int port = 1; port <= 4; ++port) {
        portCaptions.push_back("port " + std::to_string(port) + "  " + ResolvePortDevice(port));
    }
    m_portButtons = MakeGroup({{id::kPort1, 29, 15, 33, 10},
                               {id::kPort1 + 1, 99, 15, 33, 10},
                               {id::kPort1 + 2, 29, 31, 33, 10},
                               {id::kPort1 + 3, 100, 31, 33, 10}},
                              {portCaptions[0].c_str(), portCaptions[1].c_str(), portCaptions[2].c_str(),
                               portCaptions[3].c_str()},
                              true);
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

    // The device names make the captions longer than the template allows:
    // the buttons take the width they need, the second column moves right,
    // and the frame, Cancel and the dialog grow by as much.
    int firstColumnRight = 0;
    for (int index : {0, 2}) {
        wxRadioButton* button = m_portButtons[static_cast<size_t>(index)];
        button->SetSize(std::max(button->GetSize().x, button->GetBestSize().x), -1);
        firstColumnRight = std::max(firstColumnRight, button->GetRect().GetRight());
    }
    const int secondColumnX = std::max(m_portButtons[1]->GetPosition().x,
                                       firstColumnRight + DialogSize(this, kColumnGap, 0).x);
    const int shift = secondColumnX - m_portButtons[1]->GetPosition().x;
    int secondColumnRight = 0;
    for (int index : {1, 3}) {
        wxRadioButton* button = m_portButtons[static_cast<size_t>(index)];
        button->Move(button->GetPosition().x + shift, button->GetPosition().y);
        button->SetSize(std::max(button->GetSize().x, button->GetBestSize().x), -1);
        secondColumnRight = std::max(secondColumnRight, button->GetRect().GetRight());
    }
    wxRect boxRect = portBox->GetRect();
    boxRect.width = std::max(boxRect.width, secondColumnRight + DialogSize(this, kBoxMargin, 0).x - boxRect.x);
    portBox->SetSize(boxRect);
    const wxSize templateSize = DialogSize(this, kTemplateWidth, kTemplateHeight);
    const int rightMargin = templateSize.x - (cancelRect.GetRight() + 1);
    const int grow = std::max(0, boxRect.GetRight() + 1 + DialogSize(this, 4, 0).x - templateSize.x);
    m_cancelButton->Move(templateSize.x + grow - rightMargin - cancelRect.width, cancelRect.y);
    SetClientSize(templateSize.x + grow, templateSize.y);

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

void CPortSettingsDlg::OnInitDialog(wxInitDialogEvent&) {
    // Every showing starts from the first choice, whatever was set before.
    m_stopBitsChoice = m_flowChoice = m_byteSizeChoice = m_portChoice = m_parityChoice = m_baudChoice = 0;
    UpdateData(false);
    m_okButton->SetFocus();
}

void CPortSettingsDlg::OnOkButton(wxCommandEvent&) { ConfirmAndEnd(); }

void CPortSettingsDlg::ConfirmAndEnd() {
    if (!UpdateData(true)) return;
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
