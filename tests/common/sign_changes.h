// Roots of a function of one variable found by a scan and bisection, for
// tests that locate azeotropes without the code under test.
#pragma once

#include <cmath>
#include <functional>
#include <vector>

namespace ternival::testing {

// The sign changes of f on the grid s = lo + (1 - 2 lo) k / cells, k = 0 ..
// cells (points where f is not finite are left out), each refined by bisection.
inline std::vector<double> SignChanges(const std::function<double(double)>& f, int cells, double lo) {
    std::vector<double> roots;
    double previous = std::nan(""), at = 0.0;
    for (int k = 0; k <= cells; ++k) {
        const double s = lo + (1.0 - 2.0 * lo) * k / cells, d = f(s);
        if (std::isfinite(d) && std::isfinite(previous) && (d > 0.0) != (previous > 0.0)) {
            double a = at, b = s;
            for (int it = 0; it < 50; ++it) {
                const double mid = 0.5 * (a + b);
                ((f(mid) > 0.0) == (previous > 0.0) ? a : b) = mid;
            }
            roots.push_back(0.5 * (a + b));
        }
        if (std::isfinite(d)) previous = d, at = s;
    }
    return roots;
}

}  // namespace ternival::testing
