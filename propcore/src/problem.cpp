#include "problem.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <utility>

#include <toml++/toml.h>

namespace propcore {
namespace {

std::string where(const std::string& file, const toml::source_region& src) {
    std::ostringstream o;
    o << file;
    if (src.begin.line) o << ':' << src.begin.line << ':' << src.begin.column;
    return o.str();
}

[[noreturn]] void fail(const std::string& file, const toml::node* node,
                       const toml::source_region& fallback, std::string_view field,
                       std::string_view what) {
    std::ostringstream o;
    o << where(file, node ? node->source() : fallback) << ": field '" << field << "': " << what;
    throw ProblemError(o.str());
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
    if (auto v = n->value<double>()) return *v;
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

}  // namespace

std::string_view ModelName(Model m) {
    switch (m) {
        case Model::Ideal: return "IDEAL";
        case Model::Wilson: return "WILSON";
        case Model::Nrtl: return "NRTL";
        case Model::Uniquac: return "UNIQUAC";
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
    Problem p;
    p.file = file;
    p.title = text(file, root, "title", "title", 0, false);

    const toml::array* comps = arrayOfTables(file, root, "component", "component");
    if (!comps || comps->empty())
        fail(file, nullptr, root.source(), "component", "at least one [[component]] is required");
    for (std::size_t k = 0; k < comps->size(); ++k) {
        const toml::table& t = *comps->get(k)->as_table();
        const std::string f = "component[" + std::to_string(k + 1) + "].";
        Component c;
        c.id = upper(text(file, t, "id", f + "id", 8, true));
        if (c.id.empty() || c.id.find(' ') != std::string::npos)
            fail(file, t.get("id"), t.source(), f + "id", "must be non-empty without blanks");
        for (const auto& other : p.components)
            if (other.id == c.id) fail(file, t.get("id"), t.source(), f + "id", "duplicate ID " + c.id);
        c.name = text(file, t, "name", f + "name", 12, false);
        if (c.name.empty()) c.name = c.id;
        c.formula = text(file, t, "formula", f + "formula", 16, false);
        c.mw = number(file, t, "mw", f + "mw");
        if (!(c.mw > 0.0)) fail(file, t.get("mw"), t.source(), f + "mw", "must be positive");
        const toml::node* an = t.get("antoine");
        if (!an) fail(file, nullptr, t.source(), f + "antoine", "missing");
        const toml::array* aa = an->as_array();
        if (!aa || aa->size() < 2 || aa->size() > 6)
            fail(file, an, t.source(), f + "antoine", "must be an array of 2 to 6 numbers [A, B, C, D, E, F]");
        for (std::size_t m = 0; m < aa->size(); ++m) {
            auto v = aa->get(m)->value<double>();
            if (!v) fail(file, aa->get(m), t.source(), f + "antoine", "element " + std::to_string(m + 1) + " is not a number");
            c.antoine[m] = *v;
        }
        c.tb = number(file, t, "tb", f + "tb", 0.0);
        if (t.get("r")) c.r = number(file, t, "r", f + "r");
        if (t.get("q")) c.q = number(file, t, "q", f + "q");
        for (auto [key, field] : {std::pair{"tc", &c.tc}, std::pair{"tmin", &c.tmin}, std::pair{"tmax", &c.tmax}}) {
            if (!t.get(key)) continue;
            const double v = number(file, t, key, f + key);
            if (!(v > 0.0) || !std::isfinite(v))
                fail(file, t.get(key), t.source(), f + key, "must be a positive temperature, K");
            *field = v;
        }
        if (c.tmin && c.tmax && !(*c.tmin < *c.tmax))
            fail(file, t.get("tmax"), t.source(), f + "tmax", "must lie above tmin");
        p.components.push_back(std::move(c));
    }
    const std::size_t n = p.components.size();
    auto index = [&](const std::string& id) -> std::optional<std::size_t> {
        for (std::size_t i = 0; i < n; ++i)
            if (p.components[i].id == upper(id)) return i;
        return std::nullopt;
    };

    if (const toml::array* methods = arrayOfTables(file, root, "method", "method")) {
        for (std::size_t k = 0; k < methods->size(); ++k) {
            const toml::table& t = *methods->get(k)->as_table();
            const std::string f = "method[" + std::to_string(k + 1) + "].";
            Method m;
            m.name = upper(text(file, t, "name", f + "name", 8, true));
            for (const auto& other : p.methods)
                if (other.name == m.name) fail(file, t.get("name"), t.source(), f + "name", "duplicate method " + m.name);
            const std::string model = upper(text(file, t, "model", f + "model", 0, true));
            if (model == "IDEAL") m.model = Model::Ideal;
            else if (model == "WILSON") m.model = Model::Wilson;
            else if (model == "NRTL") m.model = Model::Nrtl;
            else if (model == "UNIQUAC") m.model = Model::Uniquac;
            else fail(file, t.get("model"), t.source(), f + "model", "unknown model '" + model + "' (IDEAL, WILSON, NRTL or UNIQUAC)");
            m.a.assign(n * n, 0.0);
            m.b.assign(n * n, 0.0);
            m.alpha.assign(n * n, 0.3);
            if (const toml::array* pairs = arrayOfTables(file, t, "pair", f + "pair")) {
                for (std::size_t q = 0; q < pairs->size(); ++q) {
                    const toml::table& pt = *pairs->get(q)->as_table();
                    const std::string g = f + "pair[" + std::to_string(q + 1) + "].";
                    const std::string si = text(file, pt, "i", g + "i", 8, true);
                    const std::string sj = text(file, pt, "j", g + "j", 8, true);
                    const auto i = index(si), j = index(sj);
                    if (!i) fail(file, pt.get("i"), pt.source(), g + "i", "unknown component " + si);
                    if (!j) fail(file, pt.get("j"), pt.source(), g + "j", "unknown component " + sj);
                    if (*i == *j) fail(file, pt.get("j"), pt.source(), g + "j", "a pair needs two different components");
                    Pair pr{*i, *j, number(file, pt, "aij", g + "aij", 0.0), number(file, pt, "aji", g + "aji", 0.0),
                            number(file, pt, "bij", g + "bij", 0.0), number(file, pt, "bji", g + "bji", 0.0),
                            number(file, pt, "alpha", g + "alpha", 0.3)};
                    if (m.model == Model::Nrtl && !(pr.alpha > 0.0 && pr.alpha <= 1.0))
                        fail(file, pt.get("alpha"), pt.source(), g + "alpha", "must lie in (0, 1]");
                    // A second entry for a pair would silently replace the first.
                    for (const Pair& other : m.pairs)
                        if ((other.i == pr.i && other.j == pr.j) || (other.i == pr.j && other.j == pr.i))
                            fail(file, pt.get("j"), pt.source(), g + "j",
                                 "pair " + p.components[pr.i].id + "/" + p.components[pr.j].id +
                                     " is given twice in method " + m.name);
                    m.a[pr.i * n + pr.j] = pr.aij;
                    m.a[pr.j * n + pr.i] = pr.aji;
                    m.b[pr.i * n + pr.j] = pr.bij;
                    m.b[pr.j * n + pr.i] = pr.bji;
                    m.alpha[pr.i * n + pr.j] = m.alpha[pr.j * n + pr.i] = pr.alpha;
                    m.pairs.push_back(pr);
                }
            }
            p.methods.push_back(std::move(m));
        }
    }
    if (p.methods.empty()) {  // a problem without methods still flashes ideally
        Method ideal;
        ideal.name = "IDEAL";
        ideal.a.assign(n * n, 0.0);
        ideal.b.assign(n * n, 0.0);
        ideal.alpha.assign(n * n, 0.3);
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
