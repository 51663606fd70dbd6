// Test environment of the azeotrope search: the engine environment with a
// session on one problem, a wrapper around Azeo_Search, a writer of random
// NRTL problems, and bubble points and dense scans through the engine (not
// through the search) to check the search against.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "../common/sign_changes.h"
#include "../common/slurp.h"
#include "../engine/engine_env.h"
#include "azeotrope/search.h"
#include "azeotrope/stability.h"
#include "engine/engine_flash.h"
#include "engine/run_log.h"

namespace ternival::testing {

// Everything Azeo_Search returns, sized for a given capacity.
struct SearchResult {
    std::int64_t n = 0, count = 0, error = -99;
    std::vector<double> compositions, temperatures;
    std::vector<std::int64_t> sizes, phases, codes;
    std::vector<double> singular_compositions, singular_temperatures;
    std::vector<std::int64_t> singular_codes;

    double x(std::int64_t a, std::int64_t c) const { return compositions[static_cast<std::size_t>(c + a * n)]; }
    double t(std::int64_t a) const { return temperatures[static_cast<std::size_t>(a)]; }
    // Azeotropes whose non-zero fractions are exactly the given components.
    std::vector<std::int64_t> with(std::initializer_list<std::int64_t> members) const {
        std::vector<std::int64_t> out;
        for (std::int64_t a = 0; a < count; ++a) {
            bool match = true;
            for (std::int64_t c = 0; c < n; ++c)
                match = match && (std::find(members.begin(), members.end(), c) != members.end()) == (x(a, c) > 0.0);
            if (match) out.push_back(a);
        }
        return out;
    }
    std::string describe() const {
        std::ostringstream s;
        s << "error " << error << ", " << count << " azeotropes\n";
        for (std::int64_t a = 0; a < count; ++a) {
            const auto k = static_cast<std::size_t>(a);
            s << "  T " << temperatures[k] << " size " << sizes[k] << " phase " << phases[k] << " code " << codes[k]
              << " x";
            for (std::int64_t c = 0; c < n; ++c) s << ' ' << x(a, c);
            s << '\n';
        }
        for (std::size_t i = 0; i < static_cast<std::size_t>(n); ++i)
            s << "  pure " << i << " T " << singular_temperatures[i] << " code " << singular_codes[i] << '\n';
        return s.str();
    }
};

// Azeo_Search, or another search of its arguments, into buffers sized for the
// capacity and filled with -7, so that entries the search did not write stand out.
template <class Search = decltype(&Azeo_Search)>
SearchResult RunSearch(const std::vector<std::int64_t>& ids, std::int64_t phase,
                       std::int64_t capacity = kAzeoDefaultCapacity, std::string_view method = "NRTL      ",
                       double pressure = 101325.0, Search search = Azeo_Search) {
    using Reals = std::vector<double>;
    using Ints = std::vector<std::int64_t>;
    const std::size_t n = ids.size(), cap = static_cast<std::size_t>(std::max<std::int64_t>(capacity, 0));
    SearchResult r{static_cast<std::int64_t>(n), capacity, -99, Reals(n * cap, -7.0), Reals(cap, -7.0), Ints(cap, -7),
                   Ints(cap, -7), Ints(cap, -7), Reals(n * (n + cap), -7.0), Reals(n + cap, -7.0), Ints(n + cap, -7)};
    search(r.n, pressure, phase, method, ids, r.count, r.compositions, r.temperatures, r.sizes, r.phases, r.codes,
           r.singular_compositions, r.singular_temperatures, r.singular_codes, r.error);
    return r;
}

// Topological index of a search result (pure components first).
inline std::int64_t IndexOf(const SearchResult& r) {
    std::vector<std::int64_t> counts(static_cast<std::size_t>(r.n), 1);
    std::vector<std::int64_t> codes(r.singular_codes.begin(), r.singular_codes.begin() + r.n + r.count);
    for (std::int64_t a = 0; a < r.count; ++a) counts.push_back(r.sizes[static_cast<std::size_t>(a)]);
    return TopologicalIndex(counts, codes);
}

// Bubble point of the liquid z with the example's NRTL, through the engine:
// the vapour, the temperature and (three phases) the two liquids.
inline FlashOutcome EngineBubble(std::span<const std::int64_t> ids, std::span<const double> z, int phase,
                                 double pressure = 101325.0) {
    return RunFlash("PV", phase, "NRTL", ids, z, 0.0, pressure, 0.0);
}

// Azeotropes of the binary ids found without the search: where y1 - x1 of
// bubble points changes sign along a grid of x1.
inline std::vector<double> BinaryAzeotropesByScan(std::span<const std::int64_t> ids, int phase, int cells, double lo,
                                                  double pressure = 101325.0) {
    return SignChanges([&](double x1) {
        const auto b = EngineBubble(ids, std::vector<double>{x1, 1.0 - x1}, phase, pressure);
        return b.error == 0 ? b.y[0] - x1 : std::nan("");
    }, cells, lo);
}

class SearchEnvironment : public SessionEnvironment {
protected:
    std::vector<std::int64_t> Ids(std::initializer_list<const char*> names) {
        std::vector<std::int64_t> ids;
        for (const char* name : names) {
            ids.push_back(LookupComponentIndex(name));
            EXPECT_NE(ids.back(), 0) << name;
        }
        return ids;
    }
    std::vector<std::int64_t> Numbered(int n) {  // C0 ... C(n-1)
        std::vector<std::int64_t> ids;
        for (int k = 0; k < n; ++k) ids.push_back(LookupComponentIndex("C" + std::to_string(k)));
        return ids;
    }
    // Mentions of a message code's text in the run log.
    int LogCount(int code) const {
        return static_cast<int>(Count(Slurp(RunLogPath()), "Azeo_Search : " + std::string(MessageText(code))));
    }
};

}  // namespace ternival::testing
