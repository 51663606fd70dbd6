// ternival fit: binary parameters fitted to the designer's own measurements.
#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "chart_render.h"
#include "cli_common.h"
#include "commands.h"
#include "databank.h"
#include "flash.h"
#include "output.h"
#include "problem.h"
#include "regression.h"
#include "thermo.h"

namespace ternival::cli {

namespace {

// The picture of the fit: T-x-y (isobaric) or P-x-y (isothermal) with the
// fitted bubble and dew curves, x-y for points at several conditions, and
// T-x of the tie lines with the fitted binodal.
Chart FitChart(const propcore::Problem& fitted, const propcore::FitReport& rep, const std::string& model) {
    Chart c;
    const std::string n1 = fitted.components[0].id, n2 = fitted.components[1].id;
    c.title = fmt::format("{} / {}: {} fitted", n1, n2, model);
    c.notes.push_back(fmt::format("b12 = {:.2f} K, b21 = {:.2f} K; {}", rep.b[0], rep.b[1], rep.pair.source));
    c.x_label = "mole fraction of " + n1;
    const std::array<std::size_t, 2> members{0, 1};
    const propcore::Mixture m(fitted, fitted.methods.front(), members);
    propcore::FlashOptions o;
    ChartSeries liquid{ChartSeries::Dots, "measured liquid", 0, {}};
    ChartSeries vapour{ChartSeries::Circles, "measured vapour", 1, {}};
    ChartSeries bubble{ChartSeries::Line, "fitted liquid", 0, {}};
    ChartSeries dew{ChartSeries::Line, "fitted vapour", 1, {}};
    double p_mean = 0.0, t_mean = 0.0;
    int n = 0;
    for (const auto& fp : rep.points)
        if (fp.m.kind == propcore::Measurement::VapourLiquid) p_mean += fp.m.p, t_mean += fp.m.t, ++n;
    if (n) p_mean /= n, t_mean /= n;
    if (rep.basis == propcore::FitBasis::Isobaric || rep.basis == propcore::FitBasis::Isothermal) {
        const bool isobaric = rep.basis == propcore::FitBasis::Isobaric;
        c.y_label = isobaric ? "temperature / K" : "pressure / kPa";
        c.notes.push_back(isobaric ? fmt::format("at {:.6g} kPa", p_mean / 1000.0) : fmt::format("at {:.2f} K", t_mean));
        for (const auto& fp : rep.points) {
            if (fp.m.kind != propcore::Measurement::VapourLiquid) continue;
            const double v = isobaric ? fp.m.t : fp.m.p / 1000.0;
            liquid.points.emplace_back(fp.m.x1, v);
            if (fp.m.y1) vapour.points.emplace_back(*fp.m.y1, v);
        }
        for (int k = 0; k <= 100; ++k) {
            const double x1 = k / 100.0;
            const std::array<double, 2> x{x1, 1.0 - x1};
            const auto r = isobaric ? propcore::FlashPV(m, p_mean, 0.0, x, 2, o) : propcore::FlashTV(m, t_mean, 0.0, x, 2, o);
            const double v = r.status == propcore::kConverged ? (isobaric ? r.t : r.p / 1000.0) : NAN;
            bubble.points.emplace_back(x1, v);
            dew.points.emplace_back(r.status == propcore::kConverged ? r.y[0] : NAN, v);
        }
        std::sort(dew.points.begin(), dew.points.end());
        c.series = {bubble, dew, liquid, vapour};
    } else if (rep.basis == propcore::FitBasis::Mixed) {
        c.y_label = "vapour mole fraction of " + n1;
        ChartSeries calc{ChartSeries::Circles, "fitted", 1, {}};
        for (const auto& fp : rep.points) {
            if (fp.m.kind != propcore::Measurement::VapourLiquid || !fp.m.y1) continue;
            liquid.points.emplace_back(fp.m.x1, *fp.m.y1);
            if (fp.converged) calc.points.emplace_back(fp.m.x1, fp.y1);
        }
        liquid.label = "measured";
        c.series = {ChartSeries{ChartSeries::Line, "", 3, {{0.0, 0.0}, {1.0, 1.0}}}, liquid, calc};
    }
    if (rep.tie_lines > 0) {
        // Tie lines as T against x1; the fitted binodal over their range.
        if (rep.basis == propcore::FitBasis::TieLinesOnly) c.y_label = "temperature / K";
        ChartSeries ends{ChartSeries::Dots, "measured tie lines", 2, {}};
        ChartSeries left{ChartSeries::Line, "fitted binodal", 2, {}}, right{ChartSeries::Line, "", 2, {}};
        double tlo = 1e300, thi = 0.0;
        std::vector<double> trial;
        double mid = 0.5;
        for (const auto& fp : rep.points) {
            if (fp.m.kind != propcore::Measurement::TieLine) continue;
            ends.points.emplace_back(fp.m.x1, fp.m.t);
            ends.points.emplace_back(fp.m.x1b, fp.m.t);
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
            if (propcore::LiquidSplit(m, t, z, trial, a, b, beta, o)) {
                left.points.emplace_back(std::min(a[0], b[0]), t);
                right.points.emplace_back(std::max(a[0], b[0]), t);
            }
        }
        if (rep.basis == propcore::FitBasis::TieLinesOnly) c.series.clear();
        c.series.push_back(left);
        c.series.push_back(right);
        c.series.push_back(ends);
    }
    return c;
}

}  // namespace

Action AddFitCommand(CLI::App& app) {
    auto files = std::make_shared<std::vector<std::string>>();
    auto comps = std::make_shared<std::string>();
    auto model = std::make_shared<std::string>("NRTL");
    auto vapour = std::make_shared<std::string>("auto");
    auto output = std::make_shared<std::string>();
    auto plot = std::make_shared<std::string>();
    auto format = std::make_shared<std::string>("text");
    auto settings = std::make_shared<propcore::FitSettings>();
    auto* cmd = app.add_subcommand("fit", "Binary parameters fitted to measured vapour-liquid points and tie lines");
    cmd->add_option("--data", *files,
                    "CSV of measurements: T_K,P_Pa,x1[,y1] (an azeotrope: y1 = x1) or T_K,x1_L1,x1_L2; "
                    "give it again for more files")
        ->required();
    cmd->add_option("--components", *comps, "the two components, databank names or CAS numbers: A,B (x1 is A's)")
        ->required();
    cmd->add_option("-m,--model", *model, "NRTL, UNIQUAC or WILSON")->capture_default_str();
    cmd->add_option("--alpha", settings->alpha, "NRTL non-randomness, held fixed")
        ->check(CLI::Range(0.01, 1.0))
        ->capture_default_str();
    cmd->add_option("--vapour", *vapour, "auto (chemical theory for acids, else ideal), ideal, virial or chemical")
        ->check(CLI::IsMember({"auto", "ideal", "virial", "chemical"}))
        ->capture_default_str();
    cmd->add_option("--sigma-t", settings->sigma_t, "standard deviation of measured temperatures, K")
        ->check(CLI::PositiveNumber)
        ->capture_default_str();
    cmd->add_option("--sigma-y", settings->sigma_y, "standard deviation of measured vapour fractions")
        ->check(CLI::PositiveNumber)
        ->capture_default_str();
    cmd->add_option("-o,--output", *output, "write a problem definition file with the fitted pair");
    cmd->add_option("--plot", *plot, "picture of data against fit (.svg, .png or .pdf)");
    cmd->add_option("--format", *format, "text or json")->capture_default_str();
    return [=]() {
        const Format f = ParseFormat(*format);
        if (f == Format::Csv) throw InputError("--format csv: a fit's report is text or json");
        std::string m = *model;
        for (char& ch : m) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        if (m != "NRTL" && m != "UNIQUAC" && m != "WILSON")
            throw InputError("--model " + *model + ": a fit takes NRTL, UNIQUAC or WILSON");
        const std::vector<std::string> names = SplitList(*comps);
        if (names.size() != 2) throw InputError("--components: name two components, A,B");
        if (!plot->empty() && !EndsWith(*plot, ".svg") && !EndsWith(*plot, ".png") && !EndsWith(*plot, ".pdf"))
            throw InputError(*plot + ": unknown picture format (use .svg, .png or .pdf)");

        std::vector<propcore::Measurement> data;
        std::string source = "fitted to ";
        try {
            for (const std::string& file : *files) {
                std::ifstream in(file);
                if (!in) throw InputError(file + ": cannot open the data file");
                const auto part = propcore::ReadMeasurements(in, file);
                data.insert(data.end(), part.begin(), part.end());
                source += (source.size() > 10 ? ", " : "") + std::filesystem::path(file).filename().string();
            }
            propcore::CheckMeasurements(data, 2);
        } catch (const propcore::FitDataError& e) {
            throw InputError(e.what());
        }
        double pressure = 0.0;
        int nv = 0;
        for (const auto& d : data)
            if (d.kind == propcore::Measurement::VapourLiquid) pressure += d.p, ++nv;
        pressure = nv ? pressure / nv : 101325.0;

        propcore::Problem problem;
        try {
            propcore::Databank::Get();
            problem = propcore::ParseProblem(propcore::DatabankProblemText(names, m, "estimate", pressure, *vapour),
                                             "(databank)");
        } catch (const std::exception& e) {
            throw InputError(e.what());
        }
        const propcore::FitReport rep = propcore::FitBinaryPair(problem, 0, data, *settings, source);
        const propcore::Problem fitted = propcore::WithPair(problem, 0, rep.pair);
        const auto& c1 = problem.components[0];
        const auto& c2 = problem.components[1];
        const std::string vap(propcore::VapourName(problem.methods.front().vapour));
        const bool y_measured = std::any_of(data.begin(), data.end(), [](const auto& d) { return d.y1.has_value(); });
        std::vector<std::string> warnings;
        if (rep.consistency.done && !rep.consistency.area_ok)
            warnings.push_back(fmt::format("the data fail the area test (D - J = {:.1f}, above 10): they may be "
                                           "thermodynamically inconsistent",
                                           rep.consistency.d - rep.consistency.j));
        if (rep.consistency.done && !rep.consistency.point_ok)
            warnings.push_back(fmt::format("the data fail the point test (mean |dy1| = {:.4f}, above 0.01): they may "
                                           "be thermodynamically inconsistent",
                                           rep.consistency.mean_dy));
        if (rep.converged && std::abs(rep.correlation) > 0.99)
            warnings.push_back(fmt::format("bij and bji are correlated ({:.3f}): the data fix little more than one "
                                           "combination of them",
                                           rep.correlation));
        const bool isobaric = rep.basis == propcore::FitBasis::Isobaric;

        if (f == Format::Json) {
            nlohmann::json pts = nlohmann::json::array();
            for (const auto& p : rep.points) {
                nlohmann::json j{{"file", p.m.file}, {"line", p.m.line}, {"T_K", p.m.t}, {"converged", p.converged}};
                if (p.m.kind == propcore::Measurement::VapourLiquid) {
                    j["P_Pa"] = p.m.p;
                    j["x1"] = p.m.x1;
                    j["y1"] = p.m.y1 ? nlohmann::json(*p.m.y1) : nlohmann::json();
                    if (p.converged) {
                        j["T_calc"] = p.t;
                        j["P_calc"] = p.p;
                        j["y1_calc"] = p.y1;
                    }
                } else {
                    j["x1_L1"] = p.m.x1;
                    j["x1_L2"] = p.m.x1b;
                    j["x1_L1_calc"] = p.split ? nlohmann::json(p.x1a) : nlohmann::json();
                    j["x1_L2_calc"] = p.split ? nlohmann::json(p.x1b) : nlohmann::json();
                }
                pts.push_back(j);
            }
            nlohmann::json out{{"converged", rep.converged},
                               {"reason", rep.reason},
                               {"model", m},
                               {"vapour", vap},
                               {"components", {c1.id, c2.id}},
                               {"basis", std::string(propcore::FitBasisName(rep.basis))},
                               {"bij", rep.b[0]},
                               {"bji", rep.b[1]},
                               {"se_bij", std::isfinite(rep.se[0]) ? nlohmann::json(rep.se[0]) : nlohmann::json()},
                               {"se_bji", std::isfinite(rep.se[1]) ? nlohmann::json(rep.se[1]) : nlohmann::json()},
                               {"correlation", rep.correlation},
                               {"alpha", m == "NRTL" ? nlohmann::json(rep.pair.alpha) : nlohmann::json()},
                               {"aij", rep.pair.aij},
                               {"aji", rep.pair.aji},
                               {"chi2_per_dof", rep.chi2},
                               {"rms_T_K", isobaric ? nlohmann::json(rep.rms_t) : nlohmann::json()},
                               {"rms_P_rel", !isobaric && rep.vle_points ? nlohmann::json(rep.rms_p) : nlohmann::json()},
                               {"rms_y1", y_measured ? nlohmann::json(rep.rms_y) : nlohmann::json()},
                               {"rms_x1_tie_lines", rep.tie_lines ? nlohmann::json(rep.rms_x) : nlohmann::json()},
                               {"source", rep.pair.source},
                               {"points", pts},
                               {"warnings", warnings}};
            nlohmann::json cons{{"done", rep.consistency.done}};
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
            fmt::print("{}\n", out.dump(2));
        } else {
            fmt::print("{} / {} ({} is component 1), {} with the {} vapour\n", c1.id, c2.id, c1.id, m, vap);
            fmt::print("{} vapour-liquid point(s), {} tie line(s); {}\n", rep.vle_points, rep.tie_lines,
                       propcore::FitBasisName(rep.basis));
            if (!rep.converged) fmt::print("NOT CONVERGED: {}\n", rep.reason);
            fmt::print("bij = {:.4f} K  +- {:.3g}\nbji = {:.4f} K  +- {:.3g}\n", rep.b[0], rep.se[0], rep.b[1],
                       rep.se[1]);
            fmt::print("correlation of bij and bji {:.3f}; weighted sum of squares per degree of freedom {:.3g}\n",
                       rep.correlation, rep.chi2);
            if (m == "NRTL") fmt::print("alpha = {} (held)\n", rep.pair.alpha);
            if (m == "WILSON") fmt::print("aij = {:.5f}, aji = {:.5f} (liquid volumes)\n", rep.pair.aij, rep.pair.aji);
            if (rep.vle_points) {
                if (isobaric) fmt::print("rms T {:.3f} K", rep.rms_t);
                else fmt::print("rms P {:.3f} %", 100.0 * rep.rms_p);
                if (y_measured) fmt::print(", rms y1 {:.4f}", rep.rms_y);
                fmt::print("\n");
            }
            if (rep.tie_lines) fmt::print("rms x1 of the tie lines {:.4f}\n", rep.rms_x);
            if (rep.consistency.done)
                fmt::print("consistency: area test D = {:.1f}, J = {:.1f}: {}; point test mean |dy1| = {:.4f}: {}\n",
                           rep.consistency.d, rep.consistency.j, rep.consistency.area_ok ? "consistent" : "NOT consistent",
                           rep.consistency.mean_dy, rep.consistency.point_ok ? "consistent" : "NOT consistent");
            else
                fmt::print("consistency: not tested ({})\n", rep.consistency.why_not);
            fmt::print("\n{:<24} {:>5} {:>9} {:>10} {:>8} {:>8} {:>10} {:>8} {:>9}\n", "file", "line", "T_K", "P_Pa",
                       "x1", "y1", isobaric ? "T_calc" : "P_calc", "y1_calc", isobaric ? "dT" : "dP_%");
            for (const auto& p : rep.points) {
                const std::string file = std::filesystem::path(p.m.file).filename().string().substr(0, 24);
                if (p.m.kind == propcore::Measurement::VapourLiquid) {
                    const std::string y = p.m.y1 ? fmt::format("{:.4f}", *p.m.y1) : "-";
                    if (!p.converged) {
                        fmt::print("{:<24} {:>5} {:>9.2f} {:>10.0f} {:>8.4f} {:>8} {:>10}\n", file, p.m.line, p.m.t, p.m.p,
                                   p.m.x1, y, "failed");
                        continue;
                    }
                    fmt::print("{:<24} {:>5} {:>9.2f} {:>10.0f} {:>8.4f} {:>8} {:>10.2f} {:>8.4f} {:>9.3f}\n", file,
                               p.m.line, p.m.t, p.m.p, p.m.x1, y, isobaric ? p.t : p.p, p.y1,
                               isobaric ? p.t - p.m.t : 100.0 * (p.p / p.m.p - 1.0));
                } else {
                    fmt::print("{:<24} {:>5} {:>9.2f}  tie line x1 {:.4f} / {:.4f}; fitted {}\n", file, p.m.line, p.m.t,
                               p.m.x1, p.m.x1b,
                               p.split ? fmt::format("{:.4f} / {:.4f}", p.x1a, p.x1b) : std::string("no split"));
                }
            }
        }
        for (const auto& w : warnings) fmt::print(stderr, "ternival: warning: {}\n", w);
        if (!plot->empty()) {
            try {
                RenderChart(FitChart(fitted, rep, m), *plot);
            } catch (const std::exception& e) {
                throw OutputError(e.what());
            }
            Progress("wrote " + *plot);
        }
        if (!rep.converged) throw ComputeError("the fit did not converge: " + rep.reason);
        if (!output->empty()) {
            std::string text;
            try {
                text = propcore::FittedProblemText(names, m, rep.pair, pressure, *vapour);
            } catch (const std::exception& e) {
                throw ComputeError(e.what());
            }
            const std::string part = *output + ".part";
            std::ofstream out(part);
            out << text;
            out.close();
            if (!out || std::rename(part.c_str(), output->c_str()) != 0) {
                std::remove(part.c_str());
                throw OutputError("cannot write " + *output);
            }
            Progress("wrote " + *output);
        }
        return kOk;
    };
}

}  // namespace ternival::cli
