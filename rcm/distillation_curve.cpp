#include "rcm/distillation_curve.h"

#include <algorithm>
#include <array>
#include <vector>

#include "engine/engine_flash.h"
#include "engine/run_log.h"

namespace ternival {
namespace {

constexpr std::string_view kRoutine = "Distillation_Curve";
constexpr double kConverged2 = static_cast<double>(2.5e-9f);
constexpr std::size_t kMax = 10;

double distance2(std::span<const double> a, std::span<const double> b) {
    double d = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) d += (a[i] - b[i]) * (a[i] - b[i]);
    return d;
}

struct Setup {
    std::size_t n;
    std::int64_t end_test, naz;
    std::span<const double> singular_x;
    std::span<const std::int64_t> singular_code;
    double pressure;
    std::span<const std::int64_t> ids;
    std::string_view method;
    int phase;
};

// One direction with budget `budget`; points stored column by column in
// `out` (which holds at least one column).  Returns the number of points.
std::size_t direction(const Setup& s, std::span<const double> x0, bool forward, std::size_t budget,
                      std::vector<double>& out, std::int64_t& error) {
    const std::size_t n = s.n;
    out.assign(n * std::max<std::size_t>(budget, 1), 0.0);
    auto point = [&](std::size_t k) { return std::span(out).subspan((k - 1) * n, n); };
    std::copy_n(x0.begin(), n, point(1).begin());
    std::size_t k = 1;
    const std::int64_t node = forward ? 1 : 3;
    std::array<double, kMax> y{}, x{}, x1{}, x2{};
    while (true) {
        if (k >= budget) {
            LogRunMessage(501, kRoutine);
            error = 1;
            return std::min(k, std::max<std::size_t>(budget, 1));
        }
        double t = 0.0, p = s.pressure, vf = forward ? 1.0 : 0.0, r = 0.0;
        std::int64_t status = 0;
        EngineFlash("PV", s.phase, s.method, static_cast<int>(n), s.ids, point(k), t, p, vf,
                    std::span(y).first(n), std::span(x).first(n), r, std::span(x1).first(n),
                    std::span(x2).first(n), status);
        if (status > 0) LogRunMessage(502, kRoutine);
        if (status < 0) {
            LogRunMessage(507, kRoutine);
            error = -1;
            return k;
        }
        ++k;
        std::copy_n(forward ? x.begin() : y.begin(), n, point(k).begin());
        if (k < 3) continue;
        const double d = distance2(point(k), point(k - 1)), dp = distance2(point(k - 1), point(k - 2));
        if (!(d <= kConverged2 && d < dp)) continue;
        if (s.end_test == 2) return k;
        if (s.end_test != 1 && s.end_test != 3) continue;
        const auto columns = static_cast<std::size_t>(static_cast<std::int64_t>(n) + s.naz);
        for (std::size_t j = 0; j < columns; ++j) {
            if (s.end_test == 1 && s.singular_code[j] != node) continue;
            if (distance2(point(k), s.singular_x.subspan(j * n, n)) <= kConverged2) return k;
        }
    }
}

}  // namespace

void Distillation_Curve(std::int64_t n, std::span<const double> x0, std::int64_t mode,
                        std::int64_t end_test, std::int64_t naz,
                        std::span<const double> singular_x,
                        std::span<const std::int64_t> singular_code, double pressure,
                        std::span<const std::int64_t> ids, std::string_view method, int phase,
                        std::int64_t& point_count, std::int64_t& direction_code,
                        std::span<double> points, std::int64_t& error) {
    error = 0;
    const auto count = static_cast<std::size_t>(std::max<std::int64_t>(n, 0));
    // The capacity never exceeds what the caller's array holds.
    std::size_t capacity = point_count > 0 ? static_cast<std::size_t>(point_count) : 0;
    if (count > 0) capacity = std::min(capacity, points.size() / count);
    std::fill_n(points.begin(), std::min(points.size(), count * capacity), -1.0);
    const std::size_t cols = static_cast<std::size_t>(std::max<std::int64_t>(0, n + naz));
    const bool singular_ok = end_test == 2 || (naz >= 0 && singular_x.size() >= count * cols &&
                                               singular_code.size() >= cols);
    if (n < 1 || count > kMax || x0.size() < count || ids.size() < count || !singular_ok) {
        LogRunMessage(505, kRoutine);
        error = -1;
        point_count = 0;
        return;
    }
    if (capacity == 0) {
        LogRunMessage(501, kRoutine);
        error = 1;
        point_count = 0;
        return;
    }
    const Setup s{count, end_test, naz, singular_x, singular_code, pressure, ids, method, phase};
    std::vector<double> fwd, bwd;
    std::size_t nf = 0, nb = 0;
    if (mode != 3) nf = direction(s, x0, true, capacity, fwd, error);
    if (mode != 2) nb = direction(s, x0, false, mode == 1 ? capacity - nf : capacity, bwd, error);
    auto column = [&](std::vector<double>& v, std::size_t k) { return std::span(v).subspan(k * count, count); };
    auto out = [&](std::size_t k) { return points.subspan(k * count, count); };
    if (mode == 1) {
        // nb + nf - 1 <= capacity: the backward budget is what the forward left.
        std::size_t o = 0;
        for (std::size_t k = nb; k-- > 0;) std::ranges::copy(column(bwd, k), out(o++).begin());
        for (std::size_t k = 1; k < nf && o < capacity; ++k) std::ranges::copy(column(fwd, k), out(o++).begin());
        point_count = static_cast<std::int64_t>(o);
        direction_code = 2;
    } else if (mode == 2) {
        for (std::size_t k = 0; k < nf; ++k) std::ranges::copy(column(fwd, k), out(k).begin());
        point_count = static_cast<std::int64_t>(nf);
        direction_code = 2;
    } else if (mode == 3) {
        for (std::size_t k = 0; k < nb; ++k) std::ranges::copy(column(bwd, k), out(k).begin());
        point_count = static_cast<std::int64_t>(nb);
        direction_code = -2;
    } else {
        point_count = 0;  // unknown mode: only the fill
    }
}

}  // namespace ternival
