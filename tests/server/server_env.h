// Servers driven through their protocol, as a client would: the executable runs on pipes and each request
// waits (with a time limit) for its response line.  A private registry (engine location and the server's
// registration), and helpers that make the objects tests start from.
#pragma once

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "../common/slurp.h"
#include "../engine/engine_env.h"
#include "automation/hresult.h"
#include "platform/registry.h"
#include "platform/system.h"

namespace ternival::testing {

using nlohmann::json;

class ServerProcess {
public:
    explicit ServerProcess(const std::string& exe, std::vector<std::string> args = {}) {
        int in[2], out[2];
        if (::pipe(in) != 0 || ::pipe(out) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(in[0], STDIN_FILENO);
            ::dup2(out[1], STDOUT_FILENO);
            ::close(in[0]); ::close(in[1]); ::close(out[0]); ::close(out[1]);
            std::vector<char*> argv{const_cast<char*>(exe.c_str())};
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(exe.c_str(), argv.data());
            ::_exit(127);
        }
        ::close(in[0]); ::close(out[1]);
        to_ = in[1], from_ = out[0];
    }
    ~ServerProcess() {
        CloseInput();
        CloseOutput();
        if (pid_ > 0 && !exited_ && !WaitExit(10000)) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status_, 0);
        }
    }
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // Sends a raw line.
    bool SendLine(const std::string& line) {
        const std::string s = line + "\n";
        return to_ >= 0 && ::write(to_, s.data(), s.size()) == static_cast<ssize_t>(s.size());
    }
    // The next response line, or nullopt after the time limit or at end of output.
    std::optional<json> ReadReply(int timeout_ms = 60000) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (true) {
            if (const auto nl = buffer_.find('\n'); nl != std::string::npos) {
                const std::string line = buffer_.substr(0, nl);
                buffer_.erase(0, nl + 1);
                return json::parse(line, nullptr, false);
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return std::nullopt;
            pollfd p{from_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return std::nullopt;
            char chunk[65536];
            const ssize_t n = ::read(from_, chunk, sizeof chunk);
            if (n <= 0) return std::nullopt;
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }
    // One request; the whole response.
    json Request(const std::string& method, const json& params) {
        const json req{{"jsonrpc", "2.0"}, {"id", ++id_}, {"method", method}, {"params", params}};
        EXPECT_TRUE(SendLine(req.dump()));
        auto reply = ReadReply();
        EXPECT_TRUE(reply.has_value()) << "no reply to " << req.dump();
        if (!reply) return json::object();
        EXPECT_EQ((*reply)["id"], id_);
        return *reply;
    }
    std::int64_t Create(const std::string& cls) {
        json r = Request("create", {{"class", cls}});
        EXPECT_TRUE(r.contains("result")) << r.dump();
        return r.contains("result") ? r["result"]["object"].get<std::int64_t>() : 0;
    }
    // Invokes a member; the result object {"hresult", "out"}.
    json Invoke(std::int64_t object, const std::string& member, json args = json::array(),
                const std::string& kind = "method") {
        json r = Request("invoke", {{"object", object}, {"member", member}, {"kind", kind}, {"args", args}});
        EXPECT_TRUE(r.contains("result")) << member << ": " << r.dump();
        return r.contains("result") ? r["result"] : json{{"hresult", 1}, {"out", json::array()}};
    }
    void CloseInput() { if (to_ >= 0) ::close(std::exchange(to_, -1)); }
    // Stops reading the server's replies, as a client that has gone does.
    void CloseOutput() { if (from_ >= 0) ::close(std::exchange(from_, -1)); }
    // Waits for the process to end; its wait status in status().
    bool WaitExit(int timeout_ms) {
        for (int waited = 0; waited <= timeout_ms; waited += 10) {
            if (::waitpid(pid_, &status_, WNOHANG) == pid_) {
                exited_ = true;
                return true;
            }
            ::usleep(10000);
        }
        return false;
    }
    int status() const { return status_; }

private:
    pid_t pid_ = -1;
    int to_ = -1, from_ = -1;
    std::string buffer_;
    std::int64_t id_ = 0;
    int status_ = 0;
    bool exited_ = false;
};

// Wire-form helpers.
inline json R8Array(const std::vector<double>& v) {
    return {{"vt", "ARRAY|R8"}, {"bounds", {{0, v.size()}}}, {"data", v}};
}
inline json StringArray(const std::vector<std::string>& v) {
    return {{"vt", "ARRAY|BSTR"}, {"bounds", {{0, v.size()}}}, {"data", v}};
}

inline const std::string kServerExe = TERNIVAL_SERVER_EXE;
inline const std::string kAcmFile = std::string(TERNIVAL_EXAMPLES_DIR) + "/acetone_chloroform_methanol.toml";
inline const std::string kEwbFile = std::string(TERNIVAL_EXAMPLES_DIR) + "/ethanol_water_benzene.toml";
inline const std::string kBtxFile = std::string(TERNIVAL_EXAMPLES_DIR) + "/benzene_toluene_ethylbenzene.toml";

inline constexpr std::int32_t kEFail = static_cast<std::int32_t>(0x80004005u);

class ServerEnvironment : public EngineEnvironment {
protected:
    void SetUp() override {
        // A server that died shows as a failed request, not as a test process killed by its broken pipe.
        std::signal(SIGPIPE, SIG_IGN);
        EngineEnvironment::SetUp();
    }

    // Runs the server with one command-line argument to completion.
    int RunServer(const std::string& arg) {
        ServerProcess p(kServerExe, {arg});
        p.CloseInput();
        EXPECT_TRUE(p.WaitExit(20000));
        return p.status();
    }
    // Every run log the servers wrote (their TMP is the test's own).
    std::string RunLog() {
        std::string log;
        for (const auto& entry : std::filesystem::directory_iterator(dir_ / "tmp"))
            if (entry.path().extension() == ".log") log += Slurp(entry.path());
        return log;
    }
};

// The environment with the server registered, as clients find it.
class RegisteredServer : public ServerEnvironment {
protected:
    void SetUp() override {
        ServerEnvironment::SetUp();
        ASSERT_EQ(RunServer("-RegServer"), 0);
    }
};

inline std::int32_t Hr(const json& result) { return result.value("hresult", 1); }

// The object a getter such as GetDistillationMap hands back.
inline std::int64_t Object(ServerProcess& p, std::int64_t from, const std::string& getter) {
    return p.Invoke(from, getter)["out"][0]["object"].get<std::int64_t>();
}
// The value of a scalar property.
inline json Get(ServerProcess& p, std::int64_t object, const std::string& name) {
    return p.Invoke(object, name, {}, "get")["out"][0]["value"];
}
// An application with the file open.
inline std::int64_t OpenApp(ServerProcess& p, const std::string& file) {
    const std::int64_t app = p.Create("Ternival.DistillationApp");
    EXPECT_EQ(Hr(p.Invoke(app, "InitFromVmpdfFile", {file})), 0);
    return app;
}
// A map of three components with the NRTL method and the phase setting.
inline std::int64_t NewMap(ServerProcess& p, std::int64_t app, const std::vector<std::string>& names,
                           double pressure = 101325.0, int phase = 2) {
    const std::int64_t map = Object(p, app, "GetDistillationMap");
    EXPECT_EQ(Hr(p.Invoke(map, "SetComponentData", {names[0], names[1], names[2]})), 0);
    EXPECT_EQ(Hr(p.Invoke(map, "SetPropertyData", {"NRTL", "NRTL", "NRTL", phase})), 0);
    EXPECT_EQ(Hr(p.Invoke(map, "Pressure", {pressure}, "put")), 0);
    return map;
}
// A search of the components with the NRTL method, two phases, at 1 atm.
inline std::int64_t NewSearch(ServerProcess& p, std::int64_t app, const std::vector<std::string>& names,
                              const std::string& method = "NRTL") {
    const std::int64_t s = Object(p, app, "GetAzeotropeSearch");
    EXPECT_EQ(Hr(p.Invoke(s, "SetComponentData", {StringArray(names)})), 0);
    EXPECT_EQ(Hr(p.Invoke(s, "SetPropertyData", {method, method, method, 2})), 0);
    EXPECT_EQ(Hr(p.Invoke(s, "Pressure", {101325.0}, "put")), 0);
    return s;
}

// Nested vector from a 2-D array value: [i][j], the first index running over the first dimension.
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
