// LSODA integrator: Nordsieck-form Adams/BDF multistep methods with
// automatic stiffness detection.  See lsoda.h for the calling protocol.
//
// Notation follows the classical description of the method: q (nq_) is the
// current order, l = q + 1 the number of history columns in use, el_ the
// corrector l-vector of the current method/order, tesco_ the error-test
// constants, rc_ the ratio of the current h*l0 to the one the iteration
// matrix was built with.
#include "numerics/lsoda.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace ternival {

namespace {

constexpr double kUround = std::numeric_limits<double>::epsilon();
// Approximate stability-region radii of the Adams-Moulton correctors of
// orders 1..12 (index by order); h*||J|| is kept below these while on Adams.
constexpr std::array<double, 13> kSm1 = {0.0,  0.5,  0.575, 0.55, 0.45,  0.35, 0.25,
                                         0.20, 0.15, 0.10,  0.075, 0.050, 0.025};
constexpr double kCcmax = 0.3;  // rc change that forces a new matrix
constexpr int kMaxcor = 3;      // corrector iterations per attempt
constexpr int kMsbp = 20;       // steps between matrix updates
constexpr int kMxncf = 10;      // convergence failures per step

// Step-size ratio estimate from a scaled error norm and exponent.
double RatioFrom(double err, double exponent, double bias) {
  return 1.0 / (bias * std::pow(err, exponent) + bias * 1e-6);
}

}  // namespace

Lsoda::Lsoda(std::int64_t neq, OdeRhs f, OdeJac jac, LsodaOptions options)
    : neq_(neq), f_(std::move(f)), jac_(std::move(jac)), opt_(std::move(options)) {
  valid_ = ValidOptions();
  if (!valid_) return;
  const auto n = static_cast<std::size_t>(neq_);
  yh_.assign(n * kCols, 0.0);
  ewt_.assign(n, 0.0);
  savf_.assign(n, 0.0);
  acor_.assign(n, 0.0);
  wm_.assign(n * n, 0.0);
  ipvt_.assign(n, 0);
  mxordn_ = opt_.mxordn == 0 ? kMaxOrderAdams : std::min(opt_.mxordn, kMaxOrderAdams);
  mxords_ = opt_.mxords == 0 ? kMaxOrderBdf : std::min(opt_.mxords, kMaxOrderBdf);
  mxstep_ = opt_.mxstep == 0 ? 500 : opt_.mxstep;
  jtyp_ = opt_.jt;
  hmin_ = opt_.hmin;
  hmxi_ = opt_.hmax > 0.0 ? 1.0 / opt_.hmax : 0.0;
}

bool Lsoda::ValidOptions() const {
  if (neq_ < 1) return false;
  if (!f_) return false;
  if (opt_.itol != 1 && opt_.itol != 2) return false;
  if (!(opt_.rtol >= 0.0)) return false;
  if (opt_.itol == 1 && !(opt_.atol >= 0.0)) return false;
  if (opt_.itol == 2) {
    if (static_cast<std::int64_t>(opt_.atol_vector.size()) < neq_) return false;
    for (std::int64_t i = 0; i < neq_; ++i)
      if (!(opt_.atol_vector[static_cast<std::size_t>(i)] >= 0.0)) return false;
  }
  if (opt_.jt != 1 && opt_.jt != 2) return false;
  if (opt_.jt == 1 && !jac_) return false;
  if (opt_.mxstep < 0 || opt_.mxordn < 0 || opt_.mxords < 0) return false;
  if (opt_.hmax < 0.0 || opt_.hmin < 0.0) return false;
  return true;
}

const LsodaStats& Lsoda::stats() const { return stats_; }
std::int64_t Lsoda::neq() const { return neq_; }

std::int64_t Lsoda::RequiredRealWork(std::int64_t neq) {
  return std::max<std::int64_t>(20 + 16 * neq, 22 + 9 * neq + neq * neq);
}
std::int64_t Lsoda::RequiredIntWork(std::int64_t neq) { return 20 + neq; }

std::span<double> Lsoda::Col(int j) {
  const auto n = static_cast<std::size_t>(neq_);
  return std::span<double>(yh_).subspan(static_cast<std::size_t>(j) * n, n);
}
std::span<const double> Lsoda::Col(int j) const {
  const auto n = static_cast<std::size_t>(neq_);
  return std::span<const double>(yh_).subspan(static_cast<std::size_t>(j) * n, n);
}

double Lsoda::AtolAt(std::int64_t i) const {
  return opt_.itol == 2 ? opt_.atol_vector[static_cast<std::size_t>(i)] : opt_.atol;
}

void Lsoda::SetWeights(std::span<const double> ycur) {
  for (std::int64_t i = 0; i < neq_; ++i) {
    const auto k = static_cast<std::size_t>(i);
    // Kept as reciprocals, as ODEPACK keeps them: norms multiply by them,
    // which rounds exactly as the reference code does.
    const double w = opt_.rtol * std::fabs(ycur[k]) + AtolAt(i);
    ewt_[k] = w > 0.0 ? 1.0 / w : 0.0;
  }
}

double Lsoda::Norm(std::span<const double> v) const {
  double m = 0.0;
  for (std::size_t i = 0; i < ewt_.size(); ++i) m = std::max(m, std::fabs(v[i]) * ewt_[i]);
  return m;
}

// Weighted max-row-sum norm of the matrix in wm_ (scaled by the same error
// weights as vectors): max_i (1/w_i) * sum_j |a_ij| * w_j.
double Lsoda::MatrixNorm() const {
  const auto n = static_cast<std::size_t>(neq_);
  double an = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    double sum = 0.0;
    for (std::size_t j = 0; j < n; ++j) sum += std::fabs(wm_[i + j * n]) / ewt_[j];
    an = std::max(an, sum * ewt_[i]);
  }
  return an;
}

void Lsoda::EvalRhs(double t, std::span<double> out) {
  f_(neq_, t, y_, out);
  ++stats_.nfe;
}

// Coefficients of the Nordsieck form of the method family `meth` (1 Adams,
// 2 BDF) for all orders, built from the generating polynomials.
void Lsoda::MethodCoefficients(int meth) {
  for (auto& row : elco_) row.fill(0.0);
  for (auto& row : tesco_) row.fill(0.0);
  std::array<double, 14> pc{};
  if (meth == 1) {
    // Adams: l-vector from p(x) = prod_{i=1}^{q-1} (x + i), integrated over
    // [-1, 0].
    elco_[1][0] = 1.0;
    elco_[1][1] = 1.0;
    tesco_[1][0] = 0.0;
    tesco_[1][1] = 2.0;
    tesco_[2][0] = 1.0;
    tesco_[12][2] = 0.0;
    pc[0] = 1.0;
    double rqfac = 1.0;
    for (int nq = 2; nq <= kMaxOrderAdams; ++nq) {
      const double rq1fac = rqfac;
      rqfac /= nq;
      const int nqm1 = nq - 1;
      const double fnqm1 = nqm1;
      // multiply p by (x + q - 1); pc[i] is the coefficient of x^i
      pc[static_cast<std::size_t>(nq - 1)] = 0.0;
      for (int i = nq - 1; i >= 1; --i) {
        const auto k = static_cast<std::size_t>(i);
        pc[k] = pc[k - 1] + fnqm1 * pc[k];
      }
      pc[0] = fnqm1 * pc[0];
      // integrals of p(x) and x*p(x) over [-1, 0]
      double pint = pc[0];
      double xpin = pc[0] / 2.0;
      double tsign = 1.0;
      for (int i = 1; i < nq; ++i) {
        tsign = -tsign;
        pint += tsign * pc[static_cast<std::size_t>(i)] / (i + 1);
        xpin += tsign * pc[static_cast<std::size_t>(i)] / (i + 2);
      }
      auto& e = elco_[static_cast<std::size_t>(nq)];
      e[0] = pint * rq1fac;
      e[1] = 1.0;
      for (int i = 1; i < nq; ++i)
        e[static_cast<std::size_t>(i + 1)] = rq1fac * pc[static_cast<std::size_t>(i)] / (i + 1);
      const double agamq = rqfac * xpin;
      const double ragq = 1.0 / agamq;
      tesco_[static_cast<std::size_t>(nq)][1] = ragq;
      if (nq < kMaxOrderAdams) tesco_[static_cast<std::size_t>(nq + 1)][0] = ragq * rqfac / (nq + 1);
      tesco_[static_cast<std::size_t>(nqm1)][2] = ragq;
    }
    return;
  }
  // BDF: l-vector from p(x) = prod_{i=1}^{q} (x + i), normalised so l_1 = 1.
  pc[0] = 1.0;
  double rq1fac = 1.0;
  for (int nq = 1; nq <= kMaxOrderBdf; ++nq) {
    const double fnq = nq;
    pc[static_cast<std::size_t>(nq)] = 0.0;
    for (int i = nq; i >= 1; --i) {
      const auto k = static_cast<std::size_t>(i);
      pc[k] = pc[k - 1] + fnq * pc[k];
    }
    pc[0] = fnq * pc[0];
    auto& e = elco_[static_cast<std::size_t>(nq)];
    for (int i = 0; i <= nq; ++i) e[static_cast<std::size_t>(i)] = pc[static_cast<std::size_t>(i)] / pc[1];
    e[1] = 1.0;
    auto& tq = tesco_[static_cast<std::size_t>(nq)];
    tq[0] = rq1fac;
    tq[1] = (nq + 1) / e[0];
    tq[2] = (nq + 2) / e[0];
    rq1fac /= fnq;
  }
}

// Pascal-triangle prediction yh <- yh * A(1) on the first l columns.
void Lsoda::Predict() {
  const auto n = static_cast<std::size_t>(neq_);
  for (int jb = 1; jb <= nq_; ++jb)
    for (int c = nq_ - jb; c < nq_; ++c) {
      double* a = yh_.data() + static_cast<std::size_t>(c) * n;
      const double* b = a + n;
      for (std::size_t i = 0; i < n; ++i) a[i] += b[i];
    }
}

// Exact inverse of Predict(), used when a step attempt is rejected.
void Lsoda::Retract() {
  const auto n = static_cast<std::size_t>(neq_);
  for (int jb = 1; jb <= nq_; ++jb)
    for (int c = nq_ - jb; c < nq_; ++c) {
      double* a = yh_.data() + static_cast<std::size_t>(c) * n;
      const double* b = a + n;
      for (std::size_t i = 0; i < n; ++i) a[i] -= b[i];
    }
}

// Builds P = I - h*l0*J (analytic or by forward differences around the
// predicted y, with savf_ = f(tn, y)), records the Jacobian norm for the
// stiffness test and LU-factors P in place with row pivoting.
void Lsoda::PrepareJacobian() {
  const auto n = static_cast<std::size_t>(neq_);
  ++stats_.nje;
  ierpj_ = 0;
  jcur_ = 1;
  const double hl0 = h_ * el0_;
  if (miter_ == 1) {
    std::fill(wm_.begin(), wm_.end(), 0.0);
    jac_(neq_, tn_, y_, 0, 0, std::span<double>(wm_), neq_);
    for (double& v : wm_) v *= -hl0;
  } else {
    const double fac0 = Norm(savf_);
    double r0 = 1000.0 * std::fabs(h_) * kUround * static_cast<double>(n) * fac0;
    if (r0 == 0.0) r0 = 1.0;
    const double srur = std::sqrt(kUround);
    for (std::size_t j = 0; j < n; ++j) {
      const double yj = y_[j];
      const double r = std::max(srur * std::fabs(yj), r0 / ewt_[j]);
      y_[j] += r;
      const double fac = -hl0 / r;
      f_(neq_, tn_, y_, std::span<double>(acor_));
      for (std::size_t i = 0; i < n; ++i) wm_[i + j * n] = (acor_[i] - savf_[i]) * fac;
      y_[j] = yj;
    }
    stats_.nfe += static_cast<long>(n);
  }
  pdnorm_ = MatrixNorm() / std::fabs(hl0);
  for (std::size_t i = 0; i < n; ++i) wm_[i + i * n] += 1.0;

  // LU with row pivoting (column-major, multipliers stored negated as
  // in the classical LINPACK layout).
  for (std::size_t k = 0; k < n; ++k) {
    std::size_t p = k;
    double big = std::fabs(wm_[k + k * n]);
    for (std::size_t i = k + 1; i < n; ++i) {
      const double v = std::fabs(wm_[i + k * n]);
      if (v > big) {
        big = v;
        p = i;
      }
    }
    ipvt_[k] = static_cast<std::int64_t>(p);
    if (wm_[p + k * n] == 0.0) {
      ierpj_ = 1;
      return;
    }
    // The interchange covers columns k..n-1 only: the multipliers already
    // stored in columns 0..k-1 belong to the interchanges made with them,
    // which the solve applies one step at a time in the same order.
    if (p != k)
      for (std::size_t j = k; j < n; ++j) std::swap(wm_[p + j * n], wm_[k + j * n]);
    const double inv = -1.0 / wm_[k + k * n];
    for (std::size_t i = k + 1; i < n; ++i) wm_[i + k * n] *= inv;
    for (std::size_t j = k + 1; j < n; ++j) {
      const double t = wm_[k + j * n];
      if (t == 0.0) continue;
      for (std::size_t i = k + 1; i < n; ++i) wm_[i + j * n] += t * wm_[i + k * n];
    }
  }
}

void Lsoda::SolveLinear(std::span<double> b) const {
  const auto n = static_cast<std::size_t>(neq_);
  // forward: apply row interchanges and L
  for (std::size_t k = 0; k < n; ++k) {
    const auto p = static_cast<std::size_t>(ipvt_[k]);
    if (p != k) std::swap(b[p], b[k]);
    const double t = b[k];
    for (std::size_t i = k + 1; i < n; ++i) b[i] += t * wm_[i + k * n];
  }
  // back substitution with U
  for (std::size_t kk = n; kk-- > 0;) {
    b[kk] /= wm_[kk + kk * n];
    const double t = -b[kk];
    for (std::size_t i = 0; i < kk; ++i) b[i] += t * wm_[i + kk * n];
  }
}

// y(tout) from the history array; false when tout lies outside the last
// step [tn - hu, tn] (with a little roundoff fuzz).
bool Lsoda::Interpolate(double tout, std::span<double> dky) const {
  const double hu = stats_.hu;
  double tfuzz = 100.0 * kUround * (std::fabs(tn_) + std::fabs(hu));
  if (hu < 0.0) tfuzz = -tfuzz;
  const double tp = tn_ - hu - tfuzz;
  const double tn1 = tn_ + tfuzz;
  if ((tout - tp) * (tout - tn1) > 0.0) return false;
  const double s = (tout - tn_) / h_;
  const auto n = static_cast<std::size_t>(neq_);
  auto last = Col(nq_);
  for (std::size_t i = 0; i < n; ++i) dky[i] = last[i];
  for (int j = nq_ - 1; j >= 0; --j) {
    auto c = Col(j);
    for (std::size_t i = 0; i < n; ++i) dky[i] = c[i] + s * dky[i];
  }
  return true;
}

int Lsoda::Step() {
  const auto n = static_cast<std::size_t>(neq_);
  enum class Go {
    LoadCoefficients,
    CheckH,
    Rescale,
    RescaleLimited,
    Predict,
    Corrector,
    ConvergenceFailure,
    ErrorTestFailure,
    SelectOrderUp,
    SelectOrder,
    Finish,
    Return,
  };
  int kflag = 0;
  const double told = tn_;
  int ncf = 0;
  ierpj_ = 0;
  iersl_ = 0;
  jcur_ = 0;
  double delp = 0.0, del = 0.0, dsm = 0.0, pnorm = 0.0, rhup = 0.0, pdh = 0.0;
  int m = 0;
  Go next = Go::Predict;

  if (jstart_ > 0) {
    next = Go::Predict;
  } else if (jstart_ == -1) {
    // Method or parameters changed since the last step.
    ipup_ = miter_;
    lmax_ = maxord_ + 1;
    if (ialth_ == 1) ialth_ = 2;
    if (meth_ == stats_.mused) {
      next = Go::CheckH;
    } else {
      MethodCoefficients(meth_);
      ialth_ = l_;
      iret_ = 1;
      next = Go::LoadCoefficients;
    }
  } else {
    // First step: order 1 Adams.
    lmax_ = maxord_ + 1;
    nq_ = 1;
    l_ = 2;
    ialth_ = 2;
    rmax_ = 10000.0;
    rc_ = 0.0;
    el0_ = 1.0;
    crate_ = 0.7;
    hold_ = h_;
    nslp_ = 0;
    ipup_ = miter_;
    iret_ = 3;
    icount_ = 20;
    irflag_ = 0;
    pdest_ = 0.0;
    pdlast_ = 0.0;
    ratio_ = 5.0;
    MethodCoefficients(2);
    for (int i = 1; i <= kMaxOrderBdf; ++i)
      cm2_[static_cast<std::size_t>(i)] =
          tesco_[static_cast<std::size_t>(i)][1] * elco_[static_cast<std::size_t>(i)][static_cast<std::size_t>(i)];
    MethodCoefficients(1);
    for (int i = 1; i <= kMaxOrderAdams; ++i)
      cm1_[static_cast<std::size_t>(i)] =
          tesco_[static_cast<std::size_t>(i)][1] * elco_[static_cast<std::size_t>(i)][static_cast<std::size_t>(i)];
    next = Go::LoadCoefficients;
  }

  for (;;) {
    switch (next) {
      case Go::LoadCoefficients: {
        const auto& e = elco_[static_cast<std::size_t>(nq_)];
        for (int i = 0; i < l_; ++i) el_[static_cast<std::size_t>(i)] = e[static_cast<std::size_t>(i)];
        rc_ = rc_ * el_[0] / el0_;
        el0_ = el_[0];
        conit_ = 0.5 / (nq_ + 2);
        next = iret_ == 1 ? Go::CheckH : (iret_ == 2 ? Go::Rescale : Go::Predict);
        break;
      }
      case Go::CheckH:
        if (h_ == hold_) {
          next = Go::Predict;
          break;
        }
        rh_ = h_ / hold_;
        h_ = hold_;
        iredo_ = 3;
        next = Go::RescaleLimited;
        break;
      case Go::Rescale:
        rh_ = std::max(rh_, hmin_ / std::fabs(h_));
        next = Go::RescaleLimited;
        break;
      case Go::RescaleLimited: {
        rh_ = std::min(rh_, rmax_);
        rh_ = rh_ / std::max(1.0, std::fabs(h_) * hmxi_ * rh_);
        // On Adams keep h inside the stability region; remember when that
        // limit was active so later roundoff trouble can be blamed on it.
        if (meth_ == 1) {
          irflag_ = 0;
          const double p = std::max(std::fabs(h_) * pdlast_, 1e-6);
          if (rh_ * p * 1.00001 >= kSm1[static_cast<std::size_t>(nq_)]) {
            rh_ = kSm1[static_cast<std::size_t>(nq_)] / p;
            irflag_ = 1;
          }
        }
        double r = 1.0;
        for (int j = 1; j < l_; ++j) {
          r *= rh_;
          for (double& v : Col(j)) v *= r;
        }
        h_ *= rh_;
        rc_ *= rh_;
        ialth_ = l_;
        if (iredo_ == 0) {
          rmax_ = 10.0;
          next = Go::Finish;
        } else {
          next = Go::Predict;
        }
        break;
      }
      case Go::Predict:
        if (std::fabs(rc_ - 1.0) > kCcmax) ipup_ = miter_;
        if (stats_.nst >= nslp_ + kMsbp) ipup_ = miter_;
        tn_ += h_;
        Predict();
        pnorm = Norm(Col(0));
        next = Go::Corrector;
        break;
      case Go::Corrector: {
        m = 0;
        double rate = 0.0;
        del = 0.0;
        {
          auto y0 = Col(0);
          for (std::size_t i = 0; i < n; ++i) y_[i] = y0[i];
        }
        EvalRhs(tn_, savf_);
        if (ipup_ > 0) {
          PrepareJacobian();
          ipup_ = 0;
          rc_ = 1.0;
          nslp_ = stats_.nst;
          crate_ = 0.7;
          if (ierpj_ != 0) {
            next = Go::ConvergenceFailure;
            break;
          }
        }
        std::fill(acor_.begin(), acor_.end(), 0.0);
        bool converged = false;
        for (;;) {
          auto y0 = Col(0);
          auto y1 = Col(1);
          if (miter_ == 0) {
            // functional iteration
            for (std::size_t i = 0; i < n; ++i) {
              savf_[i] = h_ * savf_[i] - y1[i];
              y_[i] = savf_[i] - acor_[i];
            }
            del = Norm(std::span<const double>(y_.data(), n));
            for (std::size_t i = 0; i < n; ++i) {
              y_[i] = y0[i] + el_[0] * savf_[i];
              acor_[i] = savf_[i];
            }
          } else {
            // modified Newton: solve P x = h f - yh1 - acor
            for (std::size_t i = 0; i < n; ++i) y_[i] = h_ * savf_[i] - (y1[i] + acor_[i]);
            SolveLinear(y_.first(n));
            del = Norm(std::span<const double>(y_.data(), n));
            for (std::size_t i = 0; i < n; ++i) {
              acor_[i] += y_[i];
              y_[i] = y0[i] + el_[0] * acor_[i];
            }
          }
          // Convergence test.  A correction at roundoff level counts as
          // converged without a rate estimate.  On Adams at least two
          // iterations are made so that the contraction rate, which bounds
          // the local Lipschitz constant (used by the Adams -> BDF switch
          // test and the Adams stability limit), can be measured.
          if (del <= 100.0 * pnorm * kUround) {
            converged = true;
            break;
          }
          if (m != 0 || meth_ != 1) {
            if (m != 0) {
              double rm = 1024.0;
              if (del <= 1024.0 * delp) rm = del / delp;
              rate = std::max(rate, rm);
              crate_ = std::max(0.2 * crate_, rm);
            }
            const double dcon =
                del * std::min(1.0, 1.5 * crate_) / (tesco_[static_cast<std::size_t>(nq_)][1] * conit_);
            if (dcon <= 1.0) {
              pdest_ = std::max(pdest_, rate / std::fabs(h_ * el_[0]));
              if (pdest_ != 0.0) pdlast_ = pdest_;
              converged = true;
              break;
            }
          }
          ++m;
          if (m == kMaxcor) break;
          if (m >= 2 && del > 2.0 * delp) break;
          delp = del;
          EvalRhs(tn_, savf_);
        }
        if (converged) {
          jcur_ = 0;
          dsm = (m == 0 ? del : Norm(acor_)) / tesco_[static_cast<std::size_t>(nq_)][1];
          if (dsm > 1.0) {
            next = Go::ErrorTestFailure;
            break;
          }
          // Step accepted.
          kflag = 0;
          iredo_ = 0;
          ++stats_.nst;
          stats_.hu = h_;
          stats_.nqu = nq_;
          stats_.mused = meth_;
          for (int j = 0; j < l_; ++j) {
            auto c = Col(j);
            const double e = el_[static_cast<std::size_t>(j)];
            for (std::size_t i = 0; i < n; ++i) c[i] += e * acor_[i];
          }
          --icount_;
          if (icount_ < 0) {
            if (meth_ == 1) {
              // On Adams: would BDF allow a (ratio times) larger step?
              if (nq_ <= 5) {
                bool do_switch = false;
                double rh2 = 0.0;
                int nqm2 = 0;
                if (dsm > 100.0 * pnorm * kUround && pdest_ != 0.0) {
                  const double exsm = 1.0 / l_;
                  double rh1 = RatioFrom(dsm, exsm, 1.2);
                  double rh1it = 2.0 * rh1;
                  pdh = pdlast_ * std::fabs(h_);
                  if (pdh * rh1 > 0.00001) rh1it = kSm1[static_cast<std::size_t>(nq_)] / pdh;
                  rh1 = std::min(rh1, rh1it);
                  if (nq_ > mxords_) {
                    nqm2 = mxords_;
                    const int lm2 = mxords_ + 1;
                    const double exm2 = 1.0 / lm2;
                    const double dm2 = Norm(Col(lm2)) / cm2_[static_cast<std::size_t>(mxords_)];
                    rh2 = RatioFrom(dm2, exm2, 1.2);
                  } else {
                    const double dm2 =
                        dsm * (cm1_[static_cast<std::size_t>(nq_)] / cm2_[static_cast<std::size_t>(nq_)]);
                    rh2 = RatioFrom(dm2, exsm, 1.2);
                    nqm2 = nq_;
                  }
                  do_switch = rh2 >= ratio_ * rh1;
                } else if (irflag_ != 0) {
                  // Step is limited by Adams stability and errors are at
                  // roundoff level: the problem is stiff.
                  rh2 = 2.0;
                  nqm2 = std::min(nq_, mxords_);
                  do_switch = true;
                }
                if (do_switch) {
                  rh_ = rh2;
                  icount_ = 20;
                  meth_ = 2;
                  miter_ = jtyp_;
                  pdlast_ = 0.0;
                  nq_ = nqm2;
                  l_ = nq_ + 1;
                  next = Go::Rescale;
                  break;
                }
              }
            } else {
              // On BDF: would Adams (stability-limited by the Jacobian
              // norm) allow a step at least as large?
              const double exsm = 1.0 / l_;
              double dm1 = 0.0, rh1 = 0.0, exm1 = 0.0;
              int nqm1 = 0;
              if (mxordn_ < nq_) {
                nqm1 = mxordn_;
                const int lm1 = mxordn_ + 1;
                exm1 = 1.0 / lm1;
                dm1 = Norm(Col(lm1)) / cm1_[static_cast<std::size_t>(mxordn_)];
                rh1 = RatioFrom(dm1, exm1, 1.2);
              } else {
                dm1 = dsm * (cm2_[static_cast<std::size_t>(nq_)] / cm1_[static_cast<std::size_t>(nq_)]);
                rh1 = RatioFrom(dm1, exsm, 1.2);
                nqm1 = nq_;
                exm1 = exsm;
              }
              double rh1it = 2.0 * rh1;
              pdh = pdnorm_ * std::fabs(h_);
              if (pdh * rh1 > 0.00001) rh1it = kSm1[static_cast<std::size_t>(nqm1)] / pdh;
              rh1 = std::min(rh1, rh1it);
              const double rh2 = RatioFrom(dsm, exsm, 1.2);
              if (rh1 * ratio_ >= 5.0 * rh2) {
                const double alpha = std::max(0.001, rh1);
                dm1 = std::pow(alpha, exm1) * dm1;
                if (dm1 > 1000.0 * kUround * pnorm) {
                  rh_ = rh1;
                  icount_ = 20;
                  meth_ = 1;
                  miter_ = 0;
                  pdlast_ = 0.0;
                  nq_ = nqm1;
                  l_ = nq_ + 1;
                  next = Go::Rescale;
                  break;
                }
              }
            }
          }
          // No switch: usual step/order selection bookkeeping.
          --ialth_;
          if (ialth_ == 0) {
            next = Go::SelectOrderUp;
            break;
          }
          if (ialth_ == 1 && l_ != lmax_) {
            auto c = Col(lmax_ - 1);
            for (std::size_t i = 0; i < n; ++i) c[i] = acor_[i];
          }
          next = Go::Finish;
          break;
        }
        // Corrector did not converge: with a stale Jacobian, refresh it and
        // retry at the same h.
        if (miter_ != 0 && jcur_ == 0) {
          ipup_ = miter_;
          next = Go::Corrector;
          break;
        }
        next = Go::ConvergenceFailure;
        break;
      }
      case Go::ConvergenceFailure:
        ++ncf;
        rmax_ = 2.0;
        tn_ = told;
        Retract();
        if (ierpj_ < 0 || iersl_ < 0) {
          kflag = -3;
          next = Go::Return;
          break;
        }
        if (std::fabs(h_) <= hmin_ * 1.00001 || ncf == kMxncf) {
          kflag = -2;
          next = Go::Return;
          break;
        }
        rh_ = 0.25;
        ipup_ = miter_;
        iredo_ = 1;
        next = Go::Rescale;
        break;
      case Go::ErrorTestFailure:
        --kflag;
        tn_ = told;
        Retract();
        rmax_ = 2.0;
        if (std::fabs(h_) <= hmin_ * 1.00001) {
          kflag = -1;
          next = Go::Return;
          break;
        }
        if (kflag <= -3) {
          // Repeated failures: restart at order 1 from the current value
          // with a much smaller step and a fresh derivative.
          if (kflag == -10) {
            kflag = -1;
            next = Go::Return;
            break;
          }
          rh_ = std::max(hmin_ / std::fabs(h_), 0.1);
          h_ *= rh_;
          {
            auto y0 = Col(0);
            for (std::size_t i = 0; i < n; ++i) y_[i] = y0[i];
          }
          EvalRhs(tn_, savf_);
          {
            auto y1 = Col(1);
            for (std::size_t i = 0; i < n; ++i) y1[i] = h_ * savf_[i];
          }
          ipup_ = miter_;
          ialth_ = 5;
          if (nq_ == 1) {
            next = Go::Predict;
            break;
          }
          nq_ = 1;
          l_ = 2;
          iret_ = 3;
          next = Go::LoadCoefficients;
          break;
        }
        iredo_ = 2;
        rhup = 0.0;
        next = Go::SelectOrder;
        break;
      case Go::SelectOrderUp:
        rhup = 0.0;
        if (l_ != lmax_) {
          auto c = Col(lmax_ - 1);
          for (std::size_t i = 0; i < n; ++i) savf_[i] = acor_[i] - c[i];
          const double dup = Norm(savf_) / tesco_[static_cast<std::size_t>(nq_)][2];
          rhup = RatioFrom(dup, 1.0 / (l_ + 1), 1.4);
        }
        next = Go::SelectOrder;
        break;
      case Go::SelectOrder: {
        // Step ratios for orders q-1, q, q+1; take the largest.
        double rhsm = RatioFrom(dsm, 1.0 / l_, 1.2);
        double rhdn = 0.0;
        if (nq_ != 1) {
          const double ddn = Norm(Col(l_ - 1)) / tesco_[static_cast<std::size_t>(nq_)][0];
          rhdn = RatioFrom(ddn, 1.0 / nq_, 1.3);
        }
        if (meth_ == 1) {
          pdh = std::max(std::fabs(h_) * pdlast_, 0.000001);
          if (l_ < lmax_) rhup = std::min(rhup, kSm1[static_cast<std::size_t>(l_)] / pdh);
          rhsm = std::min(rhsm, kSm1[static_cast<std::size_t>(nq_)] / pdh);
          if (nq_ > 1) rhdn = std::min(rhdn, kSm1[static_cast<std::size_t>(nq_ - 1)] / pdh);
          pdest_ = 0.0;
        }
        int newq = nq_;
        bool raise = false;
        if (rhsm >= rhup) {
          if (rhsm >= rhdn) {
            newq = nq_;
            rh_ = rhsm;
          } else {
            newq = nq_ - 1;
            rh_ = rhdn;
            if (kflag < 0 && rh_ > 1.0) rh_ = 1.0;
          }
        } else if (rhup > rhdn) {
          raise = true;
        } else {
          newq = nq_ - 1;
          rh_ = rhdn;
          if (kflag < 0 && rh_ > 1.0) rh_ = 1.0;
        }
        if (raise) {
          newq = l_;
          rh_ = rhup;
          if (rh_ < 1.1) {
            ialth_ = 3;
            next = Go::Finish;
            break;
          }
          const double r = el_[static_cast<std::size_t>(l_ - 1)] / l_;
          auto c = Col(newq);
          for (std::size_t i = 0; i < n; ++i) c[i] = acor_[i] * r;
          nq_ = newq;
          l_ = nq_ + 1;
          iret_ = 2;
          next = Go::LoadCoefficients;
          break;
        }
        // Skip the 10% hysteresis when h is pinned by Adams stability.
        const bool stability_bound =
            meth_ == 1 && rh_ * pdh * 1.00001 >= kSm1[static_cast<std::size_t>(newq)];
        if (!stability_bound && kflag == 0 && rh_ < 1.1) {
          ialth_ = 3;
          next = Go::Finish;
          break;
        }
        if (kflag <= -2) rh_ = std::min(rh_, 0.2);
        if (newq == nq_) {
          next = Go::Rescale;
          break;
        }
        nq_ = newq;
        l_ = nq_ + 1;
        iret_ = 2;
        next = Go::LoadCoefficients;
        break;
      }
      case Go::Finish: {
        const double r = 1.0 / tesco_[static_cast<std::size_t>(stats_.nqu)][1];
        for (double& v : acor_) v *= r;
        next = Go::Return;
        break;
      }
      case Go::Return:
        hold_ = h_;
        jstart_ = 1;
        return kflag;
    }
  }
}

void Lsoda::integrate(std::span<double> y, double& t, double tout, int& istate) {
  if (istate < 1 || istate > 3 || !valid_) {
    istate = -3;
    return;
  }
  if (istate == 1) {
    init_ = false;
    if (tout == t) return;
  } else if (!init_) {
    istate = -3;
    return;
  }
  if (static_cast<std::int64_t>(y.size()) < neq_ || !std::isfinite(tout) || !std::isfinite(t)) {
    istate = -3;
    return;
  }
  const auto n = static_cast<std::size_t>(neq_);
  y_ = y;

  auto finish_error = [&](int code) {
    auto y0 = Col(0);
    for (std::size_t i = 0; i < n; ++i) y[i] = y0[i];
    t = tn_;
    stats_.tcur = tn_;
    stats_.mcur = meth_;
    istate = code;
  };

  if (istate == 1) {
    const double tdist = std::fabs(tout - t);
    const double w0 = std::max(std::fabs(t), std::fabs(tout));
    if (tdist < 2.0 * kUround * w0) {
      istate = -3;
      return;
    }
    if (opt_.h0 != 0.0 && (tout - t) * opt_.h0 < 0.0) {
      istate = -3;
      return;
    }
    if (opt_.hmax > 0.0 && opt_.hmin > opt_.hmax) {
      istate = -3;
      return;
    }
    SetWeights(y);
    for (std::size_t i = 0; i < n; ++i)
      if (!(ewt_[i] > 0.0)) {
        istate = -3;
        return;
      }
    stats_ = LsodaStats{};
    meth_ = 1;
    miter_ = 0;
    maxord_ = mxordn_;
    jstart_ = 0;
    nq_ = 1;
    l_ = 2;
    tn_ = t;
    stats_.tsw = t;
    nhnil_ = 0;
    std::fill(yh_.begin(), yh_.end(), 0.0);
    auto y0 = Col(0);
    for (std::size_t i = 0; i < n; ++i) y0[i] = y[i];
    auto y1 = Col(1);
    EvalRhs(t, y1);

    double h0 = opt_.h0;
    if (h0 == 0.0) {
      // Initial step from  1/h0^2 = 1/(tol*w0^2) + tol*||f0||^2,  which
      // balances a second-derivative bound from the interval scale against
      // the first-order error of the initial derivative.
      double tol = opt_.rtol;
      if (tol <= 0.0) {
        for (std::size_t i = 0; i < n; ++i) {
          const double ayi = std::fabs(y[i]);
          if (ayi != 0.0) tol = std::max(tol, AtolAt(static_cast<std::int64_t>(i)) / ayi);
        }
      }
      tol = std::max(tol, 100.0 * kUround);
      tol = std::min(tol, 0.001);
      const double fn = Norm(y1);
      const double sum = 1.0 / (tol * w0 * w0) + tol * fn * fn;
      h0 = std::min(1.0 / std::sqrt(sum), tdist);
      h0 = std::copysign(h0, tout - t);
    }
    const double rh = std::fabs(h0) * hmxi_;
    if (rh > 1.0) h0 /= rh;
    h_ = h0;
    for (double& v : y1) v *= h0;
    nslast_ = 0;
  } else {
    nslast_ = stats_.nst;
    if ((tn_ - tout) * h_ >= 0.0) {
      if (!Interpolate(tout, y.first(n))) {
        istate = -3;
        return;
      }
      t = tout;
      istate = 2;
      stats_.tcur = tn_;
      stats_.mcur = meth_;
      return;
    }
  }

  for (;;) {
    if (stats_.nst - nslast_ >= mxstep_) {
      finish_error(-1);
      return;
    }
    SetWeights(Col(0));
    for (std::size_t i = 0; i < n; ++i)
      if (!(ewt_[i] > 0.0)) {
        finish_error(-6);
        return;
      }
    const double tolsf = kUround * Norm(Col(0));
    if (tolsf > 1.0) {
      if (stats_.nst == 0) {
        istate = -3;
        return;
      }
      finish_error(-2);
      return;
    }
    if (tn_ + h_ == tn_) ++nhnil_;

    const int kflag = Step();
    if (kflag == -1) {
      finish_error(-4);
      return;
    }
    if (kflag < -1) {
      finish_error(-5);
      return;
    }
    init_ = true;
    if (meth_ != stats_.mused) {
      // The step that just finished decided to change method; the next one
      // reloads the coefficients.
      stats_.tsw = tn_;
      maxord_ = meth_ == 2 ? mxords_ : mxordn_;
      jstart_ = -1;
    }
    if ((tn_ - tout) * h_ < 0.0) continue;
    Interpolate(tout, y.first(n));
    t = tout;
    istate = 2;
    stats_.tcur = tn_;
    stats_.mcur = meth_;
    return;
  }
}

}  // namespace ternival
