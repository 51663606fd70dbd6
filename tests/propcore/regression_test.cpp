// Fitting binary parameters to measurements: parameters recovered from
// data made with them (vapour-liquid at one pressure, at one temperature,
// and tie lines), a published data set fitted within its scatter, the
// consistency tests told apart on good and spoilt data, and bad files
// refused with the line named.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <iomanip>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "flash.h"
#include "problem.h"
#include "regression.h"
#include "thermo.h"

using namespace propcore;

namespace {

Problem binary(const std::vector<std::string>& names, const char* model = "NRTL") {
    return ParseProblem(DatabankProblemText(names, model, "estimate", 101325.0, "ideal"), "fit.toml");
}

Pair pairOf(double bij, double bji, double alpha = 0.3) {
    Pair p{0, 1, 0.0, 0.0, bij, bji, alpha, "truth"};
    return p;
}

std::vector<Measurement> read(const std::string& text) {
    std::istringstream in(text);
    return ReadMeasurements(in, "data.csv");
}

std::string error(const std::string& text) {
    try {
        CheckMeasurements(read(text), 2);
    } catch (const FitDataError& e) {
        return e.what();
    }
    return "accepted";
}

}  // namespace

// Bubble points made with known parameters are fitted back to them, at
// one pressure (temperatures and vapours) and at one temperature
// (pressures alone).
TEST(Fit, RecoversTheParametersThatMadeTheData) {
    const Problem p = binary({"ethanol", "benzene"});
    const Problem truth = WithPair(p, 0, pairOf(650.0, 280.0));
    const std::array<std::size_t, 2> members{0, 1};
    const Mixture m(truth, truth.methods[0], members);
    std::ostringstream isobaric, isothermal;
    isobaric << "T_K,P_Pa,x1,y1\n";
    isothermal << "x1,T_K,P_Pa\n";  // columns in any order, no vapour
    for (double x1 : {0.05, 0.15, 0.3, 0.45, 0.6, 0.75, 0.9, 0.97}) {
        const std::vector<double> x{x1, 1.0 - x1};
        const FlashResult b = FlashPV(m, 101325.0, 0.0, x, 2, FlashOptions{});
        const FlashResult c = FlashTV(m, 340.0, 0.0, x, 2, FlashOptions{});
        ASSERT_EQ(b.status, kConverged);
        ASSERT_EQ(c.status, kConverged);
        isobaric << std::setprecision(12) << b.t << ",101325," << x1 << "," << b.y[0] << "\n";
        isothermal << std::setprecision(12) << x1 << ",340," << c.p << "\n";
    }
    for (const std::string& text : {isobaric.str(), isothermal.str()}) {
        const auto data = read(text);
        CheckMeasurements(data, 2);
        const FitReport r = FitBinaryPair(p, 0, data, FitSettings{}, "synthetic");
        ASSERT_TRUE(r.converged) << r.reason;
        EXPECT_NEAR(r.b[0], 650.0, 0.05);
        EXPECT_NEAR(r.b[1], 280.0, 0.05);
        EXPECT_LT(r.rms_t + r.rms_p, 1e-5);
    }
    // The azeotrope alone (T and y1 = x1, bisected on y1 - x1 here) fixes
    // both parameters exactly, and the fit claims no uncertainty.
    double lo = 0.05, hi = 0.9;
    FlashResult az;
    for (int k = 0; k < 60; ++k) {
        const double x1 = 0.5 * (lo + hi);
        az = FlashPV(m, 101325.0, 0.0, std::vector<double>{x1, 1.0 - x1}, 2, FlashOptions{});
        (az.y[0] > x1 ? lo : hi) = x1;
    }
    std::ostringstream one;
    one << std::setprecision(12) << "T_K,P_Pa,x1,y1\n" << az.t << ",101325," << lo << "," << lo << "\n";
    const auto data = read(one.str());
    CheckMeasurements(data, 2);
    const FitReport r = FitBinaryPair(p, 0, data, FitSettings{}, "synthetic");
    ASSERT_TRUE(r.converged) << r.reason;
    EXPECT_NEAR(r.b[0], 650.0, 0.5);
    EXPECT_NEAR(r.b[1], 280.0, 0.5);
    EXPECT_TRUE(r.exact && std::isnan(r.se[0]) && std::isnan(r.se[1]));
    // An azeotrope 78 K below any the model can make is met by no pair.
    const FitReport none = FitBinaryPair(p, 0, read("T_K,P_Pa,x1,y1\n250,101325,0.5,0.5\n"), FitSettings{}, "x");
    EXPECT_FALSE(none.converged);
    EXPECT_NE(none.reason.find("meets the data exactly"), std::string::npos) << none.reason;
}

// Tie lines made with known UNIQUAC parameters are fitted back to them.
TEST(Fit, RecoversParametersFromTieLines) {
    const Problem p = binary({"water", "1-butanol"}, "UNIQUAC");
    const Problem truth = WithPair(p, 0, pairOf(-300.0, -60.0));
    const std::array<std::size_t, 2> members{0, 1};
    const Mixture m(truth, truth.methods[0], members);
    std::ostringstream csv;
    csv << "T_K,x1_L1,x1_L2\n";
    for (double t : {300.0, 320.0, 340.0, 360.0}) {
        std::vector<double> a, b;
        double beta = 0.0;
        const std::vector<double> z{0.7, 0.3}, trial{0.98, 0.02};
        ASSERT_TRUE(LiquidSplit(m, t, z, trial, a, b, beta, FlashOptions{})) << t;
        csv << std::setprecision(12) << t << "," << a[0] << "," << b[0] << "\n";
    }
    const auto data = read(csv.str());
    const FitReport r = FitBinaryPair(p, 0, data, FitSettings{}, "synthetic");
    ASSERT_TRUE(r.converged) << r.reason;
    EXPECT_EQ(r.basis, FitBasis::TieLinesOnly);
    EXPECT_NEAR(r.b[0], -300.0, 0.5);
    EXPECT_NEAR(r.b[1], -60.0, 0.5);
    EXPECT_LT(r.rms_x, 1e-5);
    // One tie line gives two equations (each component's activity in both
    // liquids): three replicates of a single one fix both parameters.
    std::ostringstream one;
    one << "T_K,x1_L1,x1_L2\n";
    const auto line = data[1];
    for (int k = 0; k < 3; ++k) one << std::setprecision(12) << line.t << "," << line.x1 << "," << line.x1b << "\n";
    const FitReport single = FitBinaryPair(p, 0, read(one.str()), FitSettings{}, "one tie line");
    ASSERT_TRUE(single.converged) << single.reason;
    EXPECT_NEAR(single.b[0], -300.0, 0.5);
    EXPECT_NEAR(single.b[1], -60.0, 0.5);
}

// Ethanol / water at 101.3 kPa (Kamihama et al. 2012): NRTL fits the
// temperatures within 0.5 K rms, and the data pass both consistency tests;
// with a third of the vapours spoilt by 0.04 the point test finds it.
TEST(Fit, PublishedEthanolWaterData) {
    std::ifstream in(std::string(TERNIVAL_TEST_DATA_DIR) + "/ethanol_water_101kPa.csv");
    ASSERT_TRUE(in);
    const auto data = ReadMeasurements(in, "ethanol_water_101kPa.csv");
    ASSERT_EQ(data.size(), 21u);
    const Problem p = binary({"ethanol", "water"});
    const FitReport r = FitBinaryPair(p, 0, data, FitSettings{}, "fitted to ethanol_water_101kPa.csv");
    ASSERT_TRUE(r.converged) << r.reason;
    EXPECT_EQ(r.basis, FitBasis::Isobaric);
    EXPECT_LT(r.rms_t, 0.5);
    EXPECT_LT(r.rms_y, 0.01);
    EXPECT_GT(r.se[0], 0.0);
    EXPECT_LT(r.se[0], 50.0);
    EXPECT_TRUE(r.consistency.done);
    EXPECT_TRUE(r.consistency.area_ok) << r.consistency.d << " " << r.consistency.j;
    EXPECT_TRUE(r.consistency.point_ok) << r.consistency.mean_dy;
    EXPECT_NE(r.pair.source.find("fitted to ethanol_water_101kPa.csv: 21 points, rms"), std::string::npos);
    auto spoilt = data;
    for (std::size_t k = 0; k < spoilt.size(); k += 3) *spoilt[k].y1 = std::min(0.999, *spoilt[k].y1 + 0.04);
    const FitReport s = FitBinaryPair(p, 0, spoilt, FitSettings{}, "spoilt");
    ASSERT_TRUE(s.consistency.done);
    EXPECT_FALSE(s.consistency.point_ok) << s.consistency.mean_dy;
}

// The fitted pair written into a problem file loads, with its source and
// the vapour it was regressed with.
TEST(Fit, TheWrittenProblemCarriesTheFittedPair) {
    Pair fitted = pairOf(-35.4, 670.2);
    fitted.source = "fitted to mine.csv: 21 points, rms 0.213 K";
    fitted.regressed = Regressed::Ideal;
    const Problem p = ParseProblem(FittedProblemText({"ethanol", "water"}, "NRTL", fitted), "fitted.toml");
    ASSERT_EQ(p.methods[0].pairs.size(), 1u);
    const Pair& q = p.methods[0].pairs[0];
    EXPECT_DOUBLE_EQ(q.bij, -35.4);
    EXPECT_DOUBLE_EQ(q.bji, 670.2);
    EXPECT_EQ(q.regressed, Regressed::Ideal);
    EXPECT_NE(q.source.find("fitted to mine.csv"), std::string::npos);
}

// Bad data files are refused naming the line; temperatures that rise and
// fall three times along x1 are no binary's, one minimum (an azeotrope) is.
TEST(Fit, BadDataIsRefusedNamingTheLine) {
    const std::pair<const char*, const char*> cases[] = {
        {"T_K,P_Pa,x1,z1\n350,101325,0.5\n", "data.csv:1: unknown column 'z1'"},
        {"T_K,P_Pa,x1\n350,101325,0.5\n351,101325,1.2\n", "data.csv:3: x1 = 1.2 is not a mole fraction"},
        {"# comment\nT_K,P_Pa,x1\n350,101325,0.5\n351,abc,0.2\n", "data.csv:4: P_Pa 'abc' is not a number"},
        {"T_K,P_Pa,x1\n350,101325,0.5\n351,101325\n", "data.csv:3: 2 values where the header has 3"},
        {"T_K,P_Pa,x1\n350,101325,0.5\n", "1 point(s) give 1 equation(s), which cannot determine 2 parameters"},
        {"T_K,x1_L1,x1_L2\n300,0.3,0.3\n", "data.csv:2: x1_L1 and x1_L2 are the same liquid"},
        {"T_K,P_Pa,x1,x1_L1,x1_L2\n", "separate files"},
        {"T_K,P_Pa,x1\n-5,101325,0.5\n", "data.csv:2: T_K = -5 is not a temperature"},
        {"T_K,P_Pa,x1\n350,1e5,0.1\n360,1e5,0.2\n350,1e5,0.3\n360,1e5,0.4\n350,1e5,0.5\n",
         "data.csv:6: the bubble temperature turns for the third time"},
        {"T_K,P_Pa,x1,y1\n360,1e5,0.1,0.3\n352,1e5,0.5,0.55\n351,1e5,0.8,0.8\n355,1e5,0.95,0.9\n", "accepted"},
    };
    for (const auto& [text, told] : cases) {
        const std::string e = error(text);
        EXPECT_TRUE(e.find(told) != std::string::npos && (e == "accepted") == (std::string(told) == "accepted"))
            << text << ": " << e;
    }
}
