// Reverse-communication trust-region solver (FUNEQ1 / FUNEQ2) and the
// factorisation, update and step routines it is built from.
//
// Status codes returned in iflag:
//   -1 evaluate F at x, -2 store the Jacobian at x in b (IOPT(10) = 1),
//    1 converged, 2 converged step but the residual stayed too big,
//    3 very small steps, 4 slow progress, 5 Jacobian evaluations used up,
//    6 iteration limit, 7 singular Jacobian, 8 F undefined at the start,
//    9 bad arguments (FUNEQ1), 10 iflag >= 1 on entry (FUNEQ1),
//    100k+10 variable k cannot be perturbed, 100k+11 residual k depends on
//    no variable, 100k+12 variable k affects no residual.
#include "numerics/funeq.h"

#include "numerics/diagnostics.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <initializer_list>
#include <limits>
#include <ostream>
#include <string>

namespace ternival {
namespace funeq {
namespace {

using Size = std::size_t;

constexpr double kTiny = 1.1102230246251565e-16;  // 2^-53

// Overflow-safe Euclidean norm of get(0..n-1).  A NaN entry gives NaN, an
// infinite one +inf.
template <class Get>
double NormOf(std::int64_t n, Get get) {
    if (n < 1) return 0.0;
    const auto count = static_cast<Size>(n);
    double m = 0.0;
    for (Size i = 0; i < count; ++i) {
        const double a = std::fabs(get(i));
        if (std::isnan(a)) return a;
        m = std::max(m, a);
    }
    if (m == 0.0) return 0.0;
    if (std::isinf(m)) return m;
    const double cut = kTiny * m;
    double sum = 0.0;
    for (Size i = 0; i < count; ++i) {
        const double a = std::fabs(get(i));
        if (a > cut) {
            const double r = a / m;
            sum += r * r;
        }
    }
    return m * std::sqrt(sum);
}

// J(i, j) of the transposed column-major storage: residual i, variable j.
template <class T>
struct JView {
    std::span<T> b;
    Size ldb;
    T& operator()(Size i, Size j) const { return b[j + i * ldb]; }
};

double Floored(double value, double tau) {
    if (std::fabs(value) < tau) return value < 0.0 ? -tau : tau;
    return value;
}

}  // namespace

double ScaledNorm(std::int64_t n, std::span<const double> v) {
    return NormOf(n, [&](Size i) { return v[i]; });
}

double ForwardDifferenceIncrement(double x, double rel, double abs, bool nonnegative) {
    double h = std::max(std::fabs(x) * rel, abs);
    if (x < 1.0 && x + h >= 1.0) h = -h;
    if (x > 0.0 && x + h <= 0.0) h = -h;
    if (nonnegative && x + h < 0.0) h = -h;
    return h;
}

std::int64_t ZeroGradientTest(std::int64_t n, std::span<const double> b, std::int64_t ldb) {
    const auto count = static_cast<Size>(std::max<std::int64_t>(n, 0));
    const JView<const double> J{b, static_cast<Size>(ldb)};
    for (Size k = 0; k < count; ++k) {
        bool residual_free = true;
        for (Size j = 0; j < count && residual_free; ++j) residual_free = J(k, j) == 0.0;
        if (residual_free) return 100 * static_cast<std::int64_t>(k + 1) + 11;
        bool variable_idle = true;
        for (Size i = 0; i < count && variable_idle; ++i) variable_idle = J(i, k) == 0.0;
        if (variable_idle) return 100 * static_cast<std::int64_t>(k + 1) + 12;
    }
    return 0;
}

void ScaleJacobian(std::int64_t n, std::int64_t xscale, std::int64_t fscale,
                   std::span<double> diagx, std::span<double> diagf, std::span<double> b,
                   std::int64_t ldb) {
    if (n < 1) return;
    if (n < 2) {
        diagx[0] = 1.0;
        diagf[0] = 1.0;
        return;
    }
    const auto count = static_cast<Size>(n);
    const JView<double> J{b, static_cast<Size>(ldb)};
    if (xscale == 1) {
        for (Size i = 0; i < count; ++i)
            for (Size j = 0; j < count; ++j) J(i, j) *= diagx[j];
    }
    if (fscale == 1) {
        for (Size i = 0; i < count; ++i)
            for (Size j = 0; j < count; ++j) J(i, j) /= diagf[i];
    }
    if (fscale == 2) {
        for (Size i = 0; i < count; ++i) {
            double m = 0.0;
            for (Size j = 0; j < count; ++j) m = std::max(m, std::fabs(J(i, j)));
            if (m == 0.0) m = 1.0;
            diagf[i] = std::max(m, 1e-8);
            for (Size j = 0; j < count; ++j) J(i, j) /= diagf[i];
        }
    }
    if (xscale == 2) {
        for (Size j = 0; j < count; ++j) {
            double m = 0.0;
            for (Size i = 0; i < count; ++i) m = std::max(m, std::fabs(J(i, j)));
            if (m == 0.0) m = 1.0;
            diagx[j] = 1.0 / m;
            for (Size i = 0; i < count; ++i) J(i, j) *= diagx[j];
        }
    }
}

void FactorLU(std::int64_t n, std::span<double> b, std::int64_t ldb,
              std::span<std::int64_t> ipvt, double threshold, double precision) {
    if (n < 1) return;
    const auto count = static_cast<Size>(n);
    const JView<double> J{b, static_cast<Size>(ldb)};
    const double tau = 16.0 * precision;
    bool near_singular = false;
    for (Size k = 0; k < count; ++k) {
        if (k + 1 < count) {
            Size p = k;
            double best = std::fabs(J(k, k));
            for (Size i = k + 1; i < count; ++i) {
                const double a = std::fabs(J(i, k));
                if (a > best) {
                    best = a;
                    p = i;
                }
            }
            ipvt[k] = static_cast<std::int64_t>(p + 1);
            if (p != k) {
                for (Size c = 0; c < count; ++c) std::swap(J(k, c), J(p, c));
            }
            const double pivot = J(k, k);
            if (pivot != 0.0) {
                for (Size i = k + 1; i < count; ++i) {
                    const double l = J(i, k) / pivot;
                    J(i, k) = l;
                    if (l == 0.0) continue;
                    for (Size j = k + 1; j < count; ++j) J(i, j) -= l * J(k, j);
                }
            }
        }
        const double pivot = J(k, k);
        if (std::fabs(pivot) < threshold) near_singular = true;
        J(k, k) = Floored(pivot, tau);
    }
    ipvt[count - 1] = near_singular ? 0 : 1;
}

void Interchange(PivotDirection direction, std::int64_t n, std::span<const std::int64_t> ipvt,
                 std::span<double> v) {
    if (n < 2) return;
    const auto last = static_cast<Size>(n - 1);
    auto swap_at = [&](Size k) {
        const auto p = static_cast<Size>(ipvt[k] - 1);
        if (p != k) std::swap(v[k], v[p]);
    };
    if (direction == PivotDirection::Forward) {
        for (Size k = 0; k < last; ++k) swap_at(k);
    } else {
        for (Size k = last; k-- > 0;) swap_at(k);
    }
}

void SolveLU(std::int64_t n, std::span<const double> b, std::int64_t ldb, std::span<double> v) {
    if (n < 1) return;
    const auto count = static_cast<Size>(n);
    const JView<const double> J{b, static_cast<Size>(ldb)};
    for (Size i = 1; i < count; ++i) {
        double s = v[i];
        for (Size j = 0; j < i; ++j) s -= J(i, j) * v[j];
        v[i] = s;
    }
    for (Size i = count; i-- > 0;) {
        double s = v[i];
        for (Size j = i + 1; j < count; ++j) s -= J(i, j) * v[j];
        v[i] = s / J(i, i);
    }
}

void ProductLU(bool transposed, std::int64_t n, std::span<const std::int64_t> ipvt,
               std::span<const double> b, std::int64_t ldb, std::span<double> v) {
    if (n < 1) return;
    const auto count = static_cast<Size>(n);
    const JView<const double> J{b, static_cast<Size>(ldb)};
    if (!transposed) {
        // J = P^-1 L U: upper triangle, unit lower triangle, interchanges back.
        for (Size i = 0; i < count; ++i) {
            double s = 0.0;
            for (Size j = i; j < count; ++j) s += J(i, j) * v[j];
            v[i] = s;
        }
        for (Size i = count; i-- > 0;) {
            double s = v[i];
            for (Size j = 0; j < i; ++j) s += J(i, j) * v[j];
            v[i] = s;
        }
        Interchange(PivotDirection::Backward, n, ipvt, v);
    } else {
        // J^T = U^T L^T P.
        Interchange(PivotDirection::Forward, n, ipvt, v);
        for (Size i = 0; i < count; ++i) {
            double s = v[i];
            for (Size j = i + 1; j < count; ++j) s += J(j, i) * v[j];
            v[i] = s;
        }
        for (Size i = count; i-- > 0;) {
            double s = 0.0;
            for (Size j = 0; j <= i; ++j) s += J(j, i) * v[j];
            v[i] = s;
        }
    }
}

void UpdateLU(std::int64_t n, std::span<double> u, std::span<double> w, std::span<double> b,
              std::int64_t ldb, double precision) {
    if (n < 1) return;
    const auto count = static_cast<Size>(n);
    const JView<double> J{b, static_cast<Size>(ldb)};
    const double tau = 16.0 * precision;
    // Bennett's sweep: after step j the leading j+1 rows of U and columns of
    // L are final and (u, w) carry the rank-one update of the trailing block.
    for (Size j = 0; j < count; ++j) {
        const double d = Floored(J(j, j) + u[j] * w[j], tau);
        J(j, j) = d;
        const double c = w[j] / d;
        for (Size k = j + 1; k < count; ++k) {
            u[k] -= u[j] * J(k, j);
            J(k, j) += c * u[k];
        }
        for (Size k = j + 1; k < count; ++k) {
            J(j, k) += u[j] * w[k];
            w[k] -= c * J(j, k);
        }
    }
}

void DoglegStep(std::int64_t n, std::int64_t kind, double& delta, std::span<const double> f,
                std::span<const double> b, std::int64_t ldb, std::span<const std::int64_t> ipvt,
                std::span<double> step, double& newton_length, std::span<double> work1,
                std::span<double> work2) {
    if (n < 1) return;
    const auto count = static_cast<Size>(n);
    // Newton step p = -J^-1 f, kept in step.
    for (Size i = 0; i < count; ++i) step[i] = -f[i];
    Interchange(PivotDirection::Forward, n, ipvt, step);
    SolveLU(n, b, ldb, step);
    const double nu = ScaledNorm(n, step);
    newton_length = nu;
    if (delta > 0.9 * nu) delta = nu;

    if (nu > delta && kind != 1 && n > 1) {
        // Steepest-descent direction g = J^T (-f) in work1.
        for (Size i = 0; i < count; ++i) work1[i] = -f[i];
        ProductLU(true, n, ipvt, b, ldb, work1);
        const double gamma = ScaledNorm(n, work1);
        if (gamma == 0.0) {
            const double factor = delta / nu;
            for (Size i = 0; i < count; ++i) step[i] *= factor;
            return;
        }
        for (Size i = 0; i < count; ++i) work1[i] /= gamma;
        std::copy_n(work1.begin(), count, work2.begin());
        ProductLU(false, n, ipvt, b, ldb, work2);
        const double jg = ScaledNorm(n, work2);
        const double alpha = jg > 0.0 ? gamma / (jg * jg) : std::numeric_limits<double>::infinity();
        if (delta <= alpha) {
            for (Size i = 0; i < count; ++i) step[i] = delta * work1[i];
            return;
        }
        const double t = alpha / delta;
        double pg = 0.0;
        for (Size i = 0; i < count; ++i) pg += step[i] * work1[i];
        const double s = pg / delta;
        const double ratio = nu / delta;
        const double q = (ratio * ratio - 1.0) * (1.0 - t * t);
        const double beta =
            (1.0 - t * t) / (t * s - t * t + std::sqrt((t * s - 1.0) * (t * s - 1.0) + q));
        for (Size i = 0; i < count; ++i)
            step[i] = beta * step[i] + alpha * (1.0 - beta) * work1[i];
        return;
    }
    if (nu > 0.0 && delta < nu) {
        const double factor = delta / nu;
        for (Size i = 0; i < count; ++i) step[i] *= factor;
    }
}

}  // namespace funeq

namespace {

using Size = std::size_t;
using namespace funeq;

constexpr double kUndefined = 1e30;
constexpr double kEpsilon = 2.220446049250313e-16;

// 0-based positions in iopt (IOPT(k) is iopt[k-1]).
namespace io {
constexpr Size kXScale = 0, kFScale = 1, kKind = 2, kPrint = 3, kUnit = 4, kMaxIter = 5,
               kMaxJac = 6, kNonNeg = 7, kReuse = 8, kJacSource = 9, kResume = 15, kIter = 16,
               kNJac = 17, kFresh = 18, kJacIter = 19, kSlow = 20, kConverged = 21,
               kColumn = 22;  // also the small-step flag during iterations
}  // namespace io

// 0-based positions in ropt (ROPT(k) is ropt[k-1]).
namespace ro {
constexpr Size kTol = 0, kPrec = 1, kSingular = 2, kBoundFactor = 3, kSmallStep = 4, kRel = 5,
               kAbs = 6, kPhi = 10, kRefNorm = 11, kDelta = 12,  // also the FD increment
    kRestart = 13, kDeltaMin = 14, kGrowth = 15,                   // also the saved variable
    kNewton = 16, kXNorm = 17, kRing = 18;
}  // namespace ro

void ValidateOptions(std::span<std::int64_t> iopt, std::span<double> ropt) {
    auto in = [](std::int64_t v, std::int64_t lo, std::int64_t hi) { return v >= lo && v <= hi; };
    if (!in(iopt[io::kXScale], 0, 2)) iopt[io::kXScale] = 0;
    if (!in(iopt[io::kFScale], 0, 2)) iopt[io::kFScale] = 2;
    if (!in(iopt[io::kKind], 1, 2)) iopt[io::kKind] = 2;
    if (!(iopt[io::kPrint] <= 10)) iopt[io::kPrint] = 3;
    {
        const std::int64_t u = iopt[io::kUnit];
        if (!(u == 0 || (in(u, 1, 99) && u != 6))) iopt[io::kUnit] = 0;
    }
    if (!in(iopt[io::kMaxIter], 1, 999)) iopt[io::kMaxIter] = 50;
    if (!in(iopt[io::kMaxJac], 1, 999)) iopt[io::kMaxJac] = 5;
    if (!in(iopt[io::kNonNeg], 0, 1)) iopt[io::kNonNeg] = 0;
    if (!in(iopt[io::kReuse], 0, 1)) iopt[io::kReuse] = 0;
    if (!in(iopt[io::kJacSource], 1, 2)) iopt[io::kJacSource] = 2;

    // Comparisons are written so that NaN fails them and gets replaced.
    double& tol = ropt[ro::kTol];
    if (!(tol > 0.0 && tol <= 0.5)) tol = 1e-4;
    double& prec = ropt[ro::kPrec];
    if (!(prec > 0.0 && prec <= 0.001)) prec = kEpsilon;
    tol = std::min(std::max(tol, prec), 0.1);
    if (!(ropt[ro::kSingular] <= 1e30)) ropt[ro::kSingular] = 0.0;
    if (!(ropt[ro::kBoundFactor] > 1e-5 && ropt[ro::kBoundFactor] <= 1e30))
        ropt[ro::kBoundFactor] = 1.0;
    if (!(ropt[ro::kSmallStep] > 0.0 && ropt[ro::kSmallStep] <= 1e30))
        ropt[ro::kSmallStep] = tol;
    if (!(ropt[ro::kRel] <= 1e30)) ropt[ro::kRel] = 10.0 * std::sqrt(prec);
    if (!(ropt[ro::kAbs] <= 1e30)) ropt[ro::kAbs] = std::sqrt(prec);
}

std::string Format(const char* fmt, auto... args) {
    char buffer[256];
    std::snprintf(buffer, sizeof buffer, fmt, args...);
    return buffer;
}

void WriteList(std::ostream& out, std::span<const double> v, Size n, const char* fmt) {
    for (Size i = 0; i < n; ++i) {
        out << Format(fmt, v[i]);
        if (i % 5 == 4 || i + 1 == n) out << '\n';
    }
}

enum class Stage {
    Start,
    Resume1,
    JacobianBegin,
    ColumnResume,
    JacobianFinish,
    JacobianSetup,
    Iterate,
    TrialResume,
    EndingTest,
    Terminate,
    Return
};

// One call of the solver.  Everything that must survive between calls is
// in the caller's arrays; this object only lives for the call.
class SolverCall {
public:
    SolverCall(std::int64_t& iflag, std::int64_t n, std::span<double> x, std::span<double> f,
               std::span<double> diagx, std::span<double> diagf, std::span<std::int64_t> ipvt,
               std::span<double> step, std::span<double> model, std::span<double> xold,
               std::span<double> fold, std::span<double> b, std::int64_t ldb,
               std::span<std::int64_t> iopt, std::span<double> ropt)
        : iflag_(iflag), n64_(n), n_(static_cast<Size>(n)), x_(x), f_(f), diagx_(diagx),
          diagf_(diagf), ipvt_(ipvt), step_(step), model_(model), xold_(xold), fold_(fold),
          b_(b), ldb_(ldb), iopt_(iopt), ropt_(ropt) {}

    void Run() {
        Stage stage = Entry();
        while (stage != Stage::Return) stage = Dispatch(stage);
    }

private:
    Stage Dispatch(Stage stage) {
        switch (stage) {
            case Stage::Start: return Start();
            case Stage::Resume1: return Resume1();
            case Stage::JacobianBegin: return JacobianBegin();
            case Stage::ColumnResume: return ColumnResume();
            case Stage::JacobianFinish: return JacobianFinish();
            case Stage::JacobianSetup: return JacobianSetup();
            case Stage::Iterate: return Iterate();
            case Stage::TrialResume: return TrialResume();
            case Stage::EndingTest: return EndingTest();
            case Stage::Terminate: return Terminate();
            case Stage::Return: break;
        }
        return Stage::Return;
    }

    std::int64_t& I(Size k) { return iopt_[k]; }
    double& R(Size k) { return ropt_[k]; }
    std::ostream& Out() { return DiagnosticChannel::Stream(iopt_[io::kUnit]); }

    // Which stage this call continues with.
    Stage Entry() {
        if (iflag_ < 0) {
            switch (I(io::kResume)) {
                case 1: return Begin(Stage::Resume1);
                case 2: {
                    const std::int64_t j = I(io::kColumn);
                    if (j != 0 && std::abs(j) <= n64_) return Begin(Stage::ColumnResume);
                    break;
                }
                case 3: return Begin(Stage::JacobianFinish);
                case 4: return Begin(Stage::TrialResume);
                default: break;
            }
        }
        return Stage::Start;
    }

    Stage Begin(Stage stage) {
        print_level_ = I(io::kPrint);
        return stage;
    }

    bool Undefined(std::span<const double> f) const {
        if (!(f[0] < kUndefined)) return true;
        for (Size i = 0; i < n_; ++i)
            if (!std::isfinite(f[i])) return true;
        return false;
    }

    // The factors, pivots and scales left by an earlier solve can only be
    // reused when they are consistent enough to be used safely.
    bool SavedFactorsUsable() const {
        for (Size k = 0; k + 1 < n_; ++k) {
            const std::int64_t p = ipvt_[k];
            if (p < static_cast<std::int64_t>(k + 1) || p > n64_) return false;
        }
        if (ipvt_[n_ - 1] != 0 && ipvt_[n_ - 1] != 1) return false;
        for (Size i = 0; i < n_; ++i) {
            if (!(diagx_[i] > 0.0) || !std::isfinite(diagx_[i])) return false;
            if (!(diagf_[i] > 0.0) || !std::isfinite(diagf_[i])) return false;
            for (Size j = 0; j < n_; ++j)
                if (!std::isfinite(b_[j + i * static_cast<Size>(ldb_)])) return false;
        }
        return true;
    }

    Stage Start() {
        ValidateOptions(iopt_, ropt_);
        print_level_ = I(io::kPrint);
        const bool nonneg = I(io::kNonNeg) == 1;
        if (I(io::kReuse) == 1 && !SavedFactorsUsable()) I(io::kReuse) = 0;
        const bool reuse = I(io::kReuse) == 1;
        Size negatives = 0;
        for (Size i = 0; i < n_; ++i) {
            if (x_[i] < 0.0) {
                ++negatives;
                if (nonneg) x_[i] = std::fabs(x_[i]);
            }
            if (!reuse) {
                if (I(io::kXScale) != 1) diagx_[i] = 1.0;
                if (I(io::kFScale) != 1) diagf_[i] = 1.0;
                if (diagx_[i] == 0.0) diagx_[i] = 1.0;
                if (diagf_[i] == 0.0) diagf_[i] = 1.0;
            }
            step_[i] = 0.0;
        }
        I(io::kIter) = 0;
        I(io::kNJac) = 0;
        I(io::kConverged) = 0;
        for (Size k = 0; k < 10; ++k) R(ro::kRing + k) = 0.0;
        iflag_ = -1;
        I(io::kResume) = 1;
        if (!(f_[0] < kUndefined) || (nonneg && negatives > 0)) return Stage::Return;
        return Stage::Resume1;
    }

    Stage Resume1() {
        if (Undefined(f_)) {
            iflag_ = 8;
            return Stage::Terminate;
        }
        std::copy_n(x_.begin(), n_, xold_.begin());
        std::copy_n(f_.begin(), n_, fold_.begin());
        return Stage::JacobianBegin;
    }

    // --- Jacobian evaluation -------------------------------------------
    Stage JacobianBegin() {
        I(io::kNJac) += 1;
        I(io::kFresh) = 1;
        if (I(io::kReuse) == 1 && I(io::kNJac) == 1) {
            reused_ = true;
            return Stage::JacobianSetup;
        }
        std::copy_n(xold_.begin(), n_, x_.begin());
        std::copy_n(fold_.begin(), n_, f_.begin());
        std::fill_n(step_.begin(), n_, 0.0);
        iflag_ = -2;
        I(io::kResume) = 3;
        if (I(io::kJacSource) == 1) return Stage::Return;
        return StartColumn(1);
    }

    Stage StartColumn(std::int64_t j) {
        const auto jj = static_cast<Size>(j - 1);
        I(io::kColumn) = j;
        const double x = x_[jj];
        R(ro::kGrowth) = x;
        R(ro::kDelta) = ForwardDifferenceIncrement(x, R(ro::kRel), R(ro::kAbs),
                                                   I(io::kNonNeg) == 1);
        return Perturb();
    }

    Stage Perturb() {
        const auto jj = static_cast<Size>(std::abs(I(io::kColumn)) - 1);
        x_[jj] = R(ro::kGrowth) + R(ro::kDelta);
        step_[jj] = R(ro::kDelta);
        iflag_ = -1;
        I(io::kResume) = 2;
        return Stage::Return;
    }

    Stage ColumnResume() {
        const std::int64_t column = I(io::kColumn);
        const std::int64_t j = std::abs(column);
        const auto jj = static_cast<Size>(j - 1);
        const bool reversed = column < 0;
        const double x = R(ro::kGrowth);
        const double h = R(ro::kDelta);
        const double d = x_[jj] - x;
        const double ad = std::fabs(d);
        const double ah = std::fabs(h);
        bool accept = false;
        if (ad > 0.01 * ah) {
            accept = true;
        } else if (ad > 1e-4 * ah) {
            accept = reversed;
        } else if (reversed) {
            iflag_ = 100 * j + 10;
            return Stage::Terminate;
        }
        if (!accept) {
            I(io::kColumn) = -j;
            R(ro::kDelta) = -h;
            return Perturb();
        }
        x_[jj] = x;
        const auto ldb = static_cast<Size>(ldb_);
        for (Size i = 0; i < n_; ++i) b_[jj + i * ldb] = (f_[i] - fold_[i]) / d;
        if (j < n64_) return StartColumn(j + 1);
        return Stage::JacobianFinish;
    }

    Stage JacobianFinish() {
        if (const std::int64_t code = ZeroGradientTest(n64_, b_, ldb_); code != 0) {
            iflag_ = code;
            return Stage::Terminate;
        }
        ScaleJacobian(n64_, I(io::kXScale), I(io::kFScale), diagx_, diagf_, b_, ldb_);
        FactorLU(n64_, b_, ldb_, ipvt_, R(ro::kSingular), R(ro::kPrec));
        if (ipvt_[n_ - 1] == 0) {
            iflag_ = 7;
            return Stage::Terminate;
        }
        return Stage::JacobianSetup;
    }

    Stage JacobianSetup() {
        for (Size i = 0; i < n_; ++i) {
            step_[i] = xold_[i] / diagx_[i];
            model_[i] = fold_[i] / diagf_[i];
        }
        const double phi = ScaledNorm(n64_, model_);
        R(ro::kPhi) = phi;
        if (phi == 0.0) {
            R(ro::kNewton) = 0.0;
            R(ro::kRefNorm) = 0.0;
            iflag_ = 1;
            return Stage::Terminate;
        }
        if (I(io::kNJac) == 1) {
            R(ro::kRefNorm) = I(io::kReuse) == 1 ? 2.0 * phi : phi;
            R(ro::kDelta) = R(ro::kBoundFactor) * std::max(ScaledNorm(n64_, step_), 1.0);
            // Placeholder until the first step of this Jacobian sets it.
            R(ro::kRestart) = R(ro::kDelta);
        } else {
            R(ro::kRefNorm) = phi;
            R(ro::kDelta) = R(ro::kRestart);
        }
        R(ro::kGrowth) = 2.0;
        I(io::kJacIter) = I(io::kIter) + 1;
        I(io::kSlow) = 0;
        if (print_level_ >= 6) {
            if (reused_)
                Out() << "\n*** REUSE PREVIOUS JACOBIAN ***\n";
            else
                Out() << Format("\n*** JACOBIAN EVALUATION NO.%3lld ***\n",
                                static_cast<long long>(I(io::kNJac)));
        }
        if (print_level_ >= 8) {
            Out() << " DIAGX\n";
            WriteList(Out(), diagx_, n_, "%14.6E");
            Out() << " DIAGF\n";
            WriteList(Out(), diagf_, n_, "%14.6E");
        }
        IterationLine(phi, xold_, fold_);
        return Stage::Iterate;
    }

    // --- Iterations ----------------------------------------------------
    Stage Iterate() {
        if (I(io::kIter) >= I(io::kMaxIter)) {
            iflag_ = 6;
            return Stage::Terminate;
        }
        I(io::kIter) += 1;
        for (Size i = 0; i < n_; ++i) {
            step_[i] = xold_[i] / diagx_[i];
            model_[i] = fold_[i] / diagf_[i];
        }
        R(ro::kXNorm) = ScaledNorm(n64_, step_);
        // x and f serve as the two work vectors of the step computation; the
        // trial point is formed in x right after.
        DoglegStep(n64_, I(io::kKind), R(ro::kDelta), model_, b_, ldb_, ipvt_, step_,
                   R(ro::kNewton), x_, f_);
        const bool nonneg = I(io::kNonNeg) == 1;
        for (Size i = 0; i < n_; ++i) {
            const double d = step_[i] * diagx_[i];
            step_[i] = d;
            const double base = xold_[i];
            if (!nonneg || base + d >= 0.0)
                x_[i] = base + d;
            else if (base == 0.0)
                x_[i] = -d;
            else
                x_[i] = base * std::exp2(std::max(-2.0, d / base));
        }
        iflag_ = -1;
        I(io::kResume) = 4;
        return Stage::Return;
    }

    Size RingIndex(std::int64_t k) const {
        return ro::kRing + static_cast<Size>(((k % 10) + 10) % 10);
    }

    Stage TrialResume() {
        trial_evaluated_ = true;
        psi_ = std::numeric_limits<double>::infinity();
        double& delta = R(ro::kDelta);
        if (Undefined(f_)) {
            delta /= 4.0;
            return Stage::Iterate;
        }
        const double phi = R(ro::kPhi);
        const std::int64_t k = I(io::kIter);

        for (Size i = 0; i < n_; ++i) step_[i] = (x_[i] - xold_[i]) / diagx_[i];
        const double sigma = ScaledNorm(n64_, step_);
        I(io::kColumn) = sigma <= R(ro::kSmallStep) * R(ro::kXNorm) ? 1 : 0;

        // model <- v = J s
        std::copy_n(step_.begin(), n_, model_.begin());
        ProductLU(false, n64_, ipvt_, b_, ldb_, model_);
        double descent = 0.0;
        const bool fresh = I(io::kFresh) == 1;
        if (fresh) {
            double sum = 0.0;
            for (Size i = 0; i < n_; ++i) sum += fold_[i] / diagf_[i] * model_[i];
            descent = -2.0 * sum / (phi * phi);
        }
        // model <- predicted residual p
        for (Size i = 0; i < n_; ++i) model_[i] += fold_[i] / diagf_[i];
        const double predicted = ScaledNorm(n64_, model_);
        const double psi = NormOf(n64_, [&](Size i) { return f_[i] / diagf_[i]; });
        psi_ = psi;
        const double root_tol = std::sqrt(R(ro::kTol));

        if (sigma <= 0.0) {
            if (psi <= root_tol) {
                iflag_ = 1;
                return Stage::Terminate;
            }
            return Stage::EndingTest;
        }

        double coupling = 0.0;
        for (Size i = 0; i < n_; ++i) {
            step_[i] /= sigma;
            const double fi = f_[i] / diagf_[i];
            model_[i] = fi - model_[i];
            coupling += std::fabs(fi * model_[i]);
        }
        coupling /= phi * phi;
        const double model_error = ScaledNorm(n64_, model_) / phi;
        for (Size i = 0; i < n_; ++i) model_[i] /= sigma;

        // Convergence.
        if (R(ro::kNewton) <= R(ro::kTol) * std::max(R(ro::kXNorm), 1.0) || psi == 0.0) {
            if (psi <= root_tol) {
                iflag_ = 1;
                return Stage::Terminate;
            }
            I(io::kConverged) += 1;
            if (I(io::kConverged) >= 3 || (I(io::kColumn) == 1 && psi >= phi))
                return Stage::EndingTest;
        }

        // Slow progress.
        if (psi >= 0.999 * phi)
            I(io::kSlow) += 1;
        else
            I(io::kSlow) = std::max<std::int64_t>(I(io::kSlow) - 1, 0);
        if (I(io::kSlow) > std::min<std::int64_t>(n64_ + 4, 10)) {
            iflag_ = 4;
            return Stage::Terminate;
        }

        // A fresh Jacobian after real improvement that has stalled.
        const double best = std::min(phi, psi);
        const bool halved = best < 0.5 * R(ro::kRefNorm);
        bool renew = false;
        if (halved) {
            if (I(io::kSlow) >= 4) {
                renew = true;
            } else if (k >= I(io::kJacIter) + 12) {
                const double rho5 = R(RingIndex(k - 5));
                const double rho10 = R(RingIndex(k));
                if (rho5 > 0.0 && rho10 > 0.0) {
                    const double r = best / rho5;
                    renew = r * r > rho5 / rho10;
                }
            }
        }
        if (renew) {
            if (psi <= phi) {
                std::copy_n(x_.begin(), n_, xold_.begin());
                std::copy_n(f_.begin(), n_, fold_.begin());
            }
            if (I(io::kNJac) >= I(io::kMaxJac)) {
                iflag_ = 5;
                return Stage::Terminate;
            }
            if (k >= I(io::kMaxIter)) {
                iflag_ = 6;
                return Stage::Terminate;
            }
            return Stage::JacobianBegin;
        }

        R(RingIndex(k)) = best;
        IterationLine(psi, x_, f_);

        // Step bound.
        const double rho_p = predicted / phi;
        const double rho_a = std::min(psi / phi, 1000.0);
        bool general = true;
        if (fresh) {
            if (I(io::kNJac) == 1) R(ro::kRestart) = sigma;
            R(ro::kDeltaMin) = std::max(1e-6 * sigma, 1e-9);
            if (psi >= phi) {
                general = false;
                if (rho_a >= 1.1) {
                    const double denominator = (rho_a * rho_a - 1.0) + descent;
                    double lambda = denominator != 0.0 ? 0.5 * descent / denominator : 0.1;
                    if (!(lambda >= 0.1)) lambda = 0.1;
                    if (lambda > 0.5) lambda = 0.5;
                    delta = lambda * sigma;
                    if (rho_a > 1.5) return Stage::Iterate;
                }
            }
        }
        if (general) {
            const double t = 1.0 - 0.1 * (1.0 - rho_p * rho_p) - rho_a * rho_a;
            double g = 0.5;
            if (t >= 0.0) {
                double kp = coupling + std::sqrt(coupling * coupling + model_error * model_error * t);
                if (t > 16.0 * kp) kp = t / 16.0;
                g = kp > 0.0 ? std::sqrt(1.0 + t / kp) : 1.0;
            }
            const double h = std::min(g, R(ro::kGrowth));
            R(ro::kGrowth) = std::min(g / h, 2.0);
            delta = std::max(h * sigma, R(ro::kDeltaMin));
        }

        // Acceptance.
        if (psi >= phi) I(io::kColumn) = 0;
        if (psi <= phi) {
            R(ro::kPhi) = psi;
            std::copy_n(x_.begin(), n_, xold_.begin());
            std::copy_n(f_.begin(), n_, fold_.begin());
        }
        I(io::kFresh) = 0;
        if (I(io::kColumn) != 1) {
            // J <- J + r s^T on the factors: u = P r, w = s.
            Interchange(PivotDirection::Forward, n64_, ipvt_, model_);
            UpdateLU(n64_, model_, step_, b_, ldb_, R(ro::kPrec));
        }
        return Stage::Iterate;
    }

    Stage EndingTest() {
        iflag_ = R(ro::kNewton) <= std::sqrt(R(ro::kTol)) * std::max(R(ro::kXNorm), 1.0) ? 2 : 3;
        return Stage::Terminate;
    }

    // --- Termination ---------------------------------------------------
    Stage Terminate() {
        if (trial_evaluated_ && psi_ <= R(ro::kPhi)) {
            R(ro::kPhi) = psi_;
        } else if (iflag_ != 8) {
            std::copy_n(xold_.begin(), n_, x_.begin());
            std::copy_n(fold_.begin(), n_, f_.begin());
            R(ro::kPhi) = NormOf(n64_, [&](Size i) { return fold_[i] / diagf_[i]; });
        }
        if (iflag_ == 1 && print_level_ >= 7) {
            Out() << Format("\n FUNEQ2 FOUND A SOLUTION AFTER%4lld ITERATIONS AND%3lld JACOBIAN "
                            "EVALUATIONS\n",
                            static_cast<long long>(I(io::kIter)),
                            static_cast<long long>(I(io::kNJac) - I(io::kReuse)));
        }
        if (iflag_ >= 2 && print_level_ >= 3) {
            Out() << FailureMessage() << " ERROR RETURN FROM NONLINEAR EQUATION SOLVER"
                  << " FUNEQ2/FUNEQ1\n";
        }
        if (print_level_ >= 7 || (print_level_ >= 3 && iflag_ >= 2)) print_level_ = 9;
        IterationLine(R(ro::kPhi), x_, f_);
        std::fill_n(step_.begin(), n_, 0.0);
        return Stage::Return;
    }

    std::string FailureMessage() {
        const auto ll = [](std::int64_t v) { return static_cast<long long>(v); };
        switch (iflag_) {
            case 2:
                return Format("\n THE SOLUTION X HAS CONVERGED%2lld TIMES\n BUT FUNCTION IS STILL "
                              "TOO BIG -- SOLUTION MAY BE INCORRECT\n",
                              ll(I(io::kConverged)));
            case 3: return "\n VERY SMALL STEP POSSIBLY DUE TO BOUND CONSTRAINTS\n";
            case 4: return "\n VERY SLOW CONVERGENCE IN FUNEQ2\n";
            case 5:
                return Format("\n SUBROUTINE FUNEQ2 DID NOT FIND A SOLUTION IN%3lld JACOBIAN "
                              "EVALUATIONS\n",
                              ll(I(io::kNJac)));
            case 6:
                return Format("\n SUBROUTINE FUNEQ2 DID NOT FIND A SOLUTION IN%4lld ITERATIONS\n",
                              ll(I(io::kMaxIter)));
            case 7:
                return Format("\n JACOBIAN MATRIX BECOME SINGULAR, SINGULARITY PARAMETER =%13.6E\n",
                              R(ro::kSingular));
            case 8: return "\n FUNCTION IS UNDEFINED AT THE STARTING POINT\n";
            default: break;
        }
        const std::int64_t k = iflag_ / 100;
        switch (iflag_ % 100) {
            case 10:
                return Format("\n CANNOT PERTURB THE%4lld TH VARIABLE FOR JACOBIAN EVALUATION\n",
                              ll(k));
            case 11:
                return Format("\n SINGULAR - THE%4lld TH FUNCTION IS NOT AFFECTED BY ANY VARIABLE\n",
                              ll(k));
            case 12:
                return Format(
                    "\n SINGULAR - THE%4lld TH VARIABLE HAS NO EFFECT ON ANY OF THE FUNCTIONS\n",
                    ll(k));
            default: break;
        }
        return {};
    }

    void IterationLine(double norm, std::span<const double> x, std::span<const double> f) {
        if (print_level_ < 6) return;
        std::ostream& out = Out();
        if (print_level_ >= 9) out << '\n';
        out << Format(" AT ITERATION NO.%5lld  2-NORM OF F/DIAGF =%15.8E\n",
                      static_cast<long long>(I(io::kIter)), norm);
        if (print_level_ >= 9) {
            out << " X =\n";
            WriteList(out, x, n_, "%15.7E");
            out << " F =\n";
            WriteList(out, f, n_, "%15.7E");
        }
    }

    std::int64_t& iflag_;
    std::int64_t n64_;
    Size n_;
    std::span<double> x_, f_, diagx_, diagf_;
    std::span<std::int64_t> ipvt_;
    std::span<double> step_, model_, xold_, fold_, b_;
    std::int64_t ldb_;
    std::span<std::int64_t> iopt_;
    std::span<double> ropt_;

    std::int64_t print_level_ = 0;
    bool reused_ = false;
    bool trial_evaluated_ = false;
    double psi_ = std::numeric_limits<double>::infinity();
};

// Minimum number of entries of B for n variables and leading dimension ldb.
bool MatrixFits(std::size_t size, std::int64_t n, std::int64_t ldb) {
    if (n < 1 || ldb < n) return false;
    const auto un = static_cast<std::size_t>(n);
    const auto ul = static_cast<std::size_t>(ldb);
    if (size < un) return false;
    if (un == 1) return true;
    return ul <= (size - un) / (un - 1);
}

bool ArraysFit(std::int64_t n, std::int64_t ldb, std::initializer_list<std::size_t> vectors,
               std::size_t ipvt, std::size_t b, std::size_t iopt, std::size_t ropt) {
    if (n < 1 || ldb < n) return false;
    const auto un = static_cast<std::size_t>(n);
    for (std::size_t size : vectors)
        if (size < un) return false;
    return ipvt >= un && MatrixFits(b, n, ldb) && iopt >= kFuneqIoptSize &&
           ropt >= kFuneqRoptSize;
}

}  // namespace

void FUNEQ2(std::int64_t& iflag, std::int64_t n, std::span<double> x, std::span<double> f,
            std::span<double> diagx, std::span<double> diagf, std::span<std::int64_t> ipvt,
            std::span<double> step, std::span<double> model, std::span<double> xold,
            std::span<double> fold, std::span<double> b, std::int64_t ldb,
            std::span<std::int64_t> iopt, std::span<double> ropt) {
    if (!ArraysFit(n, ldb,
                   {x.size(), f.size(), diagx.size(), diagf.size(), step.size(), model.size(),
                    xold.size(), fold.size()},
                   ipvt.size(), b.size(), iopt.size(), ropt.size())) {
        iflag = 9;
        return;
    }
    SolverCall call(iflag, n, x, f, diagx, diagf, ipvt, step, model, xold, fold, b, ldb, iopt,
                    ropt);
    call.Run();
}

void FUNEQ1(std::int64_t& iflag, std::int64_t n, std::span<double> x, std::span<double> f,
            std::span<double> step, std::span<double> diagx, std::span<double> diagf,
            std::span<double> b, std::int64_t ldb, std::span<double> w,
            std::span<std::int64_t> ipvt, std::span<std::int64_t> iopt,
            std::span<double> ropt) {
    if (iflag >= 1) {
        DiagnosticChannel::Stream(0) << Format(
            "\n *** EXECUTION TERMINATED IN ROUTINE FUNEQ1 ***\n     BECAUSE IFLAG =%4lld  ON "
            "INPUT\n",
            static_cast<long long>(iflag));
        DiagnosticChannel::Stream(7) << "*** Error in funeq1 label 710 ***\n";
        iflag = 10;
        return;
    }
    const bool fits =
        n >= 1 && ldb >= n && w.size() / 3 >= static_cast<std::size_t>(n) &&
        ArraysFit(n, ldb, {x.size(), f.size(), diagx.size(), diagf.size(), step.size()},
                  ipvt.size(), b.size(), iopt.size(), ropt.size());
    if (!fits) {
        iflag = 9;
        const bool quiet = iopt.size() > 3 && iopt[3] == 0;
        if (!quiet) {
            DiagnosticChannel::Stream(0)
                << Format("\n *** ERROR FROM FUNEQ1: INVALID PARAMETER ***     N =%4lld  LDB =%5lld\n",
                          static_cast<long long>(n), static_cast<long long>(ldb));
        }
        return;
    }
    const auto un = static_cast<std::size_t>(n);
    FUNEQ2(iflag, n, x, f, diagx, diagf, ipvt, step, w.subspan(2 * un, un), w.subspan(0, un),
           w.subspan(un, un), b, ldb, iopt, ropt);
}

}  // namespace ternival
