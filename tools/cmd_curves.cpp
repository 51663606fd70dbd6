// `ternival curve`, `ternival boundaries` and `ternival envelope`: the
// single curves of a ternary map as tables.
#include <fmt/core.h>

#include <cmath>
#include <memory>

#include "cli_common.h"
#include "commands.h"
#include "engine/engine_flash.h"
#include "map_compute.h"
#include "output.h"
#include "tool_session.h"

namespace ternival::cli {

namespace {

void AddComponentColumns(Table& t, const Problem& p) {
    for (const auto& c : p.components) t.columns.push_back("x_" + c);
}

}  // namespace

Action AddCurveCommand(CLI::App& app) {
    auto opts = std::make_shared<Problem>();
    auto composition = std::make_shared<std::string>();
    auto kind = std::make_shared<std::string>("residue");
    auto branch = std::make_shared<std::string>("both");
    auto format = std::make_shared<std::string>("text");
    auto temperatures = std::make_shared<bool>(false);
    auto* cmd = app.add_subcommand("curve", "One residue curve or distillation line through a composition");
    AddProblemOptions(*cmd, *opts);
    cmd->add_option("-x,--composition", *composition, "starting mole fractions, three, comma separated")->required();
    cmd->add_option("--kind", *kind, "residue (residue curve) or distillation (distillation line at total reflux)")
        ->check(CLI::IsMember({"residue", "distillation"}))
        ->capture_default_str();
    cmd->add_option("--branch", *branch, "both, forward (towards higher boiling) or backward")
        ->check(CLI::IsMember({"both", "forward", "backward"}))
        ->capture_default_str();
    cmd->add_flag("-T,--temperatures", *temperatures, "add the bubble temperature of every point");
    cmd->add_option("--format", *format, "text, csv or json")->capture_default_str();
    return [=]() {
        const Format f = ParseFormat(*format);
        PrepareTernary(*opts);
        const std::vector<double> x = ParseComposition(*composition, 3);
        ToolSession s(*opts);
        RequireThree(*opts);
        const auto& ids = s.ids();
        const AzeotropeTable az = SearchAzeotropes(*opts, ids);
        const std::int64_t mode = *branch == "both" ? 1 : *branch == "forward" ? 2 : 3;
        std::int64_t direction = 0;
        const auto points = TraceCurve(*opts, ids, az, {x[0], x[1], x[2]},
                                       *kind == "residue" ? CurveKind::Residue : CurveKind::Distillation, mode,
                                       direction);
        Table t;
        t.columns = {"point"};
        AddComponentColumns(t, *opts);
        if (*temperatures) t.columns.push_back("T_K");
        t.numeric.assign(t.columns.size(), true);
        // Rows run towards higher boiling whatever order the routine used.
        const bool reverse = direction < 0;
        for (std::size_t k = 0; k < points.size(); ++k) {
            const Composition& q = points[reverse ? points.size() - 1 - k : k];
            std::vector<std::string> row{std::to_string(k + 1), Number(q[0]), Number(q[1]), Number(q[2])};
            if (*temperatures) {
                const double tb = BubbleTemperature(*opts, ids, q);
                row.push_back(IsMissing(tb) ? "-" : Number(tb, 3));
            }
            t.rows.push_back(std::move(row));
        }
        PrintTable(t, f);
        return kOk;
    };
}

Action AddBoundariesCommand(CLI::App& app) {
    auto opts = std::make_shared<Problem>();
    auto format = std::make_shared<std::string>("text");
    auto* cmd = app.add_subcommand("boundaries", "Distillation boundaries of a ternary residue-curve map");
    AddProblemOptions(*cmd, *opts);
    cmd->add_option("--format", *format, "text, csv or json")->capture_default_str();
    return [=]() {
        const Format f = ParseFormat(*format);
        PrepareTernary(*opts);
        ToolSession s(*opts);
        RequireThree(*opts);
        const auto& ids = s.ids();
        const AzeotropeTable az = SearchAzeotropes(*opts, ids);
        const auto curves = Boundaries(*opts, ids, az);
        Table t;
        t.columns = {"curve", "point"};
        AddComponentColumns(t, *opts);
        t.columns.push_back("direction");
        t.numeric.assign(t.columns.size(), true);
        for (std::size_t c = 0; c < curves.size(); ++c)
            for (std::size_t k = 0; k < curves[c].points.size(); ++k) {
                const Composition& q = curves[c].points[k];
                t.rows.push_back({std::to_string(c + 1), std::to_string(k + 1), Number(q[0]), Number(q[1]),
                                  Number(q[2]), std::to_string(curves[c].direction)});
            }
        PrintTable(t, f);
        return kOk;
    };
}

Action AddEnvelopeCommand(CLI::App& app) {
    auto opts = std::make_shared<Problem>();
    auto temperature = std::make_shared<double>(298.15);
    auto format = std::make_shared<std::string>("text");
    auto* cmd = app.add_subcommand("envelope", "Liquid-liquid envelope and tie lines of a ternary mixture");
    AddProblemOptions(*cmd, *opts);
    cmd->add_option("-T,--temperature", *temperature, "temperature, K")->capture_default_str();
    cmd->add_option("--format", *format, "text, csv or json")->capture_default_str();
    return [=]() {
        const Format f = ParseFormat(*format);
        PrepareTernary(*opts);
        if (!(*temperature > 0.0) || !std::isfinite(*temperature))
            throw InputError("temperature must be a positive number of K");
        ToolSession s(*opts);
        RequireThree(*opts);
        TernaryMap map;
        if (!FillEnvelope(*opts, s.ids(), *temperature, map)) throw ComputeError("the envelope routine refused the mixture");
        // One row per tie line: the two liquids in equilibrium.
        Table t;
        t.columns = {"tie_line"};
        for (const char* phase : {"L1", "L2"})
            for (const auto& c : opts->components) t.columns.push_back(std::string(phase) + "_" + c);
        t.numeric.assign(t.columns.size(), true);
        for (std::size_t k = 0; k < map.tie_lines.size(); ++k) {
            const auto& tl = map.tie_lines[k];
            t.rows.push_back({std::to_string(k + 1), Number(tl.a[0]), Number(tl.a[1]), Number(tl.a[2]), Number(tl.b[0]),
                              Number(tl.b[1]), Number(tl.b[2])});
        }
        if (map.tie_lines.empty())
            fmt::print(stderr, "ternival: no liquid-liquid split at {} K\n", *temperature);
        PrintTable(t, f);
        return kOk;
    };
}

}  // namespace ternival::cli
