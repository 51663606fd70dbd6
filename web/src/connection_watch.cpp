#include "connection_watch.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cstdlib>
#include <filesystem>
#include <set>

namespace ternival::web {

namespace {

// Address and port of a socket address, as the HTTP library writes a
// request's remote address and port.
std::string Text(const sockaddr_storage& a) {
    char host[INET6_ADDRSTRLEN] = {};
    int port = 0;
    if (a.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(a);
        ::inet_ntop(AF_INET, &v4.sin_addr, host, sizeof host);
        port = ntohs(v4.sin_port);
    } else if (a.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(a);
        ::inet_ntop(AF_INET6, &v6.sin6_addr, host, sizeof host);
        port = ntohs(v6.sin6_port);
    } else {
        return {};
    }
    return std::string(host) + ":" + std::to_string(port);
}

int LocalPort(int fd) {
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return -1;
    if (a.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(a).sin_port);
    if (a.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6&>(a).sin6_port);
    return -1;
}

}  // namespace

ConnectionWatch::ConnectionWatch(std::chrono::milliseconds request_time) : request_time_(request_time) {}

ConnectionWatch::~ConnectionWatch() { Stop(); }

void ConnectionWatch::Start(int port) {
    std::lock_guard lock(mu_);
    if (running_) return;
    port_ = port;
    running_ = true;
    thread_ = std::thread([this] {
        std::unique_lock lock(mu_);
        while (running_) {
            cv_.wait_for(lock, std::chrono::milliseconds(100));
            if (!running_) break;
            lock.unlock();
            Scan();
            lock.lock();
        }
    });
}

void ConnectionWatch::Stop() {
    {
        std::lock_guard lock(mu_);
        running_ = false;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
}

std::string ConnectionWatch::Key(const httplib::Request& req) {
    return req.remote_addr + ":" + std::to_string(req.remote_port);
}

void ConnectionWatch::HeadersRead(const httplib::Request& req) {
    std::lock_guard lock(mu_);
    auto& e = entries_.try_emplace(Key(req), Entry{Clock::now() + request_time_, false}).first->second;
    if (req.method == "GET" || req.method == "HEAD") e.handling = true;
}

void ConnectionWatch::Handling(const httplib::Request& req) {
    std::lock_guard lock(mu_);
    entries_[Key(req)].handling = true;
}

void ConnectionWatch::Done(const httplib::Request& req) {
    bool shut = false;
    {
        std::lock_guard lock(mu_);
        auto& e = entries_[Key(req)];
        shut = e.shut_after_answer;
        e = Entry{Clock::now() + request_time_, false};
    }
    if (!shut) return;
    // The answer is written; the connection closes now with a reset (a
    // graceful close would wait, its receive window shut, on a client that
    // goes on sending).
    const auto open = Sockets();
    if (const auto it = open.find(Key(req)); it != open.end()) {
        const linger reset{1, 0};
        ::setsockopt(it->second, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        ::shutdown(it->second, SHUT_RD);
    }
}

std::size_t ConnectionWatch::cut() const {
    std::lock_guard lock(mu_);
    return cut_;
}

void ConnectionWatch::StopReading(const httplib::Request& req) {
    std::lock_guard lock(mu_);
    entries_[Key(req)].shut_after_answer = true;
}

std::map<std::string, int> ConnectionWatch::Sockets() const {
    // Found among the process's open descriptors.
    std::map<std::string, int> open;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
        const std::string name = e.path().filename().string();
        char* end = nullptr;
        const long fd = std::strtol(name.c_str(), &end, 10);
        if (!end || *end != '\0') continue;
        std::error_code lec;
        const auto target = std::filesystem::read_symlink(e.path(), lec).string();
        if (lec || target.rfind("socket:", 0) != 0) continue;
        if (LocalPort(static_cast<int>(fd)) != port_) continue;
        sockaddr_storage peer{};
        socklen_t len = sizeof peer;
        if (::getpeername(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&peer), &len) != 0) continue;
        if (const std::string key = Text(peer); !key.empty()) open[key] = static_cast<int>(fd);
    }
    return open;
}

void ConnectionWatch::Scan() {
    const auto open = Sockets();
    const auto now = Clock::now();
    std::lock_guard lock(mu_);
    for (auto it = entries_.begin(); it != entries_.end();)
        it = open.contains(it->first) ? std::next(it) : entries_.erase(it);
    for (const auto& [key, fd] : open) {
        auto& e = entries_.try_emplace(key, Entry{now + request_time_, false}).first->second;
        if (e.handling || now <= e.deadline) continue;
        // Bytes waiting unread: the connection waits for a worker (behind
        // others), it is not being read slowly.  Its time starts when a
        // worker takes it.
        int waiting = 0;
        if (::ioctl(fd, FIONREAD, &waiting) == 0 && waiting > 0) {
            e.deadline = now + request_time_;
            continue;
        }
        {
            // The worker's read returns at once; the library then closes
            // the connection.
            ::shutdown(fd, SHUT_RDWR);
            entries_.erase(key);
            ++cut_;
        }
    }
}

}  // namespace ternival::web
