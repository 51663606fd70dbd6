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
inline constexpr std::size_t kMaxDual = 8;

// The gradient entries beyond n are not kept (they are zero by
// definition and never read): operations touch only the entries in use.
struct Dual {
    double v;
    std::size_t n;  // gradient entries in use
    std::array<double, kMaxDual> d;

    Dual() : v(0.0), n(0) {}
    Dual(double value) : v(value), n(0) {}  // NOLINT: constants convert implicitly

    double grad(std::size_t k) const { return k < n ? d[k] : 0.0; }
    void widen(std::size_t m) {
        for (std::size_t k = n; k < m; ++k) d[k] = 0.0;
        if (m > n) n = m;
    }
    Dual& operator+=(const Dual& b) {
        v += b.v;
        widen(b.n);
        for (std::size_t k = 0; k < b.n; ++k) d[k] += b.d[k];
        return *this;
    }
    Dual& operator-=(const Dual& b) {
        v -= b.v;
        widen(b.n);
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
    if (a.n == b.n)
        for (std::size_t k = 0; k < r.n; ++k) r.d[k] = a.d[k] * b.v + a.v * b.d[k];
    else
        for (std::size_t k = 0; k < r.n; ++k) r.d[k] = a.grad(k) * b.v + a.v * b.grad(k);
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
    if (a.n == b.n)
        for (std::size_t k = 0; k < r.n; ++k) r.d[k] = (a.d[k] - r.v * b.d[k]) * inv;
    else
        for (std::size_t k = 0; k < r.n; ++k) r.d[k] = (a.grad(k) - r.v * b.grad(k)) * inv;
    return r;
}
inline Dual operator/(const Dual& a, double s) { return a * (1.0 / s); }
inline Dual operator/(double s, const Dual& b) {
    Dual r;
    r.v = s / b.v;
    r.n = b.n;
    const double f = -r.v / b.v;
    for (std::size_t k = 0; k < b.n; ++k) r.d[k] = f * b.d[k];
    return r;
}

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
