#include "estimate.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>

#include "activity.h"
#include "levenberg.h"
#include "thermo.h"

namespace propcore {
namespace {

Method emptyMethod(Model model, std::size_t n) {
    Method m;
    m.model = model;
    for (auto* v : {&m.a, &m.b, &m.c, &m.d, &m.e, &m.f}) v->assign(n * n, 0.0);
    if (model == Model::Nrtl) m.c.assign(n * n, 0.3);
    return m;
}

}  // namespace

std::optional<PairEstimate> EstimatePair(const Component& ci, const Component& cj, Model model, std::string& why) {
    Problem two;
    two.components = {ci, cj};
    const std::array<std::size_t, 2> members{0, 1};

    // The reference: original UNIFAC, else the Dortmund variant.
    std::unique_ptr<ActivityModel> ref;
    std::string ref_name;
    why.clear();
    for (Model um : {Model::Unifac, Model::UnifacDmd}) {
        Method u = emptyMethod(um, 2);
        if (auto w = ResolveGroups(two, u)) {
            why += (why.empty() ? "" : "; ") + *w;
            continue;
        }
        ref = MakeActivityModel(two, u, members);
        ref_name = std::string(ModelName(um));
        break;
    }
    if (!ref) return std::nullopt;
    if (model == Model::Uniquac && (!ci.r || !ci.q || !cj.r || !cj.q)) {
        why = "UNIQUAC needs r and q of both components";
        return std::nullopt;
    }
    if (model == Model::Wilson && (!ci.vl || !cj.vl)) {
        why = "WILSON needs the liquid molar volume (vl) of both components";
        return std::nullopt;
    }

    // Temperatures: the two normal boiling points and the one between.
    const Method ideal = emptyMethod(Model::Ideal, 2);
    const Mixture pure(two, ideal, members);
    double t1 = ci.tb > 0.0 ? ci.tb : pure.saturationTemperature(0, 101325.0);
    double t2 = cj.tb > 0.0 ? cj.tb : pure.saturationTemperature(1, 101325.0);
    if (t1 > t2) std::swap(t1, t2);
    const std::array<double, 3> temps{t1, 0.5 * (t1 + t2), t2};
    constexpr int kPoints = 11;  // x_i = 0, 0.1, ..., 1

    // ln(gamma1), ln(gamma2) of a model over the grid of temperatures and
    // compositions, in one vector.
    auto onGrid = [&](const ActivityModel& act, std::vector<double>& out) {
        out.clear();
        for (double t : temps)
            for (int k = 0; k < kPoints; ++k) {
                const double x1 = k / double(kPoints - 1);
                const std::array<double, 2> x{x1, 1.0 - x1};
                std::array<double, 2> lng{};
                act.lnGamma(t, x, lng);
                out.push_back(lng[0]);
                out.push_back(lng[1]);
            }
    };
    // Reference values, then residuals of the model for parameters (bij, bji).
    std::vector<double> target;
    onGrid(*ref, target);
    const double aij = model == Model::Wilson ? std::log(*cj.vl / *ci.vl) : 0.0;
    const double aji = model == Model::Wilson ? std::log(*ci.vl / *cj.vl) : 0.0;
    double alpha = 0.3;
    auto residuals = [&](const std::array<double, 2>& b, std::vector<double>& r) {
        Method m = emptyMethod(model, 2);
        if (model == Model::Nrtl) m.c.assign(4, alpha);
        m.a = {0.0, aij, aji, 0.0};
        m.b = {0.0, b[0], b[1], 0.0};
        onGrid(*MakeActivityModel(two, m, members), r);
        double ssr = 0.0;
        for (std::size_t k = 0; k < r.size(); ++k) {
            r[k] -= target[k];
            if (!std::isfinite(r[k])) return 1e300;
            ssr += r[k] * r[k];
        }
        return ssr;
    };

    // Levenberg-Marquardt from a few starts; the parameters stay within
    // +-5000 K, beyond which the models only describe immiscibility.
    constexpr double kBound = 5000.0;
    std::array<double, 2> best{0.0, 0.0};
    double best_ssr = 1e300, best_alpha = 0.3;
    // NRTL: the two customary non-randomness values (0.3, and 0.2 that
    // suits pairs of low mutual solubility); the better fit is kept.
    const std::vector<double> alphas = model == Model::Nrtl ? std::vector<double>{0.3, 0.2} : std::vector<double>{0.3};
    for (double a : alphas)
    for (const auto& start : {std::array<double, 2>{0.0, 0.0}, std::array<double, 2>{400.0, 400.0},
                              std::array<double, 2>{1200.0, -200.0}, std::array<double, 2>{-200.0, 1200.0}}) {
        alpha = a;
        std::array<double, 2> b = start;
        std::vector<double> jac;
        const double ssr = LevenbergMarquardt2(residuals, b, {kBound, 1.0, 12, 0.0, 1e-9, 1e-6, 0.0, 1e-14}, jac);
        if (ssr < best_ssr) best_ssr = ssr, best = b, best_alpha = a;
    }
    if (!(best_ssr < 1e299)) {
        why = "the fit to " + ref_name + " failed";
        return std::nullopt;
    }
    PairEstimate e;
    e.aij = aij;
    e.aji = aji;
    e.bij = best[0];
    e.bji = best[1];
    e.alpha = best_alpha;
    e.rms = std::sqrt(best_ssr / double(target.size()));
    char buf[96];
    std::snprintf(buf, sizeof buf, "%s estimate (rms deviation of ln gamma %.3f)", ref_name.c_str(), e.rms);
    e.source = buf;
    return e;
}

}  // namespace propcore
