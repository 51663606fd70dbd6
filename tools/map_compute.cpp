#include "map_compute.h"

#include <fmt/core.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <span>

#include "azeotrope/complete_search.h"
#include "azeotrope/search.h"
#include "azeotrope/stability.h"
#include "engine/engine_flash.h"
#include "envelope/lle_envelope.h"
#include "envelope/vlle_envelope.h"
#include "output.h"
#include "rcm/dist_boundary.h"
#include "rcm/distillation_curve.h"
#include "rcm/residue_curve.h"

namespace ternival::cli {

namespace {
constexpr std::int64_t kCurveBudget = 1000;  // points of one curve
constexpr std::int64_t kBoundaryCurves = 40;
constexpr std::int64_t kBoundaryPoints = 1000;
constexpr double kFirstStep = 0.1;
}  // namespace

const char* StabilityName(std::int64_t code) {
    switch (code) {
        case kStableNode: return "stable node";
        case kSaddle: return "saddle";
        case kUnstableNode: return "unstable node";
        default: return "unclassified";
    }
}

AzeotropeTable SearchAzeotropes(const Problem& p, const std::vector<std::int64_t>& ids) {
    const auto n = static_cast<std::int64_t>(ids.size());
    AzeotropeTable az;
    az.n = ids.size();
    const auto un = az.n;

    // Pure components first: a component whose boiling point cannot be found
    // makes every later result meaningless.
    az.boiling.assign(un, 0.0);
    az.pure_stability.assign(un, 0);
    std::vector<double> kvalues(un * un);
    std::int64_t err = 0;
    PureComponentProperties(n, p.pressure, ids, p.method, p.phase, az.boiling, az.pure_stability, kvalues, err);
    if (err != 0) {
        // Name the components whose boiling point the data do not give.
        std::string which;
        for (std::size_t i = 0; i < un && i < p.components.size(); ++i)
            if (IsMissing(az.boiling[i])) which += (which.empty() ? "" : ", ") + p.components[i];
        throw ComputeError(which.empty()
                               ? "the pure components' stability could not be classified: at one's boiling "
                                 "point the data of another do not reach (its vapour-pressure range; engine error " +
                                     std::to_string(err) + ")"
                               : "no boiling point of " + which + " at " + Number(p.pressure) +
                                     " Pa within the data (outside the vapour-pressure correlation's range or above "
                                     "the critical temperature; engine error " + std::to_string(err) + ")");
    }

    // The complete search gets room for every azeotrope of twenty
    // components; the classic one keeps its own default.
    const std::int64_t room = p.search == "complete" ? kCompleteSearchCapacity : kAzeoDefaultCapacity;
    const std::size_t capacity = static_cast<std::size_t>(room);
    std::int64_t count = room;
    std::vector<double> comps(un * capacity), temps(capacity);
    std::vector<std::int64_t> sizes(capacity), phases(capacity), stab(capacity);
    std::vector<double> sx(un * (un + capacity)), st(un + capacity);
    std::vector<std::int64_t> sc(un + capacity);
    if (p.search == "complete")
        Complete_Azeo_Search(n, p.pressure, p.phase, p.method, ids, count, comps, temps, sizes, phases, stab, sx, st,
                             sc, az.error);
    else
        Azeo_Search(n, p.pressure, p.phase, p.method, ids, count, comps, temps, sizes, phases, stab, sx, st, sc,
                    az.error);
    az.count = static_cast<std::size_t>(count);
    const std::size_t total = un + az.count;
    az.compositions.assign(comps.begin(), comps.begin() + static_cast<std::ptrdiff_t>(un * az.count));
    az.temperatures.assign(temps.begin(), temps.begin() + static_cast<std::ptrdiff_t>(az.count));
    az.sizes.assign(sizes.begin(), sizes.begin() + static_cast<std::ptrdiff_t>(az.count));
    az.phase_codes.assign(phases.begin(), phases.begin() + static_cast<std::ptrdiff_t>(az.count));
    az.stability.assign(stab.begin(), stab.begin() + static_cast<std::ptrdiff_t>(az.count));
    az.singular_x.assign(sx.begin(), sx.begin() + static_cast<std::ptrdiff_t>(un * total));
    az.singular_t.assign(st.begin(), st.begin() + static_cast<std::ptrdiff_t>(total));
    az.singular_code.assign(sc.begin(), sc.begin() + static_cast<std::ptrdiff_t>(total));
    // The search's own boiling points stand in where the bubble points
    // above agree; keep the pure table's where the search has none.
    for (std::size_t i = 0; i < un; ++i)
        if (IsMissing(az.singular_t[i])) az.singular_t[i] = az.boiling[i];
    CheckAzeotropes(p, ids, az);
    return az;
}

void CheckAzeotropes(const Problem& p, const std::vector<std::int64_t>& ids, AzeotropeTable& az) {
    const std::size_t n = az.n, total = n + az.count;
    az.status.assign(total, "ok");
    auto mark = [&](std::size_t k, const std::string& what) {
        az.status[k] = az.status[k] == "ok" ? what : az.status[k] + "; " + what;
    };
    if (az.error == kAzeoSearchFailed) {
        az.warnings.push_back("the azeotrope search stopped at a limit or failed in a sub-mixture "
                              "(run log, Azeo_Search): the list may be incomplete");
        for (std::size_t k = 0; k < total; ++k) mark(k, "search incomplete");
    }
    for (std::size_t k = 0; k < total; ++k)
        if (az.singular_code[k] != kStableNode && az.singular_code[k] != kSaddle &&
            az.singular_code[k] != kUnstableNode) {
            mark(k, "unclassified");
            az.warnings.push_back("singular point " + std::to_string(k + 1) + " could not be classified");
        }
    if (n == 3) {
        std::vector<std::int64_t> counts(total, 1);
        for (std::size_t a = 0; a < az.count; ++a) counts[n + a] = az.sizes[a];
        if (TopologicalIndex(counts, az.singular_code) != 2) {
            az.warnings.push_back("the stability codes fail the topological check (run log, message 511): "
                                  "nodes and saddles may be mislabelled");
            for (std::size_t k = 0; k < total; ++k) mark(k, "topology check failed");
        }
    }
    // An azeotrope reported as one liquid may sit where the boiling liquid
    // really splits: with vapour-liquid flashes only that is expected, and
    // with three phases the search may have missed the split.  Either way
    // it is not a homogeneous azeotrope.
    for (std::size_t a = 0; a < az.count; ++a) {
        if (az.phase_codes[a] != kHomogeneous) continue;
        std::vector<double> x(az.compositions.begin() + static_cast<std::ptrdiff_t>(a * n),
                              az.compositions.begin() + static_cast<std::ptrdiff_t>((a + 1) * n));
        if (!LiquidSplitsAtBubblePoint(static_cast<std::int64_t>(n), ids, p.method, p.pressure, x,
                                       az.temperatures[a]))
            continue;
        mark(n + a, "liquid splits");
        az.warnings.push_back(
            p.phase == 2 ? fmt::format("azeotrope {} ({:.2f} K): its liquid splits into two liquid phases, so it is "
                                       "not a homogeneous azeotrope; compute with --phase 3",
                                       a + 1, az.temperatures[a])
                         : fmt::format("azeotrope {} ({:.2f} K): its liquid splits into two liquid phases, so it is "
                                       "not a homogeneous azeotrope, and the search did not find the heteroazeotrope "
                                       "there",
                                       a + 1, az.temperatures[a]));
    }
}

std::vector<Composition> TraceCurve(const Problem& p, const std::vector<std::int64_t>& ids,
                                    const AzeotropeTable& az, const Composition& x0, CurveKind kind,
                                    std::int64_t mode, std::int64_t& direction) {
    const std::int64_t n = 3;
    const auto naz = static_cast<std::int64_t>(az.count);
    std::vector<double> pts(static_cast<std::size_t>(n * kCurveBudget), -1.0);
    std::int64_t count = kCurveBudget, err = 0;
    direction = 0;
    if (kind == CurveKind::Residue) {
        residue_curve(n, x0, mode, 1, naz, az.singular_x, az.singular_code, p.pressure, ids, p.method, p.phase,
                      kFirstStep, count, direction, pts, err);
        if (err == 1 || err == -2)
            throw ComputeError("residue curve from (" + Number(x0[0], 4) + ", " + Number(x0[1], 4) + ", " +
                               Number(x0[2], 4) + ") failed (error " + std::to_string(err) + ")");
    } else {
        Distillation_Curve(n, x0, mode, 1, naz, az.singular_x, az.singular_code, p.pressure, ids, p.method,
                           p.phase, count, direction, pts, err);
        if (err == -1)
            throw ComputeError("distillation line from (" + Number(x0[0], 4) + ", " + Number(x0[1], 4) + ", " +
                               Number(x0[2], 4) + ") failed: a flash failed");
    }
    // err 2 (residue) and 1 (distillation) mean the budget ran out: the
    // points so far are still a valid piece of the curve.
    std::vector<Composition> out;
    out.reserve(static_cast<std::size_t>(count));
    for (std::int64_t k = 0; k < count; ++k) {
        const auto at = static_cast<std::size_t>(k * n);
        out.push_back({pts[at], pts[at + 1], pts[at + 2]});
    }
    return out;
}

std::vector<Curve> Boundaries(const Problem& p, const std::vector<std::int64_t>& ids, const AzeotropeTable& az) {
    std::int64_t curves = kBoundaryCurves, err = 0;
    std::vector<std::int64_t> counts(kBoundaryCurves, 0), dirs(kBoundaryCurves, 0);
    counts[0] = kBoundaryPoints;
    std::vector<double> buf(static_cast<std::size_t>(3 * kBoundaryPoints * kBoundaryCurves), -1.0);
    Dist_Boundary(3, p.pressure, static_cast<std::int64_t>(az.count), az.singular_x, az.singular_code, az.singular_t,
                  kFirstStep, ids, p.method, p.phase, curves, counts, buf, dirs, err);
    std::vector<Curve> out;
    for (std::int64_t c = 0; c < curves && c < kBoundaryCurves; ++c) {
        Curve curve;
        curve.direction = dirs[static_cast<std::size_t>(c)];
        const std::int64_t np = std::min(counts[static_cast<std::size_t>(c)], kBoundaryPoints);
        for (std::int64_t k = 0; k < np; ++k) {
            const auto at = static_cast<std::size_t>((c * kBoundaryPoints + k) * 3);
            if (buf[at] < 0.0) continue;  // unfilled slot
            curve.points.push_back({buf[at], buf[at + 1], buf[at + 2]});
        }
        if (!curve.points.empty()) out.push_back(std::move(curve));
    }
    return out;
}

double BubbleTemperature(const Problem& p, const std::vector<std::int64_t>& ids, const Composition& x) {
    std::array<double, 3> y{}, l{}, a{}, b{};
    double t = 0.0, pr = p.pressure, vf = 0.0, r = 0.0;
    std::int64_t err = 0;
    EngineFlash("PV", 2, p.method, 3, ids, x, t, pr, vf, y, l, r, a, b, err);
    return err < 0 ? kMissingValue : t;
}

bool FillEnvelope(const Problem& p, const std::vector<std::int64_t>& ids, double temperature, TernaryMap& map) {
    // At a given temperature the liquid-liquid envelope; on the boiling
    // surface (no temperature) the envelope of the heterogeneous bubble
    // points.
    constexpr std::int64_t kTies = 100;
    constexpr std::size_t kBranch = 2 * static_cast<std::size_t>(kTies);
    std::vector<double> curves(3 * kBranch * 3, -1.0), ties(2 * kTies * 3, -1.0), vapour(kTies * 3, 0.0);
    std::array<std::int64_t, 3> points{};
    std::int64_t count = 0, tie_count = kTies, message = 0, error = 0;
    double plait = 0.0;
    if (IsMissing(temperature))
        VLLE_Envelope(3, p.pressure, 0.1, ids, p.method, count, points, curves, tie_count, ties, vapour, plait,
                      message, error);
    else
        LLE_Envelope(3, p.pressure, temperature, 0.1, ids, p.method, count, points, curves, tie_count, ties, message,
                     error);
    if (error < 0) return false;
    map.envelope.clear();
    map.tie_lines.clear();
    for (std::int64_t q = 0; q < std::min<std::int64_t>(count, 3); ++q) {
        Curve c;
        const auto np = static_cast<std::size_t>(std::clamp<std::int64_t>(points[static_cast<std::size_t>(q)], 0,
                                                                           static_cast<std::int64_t>(kBranch)));
        for (std::size_t k = 0; k < np; ++k) {
            const std::size_t at = (static_cast<std::size_t>(q) * kBranch + k) * 3;
            if (curves[at] < 0.0) continue;
            c.points.push_back({curves[at], curves[at + 1], curves[at + 2]});
        }
        if (!c.points.empty()) map.envelope.push_back(std::move(c));
    }
    for (std::int64_t t = 0; t < std::min(tie_count, kTies); ++t) {
        const auto at = static_cast<std::size_t>(t) * 6;
        if (ties[at] < 0.0) continue;
        map.tie_lines.push_back({{ties[at], ties[at + 1], ties[at + 2]}, {ties[at + 3], ties[at + 4], ties[at + 5]}});
    }
    return true;
}

std::vector<Composition> InteriorGrid(int divisions) {
    std::vector<Composition> out;
    const double d = divisions;
    for (int i = 1; i < divisions; ++i)
        for (int j = 1; i + j < divisions; ++j) out.push_back({i / d, j / d, (divisions - i - j) / d});
    return out;
}

}  // namespace ternival::cli
