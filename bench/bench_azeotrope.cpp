// Whole azeotrope searches: wall time and engine flashes per search.
#include <vector>

#include "azeotrope/complete_search.h"
#include "azeotrope/search.h"
#include "bench_session.h"
#include "engine/engine_flash.h"

using namespace ternival;

namespace {

void search(benchmark::State& state, const char* example, std::vector<const char*> names, std::int64_t phase,
            bool complete = false) {
    EngineSession& s = bench::Session(example);
    if (!s.ok()) {
        state.SkipWithError(s.error().c_str());
        return;
    }
    std::vector<std::int64_t> ids;
    for (const char* name : names) ids.push_back(LookupComponentIndex(name));
    const auto n = static_cast<std::int64_t>(ids.size());
    const std::size_t nn = ids.size(), cap = static_cast<std::size_t>(kAzeoDefaultCapacity);
    std::vector<double> comp(nn * cap), temps(cap), scomp(nn * (nn + cap)), stemps(nn + cap);
    std::vector<std::int64_t> sizes(cap), phases(cap), codes(cap), scodes(nn + cap);
    std::int64_t count = 0, error = 0;
    const long long before = FlashMemory().engine_calls;
    for (auto _ : state) {
        count = kAzeoDefaultCapacity;
        if (complete)
            Complete_Azeo_Search(n, 101325.0, phase, "", ids, count, comp, temps, sizes, phases, codes, scomp, stemps,
                                 scodes, error);
        else
            Azeo_Search(n, 101325.0, phase, "", ids, count, comp, temps, sizes, phases, codes, scomp, stemps,
                        scodes, error);
        benchmark::DoNotOptimize(count);
    }
    state.counters["azeotropes"] = static_cast<double>(count);
    state.counters["flashes/search"] = static_cast<double>(FlashMemory().engine_calls - before) /
                                       static_cast<double>(state.iterations());
}

void BM_AzeoSearchAcetoneChloroformMethanol(benchmark::State& state) {
    search(state, "acetone_chloroform_methanol.toml", {"ACETONE", "CHLOROFM", "METHANOL"}, 2);
}
// The same mixture, whose liquid never splits, with the three-phase setting:
// the price of the liquid stability tests.
void BM_AzeoSearchAcetoneChloroformMethanolThreePhase(benchmark::State& state) {
    search(state, "acetone_chloroform_methanol.toml", {"ACETONE", "CHLOROFM", "METHANOL"}, 3);
}
void BM_AzeoSearchEthanolWaterBenzeneThreePhase(benchmark::State& state) {
    search(state, "ethanol_water_benzene.toml", {"ETHANOL", "WATER", "BENZENE"}, 3);
}
void BM_AzeoSearchEightComponentsThreePhase(benchmark::State& state) {
    search(state, "eight_components.toml",
           {"ACETONE", "CHLOROFM", "METHANOL", "ETHANOL", "WATER", "BENZENE", "BUTANOL", "TOLUENE"}, 3);
}

// The complete search (classic search, then every binary scanned and every
// ternary searched from many starts).
void BM_CompleteSearchEightComponentsThreePhase(benchmark::State& state) {
    search(state, "eight_components.toml",
           {"ACETONE", "CHLOROFM", "METHANOL", "ETHANOL", "WATER", "BENZENE", "BUTANOL", "TOLUENE"}, 3, true);
}
void BM_CompleteSearchAcetoneChloroformMethanol(benchmark::State& state) {
    search(state, "acetone_chloroform_methanol.toml", {"ACETONE", "CHLOROFM", "METHANOL"}, 2, true);
}

}  // namespace

BENCHMARK(BM_CompleteSearchEightComponentsThreePhase)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CompleteSearchAcetoneChloroformMethanol)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AzeoSearchAcetoneChloroformMethanol)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AzeoSearchAcetoneChloroformMethanolThreePhase)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AzeoSearchEthanolWaterBenzeneThreePhase)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AzeoSearchEightComponentsThreePhase)->Unit(benchmark::kMillisecond);
