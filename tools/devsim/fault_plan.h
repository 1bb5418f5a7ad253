// Fault plan of the simulated loader: which probe to ignore, which block to
// refuse, abort, accept silently, prefix with garbage or hang up after.
//
// Blocks are numbered from 1 in the order their first good frame arrives;
// a frame sent again keeps its block's number. Numbers run on across
// transfers of one run, so a fault fires once even when the host starts
// over after it.
//
// What it owns: the configured faults and which one-shot faults have fired.
// Threads: one owner thread.
// Failures: the Parse* helpers return false for a malformed option value;
// the plan itself never fails.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string_view>
#include <utility>

namespace dravel::devsim {

struct FaultConfig {
    uint64_t silentProbes = 0;
    std::map<uint64_t, uint32_t> refuse;  // block -> how many arrivals to refuse
    uint64_t refuseEvery = 0;             // 0: off
    std::optional<uint64_t> abortAt;
    std::set<uint64_t> loseAnswer;
    std::optional<std::size_t> garbageEvery;   // ahead of every data-frame answer
    std::map<uint64_t, std::size_t> garbageAt; // block -> count, first answer only
    std::optional<uint64_t> hangupAfter;
};

// "K" or "K:TIMES", both at least 1.
bool ParseRefuse(std::string_view text, uint64_t& block, uint32_t& times);
// "N" or "N@K", both at least 1.
bool ParseGarbage(std::string_view text, std::size_t& count, std::optional<uint64_t>& block);
// A whole decimal number within [min, max], nothing around it.
bool ParseNumber(std::string_view text, uint64_t min, uint64_t max, uint64_t& value);

enum class BlockVerdict : uint8_t { Accept, Refuse, Abort };

class FaultPlan {
public:
    explicit FaultPlan(FaultConfig config) : m_config(std::move(config)) {}

    // Called for every probe; false while it is one of the first K.
    bool AnswerProbe();

    // `arrival` counts this block's good frames, 1 for the first.
    BlockVerdict OnArrival(uint64_t block, uint32_t arrival) const;

    // True once for a block whose acceptance must go unanswered.
    bool LoseAnswer(uint64_t block);

    // Garbage bytes to put ahead of an answer to `block`; `firstAnswer` is
    // false for the answer to a duplicate.
    std::size_t GarbageBefore(uint64_t block, bool firstAnswer) const;

    bool HangupAfter(uint64_t block) const { return m_config.hangupAfter == block; }

    const FaultConfig& Config() const { return m_config; }

private:
    FaultConfig m_config;
    uint64_t m_probes = 0;
    std::set<uint64_t> m_lost;
};

}  // namespace dravel::devsim
