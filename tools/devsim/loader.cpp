#include "loader.h"

#include <cstdarg>
#include <cstdio>

namespace dravel::devsim {

namespace {
// Garbage must not hold a line end, or the host would see a line in it.
constexpr uint8_t kGarbageByte = 0x3F;
}  // namespace

Loader::Loader(LoaderEnvironment& environment, FaultPlan plan, uint64_t transfers)
    : m_environment(environment), m_plan(std::move(plan)), m_transfersWanted(transfers) {}

void Loader::Log(const char* format, ...) {
    char line[320];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    m_environment.Log(line);
}

std::vector<uint8_t> Loader::TakeOutput() {
    std::vector<uint8_t> out;
    out.swap(m_output);
    return out;
}

void Loader::Answer(uint8_t letter, std::size_t garbage) {
    m_output.insert(m_output.end(), garbage, kGarbageByte);
    m_output.push_back(kSyncByte);
    m_output.push_back(letter);
    m_output.push_back(ANSWER_LINE_END);
}

void Loader::StartTransfer() {
    m_image.clear();
    m_expected = 0;
    m_lastAccepted.reset();
    m_blockOpen = false;
    m_refusedSinceAccept = false;
    m_framesSinceProbe = false;
}

void Loader::Restart() {
    if (m_status != Status::Serving) return;
    if (m_framesSinceProbe) Log("reset: transfer dropped (%zu bytes)", m_image.size());
    StartTransfer();
}

void Loader::OnProbe() {
    if (m_status != Status::Serving) return;
    const bool restart = m_framesSinceProbe;
    const std::size_t dropped = m_image.size();
    // A probe means the host starts from scratch, answered or not.
    StartTransfer();
    if (!m_plan.AnswerProbe()) {
        Log("probe ignored (silent)");
        return;
    }
    Answer(ANSWER_ACK);
    if (restart) {
        Log("probe answered, transfer restarted (%zu bytes dropped)", dropped);
    } else {
        Log("probe answered");
    }
}

void Loader::OnNoise(std::size_t count) {
    if (m_status != Status::Serving) return;
    Log("noise bytes=%zu dropped", count);
}

void Loader::OnBadFrame(const BadFrame& bad) {
    if (m_status != Status::Serving) return;
    ++m_stats.badFrames;
    m_refusedSinceAccept = true;
    const std::size_t garbage = m_plan.GarbageBefore(0, false);
    Answer(ANSWER_NAK, garbage);
    if (garbage != 0) {
        Log("bad frame reason=%s bytes=%zu answer=N garbage=%zu", ToString(bad.reason), bad.bytes, garbage);
    } else {
        Log("bad frame reason=%s bytes=%zu answer=N", ToString(bad.reason), bad.bytes);
    }
}

void Loader::OnFrame(const ParsedFrame& frame) {
    if (m_status != Status::Serving) return;
    m_framesSinceProbe = true;
    if (frame.command == CMD_END) {
        OnEndFrame(frame);
    } else {
        OnDataFrame(frame);
    }
}

void Loader::OnDataFrame(const ParsedFrame& frame) {
    ++m_stats.frames;
    char extra[64] = "";
    if (frame.skippedBytes != 0) std::snprintf(extra, sizeof extra, " resynced_after=%zu", frame.skippedBytes);
    const unsigned seq = frame.sequence;
    const unsigned cmd = frame.command;
    const unsigned len = frame.length;

    if (frame.sequence != m_expected) {
        if (m_lastAccepted == frame.sequence) {
            // Our acceptance got lost or came too late: the host sent it again.
            ++m_stats.resends;
            const std::size_t garbage = m_plan.GarbageBefore(m_lastAcceptedBlock, false);
            Answer(ANSWER_ACK, garbage);
            Log("frame seq=%u cmd=0x%02x len=%u crc=ok answer=A duplicate block=%llu garbage=%zu%s", seq, cmd,
                len, static_cast<unsigned long long>(m_lastAcceptedBlock), garbage, extra);
            return;
        }
        // The host has moved past a block we never accepted (it took a
        // damaged answer for an A): stop before the image gets a hole.
        const std::size_t garbage = m_plan.GarbageBefore(0, false);
        Answer(ANSWER_END, garbage);
        Log("frame seq=%u cmd=0x%02x len=%u crc=ok answer=T skipped expected=%u garbage=%zu%s", seq, cmd, len,
            static_cast<unsigned>(m_expected), garbage, extra);
        return;
    }

    if (!m_blockOpen) {
        m_blockOpen = true;
        m_block = ++m_blocksSeen;
        m_arrivals = 0;
    }
    ++m_arrivals;
    if (m_refusedSinceAccept) ++m_stats.resends;
    const auto block = static_cast<unsigned long long>(m_block);
    // The first answer to a block carries its garbage, whatever the letter.
    const std::size_t garbage = m_plan.GarbageBefore(m_block, m_arrivals == 1);

    switch (m_plan.OnArrival(m_block, m_arrivals)) {
    case BlockVerdict::Abort:
        Answer(ANSWER_END, garbage);
        Log("frame seq=%u cmd=0x%02x len=%u crc=ok answer=T abort block=%llu garbage=%zu%s", seq, cmd, len, block,
            garbage, extra);
        return;
    case BlockVerdict::Refuse:
        m_refusedSinceAccept = true;
        Answer(ANSWER_NAK, garbage);
        Log("frame seq=%u cmd=0x%02x len=%u crc=ok answer=N refused block=%llu arrival=%u garbage=%zu%s", seq, cmd,
            len, block, m_arrivals, garbage, extra);
        return;
    case BlockVerdict::Accept: break;
    }

    m_image.insert(m_image.end(), frame.payload.begin(), frame.payload.end());
    m_stats.bytesStored += frame.payload.size();
    m_lastAccepted = frame.sequence;
    m_lastAcceptedBlock = m_block;
    m_expected = static_cast<uint8_t>(frame.sequence + 1);
    m_blockOpen = false;
    m_refusedSinceAccept = false;

    if (m_plan.LoseAnswer(m_block)) {
        Log("frame seq=%u cmd=0x%02x len=%u crc=ok answer=none stored=%u block=%llu lost%s", seq, cmd, len, len,
            block, extra);
    } else {
        Answer(ANSWER_ACK, garbage);
        Log("frame seq=%u cmd=0x%02x len=%u crc=ok answer=A stored=%u block=%llu garbage=%zu%s", seq, cmd, len,
            len, block, garbage, extra);
    }
    if (m_plan.HangupAfter(m_block)) {
        Log("hangup after block=%llu", block);
        m_status = Status::HangUp;
    }
}

void Loader::OnEndFrame(const ParsedFrame& frame) {
    const unsigned seq = frame.sequence;
    if (frame.sequence != m_expected) {
        // Ending here would leave the image a block short (or long).
        Answer(ANSWER_END);
        Log("end seq=%u answer=T expected=%u image not written", seq, static_cast<unsigned>(m_expected));
        return;
    }
    if (!m_environment.StoreImage(m_image)) {
        Log("end seq=%u image could not be written", seq);
        m_status = Status::Failed;
        return;
    }
    Answer(ANSWER_ACK);
    ++m_stats.transfers;
    Log("end seq=%u answer=A bytes=%zu transfer=%llu", seq, m_image.size(),
        static_cast<unsigned long long>(m_stats.transfers));
    if (m_stats.transfers >= m_transfersWanted) {
        m_status = Status::Finished;
    } else {
        StartTransfer();
    }
}

}  // namespace dravel::devsim
