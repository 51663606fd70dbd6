// Exported entry points of the property engine.  Everything here converts
// between the by-reference, fixed-length-field calling convention and the
// engine's own types; the work is done in problem.cpp, thermo.cpp and
// flash.cpp.
#include "propcore/abi.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <ctime>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "flash.h"
#include "problem.h"
#include "thermo.h"

namespace {

using propcore::FlashOptions;
using propcore::FlashResult;
using propcore::Mixture;
using propcore::Problem;

constexpr int64_t kMaxFlashComponents = 100;

struct Engine {
    std::optional<Problem> problem;
    int64_t current_method = 0;  // 1-based, 0 when no problem is open
    int64_t generation = 0;      // counts opened problems
    std::string history_path;
    long long flashes = 0;
    // Mixtures by (method, members); a handful of distinct ones per run,
    // each with the last converged temperature per flash code, the start
    // of the next flash in continue mode.
    struct Cached {
        std::unique_ptr<Mixture> mixture;
        std::array<double, 6> last_t{};
    };
    std::map<std::vector<std::size_t>, Cached> mixtures;
    std::vector<std::size_t> key;  // the last mixture looked up, and its entry
    Cached* last = nullptr;
    // Buffers of one flash call, kept between calls.
    std::vector<std::size_t> members, where;
    std::vector<double> zz;
    FlashResult result;
};

Engine& engine() {
    static Engine e;
    return e;
}

// Lowest temperature, as a fraction of the critical temperature, that a
// vapour-pressure correlation without a stated range is taken to reach.
// No liquid exists below its triple point, and the ranges of all 431
// correlations of the databank start at or above 0.209 Tc (1-butene; their
// lower limits are the triple points or just above): a "boiling point"
// below 0.2 Tc comes from a wrong constant, not from the substance.
constexpr double kLowestReducedTemperature = 0.2;

// True when t lies within the vapour-pressure range of every member that
// gives one (0.2 Tc and up for a member that gives a critical temperature
// but no range) and below the critical temperature of at least one member
// (or of a member whose critical temperature is not given).
bool withinData(const Problem& p, const std::vector<std::size_t>& members, double t) {
    bool below_a_critical_point = false;
    for (std::size_t i : members) {
        const auto& c = p.components[i];
        if ((c.tmin && t < *c.tmin) || (c.tmax && t > *c.tmax)) return false;
        if (!c.tmin && c.tc && t < kLowestReducedTemperature * *c.tc) return false;
        if (!c.tc || t <= *c.tc) below_a_critical_point = true;
    }
    return below_a_critical_point;
}

std::string field(const char* s, int64_t len) {
    if (!s || len <= 0) return {};
    std::string out(s, static_cast<std::size_t>(len));
    const auto end = out.find_last_not_of(' ');
    out.erase(end == std::string::npos ? 0 : end + 1);
    // A terminator inside the field ends it as well.
    if (const auto nul = out.find('\0'); nul != std::string::npos) out.erase(nul);
    return out;
}

void put(char* dst, int64_t len, const std::string& s) {
    if (!dst || len <= 0) return;
    for (int64_t i = 0; i < len; ++i) dst[i] = i < static_cast<int64_t>(s.size()) ? s[i] : ' ';
}

std::string upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

void history(const std::string& line) {
    Engine& e = engine();
    if (e.history_path.empty()) return;
    std::ofstream out(e.history_path, std::ios::app);
    const std::time_t now = std::time(nullptr);
    char stamp[32] = {};
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", std::localtime(&now));
    out << stamp << "  " << line << '\n';
}

Engine::Cached& mixture(const Problem& p, int64_t method, const std::vector<std::size_t>& members) {
    Engine& e = engine();
    // Flashes come in long runs on one mixture: compare with the last one
    // before building a key.
    if (e.last && e.key.size() == members.size() + 1 && e.key[0] == static_cast<std::size_t>(method) &&
        std::equal(members.begin(), members.end(), e.key.begin() + 1))
        return *e.last;
    e.key.assign(1, static_cast<std::size_t>(method));
    e.key.insert(e.key.end(), members.begin(), members.end());
    auto it = e.mixtures.find(e.key);
    if (it == e.mixtures.end()) {
        if (e.mixtures.size() > 256) e.mixtures.clear();
        Engine::Cached c;
        c.mixture = std::make_unique<Mixture>(p, p.methods[static_cast<std::size_t>(method - 1)], members);
        it = e.mixtures.emplace(e.key, std::move(c)).first;
    }
    e.last = &it->second;
    return it->second;
}

}  // namespace

extern "C" {

void CALL_PPFLASH(const int64_t* code, const double* spec1, const double* spec2, const double* z,
                  const int64_t* n, const int64_t* idx, const int64_t* phase, const int64_t*,
                  const int64_t* maxit, const double* tol, const int64_t* method, const int64_t*,
                  const int64_t*, const int64_t*, double* T, double* P, double* out17, double* vf,
                  double* result, double* x, double* x1, double* x2, double* y, double*, double*,
                  const int64_t* start, double*, double* out28, int64_t* err) {
    Engine& e = engine();
    *err = 0;
    if (out17) *out17 = 0.0;
    if (out28) *out28 = 0.0;
    if (!e.problem) {
        *err = -1;  // no problem definition file open
        return;
    }
    const Problem& p = *e.problem;
    const int64_t nc = *n;
    if (nc < 1 || nc > kMaxFlashComponents) {
        *err = -2;
        return;
    }
    for (int64_t i = 0; i < nc; ++i)
        if (idx[i] < 1 || idx[i] > static_cast<int64_t>(p.components.size())) {
            *err = -2;  // unknown component
            return;
        }
    if (*method < 1 || *method > static_cast<int64_t>(p.methods.size())) {
        *err = -3;  // unknown property method
        return;
    }
    const propcore::Method& meth = p.methods[static_cast<std::size_t>(*method - 1)];
    if (meth.model == propcore::Model::Uniquac)
        for (int64_t i = 0; i < nc; ++i) {
            const auto& c = p.components[static_cast<std::size_t>(idx[i] - 1)];
            if (!c.r || !c.q) {
                *err = -4;  // component without the method's parameters
                return;
            }
        }
    if (*code == 1 || *code == 4) {
        *err = 3;  // zero-duty flashes need enthalpies, which this engine lacks
        return;
    }
    if (*code != 2 && *code != 3 && *code != 5) {
        *err = -2;
        return;
    }
    // Feed: tiny negative round-off is taken as zero, anything else is bad.
    double sum = 0.0;
    for (int64_t i = 0; i < nc; ++i) {
        if (!std::isfinite(z[i]) || z[i] < -1e-12) {
            *err = -2;
            return;
        }
        sum += std::max(z[i], 0.0);
    }
    if (!(sum > 0.0)) {
        *err = -2;
        return;
    }
    // Only the components present take part; absent ones get zeros.
    std::vector<std::size_t>& members = e.members;
    std::vector<std::size_t>& where = e.where;
    std::vector<double>& zz = e.zz;
    members.clear();
    where.clear();
    zz.clear();
    for (int64_t i = 0; i < nc; ++i)
        if (z[i] > 0.0) {
            members.push_back(static_cast<std::size_t>(idx[i] - 1));
            where.push_back(static_cast<std::size_t>(i));
            zz.push_back(z[i] / sum);
        }
    Engine::Cached& cached = mixture(p, *method, members);
    const Mixture& m = *cached.mixture;
    FlashOptions o;
    o.max_iterations = static_cast<int>(std::clamp<int64_t>(*maxit, 1, 100000));
    o.tolerance = (*tol > 0.0 && *tol <= 1e-2) ? *tol : 1e-7;
    double& last_t = cached.last_t[static_cast<std::size_t>(*code)];
    if (*start == 2 && last_t > 0.0) o.initial_temperature = last_t;
    const int ph = *phase == 3 ? 3 : 2;
    FlashResult& r = e.result;
    switch (*code) {
        case 2: r = propcore::FlashTP(m, *spec1, *spec2, zz, ph, o); break;
        case 3: propcore::FlashPV(m, *spec1, *spec2, zz, ph, o, r); break;
        default: r = propcore::FlashTV(m, *spec1, *spec2, zz, ph, o); break;
    }
    ++e.flashes;
    // A temperature the data do not describe (outside a component's
    // vapour-pressure range, or above the critical temperature of every
    // component) makes no result, however well the iteration converged.
    if (r.status == propcore::kConverged && !withinData(p, members, r.t)) r.status = propcore::kBadSpecification;
    if (r.status == propcore::kConverged) last_t = r.t;
    *T = r.t;
    *P = r.p;
    *vf = r.vf;
    *result = r.liquid2_fraction;
    for (int64_t i = 0; i < nc; ++i) x[i] = x1[i] = x2[i] = y[i] = 0.0;
    for (std::size_t k = 0; k < where.size(); ++k) {
        const std::size_t i = where[k];
        x[i] = r.x[k];
        x1[i] = r.x1[k];
        x2[i] = r.x2[k];
        y[i] = r.y[k];
    }
    *err = r.status;
}

void GETCSP(int64_t* method, int64_t* ctx2, int64_t* ctx3, int64_t* maxit, double* tol) {
    const Engine& e = engine();
    *method = e.problem ? e.current_method : 0;
    *ctx2 = e.problem ? static_cast<int64_t>(e.problem->components.size()) : 0;
    *ctx3 = e.generation;
    *maxit = 500;
    *tol = 1e-7;
}

void CALL_FIOPST(const char* name8, int64_t* method) {
    const Engine& e = engine();
    *method = 0;
    if (!e.problem) return;
    const std::string name = upper(field(name8, 8));
    for (std::size_t k = 0; k < e.problem->methods.size(); ++k)
        if (e.problem->methods[k].name == name) *method = static_cast<int64_t>(k + 1);
}

void CALL_GLBOPS(int64_t* method, const char* name8) {
    const Engine& e = engine();
    if (!e.problem) {
        *method = 0;
        return;
    }
    const std::string name = upper(field(name8, 8));
    if (name.empty()) {
        *method = e.current_method;
        return;
    }
    // A model keyword selects the first method of that model; anything
    // else is unknown, and flashes with method 0 fail.
    *method = 0;
    for (std::size_t k = 0; k < e.problem->methods.size(); ++k)
        if (propcore::ModelName(e.problem->methods[k].model) == name) {
            *method = static_cast<int64_t>(k + 1);
            return;
        }
}

void CALL_PPGIDX(const char* id, int64_t* index, int64_t* second, int64_t len) {
    const Engine& e = engine();
    *index = 0;
    *second = e.problem ? static_cast<int64_t>(e.problem->components.size()) : 0;
    if (!e.problem) return;
    const std::string key = upper(field(id, std::min<int64_t>(len, 8)));
    for (std::size_t k = 0; k < e.problem->components.size(); ++k)
        if (e.problem->components[k].id == key) {
            *index = static_cast<int64_t>(k + 1);
            return;
        }
}

void CALL_COMPQRY(const int64_t* mode, const int64_t* item, int64_t* count, char* id, char* name,
                  char* field16, double* d1, double* mw, int64_t* o1, int64_t* o2, int64_t len_id,
                  int64_t len_name, int64_t len_field) {
    const Engine& e = engine();
    const int64_t nc = e.problem ? static_cast<int64_t>(e.problem->components.size()) : 0;
    *count = nc;
    if (o2) *o2 = 0;
    if (*mode != 1) return;
    if (o1) *o1 = 0;
    if (!item || *item < 1 || *item > nc) return;
    const auto& c = e.problem->components[static_cast<std::size_t>(*item - 1)];
    put(id, len_id, c.id);
    put(name, len_name, c.name);
    put(field16, len_field, c.formula);
    if (d1) *d1 = c.tb;
    if (mw) *mw = c.mw;
    if (o1) *o1 = 1;
}

void CALL_LSOPST(const int64_t* mode, const int64_t* item, int64_t* count, char* name8, int64_t len) {
    const Engine& e = engine();
    const int64_t nm = e.problem ? static_cast<int64_t>(e.problem->methods.size()) : 0;
    *count = nm;
    if (*mode == 1 && item && *item >= 1 && *item <= nm)
        put(name8, len, e.problem->methods[static_cast<std::size_t>(*item - 1)].name);
}

void CALLSETJMP(const char* runid, const char* pdf, const char* workdir, int64_t* status,
                int64_t len_runid, int64_t len_pdf, int64_t len_workdir) {
    Engine& e = engine();
    const std::string id = field(runid, len_runid);
    const std::string path = field(pdf, len_pdf);
    std::string dir = field(workdir, len_workdir);
    if (!dir.empty() && dir.back() != '/') dir += '/';
    Problem p;
    try {
        if (path.empty()) throw propcore::ProblemError("no problem definition file named");
        p = propcore::LoadProblem(path);
    } catch (const propcore::ProblemError& err) {
        std::cerr << "qrPropCore: " << err.what() << std::endl;
        *status = -1;
        return;
    }
    const std::string base = dir + (id.empty() ? std::string("propcore") : id);
    {
        std::ofstream h(base + ".his", std::ios::app);
        if (!h) {
            *status = -2;
            return;
        }
    }
    {
        std::ofstream r(base + ".rpt", std::ios::trunc);
        if (!r) {
            *status = -3;
            return;
        }
        r << "Problem definition file: " << path << '\n';
        if (!p.title.empty()) r << "Title: " << p.title << '\n';
        r << "Components (" << p.components.size() << "):\n";
        for (std::size_t k = 0; k < p.components.size(); ++k)
            r << "  " << k + 1 << "  " << p.components[k].id << "  " << p.components[k].name
              << "  MW " << p.components[k].mw << "  source: " << p.components[k].source << '\n';
        r << "Property methods (" << p.methods.size() << "):\n";
        for (std::size_t k = 0; k < p.methods.size(); ++k) {
            const propcore::Method& m = p.methods[k];
            r << "  " << k + 1 << "  " << m.name << "  " << propcore::ModelName(m.model) << "  " << m.pairs.size()
              << " pairs" << (k == p.default_method ? "  (default)" : "") << "  vapour: "
              << propcore::VapourName(m.vapour) << '\n';
            if (m.vapour == propcore::Vapour::Chemical)
                for (const auto& c : p.components)
                    if (c.dimer)
                        r << "      dimerisation of " << c.id << ": ln(K/Pa^-1) = " << (*c.dimer)[0] << " + "
                          << (*c.dimer)[1] << "/T\n";
            for (const propcore::Pair& pr : m.pairs)
                r << "      pair " << p.components[pr.i].id << "/" << p.components[pr.j].id
                  << "  source: " << pr.source << "  regressed with vapour: " << propcore::RegressedName(pr.regressed)
                  << '\n';
        }
    }
    e.problem = std::move(p);
    e.current_method = static_cast<int64_t>(e.problem->default_method + 1);
    ++e.generation;
    e.mixtures.clear();
    e.last = nullptr;
    e.flashes = 0;
    e.history_path = base + ".his";
    history("opened " + path + " (" + std::to_string(e.problem->components.size()) + " components)");
    *status = static_cast<int64_t>(e.problem->components.size());
}

void CLOSEPDF(void) {
    Engine& e = engine();
    if (!e.problem) return;
    history("closed " + e.problem->file + " after " + std::to_string(e.flashes) + " flashes");
    e.problem.reset();
    e.current_method = 0;
    e.mixtures.clear();
    e.last = nullptr;
    e.history_path.clear();
}

}  // extern "C"
