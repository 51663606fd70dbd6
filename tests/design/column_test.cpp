// Column design against what can be worked out independently: for
// constant relative volatilities, the minimum reflux of Underwood's
// equations and the minimum stages of Fenske's, both computed here; and
// the refusals of splits the mass balance does not allow.
//
// Distillation regions of published maps: acetone/chloroform/methanol at
// 1 atm has four (its two minimum-boiling binary azeotropes are unstable
// nodes, methanol and the maximum-boiling acetone/chloroform azeotrope
// stable nodes; every pairing is a region), ethanol/water/benzene with
// three phases has three (one from the heterogeneous ternary azeotrope to
// each pure component), and a zeotropic mixture one.
#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <set>
#include <sstream>

#include "../azeotrope/search_env.h"
#include "design/classify.h"
#include "design/column.h"
#include "design/regions.h"

namespace ternival::design {
namespace {

// Relative volatilities 4 : 2 : 1 at every temperature: ideal liquids
// whose vapour pressures share the temperature term.
constexpr std::array<double, 3> kAlpha{4.0, 2.0, 1.0};

class Column : public testing::SearchEnvironment {
protected:
    void SetUp() override {
        SearchEnvironment::SetUp();
        std::ostringstream f;
        for (int i = 0; i < 3; ++i)
            f << "[[component]]\nid = \"C" << i << "\"\nmw = 50.0\nantoine = [" << 21.0 + std::log(kAlpha[i])
              << ", -3600.0]\n";
        OpenText("alpha.toml", f.str() + "[[method]]\nname = \"IDEAL\"\nmodel = \"IDEAL\"\n");
        std::ranges::copy(Numbered(3), spec_.ids.begin());
        spec_.method = "IDEAL";
    }
    ColumnSpec spec_;
};

// The bottoms that a distillate reaches at total reflux in `stages`
// stages: each stage divides the fractions by the volatilities.
Composition BottomsAfter(const Composition& d, double stages) {
    Composition b{};
    double s = 0.0;
    for (std::size_t i = 0; i < 3; ++i) s += b[i] = d[i] / std::pow(kAlpha[i], stages);
    for (double& v : b) v /= s;
    return b;
}

// Underwood's minimum reflux: theta between the keys' volatilities from
// sum(alpha z / (alpha - theta)) = 1 - q, then
// Rmin + 1 = sum(alpha xD / (alpha - theta)).
double Underwood(const Composition& z, const Composition& d, double q, double a_heavy_key, double a_light_key) {
    auto f = [&](double th) {
        double s = 0.0;
        for (std::size_t i = 0; i < 3; ++i) s += kAlpha[i] * z[i] / (kAlpha[i] - th);
        return s - (1.0 - q);
    };
    double lo = a_heavy_key + 1e-9, hi = a_light_key - 1e-9;
    for (int it = 0; it < 200; ++it) {
        const double mid = 0.5 * (lo + hi);
        ((f(mid) > 0.0) == (f(lo) > 0.0) ? lo : hi) = mid;
    }
    const double th = 0.5 * (lo + hi);
    double r = 0.0;
    for (std::size_t i = 0; i < 3; ++i) r += kAlpha[i] * d[i] / (kAlpha[i] - th);
    return r - 1.0;
}

TEST_F(Column, MinimumStagesAreFenskes) {
    // Fenske: N = ln[(xD1/xD2)(xB2/xB1)] / ln(alpha12), which the bottoms
    // built stage by stage satisfy exactly.
    for (const double n : {6.0, 9.4, 14.0}) {
        spec_.distillate = {0.96, 0.0399, 0.0001};
        spec_.bottoms = BottomsAfter(spec_.distillate, n);
        for (std::size_t i = 0; i < 3; ++i) spec_.feed[i] = 0.3 * spec_.distillate[i] + 0.7 * spec_.bottoms[i];
        const double fenske = std::log((spec_.distillate[0] / spec_.distillate[1]) * (spec_.bottoms[1] / spec_.bottoms[0])) /
                              std::log(kAlpha[0] / kAlpha[1]);
        ASSERT_NEAR(fenske, n, 1e-9);
        const TotalReflux t = MinimumStages(spec_);
        ASSERT_TRUE(t.stages) << t.error;
        EXPECT_LE(std::abs(*t.stages - fenske), 1.0) << n;
    }
}

TEST_F(Column, MinimumRefluxIsUnderwoods) {
    struct Case { Composition d, b; double q, heavy, light; };  // heavy, light: the keys' volatilities
    // Sharp splits, as Underwood's equations take them (the non-keys at
    // 1e-10 in the other product): direct splits (the light component
    // overhead) with saturated liquid and half vaporised feeds, and an
    // indirect one (the heavy component in the bottoms).
    const Case cases[] = {{{0.99, 0.01 - 1e-10, 1e-10}, {0.005, 0.45, 0.545 - 0.0}, 1.0, 2.0, 4.0},
                          {{0.99, 0.01 - 1e-10, 1e-10}, {0.005, 0.45, 0.545}, 0.5, 2.0, 4.0},
                          {{0.45, 0.55 - 1e-4, 1e-4}, {1e-10, 0.005, 0.995 - 1e-10}, 1.0, 1.0, 2.0}};
    for (const Case& c : cases) {
        spec_.distillate = c.d;
        spec_.bottoms = c.b;
        for (std::size_t i = 0; i < 3; ++i) spec_.feed[i] = 0.4 * spec_.distillate[i] + 0.6 * spec_.bottoms[i];
        spec_.q = c.q;
        const MinimumReflux r = MinimumRefluxBVM(spec_);
        ASSERT_TRUE(r.r_min) << r.error;
        const double underwood = Underwood(spec_.feed, spec_.distillate, c.q, c.heavy, c.light);
        EXPECT_NEAR(*r.r_min, underwood, 0.02 * underwood) << "q " << c.q << " keys " << c.light << "/" << c.heavy;
        // Above the minimum the column has a finite number of stages, its
        // feed stage inside it; below it the profiles do not meet, and the
        // design says so.
        const ColumnDesign d = DesignColumn(spec_, std::nullopt, 1.3);
        ASSERT_TRUE(d.feasible) << d.reason;
        ASSERT_TRUE(d.stages && d.feed_stage);
        EXPECT_TRUE(*d.feed_stage > 1 && *d.feed_stage <= *d.stages) << *d.feed_stage << " of " << *d.stages;
        EXPECT_EQ(static_cast<int>(d.rectifying.stages.size() + d.stripping.stages.size()), *d.stages);
        const ColumnDesign below = DesignColumn(spec_, 0.8 * underwood, std::nullopt);
        EXPECT_FALSE(below.feasible);
        EXPECT_NE(below.reason.find("below the minimum"), std::string::npos) << below.reason;
    }
}

TEST_F(Column, ProductsOffTheMassBalanceLineAreRefused) {
    spec_.feed = {0.3, 0.3, 0.4};
    spec_.distillate = {0.9, 0.1, 0.0};
    spec_.bottoms = {0.0, 0.3, 0.7};
    const Balance b = MassBalance(spec_);
    EXPECT_NE(b.error.find("not on one mass-balance line"), std::string::npos) << b.error;
    const ColumnDesign d = DesignColumn(spec_, 2.0, std::nullopt);
    EXPECT_FALSE(d.feasible);
    EXPECT_NE(d.reason.find("mass-balance"), std::string::npos);
    // On the line but not around the feed.
    spec_.bottoms = {0.6, 0.3, 0.1};
    spec_.distillate = {0.9, 0.3, -0.2};
    EXPECT_FALSE(MassBalance(spec_).error.empty());
}

class Regions_ : public testing::SearchEnvironment {
protected:
    MapInput Input(std::initializer_list<const char*> names, int phase) {
        MapInput in;
        std::ranges::copy(Ids(names), in.ids.begin());
        in.method = "NRTL";
        in.phase = phase;
        return in;
    }
};

TEST_F(Regions_, AcetoneChloroformMethanolHasFourRegionsThatSplitsMayNotCross) {
    Open("acetone_chloroform_methanol.toml");
    const Topology t = MapTopology(Input({"ACETONE", "CHLOROFM", "METHANOL"}, 2));
    ASSERT_TRUE(t.error.empty()) << t.error;
    const Regions r = FindRegions(t.points, t.boundaries);
    ASSERT_TRUE(r.error.empty()) << r.error;
    EXPECT_EQ(r.separatrices, 4);
    ASSERT_EQ(r.regions.size(), 4u);
    // Unstable nodes: the two minimum-boiling binary azeotropes; stable
    // nodes: methanol and the maximum-boiling acetone/chloroform one.
    std::vector<int> un, sn;
    for (std::size_t p = 0; p < t.points.size(); ++p) {
        if (t.points[p].code == 3) un.push_back(static_cast<int>(p));
        if (t.points[p].code == 1) sn.push_back(static_cast<int>(p));
    }
    for (int u : un) EXPECT_EQ(t.points[static_cast<std::size_t>(u)].size, 2);
    ASSERT_TRUE(un.size() == 2u && sn.size() == 2u);
    std::set<std::pair<int, int>> pairs;  // (unstable node, stable node) of each region
    for (const auto& g : r.regions) pairs.insert({g.unstable_node, g.stable_node});
    EXPECT_EQ(pairs, (std::set<std::pair<int, int>>{{un[0], sn[0]}, {un[0], sn[1]}, {un[1], sn[0]}, {un[1], sn[1]}}));
    // Acetone (329.3 K) light, chloroform (334.3 K) intermediate, methanol
    // (337.7 K) heavy: the maximum acetone/chloroform azeotrope a stable
    // node, both minimum ones with methanol unstable nodes, and a ternary
    // saddle.
    EXPECT_EQ(ClassOf(t.points).code, "311-S");
    // Each region holds its own interior: a point near the middle of its
    // two nodes lies in it and in no other.
    for (std::size_t g = 0; g < r.regions.size(); ++g) {
        const auto& outline = r.regions[g].outline;
        Composition c{};
        for (const auto& q : outline)
            for (std::size_t i = 0; i < 3; ++i) c[i] += q[i] / static_cast<double>(outline.size());
        EXPECT_EQ(RegionOf(r, c), static_cast<int>(g));
    }

    // Splits with the example's NRTL parameters.  Feed and products in the
    // region from the acetone/methanol azeotrope to methanol: feasible, with
    // the minimum reflux (11.34) and the column at 1.5 times it (19 stages,
    // feed on stage 18) that a separate implementation of the boundary value
    // method, written in Python from the published equations, gives for these
    // parameters.  Products in two regions: no reflux makes the column (Doherty
    // and Malone's textbook condition: a split may not cross a distillation
    // boundary unless the boundary bends towards the feed).
    ColumnSpec s;
    s.ids = Input({"ACETONE", "CHLOROFM", "METHANOL"}, 2).ids;
    s.method = "NRTL";
    s.feed = {0.40, 0.008, 0.592};
    s.distillate = {0.70, 0.01286, 0.28714};
    s.bottoms = {0.03, 0.00201, 0.96799};
    const ColumnDesign d = DesignColumn(s, std::nullopt, 1.5);
    ASSERT_TRUE(d.feasible) << d.reason;
    EXPECT_NEAR(*d.r_min, 11.34, 0.02 * 11.34);
    EXPECT_NEAR(*d.stages, 19, 1);
    EXPECT_NEAR(*d.feed_stage, 18, 1);
    EXPECT_EQ(RegionOf(r, s.distillate), RegionOf(r, s.bottoms));
    s.feed = {0.40, 0.05, 0.55};
    s.distillate = {0.78, 0.03, 0.19};
    s.bottoms = {0.005, 0.07079, 0.92421};
    EXPECT_NE(RegionOf(r, s.distillate), RegionOf(r, s.bottoms));
    const ColumnDesign across = DesignColumn(s, std::nullopt, std::nullopt);
    EXPECT_FALSE(across.feasible);
    EXPECT_FALSE(across.r_min.has_value());
}

TEST_F(Regions_, EthanolWaterBenzeneWithThreePhasesHasThree) {
    Open("ethanol_water_benzene.toml");
    const Topology t = MapTopology(Input({"ETHANOL", "WATER", "BENZENE"}, 3));
    const Regions r = FindRegions(t.points, t.boundaries);
    ASSERT_TRUE(r.error.empty()) << r.error;
    ASSERT_EQ(r.regions.size(), 3u);
    std::set<int> stable;
    for (const auto& g : r.regions) {
        const auto& un = t.points[static_cast<std::size_t>(g.unstable_node)];
        EXPECT_EQ(un.size, 3);  // the ternary heteroazeotrope
        stable.insert(g.stable_node);
    }
    EXPECT_EQ(stable, (std::set<int>{0, 1, 2}));  // the pure components
    // Ethanol light, benzene intermediate, water heavy: three minimum
    // binary azeotropes that are saddles and a minimum ternary one.
    EXPECT_EQ(ClassOf(t.points).code, "222-m");
}

TEST_F(Regions_, AZeotropicMixtureIsOneRegion) {
    Open("benzene_toluene_ethylbenzene.toml");
    const Topology t = MapTopology(Input({"BENZENE", "TOLUENE", "ETHBENZ"}, 2));
    const Regions r = FindRegions(t.points, t.boundaries);
    ASSERT_EQ(r.regions.size(), 1u);
    EXPECT_EQ(r.separatrices, 0);
    EXPECT_EQ(r.regions[0].unstable_node, 0);  // benzene, the lightest
    EXPECT_EQ(r.regions[0].stable_node, 2);    // ethylbenzene, the heaviest
    EXPECT_EQ(RegionOf(r, {0.3, 0.3, 0.4}), 0);
    const MapClass c = ClassOf(t.points);
    EXPECT_EQ(c.code, "000");
    EXPECT_EQ(c.name, "0.0-1");
}

}  // namespace
}  // namespace ternival::design
