// The transfer worker: synchronise, send the file frame by frame, resend what
// the device did not accept, end with the end frame, report the outcome.

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "protocol/file_reader.h"
#include "protocol/main_frame.h"

namespace dravel {

namespace {

std::string Format(const char* pattern, int32_t value) {
    char text[64];
    std::snprintf(text, sizeof text, pattern, static_cast<int>(value));
    return text;
}

bool IsQuietKind(int kind) { return kind == 5 || kind == 6; }

uint8_t BlockCommandFor(int kind) {
    switch (kind) {
        case 3: return CMD_BLOCK_6;
        case 4: return CMD_BLOCK_7;
        default: return CMD_BLOCK_5;
    }
}

}  // namespace

int CMainFrame::TransferThreadProc(CMainFrame* frame) {
    // Without its frame the worker has nowhere to report to; StartTransfer
    // never passes none.
    if (frame == nullptr) return 0;
    frame->RunTransfer();
    return 0;
}

void CMainFrame::RaiseSequence() {
    m_sequenceNumber += 1;
    if (m_sequenceNumber == 256) m_sequenceNumber = 0;
}

void CMainFrame::WriteSyncProbe() {
    m_transmitBuffer[0] = kSyncByte;
    if (const auto port = Port()) port->WriteComm(m_transmitBuffer.data(), 1);
}

CMainFrame::Wait CMainFrame::WaitForStatus() {
    const auto port = Port();
    for (;;) {
        if (m_transferStatus.load() != XFER_WAIT) return Wait::Answered;
        if (m_stopRequested.load()) return Wait::Stopped;
        // A line that has hung up will never answer: end now instead of
        // resending into it forever.
        if (!port || port->IsLineLost()) return Wait::LineLost;
        std::this_thread::sleep_for(std::chrono::milliseconds(kStatusPollMs));
    }
}

void CMainFrame::RunTransfer() {
    auto kind = [this] {
        FormView* form = m_form.load();
        return form ? form->TransferKind() : 2;
    };

    // Preparation.
    m_transferStatus.store(XFER_WAIT);
    m_blockBuffer.fill(0);
    m_sequenceNumber = -1;
    m_transmitBuffer.fill(0);
    int32_t noAnswerCount = 0;
    int32_t refusalCount = 0;
    int32_t blockCount = 0;
    bool abortMark = false;
    TransferProgress progress;
    ImageFile file;

    // Every way out of the transfer after the sync probe has gone: the port is
    // closed and destroyed, the send button enabled, the outcome recorded.
    auto end = [&](TransferOutcome outcome, const char* boxText, const std::string& cause) {
        file.Close();
        m_blockBuffer.fill(0);
        m_transmitBuffer.fill(0);
        if (!cause.empty()) m_window.ReportCause(cause);
        if (boxText != nullptr) m_window.MessageBox(boxText);
        ReleasePort();
        if (!IsQuietKind(kind())) EnableSend();
        progress.finished = true;
        Publish(progress);
        Finish(outcome);
    };
    auto endOnWait = [&](Wait wait) {
        if (wait == Wait::Stopped) {
            end(TransferOutcome::Stopped, nullptr, {});
        } else {
            const auto port = Port();
            end(TransferOutcome::Failed, text::kError,
                port ? port->LineLostCause() : std::string("the port was closed"));
        }
    };

    // Sync phase: the probe once a second until the device answers.
    int32_t taken = XFER_WAIT;
    do {
        WriteSyncProbe();
        m_window.SetTimer(TIMER_SYNC, kSyncTimeoutMs);
        const Wait wait = WaitForStatus();
        if (wait != Wait::Answered) {
            m_window.KillTimer(TIMER_SYNC);
            return endOnWait(wait);
        }
        const int32_t status = m_transferStatus.load();
        if (status == XFER_NAK || status == XFER_OTHER) {
            m_transferStatus.store(XFER_NAK);
        } else if (status == XFER_TIMEOUT) {
            ++noAnswerCount;
            if (!IsQuietKind(kind())) ShowStatusText(Format(text::kNoAnswer, noAnswerCount));
            m_transferStatus.store(XFER_NAK);
        }
        m_window.KillTimer(TIMER_SYNC);
        taken = m_transferStatus.exchange(XFER_WAIT);
    } while (taken == XFER_NAK);

    if (!IsQuietKind(kind())) ShowStatusText(text::kSyncDetected);
    m_blockBuffer.fill(0);
    m_transmitBuffer.fill(0);
    progress.synchronised = true;
    Publish(progress);

    if (IsQuietKind(kind())) return end(TransferOutcome::Completed, text::kCompleted, {});

    // Opening the file: the path is read now, after synchronising.
    const std::string path = FilePath();
    if (!file.Open(path)) {
        return end(TransferOutcome::OpenFailed, (path + text::kOpenFailed).c_str(), file.Error());
    }
    progress.fileSize = file.Size();

    // One frame and its answer, sent again until the device takes it. Returns
    // false when the transfer cannot go on (stopped, line lost, aborted); the
    // transfer has then been ended.
    auto sendAndWait = [&](uint8_t command, std::size_t length) -> bool {
        for (;;) {
            SendFrame(command, static_cast<int32_t>(length));
            m_window.SetTimer(TIMER_ANSWER, kAnswerTimeoutMs);
            const Wait wait = WaitForStatus();
            if (wait != Wait::Answered) {
                m_window.KillTimer(TIMER_ANSWER);
                endOnWait(wait);
                return false;
            }
            const int currentKind = kind();
            switch (m_transferStatus.load()) {
                case XFER_ACK:
                    ShowStatusText(Format(currentKind == 1   ? text::kTransmittedData
                                          : currentKind == 4 ? text::kTransmittedCountKind4
                                                             : text::kTransmittedCount,
                                          blockCount));
                    break;
                case XFER_NAK:
                    ++refusalCount;
                    ShowStatusText(Format(text::kNakData, refusalCount));
                    break;
                case XFER_OTHER:
                    ShowStatusText(text::kOtherAnswer);
                    m_transferStatus.store(XFER_NAK);
                    break;
                case XFER_TIMEOUT:
                    ++noAnswerCount;
                    ShowStatusText(Format(text::kNoAnswer, noAnswerCount));
                    m_transferStatus.store(XFER_NAK);
                    break;
                case XFER_END:
                    if (currentKind != 1) abortMark = true;
                    break;
                default:
                    break;
            }
            m_window.KillTimer(TIMER_ANSWER);
            if (abortMark) {
                end(TransferOutcome::Failed, text::kError, "the device aborted the transfer");
                return false;
            }
            if (m_transferStatus.load() == XFER_NAK) {
                m_transferStatus.store(XFER_WAIT);
                ++progress.resends;
                Publish(progress);
                continue;
            }
            m_blockBuffer.fill(0);
            m_transferStatus.store(XFER_WAIT);
            return true;
        }
    };

    if (kind() == 1) {
        LineReader lines(file);
        for (;;) {
            uint8_t command = 0;
            std::size_t length = 0;
            const LineReader::Result result = lines.Next(m_blockBuffer, command, length);
            if (result == LineReader::Result::End) break;
            if (result == LineReader::Result::Empty) {
                // Nothing to send: a line without a command character carries
                // no payload either.
                m_window.ReportCause("line " + std::to_string(lines.LineNumber()) +
                                     " holds only CR LF and has no command character; skipped");
                m_blockBuffer.fill(0);
                continue;
            }
            if (result == LineReader::Result::TooLong) {
                return end(TransferOutcome::Failed, text::kError,
                           path + ": line " + std::to_string(lines.LineNumber()) +
                               " does not fit in one frame (1024 bytes with its command, CR and LF)");
            }
            RaiseSequence();
            ++blockCount;
            ++progress.blocks;
            if (!sendAndWait(command, length)) return;
            progress.bytesSent += length + 3;
            Publish(progress);
        }
    } else {
        BlockReader blocks(file);
        if (blocks.Start()) {
            for (;;) {
                const std::size_t length = blocks.Fill(m_blockBuffer);
                if (file.ReadFailed()) break;
                RaiseSequence();
                ++blockCount;
                ++progress.blocks;
                if (!sendAndWait(BlockCommandFor(kind()), length)) return;
                progress.bytesSent += length;
                Publish(progress);
                if (blocks.AtEnd()) break;
            }
        }
    }
    if (file.ReadFailed()) {
        // Never a completed transfer for a file that could not be read to its end.
        return end(TransferOutcome::Failed, text::kError, path + ": " + file.Error());
    }
    if (file.Size() && file.BytesRead() != *file.Size()) {
        // Written to while it was sent: what the device holds is neither the
        // old image nor the new one.
        return end(TransferOutcome::Failed, text::kError,
                   path + ": changed while it was sent (" + std::to_string(*file.Size()) + " bytes when opened, " +
                       std::to_string(file.BytesRead()) + " read)");
    }

    // End frame; nobody waits for its answer.
    RaiseSequence();
    SendFrame(CMD_END, 0);
    end(TransferOutcome::Completed, text::kCompleted, {});
}

}  // namespace dravel
