#include "platform/workers.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace ternival::platform {

namespace {

struct Running {
    std::size_t job = 0;
    pid_t pid = -1;
    int out = -1, err = -1;
    std::string buffer, errors;
};

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

Running start(const WorkerJob& job, std::size_t k) {
    int out[2], err[2], in[2];
    if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    if (::pipe2(err, O_CLOEXEC) != 0) {
        ::close(out[0]), ::close(out[1]);
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    }
    if (::pipe2(in, O_CLOEXEC) != 0) {
        ::close(out[0]), ::close(out[1]), ::close(err[0]), ::close(err[1]);
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    std::vector<char*> argv;
    for (const auto& a : job.argv) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    if (rc != 0) {
        ::close(in[1]), ::close(out[0]), ::close(err[0]);
        throw std::runtime_error(job.argv[0] + ": " + std::strerror(rc));
    }
    // The input is small (a task list); a child that does not read it
    // simply loses it.
    const struct sigaction ignore{};
    struct sigaction old{};
    struct sigaction pipe_ignore = ignore;
    pipe_ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &pipe_ignore, &old);
    std::size_t at = 0;
    while (at < job.input.size()) {
        const ssize_t w = ::write(in[1], job.input.data() + at, job.input.size() - at);
        if (w <= 0) {
            if (w < 0 && errno == EINTR) continue;
            break;
        }
        at += static_cast<std::size_t>(w);
    }
    ::sigaction(SIGPIPE, &old, nullptr);
    ::close(in[1]);
    Running r;
    r.job = k;
    r.pid = pid;
    r.out = out[0];
    r.err = err[0];
    return r;
}

}  // namespace

void RunWorkers(const std::vector<WorkerJob>& jobs, int parallel,
                const std::function<void(std::size_t, const std::string&)>& line,
                const std::function<void(std::size_t, int, const std::string&)>& done) {
    parallel = std::max(1, parallel);
    std::vector<Running> running;
    std::size_t next = 0;
    while (next < jobs.size() || !running.empty()) {
        while (next < jobs.size() && static_cast<int>(running.size()) < parallel) {
            try {
                running.push_back(start(jobs[next], next));
            } catch (const std::exception& e) {
                done(next, -1, e.what());
            }
            ++next;
        }
        if (running.empty()) continue;
        std::vector<pollfd> fds;
        for (const auto& r : running) {
            fds.push_back({r.out, POLLIN, 0});
            fds.push_back({r.err, POLLIN, 0});
        }
        if (::poll(fds.data(), fds.size(), 1000) < 0 && errno != EINTR) throw std::runtime_error("poll failed");
        for (std::size_t k = 0; k < running.size(); ++k) {
            Running& r = running[k];
            char buf[65536];
            for (int which = 0; which < 2; ++which) {
                int& fd = which == 0 ? r.out : r.err;
                if (fd < 0 || !(fds[2 * k + which].revents & (POLLIN | POLLHUP | POLLERR))) continue;
                const ssize_t n = ::read(fd, buf, sizeof buf);
                if (n <= 0) {
                    if (n < 0 && errno == EINTR) continue;
                    closeFd(fd);
                    continue;
                }
                if (which == 0) {
                    r.buffer.append(buf, static_cast<std::size_t>(n));
                    std::size_t nl;
                    while ((nl = r.buffer.find('\n')) != std::string::npos) {
                        line(r.job, r.buffer.substr(0, nl));
                        r.buffer.erase(0, nl + 1);
                    }
                } else {
                    r.errors.append(buf, static_cast<std::size_t>(n));
                    if (r.errors.size() > 8192) r.errors.erase(0, r.errors.size() - 4096);
                }
            }
        }
        // Children whose output has ended are reaped.
        for (std::size_t k = 0; k < running.size();) {
            Running& r = running[k];
            if (r.out >= 0 || r.err >= 0) {
                ++k;
                continue;
            }
            if (!r.buffer.empty()) line(r.job, r.buffer);
            int status = 0;
            while (::waitpid(r.pid, &status, 0) < 0 && errno == EINTR) {
            }
            done(r.job, status, r.errors);
            running.erase(running.begin() + static_cast<std::ptrdiff_t>(k));
        }
    }
}

}  // namespace ternival::platform
