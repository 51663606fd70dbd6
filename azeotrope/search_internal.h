// Helpers shared by the azeotrope routines: the bubble-point flash, the
// classification of a singular point and the formatted diagnostic lines.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <ostream>
#include <span>
#include <string>
#include <string_view>

#include "azeotrope/search.h"
#include "engine/engine_flash.h"
#include "numerics/diagnostics.h"

namespace ternival::azeo {

using Fractions = std::array<double, static_cast<std::size_t>(kAzeoMaxComponents)>;

// Results of one bubble-point flash.  Every array is cleared before the
// flash, so a flash the bridge rejects leaves zero fractions behind.
struct Bubble {
    double t = 0.0;
    Fractions y{}, x{}, x1{}, x2{};
    std::int64_t error = 0;
};

// Bubble point ("PV", vapour fraction 0) of the n fractions z at pressure p.
inline Bubble BubblePoint(std::int64_t phase, std::string_view method, std::int64_t n,
                          std::span<const std::int64_t> ids, std::span<const double> z,
                          double pressure) {
    Bubble b;
    double p = pressure, vf = 0.0, result = 0.0;
    const auto count = static_cast<std::size_t>(n);
    EngineFlash("PV", static_cast<int>(phase), method, static_cast<int>(n), ids.first(count),
                z.first(count), b.t, p, vf, b.y, b.x, result, b.x1, b.x2, b.error);
    return b;
}

// Newton's method on y - x of the k = z.size() components ids at their
// bubble point: true with the root in z and its bubble point in `at` when
// max |y_i - x_i| falls below `target` with every fraction positive; z is
// left as it was otherwise.  With `leave_faces` it gives up as soon as an
// iterate holds a component below 1e-3 whose K-value is clearly off 1: the
// iterates are sliding to a face, where no azeotrope of all k lies.
bool NewtonOnYMinusX(std::span<const std::int64_t> ids, std::span<double> z, double pressure, std::int64_t phase,
                     std::string_view method, double target, Bubble& at, bool leave_faces = false);

// Stability code of one singular point (0 when the eigenproblem failed).
// A failed classification sets error to kAzeoClassifyFailed and writes
// message 510 to the run log.
std::int64_t Classify(std::int64_t n, std::span<const double> x, double pressure,
                      std::span<const std::int64_t> ids, std::string_view method, std::int64_t phase,
                      std::int64_t& error);

// While it lives, the passes of Azeo_Search keep up to `rows` sub-mixtures
// without azeotrope instead of kAzeoMaxNoAzeotrope.
class ScopedSubMixtureMemory {
public:
    explicit ScopedSubMixtureMemory(std::int64_t rows);
    ~ScopedSubMixtureMemory();
    ScopedSubMixtureMemory(const ScopedSubMixtureMemory&) = delete;
    ScopedSubMixtureMemory& operator=(const ScopedSubMixtureMemory&) = delete;

private:
    std::int64_t previous_;
};

inline std::ostream& Out() { return DiagnosticChannel::Stream(kAzeotropeDiagnosticUnit); }

// One formatted diagnostic line (printf format, newline appended).
template <typename... Args>
void Line(const char* format, Args... args) {
    char buffer[512];
    std::snprintf(buffer, sizeof buffer, format, args...);
    Out() << buffer << '\n';
}
inline void Line(const char* text) { Out() << text << '\n'; }

}  // namespace ternival::azeo
