// The simulated loader: the device's side of a transfer.
//
// What it owns: the sequence state (expected and last accepted sequence
// byte), the image collected so far, the fault plan and the counters of the
// summary. It receives parser events and turns them into answer lines that
// the caller sends; it never touches the line itself. Accepted payloads are
// stored once, whatever the host resends; a frame that would leave a gap in
// the image is answered T so the transfer fails loudly.
//
// Threads: one owner thread, the same one that drives the parser.
//
// Failures: a failed image write (reported by the environment) puts the
// loader into Status::Failed; it then answers nothing more.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "fault_plan.h"
#include "frame_parser.h"

namespace dravel::devsim {

class LoaderEnvironment {
public:
    virtual void Log(std::string_view line) = 0;
    // Writes a finished image; false after reporting why it could not.
    virtual bool StoreImage(std::span<const uint8_t> image) = 0;

protected:
    ~LoaderEnvironment() = default;
};

struct LoaderStats {
    uint64_t frames = 0;       // good data frames, resends included
    uint64_t resends = 0;      // duplicates and frames sent again after a refusal
    uint64_t badFrames = 0;    // failed CRC, oversized length, cut short
    uint64_t bytesStored = 0;  // payload bytes taken into an image
    uint64_t transfers = 0;    // end frames accepted
};

class Loader final : public FrameSink {
public:
    enum class Status : uint8_t { Serving, Finished, HangUp, Failed };

    Loader(LoaderEnvironment& environment, FaultPlan plan, uint64_t transfers);

    void OnProbe() override;
    void OnFrame(const ParsedFrame& frame) override;
    void OnBadFrame(const BadFrame& bad) override;
    void OnNoise(std::size_t count) override;

    // The board was reset: a transfer in progress is dropped, as the
    // loader's memory is; the next transfer starts with a probe.
    void Restart();

    // Answer bytes produced since the last call, in order.
    std::vector<uint8_t> TakeOutput();

    Status GetStatus() const { return m_status; }
    const LoaderStats& Stats() const { return m_stats; }
    std::span<const uint8_t> Image() const { return m_image; }

private:
    void OnEndFrame(const ParsedFrame& frame);
    void OnDataFrame(const ParsedFrame& frame);
    void Answer(uint8_t letter, std::size_t garbage = 0);
    void StartTransfer();
    void Log(const char* format, ...) __attribute__((format(printf, 2, 3)));

    LoaderEnvironment& m_environment;
    FaultPlan m_plan;
    uint64_t m_transfersWanted;
    Status m_status = Status::Serving;
    LoaderStats m_stats;
    std::vector<uint8_t> m_image;
    std::vector<uint8_t> m_output;

    uint8_t m_expected = 0;
    std::optional<uint8_t> m_lastAccepted;
    uint64_t m_lastAcceptedBlock = 0;
    uint64_t m_blocksSeen = 0;
    bool m_blockOpen = false;      // the expected block has arrived at least once
    uint64_t m_block = 0;          // its number
    uint32_t m_arrivals = 0;       // its good arrivals so far
    bool m_refusedSinceAccept = false;
    bool m_framesSinceProbe = false;
};

}  // namespace dravel::devsim
