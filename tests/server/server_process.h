// A server process driven through its protocol, as a client would: the
// executable is started with pipes for its standard input and output and
// each request waits (with a time limit) for its response line.
#pragma once

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

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
        ::close(in[0]);
        ::close(out[1]);
        to_ = in[1];
        from_ = out[0];
    }
    ~ServerProcess() {
        CloseInput();
        if (from_ >= 0) ::close(from_);
        if (pid_ > 0 && !exited_) {
            if (!WaitExit(10000)) {
                ::kill(pid_, SIGKILL);
                int st = 0;
                ::waitpid(pid_, &st, 0);
            }
        }
    }
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    bool started() const { return pid_ > 0; }

    // Sends a raw line.
    bool SendLine(const std::string& line) {
        const std::string s = line + "\n";
        return to_ >= 0 && ::write(to_, s.data(), s.size()) == static_cast<ssize_t>(s.size());
    }
    // The next response line, or nullopt after the time limit or at end of output.
    std::optional<json> ReadReply(int timeout_ms = 60000) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (true) {
            auto nl = buffer_.find('\n');
            if (nl != std::string::npos) {
                std::string line = buffer_.substr(0, nl);
                buffer_.erase(0, nl + 1);
                return json::parse(line, nullptr, false);
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
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
    void CloseInput() {
        if (to_ >= 0) ::close(to_);
        to_ = -1;
    }
    // Stops reading the server's replies, as a client that has gone does.
    void CloseOutput() {
        if (from_ >= 0) ::close(from_);
        from_ = -1;
    }
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

}  // namespace ternival::testing
