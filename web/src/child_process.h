// A server process driven over its standard input and output: one request
// line out, one response line back.  The process can be killed from any
// thread while another one waits for its answer.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace ternival::web {

class ChildProcess {
public:
    // Starts `exe` in `workdir` with `env` added to (or replacing entries
    // of) this process's environment.  Check started() afterwards.
    ChildProcess(const std::string& exe, const std::string& workdir, const std::vector<std::string>& env);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    // True while the process has not been seen to end.
    bool alive();

    // Writes `line` (no newline inside) and waits for the next line of
    // output.  nullopt when the process has gone, was killed, or did not
    // answer within `timeout`.
    std::optional<std::string> Exchange(const std::string& line, std::chrono::milliseconds timeout);

    // Ends the process at once (SIGKILL); safe to call from another thread
    // while Exchange waits.
    void Kill();

    // Closes its input (a server ends its message loop at end of input),
    // waits up to `grace`, then kills it.
    void Stop(std::chrono::milliseconds grace);

private:
    bool reap(bool wait);

    std::atomic<pid_t> pid_{-1};
    int to_ = -1, from_ = -1;
    std::string buffer_;
    std::atomic<bool> exited_{false};
};

}  // namespace ternival::web
