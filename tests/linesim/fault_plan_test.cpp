// The fault plan: where faults fall, and why a run can be replayed.
#include <gtest/gtest.h>

#include <array>

#include "fault_plan.h"

namespace {

using dravel::linesim::ByteFate;
using dravel::linesim::Direction;
using dravel::linesim::FaultPlan;
using dravel::linesim::FaultRates;

TEST(FaultPlanPlaces, AByteMeetsTheSameFateWhateverHappenedBeforeIt) {
    const FaultPlan plan({0.1, 0.1, 0.1}, 42, true, true);
    // Asking out of order, or asking twice, must not move any fault.
    std::vector<ByteFate> forward;
    for (uint64_t offset = 0; offset < 5000; ++offset) forward.push_back(plan.Decide(Direction::Up, offset));
    for (uint64_t offset = 5000; offset-- > 0;) {
        const ByteFate fate = plan.Decide(Direction::Up, offset);
        ASSERT_EQ(fate.drop, forward[offset].drop);
        ASSERT_EQ(fate.flipBit, forward[offset].flipBit);
        ASSERT_EQ(fate.dup, forward[offset].dup);
    }
}

TEST(FaultPlanPlaces, TheTwoDirectionsAndTwoSeedsMeetDifferentFaults) {
    const FaultPlan plan({0.05, 0, 0}, 42, true, true);
    const FaultPlan other({0.05, 0, 0}, 43, true, true);
    int sameUpDown = 0, sameSeeds = 0, flips = 0;
    for (uint64_t offset = 0; offset < 20000; ++offset) {
        const bool up = plan.Decide(Direction::Up, offset).flipBit.has_value();
        flips += up;
        sameUpDown += up && plan.Decide(Direction::Down, offset).flipBit.has_value();
        sameSeeds += up && other.Decide(Direction::Up, offset).flipBit.has_value();
    }
    // Independent streams share about 5% of the faulted places.
    EXPECT_LT(sameUpDown, flips / 5);
    EXPECT_LT(sameSeeds, flips / 5);
}

TEST(FaultPlanRates, EachKindComesAtItsRateAndEveryBitGetsFlipped) {
    const FaultPlan plan({0.02, 0.01, 0.03}, 7, true, true);
    constexpr int kBytes = 200000;
    int drops = 0, flips = 0, dups = 0;
    std::array<int, 8> bits{};
    for (uint64_t offset = 0; offset < kBytes; ++offset) {
        const ByteFate fate = plan.Decide(Direction::Down, offset);
        drops += fate.drop;
        dups += fate.dup;
        if (fate.flipBit) {
            ++flips;
            ASSERT_LT(*fate.flipBit, 8);
            ++bits[*fate.flipBit];
        }
        if (fate.drop) {
            ASSERT_TRUE(!fate.flipBit && !fate.dup) << "a lost byte cannot be damaged as well";
        }
    }
    EXPECT_NEAR(drops, kBytes * 0.01, kBytes * 0.01 * 0.15);
    EXPECT_NEAR(flips, kBytes * 0.99 * 0.02, kBytes * 0.02 * 0.15);
    EXPECT_NEAR(dups, kBytes * 0.99 * 0.03, kBytes * 0.03 * 0.15);
    for (int count : bits) EXPECT_GT(count, flips / 16);
}

TEST(FaultPlanRates, ChangingOneRateLeavesTheOtherKindsInPlace) {
    const FaultPlan few({0.01, 0.0, 0.0}, 11, true, true);
    const FaultPlan more({0.01, 0.0, 0.2}, 11, true, true);
    for (uint64_t offset = 0; offset < 20000; ++offset) {
        ASSERT_EQ(few.Decide(Direction::Up, offset).flipBit, more.Decide(Direction::Up, offset).flipBit);
    }
}

TEST(FaultPlanRates, ZeroRatesAndAnExcludedDirectionAreClean) {
    const FaultPlan none({0, 0, 0}, 1, true, true);
    const FaultPlan upOnly({1, 0, 1}, 1, true, false);
    for (uint64_t offset = 0; offset < 10000; ++offset) {
        ASSERT_TRUE(none.Decide(Direction::Up, offset).Clean());
        ASSERT_TRUE(upOnly.Decide(Direction::Down, offset).Clean());
        ASSERT_FALSE(upOnly.Decide(Direction::Up, offset).Clean());
    }
}

}  // namespace
