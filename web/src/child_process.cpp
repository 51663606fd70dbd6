#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

extern char** environ;

namespace ternival::web {

namespace {

bool WriteAll(int fd, const std::string& s) {
    std::size_t done = 0;
    while (done < s.size()) {
        const ssize_t n = ::write(fd, s.data() + done, s.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

ChildProcess::ChildProcess(const std::string& exe, const std::string& workdir, const std::vector<std::string>& env) {
    // The environment and argument vectors are built before fork: the child
    // only calls async-signal-safe functions.
    std::vector<std::string> entries;
    for (char** e = environ; e && *e; ++e) {
        const std::string entry(*e);
        const auto eq = entry.find('=');
        bool replaced = false;
        for (const auto& add : env)
            if (eq != std::string::npos && add.compare(0, eq + 1, entry, 0, eq + 1) == 0) replaced = true;
        if (!replaced) entries.push_back(entry);
    }
    entries.insert(entries.end(), env.begin(), env.end());
    std::vector<char*> envp;
    for (auto& e : entries) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string program = exe;
    std::vector<char*> argv{program.data(), nullptr};

    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0) return;
    if (::pipe2(out, O_CLOEXEC) != 0) {
        ::close(in[0]);
        ::close(in[1]);
        return;
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(in[0], STDIN_FILENO);
        ::dup2(out[1], STDOUT_FILENO);
        // Nothing else of the web server goes with the child: a client's
        // connection must close when the web server closes it, not live on
        // in a session's server.
        ::close_range(3, ~0U, 0);
        if (!workdir.empty() && ::chdir(workdir.c_str()) != 0) ::_exit(126);
        ::execve(program.c_str(), argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    if (pid < 0) {
        ::close(in[1]);
        ::close(out[0]);
        return;
    }
    pid_ = pid;
    to_ = in[1];
    from_ = out[0];
}

ChildProcess::~ChildProcess() {
    Stop(std::chrono::milliseconds(2000));
    if (from_ >= 0) ::close(from_);
}

bool ChildProcess::reap(bool wait) {
    if (exited_) return true;
    const pid_t pid = pid_;
    if (pid <= 0) return true;
    int status = 0;
    const pid_t r = ::waitpid(pid, &status, wait ? 0 : WNOHANG);
    if (r == pid || (r < 0 && errno == ECHILD)) exited_ = true;
    return exited_;
}

bool ChildProcess::alive() { return started() && !reap(false); }

std::optional<std::string> ChildProcess::Exchange(const std::string& line, std::chrono::milliseconds timeout) {
    if (!started() || to_ < 0 || exited_) return std::nullopt;
    if (!WriteAll(to_, line + "\n")) return std::nullopt;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (const auto nl = buffer_.find('\n'); nl != std::string::npos) {
            std::string reply = buffer_.substr(0, nl);
            buffer_.erase(0, nl + 1);
            return reply;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        pollfd p{from_, POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 200)));
        if (ready < 0 && errno != EINTR) return std::nullopt;
        if (ready <= 0) continue;
        char chunk[65536];
        const ssize_t n = ::read(from_, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return std::nullopt;  // end of output: the process has gone
        buffer_.append(chunk, static_cast<std::size_t>(n));
    }
}

void ChildProcess::Kill() {
    const pid_t pid = pid_;
    if (pid > 0 && !exited_) ::kill(pid, SIGKILL);
}

void ChildProcess::Stop(std::chrono::milliseconds grace) {
    if (to_ >= 0) {
        ::close(to_);
        to_ = -1;
    }
    if (!started()) return;
    const auto deadline = std::chrono::steady_clock::now() + grace;
    while (!reap(false) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!exited_) {
        Kill();
        reap(true);
    }
}

}  // namespace ternival::web
