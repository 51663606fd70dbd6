// A total time for reading each request of a connection.  The HTTP
// library times out single reads only, so a client that sends a byte now
// and then holds a worker for as long as it likes; the watch gives each
// request (its headers and body) a deadline from the moment the
// connection waits for it, and shuts a connection that overruns it, which
// ends the worker's read at once.  A request being handled (a computation)
// has no deadline here: the automation server bounds its calls.
#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include <httplib.h>

namespace ternival::web {

class ConnectionWatch {
public:
    using Clock = std::chrono::steady_clock;
    explicit ConnectionWatch(std::chrono::milliseconds request_time = std::chrono::milliseconds(10000));
    ~ConnectionWatch();
    ConnectionWatch(const ConnectionWatch&) = delete;
    ConnectionWatch& operator=(const ConnectionWatch&) = delete;

    // Watches the connections accepted on this local port (a thread of its
    // own until Stop or destruction).
    void Start(int port);
    void Stop();

    // The request's headers are in (a GET is then handled at once).
    void HeadersRead(const httplib::Request& req);
    // Its body is in too: it is being handled.
    void Handling(const httplib::Request& req);
    // Its answer is written: the connection waits for its next request.
    void Done(const httplib::Request& req);

    // The request's body is refused unread: once the answer is written the
    // connection is shut, so that nothing more of it is read.
    void StopReading(const httplib::Request& req);

    // Connections shut for overrunning their time, since the start.
    std::size_t cut() const;

private:
    struct Entry {
        Clock::time_point deadline;
        bool handling = false;
        bool shut_after_answer = false;
    };
    static std::string Key(const httplib::Request& req);
    // The process's connected sockets on the watched port, by peer.
    std::map<std::string, int> Sockets() const;
    void Scan();

    const std::chrono::milliseconds request_time_;
    int port_ = -1;
    mutable std::mutex mu_;
    std::condition_variable cv_;
    bool running_ = false;
    std::map<std::string, Entry> entries_;  // by peer "address:port"
    std::size_t cut_ = 0;
    std::thread thread_;
};

}  // namespace ternival::web
