// ternival-web: the designer's front end in the browser.  Serves the page
// and relays its automation calls, each browser session to an automation
// server process of its own, activated through the registry as any client
// activates it.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <thread>

#include <CLI/CLI.hpp>

#include "platform/registry.h"
#include "platform/system.h"
#include "web_app.h"

namespace {

httplib::Server* g_server = nullptr;

void OnSignal(int) {
    if (g_server) g_server->stop();
}

constexpr const char* kVelmoraKey = "SOFTWARE\\Corvath\\Velmora\\38.0\\velmora";

}  // namespace

int main(int argc, char** argv) {
    using namespace ternival;
    std::string host = "127.0.0.1", velmtop;
    int port = 8321;
    web::WebOptions options;
    options.static_dir = TERNIVAL_WEB_STATIC_DIR;
    options.examples_dir = TERNIVAL_EXAMPLES_DIR;
    options.tool = TERNIVAL_TOOL_EXE;
    web::SessionLimits limits;
    long idle_seconds = 900;
    std::string root;
    CLI::App app{"Ternival in the browser: serves the interactive ternary map on HTTP"};
    app.add_option("--host", host, "address to listen on; another than 127.0.0.1 opens the page to the network")
        ->capture_default_str();
    app.add_option("--port", port, "port; 0 takes a free one")->check(CLI::Range(0, 65535))->capture_default_str();
    app.add_option("--max-sessions", limits.max_sessions, "browser sessions (each with a server process) at once")
        ->check(CLI::Range(1, 256))
        ->capture_default_str();
    app.add_option("--idle", idle_seconds, "seconds after which an unused session ends")
        ->check(CLI::Range(5, 86400))
        ->capture_default_str();
    long heartbeat_seconds = 60;
    app.add_option("--heartbeat", heartbeat_seconds,
                   "seconds after which a session whose page has gone silent (no call, no heartbeat) ends")
        ->check(CLI::Range(5, 3600))
        ->capture_default_str();
    long batch_seconds = 120;
    app.add_option("--batch-budget", batch_seconds,
                   "seconds a batch of calls may compute; its later calls are answered as abandoned")
        ->check(CLI::Range(1, 86400))
        ->capture_default_str();
    app.add_option("--max-upload", options.max_upload, "largest problem file a page may upload, bytes")
        ->check(CLI::Range(1024, 16 * 1024 * 1024))
        ->capture_default_str();
    app.add_option("--static", options.static_dir, "folder of the page's files")->capture_default_str();
    app.add_option("--examples", options.examples_dir, "folder of the built-in problem files")->capture_default_str();
    app.add_option("--tool", options.tool, "the ternival program, for screens started from the page")
        ->capture_default_str();
    app.add_option("--screen-workers", options.screen_workers,
                   "worker processes of a screen started from the page (0: every core)")
        ->check(CLI::Range(0, 256));
    app.add_option("--sessions-dir", root, "folder for the sessions' files; default: $TMP/ternival-web-PID");
    app.add_option("--velmtop", velmtop,
                   "engine install folder to record in the registry when it has none (the build's: " +
                       std::string(TERNIVAL_VELMTOP) + ")");
    CLI11_PARSE(app, argc, argv);
    limits.idle = std::chrono::seconds(idle_seconds);
    limits.heartbeat = std::chrono::seconds(heartbeat_seconds);
    limits.leave_grace = std::min(limits.leave_grace, limits.heartbeat);
    options.batch_budget = std::chrono::seconds(batch_seconds);

    if (!platform::RegistryReadString(kVelmoraKey, "velmtop")) {
        // Recorded absolute: the session servers start in folders of their own.
        const std::string dir =
            velmtop.empty() ? std::string(TERNIVAL_VELMTOP) : std::filesystem::absolute(velmtop).lexically_normal().string();
        if (!platform::RegistryWriteString(kVelmoraKey, "velmtop", dir)) {
            std::fprintf(stderr, "ternival-web: cannot write the registry file %s\n",
                         platform::RegistryFilePath().c_str());
            return 3;
        }
        std::fprintf(stderr, "ternival-web: engine location %s recorded in %s\n", dir.c_str(),
                     platform::RegistryFilePath().c_str());
    }
    const std::string exe = web::LocalServerFor("Ternival.DistillationApp");
    if (exe.empty() || !platform::FileExists(exe)) {
        std::fprintf(stderr,
                     "ternival-web: Ternival.DistillationApp is not registered in %s; run ternival-server -RegServer "
                     "first\n",
                     platform::RegistryFilePath().c_str());
        return 3;
    }
    if (root.empty()) {
        const std::string tmp = platform::GetEnv("TMP").value_or(std::filesystem::temp_directory_path().string());
        // Sessions of web servers that were killed stay behind in folders
        // named after their process: those whose process is gone go now.
        web::RemoveFoldersOfEndedServers(tmp);
        root = tmp + "/ternival-web-" + std::to_string(::getpid());
    }
    std::signal(SIGPIPE, SIG_IGN);

    if (host == "127.0.0.1" || host == "localhost" || host == "::1")
        options.allowed_hosts = {"127.0.0.1", "localhost", "[::1]"};

    web::SessionManager sessions(root, exe, limits);
    web::WebApp webapp(sessions, options);
    httplib::Server server;
    // Workers for many pages at once; a client that is slow to send its
    // request loses its connection after the request time (10 s).
    server.new_task_queue = [] { return new httplib::ThreadPool(64); };
    webapp.Install(server);
    g_server = &server;
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);

    const int bound = port == 0 ? server.bind_to_any_port(host) : (server.bind_to_port(host, port) ? port : -1);
    if (bound < 0) {
        std::fprintf(stderr, "ternival-web: cannot listen on %s:%d\n", host.c_str(), port);
        return 3;
    }
    webapp.Watch(bound);
    std::printf("ternival-web: serving http://%s:%d/ (server %s; Ctrl-C ends)\n", host.c_str(), bound, exe.c_str());
    std::fflush(stdout);

    // Idle sessions end, and with them their servers.
    std::atomic<bool> running{true};
    std::mutex mu;
    std::condition_variable cv;
    std::thread reaper([&] {
        std::unique_lock lock(mu);
        while (running) {
            cv.wait_for(lock, std::chrono::seconds(std::min<long>({5, idle_seconds, heartbeat_seconds})));
            if (!running) break;
            lock.unlock();
            sessions.EndIdle();
            lock.lock();
        }
    });
    server.listen_after_bind();
    {
        std::lock_guard lock(mu);
        running = false;
    }
    cv.notify_all();
    reaper.join();
    g_server = nullptr;
    return 0;
}
