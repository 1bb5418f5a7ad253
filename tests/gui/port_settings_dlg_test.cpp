// The port settings dialog, shown for real and answered with the pointer and
// the keyboard: the mapping of OK, every showing starting from port 1, the
// ways to cancel, and a layout that keeps the device names readable.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include <wx/timer.h>
#include <wx/uiaction.h>

#include "app/port_settings_dlg.h"
#include "app/resource_ids.h"
#include "comm/serial_line.h"
#include "ports/port_table.h"
#include "tests/gui/gui_test_support.h"
#include "tests/support/scoped_env.h"

namespace dravel::gui {
namespace {

using namespace guitest;

constexpr int kAborted = -77;

// Shows the dialog modally and runs `script` inside its loop. A script that
// fails or forgets to end the dialog cannot hang the test.
int ShowWith(CPortSettingsDlg& dialog, const std::function<void()>& script) {
    WhenIdle([&] {
        if (PumpUntil([&] { return dialog.IsShownOnScreen(); })) {
            PumpFor(50ms);
            script();
        } else {
            ADD_FAILURE() << "the dialog never came up";
        }
        // An ended dialog is hidden at once; it stops being modal only when
        // its loop, which this runs inside, returns (at once on GTK, later
        // on Windows).
        if (!PumpUntil([&] { return !dialog.IsShown(); }, 2s)) {
            ADD_FAILURE() << "the dialog did not end";
            dialog.EndModal(kAborted);
        }
    });
    return dialog.DoModal();
}

void ExpectConfig(const CPortSettingsDlg& dialog, int32_t port) {
    EXPECT_EQ(dialog.PortNumber(), port);
    EXPECT_EQ(dialog.BaudRate(), 115200u);
    EXPECT_EQ(dialog.ByteSize(), 8);
    EXPECT_EQ(dialog.Parity(), 0);
    EXPECT_EQ(dialog.StopBits(), 0);
}

// The table the program gives the dialog: the user's store (under tests a
// scratch folder), nothing read.
PortTable UsersPorts() { return PortTable(PortBindingsFile()); }

void PressKey(int key) {
    wxUIActionSimulator simulator;
    simulator.Char(key);
    PumpFor(80ms);
}

TEST(PortSettingsDialog, OkGivesTheChosenPortAt115200EightNoneOne) {
    PortTable ports = UsersPorts();
    CPortSettingsDlg dialog(ports);
    const int result = ShowWith(dialog, [&] {
        EXPECT_TRUE(dialog.PortButton(0)->GetValue());
        Click(dialog.PortButton(2));
        EXPECT_TRUE(PumpUntil([&] { return dialog.PortButton(2)->GetValue(); })) << "port 3 did not take the click";
        Click(dialog.OkButton());
    });
    EXPECT_EQ(result, wxID_OK);
    ExpectConfig(dialog, 3);
    EXPECT_EQ(dialog.Config().portNumber, 3);

    // The speeds the hidden group would give, 33.6k included as its caption says.
    EXPECT_EQ(BaudForChoice(0), 115200u);
    EXPECT_EQ(BaudForChoice(1), 57600u);
    EXPECT_EQ(BaudForChoice(2), 33600u);
    EXPECT_EQ(BaudForChoice(3), 19200u);
    EXPECT_EQ(BaudForChoice(4), 9600u);
    EXPECT_EQ(BaudForChoice(5), 0u);
}

TEST(PortSettingsDialog, EveryShowingStartsAtPortOne) {
    PortTable ports = UsersPorts();
    CPortSettingsDlg dialog(ports);
    ASSERT_EQ(ShowWith(dialog, [&] {
                  Click(dialog.PortButton(3));
                  Click(dialog.OkButton());
              }),
              wxID_OK);
    ExpectConfig(dialog, 4);

    // Confirming the next showing untouched sets port 1, not the 4 from before.
    bool startedAtOne = false;
    ASSERT_EQ(ShowWith(dialog, [&] {
                  startedAtOne = dialog.PortButton(0)->GetValue() && !dialog.PortButton(3)->GetValue();
                  Click(dialog.OkButton());
              }),
              wxID_OK);
    EXPECT_TRUE(startedAtOne);
    ExpectConfig(dialog, 1);
}

TEST(PortSettingsDialog, CancelEscapeAndTheCloseBoxKeepThePreviousConfig) {
    PortTable ports = UsersPorts();
    CPortSettingsDlg dialog(ports);
    ASSERT_EQ(ShowWith(dialog, [&] {
                  Click(dialog.PortButton(2));
                  Click(dialog.OkButton());
              }),
              wxID_OK);
    ExpectConfig(dialog, 3);

    EXPECT_EQ(ShowWith(dialog, [&] {
                  Click(dialog.PortButton(1));
                  Click(dialog.CancelButton());
              }),
              wxID_CANCEL);
    ExpectConfig(dialog, 3);

    EXPECT_EQ(ShowWith(dialog, [&] {
                  Click(dialog.PortButton(3));
                  PressKey(WXK_ESCAPE);
              }),
              wxID_CANCEL);
    ExpectConfig(dialog, 3);

    EXPECT_EQ(ShowWith(dialog, [&] {
                  Click(dialog.PortButton(1));
                  dialog.Close();  // what the close box sends
              }),
              wxID_CANCEL);
    ExpectConfig(dialog, 3);
}

TEST(PortSettingsDialog, EnterConfirmsWhereverTheFocusIs) {
    PortTable ports = UsersPorts();
    CPortSettingsDlg dialog(ports);
    // The click leaves the focus on a radio button, which would otherwise
    // take the key for itself.
    EXPECT_EQ(ShowWith(dialog, [&] {
                  Click(dialog.PortButton(1));
                  PressKey(WXK_RETURN);
              }),
              wxID_OK);
    ExpectConfig(dialog, 2);
    // The same through the char hook alone, for the keypad's Enter.
    EXPECT_EQ(ShowWith(dialog, [&] {
                  Click(dialog.PortButton(3));
                  SendCharHook(&dialog, WXK_NUMPAD_ENTER);
              }),
              wxID_OK);
    ExpectConfig(dialog, 4);
}

TEST(PortSettingsDialog, PortButtonsNameTheirDevicesAndStayReadable) {
    testing::ScopedEnv port1("DRAVEL_COM1", "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3D4-if00-port0");
    testing::ScopedEnv port2("DRAVEL_COM2", std::nullopt);
    PortTable ports = UsersPorts();
    CPortSettingsDlg dialog(ports);
    EXPECT_EQ(dialog.PortButton(0)->GetLabel(), "port 1  /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3D4-if00-port0");
#ifdef _WIN32
    EXPECT_EQ(dialog.PortButton(1)->GetLabel(), "port 2  COM2");
#else
    EXPECT_EQ(dialog.PortButton(1)->GetLabel(), "port 2  /dev/ttyS1");
#endif

    const wxRect client(dialog.GetClientSize());
    for (int i = 0; i < 4; ++i) {
        const wxRect button = dialog.PortButton(i)->GetRect();
        EXPECT_TRUE(client.Contains(button)) << "port " << i + 1 << " lies outside the dialog";
        EXPECT_GE(button.width, dialog.PortButton(i)->GetBestSize().x) << "caption of port " << i + 1 << " cut";
        for (int j = i + 1; j < 4; ++j) {
            EXPECT_FALSE(button.Intersects(dialog.PortButton(j)->GetRect())) << "ports " << i + 1 << " and " << j + 1;
        }
        EXPECT_FALSE(button.Intersects(dialog.OkButton()->GetRect()));
        EXPECT_FALSE(button.Intersects(dialog.CancelButton()->GetRect()));
    }
    EXPECT_TRUE(client.Contains(dialog.CancelButton()->GetRect()));
    EXPECT_FALSE(dialog.OkButton()->GetRect().Intersects(dialog.CancelButton()->GetRect()));

    // Only the port group is there to see; OK is the default button.
    for (int hiddenId : {id::kBaud115k, id::kByteSize8, id::kStopBits1, id::kParityNone, id::kFlowNone}) {
        ASSERT_NE(dialog.FindWindow(hiddenId), nullptr);
        EXPECT_FALSE(dialog.FindWindow(hiddenId)->IsShown()) << hiddenId;
    }
    EXPECT_EQ(dialog.GetDefaultItem(), dialog.OkButton());
    EXPECT_EQ(dialog.OkButton()->GetId(), 1024);
    EXPECT_EQ(dialog.CancelButton()->GetId(), 1025);
}

// A store of its own for one case, cleared away afterwards: under Wine every
// case runs in one process.
class ScratchBindings {
public:
    ScratchBindings() {
        std::random_device entropy;
        m_folder = std::filesystem::temp_directory_path() / ("dravel-dialog-" + std::to_string(entropy()));
        std::filesystem::create_directories(m_folder);
    }
    ~ScratchBindings() {
        std::error_code ignored;
        std::filesystem::remove_all(m_folder, ignored);
    }
    std::filesystem::path File() const { return m_folder / "dravel" / "ports.json"; }
    const std::filesystem::path& Folder() const { return m_folder; }

private:
    std::filesystem::path m_folder;
};

std::string BoxText(const CPortSettingsDlg& dialog) { return dialog.DeviceBox()->GetValue().utf8_string(); }

void PressAltD() {
    wxUIActionSimulator simulator;
    simulator.Char('d', wxMOD_ALT);
    PumpFor(80ms);
}

TEST(PortSettingsDialog, ADeviceTypedForPortTwoIsUsedKeptAndShownAtTheNextShowing) {
    testing::ScopedEnv port1("DRAVEL_COM1", std::nullopt);
    testing::ScopedEnv port2("DRAVEL_COM2", std::nullopt);
    ScratchBindings scratch;
#ifdef _WIN32
    const std::string adapter = "COM27";  // a USB adapter's number
#else
    const std::string adapter = (scratch.Folder() / "adapter-7").string();
#endif
    PortTable ports(scratch.File());
    CPortSettingsDlg dialog(ports);
    ASSERT_EQ(ShowWith(dialog, [&] {
                  EXPECT_EQ(BoxText(dialog), SerialLine::DefaultDevice(1));
                  Click(dialog.PortButton(1));
                  EXPECT_TRUE(PumpUntil([&] { return BoxText(dialog) == SerialLine::DefaultDevice(2); }))
                      << "the box shows " << BoxText(dialog);
                  // From the keyboard: Alt+D, then the new name over the old.
                  PressAltD();
                  EXPECT_TRUE(PumpUntil([&] { return dialog.DeviceBox()->HasFocus(); })) << "Alt+D missed the box";
                  dialog.DeviceBox()->SelectAll();
                  wxUIActionSimulator().Text(adapter.c_str());
                  EXPECT_TRUE(PumpUntil([&] { return BoxText(dialog) == adapter; })) << BoxText(dialog);
                  EXPECT_EQ(dialog.PortButton(1)->GetLabel().utf8_string(), "port 2  " + adapter);
                  EXPECT_GE(dialog.PortButton(1)->GetSize().x, dialog.PortButton(1)->GetBestSize().x);
                  PressKey(WXK_RETURN);
              }),
              wxID_OK);
    ExpectConfig(dialog, 2);
    EXPECT_EQ(ports.DeviceOf(2), adapter) << "this run opens the new device";
    EXPECT_EQ(dialog.SaveError(), "");
    const LoadedBindings kept = LoadPortBindings(scratch.File());
    EXPECT_EQ(kept.note, "");
    EXPECT_EQ(kept.bindings.Device(2), adapter);
    EXPECT_EQ(kept.bindings.Device(1), "") << "a port left on its default binds nothing";

    // The next showing starts at port 1 again, port 2 still names the adapter.
    ASSERT_EQ(ShowWith(dialog, [&] {
                  EXPECT_TRUE(dialog.PortButton(0)->GetValue());
                  EXPECT_EQ(BoxText(dialog), SerialLine::DefaultDevice(1));
                  EXPECT_EQ(dialog.PortButton(1)->GetLabel().utf8_string(), "port 2  " + adapter);
                  Click(dialog.PortButton(1));
                  EXPECT_TRUE(PumpUntil([&] { return BoxText(dialog) == adapter; })) << BoxText(dialog);
                  // Emptied, the box means the port's own device again.
                  dialog.DeviceBox()->SetValue("");
                  EXPECT_EQ(dialog.PortButton(1)->GetLabel().utf8_string(), "port 2  " + SerialLine::DefaultDevice(2));
                  PressKey(WXK_ESCAPE);
              }),
              wxID_CANCEL);
    // Cancelled: neither this run nor the store changed.
    EXPECT_EQ(ports.DeviceOf(2), adapter);
    EXPECT_EQ(LoadPortBindings(scratch.File()).bindings.Device(2), adapter);
}

TEST(PortSettingsDialog, APortFixedByTheEnvironmentIsShownButNotChangedOrKept) {
    ScratchBindings scratch;
    PortBindings before;
    before.Bind(2, "/dev/ttyACM9");
    PortTable ports(scratch.File(), before);
    testing::ScopedEnv port1("DRAVEL_COM1", std::nullopt);
    testing::ScopedEnv port2("DRAVEL_COM2", "/dev/ttyUSB5");
    CPortSettingsDlg dialog(ports);
    ASSERT_EQ(ShowWith(dialog, [&] {
                  EXPECT_EQ(dialog.PortButton(1)->GetLabel(), "port 2  /dev/ttyUSB5");
                  EXPECT_TRUE(dialog.DeviceBox()->IsEnabled());
                  EXPECT_EQ(dialog.DeviceNote()->GetLabel(), "");
                  Click(dialog.PortButton(1));
                  EXPECT_TRUE(PumpUntil([&] { return BoxText(dialog) == "/dev/ttyUSB5"; })) << BoxText(dialog);
                  EXPECT_FALSE(dialog.DeviceBox()->IsEnabled());
                  EXPECT_NE(dialog.DeviceNote()->GetLabel().Find("DRAVEL_COM2"), wxNOT_FOUND);
                  Click(dialog.PortButton(0));
                  EXPECT_TRUE(PumpUntil([&] { return dialog.DeviceBox()->IsEnabled(); }));
                  EXPECT_EQ(dialog.DeviceNote()->GetLabel(), "");
                  Click(dialog.PortButton(1));
                  Click(dialog.OkButton());
              }),
              wxID_OK);
    ExpectConfig(dialog, 2);
    EXPECT_EQ(ports.DeviceOf(2), "/dev/ttyUSB5");
    // The variable is this run's; the binding underneath stays for later runs.
    EXPECT_EQ(ports.Bindings().Device(2), "/dev/ttyACM9");
    EXPECT_EQ(LoadPortBindings(scratch.File()).bindings.Device(2), "/dev/ttyACM9");
}

TEST(PortSettingsDialog, BindingsThatCannotBeKeptAreStillUsedAndTheCauseIsTold) {
    ScratchBindings scratch;
    testing::ScopedEnv port3("DRAVEL_COM3", std::nullopt);
    std::ofstream(scratch.Folder() / "blocker") << "a file where a folder should be";
    PortTable ports(scratch.Folder() / "blocker" / "dravel" / "ports.json");
    CPortSettingsDlg dialog(ports);
    dialog.SetWarnOnSaveFailure(false);
    ASSERT_EQ(ShowWith(dialog, [&] {
                  Click(dialog.PortButton(2));
                  EXPECT_TRUE(PumpUntil([&] { return dialog.PortButton(2)->GetValue(); }));
                  dialog.DeviceBox()->SetValue("socket://127.0.0.1:7000");
                  PressKey(WXK_RETURN);
              }),
              wxID_OK);
    ExpectConfig(dialog, 3);
    EXPECT_NE(dialog.SaveError().find("blocker"), std::string::npos) << dialog.SaveError();
    EXPECT_EQ(ports.DeviceOf(3), "socket://127.0.0.1:7000");
}

TEST(PortSettingsDialog, TheDeviceBoxComesLastInTheTabOrderAndOkHasTheFocus) {
    ScratchBindings scratch;
    PortTable ports(scratch.File());
    CPortSettingsDlg dialog(ports);
    // The toolkit's tab order is the order of the children.
    const wxWindowList& children = dialog.GetChildren();
    auto place = [&](wxWindow* window) { return children.IndexOf(window); };
    EXPECT_LT(place(dialog.OkButton()), place(dialog.CancelButton()));
    for (int i = 0; i < 4; ++i) EXPECT_LT(place(dialog.CancelButton()), place(dialog.PortButton(i)));
    EXPECT_LT(place(dialog.PortButton(3)), place(dialog.DeviceBox()));
    ASSERT_NE(dialog.FindWindow(id::kPortDeviceLabel), nullptr);
    EXPECT_EQ(dialog.FindWindow(id::kPortDeviceLabel)->GetLabel(), "&Device");

    ASSERT_EQ(ShowWith(dialog, [&] {
                  EXPECT_TRUE(dialog.OkButton()->HasFocus());
                  // The device row lies below the port buttons and above OK,
                  // inside the dialog and clear of the other controls.
                  const wxRect box = dialog.DeviceBox()->GetRect();
                  EXPECT_TRUE(wxRect(dialog.GetClientSize()).Contains(box));
                  for (int i = 0; i < 4; ++i) EXPECT_GT(box.y, dialog.PortButton(i)->GetRect().GetBottom());
                  EXPECT_LT(box.GetBottom(), dialog.OkButton()->GetRect().y);
                  EXPECT_LT(dialog.DeviceNote()->GetRect().GetBottom(), dialog.OkButton()->GetRect().y);
                  PressKey(WXK_ESCAPE);
              }),
              wxID_CANCEL);
    EXPECT_FALSE(std::filesystem::exists(scratch.File())) << "Cancel wrote the store";
}

}  // namespace
}  // namespace dravel::gui
