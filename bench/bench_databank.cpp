// Loading problems from the databank (with UNIFAC estimates of the pairs
// the DECHEMA sets lack) against loading a hand-written example, and the
// cost of one UNIFAC activity-coefficient evaluation.
#include <benchmark/benchmark.h>

#include <array>
#include <string>
#include <vector>

#include "databank.h"
#include "flash.h"
#include "problem.h"
#include "thermo.h"

namespace {

void BM_LoadExampleProblemFile(benchmark::State& state) {
    const std::string file = std::string(TERNIVAL_EXAMPLES_DIR) + "/ethanol_water_benzene.toml";
    for (auto _ : state) benchmark::DoNotOptimize(propcore::LoadProblem(file));
}

// Two DECHEMA pairs and one UNIFAC estimate.
void BM_LoadDatabankProblemEthanolWaterBenzene(benchmark::State& state) {
    propcore::Databank::Get();  // read once per process
    const std::string text = propcore::DatabankProblemText({"ethanol", "water", "benzene"}, "NRTL");
    for (auto _ : state) benchmark::DoNotOptimize(propcore::ParseProblem(text, "ewb"));
}

// Eight components, 28 pairs, most of them estimated.
void BM_LoadDatabankProblemEightComponentsEstimated(benchmark::State& state) {
    propcore::Databank::Get();
    std::string text = "[[method]]\nname = \"N\"\nmodel = \"NRTL\"\ndatabank = false\n";
    for (const char* c : {"acetone", "chloroform", "methanol", "ethanol", "water", "benzene", "toluene", "1-butanol"})
        text = "[[component]]\ndatabank = \"" + std::string(c) + "\"\n" + text;
    for (auto _ : state) benchmark::DoNotOptimize(propcore::ParseProblem(text, "eight"));
}

void BM_UnifacLnGammaTernary(benchmark::State& state) {
    const propcore::Problem p =
        propcore::ParseProblem(propcore::DatabankProblemText({"ethanol", "water", "benzene"}, "UNIFAC"), "u");
    const std::array<std::size_t, 3> members{0, 1, 2};
    const propcore::Mixture m(p, p.methods[0], members);
    std::array<double, 3> x{0.3, 0.3, 0.4}, lng{};
    for (auto _ : state) {
        m.lnGamma(340.0, x, lng);
        x[0] += 1e-12;  // a new composition each time, one temperature
        benchmark::DoNotOptimize(lng);
    }
}

}  // namespace

BENCHMARK(BM_LoadExampleProblemFile)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LoadDatabankProblemEthanolWaterBenzene)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LoadDatabankProblemEightComponentsEstimated)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UnifacLnGammaTernary);

namespace {

// Bubble points of one binary liquid under each vapour model: the cost of
// renewing the vapour correction until it settles.
void bubblePoints(benchmark::State& state, std::vector<std::string> names, const char* vapour) {
    const propcore::Problem p =
        propcore::ParseProblem(propcore::DatabankProblemText(names, "NRTL", "estimate", 101325.0, vapour), "v");
    const std::array<std::size_t, 2> members{0, 1};
    const propcore::Mixture m(p, p.methods.front(), members);
    propcore::FlashOptions o;
    int k = 0;
    for (auto _ : state) {
        const double x1 = 0.05 + 0.9 * (k++ % 19) / 18.0;
        const std::vector<double> x{x1, 1.0 - x1};
        benchmark::DoNotOptimize(propcore::FlashPV(m, 101325.0, 0.0, x, 2, o));
    }
}
void BM_BubblePointEthanolWaterIdealVapour(benchmark::State& s) { bubblePoints(s, {"ethanol", "water"}, "ideal"); }
void BM_BubblePointEthanolWaterVirialVapour(benchmark::State& s) { bubblePoints(s, {"ethanol", "water"}, "virial"); }
void BM_BubblePointAceticAcidWaterIdealVapour(benchmark::State& s) {
    bubblePoints(s, {"acetic acid", "water"}, "ideal");
}
void BM_BubblePointAceticAcidWaterDimerVapour(benchmark::State& s) {
    bubblePoints(s, {"acetic acid", "water"}, "chemical");
}

}  // namespace

BENCHMARK(BM_BubblePointEthanolWaterIdealVapour);
BENCHMARK(BM_BubblePointEthanolWaterVirialVapour);
BENCHMARK(BM_BubblePointAceticAcidWaterIdealVapour);
BENCHMARK(BM_BubblePointAceticAcidWaterDimerVapour);
