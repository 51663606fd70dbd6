// Whole azeotrope searches: wall time and engine flashes per search.
#include <string>
#include <vector>

#include "azeotrope/complete_search.h"
#include "azeotrope/search.h"
#include "bench_session.h"
#include "engine/engine_flash.h"

using namespace ternival;

namespace {

void searchIds(benchmark::State& state, const std::string& example, const std::vector<std::string>& names,
               std::int64_t phase, bool complete) {
    EngineSession& s = bench::Session(example);
    if (!s.ok()) {
        state.SkipWithError(s.error().c_str());
        return;
    }
    std::vector<std::int64_t> ids;
    for (const std::string& name : names) ids.push_back(LookupComponentIndex(name));
    const auto n = static_cast<std::int64_t>(ids.size());
    // Each search gets the table the command line gives it.
    const std::int64_t room = complete ? kCompleteSearchCapacity : kAzeoDefaultCapacity;
    const std::size_t nn = ids.size(), cap = static_cast<std::size_t>(room);
    std::vector<double> comp(nn * cap), temps(cap), scomp(nn * (nn + cap)), stemps(nn + cap);
    std::vector<std::int64_t> sizes(cap), phases(cap), codes(cap), scodes(nn + cap);
    std::int64_t count = 0, error = 0;
    const long long before = FlashMemory().engine_calls;
    for (auto _ : state) {
        count = room;
        if (complete)
            Complete_Azeo_Search(n, 101325.0, phase, "", ids, count, comp, temps, sizes, phases, codes, scomp, stemps,
                                 scodes, error);
        else
            Azeo_Search(n, 101325.0, phase, "", ids, count, comp, temps, sizes, phases, codes, scomp, stemps,
                        scodes, error);
        benchmark::DoNotOptimize(count);
    }
    state.counters["azeotropes"] = static_cast<double>(count);
    state.counters["complete"] = error == 0 ? 1.0 : 0.0;
    state.counters["flashes/search"] = static_cast<double>(FlashMemory().engine_calls - before) /
                                       static_cast<double>(state.iterations());
}

void search(benchmark::State& state, const char* example, std::vector<const char*> names, std::int64_t phase,
            bool complete = false) {
    searchIds(state, example, std::vector<std::string>(names.begin(), names.end()), phase, complete);
}

// Both searches on the first k components of a twenty-component random NRTL
// file (args: k, phase, complete search?).  "complete" is 0 where a search
// stopped at one of its limits.
void BM_SearchSeries(benchmark::State& state) {
    std::vector<std::string> names;
    for (std::int64_t k = 0; k < state.range(0); ++k) names.push_back("C" + std::to_string(k));
    searchIds(state, std::string(TERNIVAL_TEST_DATA_DIR) + "/twenty_nrtl.toml", names, state.range(1),
              state.range(2) != 0);
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
void BM_CompleteSearchEthanolWaterBenzeneThreePhase(benchmark::State& state) {
    search(state, "ethanol_water_benzene.toml", {"ETHANOL", "WATER", "BENZENE"}, 3, true);
}
void BM_CompleteSearchAcetoneChloroformMethanol(benchmark::State& state) {
    search(state, "acetone_chloroform_methanol.toml", {"ACETONE", "CHLOROFM", "METHANOL"}, 2, true);
}

}  // namespace

BENCHMARK(BM_CompleteSearchEightComponentsThreePhase)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CompleteSearchAcetoneChloroformMethanol)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CompleteSearchEthanolWaterBenzeneThreePhase)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AzeoSearchAcetoneChloroformMethanol)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AzeoSearchAcetoneChloroformMethanolThreePhase)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AzeoSearchEthanolWaterBenzeneThreePhase)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AzeoSearchEightComponentsThreePhase)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SearchSeries)
    ->ArgsProduct({{3, 5, 8, 12, 16, 20}, {2}, {0, 1}})
    ->ArgNames({"components", "phase", "complete"})
    ->Unit(benchmark::kMillisecond);
// Three phases cost seconds per search at the top of the range: one run each.
BENCHMARK(BM_SearchSeries)
    ->ArgsProduct({{3, 5, 8, 12, 16, 20}, {3}, {0, 1}})
    ->ArgNames({"components", "phase", "complete"})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
