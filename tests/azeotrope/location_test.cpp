// Scaling and the location of one sub-mixture's azeotrope.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <sstream>
#include <vector>

#include "numerics/diagnostics.h"
#include "search_env.h"

namespace {

using namespace ternival;
using ternival::testing::SearchEnvironment;

TEST(Normalize, ScalesToTheGivenSumInPlace) {
    std::array<double, 3> x{1.0, 2.0, 1.0};
    Normalize(2.0, 3, x, x);
    EXPECT_DOUBLE_EQ(x[0], 0.5);
    EXPECT_DOUBLE_EQ(x[1], 1.0);
    EXPECT_DOUBLE_EQ(x[2], 0.5);
}

TEST(Normalize, ZeroSumIsCopiedUnscaled) {
    const std::array<double, 2> x{0.0, 0.0};
    std::array<double, 2> y{5.0, 5.0};
    Normalize(1.0, 2, x, y);
    EXPECT_EQ(y[0], 0.0);
    EXPECT_EQ(y[1], 0.0);
}

class Location : public SearchEnvironment {
protected:
    // Infinite-dilution K matrix of the given components, leading dimension 20.
    std::vector<double> kinf(const std::vector<std::int64_t>& ids) {
        const auto n = static_cast<std::int64_t>(ids.size());
        std::int64_t status = kAzeoStatusGood, count = 0;
        std::vector<double> boiling(ids.size()), k(ids.size() * ids.size()), rows(ids.size() * 10), temps(10);
        std::vector<std::int64_t> sizes(10), phases(10);
        QZALAZ(status, 0, n, ids, 101325.0, 10, 2, "NRTL", boiling, k, count, rows, temps, sizes, phases);
        std::vector<double> k20(400, 0.0);
        for (std::size_t i = 0; i < ids.size(); ++i)
            for (std::size_t j = 0; j < ids.size(); ++j) k20[j + i * 20] = k[j + i * ids.size()];
        return k20;
    }
};

TEST_F(Location, BinaryFromTheDefaultEstimate) {
    Open("acetone_chloroform_methanol.toml");
    const auto ids = Ids({"CHLOROFM", "METHANOL"});
    const auto k = kinf(ids);
    std::array<double, 2> x{};
    std::int64_t error = 0;
    bool found = false, het = true;
    double t = 0.0;
    QZNCAZ(error, 0, 2, 2, 101325.0, found, t, het, false, ids, k, x, "NRTL");
    EXPECT_EQ(error, 0);
    ASSERT_TRUE(found);
    EXPECT_FALSE(het);
    EXPECT_NEAR(x[0], 0.65, 0.02);
    EXPECT_NEAR(x[0] + x[1], 1.0, 1e-12);
    EXPECT_NEAR(t, 326.65, 0.5);
}

TEST_F(Location, ZeotropicBinaryIsNotFound) {
    Open("benzene_toluene_ethylbenzene.toml");
    const auto ids = Ids({"BENZENE", "TOLUENE"});
    std::vector<double> k(400, 1.0);
    k[1] = 0.4;   // toluene dilute in benzene
    k[20] = 2.5;  // benzene dilute in toluene
    std::array<double, 2> x{};
    std::int64_t error = 0;
    bool found = true, het = false;
    double t = 0.0;
    std::ostringstream lines;
    const DiagnosticChannel::ScopedBinding bound(kAzeotropeDiagnosticUnit, lines);
    QZNCAZ(error, 0, 2, 2, 101325.0, found, t, het, false, ids, k, x, "IDEAL");
    EXPECT_FALSE(found);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(lines.str(), "");  // the step leaves [0, 1] without a message
}

TEST_F(Location, TernarySaddleFromTheCentre) {
    Open("acetone_chloroform_methanol.toml");
    const auto ids = Ids({"ACETONE", "CHLOROFM", "METHANOL"});
    const auto k = kinf(ids);
    std::array<double, 3> x{};
    std::int64_t error = 0;
    bool found = false, het = false;
    double t = 0.0;
    QZNCAZ(error, 0, 3, 2, 101325.0, found, t, het, false, ids, k, x, "NRTL");
    ASSERT_TRUE(found);
    EXPECT_NEAR(x[0], 0.348, 0.005);
    EXPECT_NEAR(x[1], 0.216, 0.005);
    EXPECT_NEAR(t, 330.5, 0.2);
}

TEST_F(Location, BadSizesAreRefused) {
    Open("acetone_chloroform_methanol.toml");
    const auto ids = Ids({"ACETONE"});
    std::vector<double> k(400, 1.0), x(21, 0.05);
    std::vector<std::int64_t> many(21, ids.front());
    for (std::int64_t n : {1, 21}) {
        std::int64_t error = 0;
        bool found = true, het = false;
        double t = 0.0;
        std::ostringstream lines;
        const DiagnosticChannel::ScopedBinding bound(kAzeotropeDiagnosticUnit, lines);
        QZNCAZ(error, 2, n, 2, 101325.0, found, t, het, true, many, k, x, "NRTL");
        EXPECT_EQ(error, 1) << n;
        EXPECT_FALSE(found) << n;
        EXPECT_NE(lines.str().find(n == 1 ? "less than two components" : "only twenty components allowed"),
                  std::string::npos) << lines.str();
    }
}

}  // namespace
