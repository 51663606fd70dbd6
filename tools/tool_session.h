// The engine session of one command run, with the problem's options.
#pragma once

#include <filesystem>
#include <memory>

#include <CLI/CLI.hpp>

#include "cli_common.h"
#include "engine/session.h"

namespace ternival::cli {

// Adds PROBLEM, --components, --pressure, --method and --phase.
void AddProblemOptions(CLI::App& cmd, Problem& p, bool components_required = false);

class ToolSession {
public:
    explicit ToolSession(Problem& p);
    ~ToolSession();
    ToolSession(const ToolSession&) = delete;
    ToolSession& operator=(const ToolSession&) = delete;
    const std::vector<std::int64_t>& ids() const { return ids_; }

private:
    std::filesystem::path made_dir_;  // problem file built from the databank, removed at the end
    std::unique_ptr<EngineSession> session_;
    std::vector<std::int64_t> ids_;
};

}  // namespace ternival::cli
