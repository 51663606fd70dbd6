// ternival: ternary diagrams and azeotropes from the command line.
#include <fmt/core.h>

#include <cstdio>
#include <iostream>
#include <map>

#include <CLI/CLI.hpp>

#include "cli_common.h"
#include "commands.h"

int main(int argc, char** argv) {
    using namespace ternival::cli;
    CLI::App app{"ternival - conceptual design of distillation of non-ideal mixtures"};
    app.require_subcommand(1);
    std::map<std::string, Action> actions;
    actions["pure"] = AddPureCommand(app);
    actions["flash"] = AddFlashCommand(app);
    actions["map"] = AddMapCommand(app);
    actions["azeotropes"] = AddAzeotropesCommand(app);
    actions["curve"] = AddCurveCommand(app);
    actions["boundaries"] = AddBoundariesCommand(app);
    actions["envelope"] = AddEnvelopeCommand(app);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int rc = app.exit(e);
        return rc == 0 ? kOk : kUsage;
    }
    for (auto* sub : app.get_subcommands()) {
        try {
            const int code = actions.at(sub->get_name())();
            // Tables go to standard output: a full disk or a closed pipe is
            // a failure, not a success with the table lost.
            if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
                fmt::print(stderr, "ternival: error: cannot write the results to standard output\n");
                return kOutputFailed;
            }
            return code;
        } catch (const OutputError& e) {
            fmt::print(stderr, "ternival: error: {}\n", e.what());
            return kOutputFailed;
        } catch (const InputError& e) {
            fmt::print(stderr, "ternival: error: {}\n", e.what());
            return kBadInput;
        } catch (const ComputeError& e) {
            fmt::print(stderr, "ternival: error: {}\n", e.what());
            return kComputeFailed;
        } catch (const std::exception& e) {
            fmt::print(stderr, "ternival: error: {}\n", e.what());
            return kEngineFailed;
        }
    }
    return kUsage;
}
