// ternival fit: binary parameters fitted to the designer's own measurements.
#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <fmt/format.h>

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
    const propcore::FitCurves fc = propcore::CurvesOfFit(fitted, 0, rep);
    auto series = [](ChartSeries::Style st, const char* label, int colour, const auto& pts, double scale) {
        ChartSeries s{st, label, colour, {}};
        for (const auto& p : pts) s.points.emplace_back(p[0], p[1] * scale);
        return s;
    };
    ChartSeries liquid{ChartSeries::Dots, "measured liquid", 0, {}};
    ChartSeries vapour{ChartSeries::Circles, "measured vapour", 1, {}};
    const bool pressures = fc.quantity == "P_Pa";
    const double scale = pressures ? 1e-3 : 1.0;
    if (fc.quantity == "T_K" || pressures) {
        c.y_label = pressures ? "pressure / kPa" : "temperature / K";
        c.notes.push_back(pressures ? fmt::format("at {:.2f} K", fc.at) : fmt::format("at {:.6g} kPa", fc.at / 1000.0));
        for (const auto& fp : rep.points) {
            if (fp.m.kind != propcore::Measurement::VapourLiquid) continue;
            const double v = pressures ? fp.m.p * scale : fp.m.t;
            liquid.points.emplace_back(fp.m.x1, v);
            if (fp.m.y1) vapour.points.emplace_back(*fp.m.y1, v);
        }
        c.series = {series(ChartSeries::Line, "fitted liquid", 0, fc.liquid, scale),
                    series(ChartSeries::Line, "fitted vapour", 1, fc.vapour, scale), liquid, vapour};
    } else if (fc.quantity == "y1") {
        c.y_label = "vapour mole fraction of " + n1;
        liquid.label = "measured";
        for (const auto& fp : rep.points)
            if (fp.m.kind == propcore::Measurement::VapourLiquid && fp.m.y1) liquid.points.emplace_back(fp.m.x1, *fp.m.y1);
        c.series = {ChartSeries{ChartSeries::Line, "", 3, {{0.0, 0.0}, {1.0, 1.0}}}, liquid,
                    series(ChartSeries::Circles, "fitted", 1, fc.vapour, 1.0)};
    }
    if (!fc.binodal.empty() || rep.tie_lines > 0) {
        if (c.y_label.empty()) c.y_label = "temperature / K";
        ChartSeries ends{ChartSeries::Dots, "measured tie lines", 2, {}};
        ChartSeries left{ChartSeries::Line, "fitted binodal", 2, {}}, right{ChartSeries::Line, "", 2, {}};
        for (const auto& fp : rep.points)
            if (fp.m.kind == propcore::Measurement::TieLine) {
                ends.points.emplace_back(fp.m.x1, fp.m.t);
                ends.points.emplace_back(fp.m.x1b, fp.m.t);
            }
        for (const auto& b : fc.binodal) {
            left.points.emplace_back(b[1], b[0]);
            right.points.emplace_back(b[2], b[0]);
        }
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
        const std::vector<std::string> warnings = propcore::FitWarnings(rep);
        const bool isobaric = rep.basis == propcore::FitBasis::Isobaric;

        if (f == Format::Json) {
            fmt::print("{}\n", propcore::FitReportJson(fitted, 0, rep));
        } else {
            fmt::print("{} / {} ({} is component 1), {} with the {} vapour\n", c1.id, c2.id, c1.id, m, vap);
            fmt::print("{} vapour-liquid point(s), {} tie line(s); {}\n", rep.vle_points, rep.tie_lines,
                       propcore::FitBasisName(rep.basis));
            if (!rep.converged) fmt::print("NOT CONVERGED: {}\n", rep.reason);
            if (rep.exact) {
                fmt::print("bij = {:.4f} K\nbji = {:.4f} K\n", rep.b[0], rep.b[1]);
                fmt::print("exactly determined (as many equations as parameters): no uncertainties\n");
            } else {
                fmt::print("bij = {:.4f} K  +- {:.3g}\nbji = {:.4f} K  +- {:.3g}\n", rep.b[0], rep.se[0], rep.b[1],
                           rep.se[1]);
                fmt::print("correlation of bij and bji {:.3f}; weighted sum of squares per degree of freedom {:.3g}\n",
                           rep.correlation, rep.chi2);
            }
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
