// The one flash operation through which every computation obtains phase
// equilibria from the property engine.
#pragma once

#include <cmath>
#include <cstdint>
#include <span>
#include <string_view>

namespace ternival {

inline constexpr double kMissingValue = 1e38;
inline constexpr std::size_t kMaxFlashComponents = 100;

// True when v stands for "no value" (within 0.1 of the marker).
inline bool IsMissing(double v) { return std::abs(v - kMissingValue) <= 0.1; }

// Highest pressure, Pa, at which the engine's ideal-gas vapour is taken
// seriously; computations at higher pressures are refused.
inline constexpr double kMaxPressure = 1e8;

// Limits of one call of the numerical routines (an automation call, a
// command): its time, and the run-log lines it may write.  Once the time
// has passed, every EngineFlash is refused (error -1, as a flash rejected
// before the engine ran), so the routine under way unwinds through its own
// failure handling; OutOfTime() then tells the caller why it failed.
// Limits do not nest: the innermost one is in force until it ends.
class CallLimits {
public:
    // A limit of zero or less (or not finite) sets no time limit.
    explicit CallLimits(double seconds);
    ~CallLimits();
    CallLimits(const CallLimits&) = delete;
    CallLimits& operator=(const CallLimits&) = delete;
    // True when a flash of the call under way was refused for lack of time.
    static bool OutOfTime();
    // True when the call's time is up, read from the clock now (work that
    // makes no flash, such as drawing, asks this); the call then counts as
    // out of time.
    static bool Expired();
};

// Tolerance and iteration limit handed to every flash; they belong to the
// current property package.
struct FlashSettings {
    double tolerance = 1e-7;
    std::int64_t max_iterations = 99999999;
};

// The package whose settings flashes use; nullptr (the default) means the
// defaults above.  The pointee must outlive its registration.
void SetCurrentFlashSettings(const FlashSettings* settings);
const FlashSettings& CurrentFlashSettings();

// Flash of n components.  type: "TVF", "TLF", "PVF", "PLF", "TP", "TH",
// "PH" (exact) or "PV" (any letter case).  Outputs t, p, vf, y, x, result,
// x1, x2 are written whatever the error; error 0 = success, -1 = rejected
// here (unknown type, missing specification, no engine), otherwise the
// engine's own value (positive: not converged; negative: fatal).
// Spans must hold at least n elements; n is limited to 100.
void EngineFlash(std::string_view type, int phase, std::string_view method, int n,
                 std::span<const std::int64_t> ids, std::span<const double> z, double& t,
                 double& p, double& vf, std::span<double> y, std::span<double> x,
                 double& result, std::span<double> x1, std::span<double> x2,
                 std::int64_t& error);

// Remembered state of the bridge, exposed for diagnostics and tests.
struct EngineFlashMemory {
    std::int64_t method = -1;      // property-method index of the previous call (-1: none)
    std::int64_t flash_code = -1;  // engine flash code of the previous call (-1: none)
    std::int64_t last_start_mode = 0;
    long long engine_calls = 0;    // calls of the engine's flash, retries included
};
const EngineFlashMemory& FlashMemory();

// Counts the problem definitions the engine has opened (changes whenever
// another is opened); 0 without an engine or a problem.
std::int64_t EngineProblemGeneration();

}  // namespace ternival
