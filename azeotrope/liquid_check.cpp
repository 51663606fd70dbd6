// Whether the liquid of a point found with vapour-liquid flashes only is
// really one liquid.
#include <cmath>
#include <vector>

#include "azeotrope/search.h"
#include "engine/engine_flash.h"

namespace ternival {

bool LiquidSplitsAtBubblePoint(std::int64_t n, std::span<const std::int64_t> ids, std::string_view method,
                               double pressure, std::span<const double> x, double temperature) {
    // A three-phase isothermal flash just below the liquid's boiling point:
    // two distinct liquids mean the single liquid is not stable.
    const auto un = static_cast<std::size_t>(std::max<std::int64_t>(n, 0));
    if (un == 0 || un > kMaxFlashComponents || ids.size() < un || x.size() < un) return false;
    std::vector<double> y(un), l(un), a(un), b(un);
    double t = temperature - 0.01, pr = pressure, vf = 0.0, r = 0.0;
    std::int64_t err = 0;
    EngineFlash("TP", 3, method, static_cast<int>(n), ids, x, t, pr, vf, y, l, r, a, b, err);
    if (err > 0) {
        // The three-phase flash did not settle where the two-phase one
        // finds a plain liquid: it does so only when it has seen the
        // liquid split and could not resolve the split (or a third liquid
        // forms).  Either way the liquid is not one homogeneous phase.
        double t2 = temperature - 0.01, p2 = pressure, vf2 = 0.0, r2 = 0.0;
        std::int64_t err2 = 0;
        EngineFlash("TP", 2, method, static_cast<int>(n), ids, x, t2, p2, vf2, y, l, r2, a, b, err2);
        return err2 == 0 && vf2 <= 0.0;
    }
    if (err != 0) return false;
    double d = 0.0;
    for (std::size_t i = 0; i < un; ++i) d += (a[i] - b[i]) * (a[i] - b[i]);
    return std::sqrt(d) > 1e-4;
}

}  // namespace ternival
