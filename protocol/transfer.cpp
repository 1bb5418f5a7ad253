#include "protocol/transfer.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include "protocol/download.h"

namespace dravel {

namespace {

std::string Format(const char* pattern, int32_t value) {
    char text[64];
    std::snprintf(text, sizeof text, pattern, static_cast<int>(value));
    return text;
}

}  // namespace

// How a transfer ended: the outcome, the text of the result box (none when it
// was stopped from outside) and the cause for standard error.
struct TransferRun::Ending {
    TransferOutcome outcome;
    std::string boxText;
    std::string cause;

    static Ending Completed() { return {TransferOutcome::Completed, text::kCompleted, {}}; }
    static Ending Failed(std::string cause) { return {TransferOutcome::Failed, text::kError, std::move(cause)}; }
};

TransferRun::TransferRun(CMainFrame& frame) : m_frame(frame), m_limits(frame.Limits()) {}

void TransferRun::Run() {
    BoardHooks* hooks = m_frame.m_boardHooks;
    for (int attempt = 1;; ++attempt) {
        Ending ending = Attempt(attempt);
        if (!hooks || !hooks->TryAgain(ending.outcome, attempt)) {
            Finish(ending);
            return;
        }
        // Only the last attempt's result is shown; the earlier ones are causes.
        m_frame.m_window.ReportCause("attempt " + std::to_string(attempt) + ": " +
                                     (ending.cause.empty() ? ending.boxText : ending.cause) + "; trying again");
        m_file.Close();
        m_noAnswerCount = m_refusalCount = m_blockCount = 0;
        m_abortMark = false;
        m_progress = TransferProgress();
        Publish();
    }
}

TransferRun::Ending TransferRun::Attempt(int attempt) {
    Prepare();
    BoardHooks* hooks = m_frame.m_boardHooks;
    const auto port = m_frame.Port();
    if (hooks) {
        hooks->AttemptBegins(attempt);
        std::string cause;
        if (!port) return Ending::Failed("the port was closed");
        if (!hooks->BeforeSync(*port, cause)) {
            if (m_frame.m_stopRequested.load()) return {TransferOutcome::Stopped, {}, {}};
            return {TransferOutcome::LineRefused, {}, std::move(cause)};
        }
    }
    std::optional<Ending> ending = Synchronise();
    if (!ending && IsQuiet(Kind())) ending = Ending::Completed();
    if (!ending) ending = OpenFile();
    if (!ending) ending = Kind() == TransferKind::TextLines ? SendLines() : SendBlocks();
    if (!ending) ending = CheckFileSentWhole();
    if (ending) return *ending;
    m_frame.m_loaderAnswerPending.store(true);
    m_frame.m_tapReceived.store(hooks != nullptr);
    SendEndFrame();
    if (!hooks) return Ending::Completed();
    std::string cause;
    const bool confirmed = hooks->AfterEnd(*port, cause);
    m_frame.m_tapReceived.store(false);
    if (m_frame.m_stopRequested.load()) return {TransferOutcome::Stopped, {}, {}};
    if (!confirmed) return {TransferOutcome::NotConfirmed, text::kCompleted, std::move(cause)};
    return Ending::Completed();
}

void TransferRun::Prepare() {
    m_frame.m_transferStatus.store(XFER_WAIT);
    m_frame.m_blockBuffer.fill(0);
    m_frame.m_sequenceNumber = -1;
    m_frame.m_transmitBuffer.fill(0);
}

std::optional<TransferRun::Ending> TransferRun::Synchronise() {
    // The probe once a second until the device answers A (or T).
    auto& status = m_frame.m_transferStatus;
    if (m_limits.syncTimeout) m_syncDeadline = std::chrono::steady_clock::now() + *m_limits.syncTimeout;
    int32_t taken = XFER_WAIT;
    do {
        WriteSyncProbe();
        m_frame.m_window.SetTimer(TIMER_SYNC, kSyncTimeoutMs);
        const Wait wait = WaitForStatus();
        if (wait != Wait::Answered) {
            m_frame.m_window.KillTimer(TIMER_SYNC);
            return EndingOfWait(wait);
        }
        const int32_t answer = status.load();
        if (answer == XFER_NAK || answer == XFER_OTHER) {
            status.store(XFER_NAK);
        } else if (answer == XFER_TIMEOUT) {
            ++m_noAnswerCount;
            ++m_progress.noAnswers;
            if (!IsQuiet(Kind())) m_frame.ShowStatusText(Format(text::kNoAnswer, m_noAnswerCount));
            status.store(XFER_NAK);
        }
        m_frame.m_window.KillTimer(TIMER_SYNC);
        taken = status.exchange(XFER_WAIT);
    } while (taken == XFER_NAK);
    m_syncDeadline.reset();

    if (!IsQuiet(Kind())) m_frame.ShowStatusText(text::kSyncDetected);
    m_frame.m_blockBuffer.fill(0);
    m_frame.m_transmitBuffer.fill(0);
    m_progress.synchronised = true;
    Publish();
    return std::nullopt;
}

std::optional<TransferRun::Ending> TransferRun::OpenFile() {
    // The path is read now, after synchronising: a file chosen meanwhile is
    // the one that goes.
    auto [path, image] = m_frame.FileToSend();
    m_path = std::move(path);
    if (image) {
        m_file.OpenBytes(std::move(image));
    } else if (!m_file.Open(m_path)) {
        return Ending{TransferOutcome::OpenFailed, m_path + text::kOpenFailed, m_file.Error()};
    }
    m_progress.fileSize = m_file.Size();
    return std::nullopt;
}

std::optional<TransferRun::Ending> TransferRun::SendBlocks() {
    BlockReader blocks(m_file);
    // An empty file sends the end frame and no data frame.
    if (!blocks.Start()) return std::nullopt;
    for (;;) {
        const std::size_t length = blocks.Fill(m_frame.m_blockBuffer);
        if (m_file.ReadFailed()) return std::nullopt;
        RaiseSequence();
        ++m_blockCount;
        ++m_progress.blocks;
        if (auto ending = SendAndWait(BlockCommand(Kind()), length)) return ending;
        m_progress.bytesSent += length;
        Publish();
        if (blocks.AtEnd()) return std::nullopt;
    }
}

std::optional<TransferRun::Ending> TransferRun::SendLines() {
    LineReader lines(m_file);
    for (;;) {
        uint8_t command = 0;
        std::size_t length = 0;
        switch (lines.Next(m_frame.m_blockBuffer, command, length)) {
            case LineReader::Result::End: return std::nullopt;
            case LineReader::Result::Empty:
                // A line without a command character carries no payload either.
                m_frame.m_window.ReportCause("line " + std::to_string(lines.LineNumber()) +
                                             " holds only CR LF and has no command character; skipped");
                m_frame.m_blockBuffer.fill(0);
                continue;
            case LineReader::Result::TooLong:
                return Ending::Failed(m_path + ": line " + std::to_string(lines.LineNumber()) +
                                      " does not fit in one frame (1024 bytes with its command, CR and LF)");
            case LineReader::Result::Line: break;
        }
        RaiseSequence();
        ++m_blockCount;
        ++m_progress.blocks;
        if (auto ending = SendAndWait(command, length)) return ending;
        m_progress.bytesSent += length + 3;
        Publish();
    }
}

std::optional<TransferRun::Ending> TransferRun::CheckFileSentWhole() {
    // Never a completed transfer for a file that could not be read to its end.
    if (m_file.ReadFailed()) return Ending::Failed(m_path + ": " + m_file.Error());
    if (m_file.Size() && m_file.BytesRead() != *m_file.Size()) {
        // Written to while it was sent: what the device holds is neither the
        // old image nor the new one.
        return Ending::Failed(m_path + ": changed while it was sent (" + std::to_string(*m_file.Size()) +
                              " bytes when opened, " + std::to_string(m_file.BytesRead()) + " read)");
    }
    return std::nullopt;
}

void TransferRun::SendEndFrame() {
    // Nobody waits for its answer.
    RaiseSequence();
    m_frame.SendFrame(CMD_END, 0);
}

std::optional<TransferRun::Ending> TransferRun::SendAndWait(uint8_t command, std::size_t length) {
    auto& status = m_frame.m_transferStatus;
    for (int32_t sendings = 1;; ++sendings) {
        m_frame.SendFrame(command, static_cast<int32_t>(length));
        m_frame.m_window.SetTimer(TIMER_ANSWER, kAnswerTimeoutMs);
        const Wait wait = WaitForStatus();
        if (wait != Wait::Answered) {
            m_frame.m_window.KillTimer(TIMER_ANSWER);
            return EndingOfWait(wait);
        }
        const TransferKind kind = Kind();
        switch (status.load()) {
            case XFER_ACK: m_frame.ShowStatusText(Format(AcknowledgeText(kind), m_blockCount)); break;
            case XFER_NAK:
                ++m_refusalCount;
                m_frame.ShowStatusText(Format(text::kNakData, m_refusalCount));
                break;
            case XFER_OTHER:
                m_frame.ShowStatusText(text::kOtherAnswer);
                status.store(XFER_NAK);
                break;
            case XFER_TIMEOUT:
                ++m_noAnswerCount;
                ++m_progress.noAnswers;
                m_frame.ShowStatusText(Format(text::kNoAnswer, m_noAnswerCount));
                status.store(XFER_NAK);
                break;
            case XFER_END:
                // The text-line kind takes it as an acceptance.
                if (kind != TransferKind::TextLines) m_abortMark = true;
                break;
            default: break;
        }
        m_frame.m_window.KillTimer(TIMER_ANSWER);
        if (m_abortMark) return Ending::Failed("the device aborted the transfer");
        if (status.load() == XFER_NAK) {
            status.store(XFER_WAIT);
            const auto sequence = static_cast<uint8_t>(m_frame.m_sequenceNumber & 0xFF);
            if (m_limits.maxResends && sendings > *m_limits.maxResends) {
                return Ending::Failed(Format("frame %d", m_blockCount) + " (sequence byte " +
                                      Format("%02X", sequence) + ") was sent " + std::to_string(sendings) +
                                      " times without being accepted");
            }
            ++m_progress.resends;
            Publish();
            Trace(TraceEvent::Resend(sequence, sendings + 1));
            continue;
        }
        m_frame.m_blockBuffer.fill(0);
        status.store(XFER_WAIT);
        return std::nullopt;
    }
}

void TransferRun::Finish(const Ending& ending) {
    m_file.Close();
    m_frame.m_blockBuffer.fill(0);
    m_frame.m_transmitBuffer.fill(0);
    if (!ending.cause.empty()) m_frame.m_window.ReportCause(ending.cause);
    if (!ending.boxText.empty()) m_frame.m_window.MessageBox(ending.boxText);
    m_frame.ReleasePort();
    if (!IsQuiet(Kind())) m_frame.EnableSend();
    m_progress.finished = true;
    Publish();
    m_frame.Finish(ending.outcome);
}

TransferRun::Wait TransferRun::WaitForStatus() {
    const auto port = m_frame.Port();
    for (;;) {
        if (m_frame.m_transferStatus.load() != XFER_WAIT) return Wait::Answered;
        if (m_frame.m_stopRequested.load()) return Wait::Stopped;
        if (m_syncDeadline && std::chrono::steady_clock::now() >= *m_syncDeadline) return Wait::SyncTimedOut;
        // A line that has hung up will never answer: end now instead of
        // resending into it forever.
        if (!port || port->IsLineLost()) return Wait::LineLost;
        m_frame.AwaitStatusChange(std::chrono::milliseconds(kStatusPollMs));
    }
}

TransferRun::Ending TransferRun::EndingOfWait(Wait wait) {
    if (wait == Wait::Stopped) return {TransferOutcome::Stopped, {}, {}};
    const auto port = m_frame.Port();
    if (wait == Wait::SyncTimedOut) {
        const auto seconds = std::chrono::duration<double>(*m_limits.syncTimeout).count();
        char limit[32];
        std::snprintf(limit, sizeof limit, "%g", seconds);
        return {TransferOutcome::NoAnswer, {},
                "no answer from the device" + (port ? " on " + port->DevicePath() : std::string()) + " within " +
                    limit + " s"};
    }
    return Ending::Failed(port ? port->LineLostCause() : std::string("the port was closed"));
}

void TransferRun::WriteSyncProbe() {
    // A single byte, not a frame: no sequence, length or CRC.
    m_frame.m_transmitBuffer[0] = kSyncByte;
    Trace(TraceEvent::Of(TraceEvent::Kind::Probe, std::span<const uint8_t>(m_frame.m_transmitBuffer).first(1)));
    if (const auto port = m_frame.Port()) port->WriteComm(m_frame.m_transmitBuffer.data(), 1);
}

void TransferRun::Trace(const TraceEvent& event) { m_frame.Trace(event); }

void TransferRun::RaiseSequence() {
    m_frame.m_sequenceNumber += 1;
    if (m_frame.m_sequenceNumber == 256) m_frame.m_sequenceNumber = 0;
}

TransferKind TransferRun::Kind() const {
    const FormView* form = m_frame.m_form.load();
    return form ? ToTransferKind(form->TransferKind()) : TransferKind::Blocks5;
}

void TransferRun::Publish() { m_frame.Publish(m_progress); }

}  // namespace dravel
