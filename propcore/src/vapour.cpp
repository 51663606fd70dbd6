#include "vapour.h"

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
        pair_.resize(n_ * n_);
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
    }

    void lnPhi(double t, double p, std::span<const double> y, std::span<double> lnphi) const override {
        coefficients(t);
        double bmix = 0.0;
        for (std::size_t i = 0; i < n_; ++i) {
            double s = 0.0;
            for (std::size_t j = 0; j < n_; ++j) s += y[j] * b_[i * n_ + j];
            lnphi[i] = s;  // sum_j y_j B_ij for now
            bmix += y[i] * s;
        }
        const double f = p / (kR * t);
        for (std::size_t i = 0; i < n_; ++i) lnphi[i] = (2.0 * lnphi[i] - bmix) * f;
    }

    double lnPhiSat(std::size_t i, double t, double psat) const override {
        const Pseudo& q = pair_[i * n_ + i];
        return TsonopoulosB(t, q.tc, q.pc, q.omega, q.a, q.b) * psat / (kR * t);
    }

private:
    struct Pseudo {
        double tc, pc, omega, a, b;
    };
    void coefficients(double t) const {
        if (t == t_) return;
        b_.resize(n_ * n_);
        for (std::size_t i = 0; i < n_; ++i)
            for (std::size_t j = i; j < n_; ++j) {
                const Pseudo& q = pair_[i * n_ + j];
                b_[i * n_ + j] = b_[j * n_ + i] = TsonopoulosB(t, q.tc, q.pc, q.omega, q.a, q.b);
            }
        t_ = t;
    }
    std::size_t n_;
    std::vector<Pseudo> pair_;
    mutable double t_ = -1.0;
    mutable std::vector<double> b_;
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

    void lnPhi(double t, double p, std::span<const double> y, std::span<double> lnphi) const override {
        const std::size_t m = acid_.size();
        std::vector<double> w(m * m), ya(m), z(m);
        for (std::size_t a = 0; a < m; ++a) ya[a] = std::max(y[acid_[a]], 0.0);
        for (std::size_t a = 0; a < m; ++a)
            for (std::size_t b = 0; b < m; ++b) {
                const double ka = constant(a, t) * p, kb = constant(b, t) * p;
                // W_ab z_a z_b summed over a and b counts each dimer's
                // monomers: 2 K_aa for like, K_ab = 2 sqrt(K_aa K_bb) for unlike.
                w[a * m + b] = a == b ? 2.0 * ka : 2.0 * std::sqrt(ka * kb);
            }
        double dimers = 0.0;  // true mole fraction of all dimers
        if (m == 1) {
            // z + 2Kz^2 = y (1 + Kz^2): K(2 - y) z^2 + z - y = 0.
            const double k = 0.5 * w[0], c = k * (2.0 - ya[0]);
            z[0] = c > 0.0 ? 2.0 * ya[0] / (1.0 + std::sqrt(1.0 + 4.0 * c * ya[0])) : ya[0];
            dimers = k * z[0] * z[0];
        } else {
            dimers = solveMonomers(w, ya, z);
        }
        // s apparent moles per true mole: z_k = s y_k for every non-acid,
        // and z_a / y_a = s / (1 + (W z)_a) for an acid, which holds at
        // infinite dilution too.
        const double s = 1.0 + dimers;
        for (std::size_t i = 0; i < n_; ++i) lnphi[i] = std::log(s);
        for (std::size_t a = 0; a < m; ++a) {
            double wz = 0.0;
            for (std::size_t b = 0; b < m; ++b) wz += w[a * m + b] * z[b];
            lnphi[acid_[a]] = std::log(s / (1.0 + wz));
        }
    }

    double lnPhiSat(std::size_t i, double t, double psat) const override {
        for (std::size_t a = 0; a < acid_.size(); ++a)
            if (acid_[a] == i) {
                const double k = constant(a, t) * psat;
                // Pure acid: K z^2 + z - 1 = 0.
                const double z = 2.0 / (1.0 + std::sqrt(1.0 + 4.0 * k));
                return std::log(z);
            }
        return 0.0;
    }

private:
    double constant(std::size_t a, double t) const { return std::exp(dimer_[a][0] + dimer_[a][1] / t); }

    // Newton on the monomer fractions z of several acids:
    //   f_a = z_a (1 + (W z)_a) - y_a (1 + z'W z / 2) = 0.
    // Returns the dimers' true mole fraction z'W z / 2.
    static double solveMonomers(const std::vector<double>& w, const std::vector<double>& y, std::vector<double>& z) {
        const std::size_t m = y.size();
        for (std::size_t a = 0; a < m; ++a) z[a] = y[a] / (1.0 + w[a * m + a] * y[a]);
        std::vector<double> wz(m), f(m), jac(m * m), step(m);
        double half = 0.0;
        for (int it = 0; it < 100; ++it) {
            half = 0.0;
            for (std::size_t a = 0; a < m; ++a) {
                wz[a] = 0.0;
                for (std::size_t b = 0; b < m; ++b) wz[a] += w[a * m + b] * z[b];
                half += 0.5 * z[a] * wz[a];
            }
            double worst = 0.0;
            for (std::size_t a = 0; a < m; ++a) {
                f[a] = z[a] * (1.0 + wz[a]) - y[a] * (1.0 + half);
                worst = std::max(worst, std::abs(f[a]));
                for (std::size_t b = 0; b < m; ++b)
                    jac[a * m + b] = (a == b ? 1.0 + wz[a] : 0.0) + z[a] * w[a * m + b] - y[a] * wz[b];
            }
            if (worst < 1e-15) break;
            // Gaussian elimination with partial pivoting (m is a handful).
            step = f;
            std::vector<double> j = jac;
            for (std::size_t c = 0; c < m; ++c) {
                std::size_t piv = c;
                for (std::size_t r = c + 1; r < m; ++r)
                    if (std::abs(j[r * m + c]) > std::abs(j[piv * m + c])) piv = r;
                if (piv != c) {
                    for (std::size_t k = 0; k < m; ++k) std::swap(j[c * m + k], j[piv * m + k]);
                    std::swap(step[c], step[piv]);
                }
                if (j[c * m + c] == 0.0) return half;
                for (std::size_t r = c + 1; r < m; ++r) {
                    const double g = j[r * m + c] / j[c * m + c];
                    for (std::size_t k = c; k < m; ++k) j[r * m + k] -= g * j[c * m + k];
                    step[r] -= g * step[c];
                }
            }
            for (std::size_t c = m; c-- > 0;) {
                for (std::size_t k = c + 1; k < m; ++k) step[c] -= j[c * m + k] * step[k];
                step[c] /= j[c * m + c];
            }
            // Monomer fractions stay within (0, y]: halve a step that leaves.
            for (std::size_t a = 0; a < m; ++a) {
                double nz = z[a] - step[a];
                if (nz <= 0.0) nz = 0.5 * z[a];
                if (nz > y[a]) nz = 0.5 * (z[a] + y[a]);
                z[a] = nz;
            }
        }
        return half;
    }

    std::size_t n_;
    std::vector<std::size_t> acid_;
    std::vector<std::array<double, 2>> dimer_;
};

}  // namespace

double TsonopoulosB(double t, double tc, double pc, double omega, double a, double b) {
    const double r = tc / t;  // 1/Tr
    const double r2 = r * r, r3 = r2 * r, r6 = r3 * r3, r8 = r6 * r2;
    const double f0 = 0.1445 - 0.330 * r - 0.1385 * r2 - 0.0121 * r3 - 0.000607 * r8;
    const double f1 = 0.0637 + 0.331 * r2 - 0.423 * r3 - 0.008 * r8;
    const double f2 = a * r6 - b * r8;
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
