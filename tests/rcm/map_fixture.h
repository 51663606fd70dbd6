// A ternary example opened through the engine, with its singular points
// located by methods independent of the azeotrope search: golden-section
// search for the extreme bubble temperature along each edge, and Newton's
// method on y(x) - x for the ternary azeotrope.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <memory>
#include <vector>

#include "../engine/engine_env.h"
#include "azeotrope/stability.h"
#include "engine/engine_flash.h"
#include "engine/session.h"

namespace ternival::testing {

using X3 = std::array<double, 3>;

class TernaryMapFixture : public EngineEnvironment {
protected:
    void open(const char* example, std::array<const char*, 3> names) {
        session_ = std::make_unique<EngineSession>(std::string(TERNIVAL_EXAMPLES_DIR) + "/" + example, TERNIVAL_VELMTOP);
        ASSERT_TRUE(session_->ok()) << session_->error();
        for (int i = 0; i < 3; ++i) ids_[i] = LookupComponentIndex(names[i]);
    }
    void TearDown() override {
        session_.reset();
        EngineEnvironment::TearDown();
    }
    // Bubble point of x; returns T, vapour in y.
    double bubble(const X3& x, X3& y, int phase = 2) const {
        X3 l{}, a{}, b{};
        double t = 0, p = pressure_, vf = 0, r = 0;
        std::int64_t err = 0;
        EngineFlash("PV", phase, "", 3, ids_, x, t, p, vf, y, l, r, a, b, err);
        return t;
    }
    double bubble(const X3& x) const {
        X3 y{};
        return bubble(x, y);
    }
    // Extreme bubble temperature on the edge i-j; sign +1 seeks a maximum.
    X3 edgeExtreme(int i, int j, double sign) const {
        auto at = [&](double s) {
            X3 x{};
            x[i] = s;
            x[j] = 1.0 - s;
            return x;
        };
        double a = 1e-4, b = 1 - 1e-4;
        const double g = (std::sqrt(5.0) - 1) / 2;
        double c = b - g * (b - a), d = a + g * (b - a);
        for (int k = 0; k < 80; ++k) {
            if (sign * bubble(at(c)) > sign * bubble(at(d))) b = d; else a = c;
            c = b - g * (b - a);
            d = a + g * (b - a);
        }
        // The extreme is flat in T, so polish it with the secant method on
        // y_i - x_i, which crosses zero there.
        auto f = [&](double s) {
            X3 y{};
            bubble(at(s), y);
            return y[i] - s;
        };
        const double mid = 0.5 * (a + b);
        double s0 = mid - 1e-3, s1 = mid + 1e-3, f0 = f(s0), f1 = f(s1);
        for (int k = 0; k < 40 && std::abs(f1) > 1e-13 && f1 != f0; ++k) {
            const double s2 = s1 - f1 * (s1 - s0) / (f1 - f0);
            s0 = s1;
            f0 = f1;
            s1 = s2;
            f1 = f(s1);
        }
        return at(s1);
    }
    // Newton on F(x) = y(x) - x over (x1, x2).
    X3 ternaryAzeotrope(X3 x) const {
        for (int it = 0; it < 30; ++it) {
            X3 y{};
            bubble(x, y);
            const double f0 = y[0] - x[0], f1 = y[1] - x[1];
            if (std::abs(f0) + std::abs(f1) < 1e-12) break;
            double J[2][2];
            for (int c = 0; c < 2; ++c) {
                X3 xp = x, yp{};
                const double h = 1e-6;
                xp[c] += h;
                xp[2] -= h;
                bubble(xp, yp);
                J[0][c] = ((yp[0] - xp[0]) - f0) / h;
                J[1][c] = ((yp[1] - xp[1]) - f1) / h;
            }
            const double det = J[0][0] * J[1][1] - J[0][1] * J[1][0];
            const double d0 = -(f0 * J[1][1] - f1 * J[0][1]) / det;
            const double d1 = -(J[0][0] * f1 - J[1][0] * f0) / det;
            x[0] += d0;
            x[1] += d1;
            x[2] = 1 - x[0] - x[1];
        }
        return x;
    }
    // Pure components then the given azeotropes: compositions (3 x count),
    // codes and temperatures as the map routines take them.
    void singularPoints(const std::vector<X3>& azeotropes) {
        singular_x_.clear();
        codes_.clear();
        temps_.clear();
        for (int i = 0; i < 3; ++i) {
            X3 e{};
            e[i] = 1.0;
            singular_x_.insert(singular_x_.end(), e.begin(), e.end());
            std::int64_t err = 0;
            codes_.push_back(PureComponentStability(ids_, static_cast<std::size_t>(i), pressure_, "", 2, err));
            temps_.push_back(bubble(e));
        }
        for (const X3& a : azeotropes) {
            singular_x_.insert(singular_x_.end(), a.begin(), a.end());
            std::int64_t code = 0, err = 0;
            std::array<double, 2> re{};
            std::array<double, 4> v{};
            Stability_RCM(3, a, 1, pressure_, ids_, "", 2, code, re, v, err);
            codes_.push_back(code);
            temps_.push_back(bubble(a));
        }
    }
    std::unique_ptr<EngineSession> session_;
    std::array<std::int64_t, 3> ids_{};
    double pressure_ = 101325.0;
    std::vector<double> singular_x_, temps_;
    std::vector<std::int64_t> codes_;
};

inline double dist2(std::span<const double> a, std::span<const double> b) {
    double d = 0;
    for (std::size_t i = 0; i < a.size(); ++i) d += (a[i] - b[i]) * (a[i] - b[i]);
    return d;
}

}  // namespace ternival::testing
