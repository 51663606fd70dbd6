// Test environment for the engine bridge: a private registry file pointing
// at the engine built with the tests, a private TMP directory, and a clean
// set of entry-point slots.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/engine_flash.h"
#include "engine/entry_points.h"
#include "engine/property_engine.h"
#include "engine/session.h"
#include "platform/registry.h"
#include "platform/system.h"

namespace ternival::testing {

inline const std::string kSimulatorKey = "SOFTWARE\\Corvath\\Velmora\\38.0\\velmora";
inline const std::string kEngineKey = "SOFTWARE\\Corvath\\Pelorin\\38.0\\velmora";
inline const std::string kFrameworkKey = "SOFTWARE\\Corvath\\Zentik\\38.0";

class EngineEnvironment : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("ternival-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) +
                "-" + std::to_string(::getpid()));
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_ / "tmp");
        saved_path_ = platform::GetEnv("PATH").value_or("");
        saved_tmp_ = platform::GetEnv("TMP");
        platform::PutEnv("TERNIVAL_REGISTRY=" + (dir_ / "registry.ini").string());
        platform::PutEnv("TMP=" + (dir_ / "tmp").string());
        platform::RegistryWriteString(kSimulatorKey, "velmtop", TERNIVAL_VELMTOP);
        EngineSlots() = EngineEntryPoints{};
    }
    void TearDown() override {
        CloseEngine(scratch_);
        EngineSlots() = EngineEntryPoints{};
        platform::PutEnv("PATH=" + saved_path_);
        if (saved_tmp_) platform::PutEnv("TMP=" + *saved_tmp_); else platform::UnsetEnv("TMP");
        platform::UnsetEnv("TERNIVAL_REGISTRY");
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    std::string write(const std::string& name, const std::string& text) {
        const auto p = dir_ / name;
        std::ofstream(p) << text;
        return p.string();
    }
    std::string tmpDir() const { return (dir_ / "tmp").string(); }
    std::filesystem::path dir_;
    std::string saved_path_;
    std::optional<std::string> saved_tmp_;
    PropertyEngine scratch_;
};

// A problem file of n components C0, C1, ... whose normal boiling points
// are drawn from [t_lo, t_hi] (Antoine A = 22, C = 0), each with the lines
// `extra`, and NRTL pairs with bij, bji drawn from [b_lo, b_hi] and alpha
// 0.3, or drawn from [a_lo, a_hi] when that is given; uniform(lo, hi)
// draws, in that order.
template <class Uniform>
std::string RandomNrtlProblem(int n, Uniform&& uniform, double t_lo, double t_hi, double b_lo, double b_hi,
                              double a_lo = 0.3, double a_hi = 0.3, const std::string& extra = "") {
    std::ostringstream f;
    f << "default_method = \"NRTL\"\nmissing = \"ideal\"\n";
    for (int k = 0; k < n; ++k)
        f << "[[component]]\nid = \"C" << k << "\"\nmw = 50.0\nantoine = [22.0, "
          << -(22.0 - std::log(101325.0)) * uniform(t_lo, t_hi) << "]\n" << extra;
    f << "[[method]]\nname = \"NRTL\"\nmodel = \"NRTL\"\n";
    for (int i = 0; i < n; ++i)
        for (int j = i + 1; j < n; ++j)
            f << "[[method.pair]]\ni = \"C" << i << "\"\nj = \"C" << j << "\"\nbij = " << uniform(b_lo, b_hi)
              << "\nbji = " << uniform(b_lo, b_hi) << "\nalpha = " << (a_lo < a_hi ? uniform(a_lo, a_hi) : a_lo)
              << "\n";
    return f.str();
}

// A flash through the engine of the feed z: the specifications in, the state out.
struct FlashOutcome {
    double t = 0.0, p = 0.0, vf = 0.0, share2 = 0.0;  // share2: the second liquid's share
    std::vector<double> y, x, x1, x2;
    std::int64_t error = 0;
};
inline FlashOutcome RunFlash(std::string_view type, int phase, std::string_view method,
                             std::span<const std::int64_t> ids, std::span<const double> z, double t, double p,
                             double vf) {
    const std::vector<double> none(z.size());
    FlashOutcome f{t, p, vf, 0.0, none, none, none, none};
    EngineFlash(type, phase, method, static_cast<int>(z.size()), ids, z, f.t, f.p, f.vf, f.y, f.x, f.share2, f.x1, f.x2,
                f.error);
    return f;
}

// The environment with an engine session on an example, on a problem file,
// or on a problem written by the test.
class SessionEnvironment : public EngineEnvironment {
protected:
    void TearDown() override {
        session_.reset();
        EngineEnvironment::TearDown();
    }
    void Open(const std::string& example) { OpenFile(std::string(TERNIVAL_EXAMPLES_DIR) + "/" + example); }
    void OpenText(const std::string& name, const std::string& text) { OpenFile(write(name, text)); }
    void OpenFile(const std::string& path) {
        session_.reset();
        session_ = std::make_unique<EngineSession>(path, TERNIVAL_VELMTOP);
        ASSERT_TRUE(session_->ok()) << session_->error();
    }
    std::unique_ptr<EngineSession> session_;
};

}  // namespace ternival::testing
