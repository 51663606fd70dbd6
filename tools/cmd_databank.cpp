// `ternival components` and `ternival problem`: the engine's databank from
// the command line.
#include <fmt/core.h>

#include <algorithm>
#include <fstream>
#include <memory>

#include "cli_common.h"
#include "commands.h"
#include "databank.h"
#include "problem.h"

namespace ternival::cli {

namespace {

const propcore::Databank& Bank() {
    try {
        return propcore::Databank::Get();
    } catch (const propcore::DatabankError& e) {
        throw InputError(std::string("databank: ") + e.what());
    }
}

// The models whose parameters the databank has for a compound.
std::string Models(const propcore::DatabankCompound& c) {
    std::string m;
    auto add = [&](bool has, const char* name) {
        if (has) m += (m.empty() ? "" : " ") + std::string(name);
    };
    add(true, "NRTL");
    add(c.r && c.q, "UNIQUAC");
    add(c.vl.has_value(), "WILSON");
    add(!c.groups[0].empty(), "UNIFAC");
    add(!c.groups[1].empty(), "UNIFAC-LLE");
    add(!c.groups[2].empty(), "UNIFAC-DMD");
    return m;
}

}  // namespace

Action AddComponentsCommand(CLI::App& app) {
    auto query = std::make_shared<std::string>();
    auto* cmd = app.add_subcommand("components", "Search the component databank by name, CAS number or formula");
    cmd->add_option("text", *query, "part of a name, a CAS number or a formula; default: list all");
    return [query]() {
        const auto found = Bank().Search(*query);
        if (found.empty()) {
            std::string hint;
            try {
                Bank().Find(*query);
            } catch (const propcore::DatabankError& e) {
                hint = e.what();
            }
            throw InputError(hint.empty() ? "no compound matches '" + *query + "'" : hint);
        }
        fmt::print("{:<8}  {:<32} {:<12} {:>8}  {}\n", "ID", "name", "CAS", "Tb / K", "models");
        for (const auto* c : found) {
            std::string id;
            for (char ch : c->name)
                if (std::isalnum(static_cast<unsigned char>(ch)) && id.size() < 8)
                    id += static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
            fmt::print("{:<8}  {:<32} {:<12} {:>8}  {}\n", id, c->name, c->cas,
                       c->tb ? fmt::format("{:.2f}", *c->tb) : std::string("-"), Models(*c));
        }
        return kOk;
    };
}

Action AddProblemCommand(CLI::App& app) {
    auto names = std::make_shared<std::vector<std::string>>();
    auto model = std::make_shared<std::string>("NRTL");
    auto output = std::make_shared<std::string>();
    auto* cmd = app.add_subcommand("problem", "Write a problem definition file of databank components");
    cmd->add_option("names", *names, "databank names, CAS numbers or formulas")->required();
    cmd->add_option("-m,--method", *model, "NRTL, UNIQUAC, WILSON, UNIFAC, UNIFAC-LLE or UNIFAC-DMD")
        ->capture_default_str();
    cmd->add_option("-o,--output", *output, "file to write; default: standard output");
    auto pressure = std::make_shared<double>(101325.0);
    cmd->add_option("-p,--pressure", *pressure,
                    "pressure, Pa, at which a liquid that splits makes the file's default phase setting 3")
        ->check(CLI::PositiveNumber)
        ->capture_default_str();
    auto vapour = std::make_shared<std::string>("auto");
    cmd->add_option("--vapour", *vapour,
                    "vapour model: auto (chemical theory when an acid dimerises, else ideal), ideal, virial "
                    "(Tsonopoulos) or chemical")
        ->check(CLI::IsMember({"auto", "ideal", "virial", "chemical"}))
        ->capture_default_str();
    return [=]() {
        std::string m = *model;
        for (char& c : m) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (std::ranges::find(kDatabankModels, m) == std::end(kDatabankModels))
            throw InputError("--method " + *model + ": not a model the databank serves");
        Bank();
        std::string text;
        try {
            text = propcore::DatabankProblemText(*names, m, "estimate", *pressure, *vapour);
        } catch (const std::exception& e) {
            throw InputError(e.what());
        }
        if (output->empty()) {
            fmt::print("{}", text);
            return kOk;
        }
        const std::string part = *output + ".part";
        {
            std::ofstream out(part);
            out << text;
            out.close();
            if (!out) {
                std::remove(part.c_str());
                throw OutputError("cannot write " + *output);
            }
        }
        if (std::rename(part.c_str(), output->c_str()) != 0) {
            std::remove(part.c_str());
            throw OutputError("cannot write " + *output);
        }
        fmt::print(stderr, "ternival: wrote {}\n", *output);
        return kOk;
    };
}

}  // namespace ternival::cli
