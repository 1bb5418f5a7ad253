// The local serial line: a serial device of this system behind the
// serial-line contract (comm/serial_line.h says what each call
// promises). One file per platform defines it: serial_line_posix.cpp
// (termios, poll and an eventfd) and serial_line_win32.cpp (the Win32
// communications calls with overlapped records), each with its own Native.
#pragma once

#include <memory>

#include "line/line_transport.h"

namespace dravel {

class LocalLine final : public LineTransport {
public:
    LocalLine();
    ~LocalLine() override;

    bool IsNetwork() const override { return false; }
    SerialResult Open(const std::string& device) override;
    SerialResult Configure(const LineSettings& settings) override;
    SerialResult SetDtr(bool on) override;
    SerialResult SetRts(bool on) override;
    SerialResult SetModemLines(bool dtr, bool rts) override;
    std::size_t InputWaiting() override;
    SerialResult Read(std::span<uint8_t> buffer, std::size_t& count) override;
    SerialResult Write(std::span<const uint8_t> bytes, std::size_t& count) override;
    std::size_t OutputPending() override;
    SerialResult WaitForOutput(std::chrono::milliseconds limit) override;
    SerialResult Wait(LineInterest interest, std::chrono::milliseconds timeout, LineEvents& events) override;
    void Wake() override;
    bool CreateEvents() override;
    void CloseEvents() override;
    SerialResult Purge() override;
    SerialResult PurgeInput() override;
    SerialResult DiscardAtClose() override;
    void Close() override;
    bool IsOpen() const override;
    intptr_t NativeHandle() const override;

private:
    struct Native;  // the platform's handles and request records

    SerialResult SetModemLine(bool dtr, bool on);

    std::unique_ptr<Native> m_native;
};

// The local serial line of this platform, and its answers to the static
// questions of SerialLine.
std::unique_ptr<LineTransport> MakeLocalLine();
DeviceProbe ProbeLocalDevice(const std::string& device);
std::string LocalDefaultDevice(int portNumber);

}  // namespace dravel
