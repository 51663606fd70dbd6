// A screen of entrainers started from the page: `ternival screen` run in
// the background, its progress read from its journal, its report served
// when it ends.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

namespace ternival::web {

class ScreenJob {
public:
    // argv[0]: the ternival program; the journal and report paths are
    // those its command line names.
    ScreenJob(std::vector<std::string> argv, std::filesystem::path journal, std::filesystem::path report,
              std::size_t candidates);
    // Ends the screen if it still runs.
    ~ScreenJob();
    ScreenJob(const ScreenJob&) = delete;
    ScreenJob& operator=(const ScreenJob&) = delete;

    // {"state": "running"|"done"|"failed", "done": k, "total": n,
    //  "message": ...}
    nlohmann::json Status() const;
    const std::filesystem::path& report() const { return report_; }
    bool finished() const { return finished_; }

private:
    void run(std::vector<std::string> argv);

    std::filesystem::path journal_, report_;
    std::size_t total_;
    std::atomic<pid_t> pid_{-1};
    std::atomic<bool> finished_{false};
    mutable std::mutex mutex_;
    int status_ = 0;
    std::string errors_;
    std::thread thread_;
};

}  // namespace ternival::web
