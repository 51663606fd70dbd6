// ternival: ternary diagrams and azeotropes from the command line.
#include <fmt/core.h>

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>

#include <CLI/CLI.hpp>

#include "cli_common.h"
#include "commands.h"
#include "engine/engine_flash.h"
#include "platform/system.h"

int main(int argc, char** argv) {
    using namespace ternival::cli;
    CLI::App app{"ternival - conceptual design of distillation of non-ideal mixtures"};
    app.require_subcommand(1);
    app.fallthrough();
    double time_limit = 600.0;
    app.add_option("--time-limit", time_limit, "seconds the whole command may compute (0: no limit)")
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str();
    std::string work_dir;
    app.add_option("--work-dir", work_dir,
                   "folder of the engine's run log, history and report files (default: $TMP, else /tmp)");
    std::map<std::string, Action> actions;
    actions["pure"] = AddPureCommand(app);
    actions["flash"] = AddFlashCommand(app);
    actions["map"] = AddMapCommand(app);
    actions["azeotropes"] = AddAzeotropesCommand(app);
    actions["curve"] = AddCurveCommand(app);
    actions["boundaries"] = AddBoundariesCommand(app);
    actions["envelope"] = AddEnvelopeCommand(app);
    actions["components"] = AddComponentsCommand(app);
    actions["problem"] = AddProblemCommand(app);
    actions["column"] = AddColumnCommand(app);
    actions["fit"] = AddFitCommand(app);
    actions["screen"] = AddScreenCommand(app);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int rc = app.exit(e);
        return rc == 0 ? kOk : kUsage;
    }
    // The engine writes its files to TMP: to the folder asked for, or to
    // the system's temporary folder, never to the working directory.
    if (!work_dir.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(work_dir, ec);
        if (!std::filesystem::is_directory(work_dir)) {
            fmt::print(stderr, "ternival: error: --work-dir {}: not a folder that can be made\n", work_dir);
            return kBadInput;
        }
        ternival::platform::PutEnv("TMP=" + std::filesystem::absolute(work_dir).string());
    } else if (const auto tmp = ternival::platform::GetEnv("TMP"); !tmp || tmp->empty()) {
        ternival::platform::PutEnv("TMP=" + std::filesystem::temp_directory_path().string());
    }
    // One line on standard error; the time limit, when it was reached, is
    // the reason whatever the failure it caused.
    auto fail = [&](const std::string& what, int code) -> int {
        if (ternival::CallLimits::OutOfTime()) {
            fmt::print(stderr, "ternival: error: the time limit of {} s was reached; the results are incomplete\n",
                       time_limit);
            return kComputeFailed;
        }
        fmt::print(stderr, "ternival: error: {}\n", what);
        return code;
    };
    for (auto* sub : app.get_subcommands()) {
        try {
            // Past the limit every flash is refused, so the routine under way
            // ends through its own failure handling.
            const ternival::CallLimits limits(time_limit);
            const int code = actions.at(sub->get_name())();
            // Tables go to standard output: a full disk or a closed pipe is
            // a failure, not a success with the table lost.
            if (std::fflush(stdout) != 0 || std::ferror(stdout))
                return fail("cannot write the results to standard output", kOutputFailed);
            if (ternival::CallLimits::OutOfTime()) return fail("", kComputeFailed);
            return code;
        } catch (const OutputError& e) {
            return fail(e.what(), kOutputFailed);
        } catch (const InputError& e) {
            return fail(e.what(), kBadInput);
        } catch (const ComputeError& e) {
            return fail(e.what(), kComputeFailed);
        } catch (const std::exception& e) {
            // A write error can surface as an exception of the formatter.
            if (std::ferror(stdout)) return fail("cannot write the results to standard output", kOutputFailed);
            return fail(e.what(), kEngineFailed);
        }
    }
    return kUsage;
}
