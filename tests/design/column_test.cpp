// Column design against what can be worked out independently: for
// constant relative volatilities, the minimum reflux of Underwood's
// equations and the minimum stages of Fenske's, both computed here; and
// the refusals of splits the mass balance does not allow.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <numeric>

#include "design/column.h"
#include "engine/session.h"
#include "platform/system.h"

namespace ternival::design {
namespace {

namespace fs = std::filesystem;

// Relative volatilities 4 : 2 : 1 at every temperature: ideal liquids
// whose vapour pressures share the temperature term.
constexpr std::array<double, 3> kAlpha{4.0, 2.0, 1.0};

class Column : public ::testing::Test {
protected:
    void SetUp() override {
        static const fs::path base = fs::temp_directory_path();
        dir_ = base / ("ternival-design-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) +
                       "-" + std::to_string(::getpid()));
        fs::create_directories(dir_ / "tmp");
        platform::PutEnv("TERNIVAL_REGISTRY=" + (dir_ / "registry.ini").string());
        platform::PutEnv("TMP=" + (dir_ / "tmp").string());
        std::ofstream f(dir_ / "alpha.toml");
        for (int i = 0; i < 3; ++i)
            f << "[[component]]\nid = \"C" << i << "\"\nmw = 50.0\nantoine = [" << 21.0 + std::log(kAlpha[i])
              << ", -3600.0]\n";
        f << "[[method]]\nname = \"IDEAL\"\nmodel = \"IDEAL\"\n";
        f.close();
        session_ = std::make_unique<EngineSession>((dir_ / "alpha.toml").string(), TERNIVAL_VELMTOP);
        ASSERT_TRUE(session_->ok()) << session_->error();
        spec_.ids = {LookupComponentIndex("C0"), LookupComponentIndex("C1"), LookupComponentIndex("C2")};
        spec_.method = "IDEAL";
    }
    void TearDown() override {
        session_.reset();
        fs::remove_all(dir_);
        if (saved_tmp_) platform::PutEnv("TMP=" + *saved_tmp_);
        else platform::UnsetEnv("TMP");
    }
    std::optional<std::string> saved_tmp_ = platform::GetEnv("TMP");
    fs::path dir_;
    std::unique_ptr<EngineSession> session_;
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
    struct Case {
        Composition d, b;
        double q, heavy, light;  // the keys' volatilities
    };
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
        EXPECT_GT(*d.feed_stage, 1);
        EXPECT_LE(*d.feed_stage, *d.stages);
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

}  // namespace
}  // namespace ternival::design
