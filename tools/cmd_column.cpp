// `ternival column`: from the map to the column: whether a split is
// feasible, its minimum reflux and stages, and the section profiles.
#include <fmt/core.h>

#include <cmath>
#include <memory>
#include <optional>

#include <nlohmann/json.hpp>

#include "cli_common.h"
#include "commands.h"
#include "design/column.h"
#include "design/regions.h"
#include "engine/engine_flash.h"
#include "map_compute.h"
#include "map_render.h"
#include "output.h"
#include "tool_session.h"

namespace ternival::cli {

namespace {

design::Composition Point(const std::string& text, const char* what) {
    try {
        const std::vector<double> x = ParseComposition(text, 3);
        return {x[0], x[1], x[2]};
    } catch (const InputError& e) {
        throw InputError(std::string(what) + ": " + e.what());
    }
}

nlohmann::json ProfileJson(const design::SectionProfile& p, const std::array<std::string, 3>& names) {
    nlohmann::json stages = nlohmann::json::array();
    for (std::size_t k = 0; k < p.stages.size(); ++k) {
        nlohmann::json s{{"stage", k + 1}, {"T_K", p.stages[k].t}};
        for (std::size_t i = 0; i < 3; ++i) {
            s["x_" + names[i]] = p.stages[k].x[i];
            s["y_" + names[i]] = p.stages[k].y[i];
        }
        stages.push_back(std::move(s));
    }
    return stages;
}

}  // namespace

Action AddColumnCommand(CLI::App& app) {
    auto opts = std::make_shared<Problem>();
    auto feed = std::make_shared<std::string>(), distillate = std::make_shared<std::string>(),
         bottoms = std::make_shared<std::string>();
    auto q = std::make_shared<double>(1.0);
    auto reflux = std::make_shared<double>(std::nan("")), factor = std::make_shared<double>(std::nan(""));
    auto format = std::make_shared<std::string>("text");
    auto output = std::make_shared<std::string>();
    auto* cmd = app.add_subcommand("column", "A column for a split of a ternary: feasibility, minimum reflux, stages");
    AddProblemOptions(*cmd, *opts);
    cmd->add_option("--feed", *feed, "feed mole fractions, three, comma separated")->required();
    cmd->add_option("--distillate", *distillate, "distillate mole fractions")->required();
    cmd->add_option("--bottoms", *bottoms, "bottoms mole fractions")->required();
    cmd->add_option("--q", *q, "feed quality: 1 saturated liquid, 0 saturated vapour")->capture_default_str();
    auto* r = cmd->add_option("--reflux", *reflux, "reflux ratio L/D");
    cmd->add_option("--reflux-factor", *factor, "reflux ratio as a multiple of the minimum")->excludes(r);
    cmd->add_option("--format", *format, "text or json")->capture_default_str();
    cmd->add_option("-o,--output", *output, "picture: the map with the mass-balance line, the products and the profiles");
    return [=]() {
        const Format f = ParseFormat(*format);
        if (f == Format::Csv) throw InputError("--format csv: the column's results are text or json");
        if (!output->empty() && !EndsWith(*output, ".svg") && !EndsWith(*output, ".png") && !EndsWith(*output, ".pdf"))
            throw InputError(*output + ": unknown picture format (use .svg, .png or .pdf)");
        if (!(std::isfinite(*q) && *q >= -5.0 && *q <= 5.0)) throw InputError("--q must be a number between -5 and 5");
        if (!std::isnan(*reflux) && !(*reflux > 0.0 && std::isfinite(*reflux)))
            throw InputError("--reflux must be a positive number");
        if (!std::isnan(*factor) && !(*factor >= 1.0 && std::isfinite(*factor)))
            throw InputError("--reflux-factor must be a number of at least 1");
        design::ColumnSpec spec;
        spec.feed = Point(*feed, "--feed");
        spec.distillate = Point(*distillate, "--distillate");
        spec.bottoms = Point(*bottoms, "--bottoms");
        spec.q = *q;
        const design::Balance balance = design::MassBalance(spec);
        if (!balance.error.empty()) throw InputError(balance.error);
        PrepareTernary(*opts);
        ToolSession s(*opts);
        RequireThree(*opts);
        const auto& ids = s.ids();
        spec.ids = {ids[0], ids[1], ids[2]};
        spec.pressure = opts->pressure;
        spec.method = opts->method;
        spec.phase = opts->phase;

        // The map's regions: products in different regions need a boundary
        // crossed, which a column at total reflux cannot do.
        Progress("computing the map's regions...");
        design::MapInput in{spec.ids, spec.pressure, spec.method, spec.phase, opts->search != "classic"};
        const design::Topology topology = design::MapTopology(in);
        const design::Regions regions = design::FindRegions(topology.points, topology.boundaries);
        const int rd = design::RegionOf(regions, spec.distillate), rb = design::RegionOf(regions, spec.bottoms);

        Progress("computing the column...");
        design::ColumnDesign d =
            design::DesignColumn(spec, std::isnan(*reflux) ? std::nullopt : std::optional<double>(*reflux),
                                 std::isnan(*factor) ? std::nullopt : std::optional<double>(*factor));
        if (CallLimits::Expired()) throw ComputeError("the time limit was reached before the column was designed");
        // Products of different regions: not feasible at total reflux, and
        // the profiles' meeting across a boundary stands only where it bends.
        if (rd >= 0 && rb >= 0 && rd != rb) {
            d.total_reflux_feasible = false;
            if (!d.feasible)
                d.reason = "the distillate and the bottoms lie in different distillation regions: the split crosses a "
                           "distillation boundary" +
                           (d.reason.empty() ? std::string() : " (" + d.reason + ")");
        }
        if (d.feasible && !d.total_reflux_feasible && !d.stages_min)
            d.reason = d.reason.empty() ? "no distillation line joins the products: the split is not feasible at total "
                                          "reflux"
                                        : d.reason;

        std::array<std::string, 3> names{opts->components[0], opts->components[1], opts->components[2]};
        nlohmann::json out{{"feasible", d.feasible},
                           {"reason", d.reason},
                           {"feasible_at_total_reflux", d.total_reflux_feasible},
                           {"d_over_f", d.d_over_f},
                           {"r_min", d.r_min ? nlohmann::json(*d.r_min) : nlohmann::json()},
                           {"stages_min", d.stages_min ? nlohmann::json(*d.stages_min) : nlohmann::json()},
                           {"reflux", d.reflux ? nlohmann::json(*d.reflux) : nlohmann::json()},
                           {"stages", d.stages ? nlohmann::json(*d.stages) : nlohmann::json()},
                           {"feed_stage", d.feed_stage ? nlohmann::json(*d.feed_stage) : nlohmann::json()},
                           {"rectifying", ProfileJson(d.rectifying, names)},
                           {"stripping", ProfileJson(d.stripping, names)},
                           {"distillate_region", rd + 1},
                           {"bottoms_region", rb + 1}};
        if (f == Format::Json) {
            fmt::print("{}\n", out.dump(1));
        } else {
            auto opt = [](const nlohmann::json& v, int digits) {
                return v.is_null() ? std::string("-") : v.is_number_integer() ? std::to_string(v.get<int>())
                                                                               : Number(v.get<double>(), digits);
            };
            fmt::print("feasible           {}\n", d.feasible ? "yes" : "no");
            if (!d.reason.empty()) fmt::print("reason             {}\n", d.reason);
            fmt::print("D/F                {}\n", Number(d.d_over_f, 4));
            fmt::print("minimum reflux     {}\n", opt(out["r_min"], 4));
            fmt::print("minimum stages     {}  (total reflux, reboiler counted)\n", opt(out["stages_min"], 0));
            fmt::print("reflux             {}\n", opt(out["reflux"], 4));
            fmt::print("stages             {}\n", opt(out["stages"], 0));
            fmt::print("feed stage         {}  (from the top)\n", opt(out["feed_stage"], 0));
            for (const auto* p : {&d.rectifying, &d.stripping}) {
                if (p->stages.empty()) continue;
                fmt::print("\n{} section ({} stages from the {})\n", p == &d.rectifying ? "rectifying" : "stripping",
                           p->stages.size(), p == &d.rectifying ? "top" : "reboiler");
                Table t;
                t.columns = {"stage", "x_" + names[0], "x_" + names[1], "x_" + names[2], "T_K"};
                t.numeric.assign(t.columns.size(), true);
                for (std::size_t k = 0; k < p->stages.size(); ++k) {
                    const auto& st = p->stages[k];
                    t.rows.push_back({std::to_string(k + 1), Number(st.x[0]), Number(st.x[1]), Number(st.x[2]),
                                      Number(st.t, 3)});
                }
                PrintTable(t, Format::Text);
            }
        }
        if (!output->empty()) {
            TernaryMap map;
            map.names = names;
            map.pressure = opts->pressure;
            map.method = MethodName(*opts);
            for (const auto& p : topology.points) {
                SingularPoint pt;
                pt.x = p.x;
                pt.temperature = p.t;
                pt.code = p.code;
                pt.label = fmt::format("{:.1f} K", p.t);
                map.singular.push_back(pt);
            }
            for (const auto& b : topology.boundaries)
                if (!design::OnAnEdge(b)) map.boundaries.push_back({b, 2});
            map.column.feed = spec.feed;
            map.column.distillate = spec.distillate;
            map.column.bottoms = spec.bottoms;
            for (const auto& st : d.rectifying.stages) map.column.rectifying.push_back(st.x);
            for (const auto& st : d.stripping.stages) map.column.stripping.push_back(st.x);
            // Both sections drawn on to where their paths cross.
            if (d.meeting) {
                map.column.rectifying.push_back(*d.meeting);
                map.column.stripping.push_back(*d.meeting);
            }
            map.column.shown = true;
            try {
                RenderMap(map, *output);
            } catch (const std::runtime_error& e) {
                throw OutputError(e.what());
            }
        }
        // An infeasible split is a result, told as such.
        if (!d.feasible) {
            fmt::print(stderr, "ternival: warning: the split is not feasible: {}\n", d.reason);
            return kDoubtful;
        }
        return kOk;
    };
}

}  // namespace ternival::cli
