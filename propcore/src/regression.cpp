#include "regression.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <numeric>
#include <sstream>

#include "flash.h"
#include "levenberg.h"
#include "thermo.h"

namespace propcore {

namespace {

std::string where(const std::string& file, int line) { return file + ":" + std::to_string(line) + ": "; }

std::string trim(std::string s) {
    const auto a = s.find_first_not_of(" \t\r");
    const auto b = s.find_last_not_of(" \t\r");
    return a == std::string::npos ? std::string() : s.substr(a, b - a + 1);
}

std::vector<std::string> splitCsv(const std::string& line) {
    std::vector<std::string> cells;
    std::string cell;
    std::istringstream in(line);
    while (std::getline(in, cell, ',')) cells.push_back(trim(cell));
    if (!line.empty() && line.back() == ',') cells.emplace_back();
    return cells;
}

}  // namespace

std::vector<Measurement> ReadMeasurements(std::istream& in, const std::string& file) {
    static const std::vector<std::string> kKnown{"T_K", "P_Pa", "x1", "y1", "x1_L1", "x1_L2"};
    std::vector<Measurement> out;
    std::map<std::string, std::size_t> col;
    std::string line;
    int number = 0;
    bool header = false;
    while (std::getline(in, line)) {
        ++number;
        if (number == 1 && line.size() >= 3 && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
        const std::string t = trim(line);
        if (t.empty() || t[0] == '#') continue;
        if (number > 1000000) throw FitDataError(where(file, number) + "more than a million lines");
        const auto cells = splitCsv(t);
        if (!header) {
            for (std::size_t k = 0; k < cells.size(); ++k) {
                if (std::find(kKnown.begin(), kKnown.end(), cells[k]) == kKnown.end())
                    throw FitDataError(where(file, number) + "unknown column '" + cells[k] +
                                       "' (the columns are T_K,P_Pa,x1,y1 for vapour-liquid points or "
                                       "T_K,x1_L1,x1_L2 for tie lines)");
                if (col.count(cells[k])) throw FitDataError(where(file, number) + "column '" + cells[k] + "' twice");
                col[cells[k]] = k;
            }
            const bool vle = col.count("x1") > 0, lle = col.count("x1_L1") > 0 || col.count("x1_L2") > 0;
            if (!col.count("T_K")) throw FitDataError(where(file, number) + "no T_K column");
            if (vle && lle)
                throw FitDataError(where(file, number) +
                                   "vapour-liquid points and tie lines go in separate files (give --data twice)");
            if (vle && !col.count("P_Pa")) throw FitDataError(where(file, number) + "no P_Pa column");
            if (lle && !(col.count("x1_L1") && col.count("x1_L2")))
                throw FitDataError(where(file, number) + "tie lines need both x1_L1 and x1_L2");
            if (!vle && !lle)
                throw FitDataError(where(file, number) + "no composition column (x1, or x1_L1 and x1_L2)");
            if (col.count("y1") && !vle) throw FitDataError(where(file, number) + "y1 belongs to vapour-liquid points");
            header = true;
            continue;
        }
        if (cells.size() != col.size())
            throw FitDataError(where(file, number) + std::to_string(cells.size()) + " values where the header has " +
                               std::to_string(col.size()) + " columns");
        auto value = [&](const char* name, bool optional) -> std::optional<double> {
            const std::string& s = cells[col.at(name)];
            if (s.empty()) {
                if (optional) return std::nullopt;
                throw FitDataError(where(file, number) + name + " is empty");
            }
            char* end = nullptr;
            const double v = std::strtod(s.c_str(), &end);
            if (end != s.c_str() + s.size() || !std::isfinite(v))
                throw FitDataError(where(file, number) + name + " '" + s + "' is not a number");
            return v;
        };
        auto fraction = [&](const char* name, bool optional) -> std::optional<double> {
            const auto v = value(name, optional);
            if (v && !(*v >= 0.0 && *v <= 1.0))
                throw FitDataError(where(file, number) + name + " = " + cells[col.at(name)] +
                                   " is not a mole fraction (outside [0, 1])");
            return v;
        };
        Measurement m;
        m.file = file;
        m.line = number;
        m.t = *value("T_K", false);
        if (!(m.t > 0.0 && m.t < 3000.0))
            throw FitDataError(where(file, number) + "T_K = " + cells[col.at("T_K")] + " is not a temperature in K");
        if (col.count("x1")) {
            m.kind = Measurement::VapourLiquid;
            m.p = *value("P_Pa", false);
            if (!(m.p > 0.0 && m.p < 1e9))
                throw FitDataError(where(file, number) + "P_Pa = " + cells[col.at("P_Pa")] + " is not a pressure in Pa");
            m.x1 = *fraction("x1", false);
            if (col.count("y1")) m.y1 = fraction("y1", true);
        } else {
            m.kind = Measurement::TieLine;
            m.x1 = *fraction("x1_L1", false);
            m.x1b = *fraction("x1_L2", false);
            if (std::abs(m.x1 - m.x1b) < 1e-4)
                throw FitDataError(where(file, number) + "x1_L1 and x1_L2 are the same liquid, not a tie line");
        }
        out.push_back(m);
    }
    if (!header) throw FitDataError(file + ": no header line (T_K,P_Pa,x1,y1 or T_K,x1_L1,x1_L2)");
    if (out.empty()) throw FitDataError(file + ": no data lines");
    return out;
}

void CheckMeasurements(const std::vector<Measurement>& data, int parameters) {
    // Residuals: T (or P) and y1 of a vapour-liquid point, two of a tie line.
    std::size_t residuals = 0;
    for (const Measurement& m : data) residuals += m.kind == Measurement::TieLine ? 2 : (m.y1 ? 2 : 1);
    // As many equations as parameters determine them exactly (an azeotrope,
    // T and y1 = x1, fixes a two-parameter pair, the classic hand method);
    // fewer leave a family of answers.
    if (residuals < static_cast<std::size_t>(parameters))
        throw FitDataError(std::to_string(data.size()) + " point(s) give " + std::to_string(residuals) +
                           " equation(s), which cannot determine " + std::to_string(parameters) +
                           " parameters: give an azeotrope, points with y1, or more points");
    // At one pressure the bubble temperature of a binary rises and falls
    // along x1 at most twice (one azeotrope, rarely two); more reversals,
    // beyond the scatter of measurements, are not a binary's.
    std::map<long long, std::vector<const Measurement*>> by_pressure;
    for (const Measurement& m : data)
        if (m.kind == Measurement::VapourLiquid) by_pressure[std::llround(m.p / 100.0)].push_back(&m);
    for (auto& [key, pts] : by_pressure) {
        std::sort(pts.begin(), pts.end(), [](auto* a, auto* b) { return a->x1 < b->x1; });
        // Same liquid, different bubble temperature.
        for (std::size_t k = 1; k < pts.size(); ++k)
            if (std::abs(pts[k]->x1 - pts[k - 1]->x1) < 1e-6 && std::abs(pts[k]->t - pts[k - 1]->t) > 2.0)
                throw FitDataError(where(pts[k]->file, pts[k]->line) + "the liquid x1 = " + std::to_string(pts[k]->x1) +
                                   " boils " + std::to_string(std::abs(pts[k]->t - pts[k - 1]->t)) +
                                   " K away from the same liquid on line " + std::to_string(pts[k - 1]->line));
        constexpr double kScatter = 0.5;  // K
        int reversals = 0, dir = 0;
        double hi = pts.empty() ? 0.0 : pts[0]->t, lo = hi, ext = hi;
        for (std::size_t k = 1; k < pts.size(); ++k) {
            const double t = pts[k]->t;
            if (dir == 0) {
                hi = std::max(hi, t);
                lo = std::min(lo, t);
                if (hi - lo > kScatter) dir = t == hi ? +1 : -1, ext = t;
                continue;
            }
            if (dir * (t - ext) > 0.0) {
                ext = t;
            } else if (dir * (ext - t) > kScatter) {
                ++reversals;
                dir = -dir;
                ext = t;
                if (reversals > 2)
                    throw FitDataError(where(pts[k]->file, pts[k]->line) +
                                       "the bubble temperature turns for the third time along x1 at " +
                                       std::to_string(key * 100) +
                                       " Pa; no binary boils like that (a column out of order?)");
            }
        }
    }
}

std::string_view FitBasisName(FitBasis b) {
    switch (b) {
        case FitBasis::Isobaric: return "isobaric: bubble temperatures at the measured pressure";
        case FitBasis::Isothermal: return "isothermal: bubble pressures at the measured temperature";
        case FitBasis::Mixed: return "bubble pressures at the measured temperature";
        case FitBasis::TieLinesOnly: return "tie lines only";
    }
    return "?";
}

Problem WithPair(const Problem& problem, std::size_t method, const Pair& pair) {
    Problem p = problem;
    Method& m = p.methods[method];
    const std::size_t n = p.components.size();
    const std::size_t ij = pair.i * n + pair.j, ji = pair.j * n + pair.i;
    m.a[ij] = pair.aij;
    m.a[ji] = pair.aji;
    m.b[ij] = pair.bij;
    m.b[ji] = pair.bji;
    if (m.model == Model::Nrtl) m.c[ij] = m.c[ji] = pair.alpha;
    else m.c[ij] = m.c[ji] = 0.0;
    for (auto* v : {&m.d, &m.e, &m.f}) (*v)[ij] = (*v)[ji] = 0.0;
    std::erase_if(m.pairs, [&](const Pair& q) {
        return (q.i == pair.i && q.j == pair.j) || (q.i == pair.j && q.j == pair.i);
    });
    m.pairs.push_back(pair);
    return p;
}

namespace {

constexpr double kFailed = 1e3;  // weighted residual of a point the model cannot compute

struct Evaluator {
    const Problem& problem;
    std::size_t method;
    const std::vector<Measurement>& data;
    const FitSettings& s;
    FitBasis basis;
    Pair base;
    bool use_y = true;

    Pair pairFor(const std::array<double, 2>& b) const {
        Pair q = base;
        q.bij = b[0];
        q.bji = b[1];
        return q;
    }

    // Weighted residuals of the parameters b, and the points' results.
    void operator()(const std::array<double, 2>& b, std::vector<double>& r, std::vector<FittedPoint>* pts) const {
        const Problem p = WithPair(problem, method, pairFor(b));
        const std::array<std::size_t, 2> members{0, 1};
        const Mixture m(p, p.methods[method], members);
        FlashOptions o;
        o.tolerance = 1e-11;
        o.max_iterations = 500;
        r.clear();
        if (pts) pts->clear();
        for (const Measurement& d : data) {
            FittedPoint fp;
            fp.m = d;
            if (d.kind == Measurement::VapourLiquid) {
                const std::array<double, 2> x{d.x1, 1.0 - d.x1};
                FlashResult f = basis == FitBasis::Isobaric ? FlashPV(m, d.p, 0.0, x, 2, o) : FlashTV(m, d.t, 0.0, x, 2, o);
                fp.converged = f.status == kConverged;
                if (fp.converged) {
                    fp.t = f.t;
                    fp.p = f.p;
                    fp.y1 = f.y[0];
                    r.push_back(basis == FitBasis::Isobaric ? (f.t - d.t) / s.sigma_t : std::log(f.p / d.p) / s.sigma_p);
                    if (d.y1 && use_y) r.push_back((f.y[0] - *d.y1) / s.sigma_y);
                } else {
                    r.push_back(kFailed);
                    if (d.y1 && use_y) r.push_back(kFailed);
                }
            } else {
                // Equal activities of each component in the two liquids.
                const std::array<double, 2> xa{d.x1, 1.0 - d.x1}, xb{d.x1b, 1.0 - d.x1b};
                std::array<double, 2> ga{}, gb{};
                m.lnGamma(d.t, xa, ga);
                m.lnGamma(d.t, xb, gb);
                for (int i = 0; i < 2; ++i) {
                    const double v = (std::log(xa[i]) + ga[i] - std::log(xb[i]) - gb[i]) / s.sigma_lle;
                    r.push_back(std::isfinite(v) ? v : kFailed);
                }
                fp.converged = true;
                if (pts) {
                    // The model's own tie line through the measured one's middle.
                    const std::array<double, 2> z{0.5 * (d.x1 + d.x1b), 1.0 - 0.5 * (d.x1 + d.x1b)};
                    std::vector<double> a, bb;
                    double beta = 0.0;
                    fp.split = LiquidSplit(m, d.t, z, xb, a, bb, beta, o);
                    if (fp.split) {
                        // Match the measured liquids' order.
                        if ((a[0] - bb[0]) * (d.x1 - d.x1b) < 0.0) std::swap(a, bb);
                        fp.x1a = a[0];
                        fp.x1b = bb[0];
                    }
                }
            }
            if (pts) pts->push_back(fp);
        }
    }
};

double sumSquares(const std::vector<double>& r) {
    double s = 0.0;
    for (double v : r) s += v * v;
    return s;
}

// Levenberg-Marquardt on two parameters, the Jacobian by forward
// differences of the (tightly converged) residuals; bij and bji within
// 20000 K, beyond which nothing the models describe.
double levenbergMarquardt(const Evaluator& f, std::array<double, 2>& b, std::vector<double>& jac) {
    auto residuals = [&](const std::array<double, 2>& bb, std::vector<double>& r) {
        f(bb, r, nullptr);
        return sumSquares(r);
    };
    return LevenbergMarquardt2(residuals, b, {20000.0, 100.0, 16, 1e-12, 1e-12, 1e-7, 1.0, 1e-12}, jac);
}

// ln(gamma1 / gamma2) of a measured point with a vapour, from the
// equilibrium relation with the method's vapour.
std::optional<double> measuredLnGammaRatio(const Mixture& m, const Measurement& d) {
    if (!d.y1 || d.x1 <= 0.0 || d.x1 >= 1.0 || *d.y1 <= 0.0 || *d.y1 >= 1.0) return std::nullopt;
    const std::array<double, 2> y{*d.y1, 1.0 - *d.y1}, x{d.x1, 1.0 - d.x1};
    std::array<double, 2> c{}, dc{};
    m.vapourCorrection(d.t, d.p, y, c, dc);
    double lng[2];
    for (std::size_t i = 0; i < 2; ++i) lng[i] = std::log(y[i] * d.p / x[i]) - m.lnPsatPure(i, d.t) - c[i];
    return lng[0] - lng[1];
}

}  // namespace

FitReport FitBinaryPair(const Problem& problem, std::size_t method, const std::vector<Measurement>& data,
                        const FitSettings& settings, const std::string& source) {
    FitReport rep;
    const Method& meth = problem.methods.at(method);
    if (problem.components.size() != 2) throw FitDataError("a fit takes a binary problem");
    Pair base{0, 1, 0.0, 0.0, 0.0, 0.0, meth.model == Model::Nrtl ? settings.alpha : 0.3, source};
    for (const Pair& q : meth.pairs)
        if ((q.i == 0 && q.j == 1) || (q.i == 1 && q.j == 0)) {
            const bool same = q.i == 0;
            base.aij = meth.model == Model::Wilson ? (same ? q.aij : q.aji) : 0.0;
            base.aji = meth.model == Model::Wilson ? (same ? q.aji : q.aij) : 0.0;
            base.bij = same ? q.bij : q.bji;
            base.bji = same ? q.bji : q.bij;
        }
    if (meth.model == Model::Wilson) {
        const auto& c = problem.components;
        if (!c[0].vl || !c[1].vl) throw FitDataError("WILSON needs the liquid molar volumes (vl) of both components");
        base.aij = std::log(*c[1].vl / *c[0].vl);
        base.aji = std::log(*c[0].vl / *c[1].vl);
    }
    base.regressed = meth.vapour == Vapour::Ideal      ? Regressed::Ideal
                     : meth.vapour == Vapour::Virial   ? Regressed::Virial
                                                       : Regressed::Chemical;
    // The basis: one pressure throughout (within 0.5 %), one temperature
    // (within 0.05 K), or neither.
    double pmin = 1e300, pmax = 0.0, tmin = 1e300, tmax = 0.0;
    for (const Measurement& d : data) {
        if (d.kind != Measurement::VapourLiquid) continue;
        ++rep.vle_points;
        pmin = std::min(pmin, d.p), pmax = std::max(pmax, d.p);
        tmin = std::min(tmin, d.t), tmax = std::max(tmax, d.t);
    }
    rep.tie_lines = static_cast<int>(data.size()) - rep.vle_points;
    rep.basis = rep.vle_points == 0            ? FitBasis::TieLinesOnly
                : pmax <= 1.005 * pmin        ? FitBasis::Isobaric
                : tmax - tmin <= 0.05          ? FitBasis::Isothermal
                                               : FitBasis::Mixed;
    Evaluator f{problem, method, data, settings, rep.basis, base};

    // Starts: the method's own numbers, then a spread of others.
    std::vector<std::array<double, 2>> starts{{base.bij, base.bji}, {0.0, 0.0}, {500.0, 500.0}, {1500.0, -300.0},
                                              {-300.0, 1500.0}, {2000.0, 2000.0}};
    double best = 1e300;
    std::array<double, 2> bbest{};
    std::vector<double> jac, jbest;
    for (auto b : starts) {
        const double ssr = levenbergMarquardt(f, b, jac);
        if (ssr < best) best = ssr, bbest = b, jbest = jac;
    }
    std::vector<double> r;
    f(bbest, r, &rep.points);
    rep.b = bbest;
    rep.pair = f.pairFor(bbest);
    const std::size_t n = r.size();
    const bool all_computed = std::all_of(rep.points.begin(), rep.points.end(),
                                          [](const FittedPoint& p) { return p.converged; });
    rep.converged = all_computed && std::isfinite(best);
    if (!all_computed) {
        for (const FittedPoint& p : rep.points)
            if (!p.converged) {
                rep.reason = "the fitted model has no bubble point for " + p.m.file + " line " +
                             std::to_string(p.m.line);
                break;
            }
    }
    // Uncertainties: covariance s^2 (J'J)^-1 with s^2 the weighted sum of
    // squares per degree of freedom.
    // With as many residuals as parameters the fit is exact and says
    // nothing of its own uncertainty.
    rep.exact = n == 2;
    rep.chi2 = n > 2 ? best / double(n - 2) : 0.0;
    double a00 = 0, a01 = 0, a11 = 0;
    for (std::size_t k = 0; k < n && jbest.size() == 2 * n; ++k) {
        a00 += jbest[k] * jbest[k];
        a01 += jbest[k] * jbest[n + k];
        a11 += jbest[n + k] * jbest[n + k];
    }
    const double det = a00 * a11 - a01 * a01;
    if (det > 0.0 && rep.exact) {
        rep.se = {NAN, NAN};
        rep.correlation = NAN;
        // Exact means the data are met: a pair that leaves a residual is
        // no answer to them (about 0.001 K, or 1e-5 in y1, is allowed).
        if (rep.converged && best > 1e-4) {
            rep.converged = false;
            char buf[160];
            std::snprintf(buf, sizeof buf,
                          "no pair of this model meets the data exactly (weighted sum of squares %.3g at best)", best);
            rep.reason = buf;
        }
    } else if (det > 0.0) {
        const double v0 = rep.chi2 * a11 / det, v1 = rep.chi2 * a00 / det, c01 = -rep.chi2 * a01 / det;
        rep.se = {std::sqrt(v0), std::sqrt(v1)};
        rep.correlation = v0 > 0.0 && v1 > 0.0 ? c01 / std::sqrt(v0 * v1) : 0.0;
    } else {
        rep.se = {INFINITY, INFINITY};
        if (rep.converged) {
            rep.converged = false;
            rep.reason = "the data do not determine both parameters";
        }
    }
    // Root-mean-square deviations, in the measured quantities.
    double st = 0.0, sp = 0.0, sy = 0.0, sx = 0.0;
    int nt = 0, ny = 0, nx = 0;
    for (const FittedPoint& p : rep.points) {
        if (!p.converged) continue;
        if (p.m.kind == Measurement::VapourLiquid) {
            if (rep.basis == FitBasis::Isobaric) st += (p.t - p.m.t) * (p.t - p.m.t);
            else sp += std::pow(p.p / p.m.p - 1.0, 2);
            ++nt;
            if (p.m.y1) sy += std::pow(p.y1 - *p.m.y1, 2), ++ny;
        } else if (p.split) {
            sx += std::pow(p.x1a - p.m.x1, 2) + std::pow(p.x1b - p.m.x1b, 2);
            nx += 2;
        }
    }
    if (nt) (rep.basis == FitBasis::Isobaric ? rep.rms_t : rep.rms_p) = std::sqrt((rep.basis == FitBasis::Isobaric ? st : sp) / nt);
    if (ny) rep.rms_y = std::sqrt(sy / ny);
    if (nx) rep.rms_x = std::sqrt(sx / nx);
    char buf[200];
    if (rep.basis == FitBasis::Isobaric)
        std::snprintf(buf, sizeof buf, "%s: %d points, rms %.3g K", source.c_str(), static_cast<int>(data.size()),
                      rep.rms_t);
    else if (rep.basis == FitBasis::TieLinesOnly)
        std::snprintf(buf, sizeof buf, "%s: %d tie lines, rms %.3g in x1", source.c_str(), rep.tie_lines, rep.rms_x);
    else
        std::snprintf(buf, sizeof buf, "%s: %d points, rms %.3g %% in P", source.c_str(), static_cast<int>(data.size()),
                      100.0 * rep.rms_p);
    rep.pair.source = buf;
    if (ny) {
        std::snprintf(buf, sizeof buf, ", %.3g in y1", rep.rms_y);
        rep.pair.source += buf;
    }

    // Thermodynamic consistency of vapour-liquid data with a vapour.
    Consistency& c = rep.consistency;
    std::vector<std::pair<double, double>> ratio;  // (x1, ln gamma1/gamma2)
    {
        const std::array<std::size_t, 2> members{0, 1};
        const Mixture m(problem, meth, members);
        for (const Measurement& d : data)
            if (d.kind == Measurement::VapourLiquid)
                if (auto v = measuredLnGammaRatio(m, d)) ratio.emplace_back(d.x1, *v);
    }
    if (rep.basis != FitBasis::Isobaric && rep.basis != FitBasis::Isothermal) {
        c.why_not = "the tests need vapour-liquid data at one pressure or one temperature";
    } else if (ratio.size() < 5) {
        c.why_not = "the tests need at least 5 points with a measured vapour";
    } else {
        std::sort(ratio.begin(), ratio.end());
        double pos = 0.0, neg = 0.0;
        for (std::size_t k = 1; k < ratio.size(); ++k) {
            const double dx = ratio[k].first - ratio[k - 1].first;
            const double a = ratio[k - 1].second, b = ratio[k].second;
            // Trapezoid split where the integrand changes sign.
            if ((a >= 0) == (b >= 0)) {
                (a >= 0 ? pos : neg) += 0.5 * dx * std::abs(a + b);
            } else {
                const double xs = dx * std::abs(a) / (std::abs(a) + std::abs(b));
                (a >= 0 ? pos : neg) += 0.5 * xs * std::abs(a);
                (b >= 0 ? pos : neg) += 0.5 * (dx - xs) * std::abs(b);
            }
        }
        c.d = pos + neg > 0.0 ? 100.0 * std::abs(pos - neg) / (pos + neg) : 0.0;
        c.j = rep.basis == FitBasis::Isobaric ? 150.0 * (tmax - tmin) / tmin : 0.0;
        c.area_ok = c.d - c.j < 10.0;
        // Point test: fit to temperatures (pressures) alone, compare vapours.
        Evaluator g = f;
        g.use_y = false;
        std::array<double, 2> b = bbest;
        std::vector<double> jj;
        levenbergMarquardt(g, b, jj);
        std::vector<FittedPoint> pts;
        g(b, r, &pts);
        double sum = 0.0;
        int cnt = 0;
        for (const FittedPoint& p : pts)
            if (p.converged && p.m.y1) sum += std::abs(p.y1 - *p.m.y1), ++cnt;
        c.mean_dy = cnt ? sum / cnt : 0.0;
        c.point_ok = c.mean_dy < 0.01;
        c.done = true;
    }
    return rep;
}

}  // namespace propcore

namespace propcore {

std::vector<std::string> FitWarnings(const FitReport& rep) {
    std::vector<std::string> w;
    char buf[256];
    if (rep.consistency.done && !rep.consistency.area_ok) {
        std::snprintf(buf, sizeof buf,
                      "the data fail the area test (D - J = %.1f, above 10): they may be thermodynamically inconsistent",
                      rep.consistency.d - rep.consistency.j);
        w.emplace_back(buf);
    }
    if (rep.consistency.done && !rep.consistency.point_ok) {
        std::snprintf(buf, sizeof buf,
                      "the data fail the point test (mean |dy1| = %.4f, above 0.01): they may be thermodynamically "
                      "inconsistent",
                      rep.consistency.mean_dy);
        w.emplace_back(buf);
    }
    if (rep.converged && std::abs(rep.correlation) > 0.99) {
        std::snprintf(buf, sizeof buf,
                      "bij and bji are correlated (%.3f): the data fix little more than one combination of them",
                      rep.correlation);
        w.emplace_back(buf);
    }
    return w;
}

FitCurves CurvesOfFit(const Problem& fitted, std::size_t method, const FitReport& rep) {
    FitCurves c;
    const std::array<std::size_t, 2> members{0, 1};
    const Mixture m(fitted, fitted.methods.at(method), members);
    FlashOptions o;
    double p_mean = 0.0, t_mean = 0.0;
    int n = 0;
    for (const auto& fp : rep.points)
        if (fp.m.kind == Measurement::VapourLiquid) p_mean += fp.m.p, t_mean += fp.m.t, ++n;
    if (n) p_mean /= n, t_mean /= n;
    if (rep.basis == FitBasis::Isobaric || rep.basis == FitBasis::Isothermal) {
        const bool isobaric = rep.basis == FitBasis::Isobaric;
        c.quantity = isobaric ? "T_K" : "P_Pa";
        c.at = isobaric ? p_mean : t_mean;
        for (int k = 0; k <= 100; ++k) {
            const double x1 = k / 100.0;
            const std::array<double, 2> x{x1, 1.0 - x1};
            const auto r = isobaric ? FlashPV(m, p_mean, 0.0, x, 2, o) : FlashTV(m, t_mean, 0.0, x, 2, o);
            if (r.status != kConverged) continue;
            const double v = isobaric ? r.t : r.p;
            c.liquid.push_back({x1, v});
            c.vapour.push_back({r.y[0], v});
        }
        std::sort(c.vapour.begin(), c.vapour.end());
    } else if (rep.basis == FitBasis::Mixed) {
        c.quantity = "y1";
        for (const auto& fp : rep.points)
            if (fp.m.kind == Measurement::VapourLiquid && fp.converged) c.vapour.push_back({fp.m.x1, fp.y1});
        std::sort(c.vapour.begin(), c.vapour.end());
    }
    if (rep.tie_lines > 0) {
        double tlo = 1e300, thi = 0.0, mid = 0.5;
        std::vector<double> trial;
        for (const auto& fp : rep.points) {
            if (fp.m.kind != Measurement::TieLine) continue;
            tlo = std::min(tlo, fp.m.t), thi = std::max(thi, fp.m.t);
            trial = {fp.m.x1b, 1.0 - fp.m.x1b};
            mid = 0.5 * (fp.m.x1 + fp.m.x1b);
        }
        if (thi - tlo < 10.0) tlo -= 5.0, thi += 5.0;
        for (int k = 0; k <= 60; ++k) {
            const double t = tlo + (thi - tlo) * k / 60.0;
            const std::array<double, 2> z{mid, 1.0 - mid};
            std::vector<double> a, b;
            double beta = 0.0;
            if (LiquidSplit(m, t, z, trial, a, b, beta, o)) c.binodal.push_back({t, std::min(a[0], b[0]), std::max(a[0], b[0])});
        }
    }
    return c;
}

}  // namespace propcore
