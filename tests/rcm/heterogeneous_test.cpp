// Residue curves of the heterogeneous ethanol/water/benzene mixture with
// three-phase flashes, between the singular points the search reports.
#include <gtest/gtest.h>

#include <vector>

#include "azeotrope/search.h"
#include "map_fixture.h"
#include "rcm/residue_curve.h"

namespace {

using namespace ternival;
using ternival::testing::dist2;
using ternival::testing::X3;

class EthanolWaterBenzene : public ternival::testing::TernaryMapFixture {
protected:
    void SetUp() override {
        TernaryMapFixture::SetUp();
        open("ethanol_water_benzene.toml", {"ETHANOL", "WATER", "BENZENE"});
        std::vector<double> comp(300), temps(100), stemps(103);
        std::vector<std::int64_t> sizes(100), phases(100), codes(100);
        singular_x_.assign(3 * 103, 0.0);
        codes_.assign(103, 0);
        std::int64_t error = 0;
        naz_ = 100;
        Azeo_Search(3, pressure_, 3, "", ids_, naz_, comp, temps, sizes, phases, codes, singular_x_, stemps, codes_,
                    error);
        ASSERT_EQ(error, 0);
        ASSERT_EQ(naz_, 4);
    }
    std::int64_t naz_ = 0;
};

TEST_F(EthanolWaterBenzene, ResidueCurvesRunFromTheHeteroazeotropeToAPureComponent) {
    // Starting points in the three distillation regions around the
    // heteroazeotrope (each region ends at one of the pure components).
    const std::vector<X3> starts{{0.7, 0.05, 0.25}, {0.15, 0.7, 0.15}, {0.1, 0.1, 0.8}};
    std::vector<int> stable_ends;
    for (const X3& x0 : starts) {
        std::vector<double> pts(3 * 500);
        std::int64_t count = 500, dir = 0, err = 0;
        residue_curve(3, x0, 1, 1, naz_, singular_x_, codes_, pressure_, ids_, "", 3, 0.1, count, dir, pts, err);
        ASSERT_EQ(err, 0) << x0[0] << ' ' << x0[1];
        ASSERT_GT(count, 5);
        int first = -1, last = -1;
        for (int j = 0; j < 3 + naz_; ++j) {
            const auto sj = std::span(singular_x_).subspan(static_cast<std::size_t>(j) * 3, 3);
            if (dist2(std::span(pts).first(3), sj) < 1e-6) first = j;
            if (dist2(std::span(pts).subspan(static_cast<std::size_t>(count - 1) * 3, 3), sj) < 1e-6) last = j;
        }
        ASSERT_GE(first, 0);
        ASSERT_GE(last, 0);
        EXPECT_EQ(codes_[static_cast<std::size_t>(first)], kUnstableNode);
        EXPECT_EQ(first, 3 + 2) << "the ternary heteroazeotrope is found third";
        EXPECT_LT(last, 3) << "ends at a pure component";
        stable_ends.push_back(last);
    }
    EXPECT_EQ(stable_ends, (std::vector<int>{0, 1, 2}));
}

}  // namespace
