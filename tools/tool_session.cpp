#include "tool_session.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include <toml++/toml.h>

#include "engine/property_engine.h"
#include "platform/system.h"
#include "problem.h"

namespace ternival::cli {

class EngineOpenError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

void AddProblemOptions(CLI::App& cmd, Problem& p, bool components_required) {
    cmd.add_option("problem", p.file, "problem definition file (TOML); default: the built-in example");
    auto* c = cmd.add_option_function<std::string>(
        "-c,--components", [&p](const std::string& v) { p.components = SplitList(v); },
        "component IDs, comma separated; default: all components of the problem. "
        "Without a problem file: databank names, CAS numbers or formulas");
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
    cmd.add_option("-m,--method", p.method,
                   "property method; default: the problem's default. With databank components a model: "
                   "NRTL (default), UNIQUAC, WILSON, UNIFAC, UNIFAC-LLE, UNIFAC-DMD");
    cmd.add_flag("-v,--verbose", p.verbose, "print where every component's and pair's numbers came from");
    cmd.add_option("--search", p.search,
                   "azeotrope search: classic, or complete (also every binary by a scan of its edge, every "
                   "ternary from the winding of y - x, and larger azeotropes grown from smaller ones: "
                   "about three classic searches' cost on the examples)")
        ->check(CLI::IsMember({"classic", "complete"}))
        ->capture_default_str();
    cmd.add_option_function<int>(
           "--phase",
           [&p](int v) {
               p.phase = v;
               p.phase_given = true;
           },
           "2 vapour-liquid, 3 vapour-liquid-liquid; default: the problem's default_phase, else 2")
        ->check(CLI::IsMember({2, 3}));
}

namespace {

// Writes the problem definition file of databank components into a fresh
// directory under TMP and points the problem at it.
std::filesystem::path MakeDatabankProblem(Problem& p) {
    std::string model = p.method.empty() ? "NRTL" : p.method;
    for (char& c : model) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (std::ranges::find(kDatabankModels, model) == std::end(kDatabankModels))
        throw InputError("--method " + p.method + ": with databank components give a model (NRTL, UNIQUAC, WILSON, "
                         "UNIFAC, UNIFAC-LLE or UNIFAC-DMD)");
    // The same compound under two names (acetone, 67-64-1) is named twice.
    std::vector<std::string> cas;
    for (const std::string& name : p.components) {
        try {
            const auto& c = propcore::Databank::Get().Find(name);
            if (std::ranges::find(cas, c.cas) != cas.end())
                throw InputError("component '" + name + "' (" + c.name + ") is named twice");
            cas.push_back(c.cas);
        } catch (const propcore::DatabankError& e) {
            throw InputError(e.what());
        }
    }
    std::string text;
    propcore::Problem parsed;
    try {
        // Whether the liquid splits is judged at the pressure of the
        // computation (a bad one is refused later, with its own message).
        const double at = std::isfinite(p.pressure) && p.pressure > 0.0 ? p.pressure : 101325.0;
        text = propcore::DatabankProblemText(p.components, model, "estimate", at);
        parsed = propcore::ParseProblem(text, "(databank)");
    } catch (const std::exception& e) {
        throw InputError(e.what());
    }
    std::vector<std::string> ids;
    for (const auto& c : parsed.components) ids.push_back(c.id);
    // Acids dimerise in the vapour: the file takes the chemical vapour, and
    // the user is told.
    if (parsed.methods.front().vapour == propcore::Vapour::Chemical) {
        std::string acids;
        for (const auto& c : parsed.components)
            if (c.dimer) acids += (acids.empty() ? "" : ", ") + c.id;
        std::fprintf(stderr, "ternival: note: %s dimerise%s in the vapour: the chemical vapour model is used\n",
                     acids.c_str(), acids.find(',') == std::string::npos ? "s" : "");
    }
    namespace fs = std::filesystem;
    const auto tmp = platform::GetEnv("TMP");
    const fs::path dir =
        (tmp && !tmp->empty() ? fs::path(*tmp) : fs::temp_directory_path()) / ("ternival-" + std::to_string(::getpid()));
    std::error_code ec;
    fs::create_directories(dir, ec);
    // The engine names its run files after the problem file.
    const fs::path file = dir / "DATABANK.toml";
    std::ofstream out(file);
    out << text;
    out.close();
    if (!out) throw OutputError("cannot write " + file.string());
    p.file = file.string();
    p.components = ids;
    p.method = parsed.methods.front().name;
    return dir;
}

// The lines of the engine's report that say where the numbers came from.
void PrintProvenance() {
    std::string id = RunId();
    id.erase(id.find_last_not_of(' ') + 1);
    const auto tmp = platform::GetEnv("TMP");
    std::ifstream in((tmp ? *tmp : std::string("/tmp")) + "/" + id + ".rpt");
    std::string line;
    while (std::getline(in, line))
        if (line.find("source:") != std::string::npos || line.find("pairs") != std::string::npos)
            std::fprintf(stderr, "ternival: data: %s\n", line.c_str() + line.find_first_not_of(' '));
}

}  // namespace

ToolSession::~ToolSession() {
    session_.reset();
    if (!made_dir_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(made_dir_, ec);
    }
}

ToolSession::ToolSession(Problem& p) {
    if (p.file.empty() && !p.components.empty()) made_dir_ = MakeDatabankProblem(p);
    if (p.file.empty()) p.file = BuiltInExample();
    if (!std::filesystem::exists(p.file)) throw InputError(p.file + ": no such file");
    CheckPressure(p.pressure);
    // The engine's run log and history files go to TMP (default /tmp).
    if (!platform::GetEnv("TMP")) platform::PutEnv("TMP=" + std::filesystem::temp_directory_path().string());
    session_ = std::make_unique<EngineSession>(p.file, TERNIVAL_VELMTOP);
    if (!session_->ok()) throw EngineOpenError(session_->error());
    if (p.verbose) PrintProvenance();
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
