#include "envelope/lle_envelope.h"

#include "engine/engine_flash.h"
#include "envelope_tracer.h"

namespace ternival {

void LLE_Envelope(std::int64_t n, double pressure, double temperature, double step,
                  std::span<const std::int64_t> ids, std::string_view method,
                  std::int64_t& curve_count, std::span<std::int64_t> points_per_curve,
                  std::span<double> curves, std::int64_t& tie_line_count,
                  std::span<double> tie_lines, std::int64_t& message_code, std::int64_t& error) {
    // Isothermal three-phase flash of the overall composition z.
    const envelope::FlashAt flash = [&](const envelope::Point& z) {
        envelope::TieLine s;
        envelope::Point x{};
        double t = temperature, p = pressure, r = 0.0;
        s.beta = 0.0;
        EngineFlash("TP", 3, method, 3, ids, z, t, p, s.beta, s.y, x, r, s.x1, s.x2, s.error);
        s.t = t;
        return s;
    };
    envelope::TracerOptions options{.routine = "LLE_Envelope", .vapour_test = true};
    envelope::TracerOutputs out{curve_count, points_per_curve, curves, tie_line_count, tie_lines, {}, nullptr,
                                message_code, error, false};
    envelope::TraceEnvelopes(n, step, flash, options, out);
}

}  // namespace ternival
