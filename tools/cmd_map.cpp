// `ternival map` and `ternival azeotropes`: the residue-curve map of a
// ternary mixture, drawn to a picture, and the azeotrope table of a mixture
// of any size.
#include <fmt/core.h>

#include <chrono>
#include <memory>

#include "azeotrope/search.h"
#include "cli_common.h"
#include "commands.h"
#include "engine/engine_flash.h"
#include "map_compute.h"
#include "design/classify.h"
#include "design/regions.h"
#include "map_render.h"
#include "output.h"
#include "tool_session.h"

namespace ternival::cli {

namespace {

std::string Temperature(double t) { return IsMissing(t) ? std::string("-") : Number(t, 3); }

// Singular points (pure components, then azeotropes) of a ternary map.
Table SingularTable(const Problem& p, const AzeotropeTable& az) {
    Table t;
    t.columns = {"point", "kind"};
    for (const auto& c : p.components) t.columns.push_back("x_" + c);
    t.columns.insert(t.columns.end(), {"T_K", "stability", "phase", "status"});
    t.numeric.assign(t.columns.size(), false);
    for (std::size_t c = 2; c < 2 + az.n + 1; ++c) t.numeric[c] = true;
    t.numeric[0] = true;
    const std::size_t total = az.n + az.count;
    for (std::size_t k = 0; k < total; ++k) {
        std::vector<std::string> row{std::to_string(k + 1)};
        if (k < az.n) row.push_back("pure " + p.components[k]);
        else row.push_back(az.sizes[k - az.n] == 2 ? "binary azeotrope" : "ternary azeotrope");
        for (std::size_t i = 0; i < az.n; ++i) row.push_back(Number(az.singular_x[k * az.n + i], 6));
        row.push_back(Temperature(az.singular_t[k]));
        row.push_back(StabilityName(az.singular_code[k]));
        const bool het = k >= az.n && az.phase_codes[k - az.n] == kHeterogeneous;
        row.push_back(het ? "heterogeneous" : "homogeneous");
        row.push_back(az.status[k]);
        t.rows.push_back(std::move(row));
    }
    return t;
}

// Tells each warning of the search on standard error; the exit code that
// goes with them.
// The map's class and its regions: a table of its own in text (after the
// singular points), lines on standard error with csv and json, whose
// standard output is the one table.
void PrintRegions(const design::Regions& regions, const design::MapClass& c, const Problem& p, Format f) {
    auto name = [&](int k) {
        if (k < 0) return std::string("-");
        if (k < 3) return "pure " + p.components[static_cast<std::size_t>(k)];
        return "azeotrope " + std::to_string(k - 2) + " (point " + std::to_string(k + 1) + ")";
    };
    std::vector<std::string> lines;
    lines.push_back(c.error.empty() || !c.code.empty()
                        ? fmt::format("class {} (structure {})", c.name.empty() ? "-" : c.name, c.code)
                        : "class: " + c.error);
    lines.push_back(fmt::format("{} distillation region(s), {} separatri{}", regions.regions.size(),
                                regions.separatrices, regions.separatrices == 1 ? "x" : "ces"));
    for (std::size_t g = 0; g < regions.regions.size(); ++g)
        lines.push_back(fmt::format("region {}: from {} to {}", g + 1, name(regions.regions[g].unstable_node),
                                    name(regions.regions[g].stable_node)));
    if (!regions.error.empty()) lines.push_back("regions: " + regions.error);
    for (const auto& l : lines) {
        if (f == Format::Text) fmt::print("{}\n", l);
        else Progress(l);
    }
}

int TellWarnings(const AzeotropeTable& az) {
    for (const auto& w : az.warnings) Progress("warning: " + w);
    return az.warnings.empty() ? kOk : kDoubtful;
}

}  // namespace

Action AddMapCommand(CLI::App& app) {
    auto opts = std::make_shared<Problem>();
    auto output = std::make_shared<std::string>("map.svg");
    auto format = std::make_shared<std::string>("text");
    auto grid = std::make_shared<int>(8);
    auto* cmd = app.add_subcommand(
        "map", "Residue-curve map of a ternary mixture: singular points, boundaries, residue curves, picture");
    AddProblemOptions(*cmd, *opts);
    cmd->add_option("-o,--output", *output, "picture file: .svg, .png or .pdf")->capture_default_str();
    cmd->add_option("--grid", *grid, "residue curves start on an interior grid with this many steps per side")
        ->check(CLI::Range(3, 30))
        ->capture_default_str();
    cmd->add_option("--format", *format, "singular-point table: text, csv or json")->capture_default_str();
    return [=]() {
        const Format f = ParseFormat(*format);
        if (!EndsWith(*output, ".svg") && !EndsWith(*output, ".png") && !EndsWith(*output, ".pdf"))
            throw InputError(*output + ": unknown picture format (use .svg, .png or .pdf)");
        PrepareTernary(*opts);
        const auto started = std::chrono::steady_clock::now();
        ToolSession s(*opts);
        RequireThree(*opts);
        const auto& ids = s.ids();

        Progress("computing pure-component properties and azeotropes...");
        const AzeotropeTable az = SearchAzeotropes(*opts, ids);

        TernaryMap map;
        for (int i = 0; i < 3; ++i) map.names[static_cast<std::size_t>(i)] = opts->components[static_cast<std::size_t>(i)];
        map.pressure = opts->pressure;
        map.method = MethodName(*opts);
        for (std::size_t k = 0; k < 3 + az.count; ++k) {
            SingularPoint pt;
            pt.x = {az.singular_x[k * 3], az.singular_x[k * 3 + 1], az.singular_x[k * 3 + 2]};
            pt.temperature = az.singular_t[k];
            pt.code = az.singular_code[k];
            pt.heterogeneous = k >= 3 && az.phase_codes[k - 3] == kHeterogeneous;
            if (!IsMissing(pt.temperature)) pt.label = fmt::format("{:.1f} K", pt.temperature);
            map.singular.push_back(std::move(pt));
        }

        Progress("computing distillation boundaries...");
        map.boundaries = Boundaries(*opts, ids, az);

        // The regions the boundaries make, and the map's class.
        std::vector<design::SingularPoint> points;
        for (std::size_t k = 0; k < 3 + az.count; ++k)
            points.push_back({{az.singular_x[k * 3], az.singular_x[k * 3 + 1], az.singular_x[k * 3 + 2]},
                              az.singular_t[k], az.singular_code[k], k < 3 ? 1 : az.sizes[k - 3]});
        std::vector<std::vector<design::Composition>> curves;
        for (const auto& b : map.boundaries) curves.push_back(b.points);
        const design::Regions regions = design::FindRegions(points, curves);
        const design::MapClass mapClass = design::ClassOf(points);
        for (const auto& g : regions.regions) map.regions.push_back(g.outline);

        const std::vector<Composition> starts = InteriorGrid(*grid);
        Progress(fmt::format("computing {} residue curves...", starts.size()));
        for (const Composition& x0 : starts) {
            if (CallLimits::Expired()) break;
            try {
                Curve c;
                c.points = TraceCurve(*opts, ids, az, x0, CurveKind::Residue, 1, c.direction);
                if (c.points.size() >= 2) map.residue_curves.push_back(std::move(c));
            } catch (const ComputeError& e) {
                Progress(std::string("warning: ") + e.what() + "; curve left out");
            }
        }

        // Where the boiling liquid splits, its envelope and tie lines.
        Progress("computing the liquid-liquid envelope...");
        if (!CallLimits::Expired()) FillEnvelope(*opts, ids, kMissingValue, map);

        // A map cut short by the time limit is no map: nothing is drawn, and
        // an earlier picture of that name stays as it was.
        if (CallLimits::Expired()) throw ComputeError("the time limit was reached before the map was complete");
        Progress("writing " + *output);
        try {
            RenderMap(map, *output);
        } catch (const std::runtime_error& e) {
            throw OutputError(e.what());
        }
        PrintTable(SingularTable(*opts, az), f);
        PrintRegions(regions, mapClass, *opts, f);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        Progress(fmt::format("{} singular points, {} boundaries, {} residue curves, {} tie lines drawn to {} in {:.2f} s",
                             map.singular.size(), map.boundaries.size(), map.residue_curves.size(),
                             map.tie_lines.size(), *output, seconds));
        return TellWarnings(az);
    };
}

Action AddAzeotropesCommand(CLI::App& app) {
    auto opts = std::make_shared<Problem>();
    auto format = std::make_shared<std::string>("text");
    auto* cmd = app.add_subcommand("azeotropes", "Every azeotrope of a mixture of 2 to 20 components, and the pure boiling points");
    AddProblemOptions(*cmd, *opts);
    cmd->add_option("--format", *format, "text, csv or json")->capture_default_str();
    return [=]() {
        const Format f = ParseFormat(*format);
        DefaultToBuiltInExample(*opts);
        ToolSession s(*opts);
        const auto& ids = s.ids();
        if (ids.size() < 2 || ids.size() > static_cast<std::size_t>(kAzeoMaxComponents))
            throw InputError("the azeotrope search takes 2 to 20 components, got " + std::to_string(ids.size()));
        if (ids.size() > 3) Progress("searching " + std::to_string(ids.size()) + " components for azeotropes...");
        const AzeotropeTable az = SearchAzeotropes(*opts, ids);

        // Pure boiling points go to stderr in csv/json so stdout stays one table.
        std::FILE* pure = f == Format::Text ? stdout : stderr;
        fmt::print(pure, "{:<10} {:>10}  {}\n", "component", "Tb / K", "stability");
        for (std::size_t i = 0; i < az.n; ++i)
            fmt::print(pure, "{:<10} {:>10}  {}\n", opts->components[i], Temperature(az.boiling[i]),
                       StabilityName(az.singular_code[i]));
        if (f == Format::Text) fmt::print("\n{} azeotrope(s)\n", az.count);

        Table t;
        t.columns = {"azeotrope"};
        for (const auto& c : opts->components) t.columns.push_back("x_" + c);
        t.columns.insert(t.columns.end(), {"T_K", "size", "phase", "stability", "status"});
        t.numeric.assign(t.columns.size(), true);
        for (std::size_t c = t.columns.size() - 3; c < t.columns.size(); ++c) t.numeric[c] = false;
        for (std::size_t a = 0; a < az.count; ++a) {
            std::vector<std::string> row{std::to_string(a + 1)};
            for (std::size_t i = 0; i < az.n; ++i) row.push_back(Number(az.compositions[a * az.n + i], 6));
            row.push_back(Temperature(az.temperatures[a]));
            row.push_back(std::to_string(az.sizes[a]));
            row.push_back(az.phase_codes[a] == kHeterogeneous ? "heterogeneous" : "homogeneous");
            row.push_back(StabilityName(az.stability[a]));
            row.push_back(az.status[az.n + a]);
            t.rows.push_back(std::move(row));
        }
        PrintTable(t, f);
        return TellWarnings(az);
    };
}

}  // namespace ternival::cli
