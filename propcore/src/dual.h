// Forward-mode dual numbers: a value and its gradient with respect to a
// few independent variables, for derivatives of the activity models in
// closed form by construction.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>

namespace propcore {

// Most independent variables a gradient carries (liquid-liquid Newton
// splits of larger mixtures fall back to substitution).
inline constexpr std::size_t kMaxDual = 24;

struct Dual {
    double v = 0.0;
    std::array<double, kMaxDual> d{};
    std::size_t n = 0;  // gradient entries in use; the rest are zero

    Dual() = default;
    Dual(double value) : v(value) {}  // NOLINT: constants convert implicitly

    Dual& operator+=(const Dual& b) {
        v += b.v;
        n = std::max(n, b.n);
        for (std::size_t k = 0; k < b.n; ++k) d[k] += b.d[k];
        return *this;
    }
    Dual& operator-=(const Dual& b) {
        v -= b.v;
        n = std::max(n, b.n);
        for (std::size_t k = 0; k < b.n; ++k) d[k] -= b.d[k];
        return *this;
    }
};

inline Dual operator+(Dual a, const Dual& b) { return a += b; }
inline Dual operator-(Dual a, const Dual& b) { return a -= b; }
inline Dual operator-(Dual a) {
    a.v = -a.v;
    for (std::size_t k = 0; k < a.n; ++k) a.d[k] = -a.d[k];
    return a;
}
inline Dual operator*(const Dual& a, const Dual& b) {
    Dual r;
    r.v = a.v * b.v;
    r.n = std::max(a.n, b.n);
    for (std::size_t k = 0; k < r.n; ++k) r.d[k] = a.d[k] * b.v + a.v * b.d[k];
    return r;
}
inline Dual operator*(Dual a, double s) {
    a.v *= s;
    for (std::size_t k = 0; k < a.n; ++k) a.d[k] *= s;
    return a;
}
inline Dual operator*(double s, const Dual& a) { return a * s; }
inline Dual operator/(const Dual& a, const Dual& b) {
    Dual r;
    r.v = a.v / b.v;
    r.n = std::max(a.n, b.n);
    const double inv = 1.0 / b.v;
    for (std::size_t k = 0; k < r.n; ++k) r.d[k] = (a.d[k] - r.v * b.d[k]) * inv;
    return r;
}
inline Dual operator/(const Dual& a, double s) { return a * (1.0 / s); }
inline Dual operator/(double s, const Dual& b) { return Dual(s) / b; }

inline Dual log(const Dual& a) {
    Dual r;
    r.v = std::log(a.v);
    r.n = a.n;
    for (std::size_t k = 0; k < a.n; ++k) r.d[k] = a.d[k] / a.v;
    return r;
}
inline Dual exp(const Dual& a) {
    Dual r;
    r.v = std::exp(a.v);
    r.n = a.n;
    for (std::size_t k = 0; k < a.n; ++k) r.d[k] = a.d[k] * r.v;
    return r;
}

inline double value(double a) { return a; }
inline double value(const Dual& a) { return a.v; }

}  // namespace propcore
