// Subcommands of `ternival`; each registers its options on the parser and
// returns the action that runs it.
#pragma once

#include <functional>

#include <CLI/CLI.hpp>

namespace ternival::cli {

using Action = std::function<int()>;

Action AddPureCommand(CLI::App& app);
Action AddFlashCommand(CLI::App& app);

}  // namespace ternival::cli
