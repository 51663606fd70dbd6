#include <gtest/gtest.h>

#include <array>

#include "azeotrope/stability.h"

namespace {

using ternival::TopologicalIndex;

TEST(TopologicalIndex, ZeotropicTernaryIsConsistent) {
    // Three pure components: a stable node, a saddle and an unstable node.
    const std::array<std::int64_t, 3> counts{1, 1, 1};
    const std::array<std::int64_t, 3> codes{1, 2, 3};
    EXPECT_EQ(TopologicalIndex(counts, codes), 2);
}

TEST(TopologicalIndex, BinarySaddleWithTwoStableNodes) {
    const std::array<std::int64_t, 4> counts{1, 1, 1, 2};
    const std::array<std::int64_t, 4> codes{1, 1, 3, 2};
    EXPECT_EQ(TopologicalIndex(counts, codes), 2);
}

TEST(TopologicalIndex, AcetoneChloroformMethanolTopology) {
    // The map with four distillation regions at 1 atm: acetone and
    // chloroform are saddles, methanol a stable node; the acetone-chloroform
    // azeotrope is a stable node, the two methanol azeotropes are unstable
    // nodes, the ternary azeotrope a saddle: 1 + 3 - 2 = 2.
    const std::array<std::int64_t, 7> counts{1, 1, 1, 2, 2, 2, 3};
    const std::array<std::int64_t, 7> codes{2, 2, 1, 1, 3, 3, 2};
    EXPECT_EQ(TopologicalIndex(counts, codes), 2);
}

TEST(TopologicalIndex, WrongClassificationIsDetected) {
    // A ternary node where a saddle belongs breaks the balance.
    const std::array<std::int64_t, 7> counts{1, 1, 1, 2, 2, 2, 3};
    const std::array<std::int64_t, 7> codes{2, 2, 1, 1, 3, 3, 1};
    EXPECT_NE(TopologicalIndex(counts, codes), 2);
}

}  // namespace
