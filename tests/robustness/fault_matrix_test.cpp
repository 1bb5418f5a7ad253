// The fault matrix: dravel-cli <-> dravel-linesim <-> dravel-devsim, end to
// end, for each kind of line fault at a few rates and seeds.
//
// The property every run must hold: either the tool says "Transfer
// Completed " and the simulator stored exactly the file (zero-padded to whole
// blocks), or the tool ends with a failure text and a non-zero exit - never a
// completed transfer with a wrong or missing block, and never a hang. The one
// admitted exception is the known limit of the protocol: nobody acknowledges
// the end frame, so a completed run whose end frame was damaged on the line,
// or refused by the simulator for a sequence gap, leaves the device without
// its image. It is only admitted with evidence (a fault in the end frame's
// bytes, or the simulator's refusal in its log).
//
// Faults are bounded (--max-faults, single stalls) so that every run ends:
// the protocol itself resends without limit.
//
// DRAVEL_MATRIX_MINUTES=10 runs the long matrix (random seeds, all cases in
// turn) for that long; DRAVEL_MATRIX_REPORT=FILE appends one line per run.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <random>

#include "tests/support/files.h"
#include "tests/support/line_bench.h"
#include "tests/support/process.h"


namespace {

using namespace dravel::testing;
using namespace std::chrono_literals;

enum class Outcome { Completed, Failed, EndFrameLost, Violation };

const char* ToString(Outcome outcome) {
    switch (outcome) {
        case Outcome::Completed: return "completed";
        case Outcome::Failed: return "failed";
        case Outcome::EndFrameLost: return "end-frame-lost";
        case Outcome::Violation: return "VIOLATION";
    }
    return "?";
}

void PrintTo(Outcome outcome, std::ostream* out) { *out << ToString(outcome); }

enum class Expect { Complete, Fail, Either };

struct MatrixCase {
    std::string name;
    std::vector<std::string> relay;
    Expect expect = Expect::Either;
    bool faultsExpected = true;
    std::size_t imageSize = 8 * 1024 + 100;
    double timerScale = 0.05;
};

constexpr std::size_t kEndFrameBytes = 41;

struct Verdict {
    Outcome outcome;
    std::string why;
};

Verdict Judge(const TransferRun& run) {
    if (run.TimedOut()) return {Outcome::Violation, "the tool had not ended at the deadline"};
    const bool completed = run.Said("Transfer Completed ");
    const bool error = run.Said("Transfer Error !! ") || run.Said("CommPort Open Error") ||
                       run.Said("Can't Open Port.. Check and try again") ||
                       run.cliOut.find(" Open Failed") != std::string::npos;
    if (completed) {
        if (error) return {Outcome::Violation, "both a completion and a failure were reported"};
        if (run.cliExit != 0) return {Outcome::Violation, "completed, but exit " + std::to_string(*run.cliExit)};
        if (run.stored) {
            const std::string expected = Padded(run.image);
            if (*run.stored == expected) return {Outcome::Completed, ""};
            std::size_t at = 0;
            while (at < run.stored->size() && at < expected.size() && (*run.stored)[at] == expected[at]) ++at;
            return {Outcome::Violation, "completed with a wrong image: " + std::to_string(run.stored->size()) +
                                            " bytes stored, " + std::to_string(expected.size()) +
                                            " expected, first difference at " + std::to_string(at)};
        }
        const bool refusedAtEnd = run.simLog.find("image not written") != std::string::npos;
        bool endFrameHit = false;
        for (const auto& fault : run.faults) {
            endFrameHit |= fault.direction == "up" && fault.offset + kEndFrameBytes >= run.upBytes;
        }
        // The line may also go down after the tool has written the end frame.
        const bool lineCut = run.relaySummary.find("end=hangup") != std::string::npos;
        if (refusedAtEnd || endFrameHit || lineCut) {
            return {Outcome::EndFrameLost, refusedAtEnd ? "end frame refused (sequence gap)"
                                           : endFrameHit ? "end frame damaged"
                                                         : "line cut inside the end frame"};
        }
        return {Outcome::Violation, "completed, but the simulator never took the end frame and no fault explains it"};
    }
    if (run.cliExit == 0) return {Outcome::Violation, "exit 0 without \"Transfer Completed \""};
    if (!error) return {Outcome::Violation, "ended (exit " + std::to_string(*run.cliExit) + ") without a failure text"};
    if (run.stored) return {Outcome::Violation, "the tool failed, yet the simulator took an end frame"};
    return {Outcome::Failed, ""};
}

std::vector<MatrixCase> Cases() {
    const std::vector<std::string> paced = {"--baud", "115200"};
    auto with = [&](std::vector<std::string> options) {
        options.insert(options.begin(), paced.begin(), paced.end());
        return options;
    };
    return {
        {"clean", with({}), Expect::Complete, false},
        {"flip_up_1e-3", with({"--direction", "up", "--flip-rate", "0.001", "--max-faults", "8"}), Expect::Complete},
        {"flip_up_5e-3", with({"--direction", "up", "--flip-rate", "0.005", "--max-faults", "8"}), Expect::Complete},
        {"flip_down_0.1", with({"--direction", "down", "--flip-rate", "0.1", "--max-faults", "8"}), Expect::Complete},
        {"flip_down_0.3", with({"--direction", "down", "--flip-rate", "0.3", "--max-faults", "8"}), Expect::Complete},
        {"drop_up_1e-3", with({"--direction", "up", "--drop-rate", "0.001", "--max-faults", "8"}), Expect::Complete},
        {"drop_down_0.1", with({"--direction", "down", "--drop-rate", "0.1", "--max-faults", "8"}), Expect::Complete},
        {"dup_up_1e-3", with({"--direction", "up", "--dup-rate", "0.001", "--max-faults", "8"}), Expect::Complete},
        {"dup_down_0.1", with({"--direction", "down", "--dup-rate", "0.1", "--max-faults", "8"}), Expect::Complete},
        // Longer than the (scaled) 1000 ms answer timer: the answer comes late
        // and the tool may take it for the answer to its resend.
        {"stall_down_1500ms", with({"--direction", "down", "--stall", "1500@10"}), Expect::Either},
        {"stall_up_1500ms_mid_frame", with({"--direction", "up", "--stall", "1500@3000"}), Expect::Complete},
        {"stall_both_2500ms", with({"--stall", "2500@4000"}), Expect::Either},
        {"hangup_mid_frame", with({"--hangup-after", "5000"}), Expect::Fail, false},
        // 1 probe + 9 blocks up (9298 bytes) and 10 answers down (30): the
        // line goes 20 bytes into the end frame, which nobody acknowledges.
        {"hangup_in_end_frame", with({"--hangup-after", "9348"}), Expect::Either, false},
        {"mixed_both", with({"--flip-rate", "0.002", "--drop-rate", "0.002", "--dup-rate", "0.002",
                             "--max-faults", "10"}), Expect::Either},
        {"mixed_stall_and_flips", with({"--flip-rate", "0.01", "--max-faults", "6", "--stall", "1500@2000",
                                        "--stall", "1200@7000"}), Expect::Either},
        // A slow line and a driver that hands over one byte at a time: the
        // device's first answer arrives in pieces and must still be heard.
        {"slow_9600", {"--baud", "9600"}, Expect::Complete, false, 8 * 1024 + 100, 0.25},
        {"bytewise_down_115200", with({"--direction", "down", "--chunk", "1"}), Expect::Complete, false},
        // 300 blocks: the sequence byte wraps past 255 with faults about.
        {"wrap_unpaced_flips", {"--direction", "up", "--flip-rate", "0.00002", "--max-faults", "6"},
         Expect::Complete, true, 300 * 1024},
    };
}

void Report(const MatrixCase& matrixCase, uint64_t seed, const TransferRun& run, const Verdict& verdict) {
    const char* path = std::getenv("DRAVEL_MATRIX_REPORT");
    if (!path || !*path) return;
    std::ofstream out(path, std::ios::app);
    std::map<std::string, int> kinds;
    for (const auto& fault : run.faults) ++kinds[fault.kind + "_" + fault.direction];
    out << matrixCase.name << '\t' << seed << '\t' << ToString(verdict.outcome) << '\t'
        << (run.cliExit ? std::to_string(*run.cliExit) : "killed") << '\t' << run.seconds << '\t';
    for (const auto& [kind, count] : kinds) out << kind << '=' << count << ' ';
    out << "stalls=" << run.stalls << '\t' << "resends=" << Field(run.simOut, "resends")
        << " crc_failures=" << Field(run.simOut, "crc_failures") << '\t' << verdict.why << '\n';
}

std::string Describe(const TransferRun& run) {
    return "\n--- tool stdout:\n" + run.cliOut + "--- tool stderr:\n" + run.cliErr + "--- relay: " +
           run.relaySummary + "--- simulator: " + run.simOut + "--- simulator log (tail):\n" +
           run.simLog.substr(run.simLog.size() > 2000 ? run.simLog.size() - 2000 : 0);
}

Verdict RunCase(const MatrixCase& matrixCase, uint64_t seed, TransferRun* keep = nullptr) {
    TransferSetup setup;
    setup.relayOptions = matrixCase.relay;
    setup.relayOptions.insert(setup.relayOptions.end(), {"--seed", std::to_string(seed)});
    setup.imageSize = matrixCase.imageSize;
    setup.timerScale = matrixCase.timerScale;
    setup.imageSeed = seed;
    TransferRun run = RunTransfer(setup);
    const Verdict verdict = Judge(run);
    Report(matrixCase, seed, run, verdict);
    if (const char* verbose = std::getenv("DRAVEL_MATRIX_VERBOSE"); verbose && *verbose) {
        std::printf("== %s seed %llu: %s %s%s\n", matrixCase.name.c_str(), static_cast<unsigned long long>(seed),
                    ToString(verdict.outcome), verdict.why.c_str(), Describe(run).c_str());
    }
    if (keep) *keep = std::move(run);
    return verdict;
}

struct MatrixParam {
    MatrixCase matrixCase;
    uint64_t seed;
};

void PrintTo(const MatrixParam& param, std::ostream* out) { *out << param.matrixCase.name << " seed " << param.seed; }

class FaultMatrix : public ::testing::TestWithParam<MatrixParam> {};

TEST_P(FaultMatrix, EndsCompletedWithTheExactImageOrWithAFailureNeverWithAGap) {
    const auto& [matrixCase, seed] = GetParam();
    TransferRun run;
    const Verdict verdict = RunCase(matrixCase, seed, &run);
    RecordProperty("outcome", ToString(verdict.outcome));
    RecordProperty("seconds", std::to_string(run.seconds));
    const std::string replay = "replay: case " + matrixCase.name + " seed " + std::to_string(seed);
    ASSERT_NE(verdict.outcome, Outcome::Violation) << verdict.why << " (" << replay << ")" << Describe(run);
    if (matrixCase.expect == Expect::Complete) {
        EXPECT_NE(verdict.outcome, Outcome::Failed) << "faults of this kind must not end a transfer (" << replay
                                                    << ")" << Describe(run);
    }
    if (matrixCase.expect == Expect::Fail) {
        EXPECT_EQ(verdict.outcome, Outcome::Failed) << replay << Describe(run);
    }
    if (matrixCase.faultsExpected) {
        EXPECT_GT(run.faults.size() + run.stalls, 0u) << "the case injected nothing (" << replay << ")";
    } else if (matrixCase.name == "clean") {
        EXPECT_EQ(verdict.outcome, Outcome::Completed) << Describe(run);
    }
}

std::vector<MatrixParam> CiMatrix() {
    std::vector<MatrixParam> params;
    for (const auto& matrixCase : Cases()) {
        const int seeds = matrixCase.faultsExpected ? 2 : 1;
        for (int seed = 1; seed <= seeds; ++seed) params.push_back({matrixCase, static_cast<uint64_t>(seed)});
    }
    return params;
}

std::string ParamName(const ::testing::TestParamInfo<MatrixParam>& param) {
    std::string name = param.param.matrixCase.name + "_seed" + std::to_string(param.param.seed);
    for (auto& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    }
    return name;
}

INSTANTIATE_TEST_SUITE_P(Ci, FaultMatrix, ::testing::ValuesIn(CiMatrix()), ParamName);

TEST(FaultMatrixLong, RandomSeedsForTheGivenMinutes) {
    const char* minutesText = std::getenv("DRAVEL_MATRIX_MINUTES");
    if (!minutesText || std::atof(minutesText) <= 0) GTEST_SKIP() << "set DRAVEL_MATRIX_MINUTES to run it";
    const auto until = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                          std::chrono::duration<double, std::ratio<60>>(std::atof(minutesText)));
    std::random_device entropy;
    const auto cases = Cases();
    std::map<std::string, std::map<Outcome, int>> tally;
    std::size_t runs = 0;
    for (std::size_t turn = 0; Clock::now() < until; ++turn) {
        const MatrixCase& matrixCase = cases[turn % cases.size()];
        const uint64_t seed = (static_cast<uint64_t>(entropy()) << 32) | entropy();
        TransferRun run;
        const Verdict verdict = RunCase(matrixCase, seed, &run);
        ++tally[matrixCase.name][verdict.outcome];
        ++runs;
        EXPECT_NE(verdict.outcome, Outcome::Violation)
            << verdict.why << " (replay: case " << matrixCase.name << " seed " << seed << ")" << Describe(run);
        if (matrixCase.expect == Expect::Complete) {
            EXPECT_NE(verdict.outcome, Outcome::Failed) << matrixCase.name << " seed " << seed << Describe(run);
        }
    }
    std::ostringstream table;
    for (const auto& [name, outcomes] : tally) {
        table << name << ':';
        for (const auto& [outcome, count] : outcomes) table << ' ' << ToString(outcome) << '=' << count;
        table << '\n';
    }
    std::printf("%zu runs\n%s", runs, table.str().c_str());
}

}  // namespace
