#include "design/regions.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <numbers>

#include "azeotrope/complete_search.h"
#include "azeotrope/search.h"
#include "engine/engine_flash.h"
#include "rcm/dist_boundary.h"

namespace ternival::design {
namespace {

constexpr double kAbsent = 1e-6;

struct Xy {
    double x = 0.0, y = 0.0;
};

// The triangle in the plane: Top at the apex, Left bottom-left, Right
// bottom-right.
Xy Place(const Composition& c) { return {c[2] + 0.5 * c[0], 0.5 * std::numbers::sqrt3 * c[0]}; }

double Distance(const Composition& a, const Composition& b) {
    double d = 0.0;
    for (std::size_t i = 0; i < 3; ++i) d = std::max(d, std::abs(a[i] - b[i]));
    return d;
}

struct Arc {
    int from = 0, to = 0;
    std::vector<Composition> points;  // from the first node to the second
};

struct HalfEdge {
    int arc = 0;
    bool forward = true;
    int from = 0, to = 0;
    double angle = 0.0;
};

// Angle at which a polyline leaves its first point, taken to a point some
// way along it: boundaries come into a node on an edge along the edge
// itself (the node's slow direction), and only further out turn to the
// side they lie on.
double LeavingAngle(const std::vector<Composition>& pts, bool forward) {
    const std::size_t n = pts.size();
    const Composition& start = forward ? pts.front() : pts.back();
    const Xy a = Place(start);
    for (std::size_t k = 1; k < n; ++k) {
        const Composition& q = forward ? pts[k] : pts[n - 1 - k];
        if (Distance(q, start) > 0.03 || k + 1 == n) {
            const Xy b = Place(q);
            return std::atan2(b.y - a.y, b.x - a.x);
        }
    }
    return 0.0;
}

}  // namespace

bool OnAnEdge(const std::vector<Composition>& curve) {
    for (std::size_t k = 0; k < 3; ++k)
        if (std::all_of(curve.begin(), curve.end(), [k](const Composition& p) { return p[k] < kAbsent; }))
            return true;
    return false;
}

Regions FindRegions(const std::vector<SingularPoint>& points, const std::vector<std::vector<Composition>>& boundaries,
                    double snap) {
    Regions out;
    const int np = static_cast<int>(points.size());
    std::vector<Arc> arcs;
    // The edges, cut at the singular points that lie on them.
    for (std::size_t k = 0; k < 3; ++k) {
        const std::size_t a = (k + 1) % 3, b = (k + 2) % 3;
        std::vector<int> on;
        for (int p = 0; p < np; ++p)
            if (points[static_cast<std::size_t>(p)].x[k] < kAbsent) on.push_back(p);
        std::sort(on.begin(), on.end(), [&](int u, int v) {
            return points[static_cast<std::size_t>(u)].x[a] > points[static_cast<std::size_t>(v)].x[a];
        });
        for (std::size_t i = 0; i + 1 < on.size(); ++i)
            arcs.push_back({on[i], on[i + 1],
                            {points[static_cast<std::size_t>(on[i])].x, points[static_cast<std::size_t>(on[i + 1])].x}});
        (void)b;
    }
    // The separatrices, their ends on singular points.
    auto nearest = [&](const Composition& x) {
        int best = -1;
        double d = snap;
        for (int p = 0; p < np; ++p) {
            const double dp = Distance(points[static_cast<std::size_t>(p)].x, x);
            if (dp <= d) {
                d = dp;
                best = p;
            }
        }
        return best;
    };
    for (const auto& curve : boundaries) {
        if (curve.size() < 2 || OnAnEdge(curve)) continue;
        const int u = nearest(curve.front()), v = nearest(curve.back());
        if (u < 0 || v < 0 || u == v) {
            out.error = "a distillation boundary does not end at singular points";
            continue;
        }
        // One boundary traced twice (from both of its ends) is one arc.
        const Composition& mid = curve[curve.size() / 2];
        bool twice = false;
        for (const Arc& a : arcs)
            if (((a.from == u && a.to == v) || (a.from == v && a.to == u)) && a.points.size() > 2) {
                double d = 1.0;
                for (const auto& q : a.points) d = std::min(d, Distance(q, mid));
                if (d < snap) twice = true;
            }
        if (twice) continue;
        Arc arc{u, v, curve};
        arc.points.front() = points[static_cast<std::size_t>(u)].x;
        arc.points.back() = points[static_cast<std::size_t>(v)].x;
        arcs.push_back(std::move(arc));
        ++out.separatrices;
    }
    // Faces of the plane graph: half-edges leaving each node in the order
    // of their angles; a face is followed by turning, at each node, to the
    // half-edge just clockwise of the one it came back along, which keeps
    // the face on the left.
    std::vector<HalfEdge> half;
    for (std::size_t a = 0; a < arcs.size(); ++a) {
        half.push_back({static_cast<int>(a), true, arcs[a].from, arcs[a].to, LeavingAngle(arcs[a].points, true)});
        half.push_back({static_cast<int>(a), false, arcs[a].to, arcs[a].from, LeavingAngle(arcs[a].points, false)});
    }
    std::vector<std::vector<int>> leaving(static_cast<std::size_t>(np));
    for (std::size_t h = 0; h < half.size(); ++h) leaving[static_cast<std::size_t>(half[h].from)].push_back(static_cast<int>(h));
    for (auto& l : leaving)
        std::sort(l.begin(), l.end(), [&](int u, int v) { return half[static_cast<std::size_t>(u)].angle < half[static_cast<std::size_t>(v)].angle; });
    auto next = [&](int h) {
        const int twin = h ^ 1;
        const auto& l = leaving[static_cast<std::size_t>(half[static_cast<std::size_t>(h)].to)];
        const auto at = std::find(l.begin(), l.end(), twin) - l.begin();
        return l[static_cast<std::size_t>((at + static_cast<std::ptrdiff_t>(l.size()) - 1) %
                                          static_cast<std::ptrdiff_t>(l.size()))];
    };
    std::vector<char> used(half.size(), 0);
    for (std::size_t start = 0; start < half.size(); ++start) {
        if (used[start]) continue;
        Region r;
        double area = 0.0;
        int h = static_cast<int>(start);
        for (std::size_t guard = 0; guard <= half.size(); ++guard) {
            used[static_cast<std::size_t>(h)] = 1;
            const HalfEdge& e = half[static_cast<std::size_t>(h)];
            r.points.push_back(e.from);
            const auto& pts = arcs[static_cast<std::size_t>(e.arc)].points;
            const std::size_t n = pts.size();
            for (std::size_t k = 0; k + 1 < n; ++k) {
                const Composition& q = e.forward ? pts[k] : pts[n - 1 - k];
                r.outline.push_back(q);
            }
            h = next(h);
            if (h == static_cast<int>(start)) break;
        }
        for (std::size_t k = 0; k < r.outline.size(); ++k) {
            const Xy a = Place(r.outline[k]), b = Place(r.outline[(k + 1) % r.outline.size()]);
            area += a.x * b.y - b.x * a.y;
        }
        // The outer face runs clockwise (negative area).
        if (area <= 1e-9) continue;
        std::vector<int> un, sn;
        for (int p : r.points) {
            const auto code = points[static_cast<std::size_t>(p)].code;
            if (code == 3 && std::find(un.begin(), un.end(), p) == un.end()) un.push_back(p);
            if (code == 1 && std::find(sn.begin(), sn.end(), p) == sn.end()) sn.push_back(p);
        }
        if (un.size() == 1) r.unstable_node = un.front();
        if (sn.size() == 1) r.stable_node = sn.front();
        if (un.size() != 1 || sn.size() != 1)
            out.error = "a region has " + std::to_string(un.size()) + " unstable and " + std::to_string(sn.size()) +
                        " stable nodes on its outline (a boundary may be missing)";
        out.regions.push_back(std::move(r));
    }
    return out;
}

int RegionOf(const Regions& r, const Composition& x) {
    const Xy p = Place(x);
    for (std::size_t g = 0; g < r.regions.size(); ++g) {
        const auto& poly = r.regions[g].outline;
        bool inside = false;
        for (std::size_t i = 0, j = poly.size() - 1; i < poly.size(); j = i++) {
            const Xy a = Place(poly[i]), b = Place(poly[j]);
            if ((a.y > p.y) != (b.y > p.y) && p.x < (b.x - a.x) * (p.y - a.y) / (b.y - a.y) + a.x) inside = !inside;
        }
        if (inside) return static_cast<int>(g);
    }
    return -1;
}

Topology MapTopology(const MapInput& in) {
    Topology t;
    constexpr std::size_t kCapacity = 100, kCurves = 40, kPoints = 1000;
    std::vector<double> boiling(3), kvalues(9);
    std::vector<std::int64_t> pure_codes(3);
    std::int64_t error = 0;
    PureComponentProperties(3, in.pressure, in.ids, in.method, in.phase, boiling, pure_codes, kvalues, error);
    if (error != 0) {
        t.error = "the boiling point of a pure component could not be found (engine error " + std::to_string(error) + ")";
        return t;
    }
    std::int64_t count = static_cast<std::int64_t>(kCapacity);
    std::vector<double> comps(3 * kCapacity), temps(kCapacity), sx(3 * (3 + kCapacity)), st(3 + kCapacity);
    std::vector<std::int64_t> sizes(kCapacity), phases(kCapacity), stab(kCapacity), sc(3 + kCapacity);
    if (in.complete_search)
        Complete_Azeo_Search(3, in.pressure, in.phase, in.method, in.ids, count, comps, temps, sizes, phases, stab, sx,
                             st, sc, error);
    else
        Azeo_Search(3, in.pressure, in.phase, in.method, in.ids, count, comps, temps, sizes, phases, stab, sx, st, sc,
                    error);
    if (error != 0) t.error = "the azeotrope search reported error " + std::to_string(error);
    const auto naz = static_cast<std::size_t>(std::clamp<std::int64_t>(count, 0, kCapacity));
    for (std::size_t k = 0; k < 3 + naz; ++k) {
        SingularPoint p;
        p.x = {sx[3 * k], sx[3 * k + 1], sx[3 * k + 2]};
        p.t = IsMissing(st[k]) && k < 3 ? boiling[k] : st[k];
        p.code = sc[k];
        p.size = k < 3 ? 1 : sizes[k - 3];
        t.points.push_back(p);
    }
    std::int64_t curves = static_cast<std::int64_t>(kCurves), berr = 0;
    std::vector<std::int64_t> counts(kCurves, 0), dirs(kCurves, 0);
    counts[0] = static_cast<std::int64_t>(kPoints);
    std::vector<double> buf(3 * kPoints * kCurves, -1.0);
    Dist_Boundary(3, in.pressure, static_cast<std::int64_t>(naz), sx, sc, st, 0.1, in.ids, in.method, in.phase, curves,
                  counts, buf, dirs, berr);
    for (std::int64_t c = 0; c < std::min<std::int64_t>(curves, kCurves); ++c) {
        std::vector<Composition> curve;
        const std::int64_t np = std::min<std::int64_t>(counts[static_cast<std::size_t>(c)], kPoints);
        for (std::int64_t k = 0; k < np; ++k) {
            const auto at = static_cast<std::size_t>((c * static_cast<std::int64_t>(kPoints) + k) * 3);
            if (buf[at] < 0.0) continue;
            curve.push_back({buf[at], buf[at + 1], buf[at + 2]});
        }
        if (curve.size() >= 2) t.boundaries.push_back(std::move(curve));
    }
    return t;
}

}  // namespace ternival::design
