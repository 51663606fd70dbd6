#include "screen_job.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

extern char** environ;

namespace ternival::web {

ScreenJob::ScreenJob(std::vector<std::string> argv, std::filesystem::path journal, std::filesystem::path report,
                     std::size_t candidates)
    : journal_(std::move(journal)), report_(std::move(report)), total_(candidates) {
    thread_ = std::thread([this, a = std::move(argv)]() mutable { run(std::move(a)); });
}

ScreenJob::~ScreenJob() {
    if (const pid_t p = pid_.load(); p > 0 && !finished_) ::kill(p, SIGKILL);
    if (thread_.joinable()) thread_.join();
}

void ScreenJob::run(std::vector<std::string> argv) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        std::lock_guard lock(mutex_);
        errors_ = std::string("cannot start the screen: ") + std::strerror(errno);
        status_ = -1;
        finished_ = true;
        return;
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 2);
    std::vector<char*> args;
    for (auto& s : argv) args.push_back(s.data());
    args.push_back(nullptr);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, args[0], &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(out[1]);
    if (rc != 0) {
        ::close(out[0]);
        std::lock_guard lock(mutex_);
        errors_ = "cannot start " + argv[0] + ": " + std::strerror(rc);
        status_ = -1;
        finished_ = true;
        return;
    }
    pid_ = pid;
    // Its standard error: progress lines and, at the end, any error.
    char buf[4096];
    std::string err;
    for (;;) {
        const ssize_t n = ::read(out[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        err.append(buf, static_cast<std::size_t>(n));
        if (err.size() > 16384) err.erase(0, err.size() - 8192);
    }
    ::close(out[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    std::lock_guard lock(mutex_);
    status_ = status;
    errors_ = err;
    finished_ = true;
}

nlohmann::json ScreenJob::Status() const {
    // Rows finished so far: complete lines of the journal.
    std::size_t done = 0;
    {
        std::ifstream in(journal_);
        std::string line;
        while (std::getline(in, line))
            if (!line.empty() && line.back() == '}') ++done;
    }
    nlohmann::json s{{"done", done}, {"total", total_}};
    if (!finished_) {
        s["state"] = "running";
        return s;
    }
    std::lock_guard lock(mutex_);
    const bool ok = status_ >= 0 && WIFEXITED(status_) && WEXITSTATUS(status_) == 0 && std::filesystem::exists(report_);
    s["state"] = ok ? "done" : "failed";
    // The last line the command wrote on its standard error (an error, or
    // how many candidates could not be judged).
    std::string last = errors_;
    while (!last.empty() && last.back() == '\n') last.pop_back();
    if (const auto nl = last.find_last_of('\n'); nl != std::string::npos) last.erase(0, nl + 1);
    if (last.rfind("ternival: ", 0) == 0) last.erase(0, 10);
    if (!ok && last.empty())
        last = WIFSIGNALED(status_) ? "the screen was ended by signal " + std::to_string(WTERMSIG(status_))
                                    : "the screen failed";
    s["message"] = last;
    return s;
}

}  // namespace ternival::web
