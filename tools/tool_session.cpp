#include "tool_session.h"

#include <cmath>
#include <filesystem>

#include <toml++/toml.h>

#include "platform/system.h"

namespace ternival::cli {

class EngineOpenError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

void AddProblemOptions(CLI::App& cmd, Problem& p, bool components_required) {
    cmd.add_option("problem", p.file, "problem definition file (TOML); default: the built-in example");
    auto* c = cmd.add_option_function<std::string>(
        "-c,--components", [&p](const std::string& v) { p.components = SplitList(v); },
        "component IDs, comma separated; default: all components of the problem");
    if (components_required) c->required();
    // A pressure that is not a number is bad input (exit 2) like a negative
    // one, not a command-line error: it becomes NaN, which CheckPressure rejects.
    cmd.add_option_function<std::string>(
           "-p,--pressure",
           [&p](const std::string& v) {
               std::size_t used = 0;
               try {
                   p.pressure = std::stod(v, &used);
               } catch (const std::exception&) {
                   used = 0;
               }
               if (used == 0 || used != v.size()) p.pressure = std::nan("");
           },
           "pressure, Pa")
        ->default_str("101325");
    cmd.add_option("-m,--method", p.method, "property method; default: the problem's default");
    cmd.add_option_function<int>(
           "--phase",
           [&p](int v) {
               p.phase = v;
               p.phase_given = true;
           },
           "2 vapour-liquid, 3 vapour-liquid-liquid; default: the problem's default_phase, else 2")
        ->check(CLI::IsMember({2, 3}));
}

ToolSession::ToolSession(Problem& p) {
    if (p.file.empty()) p.file = BuiltInExample();
    if (!std::filesystem::exists(p.file)) throw InputError(p.file + ": no such file");
    CheckPressure(p.pressure);
    // The engine's run log and history files go to TMP (default /tmp).
    if (!platform::GetEnv("TMP")) platform::PutEnv("TMP=" + std::filesystem::temp_directory_path().string());
    session_ = std::make_unique<EngineSession>(p.file, TERNIVAL_VELMTOP);
    if (!session_->ok()) throw EngineOpenError(session_->error());
    // The file's defaults, read once.  The engine has accepted the file, so
    // its default_phase is 2 or 3.
    try {
        const toml::table t = toml::parse_file(p.file);
        if (!p.phase_given) p.phase = static_cast<int>(t["default_phase"].value_or(std::int64_t{2}));
        p.default_method = t["default_method"].value_or(std::string());
    } catch (const toml::parse_error&) {
        if (!p.phase_given) p.phase = 2;
    }
    if (p.components.empty())
        for (const auto& c : EngineComponents()) p.components.push_back(c.id);
    ids_ = ComponentIndices(p);
}

}  // namespace ternival::cli
