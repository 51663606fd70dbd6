#include "vapour.h"

#include "linear.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

namespace propcore {

namespace {

constexpr double kR = 8.314462618;  // J/(mol K)

// Pitzer's critical compressibility, standing in for a critical volume the
// databank does not hold.
double criticalZ(double omega) { return 0.2905 - 0.085 * omega; }

// The virial equation truncated after B:
//   ln phi_i = (2 sum_j y_j B_ij - B) P/RT,  B = sum_ij y_i y_j B_ij,
// with B_ij from Tsonopoulos's correlation at pseudo-critical constants
// (Prausnitz's rules: Tc_ij = sqrt(Tc_i Tc_j), Vc_ij from the mean cube
// root, Zc_ij and omega_ij arithmetic means).  The polar terms a, b belong
// to the pure components; unlike pairs take none.
// Critical constants of a component, or pseudo-critical ones of a pair.
struct Pseudo {
    double tc, pc, omega, a, b;
};

class VirialVapour final : public VapourModel {
public:
    VirialVapour(const Problem& problem, std::span<const std::size_t> members) : n_(members.size()) {
        struct Crit {
            double tc, pc, omega, zc, vc, a, b;
        };
        std::vector<Crit> c;
        for (std::size_t i : members) {
            const Component& k = problem.components[i];
            Crit x{*k.tc, *k.pc, *k.omega, criticalZ(*k.omega), 0.0, k.virial_a, k.virial_b};
            x.vc = x.zc * kR * x.tc / x.pc;
            c.push_back(x);
        }
        std::vector<Pseudo> pair_(n_ * n_);
        for (std::size_t i = 0; i < n_; ++i)
            for (std::size_t j = 0; j < n_; ++j) {
                Pseudo& q = pair_[i * n_ + j];
                if (i == j) {
                    q = {c[i].tc, c[i].pc, c[i].omega, c[i].a, c[i].b};
                    continue;
                }
                const double tc = std::sqrt(c[i].tc * c[j].tc);
                const double v = std::pow(0.5 * (std::cbrt(c[i].vc) + std::cbrt(c[j].vc)), 3);
                const double zc = 0.5 * (c[i].zc + c[j].zc);
                q = {tc, zc * kR * tc / v, 0.5 * (c[i].omega + c[j].omega), 0.0, 0.0};
            }
        // B Pc/(R Tc) = f0 + omega f1 + f2 in powers of r = Tc/T.
        poly_.resize(n_ * n_);
        for (std::size_t k = 0; k < n_ * n_; ++k) {
            const Pseudo& q = pair_[k];
            const std::array<double, 6> f{0.1445 + q.omega * 0.0637,
                                          -0.330,
                                          -0.1385 + q.omega * 0.331,
                                          -0.0121 - q.omega * 0.423,
                                          q.a,
                                          -0.000607 - q.omega * 0.008 - q.b};
            const double scale = kR * q.tc / q.pc;
            for (std::size_t e = 0; e < 6; ++e) poly_[k][e] = f[e] * scale * std::pow(q.tc, kPowers[e]);
        }
    }

    void lnPhi(double t, double p, std::span<const double> y, std::span<double> lnphi,
               std::span<double> dlnphi_dt) const override {
        coefficients(t);
        double bmix = 0.0, dbmix = 0.0;
        for (std::size_t i = 0; i < n_; ++i) {
            double s = 0.0, ds = 0.0;
            for (std::size_t j = 0; j < n_; ++j) {
                s += y[j] * b_[i * n_ + j];
                ds += y[j] * db_[i * n_ + j];
            }
            lnphi[i] = s;  // sum_j y_j B_ij for now
            dlnphi_dt[i] = ds;
            bmix += y[i] * s;
            dbmix += y[i] * ds;
        }
        // ln phi_i = (2 s_i - B) P/(R T): d/dT = (2 s_i' - B') P/(R T) - ln phi_i / T.
        const double f = p / (kR * t);
        for (std::size_t i = 0; i < n_; ++i) {
            lnphi[i] = (2.0 * lnphi[i] - bmix) * f;
            dlnphi_dt[i] = (2.0 * dlnphi_dt[i] - dbmix) * f - lnphi[i] / t;
        }
    }

    double lnPhiSat(std::size_t i, double t, double psat, double dlnpsat, double& dt) const override {
        coefficients(t);
        const double b = b_[i * n_ + i], db = db_[i * n_ + i];
        const double v = b * psat / (kR * t);
        dt = db * psat / (kR * t) + v * (dlnpsat - 1.0 / t);
        return v;
    }

private:
    // Powers of 1/T in Tsonopoulos's correlation; B_ij = sum_k a_k / T^e_k.
    static constexpr std::array<int, 6> kPowers{0, 1, 2, 3, 6, 8};

    // B_ij of every pair at t, from each pair's coefficients of 1/T^e
    // (the correlation's terms with Tc^e R Tc/Pc folded in).
    void coefficients(double t) const {
        if (t == t_) return;
        const double u = 1.0 / t, u2 = u * u, u3 = u2 * u, u6 = u3 * u3;
        const std::array<double, 6> up{1.0, u, u2, u3, u6, u6 * u2};
        b_.resize(n_ * n_);
        db_.resize(n_ * n_);
        for (std::size_t k = 0; k < n_ * n_; ++k) {
            const auto& a = poly_[k];
            double b = 0.0, d = 0.0;
            for (std::size_t e = 0; e < 6; ++e) {
                b += a[e] * up[e];
                d -= kPowers[e] * a[e] * up[e];
            }
            b_[k] = b;
            db_[k] = d * u;
        }
        t_ = t;
    }
    std::size_t n_;
    std::vector<std::array<double, 6>> poly_;
    mutable double t_ = -1.0;
    mutable std::vector<double> b_, db_;  // B_ij and dB_ij/dT at t_
};

// The chemical theory of carboxylic-acid vapours: acid monomers M_i form
// dimers M_i M_j with K_ij = z_ij / (z_i z_j P) (K_ii from the databank,
// K_ij = 2 sqrt(K_ii K_jj) for unlike acids, the statistical factor of a
// mixed dimer), and the true species form an ideal gas.  The fugacity of
// an acid is that of its monomer, z_i P; that of any other member is
// z_k P, where its true fraction z_k exceeds its apparent one y_k because
// dimerisation lowers the number of molecules.
class DimerVapour final : public VapourModel {
public:
    DimerVapour(const Problem& problem, std::span<const std::size_t> members) : n_(members.size()) {
        for (std::size_t k = 0; k < n_; ++k)
            if (const auto& d = problem.components[members[k]].dimer) {
                acid_.push_back(k);
                dimer_.push_back(*d);
            }
    }

    bool hasAcid() const { return !acid_.empty(); }

    void lnPhi(double t, double p, std::span<const double> y, std::span<double> lnphi,
               std::span<double> dlnphi_dt) const override {
        const std::size_t m = acid_.size();
        // W_ab z_a z_b summed over a and b counts each dimer's monomers:
        // W_aa = 2 K_aa P for like dimers, W_ab = K_ab P = 2 sqrt(K_aa K_bb) P
        // for unlike ones; dw = dW/dT.
        std::vector<double> w(m * m), dw(m * m), ya(m), z(m);
        for (std::size_t a = 0; a < m; ++a) ya[a] = std::max(y[acid_[a]], 0.0);
        for (std::size_t a = 0; a < m; ++a)
            for (std::size_t b = 0; b < m; ++b) {
                w[a * m + b] = 2.0 * std::sqrt(constant(a, t) * constant(b, t)) * p;
                dw[a * m + b] = -0.5 * (dimer_[a][1] + dimer_[b][1]) / (t * t) * w[a * m + b];
            }
        if (m == 1) {
            // z + 2Kz^2 = y (1 + Kz^2): K(2 - y) z^2 + z - y = 0.
            const double c = 0.5 * w[0] * (2.0 - ya[0]);
            z[0] = 2.0 * ya[0] / (1.0 + std::sqrt(1.0 + 4.0 * c * ya[0]));
        } else {
            solveMonomers(w, ya, z);
        }
        // s apparent moles per true mole (1 + the dimers' true fraction):
        // z_k = s y_k for every non-acid, and z_a / y_a = s / (1 + (W z)_a)
        // for an acid, which holds at infinite dilution too.
        std::vector<double> wz(m), jac(m * m), dz(m);
        double half = 0.0;
        for (std::size_t a = 0; a < m; ++a) {
            for (std::size_t b = 0; b < m; ++b) wz[a] += w[a * m + b] * z[b];
            half += 0.5 * z[a] * wz[a];
        }
        // dz/dT from the monomer balances f(z, T) = 0 (see solveMonomers).
        double halfdw = 0.0;
        std::vector<double> dwz(m);
        for (std::size_t a = 0; a < m; ++a) {
            for (std::size_t b = 0; b < m; ++b) dwz[a] += dw[a * m + b] * z[b];
            halfdw += 0.5 * z[a] * dwz[a];
        }
        monomerJacobian(w, ya, z, wz, jac);
        for (std::size_t a = 0; a < m; ++a) dz[a] = -(z[a] * dwz[a] - ya[a] * halfdw);
        // A singular Jacobian leaves the derivatives not-a-number, for the
        // Newton steps that use them to refuse.
        if (!SolveDense(jac, dz, m)) std::fill(dz.begin(), dz.end(), NAN);
        const double s = 1.0 + half;
        double ds = halfdw;
        for (std::size_t a = 0; a < m; ++a) ds += wz[a] * dz[a];  // d(z'Wz/2) = z'W dz at fixed W
        for (std::size_t i = 0; i < n_; ++i) {
            lnphi[i] = std::log(s);
            dlnphi_dt[i] = ds / s;
        }
        for (std::size_t a = 0; a < m; ++a) {
            double d = dwz[a];
            for (std::size_t b = 0; b < m; ++b) d += w[a * m + b] * dz[b];
            lnphi[acid_[a]] = std::log(s / (1.0 + wz[a]));
            dlnphi_dt[acid_[a]] = ds / s - d / (1.0 + wz[a]);
        }
    }

    double lnPhiSat(std::size_t i, double t, double psat, double dlnpsat, double& dt) const override {
        dt = 0.0;
        for (std::size_t a = 0; a < acid_.size(); ++a)
            if (acid_[a] == i) {
                const double k = constant(a, t) * psat;
                // Pure acid: K z^2 + z - 1 = 0, so dz (2Kz + 1) = -z^2 dK.
                const double z = 2.0 / (1.0 + std::sqrt(1.0 + 4.0 * k));
                const double dk = k * (dlnpsat - dimer_[a][1] / (t * t));
                dt = -z * dk / (2.0 * k * z + 1.0);
                return std::log(z);
            }
        return 0.0;
    }

private:
    double constant(std::size_t a, double t) const { return std::exp(dimer_[a][0] + dimer_[a][1] / t); }

    // d f_a / d z_b of f_a = z_a (1 + (W z)_a) - y_a (1 + z'W z / 2).
    static void monomerJacobian(const std::vector<double>& w, const std::vector<double>& y,
                                const std::vector<double>& z, const std::vector<double>& wz, std::vector<double>& jac) {
        const std::size_t m = y.size();
        for (std::size_t a = 0; a < m; ++a)
            for (std::size_t b = 0; b < m; ++b)
                jac[a * m + b] = (a == b ? 1.0 + wz[a] : 0.0) + z[a] * w[a * m + b] - y[a] * wz[b];
    }

    // Newton on the monomer fractions z of several acids:
    //   f_a = z_a (1 + (W z)_a) - y_a (1 + z'W z / 2) = 0.
    static void solveMonomers(const std::vector<double>& w, const std::vector<double>& y, std::vector<double>& z) {
        const std::size_t m = y.size();
        for (std::size_t a = 0; a < m; ++a) z[a] = y[a] / (1.0 + w[a * m + a] * y[a]);
        std::vector<double> wz(m), step(m), jac(m * m);
        for (int it = 0; it < 100; ++it) {
            double half = 0.0;
            for (std::size_t a = 0; a < m; ++a) {
                wz[a] = 0.0;
                for (std::size_t b = 0; b < m; ++b) wz[a] += w[a * m + b] * z[b];
                half += 0.5 * z[a] * wz[a];
            }
            double worst = 0.0;
            for (std::size_t a = 0; a < m; ++a) {
                step[a] = z[a] * (1.0 + wz[a]) - y[a] * (1.0 + half);
                worst = std::max(worst, std::abs(step[a]));
            }
            if (worst < 1e-15) return;
            monomerJacobian(w, y, z, wz, jac);
            if (!SolveDense(jac, step, m)) return;
            // Monomer fractions stay within (0, y]: halve a step that leaves.
            for (std::size_t a = 0; a < m; ++a) {
                double nz = z[a] - step[a];
                if (nz <= 0.0) nz = 0.5 * z[a];
                if (nz > y[a]) nz = 0.5 * (z[a] + y[a]);
                z[a] = nz;
            }
        }
    }

    std::size_t n_;
    std::vector<std::size_t> acid_;
    std::vector<std::array<double, 2>> dimer_;
};

}  // namespace

double TsonopoulosB(double t, double tc, double pc, double omega, double a, double b, double* dbdt) {
    const double r = tc / t;  // 1/Tr
    const double r2 = r * r, r3 = r2 * r, r6 = r3 * r3, r8 = r6 * r2;
    const double f0 = 0.1445 - 0.330 * r - 0.1385 * r2 - 0.0121 * r3 - 0.000607 * r8;
    const double f1 = 0.0637 + 0.331 * r2 - 0.423 * r3 - 0.008 * r8;
    const double f2 = a * r6 - b * r8;
    if (dbdt) {
        // d/dT = -(r/T) d/dr.
        const double d0 = -0.330 - 2 * 0.1385 * r - 3 * 0.0121 * r2 - 8 * 0.000607 * r6 * r;
        const double d1 = 2 * 0.331 * r - 3 * 0.423 * r2 - 8 * 0.008 * r6 * r;
        const double d2 = 6 * a * r3 * r2 - 8 * b * r6 * r;
        *dbdt = -(r / t) * (d0 + omega * d1 + d2) * kR * tc / pc;
    }
    return (f0 + omega * f1 + f2) * kR * tc / pc;
}

std::unique_ptr<VapourModel> MakeVapourModel(const Problem& problem, const Method& method,
                                             std::span<const std::size_t> members) {
    switch (method.vapour) {
        case Vapour::Ideal: return nullptr;
        case Vapour::Virial: return std::make_unique<VirialVapour>(problem, members);
        case Vapour::Chemical: {
            auto v = std::make_unique<DimerVapour>(problem, members);
            if (!v->hasAcid()) return nullptr;
            return v;
        }
    }
    return nullptr;
}

}  // namespace propcore
