// Azeotrope search driver: search passes, classification of every singular
// point, the ternary retry over component orders, the singular-point table,
// and the pure-component properties.
#include <algorithm>
#include <array>
#include <vector>

#include "azeotrope/search.h"
#include "azeotrope/stability.h"
#include "engine/run_log.h"
#include "search_internal.h"

namespace ternival {
namespace {

using azeo::Bubble;
using azeo::BubblePoint;
using azeo::Fractions;

constexpr std::string_view kRoutine = "Azeo_Search";
constexpr int kMessageSearchError = 509;
constexpr int kMessageClassification = 510;
constexpr int kMessageTopology = 511;

// Component orders of the ternary retry: position k of the search holds the
// caller's component kOrders[t][k] (0-based).
constexpr std::array<std::array<std::size_t, 3>, 6> kOrders{{
    {0, 1, 2}, {1, 2, 0}, {2, 0, 1}, {0, 2, 1}, {2, 1, 0}, {1, 0, 2},
}};

AzeoSearchState g_state;
// Rows of each pass's table of sub-mixtures without azeotrope.
std::int64_t g_memory = kAzeoMaxNoAzeotrope;

void report(int code) {
    g_state.message_code = code;
    LogRunMessage(code, kRoutine);
}

// Results of one search pass, in the caller's component order.
struct PassResult {
    std::size_t n = 0;
    std::int64_t count = 0;
    std::vector<double> compositions;  // n x capacity, leading dimension n
    std::vector<double> temperatures;
    std::vector<std::int64_t> sizes, phases, codes;
    std::vector<double> boiling;
    std::vector<std::int64_t> pure_codes;

    PassResult(std::size_t components, std::size_t capacity)
        : n(components), compositions(components * capacity, 0.0), temperatures(capacity, 0.0),
          sizes(capacity, 0), phases(capacity, 0), codes(capacity, 0),
          boiling(components, kMissingValue), pure_codes(components, 0) {}
};

// One search pass with the components in the order `order` (position k
// holds the caller's component order[k]); results are mapped back to the
// caller's order.
void searchPass(std::int64_t n, double pressure, std::int64_t phase, std::string_view method,
                std::span<const std::int64_t> ids, std::span<const std::size_t> order,
                std::size_t capacity, PassResult& out, std::int64_t& error) {
    ++g_state.passes;
    const auto nn = static_cast<std::size_t>(n);
    const std::size_t valid = std::min<std::size_t>(nn, ids.size());
    std::vector<std::int64_t> pid(nn, 0);
    for (std::size_t k = 0; k < valid; ++k) pid[k] = ids[order[k]];

    // Search in the permuted order.
    std::vector<double> boiling(nn, kMissingValue), kinf(nn * nn, 0.0);
    std::vector<double> rows(std::max<std::size_t>(capacity, 1) * nn, 0.0);
    std::vector<double> temps(capacity, 0.0);
    std::vector<std::int64_t> sizes(capacity, 0), phases(capacity, 0);
    std::int64_t count = 0;
    QZALAZ(g_state.status, g_state.print_level, n, pid, pressure,
           static_cast<std::int64_t>(capacity), phase, method, boiling, kinf, count, rows, temps,
           sizes, phases, g_memory);
    count = std::clamp<std::int64_t>(count, 0, static_cast<std::int64_t>(capacity));
    if (g_state.status <= kAzeoStatusFailed) {
        report(kMessageSearchError);
        error = kAzeoSearchFailed;
    }

    // Back to the caller's order.
    out.count = count;
    std::fill(out.compositions.begin(), out.compositions.end(), 0.0);
    for (std::size_t a = 0; a < static_cast<std::size_t>(count); ++a) {
        for (std::size_t k = 0; k < nn; ++k)
            out.compositions[order[k] + a * nn] = rows[a + k * capacity];
        out.temperatures[a] = temps[a];
        out.sizes[a] = sizes[a];
        out.phases[a] = phases[a];
    }
    for (std::size_t k = 0; k < nn; ++k) out.boiling[order[k]] = boiling[k];

    // Classification of the azeotropes, then of the pure components, in the
    // order of the pass.
    if (valid < nn) return;
    std::vector<double> point(nn, 0.0);
    for (std::size_t a = 0; a < static_cast<std::size_t>(count); ++a) {
        for (std::size_t k = 0; k < nn; ++k) point[k] = rows[a + k * capacity];
        out.codes[a] = azeo::Classify(n, point, pressure, pid, method, phase, error);
    }
    for (std::size_t k = 0; k < nn; ++k) {
        std::fill(point.begin(), point.end(), 0.0);
        point[k] = 1.0;
        out.pure_codes[order[k]] = azeo::Classify(n, point, pressure, pid, method, phase, error);
    }
}

std::int64_t constraintSum(const PassResult& r) {
    std::vector<std::int64_t> counts, codes;
    for (std::size_t i = 0; i < r.n; ++i) {
        counts.push_back(1);
        codes.push_back(r.pure_codes[i]);
    }
    for (std::size_t a = 0; a < static_cast<std::size_t>(r.count); ++a) {
        counts.push_back(r.sizes[a]);
        codes.push_back(r.codes[a]);
    }
    return TopologicalIndex(counts, codes);
}

}  // namespace

namespace azeo {

std::int64_t Classify(std::int64_t n, std::span<const double> x, double pressure,
                      std::span<const std::int64_t> ids, std::string_view method, std::int64_t phase,
                      std::int64_t& error) {
    std::int64_t code = 0, flag = 0;
    std::array<double, kAzeoMaxComponents> re{};
    std::array<double, 1> no_vectors{};
    Stability_RCM(n, x, 1, pressure, ids, method, static_cast<int>(phase), code, re, no_vectors,
                  flag);
    if (flag != 0) {
        g_state.stability_error = flag;
        report(kMessageClassification);
        error = kAzeoClassifyFailed;
        if (flag == -2) code = 0;
    }
    return code;
}

ScopedSubMixtureMemory::ScopedSubMixtureMemory(std::int64_t rows) : previous_(g_memory) { g_memory = rows; }
ScopedSubMixtureMemory::~ScopedSubMixtureMemory() { g_memory = previous_; }

}  // namespace azeo

const AzeoSearchState& AzeoLastSearchState() { return g_state; }

void Azeo_Search(std::int64_t n, double pressure, std::int64_t phase, std::string_view method,
                 std::span<const std::int64_t> ids, std::int64_t& count,
                 std::span<double> compositions, std::span<double> temperatures,
                 std::span<std::int64_t> sizes, std::span<std::int64_t> phase_codes,
                 std::span<std::int64_t> stability, std::span<double> singular_compositions,
                 std::span<double> singular_temperatures,
                 std::span<std::int64_t> singular_stability, std::int64_t& error) {
    error = kAzeoClean;
    g_state = AzeoSearchState{};
    g_state.status = kAzeoStatusGood;
    g_state.print_level = 0;
    // The diagnostic lines of the search and of its solver are discarded.
    const DiagnosticChannel::ScopedBinding quiet_search(kAzeotropeDiagnosticUnit,
                                                        DiagnosticChannel::null_sink);
    const DiagnosticChannel::ScopedBinding quiet_solver(DiagnosticChannel::kDefaultUnit,
                                                        DiagnosticChannel::null_sink);

    const std::int64_t requested = count;
    count = 0;
    if (n < 1 || ids.size() < static_cast<std::size_t>(n) ||
        singular_temperatures.size() < static_cast<std::size_t>(n) ||
        singular_stability.size() < static_cast<std::size_t>(n) ||
        singular_compositions.size() < static_cast<std::size_t>(n * n)) {
        // Nothing can be searched or written.
        g_state.status = kAzeoStatusFailed;
        report(kMessageSearchError);
        error = kAzeoSearchFailed;
        return;
    }
    const auto nn = static_cast<std::size_t>(n);

    // Capacity in effect: what the caller asks for and every output can hold.
    std::size_t capacity = requested > 0 ? static_cast<std::size_t>(requested) : 0;
    capacity = std::min({capacity, compositions.size() / nn, temperatures.size(), sizes.size(),
                         phase_codes.size(), stability.size(),
                         singular_compositions.size() / nn - nn,
                         singular_temperatures.size() - nn, singular_stability.size() - nn});
    g_state.capacity = static_cast<std::int64_t>(capacity);

    PassResult result(nn, capacity);
    if (n == 3) {
        for (std::size_t t = 0; t < kOrders.size(); ++t) {
            searchPass(n, pressure, phase, method, ids, kOrders[t], capacity, result, error);
            g_state.constraint_sum = constraintSum(result);
            if (g_state.constraint_sum == 2) break;
            if (t + 1 == kOrders.size()) report(kMessageTopology);
        }
    } else {
        std::vector<std::size_t> identity(nn);
        for (std::size_t i = 0; i < nn; ++i) identity[i] = i;
        searchPass(n, pressure, phase, method, ids, identity, capacity, result, error);
    }

    // Results and the singular-point table: pure components first.
    count = result.count;
    const auto found = static_cast<std::size_t>(count);
    for (std::size_t a = 0; a < found; ++a) {
        std::copy_n(result.compositions.begin() + static_cast<std::ptrdiff_t>(a * nn), nn,
                    compositions.begin() + static_cast<std::ptrdiff_t>(a * nn));
        temperatures[a] = result.temperatures[a];
        sizes[a] = result.sizes[a];
        phase_codes[a] = result.phases[a];
        stability[a] = result.codes[a];
    }
    for (std::size_t i = 0; i < nn; ++i) {
        for (std::size_t c = 0; c < nn; ++c) singular_compositions[c + i * nn] = c == i ? 1.0 : 0.0;
        singular_temperatures[i] = result.boiling[i];
        singular_stability[i] = result.pure_codes[i];
    }
    for (std::size_t a = 0; a < found; ++a) {
        std::copy_n(result.compositions.begin() + static_cast<std::ptrdiff_t>(a * nn), nn,
                    singular_compositions.begin() + static_cast<std::ptrdiff_t>((nn + a) * nn));
        singular_temperatures[nn + a] = result.temperatures[a];
        singular_stability[nn + a] = result.codes[a];
    }
}

void PureComponentProperties(std::int64_t n, double pressure, std::span<const std::int64_t> ids,
                             std::string_view method, std::int64_t phase,
                             std::span<double> boiling, std::span<std::int64_t> stability,
                             std::span<double> kvalues, std::int64_t& error) {
    error = 0;
    const auto nn = static_cast<std::size_t>(std::max<std::int64_t>(n, 0));
    if (n < 1 || nn > kMaxFlashComponents || ids.size() < nn || boiling.size() < nn ||
        stability.size() < nn || kvalues.size() < nn * nn) {
        error = -1;
        return;
    }
    const auto note = [&](std::int64_t e) {
        if (error == 0) error = e;
    };
    // Mixtures beyond the search's twenty components are classified too,
    // so the work arrays follow n.
    std::vector<double> x(nn), y(nn), xl(nn), x1(nn), x2(nn);
    const auto bubble = [&](std::int64_t ph, std::size_t count, std::span<const std::int64_t> which,
                            double& t) {
        double p = pressure, vf = 0.0, result = 0.0;
        std::int64_t e = 0;
        t = 0.0;
        std::fill(y.begin(), y.end(), 0.0);
        EngineFlash("PV", static_cast<int>(ph), method, static_cast<int>(count), which.first(count),
                    std::span<const double>(x).first(count), t, p, vf, y, xl, result, x1, x2, e);
        return e;
    };
    for (std::size_t i = 0; i < nn; ++i) {
        x[0] = 1.0;
        double t = 0.0;
        const std::int64_t e = bubble(2, 1, ids.subspan(i, 1), t);
        note(e);
        // A bubble point the engine did not find (or found where its data
        // do not reach) is no boiling point.
        boiling[i] = e != 0 ? kMissingValue : t;
    }
    for (std::size_t i = 0; i < nn; ++i) {
        // The near-pure fraction is the single-precision value of 0.9999999.
        std::fill(x.begin(), x.end(), 1e-7);
        x[i] = static_cast<double>(0.9999999f);
        Normalize(1.0, n, x, x);
        double t = 0.0;
        note(bubble(phase, nn, ids, t));
        bool all_ge = true, all_le = true;
        for (std::size_t j = 0; j < nn; ++j) {
            const double kv = x[j] > 0.0 ? y[j] / x[j] : 0.0;
            kvalues[j + i * nn] = kv;
            if (j == i) continue;
            all_ge = all_ge && kv >= 1.0;
            all_le = all_le && kv <= 1.0;
        }
        stability[i] = all_ge ? kStableNode : (all_le ? kUnstableNode : kSaddle);
    }
}

}  // namespace ternival
