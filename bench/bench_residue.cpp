// Residue curves of acetone/chloroform/methanol (NRTL, 101325 Pa): wall time
// and engine flashes per curve; and the integrator alone on a stiff problem.
#include <array>
#include <vector>

#include "azeotrope/search.h"
#include "bench_session.h"
#include "engine/engine_flash.h"
#include "numerics/lsoda.h"
#include "rcm/residue_curve.h"

using namespace ternival;

namespace {

struct Singular {
    std::vector<std::int64_t> ids;
    std::int64_t naz = 0;
    std::vector<double> x;
    std::vector<std::int64_t> codes;
};

// The singular points as the search reports them.
Singular singularPoints() {
    Singular s;
    for (const char* name : {"ACETONE", "CHLOROFM", "METHANOL"}) s.ids.push_back(LookupComponentIndex(name));
    std::vector<double> comp(300), temps(100), stemps(103);
    std::vector<std::int64_t> sizes(100), phases(100), codes(100);
    s.x.assign(3 * 103, 0.0);
    s.codes.assign(103, 0);
    std::int64_t error = 0;
    s.naz = 100;
    Azeo_Search(3, 101325.0, 2, "", s.ids, s.naz, comp, temps, sizes, phases, codes, s.x, stemps, s.codes, error);
    return s;
}

void BM_ResidueCurveAcetoneChloroformMethanol(benchmark::State& state) {
    EngineSession& session = bench::Session("acetone_chloroform_methanol.toml");
    if (!session.ok()) {
        state.SkipWithError(session.error().c_str());
        return;
    }
    const Singular s = singularPoints();
    // Starting points in the four distillation regions.
    const std::array<std::array<double, 3>, 4> starts{{{0.3, 0.4, 0.3}, {0.6, 0.1, 0.3}, {0.1, 0.3, 0.6}, {0.2, 0.7, 0.1}}};
    std::vector<double> points(3 * 500);
    std::size_t k = 0;
    long long total_points = 0;
    const long long before = FlashMemory().engine_calls;
    for (auto _ : state) {
        std::int64_t count = 500, direction = 0, error = 0;
        residue_curve(3, starts[k++ % starts.size()], kBothBranches, 1, s.naz, s.x, s.codes, 101325.0, s.ids, "", 2,
                      0.1, count, direction, points, error);
        total_points += count;
    }
    const auto runs = static_cast<double>(state.iterations());
    state.counters["flashes/curve"] = static_cast<double>(FlashMemory().engine_calls - before) / runs;
    state.counters["points/curve"] = static_cast<double>(total_points) / runs;
}

// Robertson's kinetics to t = 4e10 (rtol 1e-4, atol 1e-6/1e-10/1e-6,
// analytic Jacobian), the classic stiff test of the integrator.
void BM_LsodaRobertson(benchmark::State& state) {
    auto rhs = [](std::int64_t, double, std::span<double> y, std::span<double> d) {
        d[0] = -0.04 * y[0] + 1e4 * y[1] * y[2];
        d[2] = 3e7 * y[1] * y[1];
        d[1] = -d[0] - d[2];
    };
    auto jac = [](std::int64_t, double, std::span<double> y, std::int64_t, std::int64_t, std::span<double> pd,
                  std::int64_t nrowpd) {
        const auto r = static_cast<std::size_t>(nrowpd);
        pd[0] = -0.04;
        pd[r] = 1e4 * y[2];
        pd[2 * r] = 1e4 * y[1];
        pd[2] = 0.0;
        pd[2 + r] = 6e7 * y[1];
        pd[2 + 2 * r] = 0.0;
        pd[1] = 0.04;
        pd[1 + r] = -1e4 * y[2] - 6e7 * y[1];
        pd[1 + 2 * r] = -1e4 * y[1];
    };
    long nst = 0, nfe = 0;
    for (auto _ : state) {
        LsodaOptions o;
        o.itol = 2;
        o.rtol = 1e-4;
        o.atol_vector = {1e-6, 1e-10, 1e-6};
        o.jt = 1;
        o.mxstep = 100000;
        Lsoda solver(3, rhs, jac, o);
        std::array<double, 3> y{1.0, 0.0, 0.0};
        double t = 0.0;
        int istate = 1;
        solver.integrate(y, t, 4e10, istate);
        benchmark::DoNotOptimize(y);
        nst = solver.stats().nst;
        nfe = solver.stats().nfe;
    }
    state.counters["steps"] = static_cast<double>(nst);
    state.counters["f evaluations"] = static_cast<double>(nfe);
}

}  // namespace

BENCHMARK(BM_ResidueCurveAcetoneChloroformMethanol)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LsodaRobertson)->Unit(benchmark::kMicrosecond);
