#include "rcm/isovolatility.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include "engine/engine_flash.h"

namespace ternival {
namespace {

constexpr double kTolerance = 0.0005;
constexpr int kMaxEvaluations = 26;
constexpr double kEdge = 0.005;
constexpr double kStep = 0.02;

using Point = std::array<double, 3>;

void scaleToOne(Point& x) {
    const double s = x[0] + x[1] + x[2];
    if (s != 0.0)
        for (double& v : x) v /= s;
}

struct Bubble {
    Point x{}, y{};
    double t = 0.0;
};

Bubble flash(const Point& z, double pressure, std::span<const std::int64_t> ids, int phase,
             std::string_view method) {
    Bubble b;
    Point x1{}, x2{};
    double p = pressure, vf = 0.0, r = 0.0;
    std::int64_t err = 0;
    EngineFlash("PV", phase, method, 3, ids, z, b.t, p, vf, b.y, b.x, r, x1, x2, err);
    return b;
}

bool negative(const Point& x) { return x[0] < 0.0 || x[1] < 0.0 || x[2] < 0.0; }

}  // namespace

void Isovolatility_Trace(std::int64_t i64, std::span<const double> start, double pressure,
                         std::span<const std::int64_t> ids, int phase, std::string_view method,
                         std::int64_t capacity, std::int64_t& point_count, std::span<double> x1,
                         std::span<double> x2, std::span<double> x3, std::span<double> temperature,
                         std::span<double> ratio) {
    point_count = 0;
    if (i64 < 0 || i64 > 2 || start.size() < 3 || ids.size() < 3) return;
    const auto i = static_cast<std::size_t>(i64);
    static constexpr std::array<std::array<std::size_t, 2>, 3> kPairs{{{1, 2}, {0, 2}, {0, 1}}};
    static constexpr std::array<double, 3> kSlopes{0.0, -1.0, 1e30};
    const std::size_t j = kPairs[i][0], k = kPairs[i][1];
    double slope = kSlopes[i];
    // Never store past the shortest of the caller's arrays.
    const auto cap = static_cast<std::size_t>(std::max<std::int64_t>(
        0, std::min<std::int64_t>(capacity, static_cast<std::int64_t>(std::min(
                                                {x1.size(), x2.size(), x3.size(), temperature.size(), ratio.size()})))));
    std::size_t p = 0;
    auto store = [&](const Bubble& b) {
        x1[p] = b.x[0];
        x2[p] = b.x[1];
        x3[p] = b.x[2];
        temperature[p] = b.t;
        ratio[p] = (b.x[j] > 0.0 && b.x[k] > 0.0 && b.y[k] != 0.0) ? (b.y[j] / b.x[j]) / (b.y[k] / b.x[k]) : 0.0;
        ++p;
    };
    auto f = [&](const Bubble& b, bool& zero) {
        for (std::size_t m = 0; m < 3; ++m)
            if (m != i && b.x[m] == 0.0) zero = true;
        if (zero) return 0.0;
        return b.y[j] / b.x[j] - b.y[k] / b.x[k];
    };

    Point x0{start[0], start[1], start[2]};
    x0[i] = 1e-5;
    scaleToOne(x0);
    Point previous{};
    while (p < cap) {
        bool zero = false;
        double f0 = f(flash(x0, pressure, ids, phase, method), zero);
        if (zero) break;
        const double theta = std::atan(slope);
        const Point d{std::sin(theta), -(std::sin(theta) + std::cos(theta)), std::cos(theta)};
        double s0 = 0.0, s1 = 0.005;
        auto trial = [&](double s) { return Point{x0[0] + s * d[0], x0[1] + s * d[1], x0[2] + s * d[2]}; };
        Point z = trial(s1);
        if (negative(z)) break;
        Bubble found;
        bool ok = false;
        for (int evaluation = 1;; ++evaluation) {
            found = flash(z, pressure, ids, phase, method);
            const double f1 = f(found, zero);
            if (zero) break;
            if (std::abs(f1) < kTolerance) {
                ok = true;
                break;
            }
            if (evaluation >= kMaxEvaluations) break;
            double ds = s1 - s0;
            if (ds == 0.0) ds = 1e-30;
            const double step = std::clamp(-f1 / ((f1 - f0) / ds), -0.1, 0.1);
            s0 = s1;
            s1 += step;
            f0 = f1;
            z = trial(s1);
            if (negative(z)) break;
        }
        if (!ok) break;
        store(found);
        if (z[j] < kEdge || z[k] < kEdge) break;
        const Point P = found.x;
        if (p == 1) {
            x0 = P;
            x0[i] += 0.01;
            scaleToOne(x0);
        } else {
            const double d1 = P[0] - previous[0], d3 = P[2] - previous[2];
            double len = std::sqrt(d1 * d1 + d3 * d3);
            if (len == 0.0) break;  // no chord to follow
            bool enlarged = false;
            for (int guard = 0; guard < 2000; ++guard) {
                x0[0] = P[0] + kStep * d1 / len;
                x0[2] = P[2] + kStep * d3 / len;
                x0[1] = 1.0 - x0[0] - x0[2];
                if (!(x0[j] < 0.0 || x0[k] < 0.0 || x0[i] < 0.0)) break;
                len *= 1.1;
                enlarged = true;
            }
            if (enlarged) {
                if (p < cap) {
                    Bubble last = flash(x0, pressure, ids, phase, method);
                    last.x = x0;
                    store(last);
                }
                break;
            }
            slope = d1 == 0.0 ? 1e30 : -d3 / d1;
        }
        previous = P;
    }
    point_count = static_cast<std::int64_t>(p);
}

void Isovolatility_Curves(std::int64_t n, double pressure, std::span<const std::int64_t> ids,
                          int phase, std::string_view method, std::int64_t& curve_count,
                          std::span<std::int64_t> points_per_curve, std::span<double> buffer,
                          std::int64_t& error) {
    error = 0;
    const std::int64_t capacity_curves =
        std::clamp<std::int64_t>(curve_count, 0, static_cast<std::int64_t>(points_per_curve.size()));
    const std::int64_t m = points_per_curve.empty() ? 0 : std::max<std::int64_t>(points_per_curve[0], 0);
    curve_count = 0;
    std::ranges::fill(points_per_curve, 0);
    std::ranges::fill(buffer, -1.0);
    if (n != 3 || m == 0 || ids.size() < 3) return;
    const auto M = static_cast<std::size_t>(m);
    std::vector<double> a(M), b(M), c(M), t(M), r(M);
    for (std::int64_t i = 0; i < n && curve_count < capacity_curves; ++i) {
        Point start{0.5, 0.5, 0.5};
        start[static_cast<std::size_t>(i)] = 0.0;
        std::int64_t count = 0;
        Isovolatility_Trace(i, start, pressure, ids, phase, method, m, count, a, b, c, t, r);
        if (count < 1) continue;
        const auto k = static_cast<std::size_t>(curve_count);
        if (buffer.size() < (k + 1) * M * 3) break;  // the buffer holds no further curve
        points_per_curve[k] = count;
        for (std::size_t q = 0; q < static_cast<std::size_t>(count); ++q) {
            buffer[(k * M + q) * 3 + 0] = a[q];
            buffer[(k * M + q) * 3 + 1] = b[q];
            buffer[(k * M + q) * 3 + 2] = c[q];
        }
        ++curve_count;
    }
}

}  // namespace ternival
