#include "sessions.h"

#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <random>

#include "relay.h"

namespace ternival::web {

using nlohmann::json;

std::string NewSessionId() {
    std::random_device rd;
    static constexpr char kHex[] = "0123456789abcdef";
    std::string id;
    for (int i = 0; i < 4; ++i) {
        std::uint32_t v = rd();
        for (int k = 0; k < 8; ++k, v >>= 4) id += kHex[v & 15u];
    }
    return id;
}

std::size_t RemoveFoldersOfEndedServers(const std::filesystem::path& tmp) {
    namespace fs = std::filesystem;
    std::size_t removed = 0;
    std::error_code ec;
    const std::string prefix = "ternival-web-";
    for (const auto& e : fs::directory_iterator(tmp, ec)) {
        const std::string name = e.path().filename().string();
        if (name.rfind(prefix, 0) != 0 || !e.is_directory(ec) || e.is_symlink(ec)) continue;
        const std::string digits = name.substr(prefix.size());
        if (digits.empty() || digits.size() > 9 ||
            !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
            continue;
        const pid_t pid = static_cast<pid_t>(std::stol(digits));
        if (pid == ::getpid()) continue;
        // A live ternival-web keeps its folder.
        std::ifstream comm("/proc/" + digits + "/comm");
        std::string command;
        if (std::getline(comm, command) && command == "ternival-web") continue;
        // Only the sessions' own folders ("s-" + id) and nothing that links
        // out of the folder.
        bool ours = true;
        for (const auto& s : fs::directory_iterator(e.path(), ec))
            if (s.path().filename().string().rfind("s-", 0) != 0 || s.is_symlink(ec)) ours = false;
        if (!ours) continue;
        if (fs::remove_all(e.path(), ec) > 0 && !ec) ++removed;
    }
    return removed;
}

Session::Session(std::string id, std::filesystem::path dir, std::string server_exe,
                 std::chrono::milliseconds call_timeout)
    : id_(std::move(id)), dir_(std::move(dir)), exe_(std::move(server_exe)), call_timeout_(call_timeout) {
    std::filesystem::create_directories(files());
    std::filesystem::create_directories(tmp());
}

Session::~Session() {
    {
        std::lock_guard lock(process_mu_);
        if (process_) process_->Kill();
    }
    std::lock_guard lock(call_);
    process_.reset();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

pid_t Session::server_pid() const {
    std::lock_guard lock(process_mu_);
    return process_ ? process_->pid() : -1;
}

std::string Session::startLocked() {
    auto p = std::make_shared<ChildProcess>(exe_, files().string(), std::vector<std::string>{"TMP=" + tmp().string()});
    if (!p->started()) return "The automation server " + exe_ + " could not be started.";
    {
        std::lock_guard lock(process_mu_);
        process_ = p;
    }
    abandoned_ = false;
    const json create{{"jsonrpc", "2.0"},
                      {"id", next_id_++},
                      {"method", "create"},
                      {"params", {{"class", "Ternival.DistillationApp"}}}};
    const auto line = p->Exchange(create.dump(), std::chrono::milliseconds(20000));
    const json reply = line ? json::parse(*line, nullptr, false) : json();
    if (!reply.is_object() || !reply.contains("result") || !reply["result"].contains("object"))
        return "The automation server did not create its application object.";
    app_ = reply["result"]["object"].get<std::int64_t>();
    return {};
}

std::string Session::Start() {
    std::lock_guard lock(call_);
    return startLocked();
}

json Session::Call(const json& request) {
    Touch();
    const json id = request.contains("id") ? request["id"] : json();
    std::lock_guard lock(call_);
    std::shared_ptr<ChildProcess> p;
    {
        std::lock_guard plock(process_mu_);
        p = process_;
    }
    if (!p || !p->alive())
        return RpcError(id, -32000, "The session's server has stopped; start again (Abandon restarts it).");
    const auto line = p->Exchange(request.dump(-1, ' ', false, json::error_handler_t::replace), call_timeout_);
    Touch();
    if (!line) {
        if (abandoned_) return RpcError(id, -32000, "The computation was abandoned.");
        if (p->alive()) {
            // No answer in time: the server cannot be trusted with the next
            // request, so it is ended.
            p->Kill();
            return RpcError(id, -32000, "The server did not answer in time and was stopped; start again.");
        }
        return RpcError(id, -32000, "The session's server stopped during the call; start again.");
    }
    json reply = json::parse(*line, nullptr, false);
    if (reply.is_discarded()) return RpcError(id, -32000, "The server sent an answer that is not JSON.");
    return reply;
}

std::string Session::Abandon() {
    abandoned_ = true;
    {
        std::lock_guard plock(process_mu_);
        if (process_) process_->Kill();
    }
    // The call that was running returns once its server has gone.
    std::lock_guard lock(call_);
    {
        std::lock_guard plock(process_mu_);
        process_.reset();
    }
    Touch();
    return startLocked();
}

void Session::Stop() {
    abandoned_ = true;
    std::lock_guard plock(process_mu_);
    if (process_) process_->Kill();
}

SessionManager::SessionManager(std::filesystem::path root, std::string server_exe, SessionLimits limits)
    : root_(std::move(root)), exe_(std::move(server_exe)), limits_(limits) {
    std::filesystem::create_directories(root_);
}

SessionManager::~SessionManager() {
    std::map<std::string, std::shared_ptr<Session>> all;
    {
        std::lock_guard lock(mu_);
        all.swap(sessions_);
    }
    all.clear();
    std::error_code ec;
    std::filesystem::remove(root_, ec);  // only when empty
}

std::shared_ptr<Session> SessionManager::Create(std::string& error) {
    std::string id;
    {
        std::lock_guard lock(mu_);
        if (sessions_.size() >= limits_.max_sessions) {
            error = "The server has as many sessions as it takes (" + std::to_string(limits_.max_sessions) +
                    "); try again when one has ended.";
            return nullptr;
        }
        do id = NewSessionId();
        while (sessions_.contains(id));
        // Held in the table while it starts, so the cap counts it.
        sessions_[id] = nullptr;
    }
    std::shared_ptr<Session> s;
    try {
        s = std::make_shared<Session>(id, root_ / ("s-" + id), exe_, limits_.call_timeout);
        error = s->Start();
    } catch (const std::exception& e) {
        error = std::string("The session could not be set up: ") + e.what();
    }
    std::lock_guard lock(mu_);
    if (!error.empty()) {
        sessions_.erase(id);
        return nullptr;
    }
    sessions_[id] = s;
    return s;
}

std::shared_ptr<Session> SessionManager::Find(const std::string& id) {
    std::lock_guard lock(mu_);
    const auto it = sessions_.find(id);
    return it == sessions_.end() ? nullptr : it->second;
}

bool SessionManager::End(const std::string& id) {
    std::shared_ptr<Session> s;
    {
        std::lock_guard lock(mu_);
        const auto it = sessions_.find(id);
        if (it == sessions_.end() || !it->second) return false;
        s = std::move(it->second);
        sessions_.erase(it);
    }
    // The server stops now, even under a call; the directory goes with the
    // last holder.
    s->Stop();
    return true;
}

std::size_t SessionManager::EndIdle() {
    std::vector<std::shared_ptr<Session>> ended;
    {
        std::lock_guard lock(mu_);
        const auto now = Clock::now();
        for (auto it = sessions_.begin(); it != sessions_.end();) {
            if (it->second && (now - it->second->last_used() > limits_.idle ||
                               now - it->second->last_heard() > limits_.heartbeat)) {
                ended.push_back(std::move(it->second));
                it = sessions_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (const auto& s : ended) s->Stop();
    return ended.size();
}

std::size_t SessionManager::size() const {
    std::lock_guard lock(mu_);
    return sessions_.size();
}

}  // namespace ternival::web
