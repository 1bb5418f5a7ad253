// What the Windows line and console make of the codes the system reports:
// the codes of a pulled USB adapter, of a port held by another program, of
// a wait released without an event, none of which Wine can produce.

#include <gtest/gtest.h>

#include <vector>

#include "host/win32_console_rules.h"
#include "serial/win32_line_rules.h"

namespace dravel::win32 {
namespace {

TEST(Win32Errors, OpeningTellsAMissingPortFromAHeldOne) {
    for (uint32_t code : {kErrorFileNotFound, kErrorPathNotFound, kErrorInvalidName, kErrorDeviceNotConnected,
                          kErrorNoSuchDevice, kErrorNotReady}) {
        EXPECT_EQ(ResultForError(code, Step::Open), SerialResult::NoDevice) << code;
    }
    // A COM port is exclusive: the second open is "access denied".
    for (uint32_t code : {kErrorAccessDenied, kErrorSharingViolation, kErrorBusy}) {
        EXPECT_EQ(ResultForError(code, Step::Open), SerialResult::Busy) << code;
    }
    EXPECT_EQ(ResultForError(kErrorInvalidParameter, Step::Open), SerialResult::Failed);
}

TEST(Win32Errors, AHandleWithoutCommunicationsStateIsNoSerialPort) {
    for (uint32_t code : {kErrorInvalidFunction, kErrorInvalidHandle, kErrorNotSupported, kErrorInvalidParameter}) {
        EXPECT_EQ(ResultForError(code, Step::Identify), SerialResult::NotATerminal) << code;
    }
    EXPECT_EQ(ResultForError(kErrorDeviceNotConnected, Step::Identify), SerialResult::NoDevice);
}

TEST(Win32Errors, SettingsTheDriverRefusesAreRefusedAndAGoneDeviceIsAHangUp) {
    EXPECT_EQ(ResultForError(kErrorInvalidParameter, Step::Configure), SerialResult::Refused);
    EXPECT_EQ(ResultForError(kErrorNotSupported, Step::Configure), SerialResult::Refused);
    EXPECT_EQ(ResultForError(kErrorBadCommand, Step::Configure), SerialResult::HungUp);
    EXPECT_EQ(ResultForError(kErrorGenFailure, Step::Configure), SerialResult::HungUp);
}

TEST(Win32Errors, APulledAdapterEndsReadsWritesAndTheStatusQueryAsAHangUp) {
    // What usbser, FTDI's and Prolific's drivers and Wine answer once the
    // device has gone.
    for (uint32_t code : {kErrorAccessDenied, kErrorBadCommand, kErrorDeviceNotConnected, kErrorOperationAborted,
                          kErrorDeviceRemoved, kErrorNotReady, kErrorGenFailure}) {
        EXPECT_EQ(ResultForError(code, Step::Transfer), SerialResult::HungUp) << code;
        EXPECT_EQ(ResultForError(code, Step::Status), SerialResult::HungUp) << code;
    }
    // The status query has no other way to fail on a working port.
    EXPECT_EQ(ResultForError(kErrorInvalidParameter, Step::Status), SerialResult::HungUp);
}

TEST(Win32Errors, TimeoutsAndUnfinishedRequestsAreNoFailure) {
    for (uint32_t code : {kErrorIoPending, kErrorIoIncomplete, kErrorSemTimeout, kErrorTimeout, kErrorCounterTimeout}) {
        EXPECT_EQ(ResultForError(code, Step::Transfer), SerialResult::WouldBlock) << code;
    }
    EXPECT_EQ(ResultForError(kErrorInvalidParameter, Step::Transfer), SerialResult::Failed);
}

TEST(Win32Errors, MissingModemLinesAreToldApartFromAFault) {
    for (uint32_t code : {0u, kErrorInvalidFunction, kErrorNotSupported, kErrorInvalidParameter}) {
        EXPECT_TRUE(MeansNoModemLines(code)) << code;
    }
    EXPECT_FALSE(MeansNoModemLines(kErrorBadCommand));
    EXPECT_FALSE(MeansNoModemLines(kErrorDeviceNotConnected));
}

TEST(Win32WaitEnd, EventsEmptyWaitsLostLinesAndOurOwnClose) {
    // A wait that reports EV_RXCHAR.
    EXPECT_EQ(JudgeWaitEnd(true, 0, 1, false, true), WaitEnd::Events);
    // Released with an empty mask: by a changed mask, or by Wine on a
    // terminal without modem lines. Waited again after a pause, not lost.
    EXPECT_EQ(JudgeWaitEnd(true, 0, 0, false, true), WaitEnd::Empty);
    // Aborted while the line still answers (Wine again): not lost either.
    EXPECT_EQ(JudgeWaitEnd(false, kErrorOperationAborted, 0, false, true), WaitEnd::Empty);
    // Aborted, and the line no longer answers: a removed device's driver.
    EXPECT_EQ(JudgeWaitEnd(false, kErrorOperationAborted, 0, false, false), WaitEnd::Lost);
    // Codes that only a gone device gives are a loss whatever the status says.
    EXPECT_EQ(JudgeWaitEnd(false, kErrorDeviceNotConnected, 0, false, true), WaitEnd::Lost);
    EXPECT_EQ(JudgeWaitEnd(false, kErrorBadCommand, 0, false, true), WaitEnd::Lost);
    EXPECT_EQ(JudgeWaitEnd(false, kErrorAccessDenied, 0, false, true), WaitEnd::Lost);
    // During our own close nothing is a loss.
    EXPECT_EQ(JudgeWaitEnd(false, kErrorOperationAborted, 0, true, false), WaitEnd::Closed);
    EXPECT_EQ(JudgeWaitEnd(true, 0, 0, true, true), WaitEnd::Closed);
}

TEST(Win32DeviceName, ComPortsOpenByTheirDeviceNameSoThatPortsAboveNineOpenToo) {
    EXPECT_EQ(DeviceNameForOpen("COM1"), "\\\\.\\COM1");
    EXPECT_EQ(DeviceNameForOpen("COM12"), "\\\\.\\COM12");
    EXPECT_EQ(DeviceNameForOpen("com7"), "\\\\.\\COM7");
    EXPECT_EQ(DeviceNameForOpen("COM255"), "\\\\.\\COM255");
    // Anything else as it stands.
    for (const char* name : {"\\\\.\\COM3", "COM0", "COM07", "COM256", "COM", "COM1x", "C:\\ports\\fw", "/dev/ttyS0"}) {
        EXPECT_EQ(DeviceNameForOpen(name), name);
    }
}

TEST(Win32Console, FirstInterruptIsHandedOnASecondEndsAtOnce) {
    for (uint32_t event : {kCtrlCEvent, kCtrlBreakEvent}) {
        const InterruptDecision first = DecideInterrupt(event, false);
        EXPECT_TRUE(first.handled);
        EXPECT_TRUE(first.notify);
        EXPECT_FALSE(first.exitNow);
        EXPECT_FALSE(first.waitForClose);
        EXPECT_EQ(first.exitCode, 130);
        const InterruptDecision second = DecideInterrupt(event, true);
        EXPECT_TRUE(second.exitNow);
        EXPECT_FALSE(second.notify);
        EXPECT_EQ(second.exitCode, 130);
    }
}

TEST(Win32Console, ClosingConsoleHoldsTheProcessUntilThePortIsClosed) {
    for (uint32_t event : {kCtrlCloseEvent, kCtrlLogoffEvent, kCtrlShutdownEvent}) {
        for (bool already : {false, true}) {
            const InterruptDecision decision = DecideInterrupt(event, already);
            EXPECT_TRUE(decision.handled);
            EXPECT_TRUE(decision.waitForClose) << "returning would end the process with the port open";
            EXPECT_FALSE(decision.exitNow) << "not even after a Ctrl+C: its close is under way";
            EXPECT_EQ(decision.notify, !already);
        }
    }
    EXPECT_FALSE(DecideInterrupt(3, false).handled) << "unknown events are left to the next handler";
}

}  // namespace
}  // namespace dravel::win32
