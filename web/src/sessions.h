// Browser sessions, each with an automation server process of its own and
// a private directory for its problem files.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

#include "child_process.h"
#include "screen_job.h"

namespace ternival::web {

using Clock = std::chrono::steady_clock;

struct SessionLimits {
    std::size_t max_sessions = 8;
    // A session ends when its page has made no call for `idle`, or has not
    // been heard of (calls or heartbeats) for `heartbeat`.
    std::chrono::seconds idle{900};
    std::chrono::seconds heartbeat{60};
    // A page that leaves (closed, or reloading) keeps its session this long
    // for its reloaded self to take it back.
    std::chrono::seconds leave_grace{10};
    // Longest wait for one answer of a server; the server's own time limit
    // ends long computations before this.
    std::chrono::milliseconds call_timeout{300000};
};

class Session {
public:
    Session(std::string id, std::filesystem::path dir, std::string server_exe,
            std::chrono::milliseconds call_timeout);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    const std::string& id() const { return id_; }
    // Problem files of the session (uploads, examples, databank files).
    std::filesystem::path files() const { return dir_ / "files"; }
    // TMP of the session's server: its run log and engine files.
    std::filesystem::path tmp() const { return dir_ / "tmp"; }
    const std::filesystem::path& dir() const { return dir_; }

    // Starts the server (again, after an abandon or a crash) and creates its
    // application object; empty on success, else one sentence.
    std::string Start();
    // Sends one checked request and returns the server's response; a server
    // that has gone or does not answer gives a JSON-RPC error.
    nlohmann::json Call(const nlohmann::json& request);
    // Ends the running computation by ending the server; a new server (and
    // application object) is started at once.
    std::string Abandon();
    // Ends the server for good (the session is over); a call under way
    // returns at once.
    void Stop();

    std::int64_t application() const { return app_; }
    pid_t server_pid() const;
    // A call of the page: the session is used and its page alive.
    void Touch() {
        const auto now = Clock::now();
        last_used_ = now;
        last_heard_ = now;
    }
    // The session's screen of entrainers: the last one started.  Starting
    // another ends the one before.
    void SetScreen(std::shared_ptr<ScreenJob> job) {
        std::lock_guard lock(screen_mutex_);
        screen_ = std::move(job);
    }
    std::shared_ptr<ScreenJob> Screen() const {
        std::lock_guard lock(screen_mutex_);
        return screen_;
    }

    // The page is alive (its heartbeat), whether or not it calls.
    void Heard() { last_heard_ = Clock::now(); }
    // The page has left: unless it is heard of again, the session ends as
    // if its heartbeat had stopped `grace` before the usual timeout.
    void Leave(std::chrono::seconds timeout, std::chrono::seconds grace) {
        last_heard_ = Clock::now() - timeout + grace;
    }
    Clock::time_point last_used() const { return last_used_; }
    Clock::time_point last_heard() const { return last_heard_; }

private:
    mutable std::mutex screen_mutex_;
    std::shared_ptr<ScreenJob> screen_;
    std::string startLocked();

    const std::string id_;
    const std::filesystem::path dir_;
    const std::string exe_;
    const std::chrono::milliseconds call_timeout_;
    mutable std::mutex call_;  // one request at a time on the pipe
    std::shared_ptr<ChildProcess> process_;
    mutable std::mutex process_mu_;  // guards process_ itself (Abandon reads it while Call runs)
    std::int64_t app_ = 0;
    std::int64_t next_id_ = 1;
    std::atomic<bool> abandoned_{false};  // set by Abandon until the new server runs
    std::atomic<Clock::time_point> last_used_{Clock::now()};
    std::atomic<Clock::time_point> last_heard_{Clock::now()};
};

class SessionManager {
public:
    SessionManager(std::filesystem::path root, std::string server_exe, SessionLimits limits);
    ~SessionManager();

    // A new session with its server running; null with `error` set when the
    // cap is reached or the server cannot be started.
    std::shared_ptr<Session> Create(std::string& error);
    std::shared_ptr<Session> Find(const std::string& id);
    // Ends a session: its server is stopped and its directory removed.
    bool End(const std::string& id);
    // Ends the sessions idle for longer than the limit, or whose page has
    // not been heard of within the heartbeat timeout; how many.
    std::size_t EndIdle();
    std::size_t size() const;
    const SessionLimits& limits() const { return limits_; }

private:
    const std::filesystem::path root_;
    const std::string exe_;
    const SessionLimits limits_;
    mutable std::mutex mu_;
    std::map<std::string, std::shared_ptr<Session>> sessions_;
};

// 32 hexadecimal digits from the system's random source.
std::string NewSessionId();

// Removes the folders "ternival-web-PID" directly in `tmp` whose process
// has ended (or is no ternival-web): the sessions of a web server that was
// killed.  Nothing else is touched.  How many were removed.
std::size_t RemoveFoldersOfEndedServers(const std::filesystem::path& tmp);

}  // namespace ternival::web
