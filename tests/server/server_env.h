// A private registry (engine location and the server's registration) and
// helpers to start servers against it.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>

#include <filesystem>
#include <fstream>
#include <string>

#include "automation/hresult.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "server_process.h"

namespace ternival::testing {

inline const std::string kServerExe = TERNIVAL_SERVER_EXE;
inline const std::string kAcmFile = std::string(TERNIVAL_EXAMPLES_DIR) + "/acetone_chloroform_methanol.toml";
inline const std::string kEwbFile = std::string(TERNIVAL_EXAMPLES_DIR) + "/ethanol_water_benzene.toml";

inline constexpr std::int32_t kEFail = static_cast<std::int32_t>(0x80004005u);

class ServerEnvironment : public ::testing::Test {
protected:
    void SetUp() override {
        // A server that died shows as a failed request, not as a test
        // process killed by its broken pipe.
        std::signal(SIGPIPE, SIG_IGN);
        static const std::filesystem::path base = std::filesystem::temp_directory_path();
        saved_tmp_ = platform::GetEnv("TMP");
        dir_ = base /
               ("ternival-server-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) +
                "-" + std::to_string(::getpid()));
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_ / "tmp");
        platform::PutEnv("TERNIVAL_REGISTRY=" + registry());
        platform::PutEnv("TMP=" + (dir_ / "tmp").string());
        platform::RegistryWriteString("SOFTWARE\\Corvath\\Velmora\\38.0\\velmora", "velmtop", TERNIVAL_VELMTOP);
    }
    void TearDown() override {
        platform::UnsetEnv("TERNIVAL_REGISTRY");
        if (saved_tmp_) platform::PutEnv("TMP=" + *saved_tmp_); else platform::UnsetEnv("TMP");
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    std::string registry() const { return (dir_ / "registry.ini").string(); }

    // Runs the server with one command-line argument to completion.
    int RunServer(const std::string& arg) {
        ServerProcess p(kServerExe, {arg});
        p.CloseInput();
        EXPECT_TRUE(p.WaitExit(20000));
        return p.status();
    }

    std::filesystem::path dir_;
    std::optional<std::string> saved_tmp_;
};

inline std::int32_t Hr(const json& result) { return result.value("hresult", 1); }

// Nested vector from an array value: [i][j] for a 2-D array (first index
// = first dimension).
inline std::vector<std::vector<double>> Matrix(const json& v) {
    std::vector<std::vector<double>> m;
    if (!v.contains("bounds") || v["bounds"].size() != 2) return m;
    const std::size_t n0 = v["bounds"][0][1], n1 = v["bounds"][1][1];
    m.assign(n0, std::vector<double>(n1));
    for (std::size_t i = 0; i < n0; ++i)
        for (std::size_t j = 0; j < n1; ++j) m[i][j] = v["data"][i + n0 * j].get<double>();
    return m;
}
inline std::vector<double> Vector(const json& v) {
    std::vector<double> out;
    if (v.contains("data"))
        for (const auto& e : v["data"]) out.push_back(e.get<double>());
    return out;
}

}  // namespace ternival::testing
