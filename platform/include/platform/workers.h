// Child processes run side by side, at most a given number at a time, each
// printing result lines on its standard output.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace ternival::platform {

struct WorkerJob {
    std::vector<std::string> argv;  // argv[0]: the program's path
    std::string input;              // written to its standard input, which is then closed
};

// Runs the jobs, at most `parallel` at once.  `line(k, text)` is called for
// each line job k prints, as it comes; `done(k, status, err)` when it ends,
// with its wait status and the end of its standard error.  Calls come from
// this thread only.
void RunWorkers(const std::vector<WorkerJob>& jobs, int parallel,
                const std::function<void(std::size_t, const std::string&)>& line,
                const std::function<void(std::size_t, int, const std::string&)>& done);

}  // namespace ternival::platform
