#include "design/column.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "engine/engine_flash.h"

namespace ternival::design {
namespace {

// Profiles stop at a fixed point: a stage whose liquid moves by less.
constexpr double kPinch = 1e-12;
// Stages a section profile may take before it counts as pinched.
constexpr int kSectionStages = 400;
// Largest reflux ratio tried when looking for one at which the profiles meet.
constexpr double kLargestReflux = 1e4;

struct Equilibrium {
    Composition other{};  // the vapour of a liquid, or the liquid of a vapour
    double t = 0.0;
    std::int64_t error = 0;
};

// Bubble point of a liquid (its vapour) or dew point of a vapour (its first
// liquid), at the column's pressure.
Equilibrium Flash(const ColumnSpec& s, const Composition& z, bool bubble) {
    Equilibrium e;
    Composition y{}, x{}, x1{}, x2{};
    double p = s.pressure, vf = bubble ? 0.0 : 1.0, result = 0.0;
    EngineFlash("PV", s.phase, s.method, 3, s.ids, z, e.t, p, vf, y, x, result, x1, x2, e.error);
    e.other = bubble ? y : x;
    return e;
}

double Distance(const Composition& a, const Composition& b) {
    double d = 0.0;
    for (std::size_t i = 0; i < 3; ++i) d = std::max(d, std::abs(a[i] - b[i]));
    return d;
}

Composition Mix(const Composition& a, double wa, const Composition& b, double wb) {
    Composition m{};
    for (std::size_t i = 0; i < 3; ++i) m[i] = (wa * a[i] + wb * b[i]) / (wa + wb);
    return m;
}

std::string FlashFailure(std::int64_t error, int stage) {
    return "a flash failed at stage " + std::to_string(stage) + " (engine error " + std::to_string(error) + ")";
}

// Does segment p0-p1 cross segment q0-q1 (in the plane of the first two
// fractions)?  The parameter along p0-p1 of the crossing in `at`.
bool Cross(const Composition& p0, const Composition& p1, const Composition& q0, const Composition& q1, double& at) {
    const double rx = p1[0] - p0[0], ry = p1[1] - p0[1], sx = q1[0] - q0[0], sy = q1[1] - q0[1];
    const double den = rx * sy - ry * sx;
    if (std::abs(den) < 1e-300) return false;
    const double qpx = q0[0] - p0[0], qpy = q0[1] - p0[1];
    const double t = (qpx * sy - qpy * sx) / den, u = (qpx * ry - qpy * rx) / den;
    if (t < 0.0 || t > 1.0 || u < 0.0 || u > 1.0) return false;
    at = t;
    return true;
}

}  // namespace

Balance MassBalance(const ColumnSpec& s) {
    Balance b;
    for (const Composition* c : {&s.feed, &s.distillate, &s.bottoms}) {
        double sum = 0.0;
        for (double v : *c) {
            if (!std::isfinite(v) || v < -1e-9) {
                b.error = "a composition has a fraction that is not a number in [0, 1]";
                return b;
            }
            sum += v;
        }
        if (std::abs(sum - 1.0) > 1e-6) {
            b.error = "a composition does not sum to 1";
            return b;
        }
    }
    // F = (D/F) D + (1 - D/F) B: D/F from the component that separates most,
    // then every component must agree.
    std::size_t k = 0;
    for (std::size_t i = 1; i < 3; ++i)
        if (std::abs(s.distillate[i] - s.bottoms[i]) > std::abs(s.distillate[k] - s.bottoms[k])) k = i;
    const double span = s.distillate[k] - s.bottoms[k];
    if (std::abs(span) < 1e-9) {
        b.error = "the distillate and the bottoms are the same composition";
        return b;
    }
    b.d_over_f = (s.feed[k] - s.bottoms[k]) / span;
    for (std::size_t i = 0; i < 3; ++i) {
        const double back = b.d_over_f * s.distillate[i] + (1.0 - b.d_over_f) * s.bottoms[i];
        if (std::abs(back - s.feed[i]) > 1e-4) {
            b.error = "the distillate and the bottoms are not on one mass-balance line through the feed "
                      "(the line through them misses the feed by " +
                      std::to_string(std::abs(back - s.feed[i])) + " in component " + std::to_string(i + 1) + ")";
            return b;
        }
    }
    if (!(b.d_over_f > 1e-9 && b.d_over_f < 1.0 - 1e-9))
        b.error = "the feed does not lie between the distillate and the bottoms";
    return b;
}

double BoilupRatio(const ColumnSpec& s, double d_over_f, double reflux) {
    // V = (R + 1) D, V' = V - (1 - q) F, B = F - D.
    return ((reflux + 1.0) * d_over_f - (1.0 - s.q)) / (1.0 - d_over_f);
}

SectionProfile RectifyingProfile(const ColumnSpec& s, double reflux, int max_stages) {
    // Total condenser: the top vapour is the distillate.  Going down, each
    // stage's liquid is in equilibrium with its vapour, and the vapour from
    // the stage below follows from the operating line
    // y(n+1) = (R x(n) + xD) / (R + 1).
    SectionProfile p;
    Composition y = s.distillate;
    for (int n = 1; n <= max_stages; ++n) {
        const Equilibrium e = Flash(s, y, false);
        if (e.error != 0) {
            p.error = FlashFailure(e.error, n);
            return p;
        }
        const Stage stage{e.other, y, e.t};
        if (!p.stages.empty() && Distance(stage.x, p.stages.back().x) < kPinch) {
            p.pinched = true;
            return p;
        }
        p.stages.push_back(stage);
        y = Mix(stage.x, reflux, s.distillate, 1.0);
    }
    p.pinched = true;  // as good as: no end within the stages allowed
    return p;
}

SectionProfile StrippingProfile(const ColumnSpec& s, double boilup, int max_stages) {
    // The reboiler is the first stage: its liquid is the bottoms.  Going up,
    // each stage's vapour is in equilibrium with its liquid, and the liquid
    // from the stage above follows from x(m+1) = (s y(m) + xB) / (s + 1).
    SectionProfile p;
    Composition x = s.bottoms;
    for (int m = 1; m <= max_stages; ++m) {
        const Equilibrium e = Flash(s, x, true);
        if (e.error != 0) {
            p.error = FlashFailure(e.error, m);
            return p;
        }
        const Stage stage{x, e.other, e.t};
        if (!p.stages.empty() && Distance(stage.x, p.stages.back().x) < kPinch) {
            p.pinched = true;
            return p;
        }
        p.stages.push_back(stage);
        x = Mix(stage.y, boilup, s.bottoms, 1.0);
    }
    p.pinched = true;
    return p;
}

Meeting ProfilesMeet(const SectionProfile& r, const SectionProfile& s) {
    Meeting m;
    // The first crossing down the rectifying section; the stripping
    // profile's segment it crosses.
    for (std::size_t i = 0; i + 1 < r.stages.size(); ++i)
        for (std::size_t j = 0; j + 1 < s.stages.size(); ++j) {
            double at = 0.0;
            if (!Cross(r.stages[i].x, r.stages[i + 1].x, s.stages[j].x, s.stages[j + 1].x, at)) continue;
            // The column: the rectifying stages down to the one above the
            // crossing, then the stripping stages from the one beyond it
            // (the feed stage) down to the reboiler.
            m.met = true;
            m.rectifying_stages = static_cast<int>(i) + 1;
            m.stripping_stages = static_cast<int>(j) + 2;
            for (std::size_t c = 0; c < 3; ++c)
                m.x[c] = r.stages[i].x[c] + at * (r.stages[i + 1].x[c] - r.stages[i].x[c]);
            return m;
        }
    return m;
}

MinimumReflux MinimumRefluxBVM(const ColumnSpec& s, double tolerance) {
    MinimumReflux out;
    const Balance b = MassBalance(s);
    if (!b.error.empty()) {
        out.error = b.error;
        return out;
    }
    std::string flash_error;
    auto meet = [&](double reflux) {
        const double boilup = BoilupRatio(s, b.d_over_f, reflux);
        if (!(boilup > 0.0)) return false;  // no vapour in the stripping section
        const SectionProfile r = RectifyingProfile(s, reflux, kSectionStages);
        const SectionProfile st = StrippingProfile(s, boilup, kSectionStages);
        if (!r.error.empty() || !st.error.empty()) {
            flash_error = !r.error.empty() ? "rectifying profile: " + r.error : "stripping profile: " + st.error;
            // A profile that stopped still meets the other if it got there.
        }
        return ProfilesMeet(r, st).met;
    };
    // A reflux at which the profiles meet, doubling from 1.
    double hi = 1.0;
    while (hi <= kLargestReflux && !meet(hi)) hi *= 2.0;
    if (hi > kLargestReflux) {
        out.error = "the rectifying and stripping profiles never meet, up to a reflux ratio of " +
                    std::to_string(static_cast<int>(kLargestReflux)) +
                    (flash_error.empty() ? std::string() : " (" + flash_error + ")");
        return out;
    }
    double lo = hi / 2.0;
    if (hi == 1.0) {
        lo = 0.0;
        if (meet(1e-6)) {
            out.r_min = 0.0;
            return out;
        }
    }
    while (hi - lo > tolerance * hi) {
        const double mid = 0.5 * (lo + hi);
        (meet(mid) ? hi : lo) = mid;
    }
    out.r_min = hi;
    return out;
}

TotalReflux MinimumStages(const ColumnSpec& s, double tolerance) {
    TotalReflux out;
    // At total reflux the vapour rising from a stage is the liquid falling
    // into it: each liquid is the dew-point liquid of the one above.  The
    // bottoms are the reboiler's liquid, the last stage's.
    Composition y = s.distillate, prev = s.distillate;
    double best = Distance(s.distillate, s.bottoms);
    double best_stage = 0.0;
    for (int n = 1; n <= kSectionStages; ++n) {
        const Equilibrium e = Flash(s, y, false);
        if (e.error != 0) {
            out.error = FlashFailure(e.error, n);
            break;
        }
        const Composition& x = e.other;
        // The nearest point of this stage's step to the bottoms, with the
        // fraction of a stage it takes.
        double t = 0.0, den = 0.0, num = 0.0;
        for (std::size_t i = 0; i < 3; ++i) {
            num += (s.bottoms[i] - prev[i]) * (x[i] - prev[i]);
            den += (x[i] - prev[i]) * (x[i] - prev[i]);
        }
        if (den > 0.0) t = std::clamp(num / den, 0.0, 1.0);
        Composition near{};
        for (std::size_t i = 0; i < 3; ++i) near[i] = prev[i] + t * (x[i] - prev[i]);
        const double d = Distance(near, s.bottoms);
        if (d < best) {
            best = d;
            best_stage = n - 1 + t;
        }
        if (Distance(x, prev) < kPinch) break;  // the line has come to its end
        prev = x;
        y = x;
    }
    out.closest = best;
    if (best > tolerance) {
        if (out.error.empty())
            out.error = "the distillation line from the distillate passes the bottoms no nearer than " +
                        std::to_string(best) + " in mole fraction";
        return out;
    }
    out.stages = std::max(1, static_cast<int>(std::ceil(best_stage - 1e-6)));
    return out;
}

ColumnDesign DesignColumn(const ColumnSpec& s, std::optional<double> reflux, std::optional<double> factor) {
    ColumnDesign d;
    const Balance b = MassBalance(s);
    if (!b.error.empty()) {
        d.reason = b.error;
        return d;
    }
    d.d_over_f = b.d_over_f;
    const TotalReflux total = MinimumStages(s);
    d.total_reflux_feasible = total.stages.has_value();
    d.stages_min = total.stages;
    const MinimumReflux rmin = MinimumRefluxBVM(s);
    d.r_min = rmin.r_min;
    if (!rmin.r_min) {
        d.reason = rmin.error;
        return d;
    }
    if (factor) reflux = *factor * *rmin.r_min;
    if (!reflux) {
        d.feasible = true;
        if (!total.stages) d.reason = "at total reflux: " + total.error;
        return d;
    }
    d.reflux = reflux;
    const double boilup = BoilupRatio(s, b.d_over_f, *reflux);
    d.rectifying = RectifyingProfile(s, *reflux, kSectionStages);
    d.stripping = StrippingProfile(s, boilup, kSectionStages);
    const Meeting m = ProfilesMeet(d.rectifying, d.stripping);
    if (!m.met) {
        d.reason = *reflux < *rmin.r_min ? "the reflux ratio is below the minimum (" + std::to_string(*rmin.r_min) + ")"
                                          : "the rectifying and stripping profiles do not meet at this reflux";
        if (!d.rectifying.error.empty()) d.reason += "; rectifying profile: " + d.rectifying.error;
        if (!d.stripping.error.empty()) d.reason += "; stripping profile: " + d.stripping.error;
        return d;
    }
    d.rectifying.stages.resize(static_cast<std::size_t>(m.rectifying_stages));
    d.stripping.stages.resize(static_cast<std::size_t>(m.stripping_stages));
    d.meeting = m.x;
    d.stages = m.rectifying_stages + m.stripping_stages;
    d.feed_stage = m.rectifying_stages + 1;
    d.feasible = true;
    return d;
}

}  // namespace ternival::design
