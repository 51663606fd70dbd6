#include "problem.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <cstdio>
#include <set>
#include <sstream>
#include <utility>

#include <toml++/toml.h>

#include "estimate.h"

namespace propcore {
namespace {

std::string where(const std::string& file, const toml::source_region& src) {
    std::ostringstream o;
    o << file;
    if (src.begin.line) o << ':' << src.begin.line << ':' << src.begin.column;
    return o.str();
}

// A message that quotes the file's own strings shows their control
// characters as escapes: a NUL would otherwise end the message where it
// stands, and others would garble the line.
std::string Printable(std::string_view text) {
    std::string out;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", u);
            out += esc;
        } else {
            out += c;
        }
    }
    return out;
}

[[noreturn]] void fail(const std::string& file, const toml::node* node,
                       const toml::source_region& fallback, std::string_view field,
                       std::string_view what) {
    std::ostringstream o;
    o << where(file, node ? node->source() : fallback) << ": field '" << field << "': " << what;
    throw ProblemError(Printable(o.str()));
}

std::string upper(std::string_view s) {
    std::string out(s);
    std::ranges::transform(out, out.begin(), [](unsigned char c) { return std::toupper(c); });
    return out;
}

double number(const std::string& file, const toml::table& t, std::string_view key,
              std::string_view field, std::optional<double> fallback = std::nullopt) {
    const toml::node* n = t.get(key);
    if (!n) {
        if (fallback) return *fallback;
        fail(file, nullptr, t.source(), field, "missing");
    }
    if (auto v = n->value<double>()) {
        if (!std::isfinite(*v)) fail(file, n, t.source(), field, "must be a finite number");
        return *v;
    }
    fail(file, n, t.source(), field, "must be a number");
}

std::string text(const std::string& file, const toml::table& t, std::string_view key,
                 std::string_view field, std::size_t max_len, bool required) {
    const toml::node* n = t.get(key);
    if (!n) {
        if (required) fail(file, nullptr, t.source(), field, "missing");
        return {};
    }
    auto v = n->value<std::string>();
    if (!v) fail(file, n, t.source(), field, "must be a string");
    if (max_len && v->size() > max_len)
        fail(file, n, t.source(), field, "longer than " + std::to_string(max_len) + " characters");
    return *v;
}

const toml::array* arrayOfTables(const std::string& file, const toml::table& t,
                                 std::string_view key, std::string_view field) {
    const toml::node* n = t.get(key);
    if (!n) return nullptr;
    const toml::array* a = n->as_array();
    if (!a || !a->is_array_of_tables())
        fail(file, n, t.source(), field, "must be an array of tables ([[" + std::string(key) + "]])");
    return a;
}

// A key the table does not know is an error: a misspelt key would otherwise
// be ignored and its value silently lost.
void onlyKnownKeys(const std::string& file, const toml::table& t, std::string_view prefix,
                   std::initializer_list<std::string_view> known) {
    for (const auto& [k, v] : t) {
        const std::string_view key = k.str();
        if (std::ranges::find(known, key) != known.end()) continue;
        std::string msg = "unknown key";
        std::string_view best;
        std::size_t best_d = 3;
        for (std::string_view c : known)
            if (const std::size_t d = EditDistance(key, c); d < best_d) best_d = d, best = c;
        if (!best.empty()) msg += "; did you mean '" + std::string(best) + "'?";
        else {
            msg += " (known: ";
            bool first = true;
            for (std::string_view c : known) msg += (first ? "" : ", ") + std::string(c), first = false;
            msg += ")";
        }
        fail(file, &v, t.source(), std::string(prefix) + std::string(key), msg);
    }
}

std::optional<Model> modelByName(std::string_view name) {
    for (Model m : {Model::Ideal, Model::Wilson, Model::Nrtl, Model::Uniquac, Model::Unifac, Model::UnifacLle,
                    Model::UnifacDmd})
        if (ModelName(m) == name) return m;
    return std::nullopt;
}

// The ID a databank compound gets when the file gives none: the letters
// and digits of its name, upper case, at most 8.
std::string idFromName(std::string_view name) {
    std::string id;
    for (char c : name)
        if (std::isalnum(static_cast<unsigned char>(c)) && id.size() < 8)
            id += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return id;
}

GroupCounts groupsFromToml(const std::string& file, const toml::table& t, std::string_view key,
                           const std::string& field) {
    const toml::node* n = t.get(key);
    const toml::array* a = n->as_array();
    GroupCounts g;
    if (!a) fail(file, n, t.source(), field, "must be an array of [subgroup, count] pairs");
    if (a->size() > kMaxGroupsPerComponent)
        fail(file, n, t.source(), field,
             "has " + std::to_string(a->size()) + " subgroups; a component takes at most " +
                 std::to_string(kMaxGroupsPerComponent));
    for (const toml::node& item : *a) {
        const toml::array* p = item.as_array();
        std::optional<std::int64_t> sub, cnt;
        if (p && p->size() == 2) sub = p->get(0)->value<std::int64_t>(), cnt = p->get(1)->value<std::int64_t>();
        if (!sub || !cnt || *sub <= 0 || *cnt <= 0 || *sub > 1000 || *cnt > 1000)
            fail(file, &item, t.source(), field, "each element must be [subgroup, count] with positive integers");
        g.emplace_back(static_cast<int>(*sub), static_cast<int>(*cnt));
    }
    return g;
}

Component readComponent(const std::string& file, const toml::table& t, const std::string& f) {
    onlyKnownKeys(file, t, f,
                  {"databank", "id", "name", "formula", "cas", "mw", "antoine", "tb", "r", "q", "tc", "tmin",
                   "tmax", "vl", "unifac", "unifac_lle", "unifac_dmd", "source", "pc", "omega", "virial_a",
                   "virial_b", "dimer"});
    Component c;
    std::vector<std::string> overridden;
    const DatabankCompound* db = nullptr;
    if (t.get("databank")) {
        const std::string key = text(file, t, "databank", f + "databank", 0, true);
        try {
            db = &Databank::Get().Find(key);
        } catch (const DatabankError& e) {
            fail(file, t.get("databank"), t.source(), f + "databank", e.what());
        }
        c.long_name = db->name;
        c.name = db->name.substr(0, 12);
        c.id = idFromName(db->name);
        c.formula = db->formula.substr(0, 16);
        c.cas = db->cas;
        c.mw = db->mw;
        c.antoine = db->antoine;
        c.tb = db->tb.value_or(0.0);
        c.r = db->r;
        c.q = db->q;
        c.tc = db->tc;
        c.tmin = db->tmin;
        c.tmax = db->tmax;
        c.vl = db->vl;
        c.groups = db->groups;
        c.pc = db->pc;
        c.omega = db->omega;
        c.dimer = db->dimer;
        c.virial_a = db->virial_a;
        c.virial_b = db->virial_b;
    }
    if (t.get("id") || !db) {
        c.id = upper(text(file, t, "id", f + "id", 8, true));
        // IDs travel in blank-padded fields and into names of files and
        // messages: printable characters only.
        if (c.id.empty() || std::ranges::any_of(c.id, [](unsigned char ch) { return ch <= ' ' || ch == 0x7f; }))
            fail(file, t.get("id"), t.source(), f + "id",
                 "must be non-empty, without blanks or control characters (\"" + c.id + "\")");
    }
    if (t.get("name") || !db) c.name = text(file, t, "name", f + "name", 12, false);
    if (c.name.empty()) c.name = c.id;
    if (c.long_name.empty()) c.long_name = c.name;
    if (t.get("formula")) c.formula = text(file, t, "formula", f + "formula", 16, false);
    if (t.get("cas")) c.cas = text(file, t, "cas", f + "cas", 16, false);
    if (t.get("mw") || !db) {
        c.mw = number(file, t, "mw", f + "mw");
        if (!(c.mw > 0.0)) fail(file, t.get("mw"), t.source(), f + "mw", "must be positive");
    }
    if (const toml::node* an = t.get("antoine"); an || !db) {
        if (!an) fail(file, nullptr, t.source(), f + "antoine", "missing");
        const toml::array* aa = an->as_array();
        if (!aa || aa->size() < 2 || aa->size() > 6)
            fail(file, an, t.source(), f + "antoine", "must be an array of 2 to 6 numbers [A, B, C, D, E, F]");
        c.antoine = {};
        for (std::size_t m = 0; m < aa->size(); ++m) {
            auto v = aa->get(m)->value<double>();
            if (!v || !std::isfinite(*v))
                fail(file, aa->get(m), t.source(), f + "antoine",
                     "element " + std::to_string(m + 1) + " is not a finite number");
            c.antoine[m] = *v;
        }
        // A file's own correlation does not inherit the databank's range.
        if (db && !t.get("tmin")) c.tmin.reset();
        if (db && !t.get("tmax")) c.tmax.reset();
    }
    if (t.get("tb")) c.tb = number(file, t, "tb", f + "tb");
    for (auto [key, field] : {std::pair{"r", &c.r}, std::pair{"q", &c.q}, std::pair{"vl", &c.vl}}) {
        if (!t.get(key)) continue;
        const double v = number(file, t, key, f + key);
        if (!(v > 0.0)) fail(file, t.get(key), t.source(), f + key, "must be positive");
        *field = v;
    }
    for (auto [key, field] : {std::pair{"tc", &c.tc}, std::pair{"tmin", &c.tmin}, std::pair{"tmax", &c.tmax}}) {
        if (!t.get(key)) continue;
        const double v = number(file, t, key, f + key);
        if (!(v > 0.0)) fail(file, t.get(key), t.source(), f + key, "must be a positive temperature, K");
        *field = v;
    }
    if (c.tmin && c.tmax && !(*c.tmin < *c.tmax))
        fail(file, t.get("tmax"), t.source(), f + "tmax", "must lie above tmin");
    if (t.get("pc")) {
        c.pc = number(file, t, "pc", f + "pc");
        if (!(*c.pc > 0.0)) fail(file, t.get("pc"), t.source(), f + "pc", "must be a positive pressure, Pa");
    }
    if (t.get("omega")) c.omega = number(file, t, "omega", f + "omega");
    if (t.get("virial_a")) c.virial_a = number(file, t, "virial_a", f + "virial_a");
    if (t.get("virial_b")) c.virial_b = number(file, t, "virial_b", f + "virial_b");
    if (const toml::node* dn = t.get("dimer")) {
        const toml::array* da = dn->as_array();
        std::optional<double> a, b;
        if (da && da->size() == 2) a = da->get(0)->value<double>(), b = da->get(1)->value<double>();
        if (!a || !b || !std::isfinite(*a) || !std::isfinite(*b))
            fail(file, dn, t.source(), f + "dimer", "must be [A, B] of ln(K/Pa^-1) = A + B/T");
        c.dimer = std::array<double, 2>{*a, *b};
    }
    const std::pair<const char*, GroupModel> group_keys[] = {
        {"unifac", GroupModel::Unifac}, {"unifac_lle", GroupModel::UnifacLle}, {"unifac_dmd", GroupModel::UnifacDmd}};
    for (auto [key, gm] : group_keys)
        if (t.get(key)) c.groups[static_cast<int>(gm)] = groupsFromToml(file, t, key, f + key);
    if (db) {
        // Values the file changes from the databank's (a value written out
        // unchanged, as `ternival problem` does, is still the databank's).
        auto differs = [](const std::optional<double>& a, const std::optional<double>& b) {
            return a.has_value() != b.has_value() || (a && std::abs(*a - *b) > 1e-12 * std::abs(*b));
        };
        if (std::abs(c.mw - db->mw) > 1e-12 * db->mw) overridden.emplace_back("mw");
        if (c.antoine != db->antoine) overridden.emplace_back("antoine");
        if (differs(c.tb > 0 ? std::optional(c.tb) : std::nullopt, db->tb)) overridden.emplace_back("tb");
        if (differs(c.tc, db->tc)) overridden.emplace_back("tc");
        if (differs(c.tmin, db->tmin)) overridden.emplace_back("tmin");
        if (differs(c.tmax, db->tmax)) overridden.emplace_back("tmax");
        if (differs(c.r, db->r)) overridden.emplace_back("r");
        if (differs(c.q, db->q)) overridden.emplace_back("q");
        if (differs(c.vl, db->vl)) overridden.emplace_back("vl");
        if (c.groups != db->groups) overridden.emplace_back("groups");
        c.source = "databank: " + db->name + " (CAS " + db->cas + ")";
        if (!overridden.empty()) {
            c.source += "; from the file:";
            for (const auto& k : overridden) c.source += " " + k;
        }
    } else {
        c.source = "file";
    }
    if (t.get("source") && !db) c.source = text(file, t, "source", f + "source", 0, false) + " (as written in the file)";
    return c;
}

void setPair(Method& m, std::size_t n, const Pair& pr, double ci = 0.0, double cj = 0.0, double di = 0.0,
             double dj = 0.0, double ei = 0.0, double ej = 0.0, double fi = 0.0, double fj = 0.0) {
    const std::size_t ij = pr.i * n + pr.j, ji = pr.j * n + pr.i;
    m.a[ij] = pr.aij;
    m.a[ji] = pr.aji;
    m.b[ij] = pr.bij;
    m.b[ji] = pr.bji;
    if (m.model == Model::Nrtl) {
        m.c[ij] = m.c[ji] = pr.alpha;
        m.d[ij] = m.d[ji] = di;
        m.e[ij] = ei;
        m.e[ji] = ej;
        m.f[ij] = fi;
        m.f[ji] = fj;
    } else {
        m.c[ij] = ci;
        m.c[ji] = cj;
        m.d[ij] = di;
        m.d[ji] = dj;
    }
    m.pairs.push_back(pr);
}

}  // namespace

std::optional<std::string> ResolveGroups(const Problem& p, Method& m, MissingPairs missing,
                                         std::vector<std::string>* notes) {
    const GroupModel gm = *GroupModelOf(m.model);
    const Databank& bank = Databank::Get();
    m.groups = GroupTables{};
    m.groups.model = gm;
    std::set<int> mains;
    for (const Component& c : p.components) {
        const GroupCounts& g = c.groups[static_cast<int>(gm)];
        if (g.empty())
            return "component " + c.id + " has no " + std::string(GroupModelName(gm)) + " groups";
        for (auto [sub, count] : g) {
            const Subgroup* s = bank.FindSubgroup(gm, sub);
            if (!s)
                return "component " + c.id + ": " + std::string(GroupModelName(gm)) + " has no subgroup " +
                       std::to_string(sub);
            m.groups.subgroups[sub] = *s;
            mains.insert(s->main);
        }
    }
    // The components that hold a main group.
    auto holders = [&](int main) {
        std::vector<std::size_t> out;
        for (std::size_t k = 0; k < p.components.size(); ++k)
            for (auto [sub, count] : p.components[k].groups[static_cast<int>(gm)])
                if (const Subgroup* s = bank.FindSubgroup(gm, sub); s && s->main == main) {
                    out.push_back(k);
                    break;
                }
        return out;
    };
    for (int a : mains)
        for (int b : mains) {
            if (a == b) continue;
            if (const GroupInteraction* ia = bank.FindInteraction(gm, a, b)) {
                m.groups.interactions[{a, b}] = *ia;
                continue;
            }
            if (a > b) continue;  // both orders are told once
            std::string pairs;
            for (std::size_t i : holders(a))
                for (std::size_t j : holders(b))
                    if (i != j)
                        pairs += (pairs.empty() ? "" : ", ") + p.components[std::min(i, j)].id + "/" +
                                 p.components[std::max(i, j)].id;
            const std::string what = std::string(GroupModelName(gm)) + " has no interaction parameters between main "
                                     "groups " + std::to_string(a) + " and " + std::to_string(b) + " (pairs " +
                                     pairs + ")";
            if (missing == MissingPairs::Refuse) return what + "; set missing = \"ideal\" to take them as zero";
            m.groups.interactions[{a, b}] = GroupInteraction{};
            m.groups.interactions[{b, a}] = GroupInteraction{};
            if (notes) notes->push_back(m.name + ": " + what + ": taken as zero (ideal)");
        }
    return std::nullopt;
}

std::string_view RegressedName(Regressed r) {
    switch (r) {
        case Regressed::NotStated: return "not stated";
        case Regressed::Any: return "any";
        case Regressed::Ideal: return "ideal";
        case Regressed::Virial: return "virial";
        case Regressed::Chemical: return "chemical";
    }
    return "?";
}

std::string_view VapourName(Vapour v) {
    switch (v) {
        case Vapour::Ideal: return "ideal";
        case Vapour::Virial: return "virial";
        case Vapour::Chemical: return "chemical";
    }
    return "?";
}

std::optional<GroupModel> GroupModelOf(Model m) {
    switch (m) {
        case Model::Unifac: return GroupModel::Unifac;
        case Model::UnifacLle: return GroupModel::UnifacLle;
        case Model::UnifacDmd: return GroupModel::UnifacDmd;
        default: return std::nullopt;
    }
}

std::string_view ModelName(Model m) {
    switch (m) {
        case Model::Ideal: return "IDEAL";
        case Model::Wilson: return "WILSON";
        case Model::Nrtl: return "NRTL";
        case Model::Uniquac: return "UNIQUAC";
        case Model::Unifac: return "UNIFAC";
        case Model::UnifacLle: return "UNIFAC-LLE";
        case Model::UnifacDmd: return "UNIFAC-DMD";
    }
    return "?";
}

Problem ParseProblem(std::string_view source, const std::string& file) {
    toml::table root;
    try {
        root = toml::parse(source, file);
    } catch (const toml::parse_error& e) {
        std::ostringstream o;
        o << where(file, e.source()) << ": " << e.description();
        throw ProblemError(o.str());
    }
    onlyKnownKeys(file, root, "",
                  {"title", "default_method", "default_phase", "missing", "component", "method"});
    Problem p;
    p.file = file;
    p.title = text(file, root, "title", "title", 0, false);

    auto missingPolicy = [&](const toml::table& t, std::string_view field, MissingPairs fallback) {
        if (!t.get("missing")) return fallback;
        const std::string v = text(file, t, "missing", field, 0, true);
        if (v == "estimate") return MissingPairs::Estimate;
        if (v == "ideal") return MissingPairs::Ideal;
        if (v == "error") return MissingPairs::Refuse;
        fail(file, t.get("missing"), t.source(), field,
             "must be \"estimate\" (from UNIFAC), \"ideal\" or \"error\"");
    };
    const MissingPairs file_missing = missingPolicy(root, "missing", MissingPairs::Estimate);

    const toml::array* comps = arrayOfTables(file, root, "component", "component");
    if (!comps || comps->empty())
        fail(file, nullptr, root.source(), "component", "at least one [[component]] is required");
    // Sizes are checked before anything grows with them (pairs and
    // mixtures grow with the square of the component count).
    if (comps->size() > kMaxComponents)
        fail(file, comps, root.source(), "component",
             "has " + std::to_string(comps->size()) + " components; the engine takes at most " +
                 std::to_string(kMaxComponents));
    for (std::size_t k = 0; k < comps->size(); ++k) {
        const toml::table& t = *comps->get(k)->as_table();
        const std::string f = "component[" + std::to_string(k + 1) + "].";
        Component c = readComponent(file, t, f);
        for (const auto& other : p.components)
            if (other.id == c.id)
                fail(file, t.get("id") ? t.get("id") : t.get("databank"), t.source(), f + "id",
                     "duplicate ID " + c.id + (t.get("id") ? "" : " (give the component an id of its own)"));
        p.components.push_back(std::move(c));
    }
    const std::size_t n = p.components.size();
    auto index = [&](const std::string& id) -> std::optional<std::size_t> {
        for (std::size_t i = 0; i < n; ++i)
            if (p.components[i].id == upper(id)) return i;
        return std::nullopt;
    };

    if (const toml::array* methods = arrayOfTables(file, root, "method", "method")) {
        if (methods->size() > kMaxMethods)
            fail(file, methods, root.source(), "method",
                 "has " + std::to_string(methods->size()) + " methods; the engine takes at most " +
                     std::to_string(kMaxMethods));
        for (std::size_t k = 0; k < methods->size(); ++k) {
            const toml::table& t = *methods->get(k)->as_table();
            const std::string f = "method[" + std::to_string(k + 1) + "].";
            onlyKnownKeys(file, t, f, {"name", "model", "pair", "databank", "missing", "vapour"});
            Method m;
            m.name = upper(text(file, t, "name", f + "name", 8, true));
            for (const auto& other : p.methods)
                if (other.name == m.name) fail(file, t.get("name"), t.source(), f + "name", "duplicate method " + m.name);
            const std::string model = upper(text(file, t, "model", f + "model", 0, true));
            if (auto mm = modelByName(model)) m.model = *mm;
            else
                fail(file, t.get("model"), t.source(), f + "model",
                     "unknown model '" + model + "' (IDEAL, WILSON, NRTL, UNIQUAC, UNIFAC, UNIFAC-LLE or UNIFAC-DMD)");
            if (t.get("vapour")) {
                const std::string v = text(file, t, "vapour", f + "vapour", 0, true);
                if (v == "ideal") m.vapour = Vapour::Ideal;
                else if (v == "virial") m.vapour = Vapour::Virial;
                else if (v == "chemical") m.vapour = Vapour::Chemical;
                else
                    fail(file, t.get("vapour"), t.source(), f + "vapour",
                         "must be \"ideal\", \"virial\" (second virial coefficients, Tsonopoulos) or "
                         "\"chemical\" (dimers of carboxylic acids)");
                for (const Component& c : p.components) {
                    if (m.vapour == Vapour::Virial && (!c.tc || !c.pc || !c.omega))
                        fail(file, t.get("vapour"), t.source(), f + "vapour",
                             "the virial vapour needs tc, pc and omega of component " + c.id);
                }
            }
            for (auto* v : {&m.a, &m.b, &m.c, &m.d, &m.e, &m.f}) v->assign(n * n, 0.0);
            if (m.model == Model::Nrtl) m.c.assign(n * n, 0.3);
            bool use_databank = true;
            if (const toml::node* d = t.get("databank")) {
                auto v = d->value<bool>();
                if (!v) fail(file, d, t.source(), f + "databank", "must be true or false");
                use_databank = *v;
            }
            const MissingPairs missing = missingPolicy(t, f + "missing", file_missing);
            const bool pairwise = m.model == Model::Wilson || m.model == Model::Nrtl || m.model == Model::Uniquac;
            std::vector<char> given(n * n, 0);
            if (const toml::array* pairs = arrayOfTables(file, t, "pair", f + "pair")) {
                if (!pairwise)
                    fail(file, pairs, t.source(), f + "pair",
                         "model " + std::string(ModelName(m.model)) + " takes no binary pairs");
                // As many pairs as the largest problem has; beyond that
                // no file is right, whatever its pairs say.
                constexpr std::size_t kMaxPairs = kMaxComponents * (kMaxComponents - 1) / 2;
                if (pairs->size() > kMaxPairs)
                    fail(file, pairs, t.source(), f + "pair",
                         "has " + std::to_string(pairs->size()) + " pairs; the engine takes at most " +
                             std::to_string(kMaxPairs));
                for (std::size_t q = 0; q < pairs->size(); ++q) {
                    const toml::table& pt = *pairs->get(q)->as_table();
                    const std::string g = f + "pair[" + std::to_string(q + 1) + "].";
                    if (m.model == Model::Nrtl)
                        onlyKnownKeys(file, pt, g,
                                      {"i", "j", "aij", "aji", "bij", "bji", "alpha", "dalpha", "eij", "eji", "fij",
                                       "fji", "source", "vapour"});
                    else if (m.model == Model::Uniquac)
                        onlyKnownKeys(file, pt, g,
                                      {"i", "j", "aij", "aji", "bij", "bji", "cij", "cji", "dij", "dji", "source",
                                       "vapour"});
                    else
                        onlyKnownKeys(file, pt, g, {"i", "j", "aij", "aji", "bij", "bji", "source", "vapour"});
                    const std::string si = text(file, pt, "i", g + "i", 8, true);
                    const std::string sj = text(file, pt, "j", g + "j", 8, true);
                    const auto i = index(si), j = index(sj);
                    if (!i) fail(file, pt.get("i"), pt.source(), g + "i", "unknown component " + si);
                    if (!j) fail(file, pt.get("j"), pt.source(), g + "j", "unknown component " + sj);
                    if (*i == *j) fail(file, pt.get("j"), pt.source(), g + "j", "a pair needs two different components");
                    auto num = [&](const char* key) { return number(file, pt, key, g + key, 0.0); };
                    Pair pr{*i, *j, num("aij"), num("aji"), num("bij"), num("bji"),
                            number(file, pt, "alpha", g + "alpha", 0.3), "file"};
                    if (pt.get("source")) pr.source = text(file, pt, "source", g + "source", 0, false) + " (as written in the file)";
                    if (pt.get("vapour")) {
                        const std::string v = text(file, pt, "vapour", g + "vapour", 0, true);
                        if (v == "any") pr.regressed = Regressed::Any;
                        else if (v == "ideal") pr.regressed = Regressed::Ideal;
                        else if (v == "virial") pr.regressed = Regressed::Virial;
                        else if (v == "chemical") pr.regressed = Regressed::Chemical;
                        else
                            fail(file, pt.get("vapour"), pt.source(), g + "vapour",
                                 "must be the vapour the pair was regressed with: \"ideal\", \"virial\", "
                                 "\"chemical\" or \"any\"");
                        // Dimerisation either absorbed into the activity
                        // coefficients or modelled in the vapour: the two
                        // cannot be mixed.
                        const bool chem_pair = pr.regressed == Regressed::Chemical;
                        const bool chem_method = m.vapour == Vapour::Chemical;
                        const bool acid = p.components[pr.i].dimer || p.components[pr.j].dimer;
                        if (acid && pr.regressed != Regressed::Any && chem_pair != chem_method)
                            fail(file, pt.get("vapour"), pt.source(), g + "vapour",
                                 "pair " + si + "/" + sj + " was regressed with the " + v +
                                     " vapour, but method " + m.name + " has the " +
                                     std::string(VapourName(m.vapour)) +
                                     " vapour; refit the pair (ternival fit) or change the method's vapour");
                    }
                    if (m.model == Model::Nrtl && !(pr.alpha > 0.0 && pr.alpha <= 1.0))
                        fail(file, pt.get("alpha"), pt.source(), g + "alpha", "must lie in (0, 1]");
                    // A second entry for a pair would silently replace the first.
                    if (given[pr.i * n + pr.j])
                        fail(file, pt.get("j"), pt.source(), g + "j",
                             "pair " + p.components[pr.i].id + "/" + p.components[pr.j].id +
                                 " is given twice in method " + m.name);
                    given[pr.i * n + pr.j] = given[pr.j * n + pr.i] = 1;
                    if (m.model == Model::Nrtl)
                        setPair(m, n, pr, 0.0, 0.0, num("dalpha"), num("dalpha"), num("eij"), num("eji"), num("fij"),
                                num("fji"));
                    else if (m.model == Model::Uniquac)
                        setPair(m, n, pr, num("cij"), num("cji"), num("dij"), num("dji"));
                    else
                        setPair(m, n, pr);
                }
            }
            // UNIQUAC's pure-component parameters must be there for every
            // component before any pair can be completed.
            if (m.model == Model::Uniquac && missing != MissingPairs::Ideal)
                for (const Component& c : p.components)
                    if (!c.r || !c.q)
                        fail(file, t.get("model"), t.source(), f + "model",
                             "UNIQUAC needs r and q of component " + c.id);
            if (pairwise) {
                for (std::size_t i = 0; i < n; ++i)
                    for (std::size_t j = i + 1; j < n; ++j) {
                        if (given[i * n + j]) continue;
                        const Component& ci = p.components[i];
                        const Component& cj = p.components[j];
                        const bool wilson_volumes = m.model != Model::Wilson || (ci.vl && cj.vl);
                        if (use_databank && !ci.cas.empty() && !cj.cas.empty() && wilson_volumes) {
                            std::optional<DatabankPair> db;
                            try {
                                db = Databank::Get().FindPair(ModelName(m.model), ci.cas, cj.cas);
                            } catch (const DatabankError& e) {
                                fail(file, t.get("model"), t.source(), f + "databank", e.what());
                            }
                            // The DECHEMA sets were regressed with an ideal
                            // vapour: for an acid that folds the vapour's
                            // dimerisation into the activity coefficients, so
                            // with the chemical vapour the pair is estimated
                            // instead (from activity coefficients alone).
                            const bool acid = ci.dimer || cj.dimer;
                            if (acid && m.vapour == Vapour::Chemical) {
                                // Acid pairs fitted with the chemical vapour
                                // to published equilibria come first.
                                std::optional<DatabankPair> chem;
                                if (m.model == Model::Nrtl)
                                    chem = Databank::Get().FindPair("NRTL_CHEMICAL", ci.cas, cj.cas);
                                if (chem) {
                                    setPair(m, n, Pair{i, j, chem->aij, chem->aji, chem->bij, chem->bji,
                                                       chem->alpha.value_or(0.3),
                                                       "NRTL fitted with the chemical vapour to " + chem->comment,
                                                       Regressed::Chemical});
                                    continue;
                                }
                                if (db)
                                    p.notes.push_back(m.name + " " + ci.id + "/" + cj.id + ": the databank's " +
                                                      std::string(ModelName(m.model)) +
                                                      " set was regressed with an ideal vapour and is not used with "
                                                      "the chemical one");
                                db.reset();
                            }
                            if (db) {
                                Pair pr{i, j, db->aij, db->aji, db->bij, db->bji, db->alpha.value_or(0.3),
                                        "ChemSep " + std::string(ModelName(m.model)) + " set (DECHEMA" +
                                            (db->comment.empty() ? "" : ", " + db->comment) + ")",
                                        Regressed::Ideal};
                                if (m.vapour != Vapour::Ideal)
                                    p.notes.push_back(m.name + " " + ci.id + "/" + cj.id + ": the databank's set, "
                                                      "regressed with an ideal vapour, is used with the " +
                                                      std::string(VapourName(m.vapour)) + " vapour");
                                if (m.model == Model::Wilson) {  // Lambda_ij = (V_j/V_i) exp(-A_ij/RT)
                                    pr.aij = std::log(*cj.vl / *ci.vl);
                                    pr.aji = std::log(*ci.vl / *cj.vl);
                                }
                                setPair(m, n, pr);
                                continue;
                            }
                        }
                        const std::string names = ci.id + "/" + cj.id;
                        if (missing == MissingPairs::Ideal) {
                            setPair(m, n, Pair{i, j, 0, 0, 0, 0, 0.3, "ideal (missing = \"ideal\")"});
                            continue;
                        }
                        if (missing == MissingPairs::Refuse)
                            fail(file, t.get("model"), t.source(), f + "pair",
                                 "pair " + names + " has no parameters (missing = \"error\")");
                        std::string why;
                        auto fit = EstimatePair(ci, cj, m.model, why);
                        if (!fit)
                            fail(file, t.get("model"), t.source(), f + "pair",
                                 "pair " + names + " has no parameters in the file or the databank, and " + why +
                                     "; give the pair, or set missing = \"ideal\"");
                        Pair pr{i, j, fit->aij, fit->aji, fit->bij, fit->bji, fit->alpha, fit->source, Regressed::Any};
                        setPair(m, n, pr);
                        p.notes.push_back(m.name + " " + names + ": " + fit->source);
                    }
            }
            if (GroupModelOf(m.model)) {
                if (auto why = ResolveGroups(p, m, missing, &p.notes))
                    fail(file, t.get("model"), t.source(), f + "model", *why);
            }
            p.methods.push_back(std::move(m));
        }
    }
    if (p.methods.empty()) {  // a problem without methods still flashes ideally
        Method ideal;
        ideal.name = "IDEAL";
        for (auto* v : {&ideal.a, &ideal.b, &ideal.c, &ideal.d, &ideal.e, &ideal.f}) v->assign(n * n, 0.0);
        p.methods.push_back(std::move(ideal));
    }
    if (const toml::node* d = root.get("default_phase")) {
        auto phase = d->value<std::int64_t>();
        if (!phase || (*phase != 2 && *phase != 3))
            fail(file, d, root.source(), "default_phase", "must be 2 (vapour-liquid) or 3 (vapour-liquid-liquid)");
        p.default_phase = static_cast<int>(*phase);
    }
    if (const toml::node* d = root.get("default_method")) {
        auto name = d->value<std::string>();
        if (!name) fail(file, d, root.source(), "default_method", "must be a string");
        const std::string u = upper(*name);
        auto it = std::ranges::find_if(p.methods, [&](const Method& m) { return m.name == u; });
        if (it == p.methods.end()) fail(file, d, root.source(), "default_method", "no method named " + u);
        p.default_method = static_cast<std::size_t>(it - p.methods.begin());
    }
    return p;
}

Problem LoadProblem(const std::string& path) {
    // Only a regular file of sensible size: a FIFO would block the engine
    // forever and a device such as /dev/zero would be read without end.
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (ec || !std::filesystem::exists(status))
        throw ProblemError(path + ": cannot open the problem definition file");
    if (!std::filesystem::is_regular_file(status))
        throw ProblemError(path + ": not a regular file");
    if (std::filesystem::file_size(path, ec) > kMaxProblemBytes || ec)
        throw ProblemError(path + ": larger than " + std::to_string(kMaxProblemBytes >> 20) + " MiB");
    std::ifstream in(path, std::ios::binary);
    if (!in) throw ProblemError(path + ": cannot open the problem definition file");
    std::ostringstream s;
    s << in.rdbuf();
    return ParseProblem(s.str(), path);
}

}  // namespace propcore
