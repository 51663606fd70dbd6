// Subcommands of `ternival`; each registers its options on the parser and
// returns the action that runs it.
#pragma once

#include <functional>

#include <CLI/CLI.hpp>

namespace ternival::cli {

using Action = std::function<int()>;

Action AddPureCommand(CLI::App& app);
Action AddFlashCommand(CLI::App& app);
Action AddMapCommand(CLI::App& app);
Action AddAzeotropesCommand(CLI::App& app);
Action AddCurveCommand(CLI::App& app);
Action AddBoundariesCommand(CLI::App& app);
Action AddEnvelopeCommand(CLI::App& app);
Action AddComponentsCommand(CLI::App& app);
Action AddProblemCommand(CLI::App& app);
Action AddColumnCommand(CLI::App& app);
Action AddFitCommand(CLI::App& app);
Action AddScreenCommand(CLI::App& app);

}  // namespace ternival::cli
