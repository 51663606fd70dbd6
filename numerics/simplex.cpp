#include "numerics/simplex.h"

#include <algorithm>

namespace ternival {

void PerturbPair(std::int64_t n, double h, std::int64_t i, std::int64_t j,
                 std::span<const double> x, std::span<double> xp, std::span<double> xm) {
    const auto count = static_cast<std::size_t>(n);
    std::copy_n(x.begin(), count, xp.begin());
    std::copy_n(x.begin(), count, xm.begin());
    const auto a = static_cast<std::size_t>(i - 1);
    const auto b = static_cast<std::size_t>(j - 1);
    const double xi = x[a];
    const double xj = x[b];
    const double r = xi + xj;

    if (2.0 * h >= r) {
        // Too little room between the pair: the largest fraction pays for
        // both displacements.
        const auto m = static_cast<std::size_t>(
            std::max_element(x.begin(), x.begin() + static_cast<std::ptrdiff_t>(count)) - x.begin());
        xp[a] = xi + h;
        xp[m] -= h;
        xm[b] = xj + h;
        xm[m] -= h;
    } else if (h < xi && h < xj) {
        xp[a] = xi + h / 2.0;
        xm[a] = xi - h / 2.0;
        xp[b] = xj - h / 2.0;
        xm[b] = xj + h / 2.0;
    } else if (h < xi) {
        xp[a] = xi + xj / 2.0;
        xp[b] = xj / 2.0;
        xm[a] = xp[a] - h;
        xm[b] = r - xm[a];
    } else {
        xm[a] = xi / 2.0;
        xm[b] = xi / 2.0 + xj;
        xp[a] = xm[a] + h;
        xp[b] = r - xp[a];
    }
}

}  // namespace ternival
