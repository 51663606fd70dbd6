#include "azeotrope/stability.h"

#include <algorithm>
#include <array>
#include <vector>

#include "engine/engine_flash.h"
#include "engine/run_log.h"
#include "numerics/simplex.h"

extern "C" void dgeev_(const char* jobvl, const char* jobvr, const int* n, double* a,
                       const int* lda, double* wr, double* wi, double* vl, const int* ldvl,
                       double* vr, const int* ldvr, double* work, const int* lwork, int* info,
                       std::size_t, std::size_t);

namespace ternival {
namespace {

constexpr std::size_t kMaxComponents = 100;
constexpr std::string_view kRoutine = "Stability_RCM";

// Bubble point of x at the given pressure; returns the flash's error value
// and leaves the vapour composition in y.
std::int64_t bubbleVapour(std::span<const double> x, std::span<const std::int64_t> ids,
                          double pressure, std::string_view method, int phase,
                          std::span<double> y) {
    std::array<double, kMaxComponents> liquid{}, x1{}, x2{};
    double t = 0.0, p = pressure, vf = 0.0, result = 0.0;
    std::int64_t err = 0;
    const auto n = static_cast<int>(x.size());
    EngineFlash("PV", phase, method, n, ids, x, t, p, vf, y, liquid, result, x1, x2, err);
    return err;
}

}  // namespace

void Stability_RCM(std::int64_t n, std::span<const double> x, std::int64_t eigen_request,
                   double pressure, std::span<const std::int64_t> ids, std::string_view method,
                   int phase, std::int64_t& code, std::span<double> re, std::span<double> vectors,
                   std::int64_t& error) {
    error = 0;
    if (n < 1 || static_cast<std::size_t>(n) > kMaxComponents ||
        x.size() < static_cast<std::size_t>(n) || ids.size() < static_cast<std::size_t>(n)) {
        error = -1;
        return;
    }
    const int order = static_cast<int>(n - 1);
    if (order == 0) {
        code = kStableNode;
        return;
    }
    const auto count = static_cast<std::size_t>(n);
    const auto m = static_cast<std::size_t>(order);
    constexpr double h = 1e-6;

    std::vector<double> jac(m * m, 0.0);
    std::array<double, kMaxComponents> xp{}, xm{}, yp{}, ym{};
    const std::span<const double> xs = x.first(count);
    const std::span<const std::int64_t> id = ids.first(count);
    for (std::size_t k = 0; k < m; ++k) {
        PerturbPair(n, h, static_cast<std::int64_t>(k + 1), n, xs, xp, xm);
        const auto flash = [&](std::span<const double> at, std::span<double> vapour) {
            const std::int64_t status = bubbleVapour(at, id, pressure, method, phase, vapour);
            if (status > 0) {
                LogRunMessage(502, kRoutine);
            } else if (status < 0) {
                LogRunMessage(507, kRoutine);
                error = -1;
            }
        };
        flash(std::span(xp).first(count), yp);
        flash(std::span(xm).first(count), ym);
        for (std::size_t r = 0; r < m; ++r)
            jac[k * m + r] = (r == k ? 1.0 : 0.0) - (yp[r] - ym[r]) / h;
    }

    const bool want_vectors = eigen_request != 1;
    std::vector<double> wr(m), wi(m), vr(want_vectors ? m * m : 1), work(5 * count);
    const int lwork = static_cast<int>(work.size());
    const int ldv = want_vectors ? order : 1;
    double vl_dummy = 0.0;
    const int one = 1;
    int info = 0;
    dgeev_("N", want_vectors ? "V" : "N", &order, jac.data(), &order, wr.data(), wi.data(),
           &vl_dummy, &one, vr.data(), &ldv, work.data(), &lwork, &info, 1, 1);
    if (info != 0) {
        LogRunMessage(508, kRoutine);
        error = -2;
        return;
    }
    const auto negatives = static_cast<std::size_t>(
        std::count_if(wr.begin(), wr.end(), [](double v) { return v < 0.0; }));
    code = negatives == m ? kStableNode : (negatives > 0 ? kSaddle : kUnstableNode);
    std::copy_n(wr.begin(), std::min(m, re.size()), re.begin());
    if (want_vectors) std::copy_n(vr.begin(), std::min(m * m, vectors.size()), vectors.begin());
}

std::int64_t PureComponentStability(std::span<const std::int64_t> ids, std::size_t i,
                                    double pressure, std::string_view method, int phase,
                                    std::int64_t& error) {
    const std::size_t n = std::min(ids.size(), kMaxComponents);
    std::array<double, kMaxComponents> x{}, y{};
    // The near-pure fraction is the single-precision value of 0.9999999.
    std::fill_n(x.begin(), n, 1e-7);
    x[i] = static_cast<double>(0.9999999f);
    double sum = 0.0;
    for (std::size_t k = 0; k < n; ++k) sum += x[k];
    for (std::size_t k = 0; k < n; ++k) x[k] /= sum;
    error = bubbleVapour(std::span(x).first(n), ids.first(n), pressure, method, phase, y);
    bool all_ge = true, all_le = true;
    for (std::size_t k = 0; k < n; ++k) {
        if (k == i) continue;
        const double kv = y[k] / x[k];
        all_ge = all_ge && kv >= 1.0;
        all_le = all_le && kv <= 1.0;
    }
    return all_ge ? kStableNode : (all_le ? kUnstableNode : kSaddle);
}

std::int64_t TopologicalIndex(std::span<const std::int64_t> component_counts,
                              std::span<const std::int64_t> codes) {
    std::int64_t sum = 0;
    for (std::size_t k = 0; k < std::min(component_counts.size(), codes.size()); ++k) {
        const bool node = codes[k] == kStableNode || codes[k] == kUnstableNode;
        switch (component_counts[k]) {
            case 1: sum += node ? 1 : 0; break;
            case 2: sum += node ? 1 : -1; break;
            case 3: sum += node ? 2 : -2; break;
            default: break;
        }
    }
    return sum;
}

}  // namespace ternival
