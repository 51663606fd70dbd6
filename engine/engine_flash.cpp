#include "engine/engine_flash.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <optional>

#include "engine/entry_points.h"
#include "engine/run_log.h"

namespace ternival {
namespace {

const FlashSettings kDefaultSettings{};
const FlashSettings* g_settings = nullptr;
EngineFlashMemory g_memory;

using Clock = std::chrono::steady_clock;
std::optional<Clock::time_point> g_deadline;
bool g_out_of_time = false;
double g_limit_seconds = 0.0;
// The clock is read at every 16th flash: a flash costs about a microsecond
// and reading the clock a few dozen nanoseconds.
unsigned g_flashes_since_clock = 0;
constexpr unsigned kFlashesPerClockRead = 16;

enum class Spec { Temperature, Pressure, VapourFraction, One, Zero };

struct FlashType {
    std::string_view name;
    std::int64_t code;
    Spec first, second;
    bool ignore_case;
};

// Tested in this order.
constexpr std::array<FlashType, 8> kFlashTypes{{
    {"TVF", 5, Spec::Temperature, Spec::One, false},
    {"TLF", 5, Spec::Temperature, Spec::Zero, false},
    {"PVF", 3, Spec::Pressure, Spec::One, false},
    {"PLF", 3, Spec::Pressure, Spec::Zero, false},
    {"TP", 2, Spec::Temperature, Spec::Pressure, false},
    {"TH", 4, Spec::Temperature, Spec::Zero, false},
    {"PH", 1, Spec::Pressure, Spec::Zero, false},
    {"PV", 3, Spec::Pressure, Spec::VapourFraction, true},
}};

bool sameIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char c, char d) {
               return std::toupper(static_cast<unsigned char>(c)) == std::toupper(static_cast<unsigned char>(d));
           });
}

// Callers may hand over C strings with their terminator counted in; the
// comparison covers the text up to the first terminator.
std::string_view text(std::string_view s) {
    const auto nul = s.find('\0');
    return nul == std::string_view::npos ? s : s.substr(0, nul);
}

}  // namespace

CallLimits::CallLimits(double seconds) {
    g_out_of_time = false;
    g_deadline.reset();
    g_limit_seconds = seconds;
    if (std::isfinite(seconds) && seconds > 0.0)
        g_deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    ResetRunLogBudget();
}

CallLimits::~CallLimits() { g_deadline.reset(); }

bool CallLimits::OutOfTime() { return g_out_of_time; }

bool CallLimits::Expired() {
    if (g_deadline && !g_out_of_time && Clock::now() > *g_deadline) g_out_of_time = true;
    return g_out_of_time;
}

void SetCurrentFlashSettings(const FlashSettings* settings) { g_settings = settings; }
const FlashSettings& CurrentFlashSettings() { return g_settings ? *g_settings : kDefaultSettings; }
const EngineFlashMemory& FlashMemory() { return g_memory; }

std::int64_t EngineProblemGeneration() {
    const EngineEntryPoints& e = EngineSlots();
    std::int64_t m = 0, c2 = 0, c3 = 0, v4 = 0;
    double v5 = 0.0;
    if (e.get_csp) e.get_csp(&m, &c2, &c3, &v4, &v5);
    return c3;
}

void EngineFlash(std::string_view type, int phase, std::string_view method, int n,
                 std::span<const std::int64_t> ids, std::span<const double> z, double& t,
                 double& p, double& vf, std::span<double> y, std::span<double> x,
                 double& result, std::span<double> x1, std::span<double> x2,
                 std::int64_t& error) {
    const EngineEntryPoints& e = EngineSlots();
    if (!e.glb_ops || !e.pp_flash) {
        error = -1;
        return;
    }
    if (g_deadline && (g_out_of_time || (++g_flashes_since_clock % kFlashesPerClockRead == 0 &&
                                         Clock::now() > *g_deadline))) {
        if (!g_out_of_time) {
            // One line says why the call stopped; the failures of the
            // refused flashes that follow are not logged.
            g_out_of_time = true;
            char text[128];
            std::snprintf(text, sizeof text, "stopped at its time limit of %g s; its results are not to be used",
                          g_limit_seconds);
            LogRunText("Time limit", text);
        }
        error = -1;
        return;
    }
    // The bridge's arrays hold 100 components; a larger count, or caller
    // arrays shorter than n, would be read or written out of bounds.
    const auto count = static_cast<std::size_t>(std::max(n, 0));
    if (n < 0 || count > kMaxFlashComponents || ids.size() < count || z.size() < count ||
        y.size() < count || x.size() < count || x1.size() < count || x2.size() < count) {
        error = -1;
        return;
    }

    std::int64_t m = 0, c2 = 0, c3 = 0, v4 = 0;
    double v5 = 0.0;
    if (e.get_csp) e.get_csp(&m, &c2, &c3, &v4, &v5);

    method = text(method);
    if (e.fi_opst && !method.empty()) {
        std::array<char, 8> field;
        field.fill(' ');
        std::copy_n(method.begin(), std::min<std::size_t>(method.size(), 8), field.begin());
        e.fi_opst(field.data(), &m);
        if (m == 0) e.glb_ops(&m, field.data());
    }

    std::int64_t start = 2;
    if (m != g_memory.method) {
        g_memory.method = m;
        start = 1;
    }

    // The engine reads and writes the first n entries only: the arrays are
    // not cleared (some 12 KB a flash, a quarter of a bubble point's time).
    std::array<double, kMaxFlashComponents> zz, yy, xx, xx1, xx2;
    std::array<std::int64_t, kMaxFlashComponents> idx;
    if (count >= 1) {
        std::copy_n(z.begin(), count, zz.begin());
        std::copy_n(ids.begin(), count, idx.begin());
    }
    double tt = t, pp = p, ff = vf;

    type = text(type);
    const FlashType* ft = nullptr;
    for (const auto& candidate : kFlashTypes) {
        if (candidate.ignore_case ? sameIgnoringCase(type, candidate.name) : type == candidate.name) {
            ft = &candidate;
            break;
        }
    }
    if (!ft) {
        error = -1;
        return;
    }
    auto value = [&](Spec s) {
        switch (s) {
            case Spec::Temperature: return tt;
            case Spec::Pressure: return pp;
            case Spec::VapourFraction: return ff;
            case Spec::One: return 1.0;
            case Spec::Zero: return 0.0;
        }
        return 0.0;
    };
    const double spec1 = value(ft->first), spec2 = value(ft->second);
    if (IsMissing(spec1) || IsMissing(spec2) || (count >= 1 && IsMissing(zz[0]))) {
        error = -1;
        return;
    }
    std::int64_t code = ft->code;
    if (code != g_memory.flash_code) {
        g_memory.flash_code = code;
        start = 1;
    }

    const FlashSettings& s = CurrentFlashSettings();
    v4 = s.max_iterations;
    v5 = s.tolerance;

    const std::int64_t nn = static_cast<std::int64_t>(count), ph = phase, zero = 0, one = 1;
    double out17 = 0.0, res = result, out28 = 0.0;
    std::array<double, 100> w24, w25;  // the engine's scratch
    std::array<double, 500> w27;
    std::int64_t err = 0;
    auto call = [&] {
        ++g_memory.engine_calls;
        g_memory.last_start_mode = start;
        e.pp_flash(&code, &spec1, &spec2, zz.data(), &nn, idx.data(), &ph, &zero, &v4, &v5, &m, &c2,
                   &c3, &one, &tt, &pp, &out17, &ff, &res, xx.data(), xx1.data(), xx2.data(),
                   yy.data(), w24.data(), w25.data(), &start, w27.data(), &out28, &err);
    };
    call();
    if (err != 0 && start == 2) {
        start = 1;
        call();
    }

    t = tt;
    p = pp;
    vf = ff;
    result = res;
    for (std::size_t i = 0; i < count; ++i) {
        y[i] = yy[i];
        x[i] = xx[i];
        x1[i] = xx1[i];
        x2[i] = xx2[i];
    }
    error = static_cast<std::int32_t>(err);
}

}  // namespace ternival
