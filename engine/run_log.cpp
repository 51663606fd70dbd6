#include "engine/run_log.h"

#include <sys/stat.h>

#include <cstdio>

#include "engine/engine_flash.h"
#include "engine/property_engine.h"
#include "platform/system.h"

namespace ternival {

const std::array<std::string_view, 13> MessageTable{
    "Reached maximum number of points for the curve.",
    "Flash calculations did not convege.",
    "Fatal integration error - forward direction",
    "Fatal integration error - backward direction",
    "Array allocation error",
    "Array deallocation error",
    "Fatal flash error",
    "Error in eigen value / eigen vector calculations",
    "Azeotrope search calculation error (qzerr <= 1)",
    "Error in classifying the azeotropes and/or pure components",
    "Computed azeotropes do not satisfy the topological constraint equation",
    "Error in calculating distillation boundaries - results may be incorrect",
    "This mixture is partially/totally a vapor at the given pressure and temperature",
};

std::string_view MessageText(int code) {
    if (code < kFirstMessageCode || code > kLastMessageCode) return {};
    return MessageTable[static_cast<std::size_t>(code - kFirstMessageCode)];
}

std::string RunLogPath() {
    // Without TMP the log goes to the system's temporary directory.
    const std::string dir = platform::GetEnv("TMP").value_or("/tmp");
    return dir + platform::kPathSeparator + RunId() + ".log";
}

namespace {
int g_lines = 0;  // lines of the call under way
}  // namespace

void ResetRunLogBudget() { g_lines = 0; }

namespace {
void Append(std::string_view routine, std::string_view message) {
    const std::string path = RunLogPath();
    // A server that lives for days keeps one full log and one older one:
    // past its size the log becomes "<run id>.log.old" (replacing the
    // older one) and starts afresh.
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && st.st_size >= kRunLogMaxBytes)
        std::rename(path.c_str(), (path + ".old").c_str());
    std::FILE* f = std::fopen(path.c_str(), "a");
    if (!f) return;
    std::fprintf(f, "%.*s : %.*s\n", static_cast<int>(routine.size()), routine.data(),
                 static_cast<int>(message.size()), message.data());
    std::fclose(f);
}
}  // namespace

void LogRunText(std::string_view routine, std::string_view text) { Append(routine, text); }

void LogRunMessage(int code, std::string_view routine) {
    std::string_view message = MessageText(code);
    if (message.empty()) return;
    // Past the time limit the routines fail at every refused flash; the
    // one line about the limit says all there is to say.
    if (CallLimits::OutOfTime()) return;
    // A routine that fails at every step of a long computation must not
    // fill the disk: past its budget a call's lines are left out, and the
    // log says so once.
    if (g_lines > kRunLogLinesPerCall) return;
    if (g_lines++ == kRunLogLinesPerCall) {
        routine = "Run log";
        message = "further messages of this computation left out";
    }
    Append(routine, message);
}

}  // namespace ternival
