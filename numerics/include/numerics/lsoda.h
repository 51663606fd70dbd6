// LSODA: initial value problems y' = f(t, y) with automatic switching
// between the non-stiff Adams family (functional iteration, orders 1..12)
// and the stiff BDF family (modified Newton, orders 1..5).
//
// The integrator keeps a Nordsieck history array
//   yh[j] = h^j / j! * d^j y / dt^j,  j = 0..q,
// predicts with the Pascal triangle, corrects with the method's l-vector
// and selects step size and order from local error estimates.  Every
// 20 accepted steps it compares the step size each family could use and
// switches when the other one is clearly better (stiffness is measured
// from the convergence rate of functional iteration while on Adams and
// from the Jacobian norm while on BDF).
//
// Error control: ewt_i = rtol*|y_i| + atol_i and, as in ODEPACK's LSODA
// (unlike LSODE), the weighted max norm max_i |e_i| / ewt_i is used for
// error and convergence tests.
//
// Calling protocol (ITASK = 1 semantics): set istate = 1 with the initial
// t and y, call integrate() with successive output times tout.  On a
// successful return istate = 2, t = tout and y = y(tout), interpolated from
// the history array; keep calling with istate = 2 to go on.  istate = 3 is
// accepted as a synonym of 2 (options are fixed at construction).
#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace ternival {

// f(neq, t, y, ydot): y has at least neq elements (the caller's state array
// may be longer; only the first neq are integrated)
using OdeRhs = std::function<void(std::int64_t neq, double t, std::span<double> y,
                                  std::span<double> ydot)>;
// jac(neq, t, y, ml, mu, pd, nrowpd): full Jacobian column-major,
// pd[i + j*nrowpd] = df_i/dy_j, pd zeroed before call
using OdeJac = std::function<void(std::int64_t neq, double t, std::span<double> y,
                                  std::int64_t ml, std::int64_t mu, std::span<double> pd,
                                  std::int64_t nrowpd)>;

struct LsodaOptions {
  int itol = 1;             // 1: scalar rtol/atol; 2: scalar rtol, vector atol
  double rtol = 1e-6;
  double atol = 1e-6;
  std::vector<double> atol_vector;  // used when itol == 2
  int jt = 2;               // 1: user full Jacobian; 2: internally generated full Jacobian by differences
  int mxstep = 500;         // max internal steps per call (ODEPACK default 500)
  int mxordn = 12, mxords = 5;
  double h0 = 0.0, hmax = 0.0, hmin = 0.0;  // 0 = automatic/unbounded
};

struct LsodaStats {
  long nst = 0, nfe = 0, nje = 0;
  int nqu = 0;
  double hu = 0.0;
  int mused = 0;  // 1 Adams, 2 BDF
  int mcur = 0;
  double tcur = 0.0;
  double tsw = 0.0;  // last switch time
};

class Lsoda {
 public:
  Lsoda(std::int64_t neq, OdeRhs f, OdeJac jac, LsodaOptions options);
  // ITASK = 1 semantics: integrate from t to tout (either direction), return
  // y(tout) by interpolation of the Nordsieck history.
  // istate on entry: 1 = first call / restart from the given y and t,
  // 2 = continue.  On return: 2 success, -1 more than mxstep steps (y, t
  // hold the point reached), -2 too much accuracy requested, -3 illegal
  // input, -4 repeated error-test failures, -5 repeated convergence
  // failures (or singular matrix), -6 error weight became zero.
  void integrate(std::span<double> y, double& t, double tout, int& istate);
  const LsodaStats& stats() const;
  std::int64_t neq() const;
  // Work-array sizes ODEPACK would require for this problem with jt = 1/2
  // (full matrix): LRW = max(20 + 16*NEQ, 22 + 9*NEQ + NEQ^2), LIW = 20 + NEQ.
  static std::int64_t RequiredRealWork(std::int64_t neq);
  static std::int64_t RequiredIntWork(std::int64_t neq);

 private:
  static constexpr int kMaxOrderAdams = 12;
  static constexpr int kMaxOrderBdf = 5;
  static constexpr int kCols = kMaxOrderAdams + 1;  // history columns

  // One internal step (returns kflag: 0 ok, -1 error test, -2 convergence,
  // -3 unrecoverable matrix/solve failure).
  int Step();
  void MethodCoefficients(int meth);
  void SetWeights(std::span<const double> ycur);
  double Norm(std::span<const double> v) const;
  double MatrixNorm() const;
  void PrepareJacobian();
  void SolveLinear(std::span<double> b) const;
  bool Interpolate(double tout, std::span<double> dky) const;
  void Predict();
  void Retract();
  void EvalRhs(double t, std::span<double> out);
  std::span<double> Col(int j);
  std::span<const double> Col(int j) const;
  double AtolAt(std::int64_t i) const;
  bool ValidOptions() const;

  std::int64_t neq_;
  OdeRhs f_;
  OdeJac jac_;
  LsodaOptions opt_;
  LsodaStats stats_;

  // Method coefficient tables: elco_[q][i] is l_i for order q, tesco_[q][k]
  // are the error-test constants (k = 0: order q-1, 1: order q, 2: order q+1).
  std::array<std::array<double, 13>, 13> elco_{};
  std::array<std::array<double, 3>, 13> tesco_{};
  std::array<double, 13> el_{};
  std::array<double, 13> cm1_{};
  std::array<double, 6> cm2_{};

  std::vector<double> yh_;    // neq * kCols, column j at j*neq
  std::vector<double> ewt_;   // reciprocals of the error weights
  std::vector<double> savf_;  // f at the current iterate
  std::vector<double> acor_;  // accumulated correction
  std::vector<double> wm_;    // iteration matrix I - h*l0*J, then its LU factors
  std::vector<std::int64_t> ipvt_;
  std::span<double> y_;       // caller's state array while integrate() runs

  // Step state.
  double h_ = 0.0, hold_ = 0.0, tn_ = 0.0, rc_ = 0.0, el0_ = 1.0;
  double crate_ = 0.7, conit_ = 0.0, rmax_ = 1e4, rh_ = 1.0;
  double hmin_ = 0.0, hmxi_ = 0.0;
  double pdest_ = 0.0, pdlast_ = 0.0, pdnorm_ = 0.0, ratio_ = 5.0;
  int nq_ = 1, l_ = 2, lmax_ = 13, maxord_ = 12, meth_ = 1, miter_ = 0;
  int mxordn_ = 12, mxords_ = 5, mxstep_ = 500, jtyp_ = 2;
  int ialth_ = 2, ipup_ = 0, iret_ = 3, icount_ = 20, irflag_ = 0;
  int jstart_ = 0, jcur_ = 0, ierpj_ = 0, iersl_ = 0, iredo_ = 0;
  long nslp_ = 0, nslast_ = 0, nhnil_ = 0;
  bool init_ = false;
  bool valid_ = true;
};

}  // namespace ternival
