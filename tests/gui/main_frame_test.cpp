// The main window as a whole, against the device simulator on a
// pseudo-terminal: start-up, a download, a close in the middle of one and
// while its result box is up, a port change during a transfer, document
// commands that must never write a file, and the files a toolchain writes,
// chosen or dropped.
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>

#include <gtest/gtest.h>
#include <wx/dnd.h>
#include <wx/filedlg.h>
#include <wx/menu.h>
#include <wx/modalhook.h>
#include <wx/statusbr.h>
#include <wx/uiaction.h>
#include <wx/weakref.h>

#include "app/main_frame.h"
#include "image/image.h"
#include "ports/port_table.h"
#include "tests/gui/gui_test_support.h"
#include "tests/support/devsim_process.h"
#include "tests/support/process.h"
#include "tests/support/toolchain.h"

namespace dravel::gui {
namespace {

using namespace guitest;
using dravel::testing::DevsimProcess;
using dravel::testing::Padded;
using dravel::testing::PatternImage;
using dravel::testing::ReadWholeFile;
using dravel::testing::ScopedEnv;
using dravel::testing::TempDir;
using dravel::testing::WriteWholeFile;

// One main window, started the way the program starts it: the port dialog
// first, answered with a click on a port and on OK.
class FrameRig {
public:
    std::vector<std::pair<std::string, std::string>> boxes;
    std::function<void(const std::string&)> whileBoxShown;
    std::string fileChoice;
    std::string documentChoice;
    bool realFileDialogs = false;
    int documentDialogs = 0;
    bool frameExistedDuringPortDialog = true;
    CDravelDoc document;
    CMainFrame* frame = nullptr;
    wxWeakRef<wxWindow> alive;

    void Start(int portIndex) {
        CMainFrame::Options options;
        options.side.timerScale = 0.1;
        options.side.presentBox = [this](const std::string& text, const std::string& caption, wxWindow*) {
            boxes.emplace_back(text, caption);
            if (whileBoxShown) whileBoxShown(text);
        };
        if (!realFileDialogs) {
            options.chooseFile = [this](bool forDocument) {
                if (!forDocument) return fileChoice;
                ++documentDialogs;
                return documentChoice;
            };
        }
        WhenIdle([this, portIndex] {
            CPortSettingsDlg* dialog = nullptr;
            if (!PumpUntil([&] { return (dialog = FindShown<CPortSettingsDlg>()) != nullptr; })) {
                ADD_FAILURE() << "no port dialog at start-up";
                return;
            }
            frameExistedDuringPortDialog = FindShown<wxFrame>() != nullptr;
            Click(dialog->PortButton(portIndex));
            Click(dialog->OkButton());
            if (dialog->IsModal()) {
                ADD_FAILURE() << "the port dialog did not take OK";
                dialog->EndModal(wxID_OK);
            }
        });
        frame = new CMainFrame(document, options);
        alive = frame;
        ASSERT_TRUE(frame->IsCreated());
        frame->Show();
        ASSERT_TRUE(PumpUntil([this] { return frame->IsShownOnScreen(); }));
        PumpFor(50ms);
    }

    bool Closed() const { return !alive; }
    bool BoxShown(const std::string& text) const {
        return std::any_of(boxes.begin(), boxes.end(), [&](const auto& box) { return box.first == text; });
    }
    void Send(const std::string& path) {
        fileChoice = path;
        Click(&frame->View().ChooseButton());
        Click(&frame->View().SendButton());
    }

    ~FrameRig() {
        if (alive) {
            frame->Close(true);
            PumpUntil([this] { return Closed(); }, 10s);
        }
    }
};

std::string WriteFirmware(const TempDir& dir, const std::string& name, std::size_t size, unsigned seed) {
    const std::string path = dir / name;
    WriteWholeFile(path, PatternImage(size, seed));
    return path;
}

TEST(MainFrame, AsksForThePortFirstThenShowsAFixedWindowWithoutOpeningIt) {
    // A port that does not exist: start-up must not notice.
    ScopedEnv missing("DRAVEL_COM3", "/nonexistent/dravel-port");
    FrameRig rig;
    rig.Start(2);
    EXPECT_FALSE(rig.frameExistedDuringPortDialog) << "a main window was up before the port was chosen";
    CMainFrame& frame = *rig.frame;
    EXPECT_EQ(frame.Core().GetPortConfig().portNumber, 3);
    EXPECT_EQ(frame.Core().GetPortConfig().line.baudRate, 115200u);
    EXPECT_FALSE(frame.Core().HasPort());
    EXPECT_TRUE(rig.boxes.empty());

    EXPECT_EQ(frame.GetTitle(), "Pelcor 2003  - ver 1.1 -");
    EXPECT_FALSE(frame.HasFlag(wxRESIZE_BORDER));
    EXPECT_FALSE(frame.HasFlag(wxMAXIMIZE_BOX));
    EXPECT_TRUE(frame.HasFlag(wxMINIMIZE_BOX));
    EXPECT_EQ(frame.GetMinSize(), frame.GetSize());
    EXPECT_EQ(frame.GetMaxSize(), frame.GetSize());
    EXPECT_LE(frame.GetSize().x, 650);
    EXPECT_LE(frame.GetSize().y, 540);
    EXPECT_LE(frame.GetClientSize().x, frame.View().FormExtent().x);
    EXPECT_LE(frame.GetClientSize().y, frame.View().FormExtent().y);

    wxMenuBar* menus = frame.GetMenuBar();
    ASSERT_NE(menus, nullptr);
    EXPECT_EQ(menus->GetMenuCount(), 3u);
    ASSERT_NE(menus->FindItem(32771), nullptr);
    EXPECT_EQ(menus->FindItem(32771)->GetHelp(), "RS 232");
    EXPECT_NE(menus->FindItem(57664), nullptr);
    EXPECT_NE(menus->FindItem(57665), nullptr);
    wxMenu* help = menus->GetMenu(2);
    EXPECT_TRUE(help->FindItemByPosition(help->GetMenuItemCount() - 1)->IsSeparator());
    wxStatusBar* status = frame.GetStatusBar();
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(status->GetFieldsCount(), 4);
    EXPECT_EQ(status->GetStatusText(0), "Status bar");

    // Send before any file: the box, in the application's name, and nothing opened.
    Click(&frame.View().SendButton());
    ASSERT_EQ(rig.boxes.size(), 1u);
    EXPECT_EQ(rig.boxes[0], std::make_pair(std::string("Select file first!"), std::string("Z/A Vovode")));
    EXPECT_FALSE(frame.Core().HasPort());
    EXPECT_TRUE(frame.View().SendButton().IsEnabled());
}

TEST(MainFrame, DownloadsAChosenFileToTheDevice) {
    DevsimProcess device;
    ScopedEnv port("DRAVEL_COM1", device.LinkPath());
    TempDir files;
    const std::string firmware = WriteFirmware(files, "firmware.bin", 5000, 7);
    FrameRig rig;
    rig.Start(0);
    rig.Send(firmware);
    ASSERT_TRUE(PumpUntil([&] { return rig.BoxShown("Transfer Completed "); }, 30s)) << device.Errors();
    EXPECT_EQ(device.Wait(10s), 0) << device.Errors();
    EXPECT_EQ(device.Image(), Padded(ReadWholeFile(firmware)));
    ASSERT_TRUE(PumpUntil([&] { return rig.frame->View().SendButton().IsEnabled(); }));
    EXPECT_TRUE(PumpUntil([&] { return rig.frame->View().Progress().GetValue() == kProgressRange; }));
    EXPECT_NE(rig.frame->View().StatusLabel().Text(), "Transmitting .... ");
    EXPECT_FALSE(rig.frame->Core().HasPort()) << "the port outlived its transfer";
}

TEST(MainFrame, ClosingDuringATransferReleasesThePortAndEndsCleanly) {
    DevsimProcess device({"--baud", "115200"});  // about 11 KiB/s: the close comes mid-file
    ScopedEnv port("DRAVEL_COM1", device.LinkPath());
    TempDir files;
    const std::string firmware = WriteFirmware(files, "big.bin", 200 * 1024, 3);
    FrameRig rig;
    rig.Start(0);
    rig.Send(firmware);
    ASSERT_TRUE(PumpUntil([&] { return rig.frame->View().Progress().GetValue() > 0; }, 20s)) << device.Errors();
    EXPECT_TRUE(rig.frame->Core().TransferRunning());

    const auto start = std::chrono::steady_clock::now();
    rig.frame->Close();
    ASSERT_TRUE(PumpUntil([&] { return rig.Closed(); }, 10s)) << "the window did not go";
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_FALSE(rig.BoxShown("Transfer Completed "));
    // Nobody holds the port any more, and the device never saw an end frame.
    const PortProbe look = PortTable().Probe(1);
    EXPECT_EQ(look.availability, PortAvailability::Free) << look.detail;
    EXPECT_FALSE(device.HasImage());
}

TEST(MainFrame, AClosedWindowWaitsForItsResultBoxButNotTheWorker) {
    DevsimProcess device;
    ScopedEnv port("DRAVEL_COM1", device.LinkPath());
    TempDir files;
    const std::string firmware = WriteFirmware(files, "small.bin", 3000, 5);
    FrameRig rig;
    bool pendingWhileBoxUp = false;
    bool workerDoneWhileBoxUp = false;
    rig.whileBoxShown = [&](const std::string& text) {
        if (text != "Transfer Completed ") return;
        // The worker is blocked in this box when the window is closed.
        EXPECT_TRUE(rig.frame->Core().TransferRunning());
        rig.frame->Close();
        pendingWhileBoxUp = rig.frame->ClosePending() && !rig.Closed();
        workerDoneWhileBoxUp = !rig.frame->Core().TransferRunning();
        PumpFor(100ms);  // idle time with the box still up destroys nothing
        pendingWhileBoxUp = pendingWhileBoxUp && !rig.Closed();
    };
    rig.Start(0);
    rig.Send(firmware);
    ASSERT_TRUE(PumpUntil([&] { return rig.Closed(); }, 30s)) << device.Errors();
    EXPECT_TRUE(pendingWhileBoxUp) << "the window went while its box was up";
    EXPECT_TRUE(workerDoneWhileBoxUp) << "the close did not release and join the worker";
    EXPECT_EQ(device.Image(), Padded(ReadWholeFile(firmware)));
}

TEST(MainFrame, APortChosenDuringATransferServesOnlyTheNextOne) {
    DevsimProcess first({"--baud", "115200"});
    DevsimProcess second;
    ScopedEnv port1("DRAVEL_COM1", first.LinkPath());
    ScopedEnv port2("DRAVEL_COM2", second.LinkPath());
    TempDir files;
    const std::string firmware = WriteFirmware(files, "firmware.bin", 24 * 1024, 11);
    FrameRig rig;
    rig.Start(0);
    rig.Send(firmware);
    ASSERT_TRUE(PumpUntil([&] { return rig.frame->View().Progress().GetValue() > 0; }, 20s)) << first.Errors();

    WhenIdle([&] {
        CPortSettingsDlg* dialog = nullptr;
        ASSERT_TRUE(PumpUntil([&] { return (dialog = FindShown<CPortSettingsDlg>()) != nullptr; }));
        EXPECT_TRUE(dialog->PortButton(0)->GetValue()) << "the menu's showing must start at port 1";
        Click(dialog->PortButton(1));
        Click(dialog->OkButton());
    });
    wxCommandEvent menu(wxEVT_MENU, 32771);
    rig.frame->GetEventHandler()->ProcessEvent(menu);
    EXPECT_EQ(rig.frame->Core().GetPortConfig().portNumber, 2);
    EXPECT_TRUE(rig.frame->Core().TransferRunning()) << "the port change disturbed the transfer";

    ASSERT_TRUE(PumpUntil([&] { return rig.BoxShown("Transfer Completed "); }, 30s)) << first.Errors();
    EXPECT_EQ(first.Wait(10s), 0);
    EXPECT_EQ(first.Image(), Padded(ReadWholeFile(firmware)));
    EXPECT_FALSE(second.HasImage());

    rig.boxes.clear();
    ASSERT_TRUE(PumpUntil([&] { return rig.frame->View().SendButton().IsEnabled(); }));
    Click(&rig.frame->View().SendButton());
    ASSERT_TRUE(PumpUntil([&] { return rig.BoxShown("Transfer Completed "); }, 30s)) << second.Errors();
    EXPECT_EQ(second.Wait(10s), 0);
    EXPECT_EQ(second.Image(), Padded(ReadWholeFile(firmware)));
}

TEST(MainFrame, DocumentCommandsNeverWriteTheOpenedFile) {
    TempDir files;
    const std::string keep = WriteFirmware(files, "precious.bin", 4096, 9);
    const std::string before = ReadWholeFile(keep);
    struct stat statBefore {};
    ASSERT_EQ(::stat(keep.c_str(), &statBefore), 0);

    FrameRig rig;
    rig.documentChoice = keep;
    rig.Start(0);
    CMainFrame& frame = *rig.frame;
    frame.Raise();
    Click(&frame.View().StatusLabel());  // the window has the keyboard now

    // Through the keyboard, as a person would: open, save, new, open again.
    wxUIActionSimulator keys;
    keys.Char('o', wxMOD_CONTROL);
    PumpFor(150ms);
    EXPECT_EQ(rig.documentDialogs, 1) << "Ctrl+O did not reach the open command";
    EXPECT_EQ(frame.Document().PathName(), keep);
    keys.Char('s', wxMOD_CONTROL);
    PumpFor(150ms);
    keys.Char('n', wxMOD_CONTROL);
    PumpFor(150ms);
    EXPECT_EQ(frame.Document().PathName(), "");
    keys.Char('o', wxMOD_CONTROL);
    PumpFor(150ms);
    for (int command : {57603, 57600, 57601, 57603}) {
        wxCommandEvent event(wxEVT_MENU, command);
        frame.GetEventHandler()->ProcessEvent(event);
    }
    PumpFor(50ms);

    struct stat statAfter {};
    ASSERT_EQ(::stat(keep.c_str(), &statAfter), 0);
    EXPECT_EQ(ReadWholeFile(keep), before);
    EXPECT_EQ(statAfter.st_size, statBefore.st_size);
    EXPECT_EQ(statAfter.st_mtim.tv_sec, statBefore.st_mtim.tv_sec);
    EXPECT_EQ(statAfter.st_mtim.tv_nsec, statBefore.st_mtim.tv_nsec);
    EXPECT_EQ(frame.GetTitle(), "Pelcor 2003  - ver 1.1 -");
    EXPECT_TRUE(rig.boxes.empty());
}

using dravel::testing::OnPath;

// A program for the board with a gap between its code and its constants,
// linked by the GNU toolchain for ARM and written by its objcopy as Intel HEX
// (`hex`) and as the flat image the device must receive (`flat`).
struct ToolchainImage {
    std::string hex;
    std::string flat;
    std::string error;  // the tool that failed, with its words
};

ToolchainImage MakeHexImage(const TempDir& dir) {
    std::string source = "  .section .text,\"ax\"";
    for (int i = 0; i < 1500; ++i) source += (i % 16 == 0 ? "\n  .byte " : ",") + std::to_string((i * 37 + 11) & 0xFF);
    source += "\n  .section .rodata,\"a\"\n  .ascii \"constants after the gap\"\n";
    WriteWholeFile(dir / "app.s", source);
    WriteWholeFile(dir / "app.ld", "SECTIONS { .text 0x08000000 : { *(.text) } .rodata 0x08000800 : { *(.rodata) } }");
    const std::vector<std::vector<std::string>> steps = {
        {"arm-none-eabi-as", "-o", dir / "app.o", dir / "app.s"},
        {"arm-none-eabi-ld", "-T", dir / "app.ld", "-o", dir / "app.elf", dir / "app.o"},
        {"arm-none-eabi-objcopy", "-O", "ihex", dir / "app.elf", dir / "app.hex"},
        {"arm-none-eabi-objcopy", "-O", "binary", "--gap-fill", "0xff", dir / "app.elf", dir / "app.flat"},
    };
    for (std::vector<std::string> step : steps) {
        const std::string tool = step[0];
        step[0] = OnPath(tool);
        const dravel::testing::RunResult run = dravel::testing::Run(step);
        if (run.exitCode != 0) return {{}, {}, tool + ": " + run.err};
    }
    return {dir / "app.hex", ReadWholeFile(dir / "app.flat"), {}};
}

#define SKIP_WITHOUT_ARM_TOOLCHAIN() DRAVEL_SKIP_WITHOUT("arm-none-eabi-as", "arm-none-eabi-ld", "arm-none-eabi-objcopy")

wxArrayString Paths(std::initializer_list<std::string> paths) {
    wxArrayString array;
    for (const std::string& path : paths) array.Add(wxString::FromUTF8(path));
    return array;
}

wxFileDropTarget* DropTargetOf(CMainFrame& frame) {
    return dynamic_cast<wxFileDropTarget*>(frame.View().GetDropTarget());
}

TEST(MainFrame, AnIntelHexFileDroppedOnTheWindowArrivesAsObjcopysFlatImage) {
    SKIP_WITHOUT_ARM_TOOLCHAIN();
    TempDir files;
    const ToolchainImage image = MakeHexImage(files);
    ASSERT_TRUE(image.error.empty()) << image.error;
    ASSERT_GT(image.flat.size(), 2048u) << "the image should take several blocks";
    DevsimProcess device;
    ScopedEnv port("DRAVEL_COM1", device.LinkPath());
    FrameRig rig;
    rig.Start(0);
    wxFileDropTarget* drop = DropTargetOf(*rig.frame);
    ASSERT_NE(drop, nullptr) << "the form takes no files";

    // Several files, or a folder, are not a choice: the form keeps none.
    EXPECT_FALSE(drop->OnDropFiles(10, 10, Paths({image.hex, files / "app.elf"})));
    EXPECT_FALSE(drop->OnDropFiles(10, 10, Paths({files.Path()})));
    EXPECT_TRUE(PumpUntil([&] { return rig.boxes.size() == 2; }));
    EXPECT_TRUE(rig.BoxShown("Drop one file at a time"));
    EXPECT_EQ(rig.frame->View().FileChosenFlag(), 0);

    EXPECT_TRUE(drop->OnDropFiles(10, 10, Paths({image.hex})));
    ASSERT_TRUE(PumpUntil([&] { return rig.frame->View().FileChosenFlag() == kFileChosen; }));
    EXPECT_EQ(rig.frame->View().FileLabel().Text(), image.hex);
    rig.boxes.clear();
    Click(&rig.frame->View().SendButton());
    ASSERT_TRUE(PumpUntil([&] { return rig.BoxShown("Transfer Completed "); }, 30s)) << device.Errors();
    EXPECT_EQ(rig.boxes.size(), 1u);
    EXPECT_EQ(device.Wait(10s), 0) << device.Errors();
    EXPECT_EQ(device.Image(), Padded(image.flat)) << "not objcopy's flat image";
    EXPECT_TRUE(PumpUntil([&] { return rig.frame->View().Progress().GetValue() == kProgressRange; }));
}

TEST(MainFrame, AFileThatCannotBeConvertedIsRefusedInABoxAndTheFormStaysUsable) {
    DevsimProcess device;
    ScopedEnv port("DRAVEL_COM1", device.LinkPath());
    TempDir files;
    const struct { const char* name; std::string content; } badFiles[] = {
        {"checksum.hex", ":0400000001020304F1\n:00000001FF\n"},
        {"no-end.hex", ":0400000001020304F2\n"},
        {"stray-ram.s19", "S107000001020304EE\nS30920000000AABBCCDDC8\nS9030000FC\n"},
        {"not-elf.axf", "this is no ELF file"},
    };
    FrameRig rig;
    rig.Start(0);
    for (const auto& bad : badFiles) {
        SCOPED_TRACE(bad.name);
        const std::string path = files / bad.name;
        WriteWholeFile(path, bad.content);
        const std::vector<uint8_t> bytes(bad.content.begin(), bad.content.end());
        const std::string cause = LoadImage(path, bytes, {}).error;
        ASSERT_FALSE(cause.empty()) << "the reader takes it";
        rig.boxes.clear();
        rig.Send(path);
        ASSERT_EQ(rig.boxes.size(), 1u);
        EXPECT_EQ(rig.boxes[0].first, cause);
        EXPECT_FALSE(rig.frame->Core().TransferRunning());
        EXPECT_FALSE(rig.frame->Core().HasPort());
        EXPECT_TRUE(rig.frame->View().SendButton().IsEnabled());
        EXPECT_NE(rig.frame->View().StatusLabel().Text(), "Transmitting .... ");
    }
    // A pipe named as an image is not read on the window's thread, where it
    // would wait for a writer, nor sent as it is.
    const std::string pipe = files / "pipe.hex";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    rig.boxes.clear();
    rig.Send(pipe);
    ASSERT_EQ(rig.boxes.size(), 1u);
    EXPECT_EQ(rig.boxes[0].first, pipe + ": not a regular file, and an image of this kind is read whole before it is sent");
    EXPECT_FALSE(rig.frame->Core().HasPort());
    const PortProbe look = PortTable().Probe(1);
    EXPECT_EQ(look.availability, PortAvailability::Free) << look.detail;

    // The form still sends, and a .bin goes byte for byte whatever it holds.
    const std::string firmware = files / "records.bin";
    WriteWholeFile(firmware, ":0400000001020304F1\n" + PatternImage(1500, 4));
    rig.boxes.clear();
    rig.Send(firmware);
    ASSERT_TRUE(PumpUntil([&] { return rig.BoxShown("Transfer Completed "); }, 30s)) << device.Errors();
    EXPECT_EQ(device.Wait(10s), 0) << device.Errors();
    EXPECT_EQ(device.Image(), Padded(ReadWholeFile(firmware)));
}

// Reads the file dialog's filters as it is about to show, and cancels it.
class FileDialogReader final : public wxModalDialogHook {
public:
    wxString wildcard;
    int filter = -1;
    wxString name = "unseen";
    int dialogs = 0;

protected:
    int Enter(wxDialog* dialog) override {
        auto* files = dynamic_cast<wxFileDialog*>(dialog);
        if (files == nullptr) return wxID_NONE;
        ++dialogs;
        wildcard = files->GetWildcard();
        filter = files->GetFilterIndex();
        name = files->GetFilename();
        return wxID_CANCEL;
    }
    void Exit(wxDialog*) override {}
};

TEST(MainFrame, TheFileDialogOffersFirmwareImagesFirstThenBinariesThenAllFiles) {
    FrameRig rig;
    rig.realFileDialogs = true;
    rig.Start(0);
    FileDialogReader reader;
    reader.Register();
    Click(&rig.frame->View().ChooseButton());
    reader.Unregister();
    ASSERT_EQ(reader.dialogs, 1);
    EXPECT_EQ(reader.wildcard,
              "Firmware images (*.bin;*.hex;*.ihex;*.srec;*.s19;*.s28;*.s37;*.elf;*.axf)|"
              "*.bin;*.hex;*.ihex;*.srec;*.s19;*.s28;*.s37;*.elf;*.axf|bin(*.bin)|*.bin|All files (*)|*");
    EXPECT_EQ(reader.filter, 0);
    EXPECT_EQ(reader.name, "") << "a pattern in the name box hides the other images";
    EXPECT_EQ(rig.frame->View().FileChosenFlag(), 0) << "a cancelled dialog chose a file";
}

}  // namespace
}  // namespace dravel::gui
