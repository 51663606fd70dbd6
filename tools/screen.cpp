#include "screen.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <fstream>
#include <sstream>
#include <vector>

#include <fmt/format.h>

#include "cli_common.h"
#include "databank.h"
#include "design/classify.h"
#include "design/regions.h"
#include "engine/engine_flash.h"
#include "map_compute.h"
#include "problem.h"
#include "rcm/isovolatility.h"
#include "tool_session.h"

namespace ternival::cli {

namespace {

using nlohmann::json;

// At most `most` points of a curve, evenly spread, ends kept.
std::vector<Composition> thin(const std::vector<Composition>& c, std::size_t most = 40) {
    if (c.size() <= most) return c;
    std::vector<Composition> out;
    for (std::size_t k = 0; k < most; ++k) out.push_back(c[k * (c.size() - 1) / (most - 1)]);
    return out;
}

json points(const std::vector<Composition>& c) {
    json a = json::array();
    for (const auto& x : thin(c))
        a.push_back({std::round(x[0] * 1e5) / 1e5, std::round(x[1] * 1e5) / 1e5, std::round(x[2] * 1e5) / 1e5});
    return a;
}

// The K-values' ratio K_A/K_B of a liquid of nearly pure entrainer: the
// relative volatility of A to B at infinite dilution in E.
std::optional<double> alphaAtInfiniteDilution(const Problem& p, const std::vector<std::int64_t>& ids) {
    constexpr double eps = 1e-6;
    const std::array<double, 3> x{eps, eps, 1.0 - 2.0 * eps};
    std::array<double, 3> y{}, l{}, a{}, b{};
    double t = 0.0, pr = p.pressure, vf = 0.0, r = 0.0;
    std::int64_t err = 0;
    EngineFlash("PV", 2, p.method, 3, ids, x, t, pr, vf, y, l, r, a, b, err);
    if (err != 0 || !(y[0] > 0.0) || !(y[1] > 0.0)) return std::nullopt;
    return (y[0] / x[0]) / (y[1] / x[1]);
}

// The two liquids of a heterogeneous azeotrope (a three-phase flash at its
// boiling point), or nothing when its liquid does not split there.
std::optional<std::array<Composition, 2>> liquidsOf(const Problem& p, const std::vector<std::int64_t>& ids,
                                                    const Composition& z, double t_az) {
    // Just below the boiling point the liquid is all liquid; its split is
    // the heteroazeotrope's two liquids.
    std::array<double, 3> y{}, l{}, a{}, b{};
    double t = t_az - 0.01, pr = p.pressure, vf = 0.0, r = 0.0;
    std::int64_t err = 0;
    EngineFlash("TP", 3, p.method, 3, ids, z, t, pr, vf, y, l, r, a, b, err);
    if (err != 0) return std::nullopt;
    double d = 0.0;
    for (int i = 0; i < 3; ++i) d = std::max(d, std::abs(a[i] - b[i]));
    if (d < 1e-4) return std::nullopt;
    return std::array<Composition, 2>{Composition{a[0], a[1], a[2]}, Composition{b[0], b[1], b[2]}};
}

std::string fmtX(const Composition& x) { return fmt::format("({:.3f}, {:.3f}, {:.3f})", x[0], x[1], x[2]); }

}  // namespace

json ScreenCandidate(const ScreenSettings& s, const std::string& entrainer) {
    const auto started = std::chrono::steady_clock::now();
    json row{{"entrainer", entrainer}, {"error", nullptr}};
    try {
        const auto& bank = propcore::Databank::Get();
        const propcore::DatabankCompound* ce = nullptr;
        try {
            ce = &bank.Find(entrainer);
        } catch (const propcore::DatabankError& e) {
            throw InputError(e.what());
        }
        row["entrainer"] = ce->name;
        row["cas"] = ce->cas;
        if (bank.Find(s.a).cas == ce->cas || bank.Find(s.b).cas == ce->cas)
            throw InputError(ce->name + " is one of the mixture's own components");

        Problem p;
        p.components = {s.a, s.b, entrainer};
        p.method = s.model;
        p.pressure = s.pressure;
        p.search = "complete";
        if (s.phase == 2 || s.phase == 3) {
            p.phase = s.phase;
            p.phase_given = true;
        }
        ToolSession session(p);
        const std::vector<std::int64_t>& ids = session.ids();
        row["phase"] = p.phase;
        row["names"] = p.components;

        // Which pairs rest on estimates: read back from the file built.
        json estimated = json::array();
        bool group_model = false;
        try {
            const propcore::Problem written = propcore::LoadProblem(p.file);
            const auto& m = written.methods.front();
            group_model = propcore::GroupModelOf(m.model).has_value();
            for (const auto& pr : m.pairs)
                if (pr.source.find("estimate") != std::string::npos)
                    estimated.push_back(written.components[pr.i].id + "/" + written.components[pr.j].id);
        } catch (const std::exception&) {
            // The engine has read it; a second reading cannot fail.
        }
        row["estimated_pairs"] = estimated;

        AzeotropeTable az = SearchAzeotropes(p, ids);
        const std::vector<Curve> boundaries = Boundaries(p, ids, az);
        std::vector<design::SingularPoint> pts;
        for (std::size_t k = 0; k < 3 + az.count; ++k)
            pts.push_back({{az.singular_x[k * 3], az.singular_x[k * 3 + 1], az.singular_x[k * 3 + 2]},
                           az.singular_t[k], az.singular_code[k], k < 3 ? 1 : az.sizes[k - 3]});
        std::vector<std::vector<design::Composition>> curves;
        for (const auto& b : boundaries) curves.push_back(b.points);
        const design::Regions regions = design::FindRegions(pts, curves);
        const design::MapClass cls = design::ClassOf(pts);
        row["class"] = cls.name;
        row["class_code"] = cls.code;
        row["regions"] = regions.regions.size();
        row["tb_K"] = az.boiling[2];

        json reasons = json::array();
        json azeos = json::array();
        std::optional<std::size_t> ab;  // the A-B azeotrope, if any
        bool heterogeneous_any = false;
        for (std::size_t a = 0; a < az.count; ++a) {
            const Composition x{az.compositions[a * 3], az.compositions[a * 3 + 1], az.compositions[a * 3 + 2]};
            const bool het = az.phase_codes[a] == 2;
            heterogeneous_any = heterogeneous_any || het;
            azeos.push_back({{"x", points({x})[0]},
                             {"T_K", az.temperatures[a]},
                             {"heterogeneous", het},
                             {"stability", StabilityName(az.stability[a])}});
            if (az.sizes[a] == 2 && x[2] < 1e-9) ab = a;
        }
        row["azeotropes"] = azeos;
        if (!az.warnings.empty()) row["warnings"] = az.warnings;

        // Regions that hold a singular point on their outline.
        auto regionsWith = [&](int point) {
            std::vector<std::size_t> out;
            for (std::size_t g = 0; g < regions.regions.size(); ++g) {
                const auto& on = regions.regions[g].points;
                if (std::find(on.begin(), on.end(), point) != on.end()) out.push_back(g);
            }
            return out;
        };
        const std::string A = p.components[0], B = p.components[1], E = p.components[2];

        // Homogeneous azeotropic distillation (Doherty and Caldarola, 1985):
        // the entrainer must not put a distillation boundary between A and
        // B; they must share a distillation region.  (Necessary, not
        // sufficient: Laroche, Bekiaris, Andersen and Morari, 1992.)
        bool homogeneous = false;
        if (!regions.error.empty()) {
            reasons.push_back("the distillation regions could not be told apart (" + regions.error + ")");
        } else {
            const auto ra = regionsWith(0), rb = regionsWith(1);
            for (std::size_t g : ra)
                if (std::find(rb.begin(), rb.end(), g) != rb.end()) homogeneous = true;
            if (heterogeneous_any) homogeneous = false;
            reasons.push_back(homogeneous ? fmt::format("homogeneous: {} and {} lie in one distillation region "
                                                        "(Doherty and Caldarola, 1985)",
                                                        A, B)
                              : heterogeneous_any
                                  ? std::string("homogeneous: no, a heterogeneous azeotrope forms")
                                  : fmt::format("homogeneous: no, a distillation boundary puts {} and {} in different "
                                                "regions (Doherty and Caldarola, 1985)",
                                                A, B));
        }

        // Heteroazeotropic distillation (Pham and Doherty, 1990;
        // Rodriguez-Donis, Gerbaud and Joulia, 2001): the entrainer forms a
        // heterogeneous azeotrope whose two liquids lie in different
        // distillation regions, so that a decanter crosses the boundary the
        // column cannot; or, in a single region, the heteroazeotrope is its
        // unstable node and A or B its stable node.
        bool hetero = false;
        for (std::size_t a = 0; a < az.count && !hetero; ++a) {
            if (az.phase_codes[a] != 2) continue;
            const Composition x{az.compositions[a * 3], az.compositions[a * 3 + 1], az.compositions[a * 3 + 2]};
            if (x[2] < 1e-9) continue;  // not the entrainer's
            const auto liquids = liquidsOf(p, ids, x, az.temperatures[a]);
            if (!liquids) continue;
            const int r1 = design::RegionOf(regions, (*liquids)[0]), r2 = design::RegionOf(regions, (*liquids)[1]);
            const int point = static_cast<int>(3 + a);
            if (r1 >= 0 && r2 >= 0 && r1 != r2) {
                hetero = true;
                reasons.push_back(fmt::format("heteroazeotropic: the heteroazeotrope at {:.2f} K splits into liquids "
                                              "{} and {} in different distillation regions (Pham and Doherty, 1990)",
                                              az.temperatures[a], fmtX((*liquids)[0]), fmtX((*liquids)[1])));
            } else if (regions.regions.size() == 1 && regions.regions[0].unstable_node == point &&
                       (regions.regions[0].stable_node == 0 || regions.regions[0].stable_node == 1)) {
                hetero = true;
                reasons.push_back(fmt::format("heteroazeotropic: the heteroazeotrope at {:.2f} K is the unstable node "
                                              "and {} the stable node of the one region (Rodriguez-Donis et al., 2001)",
                                              az.temperatures[a], regions.regions[0].stable_node == 0 ? A : B));
            }
        }
        if (!hetero)
            reasons.push_back(heterogeneous_any ? "heteroazeotropic: no, no heteroazeotrope's liquids straddle a boundary"
                                                : "heteroazeotropic: no, the entrainer forms no heterogeneous azeotrope");

        // Extractive distillation with a heavy entrainer (Laroche, Bekiaris,
        // Andersen and Morari, 1992; Gerbaud et al., 2019): the entrainer
        // boils above A and B and the univolatility curve alpha_AB = 1,
        // from the A-B azeotrope, reaches the A-E or B-E edge; where it
        // meets it gives the least entrainer content.
        bool extractive = false;
        const bool heavy = az.boiling[2] > az.boiling[0] && az.boiling[2] > az.boiling[1];
        json iso = json::array();
        std::optional<double> x_e_min;
        std::string edge;
        if (ab) {
            constexpr std::int64_t cap = 2000;
            std::vector<double> x1(cap), x2(cap), x3(cap), t(cap), r(cap);
            std::int64_t count = 0;
            const std::array<double, 3> start{0.5, 0.5, 0.0};
            Isovolatility_Trace(2, start, p.pressure, ids, p.phase, p.method, cap, count, x1, x2, x3, t, r);
            std::vector<Composition> curve;
            for (std::int64_t k = 0; k < count; ++k) curve.push_back({x1[k], x2[k], x3[k]});
            iso = points(curve);
            if (!curve.empty()) {
                const Composition& end = curve.back();
                if ((end[0] < 1e-3 || end[1] < 1e-3) && end[2] > 1e-3) {
                    x_e_min = end[2];
                    edge = (end[0] < 1e-3 ? B : A) + "-" + E;
                }
            }
        }
        if (x_e_min && heavy) {
            extractive = true;
            reasons.push_back(fmt::format("extractive: a heavy entrainer, and the univolatility curve reaches the "
                                          "{} edge at x_{} = {:.3f} (Laroche et al., 1992; Gerbaud et al., 2019)",
                                          edge, E, *x_e_min));
        } else {
            reasons.push_back(!ab      ? fmt::format("extractive: no {}-{} azeotrope to break", A, B)
                              : !heavy ? "extractive: no, the entrainer is not the heaviest component"
                                       : "extractive: no, the univolatility curve does not reach an edge with the "
                                         "entrainer");
        }
        if (group_model) reasons.push_back("every verdict rests on the group-contribution model's estimates");
        else if (!estimated.empty())
            reasons.push_back("rests on estimated parameters: " + estimated.dump() + " fitted to UNIFAC");

        row["homogeneous"] = homogeneous;
        row["heteroazeotropic"] = hetero;
        row["extractive"] = extractive;
        row["reasons"] = reasons;
        const auto alpha = alphaAtInfiniteDilution(p, ids);
        row["alpha_inf"] = alpha ? json(*alpha) : json();
        row["x_entrainer_min"] = x_e_min ? json(*x_e_min) : json();

        // A small map: singular points, boundaries, regions, univolatility.
        json map{{"names", p.components}};
        json sing = json::array();
        for (const auto& pt : pts)
            sing.push_back({{"x", points({pt.x})[0]}, {"code", pt.code}, {"T_K", std::round(pt.t * 100) / 100}});
        map["points"] = sing;
        json bj = json::array();
        for (const auto& c : curves)
            if (!design::OnAnEdge(c)) bj.push_back(points(c));
        map["boundaries"] = bj;
        json rj = json::array();
        for (const auto& g : regions.regions) rj.push_back(points(g.outline));
        map["regions"] = rj;
        map["isovolatility"] = iso;
        row["map"] = map;
    } catch (const std::exception& e) {
        row["error"] = e.what();
    }
    // Past its time limit the engine refuses every flash: whatever was
    // computed is not a verdict.
    if (CallLimits::OutOfTime()) {
        json cut{{"entrainer", row["entrainer"]}, {"error", "the candidate's time limit was reached before its map "
                                                            "was complete"}};
        if (row.contains("cas")) cut["cas"] = row["cas"];
        row = cut;
    }
    row["seconds"] = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return row;
}

}  // namespace ternival::cli
