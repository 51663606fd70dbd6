#include "activity.h"

#include "dual.h"

#include <cmath>
#include <limits>
#include <map>

namespace propcore {
namespace {

// n x n parameter tables of a method restricted to the mixture's members.
struct Tables {
    std::size_t n = 0;
    std::vector<double> a, b, c, d, e, f;

    Tables(const Problem& problem, const Method& method, std::span<const std::size_t> members)
        : n(members.size()) {
        const std::size_t np = problem.components.size();
        for (auto* t : {&a, &b, &c, &d, &e, &f}) t->resize(n * n);
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < n; ++j) {
                const std::size_t k = members[i] * np + members[j];
                a[i * n + j] = method.a[k];
                b[i * n + j] = method.b[k];
                c[i * n + j] = method.c[k];
                d[i * n + j] = method.d[k];
                e[i * n + j] = method.e[k];
                f[i * n + j] = method.f[k];
            }
    }
    static bool zero(const std::vector<double>& v) {
        for (double x : v)
            if (x != 0.0) return false;
        return true;
    }
};

// The two entry points of every model from one evaluation written for any
// scalar: double for ln(gamma), Dual for its derivatives.  A model M
// provides prepare(t) (the quantities that depend on temperature only),
// scratchSize() and eval<S>(x, lng, scratch).
template <class M>
class ModelBase : public ActivityModel {
public:
    void lnGamma(double t, std::span<const double> x, std::span<double> lng) const final {
        const M& m = static_cast<const M&>(*this);
        m.prepare(t);
        work_.resize(m.scratchSize());
        m.template eval<double>(x, lng, work_);
    }

    void lnGammaDn(double t, std::span<const double> moles, std::span<double> lng,
                   std::span<double> jac) const final {
        const M& m = static_cast<const M&>(*this);
        m.prepare(t);
        const std::size_t n = moles.size();
        // A model with its derivatives in closed form gives them itself.
        if constexpr (requires { m.closedFormDn(moles, lng, jac, work_); }) {
            work_.resize(m.scratchSize());
            m.closedFormDn(moles, lng, jac, work_);
            return;
        }
        // x_i = n_i / N with d x_i / d n_j = (delta_ij - x_i) / N.
        double total = 0.0;
        for (double v : moles) total += v;
        std::vector<Dual> x(n), out(n), work(m.scratchSize());
        for (std::size_t i = 0; i < n; ++i) {
            x[i].v = moles[i] / total;
            x[i].n = n;
            for (std::size_t j = 0; j < n; ++j) x[i].d[j] = ((i == j ? 1.0 : 0.0) - moles[i] / total) / total;
        }
        m.template eval<Dual>(x, out, work);
        for (std::size_t i = 0; i < n; ++i) {
            lng[i] = out[i].v;
            for (std::size_t j = 0; j < n; ++j) jac[i * n + j] = out[i].grad(j);
        }
    }

private:
    mutable std::vector<double> work_;
};

using std::exp;
using std::log;

// The local-composition form shared by Wilson's equation, the UNIQUAC
// residual part and the UNIFAC group activity coefficients, for weights w
// and an interaction matrix m(i, j):
//   s_k = sum_j w_j m(j, k),   out_i = 1 - ln s_i - sum_k w_k m(i, k) / s_k.
template <class S, class M>
void localComposition(std::size_t n, const S* w, M m, S* s, S* out) {
    for (std::size_t k = 0; k < n; ++k) {
        S v = 0.0;
        for (std::size_t j = 0; j < n; ++j) v += w[j] * m(j, k);
        s[k] = v;
    }
    for (std::size_t i = 0; i < n; ++i) {
        S sum = 0.0;
        for (std::size_t k = 0; k < n; ++k) sum += w[k] * m(i, k) / s[k];
        out[i] = 1.0 - log(s[i]) - sum;
    }
}

class IdealModel final : public ModelBase<IdealModel> {
public:
    void prepare(double) const {}
    std::size_t scratchSize() const { return 0; }
    template <class S>
    void eval(std::span<const S>, std::span<S> lng, std::vector<S>&) const {
        for (S& v : lng) v = 0.0;
    }
};

// Quantities that depend on temperature only are kept for the last
// temperature: a flash evaluates many compositions at one temperature.
class Wilson final : public ModelBase<Wilson> {
public:
    explicit Wilson(Tables t) : p_(std::move(t)), lam_(p_.n * p_.n) {}

    void prepare(double t) const {
        if (t == t_) return;
        const std::size_t n = p_.n;
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < n; ++j)
                lam_[i * n + j] = i == j ? 1.0 : std::exp(p_.a[i * n + j] + p_.b[i * n + j] / t);
        t_ = t;
    }
    std::size_t scratchSize() const { return p_.n; }

    template <class S>
    void eval(std::span<const S> x, std::span<S> lng, std::vector<S>& s) const {
        // ln gamma_i = 1 - ln sum_j x_j Lambda_ij - sum_k x_k Lambda_ki / sum_j x_j Lambda_kj.
        const std::size_t n = p_.n;
        localComposition(n, x.data(), [&](std::size_t i, std::size_t j) { return lam_[j * n + i]; }, s.data(),
                         lng.data());
    }

private:
    Tables p_;
    mutable double t_ = std::numeric_limits<double>::quiet_NaN();
    mutable std::vector<double> lam_;
};

class Nrtl final : public ModelBase<Nrtl> {
public:
    explicit Nrtl(Tables t)
        : p_(std::move(t)),
          extended_(!Tables::zero(p_.d) || !Tables::zero(p_.e) || !Tables::zero(p_.f)),
          tau_(p_.n * p_.n), g_(p_.n * p_.n) {}

    void prepare(double t) const {
        if (t == t_) return;
        const std::size_t n = p_.n;
        const double lnt = extended_ ? std::log(t) : 0.0;
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < n; ++j) {
                const std::size_t k = i * n + j;
                double tv = 0.0, alpha = p_.c[k];
                if (i != j) {
                    tv = p_.a[k] + p_.b[k] / t;
                    if (extended_) {
                        tv += p_.e[k] * lnt + p_.f[k] * t;
                        alpha += p_.d[k] * (t - 273.15);
                    }
                }
                tau_[k] = tv;
                g_[k] = std::exp(-alpha * tv);
            }
        t_ = t;
    }
    std::size_t scratchSize() const { return 2 * p_.n; }

    template <class S>
    void eval(std::span<const S> x, std::span<S> lng, std::vector<S>& w) const {
        const std::size_t n = p_.n;
        S* den = w.data();      // den_j = sum_k x_k G_kj
        S* num = w.data() + n;  // num_j = sum_k x_k tau_kj G_kj
        for (std::size_t j = 0; j < n; ++j) {
            S d = 0.0, m = 0.0;
            for (std::size_t k = 0; k < n; ++k) {
                d += x[k] * g_[k * n + j];
                m += x[k] * (tau_[k * n + j] * g_[k * n + j]);
            }
            den[j] = d;
            num[j] = m;
        }
        for (std::size_t i = 0; i < n; ++i) {
            S v = num[i] / den[i];
            for (std::size_t j = 0; j < n; ++j)
                v += x[j] * g_[i * n + j] / den[j] * (tau_[i * n + j] - num[j] / den[j]);
            lng[i] = v;
        }
    }

    // ln(gamma) is homogeneous of degree zero in x, so with mole numbers
    // in place of x its derivatives are d ln(gamma_i)/d n_k:
    //   G_ki (tau_ki - E_i)/D_i + G_ik (tau_ik - E_k)/D_k
    //   - sum_j x_j G_ij G_kj (tau_ij + tau_kj - 2 E_j)/D_j^2,
    // with D_j = sum_l x_l G_lj and E_j = sum_l x_l tau_lj G_lj / D_j.
    void closedFormDn(std::span<const double> moles, std::span<double> lng, std::span<double> jac,
                      std::vector<double>& w) const {
        const std::size_t n = p_.n;
        eval<double>(moles, lng, w);  // leaves D in w[0..n), C in w[n..2n)
        const double* den = w.data();
        const double* num = w.data() + n;
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t k = i; k < n; ++k) {
                const double ei = num[i] / den[i], ek = num[k] / den[k];
                double v = g_[k * n + i] * (tau_[k * n + i] - ei) / den[i] +
                           g_[i * n + k] * (tau_[i * n + k] - ek) / den[k];
                for (std::size_t j = 0; j < n; ++j) {
                    const double ej = num[j] / den[j];
                    v -= moles[j] * g_[i * n + j] * g_[k * n + j] * (tau_[i * n + j] + tau_[k * n + j] - 2.0 * ej) /
                         (den[j] * den[j]);
                }
                jac[i * n + k] = jac[k * n + i] = v;
            }
    }

private:
    Tables p_;
    bool extended_;
    mutable double t_ = std::numeric_limits<double>::quiet_NaN();
    mutable std::vector<double> tau_, g_;
};

// The combinatorial part shared by UNIQUAC and UNIFAC (z = 10):
// ln(phi_i/x_i) + z/2 q_i ln(theta_i/phi_i) + l_i - phi_i/x_i sum_j x_j l_j,
// written with phi_i/x_i = r_i/sum(x r) so that it stays finite at x_i = 0.
template <class S>
void staverman(std::span<const double> r, std::span<const double> q, std::span<const S> x, std::span<S> out) {
    constexpr double z = 10.0;
    S sr = 0.0, sq = 0.0, sl = 0.0;
    for (std::size_t i = 0; i < r.size(); ++i) {
        sr += x[i] * r[i];
        sq += x[i] * q[i];
        sl += x[i] * (z / 2.0 * (r[i] - q[i]) - (r[i] - 1.0));
    }
    for (std::size_t i = 0; i < r.size(); ++i) {
        const S phix = r[i] / sr;
        const S thph = (q[i] / sq) / phix;
        const double l = z / 2.0 * (r[i] - q[i]) - (r[i] - 1.0);
        out[i] = log(phix) + z / 2.0 * q[i] * log(thph) + l - phix * sl;
    }
}

class Uniquac final : public ModelBase<Uniquac> {
public:
    Uniquac(Tables t, std::vector<double> r, std::vector<double> q)
        : p_(std::move(t)), extended_(!Tables::zero(p_.c) || !Tables::zero(p_.d)), r_(std::move(r)),
          q_(std::move(q)), tau_(p_.n * p_.n) {}

    void prepare(double t) const {
        if (t == t_) return;
        const std::size_t n = p_.n;
        const double lnt = extended_ ? std::log(t) : 0.0;
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < n; ++j) {
                const std::size_t k = i * n + j;
                double v = p_.a[k] + p_.b[k] / t;
                if (extended_) v += p_.c[k] * lnt + p_.d[k] * t;
                tau_[k] = i == j ? 1.0 : std::exp(v);
            }
        t_ = t;
    }
    std::size_t scratchSize() const { return 3 * p_.n; }

    template <class S>
    void eval(std::span<const S> x, std::span<S> lng, std::vector<S>& w) const {
        const std::size_t n = p_.n;
        S* theta = w.data();
        S* st = w.data() + n;  // st_i = sum_j theta_j tau_ji
        S* res = w.data() + 2 * n;
        staverman<S>(r_, q_, x, lng);
        S sq = 0.0;
        for (std::size_t i = 0; i < n; ++i) sq += x[i] * q_[i];
        for (std::size_t i = 0; i < n; ++i) theta[i] = x[i] * q_[i] / sq;
        localComposition(n, theta, [&](std::size_t i, std::size_t j) { return tau_[i * n + j]; }, st, res);
        for (std::size_t i = 0; i < n; ++i) lng[i] += q_[i] * res[i];
    }

private:
    Tables p_;
    bool extended_;
    std::vector<double> r_, q_;
    mutable double t_ = std::numeric_limits<double>::quiet_NaN();
    mutable std::vector<double> tau_;
};

// UNIFAC: the combinatorial part from the molecules' group sums r_i and
// q_i (Staverman-Guggenheim, or the Dortmund form with r^(3/4)), the
// residual part from the groups' activity coefficients in the mixture and
// in each pure component.
class Unifac final : public ModelBase<Unifac> {
public:
    Unifac(const GroupTables& tables, const std::vector<GroupCounts>& molecules)
        : dortmund_(tables.model == GroupModel::UnifacDmd), n_(molecules.size()) {
        // The distinct subgroups of the mixture.
        std::map<int, std::size_t> column;
        for (const auto& mol : molecules)
            for (auto [sub, count] : mol) column.emplace(sub, 0);
        std::size_t k = 0;
        for (auto& [sub, col] : column) {
            col = k++;
            const Subgroup& s = tables.subgroups.at(sub);
            R_.push_back(s.r);
            Q_.push_back(s.q);
            main_.push_back(s.main);
        }
        g_ = k;
        nu_.assign(n_ * g_, 0.0);
        for (std::size_t i = 0; i < n_; ++i)
            for (auto [sub, count] : molecules[i]) nu_[i * g_ + column.at(sub)] += count;
        r_.assign(n_, 0.0);
        q_.assign(n_, 0.0);
        r34_.assign(n_, 0.0);
        for (std::size_t i = 0; i < n_; ++i) {
            for (std::size_t m = 0; m < g_; ++m) {
                r_[i] += nu_[i * g_ + m] * R_[m];
                q_[i] += nu_[i * g_ + m] * Q_[m];
            }
            r34_[i] = std::pow(r_[i], 0.75);
        }
        ia_.resize(g_ * g_);
        for (std::size_t m = 0; m < g_; ++m)
            for (std::size_t l = 0; l < g_; ++l)
                ia_[m * g_ + l] = main_[m] == main_[l] ? GroupInteraction{}
                                                       : tables.interactions.at({main_[m], main_[l]});
        psi_.resize(g_ * g_);
        pure_.resize(n_ * g_);
    }

    void prepare(double t) const {
        if (t == t_) return;
        for (std::size_t m = 0; m < g_; ++m)
            for (std::size_t l = 0; l < g_; ++l) {
                const GroupInteraction& p = ia_[m * g_ + l];
                psi_[m * g_ + l] = std::exp(-(p.a + p.b * t + p.c * t * t) / t);
            }
        // ln Gamma_k of each pure component at this temperature.
        std::vector<double> w(3 * g_);
        for (std::size_t i = 0; i < n_; ++i) {
            groupLnGamma<double>(std::span<const double>(nu_).subspan(i * g_, g_), w.data());
            for (std::size_t m = 0; m < g_; ++m) pure_[i * g_ + m] = w[2 * g_ + m];
        }
        t_ = t;
    }
    std::size_t scratchSize() const { return 4 * g_; }

    template <class S>
    void eval(std::span<const S> x, std::span<S> lng, std::vector<S>& w) const {
        // Group amounts of the mixture (unnormalised; groupLnGamma normalises).
        S* amount = w.data();
        for (std::size_t m = 0; m < g_; ++m) {
            S v = 0.0;
            for (std::size_t i = 0; i < n_; ++i) v += nu_[i * g_ + m] * x[i];
            amount[m] = v;
        }
        groupLnGamma<S>(std::span<const S>(amount, g_), w.data() + g_);
        const S* lnG = w.data() + 3 * g_;
        // Combinatorial part.
        if (dortmund_) {
            S sr = 0.0, sr34 = 0.0, sq = 0.0;
            for (std::size_t i = 0; i < n_; ++i) {
                sr += x[i] * r_[i];
                sr34 += x[i] * r34_[i];
                sq += x[i] * q_[i];
            }
            for (std::size_t i = 0; i < n_; ++i) {
                const S vp = r34_[i] / sr34, v = r_[i] / sr, f = q_[i] / sq;
                lng[i] = 1.0 - vp + log(vp) - 5.0 * q_[i] * (1.0 - v / f + log(v / f));
            }
        } else {
            staverman<S>(r_, q_, x, lng);
        }
        for (std::size_t i = 0; i < n_; ++i) {
            S res = 0.0;
            for (std::size_t m = 0; m < g_; ++m) {
                const double nu = nu_[i * g_ + m];
                if (nu != 0.0) res += nu * (lnG[m] - pure_[i * g_ + m]);
            }
            lng[i] += res;
        }
    }

private:
    // ln Gamma of every group in a liquid of group amounts `amount`; w holds
    // 3 g values: theta, s and (the result) ln Gamma.
    template <class S>
    void groupLnGamma(std::span<const S> amount, S* w) const {
        S* theta = w;
        S* s = w + g_;
        S* lnG = w + 2 * g_;
        S sqx = 0.0;
        for (std::size_t m = 0; m < g_; ++m) sqx += Q_[m] * amount[m];
        for (std::size_t m = 0; m < g_; ++m) theta[m] = Q_[m] * amount[m] / sqx;
        localComposition(g_, theta, [&](std::size_t i, std::size_t j) { return psi_[i * g_ + j]; }, s, lnG);
        for (std::size_t k = 0; k < g_; ++k) lnG[k] = Q_[k] * lnG[k];
    }

    bool dortmund_;
    std::size_t n_, g_ = 0;
    std::vector<double> R_, Q_;
    std::vector<int> main_;
    std::vector<double> nu_;  // n x g subgroup counts
    std::vector<double> r_, q_, r34_;
    std::vector<GroupInteraction> ia_;  // g x g
    mutable double t_ = std::numeric_limits<double>::quiet_NaN();
    mutable std::vector<double> psi_, pure_;
};

}  // namespace

std::unique_ptr<ActivityModel> MakeUnifacModel(const GroupTables& tables, const std::vector<GroupCounts>& molecules) {
    return std::make_unique<Unifac>(tables, molecules);
}

std::unique_ptr<ActivityModel> MakeActivityModel(const Problem& problem, const Method& method,
                                                 std::span<const std::size_t> members) {
    switch (method.model) {
        case Model::Ideal: return std::make_unique<IdealModel>();
        case Model::Wilson: return std::make_unique<Wilson>(Tables(problem, method, members));
        case Model::Nrtl: return std::make_unique<Nrtl>(Tables(problem, method, members));
        case Model::Uniquac: {
            std::vector<double> r, q;
            for (std::size_t i : members) {
                r.push_back(problem.components[i].r.value_or(0.0));
                q.push_back(problem.components[i].q.value_or(0.0));
            }
            return std::make_unique<Uniquac>(Tables(problem, method, members), std::move(r), std::move(q));
        }
        case Model::Unifac:
        case Model::UnifacLle:
        case Model::UnifacDmd: {
            const int g = static_cast<int>(method.groups.model);
            std::vector<GroupCounts> molecules;
            for (std::size_t i : members) molecules.push_back(problem.components[i].groups[g]);
            return MakeUnifacModel(method.groups, molecules);
        }
    }
    return std::make_unique<IdealModel>();
}

}  // namespace propcore
