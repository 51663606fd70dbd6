// `ternival pure` and `ternival flash`: boiling points of the pure
// components and single flashes.
#include <fmt/core.h>

#include <array>
#include <memory>

#include "azeotrope/stability.h"
#include "cli_common.h"
#include "commands.h"
#include "engine/engine_flash.h"
#include "tool_session.h"

namespace ternival::cli {

namespace {
const char* stabilityName(std::int64_t code) {
    switch (code) {
        case kStableNode: return "stable node";
        case kSaddle: return "saddle";
        case kUnstableNode: return "unstable node";
        default: return "unclassified";
    }
}
}  // namespace

Action AddPureCommand(CLI::App& app) {
    auto opts = std::make_shared<Problem>();
    auto* cmd = app.add_subcommand("pure", "Boiling points and singular-point stability of the pure components");
    AddProblemOptions(*cmd, *opts);
    return [opts]() {
        ToolSession s(*opts);
        const auto& ids = s.ids();
        fmt::print("{:<10} {:>10}  {}\n", "component", "T / K", "stability");
        for (std::size_t i = 0; i < ids.size(); ++i) {
            std::array<double, 1> z{1.0}, y{}, x{}, x1{}, x2{};
            double t = 0.0, p = opts->pressure, vf = 0.0, r = 0.0;
            std::int64_t err = 0;
            EngineFlash("PV", 2, opts->method, 1, std::span(ids).subspan(i, 1), z, t, p, vf, y, x, r, x1, x2, err);
            if (err != 0)
                throw ComputeError("bubble point of " + opts->components[i] + " failed (engine error " + std::to_string(err) +
                                   ")");
            std::int64_t error = 0;
            const std::int64_t code =
                PureComponentStability(ids, static_cast<std::int64_t>(i), opts->pressure, opts->method, opts->phase, error);
            fmt::print("{:<10} {:>10.3f}  {}\n", opts->components[i], t, ids.size() >= 2 ? stabilityName(code) : "-");
        }
        return kOk;
    };
}

Action AddFlashCommand(CLI::App& app) {
    auto opts = std::make_shared<Problem>();
    auto type = std::make_shared<std::string>("PV");
    auto composition = std::make_shared<std::string>();
    auto temperature = std::make_shared<double>(kMissingValue);
    auto vf = std::make_shared<double>(0.0);
    auto* cmd = app.add_subcommand("flash", "One flash: bubble/dew point (PV), isothermal (TP) and the other types");
    AddProblemOptions(*cmd, *opts);
    cmd->add_option("--type", *type, "flash type: PV, TP, TVF, TLF, PVF, PLF")->capture_default_str();
    cmd->add_option("-x,--composition", *composition, "mole fractions, comma separated")->required();
    cmd->add_option("-T,--temperature", *temperature, "temperature, K (TP, TVF, TLF)");
    cmd->add_option("--vf", *vf, "vapour fraction for PV (0 bubble, 1 dew)")->capture_default_str();
    return [=]() {
        ToolSession s(*opts);
        const auto& ids = s.ids();
        const std::vector<double> z = ParseComposition(*composition, ids.size());
        const std::size_t n = ids.size();
        std::vector<double> y(n), x(n), x1(n), x2(n);
        double t = *temperature, p = opts->pressure, f = *vf, r = 0.0;
        std::int64_t err = 0;
        EngineFlash(*type, opts->phase, opts->method, static_cast<int>(n), ids, z, t, p, f, y, x, r, x1, x2, err);
        if (err == -1) throw InputError("flash rejected: unknown type '" + *type + "' or a specification is missing");
        fmt::print("T = {:.4f} K   P = {:.1f} Pa   vapour fraction = {:.6f}   error = {}\n", t, p, f, err);
        fmt::print("{:<10} {:>10} {:>10} {:>10} {:>10} {:>10}\n", "component", "z", "y", "x", "x1", "x2");
        for (std::size_t i = 0; i < n; ++i)
            fmt::print("{:<10} {:>10.6f} {:>10.6f} {:>10.6f} {:>10.6f} {:>10.6f}\n", opts->components[i], z[i], y[i],
                       x[i], x1[i], x2[i]);
        return err == 0 ? kOk : kComputeFailed;
    };
}

}  // namespace ternival::cli
