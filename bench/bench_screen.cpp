// The whole-databank screen of entrainers for ethanol/water, run as a user
// runs it (the ternival command, its candidates in worker processes), on one
// worker and on two: the speed-up of the parallel screen and the maps each
// core computes per second.
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>

#include <nlohmann/json.hpp>

#include "bench_session.h"

namespace {

void BM_ScreenWholeDatabankEthanolWater(benchmark::State& state) {
    // The session writes this build's registry, which the command reads.
    ternival::EngineSession& s = ternival::bench::Session("acetone_chloroform_methanol.toml");
    if (!s.ok()) {
        state.SkipWithError(s.error().c_str());
        return;
    }
    const auto workers = state.range(0);
    const std::string out = std::string(TERNIVAL_BENCH_DIR) + "/screen.json";
    const std::string cmd = std::string(TERNIVAL_TOOL_EXE) + " screen --separate ethanol,water --workers " +
                            std::to_string(workers) + " --format json -o " + TERNIVAL_BENCH_DIR +
                            "/screen.html > " + out + " 2>/dev/null";
    std::size_t candidates = 0, errors = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const int rc = std::system(cmd.c_str());
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.SetIterationTime(seconds);
        if (rc != 0) {
            state.SkipWithError(("ternival screen failed: " + cmd).c_str());
            return;
        }
        const nlohmann::json rows = nlohmann::json::parse(std::ifstream(out));
        candidates = rows.size();
        errors = 0;
        for (const auto& r : rows) errors += r.contains("error") && r["error"].is_string();
    }
    state.counters["candidates"] = static_cast<double>(candidates);
    state.counters["error_rows"] = static_cast<double>(errors);
    state.counters["maps/s"] = benchmark::Counter(static_cast<double>(candidates), benchmark::Counter::kIsRate);
    state.counters["maps/s/core"] = benchmark::Counter(static_cast<double>(candidates) / static_cast<double>(workers),
                                                       benchmark::Counter::kIsRate);
}

}  // namespace

BENCHMARK(BM_ScreenWholeDatabankEthanolWater)
    ->Arg(1)
    ->Arg(2)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);
