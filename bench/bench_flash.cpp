// Flash throughput through the bridge: the cost that dominates every
// residue curve, azeotrope search and map.
#include <array>
#include <optional>
#include <vector>

#include "bench_session.h"
#include "engine/engine_flash.h"

using namespace ternival;

namespace {

void runFlashes(benchmark::State& state, const char* type, double vf, int phase, const char* example,
                std::vector<const char*> ids_text, const char* method, bool time_limited = false) {
    // The server and the command compute under a time limit, which every
    // flash checks.
    std::optional<CallLimits> limits;
    if (time_limited) limits.emplace(3600.0);
    EngineSession& s = bench::Session(example);
    if (!s.ok()) {
        state.SkipWithError(s.error().c_str());
        return;
    }
    const int n = static_cast<int>(ids_text.size());
    std::array<std::int64_t, 10> ids{};
    for (int i = 0; i < n; ++i) ids[i] = LookupComponentIndex(ids_text[i]);
    // A walk over the composition triangle, as a residue curve makes it.
    std::vector<std::array<double, 10>> points;
    for (int a = 1; a < 20; ++a)
        for (int b = 1; a + b < 20; ++b) {
            std::array<double, 10> z{};
            z[0] = a / 20.0;
            z[1] = b / 20.0;
            z[2] = 1.0 - z[0] - z[1];
            points.push_back(z);
        }
    std::array<double, 10> y{}, x{}, x1{}, x2{};
    std::size_t k = 0;
    long failures = 0;
    for (auto _ : state) {
        double t = 350.0, p = 101325.0, f = vf, r = 0.0;
        std::int64_t err = 0;
        EngineFlash(type, phase, method, n, std::span(ids).first(n), points[k++ % points.size()], t, p, f, y, x,
                    r, x1, x2, err);
        failures += err != 0;
        benchmark::DoNotOptimize(t);
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["failures"] = static_cast<double>(failures);
}

void BM_BubblePointNrtlTernary(benchmark::State& state) {
    runFlashes(state, "PV", 0.0, 2, "acetone_chloroform_methanol.toml", {"ACETONE", "CHLOROFM", "METHANOL"}, "NRTL");
}
void BM_BubblePointNrtlTernaryTimeLimited(benchmark::State& state) {
    runFlashes(state, "PV", 0.0, 2, "acetone_chloroform_methanol.toml", {"ACETONE", "CHLOROFM", "METHANOL"}, "NRTL",
               true);
}
void BM_DewPointNrtlTernary(benchmark::State& state) {
    runFlashes(state, "PV", 1.0, 2, "acetone_chloroform_methanol.toml", {"ACETONE", "CHLOROFM", "METHANOL"}, "NRTL");
}
void BM_IsothermalFlashNrtlTernary(benchmark::State& state) {
    runFlashes(state, "TP", 0.0, 2, "acetone_chloroform_methanol.toml", {"ACETONE", "CHLOROFM", "METHANOL"}, "NRTL");
}
void BM_BubblePointThreePhaseSetting(benchmark::State& state) {
    runFlashes(state, "PV", 0.0, 3, "ethanol_water_benzene.toml", {"ETHANOL", "WATER", "BENZENE"}, "NRTL");
}

// Three-phase setting, below the bubble point where the liquid splits in two
// and no vapour forms: the case an LLE envelope and a heterogeneous map's
// liquid checks meet most.
void BM_IsothermalFlashTwoLiquidsNoVapour(benchmark::State& state) {
    EngineSession& s = bench::Session("ethanol_water_benzene.toml");
    if (!s.ok()) {
        state.SkipWithError(s.error().c_str());
        return;
    }
    std::array<std::int64_t, 10> ids{};
    ids[0] = LookupComponentIndex("ETHANOL");
    ids[1] = LookupComponentIndex("WATER");
    ids[2] = LookupComponentIndex("BENZENE");
    // Feeds across the two-liquid region of ethanol/water/benzene at 320 K.
    const std::vector<std::array<double, 3>> feeds = {{0.05, 0.50, 0.45}, {0.10, 0.45, 0.45}, {0.15, 0.35, 0.50},
                                                      {0.02, 0.30, 0.68}, {0.20, 0.40, 0.40}, {0.08, 0.70, 0.22}};
    std::array<double, 10> z{}, y{}, x{}, x1{}, x2{};
    std::size_t k = 0;
    long failures = 0, split = 0;
    for (auto _ : state) {
        const auto& f = feeds[k++ % feeds.size()];
        std::copy(f.begin(), f.end(), z.begin());
        double t = 320.0, p = 101325.0, vf = 0.0, r = 0.0;
        std::int64_t err = 0;
        EngineFlash("TP", 3, "NRTL", 3, std::span(ids).first(3), z, t, p, vf, y, x, r, x1, x2, err);
        failures += err != 0;
        split += err == 0 && vf == 0.0 && r > 0.0 && r < 1.0;
        benchmark::DoNotOptimize(r);
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["failures"] = static_cast<double>(failures);
    state.counters["two_liquids"] = static_cast<double>(split) / static_cast<double>(state.iterations());
}

}  // namespace

BENCHMARK(BM_BubblePointNrtlTernary);
BENCHMARK(BM_BubblePointNrtlTernaryTimeLimited);
BENCHMARK(BM_DewPointNrtlTernary);
BENCHMARK(BM_IsothermalFlashNrtlTernary);
BENCHMARK(BM_BubblePointThreePhaseSetting);
BENCHMARK(BM_IsothermalFlashTwoLiquidsNoVapour);
