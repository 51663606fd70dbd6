#include "envelope/vlle_envelope.h"

#include "engine/engine_flash.h"
#include "envelope_tracer.h"

namespace ternival {
namespace {

// Temperature left by the last bubble point, the start of the next one.
double g_temperature = 0.0;

}  // namespace

void VLLE_Envelope(std::int64_t n, double pressure, double step, std::span<const std::int64_t> ids,
                   std::string_view method, std::int64_t& curve_count,
                   std::span<std::int64_t> points_per_curve, std::span<double> curves,
                   std::int64_t& tie_line_count, std::span<double> tie_lines,
                   std::span<double> tie_points, double& plait_temperature,
                   std::int64_t& message_code, std::int64_t& error) {
    // Three-phase bubble point of the liquid z at the given pressure.
    const envelope::FlashAt flash = [&](const envelope::Point& z) {
        envelope::TieLine s;
        envelope::Point x{};
        double p = pressure, r = 0.0;
        s.beta = 0.0;
        EngineFlash("PV", 3, method, 3, ids, z, g_temperature, p, s.beta, s.y, x, r, s.x1, s.x2, s.error);
        s.t = g_temperature;
        return s;
    };
    envelope::TracerOptions options{.routine = "VLLE_Envelope", .vapour_test = false};
    envelope::TracerOutputs out{curve_count, points_per_curve, curves,           tie_line_count, tie_lines,
                                tie_points,  &plait_temperature, message_code, error,          true};
    envelope::TraceEnvelopes(n, step, flash, options, out);
}

}  // namespace ternival
