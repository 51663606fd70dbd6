#include "databank.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace propcore {
namespace {

std::string lower(std::string_view s) {
    std::string out(s);
    std::ranges::transform(out, out.begin(), [](unsigned char c) { return std::tolower(c); });
    return out;
}

std::vector<std::string> splitTabs(const std::string& line) {
    std::vector<std::string> out;
    std::size_t start = 0;
    for (;;) {
        const auto tab = line.find('\t', start);
        out.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos) break;
        start = tab + 1;
    }
    return out;
}

// A table: the header's column names and the rows, comment lines skipped.
struct Table {
    std::string file;
    std::map<std::string, std::size_t> column;
    std::vector<std::vector<std::string>> rows;
    std::vector<std::size_t> lines;

    const std::string& cell(std::size_t row, const std::string& name) const {
        auto it = column.find(name);
        if (it == column.end()) throw DatabankError(file + ": no column '" + name + "'");
        return rows[row][it->second];
    }
    [[noreturn]] void bad(std::size_t row, const std::string& name, const std::string& what) const {
        throw DatabankError(file + ":" + std::to_string(lines[row]) + ": column '" + name + "': " + what);
    }
    double number(std::size_t row, const std::string& name) const {
        const std::string& s = cell(row, name);
        double v = 0.0;
        const auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
        if (ec != std::errc() || p != s.data() + s.size() || !std::isfinite(v)) bad(row, name, "not a number");
        return v;
    }
    std::optional<double> optionalNumber(std::size_t row, const std::string& name) const {
        if (cell(row, name).empty()) return std::nullopt;
        return number(row, name);
    }
    int integer(std::size_t row, const std::string& name) const {
        const std::string& s = cell(row, name);
        int v = 0;
        const auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
        if (ec != std::errc() || p != s.data() + s.size()) bad(row, name, "not an integer");
        return v;
    }
};

Table readTable(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw DatabankError(path + ": cannot open the databank table");
    Table t;
    t.file = path;
    std::string line;
    std::size_t n = 0;
    bool header = false;
    while (std::getline(in, line)) {
        ++n;
        if (line.empty() || line[0] == '#') continue;
        auto cells = splitTabs(line);
        if (!header) {
            for (std::size_t k = 0; k < cells.size(); ++k) t.column[cells[k]] = k;
            header = true;
            continue;
        }
        if (cells.size() != t.column.size())
            throw DatabankError(path + ":" + std::to_string(n) + ": expected " + std::to_string(t.column.size()) +
                                " columns, found " + std::to_string(cells.size()));
        t.rows.push_back(std::move(cells));
        t.lines.push_back(n);
    }
    if (!header) throw DatabankError(path + ": empty databank table");
    return t;
}

GroupCounts parseGroups(const Table& t, std::size_t row, const std::string& name) {
    GroupCounts g;
    std::istringstream s(t.cell(row, name));
    std::string item;
    while (s >> item) {
        const auto colon = item.find(':');
        int k = 0, v = 0;
        if (colon == std::string::npos ||
            std::from_chars(item.data(), item.data() + colon, k).ec != std::errc() ||
            std::from_chars(item.data() + colon + 1, item.data() + item.size(), v).ec != std::errc() || v <= 0)
            t.bad(row, name, "group '" + item + "' is not subgroup:count");
        g.emplace_back(k, v);
    }
    return g;
}

std::optional<GroupModel> groupModel(std::string_view name) {
    for (GroupModel m : {GroupModel::Unifac, GroupModel::UnifacLle, GroupModel::UnifacDmd})
        if (GroupModelName(m) == name) return m;
    return std::nullopt;
}

}  // namespace

std::string_view GroupModelName(GroupModel m) {
    switch (m) {
        case GroupModel::Unifac: return "UNIFAC";
        case GroupModel::UnifacLle: return "UNIFAC-LLE";
        case GroupModel::UnifacDmd: return "UNIFAC-DMD";
    }
    return "?";
}

std::size_t EditDistance(std::string_view a, std::string_view b) {
    std::vector<std::size_t> prev(b.size() + 1), cur(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) prev[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        cur[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const bool same = std::tolower(static_cast<unsigned char>(a[i - 1])) ==
                              std::tolower(static_cast<unsigned char>(b[j - 1]));
            cur[j] = std::min({prev[j] + 1, cur[j - 1] + 1, prev[j - 1] + (same ? 0 : 1)});
        }
        std::swap(prev, cur);
    }
    return prev[b.size()];
}

std::string Databank::DefaultDirectory() {
    if (const char* d = std::getenv("TERNIVAL_DATA_DIR"); d && *d) return d;
    return PROPCORE_DATA_DIR;
}

const Databank& Databank::Get() {
    static const Databank bank = Load(DefaultDirectory());
    return bank;
}

Databank Databank::Load(const std::string& dir) {
    Databank d;
    d.dir_ = dir;
    // ChemSep's compounds, then the common solvents it lacks (from another
    // open source, each row naming its sources).
    for (const char* file : {"/components.tsv", "/components_extra.tsv"}) {
    const Table c = readTable(dir + file);
    const bool own_source = c.column.count("source") > 0;
    for (std::size_t k = 0; k < c.rows.size(); ++k) {
        DatabankCompound x;
        if (own_source) x.source = c.cell(k, "source");
        x.cas = c.cell(k, "cas");
        x.name = c.cell(k, "name");
        x.formula = c.cell(k, "formula");
        x.mw = c.number(k, "mw");
        x.tc = c.optionalNumber(k, "tc");
        x.pc = c.optionalNumber(k, "pc");
        x.omega = c.optionalNumber(k, "omega");
        x.tb = c.optionalNumber(k, "tb");
        std::istringstream ps(c.cell(k, "psat"));
        for (double& v : x.antoine)
            if (!(ps >> v) || !std::isfinite(v)) c.bad(k, "psat", "needs six numbers");
        x.tmin = c.number(k, "tmin");
        x.tmax = c.number(k, "tmax");
        x.r = c.optionalNumber(k, "r");
        x.q = c.optionalNumber(k, "q");
        x.vl = c.optionalNumber(k, "vl");
        x.groups[0] = parseGroups(c, k, "unifac");
        x.groups[1] = parseGroups(c, k, "unifac_lle");
        x.groups[2] = parseGroups(c, k, "unifac_dmd");
        if (!(x.mw > 0.0) || !(x.tmin < x.tmax)) c.bad(k, "mw", "implausible compound record");
        if (d.byCas(x.cas)) c.bad(k, "cas", "compound " + x.cas + " is in the databank already");
        d.compounds_.push_back(std::move(x));
    }
    }
    // Dimerisation constants of carboxylic acids (the first row of a CAS
    // number is the one recommended).
    const Table dim = readTable(dir + "/acid_dimerisation.tsv");
    for (std::size_t k = 0; k < dim.rows.size(); ++k) {
        for (auto& c : d.compounds_)
            if (c.cas == dim.cell(k, "cas") && !c.dimer) {
                c.dimer = std::array<double, 2>{dim.number(k, "A"), dim.number(k, "B")};
                c.dimer_source = dim.cell(k, "cite");
            }
    }
    const Table polar = readTable(dir + "/virial_polar.tsv");
    for (std::size_t k = 0; k < polar.rows.size(); ++k)
        for (auto& c : d.compounds_)
            if (c.cas == polar.cell(k, "cas")) {
                c.virial_a = polar.number(k, "a");
                c.virial_b = polar.number(k, "b");
            }
    const Table syn = readTable(dir + "/synonyms.tsv");
    for (std::size_t k = 0; k < syn.rows.size(); ++k) {
        const std::string& cas = syn.cell(k, "cas");
        // Synonyms of compounds this databank does not hold are left out.
        if (d.byCas(cas)) d.synonyms_[lower(syn.cell(k, "synonym"))] = cas;
    }
    // NRTL_CHEMICAL: acid pairs fitted with the chemical vapour (the other
    // sets were regressed with an ideal one).
    for (const char* set : {"NRTL", "UNIQUAC", "WILSON", "NRTL_CHEMICAL"}) {
        const Table t = readTable(dir + "/pairs_" + lower(set) + ".tsv");
        auto& m = d.pairs_[set];
        for (std::size_t k = 0; k < t.rows.size(); ++k) {
            DatabankPair p;
            p.cas_i = t.cell(k, "cas_i");
            p.cas_j = t.cell(k, "cas_j");
            p.aij = t.number(k, "aij");
            p.aji = t.number(k, "aji");
            p.bij = t.number(k, "bij");
            p.bji = t.number(k, "bji");
            p.alpha = t.optionalNumber(k, "alpha");
            p.comment = t.cell(k, "comment");
            m.emplace(std::pair{p.cas_i, p.cas_j}, std::move(p));
        }
    }
    const Table g = readTable(dir + "/unifac_groups.tsv");
    for (std::size_t k = 0; k < g.rows.size(); ++k) {
        const auto model = groupModel(g.cell(k, "model"));
        if (!model) g.bad(k, "model", "unknown model");
        Subgroup s{g.integer(k, "subgroup"), g.cell(k, "name"), g.integer(k, "main"), g.number(k, "R"),
                   g.number(k, "Q")};
        d.subgroups_[static_cast<int>(*model)][s.number] = s;
    }
    const Table ia = readTable(dir + "/unifac_interactions.tsv");
    for (std::size_t k = 0; k < ia.rows.size(); ++k) {
        const auto model = groupModel(ia.cell(k, "model"));
        if (!model) ia.bad(k, "model", "unknown model");
        d.interactions_[static_cast<int>(*model)][{ia.integer(k, "main_m"), ia.integer(k, "main_n")}] =
            GroupInteraction{ia.number(k, "a"), ia.number(k, "b"), ia.number(k, "c")};
    }
    return d;
}

const DatabankCompound* Databank::byCas(std::string_view cas) const {
    for (const auto& c : compounds_)
        if (c.cas == cas) return &c;
    return nullptr;
}

const DatabankCompound& Databank::Find(std::string_view text) const {
    const std::string key = lower(text);
    for (const auto& c : compounds_)
        if (c.cas == text || lower(c.name) == key) return c;
    if (auto it = synonyms_.find(key); it != synonyms_.end())
        if (const auto* c = byCas(it->second)) return *c;
    // Straight-chain compounds are listed as n-hexane, n-heptane, ...
    for (const auto& c : compounds_)
        if (lower(c.name) == "n-" + key) return c;
    std::vector<const DatabankCompound*> same_formula;
    for (const auto& c : compounds_)
        if (!c.formula.empty() && c.formula == text) same_formula.push_back(&c);
    if (same_formula.size() == 1) return *same_formula.front();
    if (same_formula.size() > 1) {
        std::string list;
        for (const auto* c : same_formula) list += (list.empty() ? "" : ", ") + c->name;
        throw DatabankError("formula " + std::string(text) + " fits several compounds (" + list +
                            "): name one of them");
    }
    // Close matches: small edit distance or the text inside the name.
    std::vector<std::pair<std::size_t, const DatabankCompound*>> near;
    for (const auto& c : compounds_) {
        const std::size_t d = EditDistance(key, lower(c.name));
        const std::size_t limit = std::max<std::size_t>(2, key.size() / 4);
        const bool inside = key.size() >= 4 && lower(c.name).find(key) != std::string::npos;
        if (d <= limit) near.emplace_back(d, &c);
        else if (inside) near.emplace_back(limit + 1, &c);
    }
    std::ranges::stable_sort(near, {}, &decltype(near)::value_type::first);
    std::string msg = "'" + std::string(text) + "' is not in the databank (name, CAS number or formula)";
    if (!near.empty()) {
        msg += "; did you mean ";
        for (std::size_t k = 0; k < near.size() && k < 5; ++k)
            msg += (k ? ", " : "") + near[k].second->name;
        msg += "?";
    }
    throw DatabankError(msg);
}

std::vector<const DatabankCompound*> Databank::Search(std::string_view text) const {
    const std::string key = lower(text);
    // Rank 0: the name, a synonym, the CAS number or the formula is the
    // text; 1: the name (or a synonym) begins with it; 2: contains it.
    std::vector<std::pair<int, const DatabankCompound*>> found;
    for (const auto& c : compounds_) {
        const std::string name = lower(c.name);
        int rank = 3;
        if (key.empty()) rank = 2;
        if (name.find(key) != std::string::npos) rank = 2;
        if (name.starts_with(key) || name.starts_with("n-" + key)) rank = 1;
        if (name == key || name == "n-" + key || c.cas == text || lower(c.formula) == key) rank = 0;
        for (const auto& [synonym, cas] : synonyms_) {
            if (cas != c.cas) continue;
            if (synonym == key) rank = 0;
            else if (synonym.starts_with(key)) rank = std::min(rank, 1);
        }
        if (rank < 3) found.emplace_back(rank, &c);
    }
    std::ranges::stable_sort(found, {}, &decltype(found)::value_type::first);
    std::vector<const DatabankCompound*> out;
    for (const auto& f : found) out.push_back(f.second);
    return out;
}

std::optional<DatabankPair> Databank::FindPair(std::string_view set, std::string_view cas_i,
                                               std::string_view cas_j) const {
    auto s = pairs_.find(std::string(set));
    if (s == pairs_.end()) return std::nullopt;
    if (auto it = s->second.find({std::string(cas_i), std::string(cas_j)}); it != s->second.end())
        return it->second;
    if (auto it = s->second.find({std::string(cas_j), std::string(cas_i)}); it != s->second.end()) {
        DatabankPair p = it->second;
        std::swap(p.cas_i, p.cas_j);
        std::swap(p.aij, p.aji);
        std::swap(p.bij, p.bji);
        return p;
    }
    return std::nullopt;
}

std::size_t Databank::PairCount(std::string_view set) const {
    auto s = pairs_.find(std::string(set));
    return s == pairs_.end() ? 0 : s->second.size();
}

const Subgroup* Databank::FindSubgroup(GroupModel m, int number) const {
    const auto& t = subgroups_[static_cast<int>(m)];
    auto it = t.find(number);
    return it == t.end() ? nullptr : &it->second;
}

const GroupInteraction* Databank::FindInteraction(GroupModel m, int main_m, int main_n) const {
    if (main_m == main_n) {
        static const GroupInteraction zero{};
        return &zero;
    }
    const auto& t = interactions_[static_cast<int>(m)];
    auto it = t.find({main_m, main_n});
    return it == t.end() ? nullptr : &it->second;
}

}  // namespace propcore
