// Small dense linear systems of the flashes and the vapour models.
#pragma once

#include <cmath>
#include <cstddef>
#include <span>
#include <utility>

namespace propcore {

// Solves a x = b for an n x n row-major `a` by Gaussian elimination with
// partial pivoting; `a` is overwritten and x replaces b.  False, with b
// unfinished, when a pivot is zero or not a number.
inline bool SolveDense(std::span<double> a, std::span<double> b, std::size_t n) {
    for (std::size_t c = 0; c < n; ++c) {
        std::size_t piv = c;
        for (std::size_t r = c + 1; r < n; ++r)
            if (std::abs(a[r * n + c]) > std::abs(a[piv * n + c])) piv = r;
        if (!(std::abs(a[piv * n + c]) > 1e-300)) return false;
        if (piv != c) {
            for (std::size_t k = 0; k < n; ++k) std::swap(a[c * n + k], a[piv * n + k]);
            std::swap(b[c], b[piv]);
        }
        for (std::size_t r = c + 1; r < n; ++r) {
            const double f = a[r * n + c] / a[c * n + c];
            for (std::size_t k = c; k < n; ++k) a[r * n + k] -= f * a[c * n + k];
            b[r] -= f * b[c];
        }
    }
    for (std::size_t c = n; c-- > 0;) {
        for (std::size_t k = c + 1; k < n; ++k) b[c] -= a[c * n + k] * b[k];
        b[c] /= a[c * n + c];
    }
    return true;
}

}  // namespace propcore
