#include "flash.h"

#include "linear.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace propcore {
namespace {

using Vec = std::vector<double>;

constexpr double kTmin = 30.0, kTmax = 3000.0;
// A flash at a given vapour fraction between 0 and 1 returns a state within
// this of it, or a status other than converged.
constexpr double kVapourFractionTolerance = 1e-6;

int iterLimit(const FlashOptions& o, int cap) { return std::max(1, std::min(o.max_iterations, cap)); }

// Regula falsi (Illinois) for a root of f between a and b, where fa and fb
// differ in sign: f(c) is evaluated at each new point until |f| < tol or
// the bracket is narrower than width, at most `iterations` times.
template <class F>
void illinois(double a, double b, double fa, double fb, double width, int iterations, double tol, F&& f) {
    int side = 0;
    for (int it = 0; it < iterations; ++it) {
        double c = (a * fb - b * fa) / (fb - fa);
        if (!(c > std::min(a, b) && c < std::max(a, b))) c = 0.5 * (a + b);
        const double fc = f(c);
        if (std::abs(fc) < tol || std::abs(b - a) < width) return;
        if ((fc < 0.0) == (fa < 0.0)) {
            a = c;
            fa = fc;
            if (side == -1) fb *= 0.5;
            side = -1;
        } else {
            b = c;
            fb = fc;
            if (side == +1) fa *= 0.5;
            side = +1;
        }
    }
}

void normalise(Vec& v) {
    const double s = std::accumulate(v.begin(), v.end(), 0.0);
    if (s > 0.0)
        for (double& e : v) e /= s;
}

double maxDiff(std::span<const double> a, std::span<const double> b) {
    double d = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) d = std::max(d, std::abs(a[i] - b[i]));
    return d;
}

// Solves for an equilibrium with a non-ideal vapour: `solve` finds the
// state with the vapour correction of the mixture held fixed; the
// correction c is then renewed from that state's vapour, G(c), until it
// changes by less than the flash tolerance (relative, in every K-value).
// Bubble points of one liquid renew it as they go and need none of this.  Plain
// substitution c <- G(c) converges linearly (by a factor of about 0.3 a
// round for acid dimers), so the rounds are accelerated by Anderson's
// method: the next c combines the last three images G so as to cancel
// their residuals G(c) - c in the least-squares sense.  Each round starts
// from the last round's temperature.  The last call's correction is the
// first guess (calls come in runs of nearby states); should a round fail
// from an extrapolated correction the history is dropped and the plain
// image taken, and should the first round fail the loop starts again from
// an ideal vapour.
template <class Solve>
FlashResult withVapour(const Mixture& m, std::span<const double> z, const FlashOptions& o, Solve&& solve) {
    struct Hold {
        const Mixture& m;
        explicit Hold(const Mixture& mm) : m(mm) { m.holdCorrection(true); }
        ~Hold() { m.holdCorrection(false); }
    } hold(m);
    constexpr std::size_t kDepth = 3;
    const std::size_t n = m.size();
    thread_local Vec c, g, f, y, fprev, gprev, dg_dt;
    for (Vec* v : {&c, &g, &f, &y, &fprev, &gprev, &dg_dt}) v->assign(n, 0.0);
    std::vector<Vec> df, dg;  // differences of residuals and of images
    FlashResult r;
    for (int attempt = 0; attempt < 2; ++attempt) {
        FlashOptions oo = o;
        if (attempt == 1) m.setCorrection(Vec(n, 0.0));
        c.assign(m.correction().begin(), m.correction().end());
        const bool from_ideal = std::all_of(c.begin(), c.end(), [](double v) { return v == 0.0; });
        df.clear();
        dg.clear();
        bool have_prev = false, extrapolated = false;
        for (int round = 0; round < 100; ++round) {
            r = solve(oo);
            if (r.status != kConverged) {
                if (!extrapolated) break;
                // Back to the last plain image.
                df.clear();
                dg.clear();
                have_prev = extrapolated = false;
                c = gprev;
                m.setCorrection(c);
                continue;
            }
            // A state without vapour corrects against its incipient vapour
            // (or, lacking one, the feed).
            const double sy = std::accumulate(r.y.begin(), r.y.end(), 0.0);
            for (std::size_t i = 0; i < n; ++i) y[i] = sy > 0.5 ? r.y[i] / sy : z[i];
            m.vapourCorrection(r.t, r.p, y, g, dg_dt);
            for (std::size_t i = 0; i < n; ++i) f[i] = g[i] - c[i];
            if (maxDiff(g, c) < o.tolerance) {
                m.setCorrection(g);
                return r;
            }
            oo.initial_temperature = r.t;
            if (have_prev) {
                Vec a(n), b(n);
                for (std::size_t i = 0; i < n; ++i) a[i] = f[i] - fprev[i], b[i] = g[i] - gprev[i];
                df.push_back(std::move(a));
                dg.push_back(std::move(b));
                if (df.size() > kDepth) df.erase(df.begin()), dg.erase(dg.begin());
            }
            fprev = f;
            gprev = g;
            have_prev = true;
            c = g;
            extrapolated = false;
            const std::size_t k = df.size();
            if (k > 0) {
                // gamma = argmin |f - dF gamma|; c = g - dG gamma.
                std::vector<double> a(k * k), b(k);
                for (std::size_t p = 0; p < k; ++p) {
                    for (std::size_t q = 0; q < k; ++q)
                        a[p * k + q] = std::inner_product(df[p].begin(), df[p].end(), df[q].begin(), 0.0);
                    b[p] = std::inner_product(df[p].begin(), df[p].end(), f.begin(), 0.0);
                    a[p * k + p] *= 1.0 + 1e-12;
                }
                if (SolveDense(a, b, k)) {
                    for (std::size_t p = 0; p < k; ++p)
                        for (std::size_t i = 0; i < n; ++i) c[i] -= b[p] * dg[p][i];
                    extrapolated = true;
                }
            }
            m.setCorrection(c);
        }
        if (r.status == kConverged) r.status = kNotConverged;  // out of rounds
        if (from_ideal) break;
    }
    return r;
}

// Vapour fraction beta of the split of z with K-values K; clamps to [0, 1]
// when the mixture is all liquid or all vapour.
double rachfordRice(std::span<const double> z, const Vec& k) {
    auto f = [&](double beta) {
        double s = 0.0;
        for (std::size_t i = 0; i < z.size(); ++i) s += z[i] * (k[i] - 1.0) / (1.0 + beta * (k[i] - 1.0));
        return s;
    };
    if (f(0.0) <= 0.0) return 0.0;
    if (f(1.0) >= 0.0) return 1.0;
    double lo = 0.0, hi = 1.0, beta = 0.5;
    for (int it = 0; it < 200; ++it) {
        const double v = f(beta);
        if (v > 0.0) lo = beta; else hi = beta;
        double d = 0.0;
        for (std::size_t i = 0; i < z.size(); ++i) {
            const double q = 1.0 + beta * (k[i] - 1.0);
            d -= z[i] * (k[i] - 1.0) * (k[i] - 1.0) / (q * q);
        }
        double next = d < 0.0 ? beta - v / d : 0.5 * (lo + hi);
        if (!(next > lo && next < hi)) next = 0.5 * (lo + hi);
        if (std::abs(next - beta) < 1e-14) return next;
        beta = next;
    }
    return beta;
}

double startTemperature(const Mixture& m, double p, std::span<const double> z, const FlashOptions& o) {
    if (o.initial_temperature > kTmin && o.initial_temperature < kTmax) return o.initial_temperature;
    double t = 0.0;
    for (std::size_t i = 0; i < m.size(); ++i) t += z[i] * m.saturationTemperature(i, p);
    return t;
}

// Homogeneous bubble temperature of liquid x at p.
int bubbleT(const Mixture& m, double p, std::span<const double> x, const FlashOptions& o, double& t, Vec& y) {
    const std::size_t n = m.size();
    // Scratch kept between calls: bubble points are the commonest flash.
    thread_local Vec lng, ps, lnps, dlnps;
    lng.resize(n);
    ps.resize(n);
    lnps.resize(n);
    dlnps.resize(n);
    t = startTemperature(m, p, x, o);
    const double lnp = std::log(p);
    // A non-ideal vapour's correction is renewed from each iterate's
    // vapour as the temperature converges, rather than in rounds of whole
    // bubble points: the two settle together.
    const bool ideal = m.idealVapour();
    thread_local Vec corr, dcorr, pure;
    corr.resize(n);
    dcorr.resize(n);
    pure.resize(n);
    for (int it = 0; it < iterLimit(o, 200); ++it) {
        m.lnGamma(t, x, lng);
        m.lnPsatAll(t, lnps, dlnps);
        double s = 0.0, ds = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            ps[i] = x[i] * std::exp(lng[i] + lnps[i]);
            s += ps[i];
        }
        double change = 0.0;
        if (!ideal) {
            // The correction at this temperature and this iterate's
            // vapour, with its temperature derivative in the Newton step.
            const auto old = m.correction();
            for (std::size_t i = 0; i < n; ++i) {
                y[i] = ps[i] / s;
                pure[i] = lnps[i] - old[i];
            }
            m.vapourCorrection(t, p, y, pure, dlnps, corr, dcorr);
            s = 0.0;
            for (std::size_t i = 0; i < n; ++i) {
                change = std::max(change, std::abs(corr[i] - old[i]));
                ps[i] *= std::exp(corr[i] - old[i]);
                s += ps[i];
                dlnps[i] += dcorr[i];
            }
            m.setCorrection(corr);
        }
        for (std::size_t i = 0; i < n; ++i) ds += ps[i] * dlnps[i];
        const double g = std::log(s) - lnp;
        for (std::size_t i = 0; i < n; ++i) y[i] = ps[i] / s;
        if (std::abs(g) < o.tolerance && change < o.tolerance) return kConverged;
        double step = g / (ds / s);
        step = std::clamp(step, -40.0, 40.0);
        t = std::clamp(t - step, kTmin, kTmax);
    }
    return kNotConverged;
}

// Dew temperature of vapour y at p with one liquid, the liquid first taken
// as `start` (the vapour's composition when empty).
int dewT(const Mixture& m, double p, std::span<const double> y, const FlashOptions& o, double& t, Vec& x,
         std::span<const double> start = {}) {
    const std::size_t n = m.size();
    Vec lng(n, 0.0), xi(n);
    t = 0.0;
    {
        // Start from the mole-fraction average of the saturation temperatures.
        double t0 = 0.0;
        for (std::size_t i = 0; i < n; ++i) t0 += y[i] * m.saturationTemperature(i, p);
        t = o.initial_temperature > kTmin ? o.initial_temperature : t0;
    }
    if (start.empty())
        x.assign(y.begin(), y.end());
    else
        x.assign(start.begin(), start.end());
    for (int it = 0; it < iterLimit(o, 300); ++it) {
        m.lnGamma(t, x, lng);
        double s = 0.0, ds = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            xi[i] = y[i] * p / std::exp(lng[i] + m.lnPsat(i, t));
            s += xi[i];
            ds -= xi[i] * m.dlnPsatdT(i, t);
        }
        const double g = std::log(s);
        Vec xn = xi;
        for (double& v : xn) v /= s;
        const double dx = maxDiff(xn, x);
        x = xn;
        if (std::abs(g) < o.tolerance && dx < 10.0 * o.tolerance) return kConverged;
        double step = g / (ds / s);
        step = std::clamp(step, -40.0, 40.0);
        t = std::clamp(t - step, kTmin, kTmax);
    }
    return kNotConverged;
}

// Vapour-liquid flash at t, p with one liquid, its K-values first taken at
// the liquid `start` (the feed when empty).
double vlTP(const Mixture& m, double t, double p, std::span<const double> z, const FlashOptions& o,
            Vec& x, Vec& y, int& status, std::span<const double> start = {}) {
    const std::size_t n = m.size();
    Vec lng(n), k(n), lnps(n);
    for (std::size_t i = 0; i < n; ++i) lnps[i] = m.lnPsat(i, t);
    if (start.empty())
        x.assign(z.begin(), z.end());
    else
        x.assign(start.begin(), start.end());
    m.lnGamma(t, x, lng);
    for (std::size_t i = 0; i < n; ++i) k[i] = std::exp(lng[i] + lnps[i]) / p;
    double beta = 0.0;
    status = kNotConverged;
    for (int it = 0; it < iterLimit(o, 500); ++it) {
        beta = rachfordRice(z, k);
        for (std::size_t i = 0; i < n; ++i) {
            x[i] = z[i] / (1.0 + beta * (k[i] - 1.0));
            y[i] = k[i] * x[i];
        }
        normalise(x);
        normalise(y);
        m.lnGamma(t, x, lng);
        double change = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            const double kn = std::exp(lng[i] + lnps[i]) / p;
            change = std::max(change, std::abs(kn - k[i]) / kn);
            k[i] = kn;
        }
        if (change < o.tolerance) {
            status = kConverged;
            break;
        }
    }
    beta = rachfordRice(z, k);
    if (beta <= 0.0) {
        x.assign(z.begin(), z.end());
        for (std::size_t i = 0; i < n; ++i) y[i] = k[i] * z[i];
        normalise(y);
    } else if (beta >= 1.0) {
        y.assign(z.begin(), z.end());
        for (std::size_t i = 0; i < n; ++i) x[i] = z[i] / k[i];
        normalise(x);
    }
    return beta;
}

// Phases of an equilibrium: two liquids and the vapour, with the feed
// shares of liquid B and of the vapour.
struct Phases {
    Vec xa, xb, y;
    double beta_b = 0.0, beta_v = 0.0;
};
Split newtonEquilibrium(const Mixture& m, double t, double p, std::span<const double> z, Phases& ph,
                        bool liquid_b = true);
Split newtonSplit(const Mixture& m, double t, std::span<const double> z, Vec& xa, Vec& xb, double& beta_b);

// Three-phase split V / A / B at t, p.  On success beta_v and beta_b are the
// shares of vapour and of liquid B in the feed, both strictly inside (0, 1).
bool threePhaseTP(const Mixture& m, double t, double p, std::span<const double> z, Vec& xa, Vec& xb,
                  Vec& y, double& beta_v, double& beta_b, const FlashOptions& o) {
    const std::size_t n = m.size();
    Vec lnga(n), lngb(n), kv(n), kb(n), lnps(n);
    for (std::size_t i = 0; i < n; ++i) lnps[i] = m.lnPsat(i, t);
    const Phases given{xa, xb, y, beta_b, beta_v};
    beta_v = std::clamp(beta_v, 0.05, 0.9);
    beta_b = std::clamp(beta_b, 0.05, 0.9);
    if (beta_v + beta_b > 0.95) beta_b = 0.95 - beta_v;
    bool converged = false, merged = false;
    // Substitution: returns after `limit` steps, at convergence, when the
    // liquids merge, or (with `early`) once near enough for Newton.
    auto substitute = [&](int limit, bool early) {
    for (int it = 0; it < limit; ++it) {
        m.lnGamma(t, xa, lnga);
        m.lnGamma(t, xb, lngb);
        for (std::size_t i = 0; i < n; ++i) {
            kv[i] = std::exp(lnga[i] + lnps[i]) / p;
            kb[i] = std::exp(lnga[i] - lngb[i]);
        }
        // Newton on the two Rachford-Rice conditions.
        for (int k = 0; k < 50; ++k) {
            double f1 = 0, f2 = 0, j11 = 0, j12 = 0, j22 = 0;
            for (std::size_t i = 0; i < n; ++i) {
                const double d = 1.0 + beta_v * (kv[i] - 1.0) + beta_b * (kb[i] - 1.0);
                const double a = z[i] / d;
                f1 += a * (kv[i] - 1.0);
                f2 += a * (kb[i] - 1.0);
                j11 -= a / d * (kv[i] - 1.0) * (kv[i] - 1.0);
                j12 -= a / d * (kv[i] - 1.0) * (kb[i] - 1.0);
                j22 -= a / d * (kb[i] - 1.0) * (kb[i] - 1.0);
            }
            const double det = j11 * j22 - j12 * j12;
            if (std::abs(det) < 1e-300) break;
            double dv = -(f1 * j22 - f2 * j12) / det;
            double db = -(j11 * f2 - j12 * f1) / det;
            // Damp so that every phase amount stays positive.
            double lam = 1.0;
            for (int h = 0; h < 40; ++h) {
                const double nv = beta_v + lam * dv, nb = beta_b + lam * db;
                bool ok = nv > -0.5 && nb > -0.5 && nv < 1.5 && nb < 1.5;
                for (std::size_t i = 0; ok && i < n; ++i)
                    ok = 1.0 + nv * (kv[i] - 1.0) + nb * (kb[i] - 1.0) > 0.0;
                if (ok) break;
                lam *= 0.5;
            }
            beta_v += lam * dv;
            beta_b += lam * db;
            if (std::abs(lam * dv) + std::abs(lam * db) < 1e-13) break;
        }
        Vec na(n), nb(n), ny(n);
        for (std::size_t i = 0; i < n; ++i) {
            const double d = 1.0 + beta_v * (kv[i] - 1.0) + beta_b * (kb[i] - 1.0);
            na[i] = z[i] / d;
            nb[i] = kb[i] * na[i];
            ny[i] = kv[i] * na[i];
        }
        normalise(na);
        normalise(nb);
        normalise(ny);
        const double change = std::max({maxDiff(na, xa), maxDiff(nb, xb), maxDiff(ny, y)});
        xa = na;
        xb = nb;
        y = ny;
        if (maxDiff(xa, xb) < 1e-5) {  // the liquids merged
            merged = true;
            return;
        }
        if (change < o.tolerance) {
            converged = true;
            return;
        }
        // Newton finishes what the substitution has brought near.
        if (early && it >= 8 && change < 1e-3) return;
    }
    };
    if (n > kMaxDual) {
        substitute(iterLimit(o, 500), false);
        return converged && !merged && beta_v > 0.0 && beta_b > 0.0 && beta_v + beta_b < 1.0;
    }
    // Newton from the substitution's state; a phase the substitution drove
    // to a small negative amount may still exist in a small positive one.
    auto polish = [&](Phases ph) {
        ph.beta_v = std::clamp(ph.beta_v, 1e-4, 0.98);
        ph.beta_b = std::clamp(ph.beta_b, 1e-4, 0.99 - ph.beta_v);
        if (newtonEquilibrium(m, t, p, z, ph) != Split::TwoLiquids) return false;
        if (!(ph.beta_v > 1e-12 && ph.beta_b > 1e-12 && ph.beta_v + ph.beta_b < 1.0 - 1e-12)) return false;
        xa = ph.xa, xb = ph.xb, y = ph.y, beta_b = ph.beta_b, beta_v = ph.beta_v;
        return true;
    };
    substitute(iterLimit(o, 500), true);
    if (!merged && polish(Phases{xa, xb, y, beta_b, beta_v})) return true;
    // Newton did not hold from there: the substitution goes on to its end
    // (slow near a phase boundary, but sure), then Newton again.
    if (!merged && !converged) {
        substitute(iterLimit(o, 500), false);
        if (!merged && polish(Phases{xa, xb, y, beta_b, beta_v})) return true;
    }
    // Where the substitution merged the liquids, from the phases given.
    return merged && polish(given);
}



// Orders the liquids so that liquid 1 is the larger one.
void assignLiquids(FlashResult& r, const Vec& xa, const Vec& xb, double share_b) {
    if (share_b <= 0.5) {
        r.x1 = xa;
        r.x2 = xb;
        r.liquid2_fraction = share_b;
    } else {
        r.x1 = xb;
        r.x2 = xa;
        r.liquid2_fraction = 1.0 - share_b;
    }
    r.x.resize(xa.size());
    for (std::size_t i = 0; i < xa.size(); ++i) r.x[i] = (1.0 - share_b) * xa[i] + share_b * xb[i];
    r.liquid_phases = 2;
}

// A three-phase split from the given liquids, vapour and feed shares; on
// success the flash result holds it.
bool threePhaseInto(const Mixture& m, double t, double p, std::span<const double> z, const Vec& liquid_a,
                    const Vec& liquid_b, const Vec& vapour, double bv, double bb, const FlashOptions& o,
                    FlashResult& r) {
    Vec xa = liquid_a, xb = liquid_b, y3 = vapour;
    if (!threePhaseTP(m, t, p, z, xa, xb, y3, bv, bb, o)) return false;
    r.vf = bv;
    r.y = y3;
    assignLiquids(r, xa, xb, bb / (1.0 - bv));
    r.status = kConverged;
    return true;
}

void oneLiquid(FlashResult& r) {
    r.x1 = r.x;
    r.x2 = r.x;
    r.liquid2_fraction = 0.0;
    r.liquid_phases = 1;
}

// Bubble temperature of z at p when z may split into two liquids.
int heterogeneousBubbleT(const Mixture& m, double p, std::span<const double> z, const FlashOptions& o,
                         FlashResult& r) {
    const std::size_t n = m.size();
    Vec y(n);
    double t = 0.0;
    int st = bubbleT(m, p, z, o, t, y);
    r.t = t;
    r.y = y;
    r.x.assign(z.begin(), z.end());
    oneLiquid(r);
    Vec trial;
    if (!LiquidUnstable(m, t, z, trial)) return st;
    Vec xa, xb, lng(n);
    double beta_b = 0.0;
    const Split first = SplitLiquids(m, t, z, trial, xa, xb, beta_b, o);
    if (first == Split::NotConverged) return kNotConverged;
    if (first == Split::OneLiquid) return st;
    // Newton on T with the split recomputed at each temperature; the bubble
    // condition is the same for both liquids since their activities agree.
    const double lnp = std::log(p);
    st = kNotConverged;
    for (int it = 0; it < iterLimit(o, 100); ++it) {
        // The split at the first temperature is at hand; at the next ones
        // Newton starts from the last split, and the whole split is redone
        // only when that fails.
        Split split = Split::TwoLiquids;
        if (it > 0) {
            Vec na = xa, nb = xb;
            double bb = beta_b;
            split = n <= kMaxDual ? newtonSplit(m, t, z, na, nb, bb) : Split::NotConverged;
            if (split == Split::TwoLiquids) {
                xa = na, xb = nb, beta_b = bb;
            } else {
                const Vec ta = xb;
                split = SplitLiquids(m, t, z, ta, xa, xb, beta_b, o);
            }
        }
        if (split == Split::NotConverged) {
            st = kNotConverged;
            break;
        }
        if (split == Split::OneLiquid) {
            // Above the liquids' consolute temperature: homogeneous after all.
            FlashOptions h = o;
            h.initial_temperature = t;
            st = bubbleT(m, p, z, h, t, y);
            r.t = t;
            r.y = y;
            r.x.assign(z.begin(), z.end());
            oneLiquid(r);
            return st;
        }
        m.lnGamma(t, xa, lng);
        double s = 0.0, ds = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            y[i] = xa[i] * std::exp(lng[i] + m.lnPsat(i, t));
            s += y[i];
            ds += y[i] * m.dlnPsatdT(i, t);
        }
        for (double& v : y) v /= s;
        const double g = std::log(s) - lnp;
        if (std::abs(g) < o.tolerance) {
            st = kConverged;
            break;
        }
        t = std::clamp(t - std::clamp(g / (ds / s), -20.0, 20.0), kTmin, kTmax);
    }
    r.t = t;
    r.y = y;
    assignLiquids(r, xa, xb, beta_b);
    return st;
}

// Where liquids may split, the one-liquid dew iteration can stop at the dew
// point of a liquid that is not the first to condense.  The dew point is the
// highest temperature at which any liquid condenses: while one condenses
// just above t, the dew point of that liquid is sought from there.  Returns
// the status, with t and x those of the first liquid to condense.
int firstCondensation(const Mixture& m, double p, std::span<const double> y, const FlashOptions& o, double& t,
                      Vec& x) {
    constexpr double kProbe = 0.01;  // K above the dew point
    for (int round = 0; round < 5; ++round) {
        Vec liquid;
        if (!VapourCondenses(m, t + kProbe, p, y, liquid)) return kConverged;
        FlashOptions from = o;
        from.initial_temperature = t + kProbe;
        double higher = t + kProbe;
        Vec xl;
        if (dewT(m, p, y, from, higher, xl, liquid) != kConverged || !(higher > t)) return kNotConverged;
        t = higher;
        x = xl;
    }
    return kNotConverged;
}

// Where the vapour fraction jumps at one temperature (a heterogeneous
// boiling point) or at one pressure, the regula falsi closes on the jump
// without reaching the fraction asked for: that state is not the answer.
void requireFraction(FlashResult& r, double vf) {
    if (r.status == kConverged && !(std::abs(r.vf - vf) <= kVapourFractionTolerance)) r.status = kNotConverged;
}

bool validFeed(std::span<const double> z) {
    for (double v : z)
        if (!(v >= 0.0) || !std::isfinite(v)) return false;
    return std::accumulate(z.begin(), z.end(), 0.0) > 0.0;
}

}  // namespace

namespace {

// Tangent-plane test of liquid trial phases against a phase whose chemical
// potentials are d_i (ln of the fugacity over the pure-liquid reference,
// -inf for absent components).  Successive substitution from a liquid rich
// in each present component; true with the most negative stationary point
// in `trial` when one lies below the plane (and away from `away`, the
// tested phase itself when it is a liquid).
bool liquidBelowPlane(const Mixture& m, double t, std::span<const double> z, const Vec& d,
                      std::span<const double> away, Vec& trial) {
    const std::size_t n = m.size();
    Vec lng(n), w(n), big(n), nw(n);
    double best = -1e-6;
    bool unstable = false;
    for (std::size_t k = 0; k < n; ++k) {
        if (z[k] <= 0.0) continue;
        double rest = 0.0;
        for (std::size_t i = 0; i < n; ++i) rest += i == k ? 0.0 : z[i];
        for (std::size_t i = 0; i < n; ++i)
            w[i] = i == k ? 0.98 : (rest > 0.0 ? 0.02 * z[i] / rest : 0.0);
        double sum = 1.0;
        bool trivial = false;
        for (int it = 0; it < 300; ++it) {
            m.lnGamma(t, w, lng);
            sum = 0.0;
            for (std::size_t i = 0; i < n; ++i) {
                big[i] = z[i] > 0.0 ? std::exp(d[i] - lng[i]) : 0.0;
                sum += big[i];
            }
            for (std::size_t i = 0; i < n; ++i) nw[i] = big[i] / sum;
            const double change = maxDiff(nw, w);
            w = nw;
            if (change < 1e-10) break;
            // A trial that has come to the tested liquid itself ends at the
            // trivial stationary point, whose distance is zero.
            if (!away.empty() && change < 1e-3 && maxDiff(w, away) < 1e-3) {
                trivial = true;
                break;
            }
        }
        if (trivial) continue;
        // At a stationary point the modified tangent-plane distance is 1 - sum(W).
        const double tm = 1.0 - sum;
        double dist = away.empty() ? 1.0 : 0.0;
        for (std::size_t i = 0; i < away.size(); ++i) dist = std::max(dist, std::abs(w[i] - away[i]));
        if (tm < best && dist > 1e-4) {
            best = tm;
            trial = w;
            unstable = true;
        }
    }
    return unstable;
}

}  // namespace

bool LiquidUnstable(const Mixture& m, double t, std::span<const double> z, Vec& trial) {
    const std::size_t n = m.size();
    if (n < 2) return false;
    Vec lngz(n), d(n);
    m.lnGamma(t, z, lngz);
    for (std::size_t i = 0; i < n; ++i) d[i] = z[i] > 0.0 ? std::log(z[i]) + lngz[i] : -1e300;
    return liquidBelowPlane(m, t, z, d, z, trial);
}

bool VapourCondenses(const Mixture& m, double t, double p, std::span<const double> y, Vec& trial) {
    // The ideal-gas vapour's fugacities y_i p over the pure liquids' Psat_i.
    const std::size_t n = m.size();
    Vec d(n);
    for (std::size_t i = 0; i < n; ++i) d[i] = y[i] > 0.0 ? std::log(y[i] * p) - m.lnPsat(i, t) : -1e300;
    return liquidBelowPlane(m, t, y, d, {}, trial);
}

namespace {

// Largest isoactivity residual |ln(x_a gamma_a) - ln(x_b gamma_b)| a split
// is accepted with.
constexpr double kIsoactivity = 1e-10;

// Newton on the mole numbers of liquid B (when `liquid_b`) and, with a
// pressure given, of the vapour; liquid A is the rest of the feed.  The
// Gibbs energy's gradient is the difference of each phase's ln(fugacity)
// from liquid A's (liquids ln(x gamma), the ideal-gas vapour
// ln(y p) - ln(Psat)), its Hessian built from the phases' d ln(fugacity)/d n;
// steps keep every amount positive and must lower the Gibbs energy.  On
// success the phase compositions and the feed shares of liquid B and vapour
// are returned; OneLiquid when the two liquids became one.
Split newtonEquilibrium(const Mixture& m, double t, double p, std::span<const double> z, Phases& ph,
                        bool liquid_b) {
    const bool vapour = p > 0.0;
    // Components absent from the feed take no part in the unknowns; the
    // models see them with zero amounts.
    const std::size_t nf = z.size();
    std::vector<std::size_t> idx;
    for (std::size_t i = 0; i < nf; ++i)
        if (z[i] > 0.0) idx.push_back(i);
    const std::size_t n = idx.size();
    // Unknown blocks: liquid B's amounts, then the vapour's.
    const std::size_t blocks = (liquid_b ? 1 : 0) + (vapour ? 1 : 0), nu = blocks * n;
    const std::size_t vb = liquid_b ? 1 : 0;  // block of the vapour
    if (blocks == 0) return Split::NotConverged;
    // Scratch kept between calls: these splits run inside every
    // heterogeneous bubble point.
    thread_local Vec zz, na, lnps, g, h, hh, step, fa, fb, lnga, lngb, ja, jb, mua, ta, keep_a;
    thread_local std::vector<Vec> amt, trial, mu, keep;
    for (Vec* v : {&zz, &na, &lnps, &mua, &ta, &keep_a}) v->assign(n, 0.0);
    for (Vec* v : {&g, &step}) v->assign(nu, 0.0);
    h.assign(nu * nu, 0.0);
    for (Vec* v : {&fa, &fb, &lnga, &lngb}) v->assign(nf, 0.0);
    for (Vec* v : {&ja, &jb}) v->assign(nf * nf, 0.0);
    for (auto* a : {&amt, &trial, &mu, &keep}) {
        a->resize(blocks);
        for (Vec& v : *a) v.assign(n, 0.0);
    }
    double total = 0.0;
    for (std::size_t k = 0; k < n; ++k) total += z[idx[k]];
    for (std::size_t k = 0; k < n; ++k) {
        zz[k] = z[idx[k]] / total;
        lnps[k] = m.lnPsat(idx[k], t);
        double taken = 0.0;
        if (liquid_b) taken += amt[0][k] = std::max(ph.beta_b * ph.xb[idx[k]], 1e-14 * zz[k]);
        if (vapour) taken += amt[vb][k] = std::max(ph.beta_v * ph.y[idx[k]], 1e-14 * zz[k]);
        if (taken >= (1.0 - 1e-9) * zz[k]) {  // start inside: leave liquid A a little of everything
            const double f = (1.0 - 1e-9) * zz[k] / taken;
            for (auto& a : amt) a[k] *= f;
            taken *= f;
        }
        na[k] = zz[k] - taken;
    }
    // Chemical potentials of the phases and the Gibbs energy; with
    // derivatives, ja and jb hold d ln(gamma)/d n at unit amounts.
    auto evaluate = [&](const Vec& a, const std::vector<Vec>& u, bool derivatives) {
        const double sa = std::accumulate(a.begin(), a.end(), 0.0);
        for (std::size_t k = 0; k < n; ++k) fa[idx[k]] = a[k] / sa;
        if (derivatives) m.lnGammaDn(t, fa, lnga, ja);
        else m.lnGamma(t, fa, lnga);
        double gibbs = 0.0;
        for (std::size_t k = 0; k < n; ++k) {
            mua[k] = std::log(a[k] / sa) + lnga[idx[k]];
            gibbs += a[k] * mua[k];
        }
        if (liquid_b) {
            const double sb = std::accumulate(u[0].begin(), u[0].end(), 0.0);
            for (std::size_t k = 0; k < n; ++k) fb[idx[k]] = u[0][k] / sb;
            if (derivatives) m.lnGammaDn(t, fb, lngb, jb);
            else m.lnGamma(t, fb, lngb);
            for (std::size_t k = 0; k < n; ++k) {
                mu[0][k] = std::log(u[0][k] / sb) + lngb[idx[k]];
                gibbs += u[0][k] * mu[0][k];
            }
        }
        if (vapour) {
            const Vec& v = u[vb];
            const double sv = std::accumulate(v.begin(), v.end(), 0.0);
            for (std::size_t k = 0; k < n; ++k) {
                mu[vb][k] = std::log(v[k] / sv * p) - lnps[k];
                gibbs += v[k] * mu[vb][k];
            }
        }
        return gibbs;
    };
    auto residual = [&]() {
        double worst = 0.0;
        for (std::size_t b = 0; b < blocks; ++b)
            for (std::size_t k = 0; k < n; ++k) {
                g[b * n + k] = mu[b][k] - mua[k];
                worst = std::max(worst, std::abs(g[b * n + k]));
            }
        return worst;
    };
    double gibbs = evaluate(na, amt, true);
    for (int it = 0; it < 60; ++it) {
        const double worst = residual();
        if (worst < kIsoactivity) break;
        const double sa = std::accumulate(na.begin(), na.end(), 0.0);
        auto hl = [&](const Vec& amount, double sum, const Vec& jac, std::size_t i, std::size_t j) {
            return (i == j ? 1.0 / amount[i] : 0.0) - 1.0 / sum + jac[idx[i] * nf + idx[j]] / sum;
        };
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < n; ++j) {
                const double a = hl(na, sa, ja, i, j);
                for (std::size_t b = 0; b < blocks; ++b)
                    for (std::size_t c = 0; c < blocks; ++c) h[(b * n + i) * nu + c * n + j] = a;
                if (liquid_b) {
                    const double sb = std::accumulate(amt[0].begin(), amt[0].end(), 0.0);
                    h[i * nu + j] += hl(amt[0], sb, jb, i, j);
                }
                if (vapour) {
                    const double sv = std::accumulate(amt[vb].begin(), amt[vb].end(), 0.0);
                    h[(vb * n + i) * nu + vb * n + j] += (i == j ? 1.0 / amt[vb][i] : 0.0) - 1.0 / sv;
                }
            }
        step = g;
        hh = h;
        if (!SolveDense(hh, step, nu)) return Split::NotConverged;
        for (double& v : step) v = -v;
        // Descent direction, else steepest descent scaled to the amounts.
        double slope = 0.0;
        for (std::size_t k = 0; k < nu; ++k) slope += step[k] * g[k];
        if (!(slope < 0.0))
            for (std::size_t k = 0; k < nu; ++k) step[k] = -g[k] * std::min(na[k % n], amt[k / n][k % n]) * 0.1;
        // Largest step keeping every amount positive.
        double lam = 1.0;
        for (std::size_t k = 0; k < n; ++k) {
            double out_of_a = 0.0;
            for (std::size_t b = 0; b < blocks; ++b) {
                const double d = step[b * n + k];
                out_of_a += d;
                if (amt[b][k] + lam * d <= 0.0) lam = std::min(lam, -0.9 * amt[b][k] / d);
            }
            if (na[k] - lam * out_of_a <= 0.0) lam = std::min(lam, 0.9 * na[k] / out_of_a);
        }
        bool lowered = false;
        keep_a = mua;
        for (std::size_t b = 0; b < blocks; ++b) keep[b] = mu[b];
        for (int back = 0; back < 30; ++back, lam *= 0.5) {
            for (std::size_t k = 0; k < n; ++k) {
                double taken = 0.0;
                for (std::size_t b = 0; b < blocks; ++b) taken += trial[b][k] = amt[b][k] + lam * step[b * n + k];
                ta[k] = zz[k] - taken;
            }
            const double next = evaluate(ta, trial, false);
            // Near the solution the Gibbs energy changes below its
            // round-off; there a step that shrinks the residual is taken.
            const double res = residual();
            if (std::isfinite(next) &&
                (next <= gibbs + 1e-14 * std::abs(gibbs) || (worst < 1e-6 && res < 0.5 * worst))) {
                lowered = true;
                break;
            }
        }
        if (!lowered) {  // at the minimum to round-off: judged below
            mua = keep_a;
            for (std::size_t b = 0; b < blocks; ++b) mu[b] = keep[b];
            break;
        }
        for (std::size_t b = 0; b < blocks; ++b) amt[b] = trial[b];
        na = ta;
        gibbs = evaluate(na, amt, true);
    }
    const double worst = residual();
    const double sa = std::accumulate(na.begin(), na.end(), 0.0);
    std::fill(fa.begin(), fa.end(), 0.0);
    for (std::size_t k = 0; k < n; ++k) fa[idx[k]] = na[k] / sa;
    if (liquid_b) {
        const double sb = std::accumulate(amt[0].begin(), amt[0].end(), 0.0);
        std::fill(fb.begin(), fb.end(), 0.0);
        for (std::size_t k = 0; k < n; ++k) fb[idx[k]] = amt[0][k] / sb;
        if (maxDiff(fa, fb) < 1e-6) return Split::OneLiquid;
        ph.beta_b = sb;
    }
    if (!(worst < kIsoactivity)) return Split::NotConverged;
    ph.xa = fa;
    if (liquid_b) ph.xb = fb;
    if (vapour) {
        const double sv = std::accumulate(amt[vb].begin(), amt[vb].end(), 0.0);
        ph.y.assign(nf, 0.0);
        for (std::size_t k = 0; k < n; ++k) ph.y[idx[k]] = amt[vb][k] / sv;
        ph.beta_v = sv;
    }
    return Split::TwoLiquids;
}

Split newtonSplit(const Mixture& m, double t, std::span<const double> z, Vec& xa, Vec& xb, double& beta_b) {
    Phases ph{xa, xb, {}, beta_b, 0.0};
    const Split s = newtonEquilibrium(m, t, 0.0, z, ph);
    if (s == Split::TwoLiquids) xa = ph.xa, xb = ph.xb, beta_b = ph.beta_b;
    return s;
}

}  // namespace

Split SplitLiquids(const Mixture& m, double t, std::span<const double> z, std::span<const double> trial, Vec& xa,
                   Vec& xb, double& beta_b, const FlashOptions& o) {
    const std::size_t n = m.size();
    Vec lnga(n), lngb(n), k(n);
    xb.assign(trial.begin(), trial.end());
    xa.assign(z.begin(), z.end());
    m.lnGamma(t, xa, lnga);
    m.lnGamma(t, xb, lngb);
    // Successive substitution: a few steps to start Newton from; if Newton
    // does not reach a split from there (near a plait point the substitution
    // is slow), the substitution goes on and Newton starts again from it.
    const bool newton = n <= kMaxDual;
    bool converged = false;
    Vec na(n), nb(n);
    auto substitute = [&](int steps) {
        for (int it = 0; it < steps; ++it) {
            for (std::size_t i = 0; i < n; ++i) k[i] = std::exp(lnga[i] - lngb[i]);
            beta_b = rachfordRice(z, k);
            if (beta_b <= 0.0 || beta_b >= 1.0) return false;
            for (std::size_t i = 0; i < n; ++i) {
                na[i] = z[i] / (1.0 + beta_b * (k[i] - 1.0));
                nb[i] = k[i] * na[i];
            }
            normalise(na);
            normalise(nb);
            const double change = std::max(maxDiff(na, xa), maxDiff(nb, xb));
            xa = na;
            xb = nb;
            if (maxDiff(xa, xb) < 1e-6) return false;
            m.lnGamma(t, xa, lnga);
            m.lnGamma(t, xb, lngb);
            if (change < 0.01 * o.tolerance) {
                converged = true;
                break;
            }
        }
        return true;
    };
    if (!substitute(newton ? 8 : iterLimit(o, 1000))) return Split::OneLiquid;
    if (!newton) {
        if (!converged) return Split::NotConverged;
        return maxDiff(xa, xb) > 1e-6 ? Split::TwoLiquids : Split::OneLiquid;
    }
    na = xa, nb = xb;
    double bb = beta_b;
    if (newtonSplit(m, t, z, na, nb, bb) == Split::TwoLiquids) {
        xa = na, xb = nb, beta_b = bb;
        return Split::TwoLiquids;
    }
    if (!substitute(iterLimit(o, 1000))) return Split::OneLiquid;
    return newtonSplit(m, t, z, xa, xb, beta_b);
}

bool LiquidSplit(const Mixture& m, double t, std::span<const double> z, std::span<const double> trial, Vec& xa,
                 Vec& xb, double& beta_b, const FlashOptions& o) {
    return SplitLiquids(m, t, z, trial, xa, xb, beta_b, o) == Split::TwoLiquids;
}

namespace {
FlashResult flashTP(const Mixture& m, double t, double p, std::span<const double> z, int phase,
                    const FlashOptions& o);
}  // namespace

FlashResult FlashTP(const Mixture& m, double t, double p, std::span<const double> z, int phase,
                    const FlashOptions& o) {
    if (!m.idealVapour() && !m.correctionHeld() && validFeed(z))
        return withVapour(m, z, o, [&](const FlashOptions& oo) { return FlashTP(m, t, p, z, phase, oo); });
    FlashResult r = flashTP(m, t, p, z, phase, o);
    // With two liquids allowed, a state whose liquid would still split (a
    // third liquid, which the setting cannot hold) is not an equilibrium:
    // it is no result.
    if (phase == 3 && r.status == kConverged && r.vf < 1.0) {
        Vec third;
        if (LiquidUnstable(m, t, r.x1, third)) r.status = kNotConverged;
    }
    return r;
}

namespace {
FlashResult flashTP(const Mixture& m, double t, double p, std::span<const double> z, int phase,
                    const FlashOptions& o) {
    const std::size_t n = m.size();
    FlashResult r;
    r.t = t;
    r.p = p;
    r.y.assign(n, 0.0);
    r.x.assign(z.begin(), z.end());
    if (!(t > kTmin && t < kTmax) || !(p > 0.0) || !validFeed(z)) {
        oneLiquid(r);
        r.status = kBadSpecification;
        return r;
    }
    int st = kConverged;
    Vec x(n), y(n);
    double beta = vlTP(m, t, p, z, o, x, y, st);
    r.vf = beta;
    r.x = x;
    r.y = y;
    r.status = st;
    oneLiquid(r);
    if (phase != 3) {
        // All vapour by the flash from its own start; but a liquid of
        // another composition may condense at t (a partially miscible
        // system has more than one): the flash again from that liquid.
        Vec liquid;
        if (beta < 1.0 || !VapourCondenses(m, t, p, z, liquid)) return r;
        int vl_status = kNotConverged;
        Vec xl(n), yl(n);
        const double bl = vlTP(m, t, p, z, o, xl, yl, vl_status, liquid);
        if (!(vl_status == kConverged && bl < 1.0)) {
            r.status = kNotConverged;
            return r;
        }
        r.vf = std::max(bl, 0.0);
        r.x = xl;
        r.y = yl;
        oneLiquid(r);
        r.status = kConverged;
        return r;
    }
    if (beta >= 1.0) {
        // All vapour by the one-liquid flash; but a liquid (or two) the
        // one-liquid model cannot describe may still condense.
        Vec liquid;
        if (!VapourCondenses(m, t, p, z, liquid)) return r;
        // The second liquid: one that splits from the condensate, else the
        // liquid of the one-liquid flash when it is another liquid.
        Vec second;
        if (LiquidUnstable(m, t, liquid, second) || maxDiff(x, liquid) > 1e-3) {
            if (second.empty()) second = x;
            // Three phases: started from much vapour, then from little.
            const Vec feed(z.begin(), z.end());
            for (const double start : {0.9, 0.5, 0.1})
                if (threePhaseInto(m, t, p, z, liquid, second, feed, start, 0.5 * (1.0 - start), o, r)) return r;
        }
        // Vapour and the one liquid that condenses; from here on as if the
        // one-liquid flash had found them.
        int vl_status = kNotConverged;
        Vec xl(n), yl(n);
        const double bl = vlTP(m, t, p, z, o, xl, yl, vl_status, liquid);
        if (!(vl_status == kConverged && bl > 0.0 && bl < 1.0)) {
            // Neither all vapour nor a state found: say so.
            r.status = kNotConverged;
            return r;
        }
        beta = bl;
        x = xl;
        y = yl;
        r.vf = bl;
        r.x = xl;
        r.y = yl;
        oneLiquid(r);
        r.status = kConverged;
    }
    Vec trial;
    if (!LiquidUnstable(m, t, x, trial)) return r;
    // Two liquids and no vapour first.  A one-liquid model inside a miscibility
    // gap overstates the liquid's fugacities, so the vapour-liquid state found
    // above is often no more than that; the split of the feed is cheap, and if
    // its bubble pressure is below p no vapour can form (the ideal-gas
    // tangent plane of the two liquids lies below every vapour), which makes
    // it the equilibrium.
    Vec xa, xb, y3;
    double beta_b = 0.0, bubble_sum = 0.0;
    Vec t0;
    const bool feed_unstable = beta <= 0.0 ? (t0 = trial, true) : LiquidUnstable(m, t, z, t0);
    const Split split = feed_unstable ? SplitLiquids(m, t, z, t0, xa, xb, beta_b, o) : Split::OneLiquid;
    if (split == Split::TwoLiquids) {
        Vec lng(n);
        m.lnGamma(t, xa, lng);
        y3.resize(n);
        for (std::size_t i = 0; i < n; ++i) {
            y3[i] = xa[i] * std::exp(lng[i] + m.lnPsat(i, t)) / p;
            bubble_sum += y3[i];
        }
        for (double& v : y3) v /= bubble_sum;
        if (bubble_sum <= 1.0) {
            r.vf = 0.0;
            r.y = y3;
            assignLiquids(r, xa, xb, beta_b);
            r.status = kConverged;
            return r;
        }
    }
    if (beta > 0.0 && n <= kMaxDual) {
        // Newton straight from the vapour-liquid state with a trace of the
        // liquid the stability test found: there the Gibbs energy's gradient
        // is already small (the tangent-plane distance), so this holds even
        // where the second liquid has only just appeared.
        // The vapour from the mass balance, so that the start is consistent.
        Vec yb(n);
        bool positive = true;
        for (std::size_t i = 0; i < n; ++i) {
            yb[i] = (z[i] - (1.0 - beta) * x[i]) / beta;
            positive = positive && (yb[i] > 0.0 || z[i] == 0.0);
        }
        Phases ph{x, trial, positive ? yb : y, 1e-6, beta};
        if (newtonEquilibrium(m, t, p, z, ph) == Split::TwoLiquids && ph.beta_v > 1e-12 && ph.beta_b > 1e-12 &&
            ph.beta_v + ph.beta_b < 1.0 - 1e-12) {
            r.vf = ph.beta_v;
            r.y = ph.y;
            assignLiquids(r, ph.xa, ph.xb, ph.beta_b / (1.0 - ph.beta_v));
            r.status = kConverged;
            return r;
        }
    }
    if (beta > 0.0) {
        // Three phases from the vapour-liquid state and the liquid that
        // splits from its liquid: first with the vapour found, then with
        // more and with less of the second liquid.
        const double bv0 = std::clamp(beta, 0.1, 0.9);
        for (const double share : {0.2, 0.5, 0.05})
            if (threePhaseInto(m, t, p, z, x, trial, y, bv0, share * (1.0 - bv0), o, r)) return r;
    }
    // No vapour-liquid start led to three phases, and the split of the feed
    // boils at t: three phases should exist, started from the liquid split.
    if (split == Split::NotConverged) {
        r.status = kNotConverged;
        return r;
    }
    if (split == Split::TwoLiquids) {
        double bv2 = 0.05, bb2 = beta_b * 0.95;
        Vec ya = y3;
        if (threePhaseTP(m, t, p, z, xa, xb, ya, bv2, bb2, o)) {
            r.vf = bv2;
            r.y = ya;
            assignLiquids(r, xa, xb, bb2 / (1.0 - bv2));
            r.status = kConverged;
            return r;
        }
    }
    // No three-phase state: the liquid of the first vapour-liquid state was
    // the wrong one.  Vapour with the liquid that splits from it, if that
    // liquid is stable, is the equilibrium.
    if (!trial.empty() && n <= kMaxDual && beta > 0.0) {
        Phases vl{trial, {}, y, 0.0, std::clamp(beta, 1e-3, 0.999)};
        Vec again;
        if (newtonEquilibrium(m, t, p, z, vl, false) == Split::TwoLiquids && vl.beta_v > 0.0 && vl.beta_v < 1.0 &&
            !LiquidUnstable(m, t, vl.xa, again)) {
            r.vf = vl.beta_v;
            r.x = vl.xa;
            r.y = vl.y;
            oneLiquid(r);
            r.status = kConverged;
            return r;
        }
    }
    // The liquid found is unstable and no state with a second liquid was
    // reached: the vapour-liquid state is not the equilibrium.
    r.status = kNotConverged;
    return r;
}
}  // namespace

void FlashPV(const Mixture& m, double p, double vf, std::span<const double> z, int phase, const FlashOptions& o,
             FlashResult& r) {
    // Bubble points, the commonest flash, fill r in place (its vectors keep
    // their capacity from call to call); the rest as a new result.
    const std::size_t n = m.size();
    const bool bubble = vf == 0.0 && phase != 3 && p > 0.0 && validFeed(z);
    if (!m.idealVapour() && !m.correctionHeld() && !bubble) {
        r = FlashPV(m, p, vf, z, phase, o);
        return;
    }
    if (bubble) {
        r.t = 0.0;
        r.p = p;
        r.vf = 0.0;
        r.liquid2_fraction = 0.0;
        r.liquid_phases = 1;
        r.y.resize(n);
        r.x.assign(z.begin(), z.end());
        r.x1.assign(z.begin(), z.end());
        r.x2.assign(z.begin(), z.end());
        r.status = bubbleT(m, p, z, o, r.t, r.y);
        // Bubble points settle a non-ideal vapour's correction as they go;
        // one that fails from the last call's correction tries again from
        // an ideal vapour.
        if (r.status != kConverged && !m.idealVapour()) {
            m.setCorrection(Vec(n, 0.0));
            FlashOptions fresh = o;
            fresh.initial_temperature = 0.0;
            r.status = bubbleT(m, p, z, fresh, r.t, r.y);
        }
        return;
    }
    r = FlashPV(m, p, vf, z, phase, o);
}

FlashResult FlashPV(const Mixture& m, double p, double vf, std::span<const double> z, int phase,
                    const FlashOptions& o) {
    // (Bubble points of one liquid settle the vapour correction themselves.)
    if (!m.idealVapour() && !m.correctionHeld() && (vf == 1.0 || (vf == 0.0 && phase == 3)) && validFeed(z))
        return withVapour(m, z, o, [&](const FlashOptions& oo) { return FlashPV(m, p, vf, z, phase, oo); });
    const std::size_t n = m.size();
    FlashResult r;
    r.p = p;
    r.vf = vf;
    r.y.assign(n, 0.0);
    r.x.assign(z.begin(), z.end());
    oneLiquid(r);
    if (!(p > 0.0) || !(vf >= 0.0 && vf <= 1.0) || !validFeed(z)) {
        r.status = kBadSpecification;
        return r;
    }
    if (vf == 0.0) {
        if (phase == 3) {
            r.status = heterogeneousBubbleT(m, p, z, o, r);
        } else {
            r.status = bubbleT(m, p, z, o, r.t, r.y);
            if (r.status != kConverged && !m.idealVapour() && !m.correctionHeld()) {
                m.setCorrection(Vec(n, 0.0));
                FlashOptions fresh = o;
                fresh.initial_temperature = 0.0;
                r.status = bubbleT(m, p, z, fresh, r.t, r.y);
            }
        }
        r.p = p;
        r.vf = 0.0;
        return r;
    }
    if (vf == 1.0) {
        Vec x(n);
        r.status = dewT(m, p, z, o, r.t, x);
        // The dew point is where the first liquid appears: a partially
        // miscible liquid may condense above the one-liquid root, whether
        // or not two liquids are allowed afterwards.
        if (r.status == kConverged) r.status = firstCondensation(m, p, z, o, r.t, x);
        r.y.assign(z.begin(), z.end());
        r.x = x;
        oneLiquid(r);
        r.vf = 1.0;
        return r;
    }
    // In between: regula falsi (Illinois) on the vapour fraction of a
    // TP flash between the bubble and the dew temperature.
    FlashResult lo = FlashPV(m, p, 0.0, z, phase, o);
    if (lo.status != kConverged) return lo;
    FlashResult hi = FlashPV(m, p, 1.0, z, phase, o);
    if (hi.status != kConverged) return hi;
    r.status = kNotConverged;
    illinois(lo.t, hi.t, -vf, 1.0 - vf, 1e-10, iterLimit(o, 200), o.tolerance, [&](double t) {
        r = FlashTP(m, t, p, z, phase, o);
        return r.vf - vf;
    });
    r.p = p;
    requireFraction(r, vf);
    return r;
}

FlashResult FlashTV(const Mixture& m, double t, double vf, std::span<const double> z, int phase,
                    const FlashOptions& o) {
    if (!m.idealVapour() && !m.correctionHeld() && (vf == 0.0 || vf == 1.0) && validFeed(z))
        return withVapour(m, z, o, [&](const FlashOptions& oo) { return FlashTV(m, t, vf, z, phase, oo); });
    const std::size_t n = m.size();
    FlashResult r;
    r.t = t;
    r.vf = vf;
    r.y.assign(n, 0.0);
    r.x.assign(z.begin(), z.end());
    oneLiquid(r);
    if (!(t > kTmin && t < kTmax) || !(vf >= 0.0 && vf <= 1.0) || !validFeed(z)) {
        r.status = kBadSpecification;
        return r;
    }
    Vec lng(n);
    auto bubbleP = [&](std::span<const double> x, Vec& y) {
        m.lnGamma(t, x, lng);
        double s = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            y[i] = x[i] * std::exp(lng[i] + m.lnPsat(i, t));
            s += y[i];
        }
        for (double& v : y) v /= s;
        return s;
    };
    if (vf == 0.0) {
        Vec y(n);
        r.p = bubbleP(z, y);
        r.y = y;
        Vec trial, xa, xb;
        double bb = 0.0;
        const Split split = phase == 3 && LiquidUnstable(m, t, z, trial)
                                ? SplitLiquids(m, t, z, trial, xa, xb, bb, o)
                                : Split::OneLiquid;
        if (split == Split::NotConverged) r.status = kNotConverged;
        if (split == Split::TwoLiquids) {
            r.p = bubbleP(xa, y);
            r.y = y;
            assignLiquids(r, xa, xb, bb);
        }
        return r;
    }
    if (vf == 1.0) {
        Vec x(z.begin(), z.end());
        double p = 0.0;
        r.status = kNotConverged;
        for (int it = 0; it < iterLimit(o, 300); ++it) {
            m.lnGamma(t, x, lng);
            double s = 0.0;
            for (std::size_t i = 0; i < n; ++i) s += z[i] / std::exp(lng[i] + m.lnPsat(i, t));
            p = 1.0 / s;
            Vec nx(n);
            for (std::size_t i = 0; i < n; ++i) nx[i] = z[i] * p / std::exp(lng[i] + m.lnPsat(i, t));
            normalise(nx);
            const double change = maxDiff(nx, x);
            x = nx;
            if (change < o.tolerance) {
                r.status = kConverged;
                break;
            }
        }
        r.p = p;
        r.y.assign(z.begin(), z.end());
        r.x = x;
        oneLiquid(r);
        return r;
    }
    FlashResult lo = FlashTV(m, t, 0.0, z, phase, o);  // bubble: highest pressure
    if (lo.status != kConverged) return lo;
    FlashResult hi = FlashTV(m, t, 1.0, z, phase, o);  // dew: lowest pressure
    if (hi.status != kConverged) return hi;
    // vapour fraction falls with pressure: work on ln p
    r.status = kNotConverged;
    illinois(std::log(hi.p), std::log(lo.p), 1.0 - vf, -vf, 1e-12, iterLimit(o, 200), o.tolerance, [&](double lnp) {
        r = FlashTP(m, t, std::exp(lnp), z, phase, o);
        return r.vf - vf;
    });
    requireFraction(r, vf);
    return r;
}

}  // namespace propcore
