#include "serial/win32_line_rules.h"

#include <charconv>

namespace dravel::win32 {

bool MeansDeviceGone(uint32_t code)
{
    switch (code) {
    case kErrorAccessDenied:        // usbser and most vendor drivers after a surprise removal
    case kErrorBadCommand:          // FTDI and Prolific drivers, same situation
    case kErrorNotReady:            // Wine, once the other side of its terminal has closed
    case kErrorGenFailure:
    case kErrorDevNotExist:
    case kErrorNoSuchDevice:
    case kErrorDeviceNotConnected:
    case kErrorDeviceRemoved:
        return true;
    default:
        return false;
    }
}

bool MeansNoModemLines(uint32_t code)
{
    // 0: Wine on a pseudo-terminal fails the call without setting a code.
    return code == 0 || code == kErrorInvalidFunction || code == kErrorNotSupported ||
           code == kErrorInvalidParameter;
}

SerialResult ResultForError(uint32_t code, Step step)
{
    switch (step) {
    case Step::Open:
        switch (code) {
        case kErrorFileNotFound:
        case kErrorPathNotFound:
        case kErrorBadUnit:
        case kErrorNotReady:
        case kErrorBadNetPath:
        case kErrorDevNotExist:
        case kErrorInvalidName:
        case kErrorBadPathname:
        case kErrorNoSuchDevice:
        case kErrorDeviceNotConnected:
        case kErrorDeviceRemoved:
            return SerialResult::NoDevice;
        // A COM port is an exclusive device: a second open is refused with
        // "access denied", whatever the access asked for.
        case kErrorAccessDenied:
        case kErrorSharingViolation:
        case kErrorBusy:
            return SerialResult::Busy;
        default:
            return SerialResult::Failed;
        }
    case Step::Identify:
        // Files, pipes, NUL, CON: handles without a communications state.
        if (code == kErrorInvalidFunction || code == kErrorInvalidHandle || code == kErrorNotSupported ||
            code == kErrorInvalidParameter) {
            return SerialResult::NotATerminal;
        }
        return MeansDeviceGone(code) ? SerialResult::NoDevice : SerialResult::Failed;
    case Step::Configure:
        if (code == kErrorInvalidParameter || code == kErrorNotSupported || code == kErrorInvalidFunction) {
            return SerialResult::Refused;
        }
        return MeansDeviceGone(code) ? SerialResult::HungUp : SerialResult::Failed;
    case Step::Status:
        // The one call that cannot fail on a working port: when it does, the
        // reader must stop asking it, or it would ask for ever.
        return SerialResult::HungUp;
    case Step::Transfer:
        if (MeansDeviceGone(code) || code == kErrorOperationAborted) return SerialResult::HungUp;
        if (code == kErrorIoPending || code == kErrorIoIncomplete || code == kErrorSemTimeout ||
            code == kErrorTimeout || code == kErrorCounterTimeout) {
            return SerialResult::WouldBlock;
        }
        return SerialResult::Failed;
    }
    return SerialResult::Failed;
}

std::string DeviceNameForOpen(std::string_view device)
{
    if (device.size() > 3 && (device[0] == 'C' || device[0] == 'c') && (device[1] == 'O' || device[1] == 'o') &&
        (device[2] == 'M' || device[2] == 'm')) {
        const std::string_view digits = device.substr(3);
        int number = 0;
        const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
        if (error == std::errc{} && end == digits.data() + digits.size() && digits.front() != '0' && number >= 1 &&
            number <= 255) {
            return "\\\\.\\COM" + std::to_string(number);
        }
    }
    return std::string(device);
}

WaitEnd JudgeWaitEnd(bool succeeded, uint32_t error, uint32_t mask, bool closing, bool statusReadable)
{
    if (closing) return WaitEnd::Closed;
    if (succeeded) return mask != 0 ? WaitEnd::Events : WaitEnd::Empty;
    if (MeansDeviceGone(error)) return WaitEnd::Lost;
    // An aborted wait is what a removed device's driver does to the requests
    // it holds - and what Wine does to every wait on a terminal that has no
    // modem lines. The status query tells them apart.
    return statusReadable ? WaitEnd::Empty : WaitEnd::Lost;
}

}  // namespace dravel::win32
