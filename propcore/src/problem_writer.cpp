// The problem definition file of databank components that `ternival
// problem` writes: complete, so that a user can edit any number, and with
// the source of every number beside it.
#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <sstream>

#include "flash.h"
#include "problem.h"
#include "thermo.h"

namespace propcore {
namespace {

std::string num(double v) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.10g", v);
    std::string s = buf;
    if (s.find_first_of(".eEn") == std::string::npos) s += ".0";  // TOML float
    return s;
}

std::string quoted(std::string_view s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

std::string groups(const GroupCounts& g) {
    std::string s = "[";
    for (std::size_t k = 0; k < g.size(); ++k)
        s += (k ? ", " : "") + std::string("[") + std::to_string(g[k].first) + ", " + std::to_string(g[k].second) + "]";
    return s + "]";
}

// Where the boiling liquid of a mixture splits into two liquids, if it
// does anywhere: the bubble points of each binary on a grid, and of each
// ternary on an interior grid, each tested for a second liquid at its
// bubble temperature.  Empty when the liquid never splits there.
std::string WhereTheLiquidSplits(const Problem& p, double pressure) {
    const Method& method = p.methods.front();
    const std::size_t n = p.components.size();
    FlashOptions o;
    std::vector<double> trial, xa, xb;
    auto splits = [&](std::span<const std::size_t> members, std::span<const double> x) -> std::string {
        const Mixture m(p, method, members);
        const FlashResult b = FlashPV(m, pressure, 0.0, x, 2, o);
        if (b.status != kConverged) return {};
        double beta = 0.0;
        if (!LiquidUnstable(m, b.t, x, trial) || !LiquidSplit(m, b.t, x, trial, xa, xb, beta, o)) return {};
        std::string where;
        for (std::size_t k = 0; k < members.size(); ++k) {
            char buf[48];
            std::snprintf(buf, sizeof buf, "%s%s %.2f", k ? ", " : "", p.components[members[k]].id.c_str(), x[k]);
            where += buf;
        }
        char t[32];
        std::snprintf(t, sizeof t, " at %.1f K", b.t);
        return where + t;
    };
    constexpr int kBinarySteps = 20, kTernarySteps = 8;
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = i + 1; j < n; ++j) {
            const std::array<std::size_t, 2> members{i, j};
            for (int k = 1; k < kBinarySteps; ++k) {
                const std::array<double, 2> x{k / double(kBinarySteps), 1.0 - k / double(kBinarySteps)};
                if (auto w = splits(members, x); !w.empty()) return w;
            }
        }
    // Ternary interiors (heteroazeotropes of three components), for the
    // mixtures a map is drawn for and a little beyond.
    if (n > 6) return {};
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = i + 1; j < n; ++j)
            for (std::size_t k = j + 1; k < n; ++k) {
                const std::array<std::size_t, 3> members{i, j, k};
                for (int a = 1; a < kTernarySteps; ++a)
                    for (int b = 1; a + b < kTernarySteps; ++b) {
                        const std::array<double, 3> x{a / double(kTernarySteps), b / double(kTernarySteps),
                                                      (kTernarySteps - a - b) / double(kTernarySteps)};
                        if (auto w = splits(members, x); !w.empty()) return w;
                    }
            }
    return {};
}

// The problem text with default_phase = 3 when its boiling liquid splits
// at `pressure` (a mixture whose boiling liquid splits is mapped with three
// phases unless the user says otherwise: with two, a map would show
// homogeneous azeotropes where two liquids boil).
std::string withPhaseSetting(std::string text, double pressure) {
    const Problem written = ParseProblem(text, "(databank)");
    if (written.methods.front().model != Model::Ideal) {
        if (const std::string where = WhereTheLiquidSplits(written, pressure); !where.empty()) {
            char line[64];
            std::snprintf(line, sizeof line, "default_phase = 3             # at %.6g Pa ", pressure);
            text.insert(text.find("\n[[component]]"),
                        std::string(line) + "the boiling liquid splits into two\n"
                                            "                              # liquids (" + where + ")\n");
        }
    }
    return text;
}

}  // namespace

std::string DatabankProblemText(const std::vector<std::string>& names, std::string_view model,
                                std::string_view missing, double pressure, std::string_view vapour,
                                const std::vector<Pair>& overrides) {
    for (const Pair& o : overrides)
        if (o.i >= names.size() || o.j >= names.size() || o.i == o.j)
            throw ProblemError("a given pair names components the problem does not have");
    if (vapour != "auto" && vapour != "ideal" && vapour != "virial" && vapour != "chemical")
        throw ProblemError("unknown vapour '" + std::string(vapour) + "' (auto, ideal, virial or chemical)");
    const Databank& bank = Databank::Get();
    // Components first, through the same reader the engine uses, so that the
    // method's pairs come out exactly as a load of the file completes them.
    std::ostringstream comps;
    std::string title;
    std::vector<std::string> ids;
    bool acids = false;
    for (const std::string& name : names) {
        const DatabankCompound* c = nullptr;
        try {
            c = &bank.Find(name);
        } catch (const DatabankError& e) {
            throw ProblemError(e.what());
        }
        title += (title.empty() ? "" : " / ") + c->name;
        // IDs from the names' letters and digits, made unique with a digit.
        std::string id;
        for (char ch : c->name)
            if (std::isalnum(static_cast<unsigned char>(ch)) && id.size() < 8)
                id += static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        for (int k = 2; std::find(ids.begin(), ids.end(), id) != ids.end(); ++k)
            id = id.substr(0, 7) + std::to_string(k % 10);
        ids.push_back(id);
        comps << "\n[[component]]\n"
              << "databank = " << quoted(c->cas) << "             # " << c->name << "; every number below: " << c->source << "\n"
              << "id = " << quoted(id) << "\nname = " << quoted(c->name.substr(0, 12)) << '\n';
        if (!c->formula.empty()) comps << "formula = " << quoted(c->formula) << '\n';
        comps << "mw = " << num(c->mw) << "                    # g/mol\n";
        comps << "antoine = [";
        for (std::size_t k = 0; k < 6; ++k) comps << (k ? ", " : "") << num(c->antoine[k]);
        comps << "]  # ln(Psat/Pa) = A + B/(T + C) + D ln T + E T^F\n";
        comps << "tmin = " << num(c->tmin) << "                 # range of the vapour-pressure correlation, K\n";
        comps << "tmax = " << num(c->tmax) << '\n';
        if (c->tb) comps << "tb = " << num(*c->tb) << "                   # normal boiling point, K\n";
        if (c->tc) comps << "tc = " << num(*c->tc) << "                   # critical temperature, K\n";
        if (c->r) comps << "r = " << num(*c->r) << "                     # UNIQUAC volume parameter\n";
        if (c->q) comps << "q = " << num(*c->q) << "                     # UNIQUAC area parameter\n";
        if (c->vl) comps << "vl = " << num(*c->vl) << "                  # liquid molar volume, cm3/mol (Wilson)\n";
        if (c->pc) comps << "pc = " << num(*c->pc) << "                  # critical pressure, Pa\n";
        if (c->omega) comps << "omega = " << num(*c->omega) << "               # acentric factor\n";
        if (c->virial_a != 0.0 || c->virial_b != 0.0)
            comps << "virial_a = " << num(c->virial_a)
                  << "             # polar terms of the second virial coefficient\nvirial_b = " << num(c->virial_b)
                  << '\n';
        if (c->dimer) {
            comps << "dimer = [" << num((*c->dimer)[0]) << ", " << num((*c->dimer)[1])
                  << "]  # vapour dimerisation, ln(K/Pa^-1) = A + B/T; " << c->dimer_source << '\n';
            acids = true;
        }
        const char* keys[] = {"unifac", "unifac_lle", "unifac_dmd"};
        for (int g = 0; g < kGroupModels; ++g)
            if (!c->groups[g].empty())
                comps << keys[g] << " = " << groups(c->groups[g]) << "   # " << GroupModelName(GroupModel(g))
                      << " subgroups [number, count]\n";
    }
    std::ostringstream head;
    head << "# Problem definition file written from the engine's databank.\n"
         << "# Pure components: ChemSep pure-component databank (Artistic License 2.0).\n"
         << "# Binary pairs: ChemSep/DECHEMA sets at about 1 atm (Artistic License 2.0), or\n"
         << "# fitted to UNIFAC where no set has the pair, or, for acids with the chemical\n"
         << "# vapour, fitted with it to published azeotropes; each pair says which.\n"
         << "# Edit any number: the engine's report file lists what differs from the databank.\n\n"
         << "title = " << quoted(title) << '\n';
    const std::string text_without_method = head.str() + comps.str();

    std::string model_name(model);
    const bool pairwise = model_name == "NRTL" || model_name == "UNIQUAC" || model_name == "WILSON";
    if (!pairwise && !overrides.empty())
        throw ProblemError("model " + model_name + " takes no binary pairs, so a fitted pair cannot be used with it");
    std::ostringstream method;
    std::string method_name = model_name;  // at most 8 characters
    if (model_name == "UNIFAC-LLE") method_name = "UNIF-LLE";
    if (model_name == "UNIFAC-DMD") method_name = "UNIF-DMD";
    method << "\n[[method]]\nname = " << quoted(method_name) << "\nmodel = " << quoted(model_name) << '\n';
    // Carboxylic acids dimerise in the vapour, enough to turn azeotropes
    // an ideal vapour predicts into none, or minimum into maximum ones.
    if (vapour == "auto" && acids)
        method << "vapour = \"chemical\"           # acid dimers in the vapour\n";
    else if (vapour == "virial")
        method << "vapour = \"virial\"             # second virial coefficients (Tsonopoulos)\n";
    else if (vapour == "chemical")
        method << "vapour = \"chemical\"           # acid dimers in the vapour\n";
    if (pairwise) {
        // Load the method as the engine would to learn each pair's numbers.
        const Problem p = ParseProblem(text_without_method + method.str() + "missing = " + quoted(missing) + '\n',
                                       "(databank)");
        const Method& m = p.methods.front();
        const std::size_t n = p.components.size();
        method << "databank = false             # every pair is written below\n"
               << "missing = \"error\"\n";
        for (Pair pr : m.pairs) {
            // A pair the caller gives (fitted to measurements) replaces the
            // databank's, in either orientation.
            double alpha = m.model == Model::Nrtl ? m.c[pr.i * n + pr.j] : 0.3;
            for (const Pair& o : overrides)
                if ((o.i == pr.i && o.j == pr.j) || (o.i == pr.j && o.j == pr.i)) {
                    pr = o;
                    alpha = o.alpha;
                }
            method << "\n[[method.pair]]                # " << pr.source << '\n'
                   << "i = " << quoted(p.components[pr.i].id) << "\nj = " << quoted(p.components[pr.j].id) << '\n';
            if (pr.aij != 0.0 || pr.aji != 0.0) method << "aij = " << num(pr.aij) << "\naji = " << num(pr.aji) << '\n';
            method << "bij = " << num(pr.bij) << "                   # K\nbji = " << num(pr.bji) << '\n';
            if (m.model == Model::Nrtl) method << "alpha = " << num(alpha) << '\n';
            method << "source = " << quoted(pr.source) << '\n';
            if (pr.regressed != Regressed::NotStated)
                method << "vapour = " << quoted(std::string(RegressedName(pr.regressed)))
                       << "               # the vapour it was regressed with\n";
        }
    }
    return withPhaseSetting(text_without_method + method.str(), pressure);
}

std::string FittedProblemText(const std::vector<std::string>& names, std::string_view model, const Pair& pair,
                              double pressure, std::string_view vapour) {
    if (names.size() != 2) throw ProblemError("a fitted pair needs two components");
    if (model != "NRTL" && model != "UNIQUAC" && model != "WILSON")
        throw ProblemError("model " + std::string(model) + " takes no binary pairs");
    return DatabankProblemText(names, model, "estimate", pressure, vapour, {pair});
}

}  // namespace propcore
