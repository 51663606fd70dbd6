// Vapour pressures and activity models against hand formulas and
// thermodynamic identities.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "problem.h"
#include "thermo.h"

using namespace propcore;

namespace {

// Water, ethanol, benzene with DIPPR-form constants (Perry's Handbook,
// equation 101) and one parameter set per model.
constexpr const char* kProblem = R"(
missing = "ideal"
title = "test"
default_method = "NRTL"
[[component]]
id = "WATER"
mw = 18.015
antoine = [73.649, -7258.2, 0.0, -7.3037, 4.1653e-6, 2.0]
r = 0.92
q = 1.40
[[component]]
id = "ETHANOL"
mw = 46.07
antoine = [74.475, -7164.3, 0.0, -7.327, 3.134e-6, 2.0]
r = 2.1055
q = 1.972
[[component]]
id = "BENZENE"
mw = 78.11
antoine = [83.107, -6486.2, 0.0, -9.2194, 6.9844e-6, 2.0]
r = 3.1878
q = 2.400
[[method]]
name = "NRTL"
model = "NRTL"
[[method.pair]]
i = "WATER"
j = "ETHANOL"
aij = 0.5
bij = 400.0
aji = -0.2
bji = -50.0
alpha = 0.3
[[method]]
name = "WILSON"
model = "WILSON"
[[method.pair]]
i = "WATER"
j = "ETHANOL"
aij = -0.3
bij = -200.0
aji = 0.1
bji = -100.0
[[method]]
name = "UNIQUAC"
model = "UNIQUAC"
[[method.pair]]
i = "WATER"
j = "BENZENE"
bij = -700.0
bji = -300.0
[[method.pair]]
i = "ETHANOL"
j = "BENZENE"
bij = 30.0
bji = -200.0
[[method]]
name = "IDEAL"
model = "IDEAL"
)";

Problem problem() { return ParseProblem(kProblem, "test.toml"); }

const Method& method(const Problem& p, std::string_view name) {
    for (const auto& m : p.methods)
        if (m.name == name) return m;
    throw std::runtime_error("no method");
}

}  // namespace

TEST(VapourPressure, NormalBoilingPointsFromPerryConstants) {
    const Problem p = problem();
    const std::vector<std::size_t> all{0, 1, 2};
    const Mixture m(p, method(p, "IDEAL"), all);
    // Published normal boiling points: water 373.15 K, ethanol 351.44 K, benzene 353.24 K.
    EXPECT_NEAR(m.saturationTemperature(0, 101325.0), 373.15, 0.3);
    EXPECT_NEAR(m.saturationTemperature(1, 101325.0), 351.44, 0.3);
    EXPECT_NEAR(m.saturationTemperature(2, 101325.0), 353.24, 0.3);
    // Water at 298.15 K: 3169 Pa (steam tables).
    EXPECT_NEAR(std::exp(m.lnPsat(0, 298.15)), 3169.0, 25.0);
    // Analytic derivative against a central difference.
    const double h = 1e-4, t = 340.0;
    EXPECT_NEAR(m.dlnPsatdT(2, t), (m.lnPsat(2, t + h) - m.lnPsat(2, t - h)) / (2 * h), 1e-7);
}

TEST(ActivityModels, BinaryNrtlMatchesTheTwoComponentFormula) {
    const Problem p = problem();
    const std::vector<std::size_t> pair{0, 1};
    const Mixture m(p, method(p, "NRTL"), pair);
    const double t = 350.0, x1 = 0.3, x2 = 0.7;
    const double t12 = 0.5 + 400.0 / t, t21 = -0.2 - 50.0 / t;
    const double g12 = std::exp(-0.3 * t12), g21 = std::exp(-0.3 * t21);
    const double ln1 = x2 * x2 * (t21 * std::pow(g21 / (x1 + x2 * g21), 2) + t12 * g12 / std::pow(x2 + x1 * g12, 2));
    const double ln2 = x1 * x1 * (t12 * std::pow(g12 / (x2 + x1 * g12), 2) + t21 * g21 / std::pow(x1 + x2 * g21, 2));
    std::vector<double> lng(2);
    m.lnGamma(t, std::vector<double>{x1, x2}, lng);
    EXPECT_NEAR(lng[0], ln1, 1e-12);
    EXPECT_NEAR(lng[1], ln2, 1e-12);
}

TEST(ActivityModels, BinaryWilsonMatchesTheTwoComponentFormula) {
    const Problem p = problem();
    const std::vector<std::size_t> pair{0, 1};
    const Mixture m(p, method(p, "WILSON"), pair);
    const double t = 340.0, x1 = 0.6, x2 = 0.4;
    const double l12 = std::exp(-0.3 - 200.0 / t), l21 = std::exp(0.1 - 100.0 / t);
    const double d = l12 / (x1 + l12 * x2) - l21 / (x2 + l21 * x1);
    std::vector<double> lng(2);
    m.lnGamma(t, std::vector<double>{x1, x2}, lng);
    EXPECT_NEAR(lng[0], -std::log(x1 + l12 * x2) + x2 * d, 1e-12);
    EXPECT_NEAR(lng[1], -std::log(x2 + l21 * x1) - x1 * d, 1e-12);
}

// Gibbs-Duhem: sum_i x_i d(ln gamma_i) = 0 along any composition path.
TEST(ActivityModels, EveryModelSatisfiesGibbsDuhem) {
    const Problem p = problem();
    const std::vector<std::size_t> all{0, 1, 2};
    for (const char* name : {"NRTL", "WILSON", "UNIQUAC"}) {
        const Mixture m(p, method(p, name), all);
        const std::vector<double> x{0.2, 0.5, 0.3}, dir{0.1, -0.04, -0.06};
        const double h = 1e-6;
        std::vector<double> xp(3), xm(3), lp(3), lm(3);
        for (int i = 0; i < 3; ++i) {
            xp[i] = x[i] + h * dir[i];
            xm[i] = x[i] - h * dir[i];
        }
        m.lnGamma(330.0, xp, lp);
        m.lnGamma(330.0, xm, lm);
        double s = 0.0, scale = 0.0;
        for (int i = 0; i < 3; ++i) {
            s += x[i] * (lp[i] - lm[i]) / (2 * h);
            scale += std::abs((lp[i] - lm[i]) / (2 * h));
        }
        EXPECT_LT(std::abs(s), 1e-6 * std::max(1.0, scale)) << name;
    }
}

TEST(ActivityModels, PureComponentHasUnitActivityCoefficient) {
    const Problem p = problem();
    const std::vector<std::size_t> all{0, 1, 2};
    for (const char* name : {"NRTL", "WILSON", "UNIQUAC"}) {
        const Mixture m(p, method(p, name), all);
        std::vector<double> lng(3);
        m.lnGamma(320.0, std::vector<double>{0.0, 1.0, 0.0}, lng);
        EXPECT_NEAR(lng[1], 0.0, 1e-12) << name;
        EXPECT_TRUE(std::isfinite(lng[0]) && std::isfinite(lng[2])) << name;
    }
}

TEST(ProblemFile, ErrorsNameTheFileLineAndField) {
    auto message = [](const char* text) {
        try {
            ParseProblem(text, "bad.toml");
        } catch (const ProblemError& e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    const std::string no_mw = message("[[component]]\nid = \"A\"\nantoine = [1.0, -100.0]\n");
    EXPECT_NE(no_mw.find("bad.toml:1"), std::string::npos) << no_mw;
    EXPECT_NE(no_mw.find("component[1].mw"), std::string::npos) << no_mw;

    const std::string bad_model = message(
        "[[component]]\nid = \"A\"\nmw = 1.0\nantoine = [1.0, -100.0]\n[[method]]\nname = \"X\"\nmodel = \"SRK\"\n");
    EXPECT_NE(bad_model.find("bad.toml:7"), std::string::npos) << bad_model;
    EXPECT_NE(bad_model.find("method[1].model"), std::string::npos) << bad_model;

    const std::string bad_pair = message(
        "[[component]]\nid = \"A\"\nmw = 1.0\nantoine = [1.0, -100.0]\n[[method]]\nname = \"N\"\nmodel = \"NRTL\"\n"
        "[[method.pair]]\ni = \"A\"\nj = \"B\"\n");
    EXPECT_NE(bad_pair.find("unknown component B"), std::string::npos) << bad_pair;
    EXPECT_NE(bad_pair.find("bad.toml:10"), std::string::npos) << bad_pair;

    const std::string syntax = message("[[component]\n");
    EXPECT_NE(syntax.find("bad.toml:1"), std::string::npos) << syntax;

    const std::string long_id = message("[[component]]\nid = \"ABCDEFGHI\"\nmw = 1.0\nantoine = [1.0, 2.0]\n");
    EXPECT_NE(long_id.find("longer than 8"), std::string::npos) << long_id;

    // The file's own strings are quoted whole, control characters escaped.
    const std::string nul_pair = message(
        "[[component]]\nid = \"AB\"\nmw = 1.0\nantoine = [1.0, -100.0]\n[[method]]\nname = \"N\"\nmodel = \"NRTL\"\n"
        "[[method.pair]]\ni = \"AB\"\nj = \"Q\\u0000Z\"\n");
    EXPECT_NE(nul_pair.find("unknown component Q\\u0000Z"), std::string::npos) << nul_pair;
    EXPECT_NE(message("[[component]]\nid = \"A\\u0000B\"\nmw = 1.0\nantoine = [1.0, -100.0]\n").find("control"),
              std::string::npos);

    // Sizes beyond what the engine serves are refused before anything
    // grows with them.
    std::string many;
    for (int k = 0; k < 101; ++k) many += "[[component]]\nid = \"C" + std::to_string(k) + "\"\nmw = 1.0\nantoine = [1.0, -100.0]\n";
    const std::string too_many = message(many.c_str());
    EXPECT_NE(too_many.find("has 101 components; the engine takes at most 100"), std::string::npos) << too_many;
    EXPECT_NE(too_many.find("bad.toml"), std::string::npos) << too_many;
    std::string methods = "[[component]]\nid = \"A\"\nmw = 1.0\nantoine = [1.0, -100.0]\n";
    for (int k = 0; k < 21; ++k) methods += "[[method]]\nname = \"M" + std::to_string(k) + "\"\nmodel = \"IDEAL\"\n";
    EXPECT_NE(message(methods.c_str()).find("at most 20"), std::string::npos);
    std::string groups = "[[component]]\nid = \"A\"\nmw = 1.0\nantoine = [1.0, -100.0]\nunifac = [";
    for (int k = 1; k <= 65; ++k) groups += (k > 1 ? ", [" : "[") + std::to_string(k) + ", 1]";
    EXPECT_NE(message((groups + "]\n").c_str()).find("at most 64"), std::string::npos);
}

// d ln(gamma_i)/d n_j of every model (NRTL in closed form, the others by
// dual numbers) against central differences of ln(gamma) of the mole
// numbers, and the two identities it must satisfy: symmetry and
// sum_i n_i d ln(gamma_i)/d n_j = 0 (Gibbs-Duhem).
TEST(ActivityModels, CompositionDerivativesAgreeWithDifferences) {
    struct Case {
        std::string file, method;
    };
    const std::string ex = TERNIVAL_EXAMPLES_DIR;
    const Case cases[] = {{ex + "/ethanol_water_benzene.toml", "NRTL"},
                          {ex + "/ethanol_water_benzene.toml", "UNIQUAC"},
                          {ex + "/acetone_chloroform_methanol.toml", "WILSON"}};
    std::vector<Problem> problems;
    for (const Case& c : cases) problems.push_back(LoadProblem(c.file));
    for (const char* model : {"UNIFAC", "UNIFAC-DMD", "UNIFAC-LLE"})
        problems.push_back(ParseProblem(DatabankProblemText({"ethanol", "water", "benzene"}, model), model));
    for (std::size_t c = 0; c < problems.size(); ++c) {
        const Problem& p = problems[c];
        const Method& m = c < std::size(cases) ? *std::find_if(p.methods.begin(), p.methods.end(),
                                                               [&](const Method& mm) { return mm.name == cases[c].method; })
                                               : p.methods.front();
        const std::vector<std::size_t> members{0, 1, 2};
        const Mixture mix(p, m, members);
        const std::vector<double> moles{0.7, 1.1, 0.4};  // not normalised on purpose
        std::vector<double> lng(3), jac(9), up(3), down(3);
        mix.lnGammaDn(330.0, moles, lng, jac);
        auto at = [&](const std::vector<double>& nm, std::vector<double>& out) {
            double s = 0.0;
            for (double v : nm) s += v;
            std::vector<double> x(3);
            for (int i = 0; i < 3; ++i) x[i] = nm[i] / s;
            mix.lnGamma(330.0, x, out);
        };
        at(moles, up);
        for (int i = 0; i < 3; ++i) EXPECT_NEAR(lng[i], up[i], 1e-12) << m.name;
        for (int j = 0; j < 3; ++j) {
            std::vector<double> np = moles, nm = moles;
            np[j] += 1e-6;
            nm[j] -= 1e-6;
            at(np, up);
            at(nm, down);
            for (int i = 0; i < 3; ++i)
                EXPECT_NEAR(jac[i * 3 + j], (up[i] - down[i]) / 2e-6, 1e-6 * (1.0 + std::abs(jac[i * 3 + j])))
                    << m.name << " d" << i << "/d" << j;
        }
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) EXPECT_NEAR(jac[i * 3 + j], jac[j * 3 + i], 1e-10) << m.name;
        for (int j = 0; j < 3; ++j) {
            double s = 0.0;
            for (int i = 0; i < 3; ++i) s += moles[i] * jac[i * 3 + j];
            EXPECT_NEAR(s, 0.0, 1e-10) << m.name;
        }
    }
}
