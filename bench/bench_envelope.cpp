// Liquid-liquid envelope of ethanol/water/benzene (NRTL, 298.15 K,
// 101325 Pa): wall time, engine flashes and tie lines per envelope.
#include <array>
#include <cstdint>
#include <vector>

#include "bench_session.h"
#include "engine/engine_flash.h"
#include "envelope/lle_envelope.h"

using namespace ternival;

namespace {

void BM_LleEnvelopeEthanolWaterBenzene(benchmark::State& state) {
    EngineSession& session = bench::Session("ethanol_water_benzene.toml");
    if (!session.ok()) {
        state.SkipWithError(session.error().c_str());
        return;
    }
    std::vector<std::int64_t> ids;
    for (const char* name : {"ETHANOL", "WATER", "BENZENE"}) ids.push_back(LookupComponentIndex(name));
    constexpr std::int64_t kTieLines = 100;
    std::vector<double> curves(3 * 2 * kTieLines * 3), ties(2 * kTieLines * 3);
    std::array<std::int64_t, 3> points{};
    long long total_ties = 0;
    const long long before = FlashMemory().engine_calls;
    for (auto _ : state) {
        std::int64_t curve_count = 0, tie_count = kTieLines, message = 0, error = 0;
        LLE_Envelope(3, 101325.0, 298.15, 0.1, ids, "NRTL", curve_count, points, curves, tie_count, ties, message,
                     error);
        total_ties += tie_count;
        benchmark::DoNotOptimize(curves.data());
    }
    const auto runs = static_cast<double>(state.iterations());
    state.counters["flashes/envelope"] = static_cast<double>(FlashMemory().engine_calls - before) / runs;
    state.counters["tie lines/envelope"] = static_cast<double>(total_ties) / runs;
}

}  // namespace

BENCHMARK(BM_LleEnvelopeEthanolWaterBenzene)->Unit(benchmark::kMillisecond);
