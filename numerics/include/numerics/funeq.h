// Trust-region solver for square nonlinear systems F(X) = 0, driven by
// reverse communication, and its numerical building blocks.
//
// Index mapping.  The option/state arrays are documented with 1-based
// numbers, as they are in the run logs: IOPT(k) is iopt[k-1], ROPT(k) is
// ropt[k-1], X(i) is x[i-1], and so on.  The Jacobian array B is
// column-major with leading dimension ldb and transposed relative to the
// usual Jacobian: B(j, i) = b[(j-1) + (i-1)*ldb] = dF_i/dX_j, so column i of
// B is the gradient of residual i.  After scaling B holds
// d(F_i/DIAGF_i)/d(X_j/DIAGX_j); after factorisation it holds LU factors of
// that (scaled) matrix J with partial pivoting by rows of J.
//
// Calling protocol of FUNEQ1 / FUNEQ2:
//   iflag = 0, x = start, f = F(x) (or f[0] = 1e30 to have it requested),
//   options in iopt[0..9] / ropt[0..6], scales as the options require;
//   loop {
//     FUNEQ1(iflag, ...);
//     if (iflag == -1) evaluate F at x into f (x may be moved; f[0] >= 1e30
//                      marks F undefined there);
//     else if (iflag == -2) store the Jacobian at x into b (transposed);
//     else break;        // 1 converged, 2 converged step but F too big,
//   }                    // anything else: failure (see funeq.cpp)
//
// All solve state lives in the caller's arrays, so separate sets of arrays
// are independent solves that may be interleaved.  The solver allocates
// nothing and never throws.
//
// Integer options, validated on every starting call (invalid -> default,
// written back):
//   IOPT(1)  variable scaling 0 none / 1 caller's DIAGX / 2 automatic   [0]
//   IOPT(2)  residual scaling 0 none / 1 caller's DIAGF / 2 automatic   [2]
//   IOPT(3)  step kind 1 Newton cut to the bound / 2 dogleg             [2]
//   IOPT(4)  print level, at most 10                                    [3]
//   IOPT(5)  diagnostic unit 0 or 1..99 except 6                        [0]
//   IOPT(6)  iteration limit 1..999                                     [50]
//   IOPT(7)  Jacobian evaluation limit 1..999                           [5]
//   IOPT(8)  1 keep variables non-negative / 0 no sign condition        [0]
//   IOPT(9)  1 reuse the previous solve's factors, pivots and scales    [0]
//   IOPT(10) Jacobian source 1 caller (iflag -2) / 2 forward differences[2]
// Integer state: IOPT(16) resume point, (17) iterations, (18) Jacobian
// evaluations, (19) Jacobian fresh flag, (20) iteration of the last Jacobian
// + 1, (21) slow-progress counter, (22) converged-but-too-big count,
// (23) perturbed column (negated once reversed) / small-step flag.
//
// Real options: ROPT(1) tolerance (0,0.5] [1e-4], then kept in
// [ROPT(2), 0.1]; ROPT(2) residual precision (0,1e-3] [machine epsilon];
// ROPT(3) singularity threshold <= 1e30 [0]; ROPT(4) first-bound factor
// (1e-5,1e30] [1]; ROPT(5) small-step tolerance (0,1e30] [ROPT(1)];
// ROPT(6) relative increment <= 1e30 [10 sqrt(ROPT(2))]; ROPT(7) absolute
// increment <= 1e30 [sqrt(ROPT(2))].
// Real state: ROPT(11) scaled residual norm of the base point (of the
// returned point at the end), (12) reference norm, (13) step bound,
// (14) restart bound, (15) lower bound limit, (16) bound growth allowance,
// (17) full Newton length, (18) scaled norm of the base point,
// (19..28) ring of the best norms of the last ten iterations.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace ternival {

// Minimum sizes of the option/state arrays.
inline constexpr std::size_t kFuneqIoptSize = 23;
inline constexpr std::size_t kFuneqRoptSize = 28;

// Front end: checks its arguments, splits w into XOLD = w[0..n-1],
// FOLD = w[n..2n-1] and the model vector w[2n..3n-1], and calls FUNEQ2.
//  - iflag >= 1 on entry: writes the termination message on unit 0 and a
//    line on unit 7, sets iflag = 10, touches nothing else.
//  - n < 1, n > ldb, or an array too small for n and ldb: iflag = 9 (with a
//    message on unit 0 unless IOPT(4) is 0), nothing else touched.
void FUNEQ1(std::int64_t& iflag, std::int64_t n, std::span<double> x, std::span<double> f,
            std::span<double> step, std::span<double> diagx, std::span<double> diagf,
            std::span<double> b, std::int64_t ldb, std::span<double> w,
            std::span<std::int64_t> ipvt, std::span<std::int64_t> iopt,
            std::span<double> ropt);

// The solver proper, with the work array already split.  iflag >= 0 (or a
// negative iflag without a valid resume point) starts a new solve.  It does
// not make FUNEQ1's checks; arrays too small for n and ldb give iflag = 9
// silently instead of an out-of-bounds access.
void FUNEQ2(std::int64_t& iflag, std::int64_t n, std::span<double> x, std::span<double> f,
            std::span<double> diagx, std::span<double> diagf, std::span<std::int64_t> ipvt,
            std::span<double> step, std::span<double> model, std::span<double> xold,
            std::span<double> fold, std::span<double> b, std::int64_t ldb,
            std::span<std::int64_t> iopt, std::span<double> ropt);

// ---------------------------------------------------------------------------
// Building blocks.  Matrices use the transposed layout described above:
// J(i, j) (row i = residual, column j = variable) is b[j + i*ldb], 0-based.
// ipvt[k] (k = 0..n-2) is the 1-based row of J interchanged with row k+1 at
// step k+1 of the factorisation; ipvt[n-1] is 1 when no pivot fell below the
// singularity threshold, else 0.
namespace funeq {

// Euclidean norm of v[0..n-1] that cannot overflow: m * sqrt(sum (v_i/m)^2)
// with m = max |v_i|; entries with |v_i| <= 2^-53 m are left out.  n < 1
// or m = 0 gives 0.
double ScaledNorm(std::int64_t n, std::span<const double> v);

// Forward-difference increment for a variable at value x: h = max(|x| rel,
// abs), then reversed if x < 1 <= x + h, if x > 0 >= x + h, and (with
// nonnegative) if x + h < 0, in that order.
double ForwardDifferenceIncrement(double x, double rel, double abs, bool nonnegative);

// Zero-gradient tests on the unscaled Jacobian: returns 100k + 11 when
// residual k depends on no variable, 100k + 12 when variable k affects no
// residual (k ascending, residual test first at equal k), else 0.
std::int64_t ZeroGradientTest(std::int64_t n, std::span<const double> b, std::int64_t ldb);

// Scales b into J according to IOPT(1) (xscale) and IOPT(2) (fscale);
// automatic scales are written to diagx / diagf.  n < 2 sets both scales to
// 1 and leaves b unchanged.
void ScaleJacobian(std::int64_t n, std::int64_t xscale, std::int64_t fscale,
                   std::span<double> diagx, std::span<double> diagf, std::span<double> b,
                   std::int64_t ldb);

// LU factorisation with partial pivoting in place.  A pivot with
// |pivot| < threshold counts as near-singular (ipvt[n-1] = 0); a pivot with
// |pivot| < 16 precision is raised to that floor with its sign (+ for 0)
// after its elimination step.
void FactorLU(std::int64_t n, std::span<double> b, std::int64_t ldb,
              std::span<std::int64_t> ipvt, double threshold, double precision);

enum class PivotDirection { Forward, Backward };

// Applies the interchanges to v: forward k = 1..n-1, backward k = n-1..1.
void Interchange(PivotDirection direction, std::int64_t n, std::span<const std::int64_t> ipvt,
                 std::span<double> v);

// v <- J^{-1} v.  The vector must already be interchanged forward.
void SolveLU(std::int64_t n, std::span<const double> b, std::int64_t ldb, std::span<double> v);

// v <- J v (transposed = false) or J^T v (transposed = true), in place,
// from the factors and the interchanges.
void ProductLU(bool transposed, std::int64_t n, std::span<const std::int64_t> ipvt,
               std::span<const double> b, std::int64_t ldb, std::span<double> v);

// Bennett update: the factors of P J become those of P J + u w^T (u already
// interchanged forward); new diagonal entries are floored at 16 precision in
// magnitude.  u and w are used as work and overwritten.
void UpdateLU(std::int64_t n, std::span<double> u, std::span<double> w, std::span<double> b,
              std::int64_t ldb, double precision);

// Dogleg (kind 2) or cut Newton (kind 1) step for the scaled residual f
// inside the bound delta.  The scaled step goes to step, the full Newton
// length to newton_length; delta is lowered to that length when it exceeds
// 0.9 of it.  work1 and work2 (n entries each) are scratch.
void DoglegStep(std::int64_t n, std::int64_t kind, double& delta, std::span<const double> f,
                std::span<const double> b, std::int64_t ldb, std::span<const std::int64_t> ipvt,
                std::span<double> step, double& newton_length, std::span<double> work1,
                std::span<double> work2);

}  // namespace funeq
}  // namespace ternival
