// Tests of the reverse-communication nonlinear equation solver FUNEQ1/FUNEQ2
// and of its linear-algebra and step building blocks.  Expected values come
// from published test problems (Moré, Garbow and Hillstrom, ACM TOMS 7,
// 1981), from hand calculations and from dense arithmetic written out here.
#include "numerics/funeq.h"
#include "numerics/simplex.h"

#include "numerics/diagnostics.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <numeric>
#include <span>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace {

using ternival::DiagnosticChannel;
namespace fq = ternival::funeq;
using Vec = std::vector<double>;
using Ints = std::vector<std::int64_t>;
using Residual = std::function<void(std::span<const double> x, std::span<double> f)>;

// One set of solver arrays, i.e. one solve, and the caller's side of the
// protocol: `jacobian` answers iflag -2 (b[j + i*ldb] = dF_i/dX_j) and
// `intercept` may move x before F is evaluated there.
struct Problem {
    explicit Problem(std::int64_t size, std::int64_t lead = 0)
        : n(size), ldb(lead > 0 ? lead : size), x(U(n)), f(U(n)), step(U(n)), diagx(U(n), 1.0), diagf(U(n), 1.0),
          b(U(ldb) * U(n)), w(3 * U(n)), ropt(ternival::kFuneqRoptSize), ipvt(U(n)), iopt(ternival::kFuneqIoptSize) {
        // Quiet, tight general-purpose settings.
        std::ranges::copy(Ints{0, 2, 2, 0, 0, 100, 20, 0, 0, 2}, iopt.begin());
        std::ranges::copy(Vec{1e-10, 1e-15, 0.0, 1.0, 1e-10, 1e-7, 1e-7}, ropt.begin());
    }
    static std::size_t U(std::int64_t k) { return static_cast<std::size_t>(k); }

    void Call() {
        if (!direct) return ternival::FUNEQ1(iflag, n, x, f, step, diagx, diagf, b, ldb, w, ipvt, iopt, ropt);
        const std::span<double> s(w);  // split as FUNEQ1 would for two variables
        ternival::FUNEQ2(iflag, n, x, f, diagx, diagf, ipvt, step, s.subspan(4, 2), s.first(2), s.subspan(2, 2), b,
                         ldb, iopt, ropt);
    }
    Vec xold() const { return {w.begin(), w.begin() + n}; }

    std::int64_t n, ldb, iflag = 0;
    Vec x, f, step, diagx, diagf, b, w, ropt;
    Ints ipvt, iopt;
    bool direct = false;  // call FUNEQ2 instead of FUNEQ1
    int evaluations = 0;  // requested by the solver
    double lowest = std::numeric_limits<double>::infinity();  // smallest x_i F was requested at
    std::function<void(std::span<const double>, std::span<double>, std::int64_t)> jacobian;
    std::function<void(Problem&)> intercept;
};

// Starts a solve at x0 with F evaluated there (and p.iflag as it stands,
// normally 0) and answers the solver's requests until it returns a status >= 0.
std::int64_t Drive(Problem& p, Vec x0, const Residual& fn) {
    p.x = std::move(x0);
    fn(p.x, p.f);
    for (int calls = 0; p.Call(), p.iflag < 0 && ++calls < 100000;) {
        if (p.iflag == -2) {  // iflag -1 from here on
            p.jacobian(p.x, p.b, p.ldb);
            continue;
        }
        if (p.intercept) p.intercept(p);
        for (double v : p.x) p.lowest = std::min(p.lowest, v);
        fn(p.x, p.f);
        ++p.evaluations;
    }
    return p.iflag;
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Moré-Garbow-Hillstrom problems 1, 2, 3 and 30, and a linear system with root (1, 1).
void Rosenbrock(std::span<const double> x, std::span<double> f) {
    f[0] = 10.0 * (x[1] - x[0] * x[0]), f[1] = 1.0 - x[0];
}
void FreudensteinRoth(std::span<const double> x, std::span<double> f) {
    f[0] = -13.0 + x[0] + ((5.0 - x[1]) * x[1] - 2.0) * x[1];
    f[1] = -29.0 + x[0] + ((x[1] + 1.0) * x[1] - 14.0) * x[1];
}
void PowellBadlyScaled(std::span<const double> x, std::span<double> f) {
    f[0] = 1e4 * x[0] * x[1] - 1.0, f[1] = std::exp(-x[0]) + std::exp(-x[1]) - 1.0001;
}
void BroydenTridiagonal(std::span<const double> x, std::span<double> f) {
    for (std::size_t i = 0, n = x.size(); i < n; ++i)
        f[i] = (3.0 - 2.0 * x[i]) * x[i] - (i > 0 ? x[i - 1] : 0.0) - 2.0 * (i + 1 < n ? x[i + 1] : 0.0) + 1.0;
}
void Linear2(std::span<const double> x, std::span<double> f) { f[0] = 2.0 * x[0] + x[1] - 3.0, f[1] = x[0] - x[1]; }

// ---------------------------------------------------------------------------
TEST(FuneqSolve, ReachesKnownRoots) {
    const auto nonnegative = [](Problem& p) { p.iopt[7] = 1, p.ropt[3] = 10.0; };
    // No root given: only |F| is checked; tol is relative, on x; worst = 2
    // accepts converged steps with |F| above sqrt(tolerance).
    struct Case { const char* name; std::int64_t n, ldb; Vec x0; Residual fn; Vec root; double tol;
                  std::function<void(Problem&)> setup; std::int64_t worst = 1; } const cases[] = {
        {"x^2 = 2", 1, 0, {1.0}, [](auto x, auto f) { f[0] = x[0] * x[0] - 2.0; }, {std::sqrt(2.0)}, 1e-9, {}},
        {"Rosenbrock", 2, 0, {-1.2, 1.0}, Rosenbrock, {1.0, 1.0}, 1e-6, {}},
        {"Rosenbrock, caller's Jacobian", 2, 0, {-1.2, 1.0}, Rosenbrock, {1.0, 1.0}, 1e-6, [](Problem& p) {
             p.iopt[9] = 1, p.jacobian = [](auto x, auto b, auto l) { b[0] = -20 * x[0], b[1] = 10, b[l] = -1, b[l + 1] = 0; };
         }},
        {"Rosenbrock, leading dimension 10", 2, 10, {-1.2, 1.0}, Rosenbrock, {1.0, 1.0}, 1e-6, {}},
        {"Rosenbrock, FUNEQ2 entered with iflag 5", 2, 0, {-1.2, 1.0}, Rosenbrock, {1.0, 1.0}, 1e-6,
         [](Problem& p) { p.direct = true, p.iflag = 5; }},
        {"Powell badly scaled", 2, 0, {0.0, 1.0}, PowellBadlyScaled, {1.098159e-5, 9.106146}, 1e-5,
         [](Problem& p) { p.iopt[5] = 500, p.iopt[6] = 100; }, 2},
        {"Broyden tridiagonal", 10, 0, Vec(10, -1.0), BroydenTridiagonal, {}, 0.0, {}},
        // From 1 the Newton step would land at -0.8.
        {"sqrt(x) = 0.1, x >= 0", 1, 0, {1.0}, [](auto x, auto f) { f[0] = std::sqrt(x[0]) - 0.1; }, {0.01}, 1e-4,
         nonnegative},
        {"x >= 0 from a negative start", 2, 0, {-0.5, 2.0}, Linear2, {1.0, 1.0}, 1e-9, nonnegative},
        // Azeotrope-style options: caller's DIAGX, automatic DIAGF, dogleg, x >= 0.
        {"three variables, x >= 0", 3, 0, {0.6, 0.3, 0.1}, [](auto x, auto f) {
             f[0] = std::sqrt(std::max(x[0], 0.0)) - 0.05, f[1] = x[1] - 2.0 * x[0], f[2] = x[0] + x[1] + x[2] - 1.0;
         }, {0.0025, 0.005, 0.9925}, 1e-3, [](Problem& p) {
             std::ranges::copy(Ints{1, 2, 2, 0, 0, 70, 10, 1, 0, 2}, p.iopt.begin());
             std::ranges::copy(Vec{0.001, 1e-8, 1e-6, 0.2, 0.1, 0.05, 0.05}, p.ropt.begin());
         }, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Problem p(c.n, c.ldb);
        if (c.setup) c.setup(p);
        const std::int64_t iflag = Drive(p, c.x0, c.fn);
        EXPECT_TRUE(iflag >= 1 && iflag <= c.worst) << iflag;
        for (std::size_t i = 0; i < c.root.size(); ++i) EXPECT_NEAR(p.x[i], c.root[i], c.tol * c.root[i]);
        // The residuals returned belong to the point returned; the step is cleared.
        Vec f(p.f.size());
        c.fn(p.x, f);
        EXPECT_EQ(p.f, f);
        for (double v : p.f) EXPECT_LT(std::fabs(v), c.worst == 1 ? 1e-5 : 1e-2);
        EXPECT_EQ(p.step, Vec(p.step.size(), 0.0));
        EXPECT_TRUE(p.iopt[7] == 0 || p.lowest >= 0.0) << p.lowest;
    }
}

// Every documented status, with the message it leaves on unit 0 at print level 3.
TEST(FuneqSolve, ReturnCodes) {
    std::ostringstream unit12;
    const DiagnosticChannel::ScopedBinding bound12(12, unit12);
    int perturbed = 0;
    const auto at = [](Vec x) { return [x](const Problem& p) { EXPECT_EQ(p.x, x); }; };
    const auto untouched = [](const Problem& p) {
        EXPECT_TRUE(p.evaluations == 0 && p.w == Vec(p.w.size(), 0.0) && p.iopt[15] == 0 && p.iopt[16] == 0);
    };
    // An empty message: nothing may be written.
    struct Case { std::int64_t iflag; const char* name; std::int64_t n, ldb; Vec x0; Residual fn;
                  std::function<void(Problem&)> setup; std::string message;
                  std::function<void(const Problem&)> check; } const cases[] = {
        // One evaluation per difference column, no iteration.
        {1, "zero residual at the start, after one Jacobian", 2, 0, {1.0, 1.0}, Linear2, {}, "",
         [](const Problem& p) { EXPECT_TRUE(p.evaluations == 2 && p.iopt[16] == 0); }},
        // Unscaled 1e13 (x - 1/3) with a jump of +-1e-3 at the root: the
        // steps vanish while |F| stays above sqrt(tolerance) = 1e-5.
        {2, "converged steps, residual too big", 1, 0, {0.5},
         [](auto x, auto f) { f[0] = 1e13 * (x[0] - 1.0 / 3.0) + (x[0] >= 1.0 / 3.0 ? 1e-3 : -1e-3); },
         [](Problem& p) { p.iopt[1] = 0; }, " BUT FUNCTION IS STILL TOO BIG -- SOLUTION MAY BE INCORRECT\n",
         [](const Problem& p) { EXPECT_NEAR(p.x[0], 1.0 / 3.0, 1e-15); }},
        // A caller Jacobian of 1e12 for a slope of 1e-3 makes every Newton
        // step about 2e-15: below the tolerance and too small to update the
        // Jacobian.  Each such step counts once; the third ends the solve.
        {2, "three tiny Newton steps", 1, 0, {1.0}, [](auto x, auto f) { f[0] = 1e-3 * (1.0 + x[0]); },
         [](Problem& p) { p.iopt[9] = 1, p.jacobian = [](auto, auto b, auto) { b[0] = 1e12; }; },
         " THE SOLUTION X HAS CONVERGED 3 TIMES\n", [](const Problem& p) { EXPECT_EQ(p.evaluations, 3); }},
        {3, "caller putting every trial point back", 2, 0, {-1.2, 1.0}, Rosenbrock, [](Problem& p) {
             p.intercept = [](Problem& q) { if (q.iopt[15] == 4) std::ranges::copy(q.xold(), q.x.begin()); };
         }, "\n VERY SMALL STEP POSSIBLY DUE TO BOUND CONSTRAINTS\n ERROR RETURN FROM NONLINEAR EQUATION SOLVER "
            "FUNEQ2/FUNEQ1\n", at({-1.2, 1.0})},
        // No root near the local minimum (11.41, -0.8968) of |F|, where |F|
        // is about 6.999; the solve stops once the slow-progress count passes
        // min(n + 4, 10) and returns its best point: the base point, X = XOLD
        // and F = FOLD, with the scaled norm of F in ROPT(11).
        {4, "Freudenstein-Roth from (0.5, -2)", 2, 0, {0.5, -2.0}, FreudensteinRoth, {},
         "\n VERY SLOW CONVERGENCE IN FUNEQ2\n", [](const Problem& p) {
             EXPECT_NEAR(p.x[0], 11.41, 1.0);
             EXPECT_NEAR(p.x[1], -0.8968, 0.05);
             EXPECT_NEAR(std::hypot(p.f[0], p.f[1]), 7.0, 0.05);
             EXPECT_EQ(p.iopt[20], 2 + 4 + 1);
             EXPECT_TRUE(p.x == p.xold() && std::ranges::equal(p.f, std::span(p.w).subspan(2, 2)));
             EXPECT_NEAR(p.ropt[10], std::hypot(p.f[0] / p.diagf[0], p.f[1] / p.diagf[1]), 1e-12 * p.ropt[10]);
         }},
        {5, "Jacobian limit", 2, 0, {0.0, 1.0}, PowellBadlyScaled, [](Problem& p) { p.iopt[5] = 500, p.iopt[6] = 1; },
         "\n SUBROUTINE FUNEQ2 DID NOT FIND A SOLUTION IN  1 JACOBIAN EVALUATIONS\n", {}},
        // The message, then the final point.
        {6, "iteration limit", 2, 0, {-1.2, 1.0}, Rosenbrock, [](Problem& p) { p.iopt[5] = 2; },
         "\n SUBROUTINE FUNEQ2 DID NOT FIND A SOLUTION IN   2 ITERATIONS\n ERROR RETURN FROM NONLINEAR EQUATION SOLVER "
         "FUNEQ2/FUNEQ1\n\n AT ITERATION NO.    2  2-NORM OF F/DIAGF =", {}},
        {6, "iteration limit, print level 2", 2, 0, {-1.2, 1.0}, Rosenbrock,
         [](Problem& p) { p.iopt[5] = 2, p.iopt[3] = 2; }, "", {}},
        {6, "iteration limit, diagnostics on unit 12", 2, 0, {-1.2, 1.0}, Rosenbrock,
         [](Problem& p) { p.iopt[5] = 2, p.iopt[4] = 12; }, "",
         [&](auto&) { EXPECT_TRUE(Contains(unit12.str(), "DID NOT FIND A SOLUTION IN   2 ITERATIONS")); }},
        {7, "singular Jacobian", 2, 0, {0.5, 0.5},
         [](auto x, auto f) { f[0] = x[0] + x[1] - 3.0, f[1] = 2.0 * (x[0] + x[1]) - 1.0; },
         [](Problem& p) { p.ropt[2] = 1e-6; }, "\n JACOBIAN MATRIX BECOME SINGULAR, SINGULARITY PARAMETER = 1.000000E-06\n",
         {}},
        // F(1) >= 1e30 marks F undefined; at the start the solver asks for F again.
        {8, "F undefined at the start", 2, 0, {0.3, 0.4}, [](auto, auto f) { f[0] = 1e30, f[1] = 0.0; }, {},
         "\n FUNCTION IS UNDEFINED AT THE STARTING POINT\n", at({0.3, 0.4})},
        {9, "N > LDB", 3, 2, {1.0, 2.0, 3.0}, BroydenTridiagonal, {},
         "\n *** ERROR FROM FUNEQ1: INVALID PARAMETER ***     N =   3  LDB =    2\n", untouched},
        {9, "work array short of 3N, print level 0", 2, 0, {1.0, 2.0}, Linear2,
         [](Problem& p) { p.w.resize(5), p.iopt[3] = 0; }, "", untouched},
        {9, "FUNEQ2, arrays too small for N", 2, 0, {1.0, 2.0}, Linear2,
         [](Problem& p) { p.direct = true, p.n = 3, p.ldb = 3; }, "", untouched},
        // Unit 7 has no binding of its own here and writes to unit 0.
        {10, "positive iflag on entry", 2, 0, {4.0, 5.0}, Linear2, [](Problem& p) { p.iflag = 3; },
         "\n *** EXECUTION TERMINATED IN ROUTINE FUNEQ1 ***\n     BECAUSE IFLAG =   3  ON INPUT\n"
         "*** Error in funeq1 label 710 ***\n", untouched},
        // The caller undoes every perturbation of x1, the reversed one too.
        {110, "variable 1 cannot be perturbed", 2, 0, {0.3, 0.4}, Linear2, [&](Problem& p) {
             p.intercept = [&](Problem& q) { if (q.iopt[15] == 2 && std::abs(q.iopt[22]) == 1) q.x[0] = 0.3, ++perturbed; };
         }, "\n CANNOT PERTURB THE   1 TH VARIABLE FOR JACOBIAN EVALUATION\n",
         [&](const Problem& p) { EXPECT_TRUE(perturbed == 2 && p.x == Vec({0.3, 0.4})); }},
        {211, "residual 2 depends on no variable", 3, 0, {0.2, 0.3, 0.4},
         [](auto x, auto f) { f[0] = x[0] + x[1], f[1] = 5.0, f[2] = x[1] - x[2]; }, {},
         "\n SINGULAR - THE   2 TH FUNCTION IS NOT AFFECTED BY ANY VARIABLE\n", at({0.2, 0.3, 0.4})},
        {212, "variable 2 affects no residual, even at F = 0", 2, 0, {1.0, 1.0},
         [](auto x, auto f) { f[0] = x[0] - 1.0, f[1] = 2.0 * (x[0] - 1.0); }, {},
         "\n SINGULAR - THE   2 TH VARIABLE HAS NO EFFECT ON ANY OF THE FUNCTIONS\n", at({1.0, 1.0})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::ostringstream log;
        const DiagnosticChannel::ScopedBinding bound(0, log);
        Problem p(c.n, c.ldb);
        p.iopt[3] = 3;
        if (c.setup) c.setup(p);
        EXPECT_EQ(Drive(p, c.x0, c.fn), c.iflag);
        EXPECT_TRUE(c.message.empty() ? log.str().empty() : Contains(log.str(), c.message)) << log.str();
        if (c.check) c.check(p);
    }
}

// Options are checked on every starting call; an invalid one is replaced by
// its default and written back.
TEST(FuneqOptions, InvalidValuesAreReplacedInPlace) {
    const double eps = std::numeric_limits<double>::epsilon();
    const Ints quiet = {0, 2, 2, 0, 0, 100, 20, 0, 0, 2}, ends = {1, 1, 1, -4, 99, 999, 999, 1, 0, 1};
    const std::tuple<Ints, Ints, Vec, Vec> cases[] = {  // IOPT in, out; ROPT in, out
        {{5, 7, 0, 11, 6, 0, 1000, 3, 2, 0}, {0, 2, 2, 3, 0, 50, 5, 0, 0, 2}, {0.0, 0.01, 2e30, 1e-5, -1.0, 2e30, 2e30},
         {1e-4, eps, 0.0, 1.0, 1e-4, 10.0 * std::sqrt(eps), std::sqrt(eps)}},
        {ends, ends, {0.05, 0.001, -5.0, 1e30, 1e30, -1.0, 0.0}, {0.05, 0.001, -5.0, 1e30, 1e30, -1.0, 0.0}},
        {quiet, quiet, {0.3, 1e-15, 0, 1, 1e-10, 1e-7, 1e-7}, {0.1, 1e-15, 0, 1, 1e-10, 1e-7, 1e-7}},
        // Tolerance raised to the precision; the small-step tolerance follows it.
        {quiet, quiet, {1e-20, 1e-8, 0, 1, 0, 1e-7, 1e-7}, {1e-8, 1e-8, 0, 1, 1e-8, 1e-7, 1e-7}},
    };
    const DiagnosticChannel::ScopedBinding silent(0, DiagnosticChannel::null_sink);
    for (const auto& [iopt_in, iopt_out, ropt_in, ropt_out] : cases) {
        Problem p(2);
        std::ranges::copy(iopt_in, p.iopt.begin());
        std::ranges::copy(ropt_in, p.ropt.begin());
        p.f[0] = 1e30;  // the first call asks for F after the checks
        p.Call();
        EXPECT_EQ(p.iflag, -1);
        EXPECT_EQ(Ints(p.iopt.begin(), p.iopt.begin() + 10), iopt_out);
        for (std::size_t k = 0; k < 7; ++k) EXPECT_DOUBLE_EQ(p.ropt[k], ropt_out[k]) << "ROPT(" << k + 1 << ")";
    }
    // Scales not left to the caller are reset to 1, and so are zero scales of the caller.
    Problem p(2);
    p.iopt[0] = 1, p.iopt[1] = 0, p.diagx = {0.0, 3.0}, p.diagf = {5.0, 7.0}, p.f[0] = 1e30;
    p.Call();
    EXPECT_TRUE(p.diagx == Vec({1.0, 3.0}) && p.diagf == Vec({1.0, 1.0}));
}

// ---------------------------------------------------------------------------
// Steps worked by hand: one-dimensional problems with the exact derivative
// supplied, where the trial points follow in closed form from the bound rule
// after a worse fresh step (rho > 1.5, lambda >= 0.1), from Broyden's update,
// and from the quartered bound after an undefined F.
TEST(FuneqSteps, TrialPointsWorkedByHand) {
    const auto cube = [](double x) { return x * x * x - 2.0; };
    // Newton with the exact slope, then secant steps (Broyden's update in one
    // dimension) as long as the bound does not cut them.
    const double s0 = 1.5, s1 = s0 - cube(s0) / (3.0 * s0 * s0), s2 = s1 - cube(s1) * (s1 - s0) / (cube(s1) - cube(s0));
    const double s3 = s2 - cube(s2) * (s2 - s1) / (cube(s2) - cube(s1));
    struct Case { const char* name; std::function<double(double)> f, df; double x0; Vec trials; } const cases[] = {
        // The Newton step -1 doubles the residual (rho = 2 > 1.5): the bound
        // becomes lambda |s| with lambda = 0.5 * 2 / ((rho^2 - 1) + 2) = 0.2
        // and the Jacobian is kept.
        {"worse after a fresh Jacobian", [](double x) { return 1.0 + x + 2.0 * x * x; },
         [](double x) { return 1.0 + 4.0 * x; }, 0.0, {-1.0, -0.2}},
        // rho = 10: 0.5 * 2 / (99 + 2) is below 0.1, the lower limit of lambda.
        {"much worse", [](double x) { return 1.0 + x + 10.0 * x * x; }, [](double x) { return 1.0 + 20.0 * x; }, 0.0,
         {-1.0, -0.1}},
        {"secant steps", cube, [](double x) { return 3.0 * x * x; }, s0, {s1, s2, s3}},
        // F undefined (F(1) >= 1e30) at the Newton point 1.5: the bound,
        // lowered to the Newton length 0.5, is quartered around the same base.
        {"undefined trial point", [](double x) { return x > 1.45 && x < 1.55 ? 1e31 : x * x - 2.0; },
         [](double x) { return 2.0 * x; }, 1.0, {1.5, 1.125}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Problem p(1);
        Vec asked;
        p.iopt[9] = 1;
        p.jacobian = [&](auto x, auto b, auto) { b[0] = c.df(x[0]); };
        p.intercept = [&](Problem& q) { asked.push_back(q.x[0]); };
        Drive(p, {c.x0}, [&](auto x, auto f) { f[0] = c.f(x[0]); });
        ASSERT_GE(asked.size(), c.trials.size());
        for (std::size_t k = 0; k < c.trials.size(); ++k) EXPECT_NEAR(asked[k], c.trials[k], 1e-9) << "trial " << k;
    }
}

TEST(FuneqSteps, AJacobianIsRenewedWhenProgressSlowsOverFiveIterations) {
    // The residual is scripted: it halves at each of the first twelve trial
    // points and then falls by a tenth.  After twelve iterations on one
    // Jacobian, a new one is due once the last five iterations gained less
    // than the five before them: (f_k / f_k-5)^2 > f_k-5 / f_k-10.  With
    // a = 0.5 and b = 0.9 that first holds at k = 15
    // (a^4 b^6 = 0.0332 > a^5 = 0.03125; at k = 14, a^6 b^4 = 0.0103 < a^5).
    Problem p(1);
    int k = 0;  // 0: the start
    Ints requested_at;
    p.iopt[9] = 1;
    p.jacobian = [&](auto, auto b, auto) { requested_at.push_back(p.iopt[16]), b[0] = 1.0; };
    Drive(p, {0.0}, [&](auto, auto f) { f[0] = std::pow(0.5, std::min(k, 12)) * std::pow(0.9, std::max(k - 12, 0)), ++k; });
    ASSERT_GE(requested_at.size(), 2u);
    EXPECT_EQ(requested_at[1], 15);
}

// A difference column is accepted when the caller moved the variable by more
// than 1e-2 of the increment; between 1e-4 and 1e-2 the increment is reversed
// once and then accepted (below 1e-4 twice: status 100k + 10).
TEST(FuneqJacobianColumns, MovedPerturbationsAreReversedOnce) {
    for (const double kept : {0.02, 0.005}) {
        Problem p(2);
        Vec h;  // the increments of x1
        p.intercept = [&](Problem& q) {
            if (q.iopt[15] == 2 && std::abs(q.iopt[22]) == 1) h.push_back(q.x[0] - 0.3), q.x[0] = 0.3 + kept * h.back();
        };
        EXPECT_EQ(Drive(p, {0.3, 0.4}, Linear2), 1);
        EXPECT_NEAR(p.x[0], 1.0, 1e-9);
        EXPECT_EQ(h, (kept > 0.01 ? Vec{h[0]} : Vec{h[0], -h[0]})) << kept;
    }
}

// ---------------------------------------------------------------------------
// All solve state lives in the caller's arrays: interleaved solves end exactly
// as the same solves one after the other.
TEST(FuneqState, LivesInTheCallersArrays) {
    const Residual three = [](auto x, auto f) {
        f[0] = x[0] * x[0] + x[1] * x[1] + x[2] * x[2] - 3.0, f[1] = x[0] - x[1], f[2] = x[1] * x[2] - 1.0;
    };
    Problem a1(2), b1(3), a2(2), b2(3);
    EXPECT_EQ(Drive(a1, {-1.2, 1.0}, Rosenbrock), 1);
    EXPECT_EQ(Drive(b1, {2.0, 0.5, 1.5}, three), 1);
    a2.x = {-1.2, 1.0}, b2.x = {2.0, 0.5, 1.5};
    Rosenbrock(a2.x, a2.f), three(b2.x, b2.f);
    for (int call = 0; call < 100000 && (a2.iflag <= 0 || b2.iflag <= 0); ++call) {
        for (auto [p, fn] : {std::pair{&a2, Residual(Rosenbrock)}, std::pair{&b2, three}}) {
            if (p->iflag > 0) continue;
            p->Call();
            if (p->iflag == -1) fn(p->x, p->f);
        }
    }
    EXPECT_TRUE(a2.x == a1.x && b2.x == b1.x && a2.iopt == a1.iopt && b2.ropt == b1.ropt && b2.b == b1.b);

    // IOPT(9) = 1: the first Jacobian of a solve is the previous solve's and
    // costs no difference columns; with nothing usable left behind the option is
    // withdrawn.
    Problem p(2);
    ASSERT_EQ(Drive(p, {-1.2, 1.0}, Rosenbrock), 1);
    p.iopt[8] = 1, p.iflag = 0;
    int columns = 0;
    p.intercept = [&](Problem& q) { columns += q.iopt[15] == 2; };
    EXPECT_EQ(Drive(p, {1.01, 1.02}, Rosenbrock), 1);
    EXPECT_NEAR(p.x[0], 1.0, 1e-7);
    EXPECT_EQ(columns, 2 * (p.iopt[17] - 1));
    Problem q(2);
    q.iopt[8] = 1, q.ipvt = {7, 3};
    EXPECT_EQ(Drive(q, {-1.2, 1.0}, Rosenbrock), 1);
    EXPECT_EQ(q.iopt[8], 0);
}

// ---------------------------------------------------------------------------
// Building blocks, against hand calculations and dense arithmetic.  Matrices
// are written as J(i, j) row by row and stored transposed, b[j + i*ldb].
using Dense = std::vector<Vec>;

Vec Store(const Dense& a, std::size_t ldb) {
    Vec b(ldb * a.size(), -99.0);
    for (std::size_t i = 0; i < a.size(); ++i) std::ranges::copy(a[i], b.begin() + i * ldb);
    return b;
}

TEST(FuneqBlocks, NormIncrementScalingAndZeroGradients) {
    const double r2 = std::sqrt(2.0);
    const std::pair<Vec, double> norms[] = {{{3, 4}, 5}, {{1e200, 1e200}, r2 * 1e200}, {{1e-200, -1e-200}, r2 * 1e-200},
                                            {{0, 0, 0}, 0}, {{1, 1e-17}, 1}, {{}, 0}};
    for (const auto& [v, norm] : norms) EXPECT_DOUBLE_EQ(fq::ScaledNorm(std::ssize(v), v), norm);
    EXPECT_DOUBLE_EQ(fq::ScaledNorm(1, Vec{3, 4}), 3.0);  // only the first n entries
    // x, rel, abs, x >= 0 kept, increment: reversed when x + h would cross 1,
    // then 0, then (x >= 0 kept) fall below 0.
    const std::tuple<double, double, double, bool, double> increments[] = {
        {0.9999, 0.05, 0.05, false, -0.05}, {10.0, 0.05, 0.05, false, 0.5}, {0.02, 0.05, 1.0, false, 1.0},
        {-0.5, 0.05, 0.05, true, -0.05},    {-0.5, 0.05, 0.05, false, 0.05}, {-0.5, 0.05, -0.1, false, 0.025}};
    for (const auto& [x, rel, abs, nonneg, h] : increments)
        EXPECT_DOUBLE_EQ(fq::ForwardDifferenceIncrement(x, rel, abs, nonneg), h) << x;
    // J = [[2, -8], [0.5, 0.25]]: residual scales 8 and 0.5, then variable scales 1.
    Vec b = Store({{2, -8}, {0.5, 0.25}}, 2), dx = {5, 5}, df = {5, 5};
    fq::ScaleJacobian(2, 2, 2, dx, df, b, 2);
    EXPECT_TRUE(b == Store({{0.25, -1}, {1, 0.5}}, 2) && dx == Vec({1, 1}) && df == Vec({8, 0.5}));
    // Caller's variable scales (2, 0.5); residual scales floored at 1e-8.
    b = Store({{1e-10, 2e-10}, {4, 1}}, 2), dx = {2, 0.5};
    fq::ScaleJacobian(2, 1, 2, dx, df, b, 2);
    EXPECT_EQ(df, (Vec{1e-8, 8}));
    for (std::size_t k = 0; k < 4; ++k) EXPECT_DOUBLE_EQ(b[k], (Vec{0.02, 0.01, 1, 0.0625})[k]);
    // Zero gradients: residual k (100k + 11) or variable k (100k + 12), k ascending.
    const std::pair<Dense, std::int64_t> gradients[] = {
        {{{1, 2, 0}, {0, 0, 0}, {1, 1, 0}}, 211}, {{{1, 2, 0}, {3, 1, 0}, {1, 1, 0}}, 312},
        {{{1, 0, 1}, {3, 0, 1}, {0, 0, 0}}, 212},  // variable 2 before residual 3
        {{{1, 0, 1}, {0, 0, 0}, {1, 0, 2}}, 211},  // the residual test first at equal index
        {{{1, 2, 3}, {4, 5, 6}, {7, 8, 10}}, 0}};
    for (const auto& [a, code] : gradients) EXPECT_EQ(fq::ZeroGradientTest(3, Store(a, 3), 3), code);
}

// Products, solves and Bennett's update of the factors agree with dense
// arithmetic on the matrix itself; pivots that vanish are floored.
TEST(FuneqBlocks, FactorsReproduceTheMatrixBeforeAndAfterAnUpdate) {
    Dense a = {{0.5, 2.0, -1.0}, {4.0, 1.0, 0.5}, {-2.0, 3.0, 6.0}};
    const auto expect_product = [&](const Vec& v, bool transposed, const Vec& product) {
        for (std::size_t i = 0; i < 3; ++i)
            EXPECT_NEAR(product[i], transposed ? a[0][i] * v[0] + a[1][i] * v[1] + a[2][i] * v[2]
                                               : a[i][0] * v[0] + a[i][1] * v[1] + a[i][2] * v[2], 1e-13);
    };
    Vec b = Store(a, 4);
    Ints ipvt(3);
    fq::FactorLU(3, b, 4, ipvt, 1e-8, 1e-15);
    EXPECT_EQ(ipvt, (Ints{2, 3, 1}));  // pivots 4, then 3.5 = 3 + 0.5 * 1
    EXPECT_EQ(b[3], -99.0);            // rows beyond n of each column are never touched
    const Vec v = {1.0, -2.0, 0.75}, r = {0.3, -1.0, 2.0}, s = {0.6, 0.0, -0.8};
    Vec x = v;  // J x = v
    fq::Interchange(fq::PivotDirection::Forward, 3, ipvt, x);
    fq::SolveLU(3, b, 4, x);
    expect_product(x, false, v);
    for (const bool updated : {false, true}) {
        if (updated) {  // J + r s^T
            Vec u = r, w = s;
            fq::Interchange(fq::PivotDirection::Forward, 3, ipvt, u);
            fq::UpdateLU(3, u, w, b, 4, 1e-15);
            for (std::size_t i = 0; i < 3; ++i)
                for (std::size_t j = 0; j < 3; ++j) a[i][j] += r[i] * s[j];
        }
        for (const bool transposed : {false, true}) {
            Vec w = v;
            fq::ProductLU(transposed, 3, ipvt, b, 4, w);
            expect_product(v, transposed, w);
        }
    }
    // Rank one: the zero pivot is raised to 16 precision and flagged (threshold
    // 1e-6) in ipvt[n-1]; a small negative pivot keeps its sign; J = I updated
    // by -e1 e1^T gets its zero diagonal entry floored too.
    Vec m = Store({{1, 2}, {2, 4}}, 2), tiny = {-1e-20}, eye = {1, 0, 0, 1}, u = {-1, 0}, w = {1, 0};
    fq::FactorLU(2, m, 2, ipvt, 1e-6, 1e-15);
    EXPECT_TRUE(m == Vec({2, 4, 0.5, 16e-15}) && ipvt[0] == 2 && ipvt[1] == 0);
    fq::FactorLU(1, tiny, 1, ipvt, 0.0, 1e-15);
    EXPECT_TRUE(tiny[0] == -16e-15 && ipvt[0] == 1);  // threshold 0: never near-singular
    fq::FactorLU(2, eye, 2, ipvt, 1e-6, 1e-15);
    fq::UpdateLU(2, u, w, eye, 2, 1e-15);
    EXPECT_EQ(eye, (Vec{16e-15, 0, 0, 1}));
}

TEST(FuneqBlocks, DoglegStep) {
    // J = diag(1, 10), f = (1, 1): Newton step (-1, -0.1), steepest descent
    // (-1, -10), Cauchy length alpha = sqrt(101) * 101 / 10001.
    const double gamma = std::sqrt(101.0), alpha = gamma * 101.0 / 10001.0, nu = std::sqrt(1.01);
    const double cx = -alpha / gamma, cy = -10.0 * alpha / gamma;  // the Cauchy point
    // An empty step: the dogleg checks below.
    struct Case { const char* name; Dense j; Vec f; std::int64_t kind; double delta, delta_out, newton; Vec step; }
    const cases[] = {
        {"bound above 0.9 Newton: full Newton step", {{1, 0}, {0, 1}}, {3, 4}, 2, 10.0, 5.0, 5.0, {-3, -4}},
        {"bound within the Cauchy length", {{1, 0}, {0, 1}}, {3, 4}, 2, 2.0, 2.0, 5.0, {-1.2, -1.6}},
        {"between the Cauchy and Newton points", {{1, 0}, {0, 10}}, {1, 1}, 2, 0.5, 0.5, nu, {}},
        {"kind 1: Newton cut to the bound", {{1, 0}, {0, 10}}, {1, 1}, 1, 0.5, 0.5, nu, {-0.5 / nu, -0.05 / nu}},
        {"N = 1: Newton cut to the bound", {{2}}, {4}, 2, 0.5, 0.5, 2.0, {-0.5}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto n = std::ssize(c.j);
        Vec b = Store(c.j, c.j.size()), step(2), w1(2), w2(2);
        Ints ipvt(c.j.size());
        fq::FactorLU(n, b, n, ipvt, 1e-6, 1e-15);
        double delta = c.delta, newton = 0.0;
        fq::DoglegStep(n, c.kind, delta, c.f, b, n, ipvt, step, newton, w1, w2);
        EXPECT_DOUBLE_EQ(newton, c.newton);
        EXPECT_DOUBLE_EQ(delta, c.delta_out);
        for (std::size_t i = 0; i < c.step.size(); ++i) EXPECT_NEAR(step[i], c.step[i], 1e-15);
        if (!c.step.empty()) continue;
        // On the segment from the Cauchy point to the Newton point, at the bound.
        EXPECT_NEAR(std::hypot(step[0], step[1]), 0.5, 1e-14);
        EXPECT_NEAR((step[0] - cx) * (-0.1 - cy) - (step[1] - cy) * (-1.0 - cx), 0.0, 1e-14);
        EXPECT_TRUE(step[0] > -1.0 && step[0] < cx);
    }
}

// ---------------------------------------------------------------------------
// PerturbPair: the two compositions around x that a difference quotient along
// e_i - e_j takes.  Expected pairs worked by hand: centred where both
// fractions allow it, off centre next to a small fraction, and paid for by
// the largest fraction when the pair is empty.
using X = std::array<double, 3>;

// Every pair differs by exactly h (e_i - e_j), stays in [0, 1] and keeps the
// sum of the base composition.
void ExpectValidPair(const X& x, const X& p, const X& m, int i, int j, double h) {
    const double sum = std::accumulate(x.begin(), x.end(), 0.0);
    EXPECT_NEAR(std::accumulate(p.begin(), p.end(), 0.0), sum, 1e-15);
    EXPECT_NEAR(std::accumulate(m.begin(), m.end(), 0.0), sum, 1e-15);
    for (int k = 0; k < 3; ++k) {
        EXPECT_NEAR(p[k] - m[k], (k == i - 1 ? h : 0.0) - (k == j - 1 ? h : 0.0), 1e-15) << "component " << k;
        EXPECT_TRUE(p[k] >= 0.0 && p[k] <= 1.0 && m[k] >= 0.0 && m[k] <= 1.0) << "component " << k;
    }
}

TEST(PerturbPair, PairsAlongEiMinusEjStayOnTheSimplex) {
    struct Case { X x; double h; X p, m; } const cases[] = {  // all with i = 1, j = 3
        {{0.2, 0.3, 0.5}, 1e-3, {0.2005, 0.3, 0.4995}, {0.1995, 0.3, 0.5005}},  // centred
        {{0.6, 0.4, 0.0}, 1e-3, {0.6, 0.4, 0.0}, {0.599, 0.4, 0.001}},          // x_j = 0: xp_i = x_i + x_j / 2
        {{0.0, 0.4, 0.6}, 1e-3, {1e-3, 0.4, 0.599}, {0.0, 0.4, 0.6}},           // x_i = 0: xm_i = x_i / 2
        {{0.0, 1.0, 0.0}, 1e-6, {1e-6, 1 - 1e-6, 0.0}, {0.0, 1 - 1e-6, 1e-6}},  // empty pair: x_2 pays
    };
    for (const Case& c : cases) {
        X p{}, m{};
        ternival::PerturbPair(3, c.h, 1, 3, c.x, p, m);
        for (int k = 0; k < 3; ++k) {
            EXPECT_NEAR(p[k], c.p[k], 1e-15) << c.x[0] << " " << c.x[1] << ", component " << k;
            EXPECT_NEAR(m[k], c.m[k], 1e-15) << c.x[0] << " " << c.x[1] << ", component " << k;
        }
        ExpectValidPair(c.x, p, m, 1, 3, c.h);
    }
    // At a pure component every pair not involving it is empty.
    for (int pure = 0; pure < 3; ++pure) {
        X x{}, p{}, m{};
        x[pure] = 1.0;
        for (int i = 1; i <= 2; ++i) {
            ternival::PerturbPair(3, 1e-6, i, 3, x, p, m);
            ExpectValidPair(x, p, m, i, 3, 1e-6);
        }
    }
}

}  // namespace
