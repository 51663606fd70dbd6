// Test environment of the azeotrope search: a private registry file and TMP
// directory, an engine session on one example problem, and a convenience
// wrapper around Azeo_Search.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "azeotrope/search.h"
#include "azeotrope/stability.h"
#include "engine/run_log.h"
#include "engine/session.h"
#include "platform/system.h"

namespace ternival::testing {

// Everything Azeo_Search returns, sized for a given capacity.
struct SearchResult {
    std::int64_t n = 0;
    std::int64_t count = 0;
    std::int64_t error = -99;
    std::vector<double> compositions, temperatures;
    std::vector<std::int64_t> sizes, phases, codes;
    std::vector<double> singular_compositions, singular_temperatures;
    std::vector<std::int64_t> singular_codes;

    double x(std::int64_t a, std::int64_t c) const {
        return compositions[static_cast<std::size_t>(c + a * n)];
    }
    // Azeotropes whose non-zero fractions are exactly the given components.
    std::vector<std::int64_t> with(std::initializer_list<std::int64_t> members) const {
        std::vector<std::int64_t> out;
        for (std::int64_t a = 0; a < count; ++a) {
            bool match = true;
            for (std::int64_t c = 0; c < n; ++c) {
                bool in = false;
                for (std::int64_t m : members) in = in || m == c;
                if (in != (x(a, c) > 0.0)) match = false;
            }
            if (match) out.push_back(a);
        }
        return out;
    }
    std::string describe() const {
        std::ostringstream s;
        s << "error " << error << ", " << count << " azeotropes\n";
        for (std::int64_t a = 0; a < count; ++a) {
            s << "  T " << temperatures[static_cast<std::size_t>(a)] << " size "
              << sizes[static_cast<std::size_t>(a)] << " phase "
              << phases[static_cast<std::size_t>(a)] << " code "
              << codes[static_cast<std::size_t>(a)] << " x";
            for (std::int64_t c = 0; c < n; ++c) s << ' ' << x(a, c);
            s << '\n';
        }
        for (std::int64_t i = 0; i < n; ++i)
            s << "  pure " << i << " T " << singular_temperatures[static_cast<std::size_t>(i)]
              << " code " << singular_codes[static_cast<std::size_t>(i)] << '\n';
        return s.str();
    }
};

// A problem file of n components C0, C1, ... whose normal boiling points
// are drawn from [t_lo, t_hi] (Antoine A = 22, C = 0), with NRTL pairs of
// alpha 0.3 and bij, bji drawn from [b_lo, b_hi]; uniform(lo, hi) draws,
// in that order.
template <class Uniform>
std::string RandomNrtlProblem(int n, Uniform&& uniform, double t_lo, double t_hi, double b_lo, double b_hi) {
    std::ostringstream f;
    f << "default_method = \"NRTL\"\nmissing = \"ideal\"\n";
    for (int k = 0; k < n; ++k)
        f << "[[component]]\nid = \"C" << k << "\"\nmw = 50.0\nantoine = [22.0, "
          << -(22.0 - std::log(101325.0)) * uniform(t_lo, t_hi) << "]\n";
    f << "[[method]]\nname = \"NRTL\"\nmodel = \"NRTL\"\n";
    for (int i = 0; i < n; ++i)
        for (int j = i + 1; j < n; ++j)
            f << "[[method.pair]]\ni = \"C" << i << "\"\nj = \"C" << j << "\"\nbij = " << uniform(b_lo, b_hi)
              << "\nbji = " << uniform(b_lo, b_hi) << "\nalpha = 0.3\n";
    return f.str();
}

// A result with every output buffer sized for the capacity and filled with
// -7, so that entries the search did not write stand out.
inline SearchResult ResultBuffers(const std::vector<std::int64_t>& ids, std::int64_t capacity) {
    SearchResult r;
    const auto nn = ids.size();
    const auto cap = static_cast<std::size_t>(capacity > 0 ? capacity : 0);
    r.n = static_cast<std::int64_t>(nn);
    r.compositions.assign(nn * cap, -7.0);
    r.temperatures.assign(cap, -7.0);
    r.sizes.assign(cap, -7);
    r.phases.assign(cap, -7);
    r.codes.assign(cap, -7);
    r.singular_compositions.assign(nn * (nn + cap), -7.0);
    r.singular_temperatures.assign(nn + cap, -7.0);
    r.singular_codes.assign(nn + cap, -7);
    r.count = capacity;
    return r;
}

inline SearchResult RunSearch(const std::vector<std::int64_t>& ids, std::int64_t phase,
                              std::int64_t capacity = kAzeoDefaultCapacity,
                              std::string_view method = "NRTL      ",
                              double pressure = 101325.0) {
    SearchResult r = ResultBuffers(ids, capacity);
    Azeo_Search(r.n, pressure, phase, method, ids, r.count, r.compositions, r.temperatures, r.sizes,
                r.phases, r.codes, r.singular_compositions, r.singular_temperatures,
                r.singular_codes, r.error);
    return r;
}

// Topological index of a search result (pure components first).
inline std::int64_t IndexOf(const SearchResult& r) {
    std::vector<std::int64_t> counts(static_cast<std::size_t>(r.n), 1);
    std::vector<std::int64_t> codes(r.singular_codes.begin(),
                                    r.singular_codes.begin() + r.n + r.count);
    for (std::int64_t a = 0; a < r.count; ++a) counts.push_back(r.sizes[static_cast<std::size_t>(a)]);
    return TopologicalIndex(counts, codes);
}

class SearchEnvironment : public ::testing::Test {
protected:
    void TearDown() override {
        session_.reset();
        if (saved_tmp_) platform::PutEnv("TMP=" + *saved_tmp_); else platform::UnsetEnv("TMP");
        platform::UnsetEnv("TERNIVAL_REGISTRY");
        std::error_code ec;
        if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
    }

    // Opens the engine on an example; the registry and TMP are set first.
    void Open(const std::string& example) { OpenFile(std::string(TERNIVAL_EXAMPLES_DIR) + "/" + example); }

    // Opens the engine on a problem file written by the test (in Dir()).
    void OpenText(const std::string& name, const std::string& text) {
        Prepare();
        std::ofstream(dir_ / name) << text;
        Start((dir_ / name).string());
    }
    const std::filesystem::path& Dir() const { return dir_; }

    void OpenFile(const std::string& path) {
        Prepare();
        Start(path);
    }

private:
    void Prepare() {
        if (!dir_.empty()) return;
        dir_ = std::filesystem::temp_directory_path() /
               ("ternival-azeo-" +
                std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) +
                "-" + std::to_string(::getpid()));
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_ / "tmp");
        saved_tmp_ = platform::GetEnv("TMP");
        platform::PutEnv("TERNIVAL_REGISTRY=" + (dir_ / "registry.ini").string());
        platform::PutEnv("TMP=" + (dir_ / "tmp").string());
    }
    void Start(const std::string& path) {
        session_.reset();
        session_ = std::make_unique<EngineSession>(path, TERNIVAL_VELMTOP);
        ASSERT_TRUE(session_->ok()) << session_->error();
    }

protected:

    std::vector<std::int64_t> Ids(std::initializer_list<const char*> names) {
        std::vector<std::int64_t> ids;
        for (const char* name : names) {
            ids.push_back(LookupComponentIndex(name));
            EXPECT_NE(ids.back(), 0) << name;
        }
        return ids;
    }

    // Lines of the run log mentioning a message code's text.
    int LogCount(int code) const {
        std::ifstream in(RunLogPath());
        const std::string wanted = "Azeo_Search : " + std::string(MessageText(code));
        int hits = 0;
        for (std::string line; std::getline(in, line);)
            if (line.find(wanted) != std::string::npos) ++hits;
        return hits;
    }

    std::filesystem::path dir_;
    std::optional<std::string> saved_tmp_;
    std::unique_ptr<EngineSession> session_;
};

}  // namespace ternival::testing
