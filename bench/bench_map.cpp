// A full ternary map as the map object computes it: pure-component
// properties, the azeotrope search, distillation boundaries, 20 residue
// curves from an interior grid and the LLE envelope at 298.15 K.  Wall time
// and engine flashes per map, for a homogeneous and a heterogeneous example.
#include <array>
#include <cstdint>
#include <vector>

#include "azeotrope/complete_search.h"
#include "design/classify.h"
#include "design/column.h"
#include "design/regions.h"
#include "azeotrope/search.h"
#include "bench_session.h"
#include "engine/engine_flash.h"
#include "envelope/lle_envelope.h"
#include "rcm/dist_boundary.h"
#include "rcm/residue_curve.h"

using namespace ternival;

namespace {

struct MapCase {
    const char* file;
    std::array<const char*, 3> names;
    int phase;
    bool complete = false;  // the complete azeotrope search (the command line's default)
};

// 20 interior starting points: the grid of six steps per side (10 points)
// and its midpoints towards the centre.
std::vector<std::array<double, 3>> Starts() {
    std::vector<std::array<double, 3>> out;
    for (int i = 1; i < 6; ++i)
        for (int j = 1; i + j < 6; ++j) out.push_back({i / 6.0, j / 6.0, (6 - i - j) / 6.0});
    const std::size_t grid = out.size();
    for (std::size_t k = 0; k < grid; ++k) {
        const auto& x = out[k];
        out.push_back({(x[0] + 1.0 / 3) / 2, (x[1] + 1.0 / 3) / 2, (x[2] + 1.0 / 3) / 2});
    }
    return out;
}

void FullMap(benchmark::State& state, const MapCase& c) {
    EngineSession& session = bench::Session(c.file);
    if (!session.ok()) {
        state.SkipWithError(session.error().c_str());
        return;
    }
    std::vector<std::int64_t> ids;
    for (const char* name : c.names) ids.push_back(LookupComponentIndex(name));
    const auto starts = Starts();
    constexpr std::int64_t kCap = 100, kTies = 100, kPoints = 500, kBoundaries = 20;
    std::vector<double> comp(3 * kCap), temps(kCap), sx(3 * (3 + kCap)), st(3 + kCap);
    std::vector<std::int64_t> sizes(kCap), phases(kCap), codes(kCap), sc(3 + kCap);
    std::vector<double> boiling(3), kvalues(9), curve(3 * kPoints), bcurves(kBoundaries * kPoints * 3);
    std::vector<std::int64_t> pure_codes(3), bcounts(kBoundaries), bdirs(kBoundaries);
    std::vector<double> env(3 * 2 * kTies * 3), ties(2 * kTies * 3);
    std::array<std::int64_t, 3> env_points{};
    long long azeotropes = 0, boundaries = 0, tie_lines = 0;
    const long long before = FlashMemory().engine_calls;
    for (auto _ : state) {
        std::int64_t error = 0;
        PureComponentProperties(3, 101325.0, ids, "", c.phase, boiling, pure_codes, kvalues, error);
        std::int64_t naz = kCap;
        if (c.complete)
            Complete_Azeo_Search(3, 101325.0, c.phase, "", ids, naz, comp, temps, sizes, phases, codes, sx, st, sc,
                                 error);
        else
            Azeo_Search(3, 101325.0, c.phase, "", ids, naz, comp, temps, sizes, phases, codes, sx, st, sc, error);
        azeotropes += naz;
        std::int64_t nb = 10;
        bcounts.assign(kBoundaries, 0);
        bcounts[0] = kPoints;
        Dist_Boundary(3, 101325.0, naz, sx, sc, st, 0.3, ids, "", c.phase, nb, bcounts, bcurves, bdirs, error);
        boundaries += nb;
        for (const auto& x0 : starts) {
            std::int64_t count = kPoints, direction = 0;
            residue_curve(3, x0, kBothBranches, 2, naz, sx, sc, 101325.0, ids, "", c.phase, 0.3, count, direction,
                          curve, error);
        }
        std::int64_t curves = 0, tie_count = kTies, message = 0;
        LLE_Envelope(3, 101325.0, 298.15, 0.1, ids, "", curves, env_points, env, tie_count, ties, message, error);
        tie_lines += tie_count;
        benchmark::DoNotOptimize(curve.data());
    }
    const auto runs = static_cast<double>(state.iterations());
    state.counters["flashes/map"] = static_cast<double>(FlashMemory().engine_calls - before) / runs;
    state.counters["azeotropes"] = static_cast<double>(azeotropes) / runs;
    state.counters["boundaries"] = static_cast<double>(boundaries) / runs;
    state.counters["tie lines"] = static_cast<double>(tie_lines) / runs;
}

void BM_FullMapAcetoneChloroformMethanol(benchmark::State& state) {
    FullMap(state, {"acetone_chloroform_methanol.toml", {"ACETONE", "CHLOROFM", "METHANOL"}, 2});
}
void BM_FullMapEthanolWaterBenzene(benchmark::State& state) {
    FullMap(state, {"ethanol_water_benzene.toml", {"ETHANOL", "WATER", "BENZENE"}, 3});
}

void BM_FullMapCompleteSearchAcetoneChloroformMethanol(benchmark::State& state) {
    FullMap(state, {"acetone_chloroform_methanol.toml", {"ACETONE", "CHLOROFM", "METHANOL"}, 2, true});
}
void BM_FullMapCompleteSearchEthanolWaterBenzene(benchmark::State& state) {
    FullMap(state, {"ethanol_water_benzene.toml", {"ETHANOL", "WATER", "BENZENE"}, 3, true});
}

}  // namespace

BENCHMARK(BM_FullMapAcetoneChloroformMethanol)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FullMapEthanolWaterBenzene)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FullMapCompleteSearchAcetoneChloroformMethanol)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FullMapCompleteSearchEthanolWaterBenzene)->Unit(benchmark::kMillisecond);

namespace {

// What the regions add to a map: the faces of the boundaries' planar graph
// and the class, from the singular points and boundaries the map has
// already computed.
void BM_RegionsAndClassAcetoneChloroformMethanol(benchmark::State& state) {
    EngineSession& session = bench::Session("acetone_chloroform_methanol.toml");
    if (!session.ok()) {
        state.SkipWithError(session.error().c_str());
        return;
    }
    design::MapInput in;
    for (std::size_t i = 0; i < 3; ++i)
        in.ids[i] = LookupComponentIndex(std::array{"ACETONE", "CHLOROFM", "METHANOL"}[i]);
    in.method = "";
    const design::Topology t = design::MapTopology(in);
    for (auto _ : state) {
        const design::Regions r = design::FindRegions(t.points, t.boundaries);
        const design::MapClass c = design::ClassOf(t.points);
        benchmark::DoNotOptimize(r.regions.size() + c.code.size());
    }
}

// One minimum reflux by the boundary value method (with the minimum number
// of stages), a split within one region of acetone/chloroform/methanol.
void BM_MinimumRefluxAcetoneChloroformMethanol(benchmark::State& state) {
    EngineSession& session = bench::Session("acetone_chloroform_methanol.toml");
    if (!session.ok()) {
        state.SkipWithError(session.error().c_str());
        return;
    }
    design::ColumnSpec s;
    for (std::size_t i = 0; i < 3; ++i)
        s.ids[i] = LookupComponentIndex(std::array{"ACETONE", "CHLOROFM", "METHANOL"}[i]);
    s.method = "";
    s.feed = {0.40, 0.008, 0.592};
    s.distillate = {0.70, 0.01286, 0.28714};
    s.bottoms = {0.03, 0.00201, 0.96799};
    double r_min = 0.0;
    for (auto _ : state) {
        const design::MinimumReflux r = design::MinimumRefluxBVM(s);
        if (!r.r_min) {
            state.SkipWithError(r.error.c_str());
            return;
        }
        r_min = *r.r_min;
    }
    state.counters["r_min"] = r_min;
}

}  // namespace

BENCHMARK(BM_RegionsAndClassAcetoneChloroformMethanol)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MinimumRefluxAcetoneChloroformMethanol)->Unit(benchmark::kMillisecond);
