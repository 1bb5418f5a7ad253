// One kind of line behind SerialLine (comm/serial_line.h): a local serial
// device (serial_line_posix.cpp, serial_line_win32.cpp) or a serial port
// across the network (network_line.cpp). SerialLine picks one at Open() by
// the device's name and passes every call on; what each call promises, and
// which thread may make it, is said in serial_line.h.
//
// The base keeps what every kind shares: the device's name, whether the line
// has modem lines, the text of the last failure and where notes go.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>

#include "line/line_contract.h"

namespace dravel {

class LineTransport {
public:
    LineTransport() = default;
    virtual ~LineTransport() = default;
    LineTransport(const LineTransport&) = delete;
    LineTransport& operator=(const LineTransport&) = delete;

    virtual bool IsNetwork() const = 0;
    virtual SerialResult Open(const std::string& device) = 0;
    virtual SerialResult Configure(const LineSettings& settings) = 0;
    virtual SerialResult SetDtr(bool on) = 0;
    virtual SerialResult SetRts(bool on) = 0;
    // Both lines in one request where the kind of line has one; by default
    // DTR, then RTS.
    virtual SerialResult SetModemLines(bool dtr, bool rts);
    virtual std::size_t InputWaiting() = 0;
    virtual SerialResult Read(std::span<uint8_t> buffer, std::size_t& count) = 0;
    virtual SerialResult Write(std::span<const uint8_t> bytes, std::size_t& count) = 0;
    virtual std::size_t OutputPending() = 0;
    virtual SerialResult WaitForOutput(std::chrono::milliseconds limit) = 0;
    virtual SerialResult Wait(LineInterest interest, std::chrono::milliseconds timeout, LineEvents& events) = 0;
    virtual void Wake() = 0;
    virtual bool CreateEvents() = 0;
    virtual void CloseEvents() = 0;
    virtual SerialResult Purge() = 0;
    virtual SerialResult PurgeInput() = 0;
    virtual SerialResult DiscardAtClose() = 0;
    virtual void Close() = 0;
    virtual bool IsOpen() const = 0;
    virtual intptr_t NativeHandle() const = 0;

    bool HasModemLines() const { return m_hasModemLines; }
    std::string LastError() const;
    const std::string& DevicePath() const { return m_path; }
    void SetNoteObserver(LineNoteObserver observer) { m_notes = std::move(observer); }

protected:
    // Keeps "<what>: <cause>" as the last failure and returns `result`.
    SerialResult Fail(SerialResult result, const std::string& what, const std::string& cause);
    // Closes what is open and forgets the last failure; "open <device>".
    std::string BeginOpen(const std::string& device);
    void Note(LineNote::Level level, std::string text) const;

    bool m_hasModemLines = true;
    std::string m_path;

private:
    mutable std::mutex m_errorMutex;
    std::string m_lastError;  // guarded by m_errorMutex
    LineNoteObserver m_notes;
};

}  // namespace dravel
