// The report of a fit as JSON, shared by the command line and the page.
#include <cmath>

#include <nlohmann/json.hpp>

#include "regression.h"

namespace propcore {

std::string FitReportJson(const Problem& fitted, std::size_t method, const FitReport& rep) {
    using nlohmann::json;
    auto finite = [](double v) { return std::isfinite(v) ? json(v) : json(); };
    const Method& m = fitted.methods.at(method);
    const bool isobaric = rep.basis == FitBasis::Isobaric;
    bool y_measured = false;
    json pts = json::array();
    for (const auto& p : rep.points) {
        json j{{"file", p.m.file}, {"line", p.m.line}, {"T_K", p.m.t}, {"converged", p.converged}};
        if (p.m.kind == Measurement::VapourLiquid) {
            j["P_Pa"] = p.m.p;
            j["x1"] = p.m.x1;
            j["y1"] = p.m.y1 ? json(*p.m.y1) : json();
            y_measured = y_measured || p.m.y1.has_value();
            if (p.converged) {
                j["T_calc"] = p.t;
                j["P_calc"] = p.p;
                j["y1_calc"] = p.y1;
            }
        } else {
            j["x1_L1"] = p.m.x1;
            j["x1_L2"] = p.m.x1b;
            j["x1_L1_calc"] = p.split ? json(p.x1a) : json();
            j["x1_L2_calc"] = p.split ? json(p.x1b) : json();
        }
        pts.push_back(j);
    }
    json out{{"converged", rep.converged},
             {"reason", rep.reason},
             {"model", std::string(ModelName(m.model))},
             {"vapour", std::string(VapourName(m.vapour))},
             {"components", {fitted.components[0].id, fitted.components[1].id}},
             {"basis", std::string(FitBasisName(rep.basis))},
             {"bij", rep.b[0]},
             {"bji", rep.b[1]},
             {"se_bij", finite(rep.se[0])},
             {"se_bji", finite(rep.se[1])},
             {"correlation", finite(rep.correlation)},
             {"exactly_determined", rep.exact},
             {"alpha", m.model == Model::Nrtl ? json(rep.pair.alpha) : json()},
             {"aij", rep.pair.aij},
             {"aji", rep.pair.aji},
             {"chi2_per_dof", rep.chi2},
             {"rms_T_K", isobaric ? json(rep.rms_t) : json()},
             {"rms_P_rel", !isobaric && rep.vle_points ? json(rep.rms_p) : json()},
             {"rms_y1", y_measured ? json(rep.rms_y) : json()},
             {"rms_x1_tie_lines", rep.tie_lines ? json(rep.rms_x) : json()},
             {"source", rep.pair.source},
             {"regressed_with", std::string(RegressedName(rep.pair.regressed))},
             {"points", pts},
             {"warnings", FitWarnings(rep)}};
    json cons{{"done", rep.consistency.done}};
    if (rep.consistency.done) {
        cons["area_D"] = rep.consistency.d;
        cons["area_J"] = rep.consistency.j;
        cons["area_consistent"] = rep.consistency.area_ok;
        cons["point_mean_dy1"] = rep.consistency.mean_dy;
        cons["point_consistent"] = rep.consistency.point_ok;
    } else {
        cons["why_not"] = rep.consistency.why_not;
    }
    out["consistency"] = cons;
    const FitCurves c = CurvesOfFit(fitted, method, rep);
    out["curves"] = {{"quantity", c.quantity}, {"at", c.at}, {"liquid", c.liquid}, {"vapour", c.vapour},
                     {"binodal", c.binodal}};
    return out.dump(2);
}

}  // namespace propcore
