// Distillation regions of published maps: acetone/chloroform/methanol at
// 1 atm has four (its two minimum-boiling binary azeotropes are unstable
// nodes, methanol and the maximum-boiling acetone/chloroform azeotrope
// stable nodes; every pairing is a region), ethanol/water/benzene with
// three phases has three (one from the heterogeneous ternary azeotrope to
// each pure component), and a zeotropic mixture one.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>

#include "design/classify.h"
#include "design/column.h"
#include "design/regions.h"
#include "engine/session.h"
#include "platform/system.h"

namespace ternival::design {
namespace {

namespace fs = std::filesystem;

class Regions_ : public ::testing::Test {
protected:
    void Open(const std::string& example) {
        static const fs::path base = fs::temp_directory_path();
        dir_ = base / ("ternival-regions-" + std::to_string(::getpid()));
        fs::create_directories(dir_);
        platform::PutEnv("TERNIVAL_REGISTRY=" + (dir_ / "registry.ini").string());
        platform::PutEnv("TMP=" + dir_.string());
        session_ = std::make_unique<EngineSession>(std::string(TERNIVAL_EXAMPLES_DIR) + "/" + example, TERNIVAL_VELMTOP);
        ASSERT_TRUE(session_->ok()) << session_->error();
    }
    void TearDown() override {
        session_.reset();
        fs::remove_all(dir_);
        if (saved_tmp_) platform::PutEnv("TMP=" + *saved_tmp_);
        else platform::UnsetEnv("TMP");
    }
    std::optional<std::string> saved_tmp_ = platform::GetEnv("TMP");
    MapInput Input(std::initializer_list<const char*> names, int phase) {
        MapInput in;
        std::size_t k = 0;
        for (const char* n : names) in.ids[k++] = LookupComponentIndex(n);
        in.method = "NRTL";
        in.phase = phase;
        return in;
    }
    fs::path dir_;
    std::unique_ptr<EngineSession> session_;
};

std::string Describe(const Topology& t) {
    std::string s;
    char buf[160];
    for (const auto& p : t.points) {
        std::snprintf(buf, sizeof buf, "point (%.4f %.4f %.4f) code %ld\n", p.x[0], p.x[1], p.x[2], static_cast<long>(p.code));
        s += buf;
    }
    for (const auto& c : t.boundaries) {
        std::snprintf(buf, sizeof buf, "curve (%.4f %.4f %.4f) -> (%.4f %.4f %.4f) %zu points\n", c.front()[0], c.front()[1],
                      c.front()[2], c.back()[0], c.back()[1], c.back()[2], c.size());
        s += buf;
    }
    return s;
}

// The pairs (unstable node, stable node) of the regions, as the indices of
// the singular points.
std::set<std::pair<int, int>> Pairs(const Regions& r) {
    std::set<std::pair<int, int>> out;
    for (const auto& g : r.regions) out.insert({g.unstable_node, g.stable_node});
    return out;
}

TEST_F(Regions_, AcetoneChloroformMethanolHasFourRegions) {
    Open("acetone_chloroform_methanol.toml");
    const Topology t = MapTopology(Input({"ACETONE", "CHLOROFM", "METHANOL"}, 2));
    ASSERT_TRUE(t.error.empty()) << t.error;
    const Regions r = FindRegions(t.points, t.boundaries);
    ASSERT_TRUE(r.error.empty()) << r.error << " " << Describe(t);
    EXPECT_EQ(r.separatrices, 4);
    ASSERT_EQ(r.regions.size(), 4u);
    // Unstable nodes: the two minimum-boiling binary azeotropes; stable
    // nodes: methanol and the maximum-boiling acetone/chloroform one.
    std::vector<int> un, sn;
    for (int p = 0; p < static_cast<int>(t.points.size()); ++p) {
        if (t.points[static_cast<std::size_t>(p)].code == 3) un.push_back(p);
        if (t.points[static_cast<std::size_t>(p)].code == 1) sn.push_back(p);
    }
    ASSERT_EQ(un.size(), 2u);
    ASSERT_EQ(sn.size(), 2u);
    for (int u : un) EXPECT_EQ(t.points[static_cast<std::size_t>(u)].size, 2);
    std::set<std::pair<int, int>> all;
    for (int u : un)
        for (int s : sn) all.insert({u, s});
    EXPECT_EQ(Pairs(r), all);
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

// Splits of acetone/chloroform/methanol at 1 atm with the example's NRTL
// parameters.  Feed and products in the region from the acetone/methanol
// azeotrope to methanol: feasible, with the minimum reflux (11.34) and the
// column at 1.5 times it (19 stages, feed on stage 18) that a separate
// implementation of the boundary value method, written in Python from the
// published equations, gives for these parameters.  Products in two
// regions: no reflux makes the column (Doherty and Malone's textbook
// condition: a split may not cross a distillation boundary unless the
// boundary bends towards the feed).
TEST_F(Regions_, SplitsOfAcetoneChloroformMethanol) {
    Open("acetone_chloroform_methanol.toml");
    ColumnSpec s;
    const MapInput in = Input({"ACETONE", "CHLOROFM", "METHANOL"}, 2);
    s.ids = in.ids;
    s.method = "NRTL";
    s.feed = {0.40, 0.008, 0.592};
    s.distillate = {0.70, 0.01286, 0.28714};
    s.bottoms = {0.03, 0.00201, 0.96799};
    const ColumnDesign d = DesignColumn(s, std::nullopt, 1.5);
    ASSERT_TRUE(d.feasible) << d.reason;
    EXPECT_NEAR(*d.r_min, 11.34, 0.02 * 11.34);
    EXPECT_NEAR(*d.stages, 19, 1);
    EXPECT_NEAR(*d.feed_stage, 18, 1);
    const Topology t = MapTopology(in);
    const Regions r = FindRegions(t.points, t.boundaries);
    EXPECT_EQ(RegionOf(r, s.distillate), RegionOf(r, s.bottoms));

    s.feed = {0.40, 0.05, 0.55};
    s.distillate = {0.78, 0.03, 0.19};
    s.bottoms = {0.005, 0.07079, 0.92421};
    EXPECT_NE(RegionOf(r, s.distillate), RegionOf(r, s.bottoms));
    const ColumnDesign across = DesignColumn(s, std::nullopt, std::nullopt);
    EXPECT_FALSE(across.feasible);
    EXPECT_FALSE(across.r_min.has_value());
}

}  // namespace
}  // namespace ternival::design
