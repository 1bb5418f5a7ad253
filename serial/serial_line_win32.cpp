#include "serial/local_line.h"
#include "serial/low_latency.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <utility>

#include "os/system_text.h"
#include "os/wake_signal.h"
#include "os/windows_api.h"

#include "serial/win32_line_rules.h"

namespace dravel {

namespace {

constexpr DWORD kQueueSize = 4096;       // SetupComm, both directions
constexpr DWORD kWriteTimeoutMs = 1000;  // a write that has not ended by then ends short
constexpr DWORD kReadTimeoutMs = 1000;   // reads ask only for queued bytes and end at once
// Wine does not complete a pending event wait when the other side of its
// terminal hangs up (Windows completes it with an error): the reader's wait
// looks at the line this often, so a lost line is noticed within a second.
constexpr DWORD kLivenessSliceMs = 1000;
// After a wait that came back without an event, the next one starts only
// after this pause, so a driver that keeps doing that cannot make the reader
// spin. A driver that does it again and again (Wine on a terminal without
// modem lines, which also burns time in every such wait) is not asked for
// events any more: the line's queue is looked at every few milliseconds.
constexpr DWORD kEmptyWaitPauseMs = 5;
constexpr int kEmptyWaitsBeforePolling = 3;
constexpr DWORD kPollMs = 5;
// How long a close waits for a request it has ended to give its record back.
constexpr DWORD kReleaseWaitMs = 1000;

constexpr DWORD kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;  // 15
constexpr DWORD kPurgeInput = PURGE_RXABORT | PURGE_RXCLEAR;
constexpr DWORD kPurgeOutput = PURGE_TXABORT | PURGE_TXCLEAR;

std::string BusyText(DWORD code)
{
    return SystemText(code) + ": another program holds the port, or this user may not open it";
}

HANDLE NewEvent(bool manualReset) { return ::CreateEventA(nullptr, manualReset ? TRUE : FALSE, FALSE, nullptr); }

void CloseEvent(HANDLE& event)
{
    if (event != nullptr) ::CloseHandle(event);
    event = nullptr;
}

// What Open() and Probe() both find out before they would use a device.
struct Checked {
    SerialResult result = SerialResult::Failed;
    std::string cause;  // the system's words
    std::string kind;   // for NotATerminal: what the name is instead
    HANDLE handle = INVALID_HANDLE_VALUE;
};

Checked OpenChecked(const std::string& device, bool overlapped)
{
    Checked checked;
    const std::string name = win32::DeviceNameForOpen(device);
    const DWORD attributes = ::GetFileAttributesA(name.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        // Its open would fail with "access denied", which reads as a busy port.
        checked.result = SerialResult::NotATerminal;
        checked.kind = "a directory";
        return checked;
    }
    // No sharing: a serial port belongs to one program. OPEN_EXISTING: a name
    // that is no device must never create a file.
    const HANDLE handle = ::CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                        overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        checked.result = win32::ResultForError(error, win32::Step::Open);
        checked.cause = checked.result == SerialResult::Busy ? BusyText(error) : SystemText(error);
        return checked;
    }
    // Looked at before anything is set: a file or a pipe named as the port is
    // left as it was.
    ::SetLastError(NO_ERROR);
    const DWORD type = ::GetFileType(handle);
    if (type == FILE_TYPE_UNKNOWN && ::GetLastError() != NO_ERROR) {
        // A name the system knows with nothing that answers behind it (Wine
        // does this for a COM port mapped to a device that is not there).
        const DWORD error = ::GetLastError();
        ::CloseHandle(handle);
        checked.result = SerialResult::NoDevice;
        checked.cause = "no device answers: " + SystemText(error);
        return checked;
    }
    if (type != FILE_TYPE_CHAR) {
        ::CloseHandle(handle);
        checked.result = SerialResult::NotATerminal;
        checked.kind = type == FILE_TYPE_DISK ? "a file" : type == FILE_TYPE_PIPE ? "a pipe" : "no character device";
        return checked;
    }
    DCB state{};
    state.DCBlength = sizeof(DCB);
    if (!::GetCommState(handle, &state)) {
        const DWORD error = ::GetLastError();
        ::CloseHandle(handle);
        checked.result = win32::ResultForError(error, win32::Step::Identify);
        if (checked.result == SerialResult::NotATerminal) {
            checked.kind = "a character device that is no serial port";
        } else {
            checked.cause = SystemText(error);
        }
        return checked;
    }
    checked.result = SerialResult::Ok;
    checked.handle = handle;
    return checked;
}

}  // namespace

struct LocalLine::Native {
    HANDLE port = INVALID_HANDLE_VALUE;
    WakeSignal wake;  // Wake() makes a waiting Wait() return

    // The reader's event wait. While it is pending, the record and the mask
    // belong to the driver: neither may go, nor the handle, before it has
    // completed. Reader thread only (and Close(), when the reader is gone).
    OVERLAPPED waitRecord{};
    DWORD waitMask = 0;
    bool waitPending = false;
    bool pauseBeforeWait = false;  // the last wait came back without an event
    int emptyWaits = 0;            // in a row
    bool pollOnly = false;         // events do not work on this line
    bool lost = false;             // a wait found the line gone; Read() reports it
    std::string lostCause;

    OVERLAPPED readRecord{};  // reads complete within the call

    // The write in flight: the bytes stay in writeBuffer until it completes.
    std::mutex writeMutex;
    OVERLAPPED writeRecord{};
    bool writePending = false;
    DWORD writeSize = 0;
    DWORD writeError = 0;  // how the last write ended, for the next Write()
    std::array<uint8_t, kQueueSize> writeBuffer{};

    std::atomic<bool> closing{false};
    // A request that would not give its record back even after the handle
    // was closed: the records must then outlive this object.
    bool stranded = false;

    bool Open() const { return port != INVALID_HANDLE_VALUE; }

    // What one connection learnt of its line, forgotten at open and close.
    void ForgetLine()
    {
        waitPending = false;
        pauseBeforeWait = false;
        emptyWaits = 0;
        pollOnly = false;
        lost = false;
        lostCause.clear();
        closing.store(false);
    }

    // Called with writeMutex held: takes note of a write that has ended.
    void CollectWrite()
    {
        if (!writePending) return;
        DWORD done = 0;
        if (::GetOverlappedResult(port, &writeRecord, &done, FALSE)) {
            writePending = false;
            writeError = 0;
            return;
        }
        const DWORD error = ::GetLastError();
        if (error == ERROR_IO_INCOMPLETE) return;
        writePending = false;
        writeError = error;
    }

    // Waits, within a bound, for a request to give its record back.
    bool AwaitRelease(OVERLAPPED& record)
    {
        if (::WaitForSingleObject(record.hEvent, kReleaseWaitMs) != WAIT_OBJECT_0) return false;
        DWORD done = 0;
        return ::GetOverlappedResult(port, &record, &done, FALSE) || ::GetLastError() != ERROR_IO_INCOMPLETE;
    }
};

LocalLine::LocalLine() : m_native(std::make_unique<Native>()) {}

LocalLine::~LocalLine()
{
    Close();
    if (m_native->stranded) {
        // The driver still owns a record inside: giving it back to the heap
        // would let the driver write into someone else's memory later.
        [[maybe_unused]] Native* kept = m_native.release();
        return;
    }
    CloseEvents();
}

bool LocalLine::IsOpen() const { return m_native->Open(); }

intptr_t LocalLine::NativeHandle() const { return reinterpret_cast<intptr_t>(m_native->port); }

std::string LocalDefaultDevice(int portNumber) { return "COM" + std::to_string(portNumber); }

DeviceProbe ProbeLocalDevice(const std::string& device)
{
    Checked checked = OpenChecked(device, false);
    if (checked.handle != INVALID_HANDLE_VALUE) ::CloseHandle(checked.handle);
    return {checked.result, checked.result == SerialResult::NotATerminal ? checked.kind : checked.cause};
}

SerialResult LocalLine::Open(const std::string& device)
{
    const std::string what = BeginOpen(device);
    Checked checked = OpenChecked(device, true);
    if (checked.result == SerialResult::NotATerminal) {
        return Fail(checked.result, what + ": not a serial port (" + checked.kind + ")", {});
    }
    if (checked.result != SerialResult::Ok) return Fail(checked.result, what, checked.cause);
    const HANDLE handle = checked.handle;
    if (!CreateEvents()) {
        const DWORD error = ::GetLastError();
        ::CloseHandle(handle);
        return Fail(SerialResult::Failed, what + ": cannot create the line's events", SystemText(error));
    }
    // The mask and the timeouts are what the reader's wait and the writes
    // rely on: without them a wait would never end or a write never give up.
    // The queue sizes are only advice, which some USB drivers refuse.
    if (!::SetCommMask(handle, EV_RXCHAR)) {
        const DWORD error = ::GetLastError();
        ::CloseHandle(handle);
        return Fail(SerialResult::Failed, what + ": cannot select the line's events", SystemText(error));
    }
    ::SetupComm(handle, kQueueSize, kQueueSize);
    ::PurgeComm(handle, kPurgeAll);
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = kReadTimeoutMs;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = kWriteTimeoutMs;
    if (!::SetCommTimeouts(handle, &timeouts)) {
        const DWORD error = ::GetLastError();
        ::SetCommMask(handle, 0);
        ::CloseHandle(handle);
        return Fail(SerialResult::Failed, what + ": cannot set the line's timeouts", SystemText(error));
    }
    Native& native = *m_native;
    native.port = handle;
    native.ForgetLine();
    std::lock_guard lock(native.writeMutex);
    native.writePending = false;
    native.writeError = 0;
    return SerialResult::Ok;
}

SerialResult LocalLine::Configure(const LineSettings& settings)
{
    const std::string what = "configure " + m_path;
    const HANDLE port = m_native->port;
    if (!m_native->Open()) return Fail(SerialResult::Failed, what, SystemText(ERROR_INVALID_HANDLE));
    if (settings.byteSize < 5 || settings.byteSize > 8) {
        return Fail(SerialResult::Refused,
                    what + ": " + std::to_string(settings.byteSize) + " data bits are not supported", {});
    }
    if (settings.parity != Parity::None && settings.parity != Parity::Odd && settings.parity != Parity::Even) {
        return Fail(SerialResult::Refused,
                    what + ": parity " + std::to_string(static_cast<int>(settings.parity)) + " is not supported", {});
    }
    if (settings.stopBits != StopBits::One && settings.stopBits != StopBits::OneAndHalf &&
        settings.stopBits != StopBits::Two) {
        return Fail(SerialResult::Refused,
                    what + ": stop bits " + std::to_string(static_cast<int>(settings.stopBits)) + " are not supported",
                    {});
    }
    if (settings.baudRate == 0) return Fail(SerialResult::Refused, what + ": a rate of 0 baud", {});

    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    if (!::GetCommState(port, &dcb)) {
        const DWORD error = ::GetLastError();
        return Fail(win32::ResultForError(error, win32::Step::Configure), what, SystemText(error));
    }
    // The fixed line set-up; every field not named here stays as the driver
    // had it.
    dcb.BaudRate = settings.baudRate;
    dcb.ByteSize = settings.byteSize;
    dcb.Parity = static_cast<BYTE>(settings.parity);      // NOPARITY, ODDPARITY, EVENPARITY
    dcb.StopBits = static_cast<BYTE>(settings.stopBits);  // ONESTOPBIT, ONE5STOPBITS, TWOSTOPBITS
    dcb.fBinary = 1;
    dcb.fParity = 1;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fNull = 0;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    if (!::SetCommState(port, &dcb)) {
        const DWORD error = ::GetLastError();
        return Fail(win32::ResultForError(error, win32::Step::Configure), what, SystemText(error));
    }
    // A driver may take what it can do instead of what was asked; the device
    // would then see garbage.
    DCB back{};
    back.DCBlength = sizeof(DCB);
    if (!::GetCommState(port, &back)) {
        const DWORD error = ::GetLastError();
        return Fail(win32::ResultForError(error, win32::Step::Configure), what, SystemText(error));
    }
    if (back.BaudRate != dcb.BaudRate) {
        return Fail(SerialResult::Refused,
                    what + ": the driver did not take " + std::to_string(settings.baudRate) + " baud", {});
    }
    if (back.ByteSize != dcb.ByteSize || back.Parity != dcb.Parity || back.StopBits != dcb.StopBits) {
        return Fail(SerialResult::Refused, what + ": the driver did not take the character format", {});
    }
    Note(LineNote::Level::Trace, RequestLowLatency(reinterpret_cast<intptr_t>(port), m_path));
    // SetCommState has raised DTR and RTS (DTR_CONTROL_ENABLE,
    // RTS_CONTROL_ENABLE); a line without modem lines is found out here.
    SerialResult lines = SetDtr(true);
    if (lines != SerialResult::Ok) return lines;
    return SetRts(true);
}

SerialResult LocalLine::SetModemLine(bool dtr, bool on)
{
    const char* name = dtr ? "DTR" : "RTS";
    const std::string what = std::string(on ? "raise " : "lower ") + name + " on " + m_path;
    if (!m_native->Open()) return Fail(SerialResult::Failed, what, SystemText(ERROR_INVALID_HANDLE));
    if (!m_hasModemLines) return SerialResult::Ok;
    const DWORD function = dtr ? (on ? SETDTR : CLRDTR) : (on ? SETRTS : CLRRTS);
    if (::EscapeCommFunction(m_native->port, function)) return SerialResult::Ok;
    const DWORD error = ::GetLastError();
    if (win32::MeansNoModemLines(error)) {
        m_hasModemLines = false;
        return SerialResult::Ok;
    }
    return Fail(win32::ResultForError(error, win32::Step::Transfer), what, SystemText(error));
}

SerialResult LocalLine::SetDtr(bool on) { return SetModemLine(true, on); }

SerialResult LocalLine::SetRts(bool on) { return SetModemLine(false, on); }

SerialResult LocalLine::SetModemLines(bool dtr, bool rts)
{
    // One SetCommState with both controls, so that the board sees both edges
    // at once; EscapeCommFunction can change only one line per call.
    const std::string what = std::string("set DTR ") + (dtr ? "on" : "off") + " and RTS " + (rts ? "on" : "off") +
                             " on " + m_path;
    if (!m_native->Open()) return Fail(SerialResult::Failed, what, SystemText(ERROR_INVALID_HANDLE));
    if (!m_hasModemLines) return SerialResult::Ok;
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    if (::GetCommState(m_native->port, &dcb)) {
        dcb.fDtrControl = dtr ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
        dcb.fRtsControl = rts ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
        if (::SetCommState(m_native->port, &dcb)) return SerialResult::Ok;
    }
    const DWORD error = ::GetLastError();
    if (win32::MeansNoModemLines(error)) {
        m_hasModemLines = false;
        return SerialResult::Ok;
    }
    return Fail(win32::ResultForError(error, win32::Step::Transfer), what, SystemText(error));
}

std::size_t LocalLine::InputWaiting()
{
    if (!m_native->Open()) return 0;
    DWORD errors = 0;
    COMSTAT status{};
    if (!::ClearCommError(m_native->port, &errors, &status)) return 0;
    return status.cbInQue;
}

SerialResult LocalLine::Read(std::span<uint8_t> buffer, std::size_t& count)
{
    count = 0;
    Native& native = *m_native;
    const std::string what = "read " + m_path;
    if (!native.Open()) return Fail(SerialResult::Failed, what, SystemText(ERROR_INVALID_HANDLE));
    if (native.lost) return Fail(SerialResult::HungUp, what, native.lostCause);
    if (buffer.empty()) return SerialResult::Ok;
    // Only what is queued already, so the read ends within the call; this
    // also clears a line error, which would otherwise hold up every read.
    DWORD errors = 0;
    COMSTAT status{};
    if (!::ClearCommError(native.port, &errors, &status)) {
        const DWORD error = ::GetLastError();
        return Fail(win32::ResultForError(error, win32::Step::Status), what, SystemText(error));
    }
    const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(buffer.size(), status.cbInQue));
    if (wanted == 0) return SerialResult::WouldBlock;
    DWORD got = 0;
    BOOL done = ::ReadFile(native.port, buffer.data(), wanted, nullptr, &native.readRecord);
    if (!done && ::GetLastError() == ERROR_IO_PENDING) {
        done = ::GetOverlappedResult(native.port, &native.readRecord, &got, TRUE);
    } else if (done) {
        done = ::GetOverlappedResult(native.port, &native.readRecord, &got, FALSE);
    }
    if (!done) {
        const DWORD error = ::GetLastError();
        const SerialResult result = win32::ResultForError(error, win32::Step::Transfer);
        if (result == SerialResult::WouldBlock) return result;
        return Fail(result, what, SystemText(error));
    }
    count = got;
    return got > 0 ? SerialResult::Ok : SerialResult::WouldBlock;
}

SerialResult LocalLine::Write(std::span<const uint8_t> bytes, std::size_t& count)
{
    count = 0;
    Native& native = *m_native;
    const std::string what = "write " + m_path;
    std::lock_guard lock(native.writeMutex);
    if (!native.Open()) return Fail(SerialResult::Failed, what, SystemText(ERROR_INVALID_HANDLE));
    if (bytes.empty()) return SerialResult::Ok;
    // One write at a time: the record and the buffer are the write's until
    // it has ended.
    native.CollectWrite();
    if (native.writePending) return SerialResult::WouldBlock;
    if (native.writeError != 0) {
        const DWORD error = std::exchange(native.writeError, 0);
        const SerialResult result = win32::ResultForError(error, win32::Step::Transfer);
        if (result == SerialResult::HungUp) return Fail(result, what, SystemText(error));
        // A write that timed out or failed otherwise lost its bytes, as the
        // write timeout intends; the next one starts afresh.
    }
    const DWORD size = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), native.writeBuffer.size()));
    std::copy_n(bytes.begin(), size, native.writeBuffer.begin());
    native.writeSize = size;
    if (::WriteFile(native.port, native.writeBuffer.data(), size, nullptr, &native.writeRecord)) {
        count = size;
        return SerialResult::Ok;
    }
    const DWORD error = ::GetLastError();
    if (error == ERROR_IO_PENDING) {
        // Handed over: the driver sends it in the background.
        native.writePending = true;
        count = size;
        return SerialResult::Ok;
    }
    const SerialResult result = win32::ResultForError(error, win32::Step::Transfer);
    if (result == SerialResult::WouldBlock) return result;
    return Fail(result, what, SystemText(error));
}

std::size_t LocalLine::OutputPending()
{
    Native& native = *m_native;
    std::lock_guard lock(native.writeMutex);
    if (!native.Open()) return 0;
    native.CollectWrite();
    DWORD errors = 0;
    COMSTAT status{};
    const std::size_t queued = ::ClearCommError(native.port, &errors, &status) ? status.cbOutQue : 0;
    // The queue count covers an overlapped write that is under way; a driver
    // that does not count it is not believed.
    return native.writePending ? std::max<std::size_t>(queued, native.writeSize) : queued;
}

SerialResult LocalLine::WaitForOutput(std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    auto left = [&] {
        const auto rest = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        return static_cast<DWORD>(std::max<int64_t>(rest.count(), 0));
    };
    bool pending = false;
    {
        std::lock_guard lock(m_native->writeMutex);
        m_native->CollectWrite();
        pending = m_native->writePending;
    }
    // The write's own event says when the driver is done with it.
    if (pending) ::WaitForSingleObject(m_native->writeRecord.hEvent, left());
    // Then what the driver may still hold in its queue: it tells no one when
    // that runs empty; look every 2 ms, two characters at 9600 baud.
    while (OutputPending() > 0) {
        if (std::chrono::steady_clock::now() >= deadline) return SerialResult::WouldBlock;
        ::Sleep(2);
    }
    return SerialResult::Ok;
}

bool LocalLine::CreateEvents()
{
    Native& native = *m_native;
    if (native.wake.IsReady()) return true;
    native.wake.Create();
    // The records' events are manual-reset, as overlapped requests need.
    native.waitRecord.hEvent = NewEvent(true);
    native.readRecord.hEvent = NewEvent(true);
    native.writeRecord.hEvent = NewEvent(true);
    if (native.wake.IsReady() && native.waitRecord.hEvent != nullptr && native.readRecord.hEvent != nullptr &&
        native.writeRecord.hEvent != nullptr) {
        return true;
    }
    const DWORD error = ::GetLastError();
    CloseEvents();
    ::SetLastError(error);
    return false;
}

void LocalLine::CloseEvents()
{
    Native& native = *m_native;
    native.wake.Close();
    CloseEvent(native.waitRecord.hEvent);
    CloseEvent(native.readRecord.hEvent);
    CloseEvent(native.writeRecord.hEvent);
}

void LocalLine::Wake()
{
    m_native->wake.Raise();
}

SerialResult LocalLine::Wait(LineInterest interest, std::chrono::milliseconds timeout, LineEvents& events)
{
    events = {};
    Native& native = *m_native;
    const std::string what = "wait for " + m_path;
    if (!native.wake.IsReady()) return Fail(SerialResult::Failed, what, "the line has no wake event");
    const bool watchInput = interest.input && native.Open() && !native.lost;
    const bool watchOutput = interest.output && native.Open();
    const bool endless = timeout.count() < 0;
    const auto deadline = std::chrono::steady_clock::now() + (endless ? std::chrono::milliseconds(0) : timeout);

    // A lost line is reported as input: the read that follows says so.
    auto lose = [&](DWORD error) {
        native.lost = true;
        native.lostCause = error == 0 ? std::string("the line hung up") : SystemText(error);
        events.input = true;
    };
    auto statusReadable = [&] {
        DWORD errors = 0;
        COMSTAT status{};
        return ::ClearCommError(native.port, &errors, &status) != FALSE;
    };
    auto judge = [&](bool succeeded, DWORD error) {
        switch (win32::JudgeWaitEnd(succeeded, error, native.waitMask, native.closing.load(),
                                    !succeeded && statusReadable())) {
        case win32::WaitEnd::Events:
            native.pauseBeforeWait = false;
            native.emptyWaits = 0;
            if (native.waitMask & EV_RXCHAR) events.input = true;
            break;
        case win32::WaitEnd::Empty:
            native.pauseBeforeWait = true;
            native.pollOnly = ++native.emptyWaits >= kEmptyWaitsBeforePolling;
            break;
        case win32::WaitEnd::Lost: lose(error); break;
        case win32::WaitEnd::Closed: break;
        }
    };

    for (;;) {
        if (watchOutput) {
            std::lock_guard lock(native.writeMutex);
            native.CollectWrite();
            if (!native.writePending) events.output = true;
        }
        if (watchInput && !native.waitPending && !native.pauseBeforeWait && !native.pollOnly) {
            native.waitMask = 0;
            // Completed at once or pending, the record's event is set when
            // the wait has ended; either way it is collected below.
            if (::WaitCommEvent(native.port, &native.waitMask, &native.waitRecord) ||
                ::GetLastError() == ERROR_IO_PENDING) {
                native.waitPending = true;
            } else {
                judge(false, ::GetLastError());
            }
        }
        if (watchInput && !native.lost) {
            // Bytes that came before the wait was armed raise no event; and
            // this is where a line whose driver keeps a wait pending for ever
            // after a hang-up (Wine) is found out.
            DWORD errors = 0;
            COMSTAT status{};
            if (!::ClearCommError(native.port, &errors, &status)) {
                lose(::GetLastError());
            } else if (status.cbInQue > 0) {
                events.input = true;
            }
        }
        if (events.input || events.output) break;

        HANDLE handles[3] = {reinterpret_cast<HANDLE>(native.wake.Handle()), nullptr, nullptr};
        DWORD count = 1;
        const bool waitingOnLine = watchInput && native.waitPending && !native.lost;
        if (waitingOnLine) handles[count++] = native.waitRecord.hEvent;
        if (watchOutput) handles[count++] = native.writeRecord.hEvent;
        DWORD slice = INFINITE;
        if (!endless) {
            const auto rest =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            slice = static_cast<DWORD>(std::clamp<int64_t>(rest.count(), 0, 0x7FFFFFFE));
        }
        if (watchInput) {
            slice = std::min(slice, native.pollOnly          ? kPollMs
                                    : native.pauseBeforeWait ? kEmptyWaitPauseMs
                                                             : kLivenessSliceMs);
        }
        const DWORD signalled = ::WaitForMultipleObjects(count, handles, FALSE, slice);
        if (signalled == WAIT_FAILED) {
            const DWORD error = ::GetLastError();
            return Fail(SerialResult::Failed, what, SystemText(error));
        }
        if (signalled == WAIT_OBJECT_0) events.woken = true;
        if (waitingOnLine && ::WaitForSingleObject(native.waitRecord.hEvent, 0) == WAIT_OBJECT_0) {
            DWORD unused = 0;
            const BOOL succeeded = ::GetOverlappedResult(native.port, &native.waitRecord, &unused, FALSE);
            const DWORD error = succeeded ? 0 : ::GetLastError();
            if (succeeded || error != ERROR_IO_INCOMPLETE) {
                native.waitPending = false;
                judge(succeeded != FALSE, error);
            }
        }
        if (signalled == WAIT_TIMEOUT) native.pauseBeforeWait = false;
        if (events.woken || events.input || events.output) break;
        if (!endless && std::chrono::steady_clock::now() >= deadline) break;
    }
    return SerialResult::Ok;
}

SerialResult LocalLine::Purge()
{
    if (!m_native->Open()) return Fail(SerialResult::Failed, "purge " + m_path, SystemText(ERROR_INVALID_HANDLE));
    if (::PurgeComm(m_native->port, kPurgeAll)) return SerialResult::Ok;
    const DWORD error = ::GetLastError();
    return Fail(win32::ResultForError(error, win32::Step::Transfer), "purge " + m_path, SystemText(error));
}

SerialResult LocalLine::PurgeInput()
{
    if (!m_native->Open()) return Fail(SerialResult::Failed, "purge " + m_path, SystemText(ERROR_INVALID_HANDLE));
    if (::PurgeComm(m_native->port, kPurgeInput)) return SerialResult::Ok;
    const DWORD error = ::GetLastError();
    return Fail(SerialResult::Failed, "purge " + m_path, SystemText(error));
}

SerialResult LocalLine::DiscardAtClose()
{
    if (!m_native->Open()) return Fail(SerialResult::Failed, "discard " + m_path, SystemText(ERROR_INVALID_HANDLE));
    // Output only if it is still stuck: the caller has let it leave first,
    // within the write timeout, and the end frame must not be thrown away.
    const DWORD queues = OutputPending() > 0 ? kPurgeInput | kPurgeOutput : kPurgeInput;
    if (::PurgeComm(m_native->port, queues)) return SerialResult::Ok;
    const DWORD error = ::GetLastError();
    return Fail(SerialResult::Failed, "discard " + m_path, SystemText(error));
}

void LocalLine::Close()
{
    Native& native = *m_native;
    if (!native.Open()) return;
    native.closing.store(true);
    // An empty mask releases a pending event wait; it must have completed
    // before its record or the handle go.
    ::SetCommMask(native.port, 0);
    if (native.waitPending && !native.AwaitRelease(native.waitRecord)) {
        ::CancelIoEx(native.port, &native.waitRecord);
        native.waitPending = !native.AwaitRelease(native.waitRecord);
    } else {
        native.waitPending = false;
    }
    if (m_hasModemLines && !::EscapeCommFunction(native.port, CLRDTR) && win32::MeansNoModemLines(::GetLastError())) {
        m_hasModemLines = false;
    }
    DiscardAtClose();
    bool writeStuck = false;
    {
        std::lock_guard lock(native.writeMutex);
        native.CollectWrite();
        if (native.writePending) {
            // The purge ended it; wait for the driver to give the buffer back.
            writeStuck = !native.AwaitRelease(native.writeRecord);
        }
        native.writePending = false;
        native.writeError = 0;
    }
    const HANDLE port = native.port;
    {
        std::lock_guard lock(native.writeMutex);
        native.port = INVALID_HANDLE_VALUE;
    }
    ::CloseHandle(port);
    // Closing the handle cancels whatever it still had; if even that does not
    // bring a record back, the records must never be freed.
    if (native.waitPending && ::WaitForSingleObject(native.waitRecord.hEvent, kReleaseWaitMs) != WAIT_OBJECT_0) {
        native.stranded = true;
    }
    if (writeStuck && ::WaitForSingleObject(native.writeRecord.hEvent, kReleaseWaitMs) != WAIT_OBJECT_0) {
        native.stranded = true;
    }
    native.ForgetLine();
}

std::unique_ptr<LineTransport> MakeLocalLine() { return std::make_unique<LocalLine>(); }

}  // namespace dravel
