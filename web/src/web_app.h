// The routes of ternival-web: the page, the relay of the automation
// protocol, and the session's problem files.
//
//   GET  /                    the page (static files under /static/NAME)
//   POST /api/session         a new session with its own server; its token
//                             goes in the X-Ternival-Session header of every
//                             later request (a reloaded page sends its own
//                             and keeps the session)
//   POST /api/session/end     ends the session and its server
//   POST /api/session/heartbeat  the page is alive (every few seconds)
//   POST /api/session/leave   the page goes: the session ends soon unless
//                             the page comes back
//   POST /api/rpc             one JSON-RPC request for the session's server,
//                             or a batch (array) of up to 64, run in order
//   POST /api/abandon         ends the running computation (new server)
//   POST /api/upload?name=F   a problem file into the session (raw body)
//   POST /api/example         {"name": F}: a built-in example into the session
//   POST /api/databank        {"components": [...], "model": M}: a problem
//                             file built from the databank ("databank.toml")
//   GET  /api/components?q=T  databank compounds matching T
//
// Every refusal is a JSON object {"error": one sentence} with a 4xx or 5xx
// status; a session's requests never touch another session's files or
// server.  Requests that change anything are refused when they come from
// a page of another origin; JSON bodies must be sent as application/json;
// bodies are limited while they are read, chunked or not.
#pragma once

#include <map>
#include <string>
#include <vector>

#include <httplib.h>

#include "connection_watch.h"
#include "sessions.h"

namespace ternival::web {

struct WebOptions {
    std::string static_dir;    // the page's files
    std::string examples_dir;  // built-in problem files (*.toml)
    std::size_t max_upload = 256 * 1024;
    std::size_t max_request = 64 * 1024;  // JSON bodies
    // Host names a request may carry in its Host header (any when empty).
    // A server on the loopback address answers only to loopback names, so
    // a web site that rebinds its own name to 127.0.0.1 gets nothing.
    std::vector<std::string> allowed_hosts;
    // Longest a JSON-RPC batch computes: later calls of the batch are
    // answered as abandoned.
    std::chrono::milliseconds batch_budget{120000};
    // Longest the reading of one request (headers and body) may take.
    std::chrono::milliseconds request_time{10000};
    // The `ternival` program, for screens of entrainers started from the
    // page (none: the page cannot start one), and its worker processes.
    std::string tool;
    int screen_workers = 0;  // 0: every core
};

class WebApp {
public:
    WebApp(SessionManager& sessions, WebOptions options);
    // Installs the routes and the request-size limit.
    void Install(httplib::Server& server);
    // Starts the watch over the reading of requests on the port listened on.
    void Watch(int port) { watch_.Start(port); }
    std::size_t connections_cut() const { return watch_.cut(); }
    const std::map<std::string, std::string>& examples() const { return examples_; }

private:
    std::shared_ptr<Session> sessionOf(const httplib::Request& req, httplib::Response& res);

    SessionManager& sessions_;
    WebOptions options_;
    ConnectionWatch watch_;
    struct StaticFile {
        std::string body, type;
    };
    std::map<std::string, StaticFile> static_;
    std::map<std::string, std::string> examples_;  // name -> path
};

// The executable registered for a ProgID (LocalServer32 of its CLSID), as
// a client finds it; empty when the class is not registered.
std::string LocalServerFor(const std::string& prog_id);

}  // namespace ternival::web
