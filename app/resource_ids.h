// Control, command and resource identifiers of the desktop application.
//
// These numbers are part of how the window classes are wired together (event
// tables bind them) and of what tests and scripts look for, so they stay
// fixed. Constants only; any thread may read them.
#pragma once

namespace dravel::gui::id {

// Port settings dialog (template 102).
inline constexpr int kPortOk = 1024;
inline constexpr int kPortCancel = 1025;
inline constexpr int kPort1 = 1002;  // 1002..1005: the four port buttons
inline constexpr int kBaud115k = 1044;
inline constexpr int kBaud57k = 1006;
inline constexpr int kBaud33k = 1007;
inline constexpr int kBaud19k = 1008;
inline constexpr int kBaud9k6 = 1009;
inline constexpr int kByteSize8 = 1011;  // 1011..1014
inline constexpr int kStopBits1 = 1015;  // 1015..1017
inline constexpr int kParityNone = 1018; // 1018..1020
inline constexpr int kFlowNone = 1021;   // 1021..1023
inline constexpr int kPortDevice = 1026;       // the device box of the selected port
inline constexpr int kPortDeviceLabel = 1027;  // "&Device"
inline constexpr int kPortDeviceNote = 1028;   // why a port's device cannot be changed here

// Download form (template 101).
inline constexpr int kSend = 1002;
inline constexpr int kFileLabel = 1003;
inline constexpr int kLabel1006 = 1006;
inline constexpr int kStatusLabel = 1007;
inline constexpr int kLabel1008 = 1008;
inline constexpr int kChooseFile = 1009;
inline constexpr int kTitleLabel = 1017;
inline constexpr int kBanner = 30998;
inline constexpr int kProgress = 30999;  // stands where the empty picture was

// About box (template 100).
inline constexpr int kAboutOk = 1;

// Menu and accelerator commands (resource 128).
inline constexpr int kFileNew = 57600;
inline constexpr int kFileOpen = 57601;
inline constexpr int kFileSave = 57603;
inline constexpr int kEditCopy = 57634;
inline constexpr int kEditCut = 57635;
inline constexpr int kEditPaste = 57637;
inline constexpr int kEditUndo = 57643;
inline constexpr int kAppAbout = 57664;
inline constexpr int kAppExit = 57665;
inline constexpr int kNextPane = 57680;
inline constexpr int kPrevPane = 57681;
inline constexpr int kPortSettings = 32771;

// The id a menu item or accelerator is given and its command arrives with.
// Elsewhere ids are full ints and the historical numbers work as they are.
// Windows carries a command in a 16-bit word that the toolkit reads back as
// a signed number, and it keeps the negative numbers for ids of its own
// making, so there the numbers above 32767 lose their top bit (57664 is
// 24896 on Windows).
constexpr int Command(int commandId) {
#ifdef __WXMSW__
    return commandId & 0x7FFF;
#else
    return commandId;
#endif
}

}  // namespace dravel::gui::id
