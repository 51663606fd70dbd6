// Vapour pressures and activity models against hand formulas and
// thermodynamic identities, and the messages bad problem files get.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <utility>
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
component = [
    {id = "WATER", mw = 18.015, antoine = [73.649, -7258.2, 0.0, -7.3037, 4.1653e-6, 2.0], r = 0.92, q = 1.40},
    {id = "ETHANOL", mw = 46.07, antoine = [74.475, -7164.3, 0.0, -7.327, 3.134e-6, 2.0], r = 2.1055, q = 1.972},
    {id = "BENZENE", mw = 78.11, antoine = [83.107, -6486.2, 0.0, -9.2194, 6.9844e-6, 2.0], r = 3.1878, q = 2.400},
]
[[method]]
name = "NRTL"
model = "NRTL"
pair = [{i = "WATER", j = "ETHANOL", aij = 0.5, bij = 400.0, aji = -0.2, bji = -50.0, alpha = 0.3}]
[[method]]
name = "WILSON"
model = "WILSON"
pair = [{i = "WATER", j = "ETHANOL", aij = -0.3, bij = -200.0, aji = 0.1, bji = -100.0}]
[[method]]
name = "UNIQUAC"
model = "UNIQUAC"
pair = [{i = "WATER", j = "BENZENE", bij = -700.0, bji = -300.0},
        {i = "ETHANOL", j = "BENZENE", bij = 30.0, bji = -200.0}]
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

// Binary NRTL (Renon-Prausnitz) and Wilson against their two-component
// formulas written out here, and a pure component's gamma of 1 in every
// model.
TEST(ActivityModels, BinaryModelsMatchTheTwoComponentFormulas) {
    const Problem p = problem();
    const std::vector<std::size_t> pair{0, 1};
    std::vector<double> lng(2);
    const Mixture nrtl(p, method(p, "NRTL"), pair);
    double t = 350.0, x1 = 0.3, x2 = 0.7;
    const double t12 = 0.5 + 400.0 / t, t21 = -0.2 - 50.0 / t;
    const double g12 = std::exp(-0.3 * t12), g21 = std::exp(-0.3 * t21);
    nrtl.lnGamma(t, std::vector<double>{x1, x2}, lng);
    EXPECT_NEAR(lng[0], x2 * x2 * (t21 * std::pow(g21 / (x1 + x2 * g21), 2) + t12 * g12 / std::pow(x2 + x1 * g12, 2)),
                1e-12);
    EXPECT_NEAR(lng[1], x1 * x1 * (t12 * std::pow(g12 / (x2 + x1 * g12), 2) + t21 * g21 / std::pow(x1 + x2 * g21, 2)),
                1e-12);

    const Mixture wilson(p, method(p, "WILSON"), pair);
    t = 340.0, x1 = 0.6, x2 = 0.4;
    const double l12 = std::exp(-0.3 - 200.0 / t), l21 = std::exp(0.1 - 100.0 / t);
    const double d = l12 / (x1 + l12 * x2) - l21 / (x2 + l21 * x1);
    wilson.lnGamma(t, std::vector<double>{x1, x2}, lng);
    EXPECT_NEAR(lng[0], -std::log(x1 + l12 * x2) + x2 * d, 1e-12);
    EXPECT_NEAR(lng[1], -std::log(x2 + l21 * x1) - x1 * d, 1e-12);

    const std::vector<std::size_t> all{0, 1, 2};
    for (const char* name : {"NRTL", "WILSON", "UNIQUAC"}) {
        const Mixture m(p, method(p, name), all);
        std::vector<double> pure(3);
        m.lnGamma(320.0, std::vector<double>{0.0, 1.0, 0.0}, pure);
        EXPECT_NEAR(pure[1], 0.0, 1e-12) << name;
        EXPECT_TRUE(std::isfinite(pure[0]) && std::isfinite(pure[2])) << name;
    }
}

// Problem files that cannot be read are refused with the file, the line
// (and column) and the field named, the file's own strings quoted whole with
// control characters escaped, and sizes beyond what the engine serves
// refused before anything grows with them.  An empty list of messages: the
// file is accepted.
TEST(ProblemFile, ErrorsNameTheFileLineAndField) {
    const std::string a = "[[component]]\nid = \"A\"\nmw = 10.0\nantoine = [20.0, -3000.0]\n";
    const std::string b = "[[component]]\nid = \"B\"\nmw = 10.0\nantoine = [20.0, -3200.0]\n";
    const std::string nrtl = "[[method]]\nname = \"N\"\nmodel = \"NRTL\"\n";
    const std::string ab_pair = nrtl + "[[method.pair]]\ni = \"A\"\nj = \"B\"\n";
    const std::string unifac = "[[method]]\nname = \"U\"\nmodel = \"UNIFAC\"\n";
    const std::string a_groups = a + "unifac = [[1, 1], [15, 1]]\n";
    const std::string uniquac = a + "r = 2.0\nq = 1.8\n" + b + "[[method]]\nname = \"U\"\nmodel = \"UNIQUAC\"\n";
    const std::string ideal = "[[method]]\nname = \"M\"\nmodel = \"IDEAL\"\n";
    const std::string v =
        "[[component]]\nid = \"A\"\nmw = 50.0\nantoine = [20.0, -3000.0, 0.0, 0.0, 0.0, 1.0]\ntc = 500.0\n";
    std::string many, methods = a, groups = a + "unifac = [";
    for (int k = 0; k < 101; ++k)
        many += "[[component]]\nid = \"C" + std::to_string(k) + "\"\nmw = 1.0\nantoine = [1.0, -100.0]\n";
    for (int k = 0; k < 21; ++k) methods += "[[method]]\nname = \"M" + std::to_string(k) + "\"\nmodel = \"IDEAL\"\n";
    for (int k = 1; k <= 65; ++k) groups += (k > 1 ? ", [" : "[") + std::to_string(k) + ", 1]";
    const struct {
        std::string text;
        std::vector<std::string> told;
    } cases[] = {
        {"[[component]]\nid = \"A\"\nantoine = [1.0, -100.0]\n", {"bad.toml:1", "component[1].mw"}},
        {a + "[[method]]\nname = \"X\"\nmodel = \"SRK\"\n", {"bad.toml:7", "method[1].model"}},
        {a + ab_pair, {"bad.toml:10", "unknown component B"}},
        {"[[component]\n", {"bad.toml:1"}},
        {"[[component]]\nid = \"ABCDEFGHI\"\nmw = 1.0\nantoine = [1.0, 2.0]\n", {"longer than 8"}},
        {a + nrtl + "[[method.pair]]\ni = \"A\"\nj = \"Q\\u0000Z\"\n", {"unknown component Q\\u0000Z"}},
        {"[[component]]\nid = \"A\\u0000B\"\nmw = 1.0\nantoine = [1.0, -100.0]\n", {"control"}},
        {many, {"bad.toml", "has 101 components; the engine takes at most 100"}},
        {methods, {"at most 20"}},
        {groups + "]\n", {"at most 64"}},
        // Misspelt keys, numbers that are not finite, non-positive sizes.
        {a + b + ab_pair + "b_ij = 100.0\n",
         {"bad.toml:15:8: field 'method[1].pair[1].b_ij': unknown key; did you mean 'bij'?"}},
        {a + b + ab_pair + "bij = nan\n", {"field 'method[1].pair[1].bij': must be a finite number"}},
        {"[[component]]\nid = \"A\"\nmw = 10.0\nantoine = [20.0, inf]\n", {"field 'component[1].antoine'"}},
        {a + "r = 0.0\n", {"bad.toml:5:5: field 'component[1].r': must be positive"}},
        {a + "q = -1.0\n", {"field 'component[1].q': must be positive"}},
        {"titel = \"x\"\n" + a, {"field 'titel': unknown key; did you mean 'title'?"}},
        {"[[component]]\ndatabank = \"benzen\"\n", {"bad.toml:2:12: field 'component[1].databank'", "Benzene"}},
        // A pair nobody gave: estimated where UNIFAC knows the groups, else
        // refused naming it; ideal only when asked.
        {a + b + nrtl, {"pair A/B has no parameters in the file or the databank", "missing = \"ideal\""}},
        {"missing = \"ideal\"\n" + a + b + nrtl, {}},
        {"missing = \"error\"\n" + a + b + nrtl, {"pair A/B has no parameters (missing = \"error\")"}},
        {a_groups + b + unifac, {"component B has no UNIFAC groups"}},
        {a_groups + b + "unifac = [[999, 1]]\n" + unifac, {"component B: UNIFAC has no subgroup 999"}},
        {a_groups + b + "unifac = [[1, 2], [16, 1]]\n" + unifac, {}},
        // UNIQUAC cannot complete a pair of a component without r and q; an
        // ideal completion needs neither.
        {uniquac, {"field 'method[1].model': UNIQUAC needs r and q of component B"}},
        {"missing = \"ideal\"\n" + uniquac, {}},
        // Non-ideal vapours and their constants.
        {v + ideal + "vapour = \"virial\"\n", {"needs tc, pc and omega of component A"}},
        {v + ideal + "vapour = \"real\"\n", {"method[1].vapour"}},
        {v + "dimer = [1.0]\n" + ideal, {"component[1].dimer"}},
        {v + "pc = -5.0\n" + ideal, {"component[1].pc"}},
        {v + "pc = 4e6\nomega = 0.2\n" + ideal + "vapour = \"virial\"\n", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::string message = "no error";
        try {
            ParseProblem(c.text, "bad.toml");
        } catch (const ProblemError& e) {
            message = e.what();
        }
        if (c.told.empty()) {
            EXPECT_EQ(message, "no error");
        }
        for (const auto& part : c.told) EXPECT_NE(message.find(part), std::string::npos) << message;
    }
}

// d ln(gamma_i)/d n_j of every model (NRTL in closed form, the others by
// dual numbers) against central differences of ln(gamma) of the mole
// numbers, and the two identities it must satisfy: symmetry and
// sum_i n_i d ln(gamma_i)/d n_j = 0 (Gibbs-Duhem).
TEST(ActivityModels, CompositionDerivativesAgreeWithDifferences) {
    const std::string ex = TERNIVAL_EXAMPLES_DIR;
    std::vector<std::pair<Problem, std::string>> cases;
    for (const char* name : {"NRTL", "UNIQUAC"})
        cases.emplace_back(LoadProblem(ex + "/ethanol_water_benzene.toml"), name);
    cases.emplace_back(LoadProblem(ex + "/acetone_chloroform_methanol.toml"), "WILSON");
    for (const char* model : {"UNIFAC", "UNIFAC-DMD", "UNIFAC-LLE"})
        cases.emplace_back(ParseProblem(DatabankProblemText({"ethanol", "water", "benzene"}, model), model), "");
    for (const auto& [p, name] : cases) {
        const Method& m = name.empty() ? p.methods.front() : method(p, name);
        const std::vector<std::size_t> members{0, 1, 2};
        const Mixture mix(p, m, members);
        const std::vector<double> moles{0.7, 1.1, 0.4};  // not normalised on purpose
        std::vector<double> lng(3), jac(9), up(3), down(3);
        mix.lnGammaDn(330.0, moles, lng, jac);
        auto at = [&](std::vector<double> x, std::vector<double>& out) {
            const double s = x[0] + x[1] + x[2];
            for (double& v : x) v /= s;
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
