#include "azeotrope/complete_search.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

#include "azeotrope/search.h"
#include "numerics/funeq.h"
#include "search_internal.h"

namespace ternival {
namespace {

using azeo::BubblePoint;

// An azeotrope as the complete search keeps it: fractions over all n
// components of the search.
struct Point {
    std::vector<double> x;
    double t = 0.0;
    std::int64_t size = 0;
    std::int64_t phase_code = 0;
    std::int64_t stability = 0;
};

constexpr std::int64_t kHomogeneousCode = 1, kHeterogeneousCode = 2;
// Two azeotropes of the same components closer than this are one.
constexpr double kSame = 1e-3;
// A root of y - x is accepted when |y - x| stays below this.
constexpr double kResidual = 1e-10;
// Largest |K - 1| of a component of an accepted azeotrope.
constexpr double kKTolerance = 1e-4;

double distance(const std::vector<double>& a, const std::vector<double>& b) {
    double d = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) d = std::max(d, std::abs(a[i] - b[i]));
    return d;
}

bool samePattern(const std::vector<double>& a, const std::vector<double>& b) {
    for (std::size_t i = 0; i < a.size(); ++i)
        if ((a[i] > 0.0) != (b[i] > 0.0)) return false;
    return true;
}

bool known(const std::vector<Point>& points, const std::vector<double>& x) {
    for (const Point& p : points)
        if (samePattern(p.x, x) && distance(p.x, x) < kSame) return true;
    return false;
}

// The bubble point of the sub-mixture `members` at fractions z (over the
// members), its y - x and whether the liquid splits.
struct SubBubble {
    bool ok = false;
    double t = 0.0;
    std::array<double, kAzeoMaxComponents> gap{};  // y - x
    bool split = false;
};

SubBubble subBubble(std::span<const std::int64_t> ids, std::span<const std::size_t> members,
                    std::span<const double> z, double pressure, std::int64_t phase, std::string_view method) {
    std::array<std::int64_t, kAzeoMaxComponents> sub_ids{};
    for (std::size_t k = 0; k < members.size(); ++k) sub_ids[k] = ids[members[k]];
    const auto m = static_cast<std::int64_t>(members.size());
    const azeo::Bubble b = BubblePoint(phase, method, m, std::span(sub_ids).first(members.size()), z, pressure);
    SubBubble s;
    s.ok = b.error == 0;
    s.t = b.t;
    for (std::size_t k = 0; k < members.size(); ++k) {
        s.gap[k] = b.y[k] - z[k];
        if (std::abs(b.x1[k] - b.x2[k]) > 1e-6) s.split = true;
    }
    return s;
}

Point makePoint(std::size_t n, std::span<const std::size_t> members, std::span<const double> z, const SubBubble& b) {
    Point p;
    p.x.assign(n, 0.0);
    for (std::size_t k = 0; k < members.size(); ++k) p.x[members[k]] = z[k];
    p.t = b.t;
    p.size = static_cast<std::int64_t>(members.size());
    p.phase_code = b.split ? kHeterogeneousCode : kHomogeneousCode;
    return p;
}

bool newtonSub(std::span<const std::int64_t> ids, std::span<const std::size_t> members, double pressure,
               std::int64_t phase, std::string_view method, std::vector<double>& z, SubBubble& at,
               bool leave_faces = true);

// Every sign change of y1 - x1 along x1 (cosine-spaced grid, denser at the
// pure ends), refined by regula falsi.
void scanBinary(std::span<const std::int64_t> ids, std::size_t i, std::size_t j, double pressure,
                std::int64_t phase, std::string_view method, std::size_t n, std::vector<Point>& found) {
    const std::array<std::size_t, 2> members{i, j};
    auto f = [&](double x1, SubBubble& b) {
        const std::array<double, 2> z{x1, 1.0 - x1};
        b = subBubble(ids, members, z, pressure, phase, method);
        return b.ok ? b.gap[0] : std::nan("");
    };
    constexpr int kGrid = 16;
    SubBubble b;
    double x_prev = 1e-5, f_prev = f(x_prev, b);
    for (int k = 1; k <= kGrid; ++k) {
        const double x = k == kGrid ? 1.0 - 1e-5
                                    : 0.5 * (1.0 - std::cos(std::numbers::pi * k / kGrid));
        const double fx = f(x, b);
        // A root already in the table (the classic search's) is not
        // located again.
        const bool listed = std::any_of(found.begin(), found.end(), [&](const Point& p) {
            return p.size == 2 && p.x[i] > 0.0 && p.x[j] > 0.0 && p.x[i] >= x_prev && p.x[i] <= x;
        });
        if (!listed && std::isfinite(fx) && std::isfinite(f_prev) && fx != 0.0 && (fx > 0.0) != (f_prev > 0.0)) {
            // Regula falsi with the Illinois modification: the bracket
            // shrinks superlinearly; a point outside it is replaced by the
            // midpoint.  The evaluation nearest a root is kept.
            double lo = x_prev, hi = x, flo = f_prev, fhi = fx;
            double best_x = std::abs(f_prev) < std::abs(fx) ? x_prev : x;
            double best_f = std::min(std::abs(f_prev), std::abs(fx));
            SubBubble best = b;
            if (best_x == x_prev) f(x_prev, best);
            int side = 0;
            for (int it = 0; it < 60 && hi - lo > 1e-13 && best_f >= 1e-14; ++it) {
                double mid = (lo * fhi - hi * flo) / (fhi - flo);
                if (!(mid > lo && mid < hi)) mid = 0.5 * (lo + hi);
                SubBubble bm;
                const double fm = f(mid, bm);
                if (!std::isfinite(fm)) break;
                if (std::abs(fm) < best_f) best_x = mid, best_f = std::abs(fm), best = bm;
                if ((fm > 0.0) == (flo > 0.0)) {
                    lo = mid, flo = fm;
                    if (side == -1) fhi *= 0.5;
                    side = -1;
                } else {
                    hi = mid, fhi = fm;
                    if (side == 1) flo *= 0.5;
                    side = 1;
                }
            }
            std::vector<double> z{best_x, 1.0 - best_x};
            // A sign change across a jump (no root) leaves a large residual.
            if (best_f < 1e-6) {
                // Newton takes a root of one liquid to its last digits where
                // the bracket did not (a heteroazeotrope's y is flat along
                // its tie line: the bracket's point stands).
                if (!best.split && best_f >= kResidual) {
                    std::vector<double> polished = z;
                    SubBubble pb;
                    if (newtonSub(ids, members, pressure, phase, method, polished, pb) && !pb.split) {
                        z = polished;
                        best = pb;
                    }
                }
                Point p = makePoint(n, members, z, best);
                if (!known(found, p.x)) found.push_back(std::move(p));
            }
        }
        x_prev = x;
        f_prev = fx;
    }
}

// Newton's method on (y - x) of the sub-mixture `members` from the start
// z; true with the root in z when it converges with every fraction
// positive (giving up early, with `leave_faces`, when it slides to a face).
bool newtonSub(std::span<const std::int64_t> ids, std::span<const std::size_t> members, double pressure,
               std::int64_t phase, std::string_view method, std::vector<double>& z, SubBubble& at,
               bool leave_faces) {
    std::array<std::int64_t, kAzeoMaxComponents> sub_ids{};
    for (std::size_t k = 0; k < members.size(); ++k) sub_ids[k] = ids[members[k]];
    azeo::Bubble b;
    if (!azeo::NewtonOnYMinusX(std::span(sub_ids).first(members.size()), z, pressure, phase, method, kResidual, b,
                                 leave_faces))
        return false;
    at = subBubble(ids, members, z, pressure, phase, method);
    return at.ok;
}

// y - x is small next to a face whatever K is there (y_c - x_c =
// x_c (K_c - 1)): an azeotrope has every K-value at 1.  A root of y - x
// that slid towards an azeotrope of a smaller mixture does not.
bool everyKAtOne(std::span<const double> z, const SubBubble& at) {
    for (std::size_t c = 0; c < z.size(); ++c)
        if (!(std::abs(at.gap[c]) <= kKTolerance * z[c])) return false;
    return true;
}

// Newton from each start; the roots inside the sub-mixture are added.
void searchSub(std::span<const std::int64_t> ids, std::span<const std::size_t> members,
               const std::vector<std::vector<double>>& starts, double pressure, std::int64_t phase,
               std::string_view method, std::size_t n, std::vector<Point>& found) {
    for (std::vector<double> z : starts) {
        SubBubble at;
        if (!newtonSub(ids, members, pressure, phase, method, z, at) || !everyKAtOne(z, at)) continue;
        Point p = makePoint(n, members, z, at);
        if (!known(found, p.x)) found.push_back(std::move(p));
    }
}

// Starts next to an azeotrope of a smaller sub-mixture, with some of the
// components it lacks.
std::vector<double> grownStart(const Point& p, std::span<const std::size_t> members, double share) {
    std::vector<double> z(members.size());
    std::size_t missing = 0;
    for (std::size_t c = 0; c < members.size(); ++c)
        if (p.x[members[c]] <= 0.0) ++missing;
    for (std::size_t c = 0; c < members.size(); ++c)
        z[c] = p.x[members[c]] > 0.0 ? (1.0 - share) * p.x[members[c]] : share / static_cast<double>(missing);
    return z;
}

// Starts from the winding of the field y - x over the ternary: on a
// triangular grid, a cell around which (y1 - x1, y2 - x2) turns once holds
// a zero, and Newton starts at its centroid.  Where the field turns fast
// along a cell edge the edge is halved (a few times) until each piece
// turns by less than a quarter circle.
void windingStarts(std::span<const std::int64_t> ids, std::span<const std::size_t> members, double pressure,
                   std::int64_t phase, std::string_view method, std::vector<std::vector<double>>& starts) {
    using Z = std::array<double, 3>;
    constexpr int kCells = 6;
    constexpr double kInset = 1e-3;
    auto angle = [&](const Z& z) {
        const SubBubble b = subBubble(ids, members, z, pressure, phase, method);
        return b.ok ? std::atan2(b.gap[1], b.gap[0]) : std::nan("");
    };
    auto point = [&](int a, int b) {
        const double fa = static_cast<double>(a) / kCells, fb = static_cast<double>(b) / kCells;
        return Z{kInset + (1 - 3 * kInset) * fa, kInset + (1 - 3 * kInset) * fb,
                 kInset + (1 - 3 * kInset) * (1 - fa - fb)};
    };
    std::array<double, (kCells + 1) * (kCells + 1)> theta{};
    for (int a = 0; a <= kCells; ++a)
        for (int b = 0; a + b <= kCells; ++b) theta[static_cast<std::size_t>(a * (kCells + 1) + b)] = angle(point(a, b));
    auto wrap = [](double d) {
        while (d > std::numbers::pi) d -= 2 * std::numbers::pi;
        while (d < -std::numbers::pi) d += 2 * std::numbers::pi;
        return d;
    };
    auto turn = [&](auto&& self, const Z& za, double ta, const Z& zb, double tb, int depth) -> double {
        const double d = wrap(tb - ta);
        if (std::abs(d) <= std::numbers::pi / 2 || depth == 6 || !std::isfinite(ta) || !std::isfinite(tb)) return d;
        const Z zm{(za[0] + zb[0]) / 2, (za[1] + zb[1]) / 2, (za[2] + zb[2]) / 2};
        const double tm = angle(zm);
        return self(self, za, ta, zm, tm, depth + 1) + self(self, zm, tm, zb, tb, depth + 1);
    };
    auto cell = [&](std::array<std::pair<int, int>, 3> v) {
        std::array<Z, 3> z;
        std::array<double, 3> t;
        for (std::size_t q = 0; q < 3; ++q) {
            z[q] = point(v[q].first, v[q].second);
            t[q] = theta[static_cast<std::size_t>(v[q].first * (kCells + 1) + v[q].second)];
            if (!std::isfinite(t[q])) return;
        }
        const double w = turn(turn, z[0], t[0], z[1], t[1], 0) + turn(turn, z[1], t[1], z[2], t[2], 0) +
                         turn(turn, z[2], t[2], z[0], t[0], 0);
        if (std::abs(w) > std::numbers::pi)
            starts.push_back({(z[0][0] + z[1][0] + z[2][0]) / 3, (z[0][1] + z[1][1] + z[2][1]) / 3,
                              (z[0][2] + z[1][2] + z[2][2]) / 3});
    };
    for (int a = 0; a < kCells; ++a)
        for (int b = 0; a + b < kCells; ++b) {
            cell({{{a, b}, {a + 1, b}, {a, b + 1}}});
            if (a + b + 2 <= kCells) cell({{{a + 1, b}, {a + 1, b + 1}, {a, b + 1}}});
        }
}

void searchTernary(std::span<const std::int64_t> ids, std::size_t i, std::size_t j, std::size_t k,
                   double pressure, std::int64_t phase, std::string_view method, std::size_t n,
                   std::vector<Point>& found) {
    const std::array<std::size_t, 3> members{i, j, k};
    std::vector<std::vector<double>> starts;
    windingStarts(ids, members, pressure, phase, method, starts);
    searchSub(ids, members, starts, pressure, phase, method, n, found);
}

// True for an azeotrope of three or more components with a trace of one of
// them (below 1e-3) that is not one: Newton from it converges to y = x
// with some K-value off 1, because the location slid towards an azeotrope
// of the smaller mixture on that face (which the binary and ternary steps
// find).
bool slidToAFace(std::span<const std::int64_t> ids, const Point& p, double pressure, std::int64_t phase,
                 std::string_view method) {
    if (p.size < 3) return false;
    std::vector<std::size_t> members;
    std::vector<double> z;
    double smallest = 1.0;
    for (std::size_t c = 0; c < p.x.size(); ++c)
        if (p.x[c] > 0.0) {
            members.push_back(c);
            z.push_back(p.x[c]);
            smallest = std::min(smallest, p.x[c]);
        }
    if (smallest >= 1e-3) return false;
    SubBubble at;
    // Newton failing proves nothing: the row stays.
    return newtonSub(ids, members, pressure, phase, method, z, at, false) && !everyKAtOne(z, at);
}

}  // namespace

void Complete_Azeo_Search(std::int64_t n, double pressure, std::int64_t phase, std::string_view method,
                          std::span<const std::int64_t> ids, std::int64_t& count,
                          std::span<double> compositions, std::span<double> temperatures,
                          std::span<std::int64_t> sizes, std::span<std::int64_t> phase_codes,
                          std::span<std::int64_t> stability, std::span<double> singular_compositions,
                          std::span<double> singular_temperatures,
                          std::span<std::int64_t> singular_stability, std::int64_t& error,
                          CompleteSearchStats* stats) {
    const std::int64_t capacity = count;
    // The classic pass runs without its limit on sub-mixtures tried in
    // vain: at 16 components and more it stops there and drops azeotropes
    // that the growth below does not find again.  What bounds it then is
    // the number of sub-mixtures that grow from an azeotrope.
    const azeo::ScopedSubMixtureMemory unlimited(std::numeric_limits<std::int64_t>::max());
    Azeo_Search(n, pressure, phase, method, ids, count, compositions, temperatures, sizes, phase_codes, stability,
                singular_compositions, singular_temperatures, singular_stability, error);
    if (n < 2 || n > kAzeoMaxComponents || count < 0) return;
    const auto un = static_cast<std::size_t>(n);
    // The classic search's azeotropes first, so that they keep their place.
    std::vector<Point> points;
    for (std::int64_t a = 0; a < count; ++a) {
        Point p;
        const auto ua = static_cast<std::size_t>(a);
        p.x.assign(compositions.begin() + static_cast<std::ptrdiff_t>(ua * un),
                   compositions.begin() + static_cast<std::ptrdiff_t>((ua + 1) * un));
        p.t = temperatures[ua];
        p.size = sizes[ua];
        p.phase_code = phase_codes[ua];
        p.stability = stability[ua];
        if (slidToAFace(ids, p, pressure, phase, method)) continue;
        points.push_back(std::move(p));
    }
    const std::size_t classic = points.size();
    for (std::size_t i = 0; i < un; ++i)
        for (std::size_t j = i + 1; j < un; ++j) scanBinary(ids, i, j, pressure, phase, method, un, points);
    for (std::size_t i = 0; i < un; ++i)
        for (std::size_t j = i + 1; j < un; ++j)
            for (std::size_t k = j + 1; k < un; ++k) searchTernary(ids, i, j, k, pressure, phase, method, un, points);
    // Four components and more: grown from the azeotropes one component
    // smaller, each with a little of one more component.
    for (std::int64_t size = 4; size <= n; ++size) {
        const std::size_t before = points.size();
        for (std::size_t a = 0; a < before; ++a) {
            if (points[a].size != size - 1) continue;
            for (std::size_t c = 0; c < un; ++c) {
                if (points[a].x[c] > 0.0) continue;
                std::vector<std::size_t> members;
                for (std::size_t q = 0; q < un; ++q)
                    if (points[a].x[q] > 0.0 || q == c) members.push_back(q);
                const std::vector<std::vector<double>> starts{grownStart(points[a], members, 0.1),
                                                              grownStart(points[a], members, 0.3)};
                searchSub(ids, members, starts, pressure, phase, method, un, points);
            }
        }
    }

    // Classify what was added, as the classic search classifies its own.
    for (std::size_t a = classic; a < points.size(); ++a)
        points[a].stability = azeo::Classify(n, points[a].x, pressure, ids, method, phase, error);
    bool limited = false;
    if (points.size() > static_cast<std::size_t>(capacity)) {
        points.resize(static_cast<std::size_t>(capacity));
        limited = true;
        error = kAzeoSearchFailed;
    }
    // The table, laid out as the classic search lays it out.
    count = static_cast<std::int64_t>(points.size());
    for (std::size_t a = 0; a < points.size(); ++a) {
        std::copy(points[a].x.begin(), points[a].x.end(), compositions.begin() + static_cast<std::ptrdiff_t>(a * un));
        temperatures[a] = points[a].t;
        sizes[a] = points[a].size;
        phase_codes[a] = points[a].phase_code;
        stability[a] = points[a].stability;
        std::copy(points[a].x.begin(), points[a].x.end(),
                  singular_compositions.begin() + static_cast<std::ptrdiff_t>((un + a) * un));
        singular_temperatures[un + a] = points[a].t;
        singular_stability[un + a] = points[a].stability;
    }
    if (stats) {
        stats->classic = static_cast<std::int64_t>(classic);
        stats->added = static_cast<std::int64_t>(points.size()) - static_cast<std::int64_t>(classic);
        stats->limit_reached = limited;
    }
}

}  // namespace ternival
