#include "rcm/residue_equations.h"

#include <algorithm>

#include "engine/engine_flash.h"
#include "engine/run_log.h"
#include "numerics/simplex.h"

namespace ternival {
namespace {

constexpr std::size_t kMax = 10;

// Bubble-point vapour of x at the context's pressure; logs a failed flash
// under `routine` and carries on with what the flash left.
void bubbleVapour(RcmContext& ctx, std::span<const double> x, std::span<double> v,
                  std::string_view routine) {
    std::array<double, kMax> liquid{}, x1{}, x2{};
    double p = ctx.pressure, vf = 0.0, result = 0.0;
    std::int64_t err = 0;
    const auto n = static_cast<int>(ctx.n);
    EngineFlash("PV", ctx.phase, ctx.method, n, std::span(ctx.ids).first(ctx.n), x,
                ctx.bubble_temperature, p, vf, v, liquid, result, x1, x2, err);
    if (err > 0)
        LogRunMessage(502, routine);
    else if (err < 0)
        LogRunMessage(507, routine);
}

}  // namespace

RcmContext& RCM_CONTEXT() {
    static RcmContext context;
    return context;
}

void PrepareComposition(std::int64_t neq, std::span<double> y, std::span<double> x) {
    const auto n = static_cast<std::size_t>(neq + 1);
    double last = 1.0;
    for (std::size_t i = 0; i + 1 < n; ++i) last -= y[i];
    y[n - 1] = last;
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        x[i] = std::clamp(y[i], 0.0, 1.0);
        sum += x[i];
    }
    if (sum > 1.0)
        for (std::size_t i = 0; i < n; ++i) x[i] /= sum;
}

void RCM_FUN(std::int64_t neq, double /*t*/, std::span<double> y, std::span<double> ydot) {
    if (neq < 1 || static_cast<std::size_t>(neq) >= kMax) return;
    RcmContext& ctx = RCM_CONTEXT();
    ctx.n = neq + 1;
    const auto n = static_cast<std::size_t>(ctx.n);
    std::array<double, kMax> x{}, v{};
    PrepareComposition(neq, y, x);
    bubbleVapour(ctx, std::span(x).first(n), v, "RCM_FUN");
    for (std::size_t i = 0; i + 1 < n; ++i) ydot[i] = x[i] - v[i];
}

void RCM_JAC(std::int64_t neq, double /*t*/, std::span<double> y, std::int64_t /*ml*/,
             std::int64_t /*mu*/, std::span<double> pd, std::int64_t /*nrowpd*/) {
    if (neq < 1 || static_cast<std::size_t>(neq) >= kMax) return;
    RcmContext& ctx = RCM_CONTEXT();
    ctx.n = neq + 1;
    const auto n = static_cast<std::size_t>(ctx.n);
    const auto m = static_cast<std::size_t>(neq);
    constexpr double h = 1e-6;
    std::array<double, kMax> x{}, xp{}, xm{}, vp{}, vm{};
    PrepareComposition(neq, y, x);
    for (std::size_t j = 0; j < m; ++j) {
        PerturbPair(ctx.n, h, static_cast<std::int64_t>(j + 1), ctx.n, std::span(x).first(n), xp,
                    xm);
        bubbleVapour(ctx, std::span(xp).first(n), vp, "RCM_JAC");
        bubbleVapour(ctx, std::span(xm).first(n), vm, "RCM_JAC");
        for (std::size_t i = 0; i < m; ++i)
            pd[j * m + i] = (i == j ? 1.0 : 0.0) - (vp[i] - vm[i]) / h;
    }
}

}  // namespace ternival
