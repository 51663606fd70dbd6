// Tests of the reverse-communication nonlinear equation solver and of its
// linear-algebra and step building blocks.
#include "numerics/funeq.h"

#include "numerics/diagnostics.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <limits>
#include <span>
#include <sstream>
#include <string>
#include <vector>

namespace {

using ternival::DiagnosticChannel;
using ternival::FUNEQ1;
using ternival::FUNEQ2;
namespace fq = ternival::funeq;

using Residual = std::function<void(std::span<const double> x, std::span<double> f)>;
// Fills the Jacobian in the solver's transposed layout: b[j + i*ldb] = dF_i/dX_j.
using Jacobian =
    std::function<void(std::span<const double> x, std::span<double> b, std::int64_t ldb)>;

// One set of solver arrays: one solve.
struct Problem {
    explicit Problem(std::int64_t size, std::int64_t lead = 0)
        : n(size), ldb(lead > 0 ? lead : size) {
        const auto un = static_cast<std::size_t>(std::max<std::int64_t>(n, 1));
        const auto ul = static_cast<std::size_t>(std::max<std::int64_t>(ldb, 1));
        x.assign(un, 0.0);
        f.assign(un, 0.0);
        step.assign(un, 0.0);
        diagx.assign(un, 1.0);
        diagf.assign(un, 1.0);
        b.assign(ul * un, 0.0);
        w.assign(3 * un, 0.0);
        ipvt.assign(un, 0);
        iopt.assign(ternival::kFuneqIoptSize, 0);
        ropt.assign(ternival::kFuneqRoptSize, 0.0);
        // Quiet, tight general-purpose settings.
        const std::int64_t io[10] = {0, 2, 2, 0, 0, 100, 20, 0, 0, 2};
        const double ro[7] = {1e-10, 1e-15, 0.0, 1.0, 1e-10, 1e-7, 1e-7};
        std::copy(std::begin(io), std::end(io), iopt.begin());
        std::copy(std::begin(ro), std::end(ro), ropt.begin());
    }

    void Call() { FUNEQ1(iflag, n, x, f, step, diagx, diagf, b, ldb, w, ipvt, iopt, ropt); }

    std::span<double> xold() { return std::span<double>(w).subspan(0, static_cast<std::size_t>(n)); }
    std::span<double> fold() {
        return std::span<double>(w).subspan(static_cast<std::size_t>(n), static_cast<std::size_t>(n));
    }

    std::int64_t n;
    std::int64_t ldb;
    std::int64_t iflag = 0;
    std::vector<double> x, f, step, diagx, diagf, b, w, ropt;
    std::vector<std::int64_t> ipvt, iopt;
};

struct Outcome {
    std::int64_t iflag = 0;
    int evaluations = 0;
    int jacobian_requests = 0;
};

// Starts a solve at x0 (F evaluated there unless `evaluate_start` is false,
// in which case F(1) = 1e30 asks the solver to request it) and answers the
// solver's requests until it returns a status >= 0.
Outcome Drive(Problem& p, std::vector<double> x0, const Residual& fn, bool evaluate_start = true,
              const Jacobian& jac = {}, int max_calls = 100000) {
    Outcome out;
    p.x = std::move(x0);
    if (evaluate_start)
        fn(p.x, p.f);
    else
        p.f[0] = 1e30;
    p.iflag = 0;
    for (int call = 0; call < max_calls; ++call) {
        p.Call();
        if (p.iflag == -1) {
            fn(p.x, p.f);
            ++out.evaluations;
        } else if (p.iflag == -2) {
            jac(p.x, p.b, p.ldb);
            ++out.jacobian_requests;
        } else {
            break;
        }
    }
    out.iflag = p.iflag;
    return out;
}

void Rosenbrock(std::span<const double> x, std::span<double> f) {
    f[0] = 10.0 * (x[1] - x[0] * x[0]);
    f[1] = 1.0 - x[0];
}

void PowellBadlyScaled(std::span<const double> x, std::span<double> f) {
    f[0] = 1e4 * x[0] * x[1] - 1.0;
    f[1] = std::exp(-x[0]) + std::exp(-x[1]) - 1.0001;
}

void FreudensteinRoth(std::span<const double> x, std::span<double> f) {
    f[0] = -13.0 + x[0] + ((5.0 - x[1]) * x[1] - 2.0) * x[1];
    f[1] = -29.0 + x[0] + ((x[1] + 1.0) * x[1] - 14.0) * x[1];
}

void Linear2(std::span<const double> x, std::span<double> f) {
    f[0] = 2.0 * x[0] + x[1] - 3.0;
    f[1] = x[0] - x[1];
}

bool IsFailure(std::int64_t iflag) { return iflag >= 3; }

// ---------------------------------------------------------------------------
TEST(FuneqSolve, OneDimensionalSquareRoot) {
    Problem p(1);
    const Outcome o = Drive(p, {1.0}, [](std::span<const double> x, std::span<double> f) {
        f[0] = x[0] * x[0] - 2.0;
    });
    EXPECT_EQ(o.iflag, 1);
    EXPECT_NEAR(p.x[0], std::sqrt(2.0), 1e-9);
    EXPECT_DOUBLE_EQ(p.diagx[0], 1.0);
    EXPECT_DOUBLE_EQ(p.diagf[0], 1.0);
    EXPECT_EQ(p.step[0], 0.0);
    EXPECT_GE(p.iopt[16], 1);
    EXPECT_GE(p.iopt[17], 1);
    EXPECT_LT(p.ropt[10], 1e-5);
}

TEST(FuneqSolve, RosenbrockSystemReachesOneOne) {
    Problem p(2);
    const Outcome o = Drive(p, {-1.2, 1.0}, Rosenbrock);
    EXPECT_EQ(o.iflag, 1);
    EXPECT_NEAR(p.x[0], 1.0, 1e-7);
    EXPECT_NEAR(p.x[1], 1.0, 1e-6);
    // The returned residuals belong to the returned point.
    std::vector<double> f(2);
    Rosenbrock(p.x, f);
    EXPECT_EQ(f, p.f);
    for (double s : p.step) EXPECT_EQ(s, 0.0);
}

TEST(FuneqSolve, PowellBadlyScaledFunction) {
    Problem p(2);
    p.iopt[5] = 500;
    p.iopt[6] = 100;
    const Outcome o = Drive(p, {0.0, 1.0}, PowellBadlyScaled);
    ASSERT_TRUE(o.iflag == 1 || o.iflag == 2) << o.iflag;
    EXPECT_NEAR(p.x[0], 1.098159e-5, 1e-9);
    EXPECT_NEAR(p.x[1], 9.106146, 1e-4);
}

TEST(FuneqSolve, FreudensteinRothStallsAtLocalMinimum) {
    Problem p(2);
    const Outcome o = Drive(p, {0.5, -2.0}, FreudensteinRoth);
    // No root near the local minimum (11.41, -0.8968) of |F|; the solver
    // must give up with one of its failure codes and return its best point.
    EXPECT_TRUE(IsFailure(o.iflag)) << o.iflag;
    EXPECT_EQ(o.iflag, 4);
    EXPECT_NEAR(p.x[0], 11.41, 1.0);
    EXPECT_NEAR(p.x[1], -0.8968, 0.05);
    std::vector<double> f(2);
    FreudensteinRoth(p.x, f);
    // |F| at the local minimum is about 6.999.
    EXPECT_GT(std::hypot(f[0], f[1]), 6.99);
    EXPECT_LT(std::hypot(f[0], f[1]), 7.1);
    // Best point is the base point: X = XOLD and F = FOLD after a failure.
    EXPECT_EQ(std::vector<double>(p.xold().begin(), p.xold().end()), p.x);
    EXPECT_EQ(std::vector<double>(p.fold().begin(), p.fold().end()), p.f);
    const double phi = std::hypot(p.f[0] / p.diagf[0], p.f[1] / p.diagf[1]);
    EXPECT_NEAR(p.ropt[10], phi, 1e-12 * phi);
}

TEST(FuneqSolve, CallerSuppliedJacobian) {
    Problem p(2);
    p.iopt[9] = 1;
    const Outcome o = Drive(p, {-1.2, 1.0}, Rosenbrock, true,
                            [](std::span<const double> x, std::span<double> b, std::int64_t ldb) {
                                const auto l = static_cast<std::size_t>(ldb);
                                b[0 + 0 * l] = -20.0 * x[0];  // dF1/dX1
                                b[1 + 0 * l] = 10.0;          // dF1/dX2
                                b[0 + 1 * l] = -1.0;          // dF2/dX1
                                b[1 + 1 * l] = 0.0;           // dF2/dX2
                            });
    EXPECT_EQ(o.iflag, 1);
    EXPECT_GE(o.jacobian_requests, 1);
    EXPECT_NEAR(p.x[0], 1.0, 1e-7);
    EXPECT_NEAR(p.x[1], 1.0, 1e-6);
}

TEST(FuneqSolve, StartAskedForWhenFUndefinedMark) {
    Problem p(2);
    p.x = {-1.2, 1.0};
    p.f[0] = 1e30;
    p.iflag = 0;
    p.Call();
    EXPECT_EQ(p.iflag, -1);
    EXPECT_EQ(p.iopt[15], 1);
    EXPECT_EQ(p.x[0], -1.2);
    const Outcome o = Drive(p, {-1.2, 1.0}, Rosenbrock, false);
    EXPECT_EQ(o.iflag, 1);
}

TEST(FuneqSolve, UndefinedAtStartGivesEight) {
    Problem p(2);
    const Outcome o = Drive(p, {0.3, 0.4},
                            [](std::span<const double>, std::span<double> f) {
                                f[0] = 1e30;
                                f[1] = 0.0;
                            },
                            false);
    EXPECT_EQ(o.iflag, 8);
    EXPECT_EQ(o.evaluations, 1);
    EXPECT_EQ(p.x[0], 0.3);  // no base point: X stays
    EXPECT_EQ(p.f[0], 1e30);
}

TEST(FuneqSolve, ZeroResidualAtStartStillCostsAJacobian) {
    Problem p(2);
    const Outcome o = Drive(p, {1.0, 1.0}, Linear2);
    EXPECT_EQ(o.iflag, 1);
    EXPECT_EQ(o.evaluations, 2);  // one per forward-difference column
    EXPECT_EQ(p.iopt[16], 0);
    EXPECT_EQ(p.iopt[17], 1);
    EXPECT_EQ(p.ropt[10], 0.0);
    EXPECT_EQ(p.x, (std::vector<double>{1.0, 1.0}));
}

TEST(FuneqSolve, ZeroResidualWithIdleVariableStillFails) {
    Problem p(2);
    const Outcome o = Drive(p, {1.0, 1.0}, [](std::span<const double> x, std::span<double> f) {
        f[0] = x[0] - 1.0;
        f[1] = 2.0 * (x[0] - 1.0);
    });
    EXPECT_EQ(o.iflag, 212);
}

TEST(FuneqSolve, ResidualIndependentOfVariablesGives211) {
    Problem p(3);
    const Outcome o = Drive(p, {0.2, 0.3, 0.4}, [](std::span<const double> x, std::span<double> f) {
        f[0] = x[0] + x[1];
        f[1] = 5.0;
        f[2] = x[1] - x[2];
    });
    EXPECT_EQ(o.iflag, 211);
    EXPECT_EQ(p.x, (std::vector<double>{0.2, 0.3, 0.4}));
}

TEST(FuneqSolve, SingularJacobianGivesSeven) {
    Problem p(2);
    p.ropt[2] = 1e-6;
    const Outcome o = Drive(p, {0.5, 0.5}, [](std::span<const double> x, std::span<double> f) {
        f[0] = x[0] + x[1] - 3.0;
        f[1] = 2.0 * (x[0] + x[1]) - 1.0;
    });
    EXPECT_EQ(o.iflag, 7);
    EXPECT_EQ(p.ipvt[1], 0);
}

TEST(FuneqSolve, TrialPointUndefinedQuartersTheBound) {
    Problem p(2);
    std::vector<double> base;
    int trial = 0;
    std::vector<double> first_trial, second_trial;
    const Outcome o = Drive(p, {-1.2, 1.0}, [&](std::span<const double> x, std::span<double> f) {
        Rosenbrock(x, f);
        if (p.iopt[15] == 4) {
            ++trial;
            if (trial == 1) {
                first_trial.assign(x.begin(), x.end());
                base.assign(p.xold().begin(), p.xold().end());
                f[0] = 1e31;
            } else if (trial == 2) {
                second_trial.assign(x.begin(), x.end());
                // The base point did not move and the iteration counted.
                EXPECT_EQ(std::vector<double>(p.xold().begin(), p.xold().end()), base);
                EXPECT_EQ(p.iopt[16], 2);
            }
        }
    });
    EXPECT_EQ(o.iflag, 1);
    ASSERT_EQ(first_trial.size(), 2u);
    ASSERT_EQ(second_trial.size(), 2u);
    const double d1 = std::hypot(first_trial[0] - base[0], (first_trial[1] - base[1]) / 1.0);
    const double d2 = std::hypot(second_trial[0] - base[0], (second_trial[1] - base[1]) / 1.0);
    EXPECT_LE(d2, 0.25 * d1 * (1 + 1e-12));
}

TEST(FuneqSolve, CallerMayMoveTheTrialPoint) {
    // The caller projects every requested point onto x1 + x2 = 2; the solver
    // works from the point it finds.
    Problem p(2);
    const Outcome o = Drive(p, {0.5, 1.5}, [](std::span<const double> x, std::span<double> f) {
        f[0] = x[0] * x[0] - 1.0;
        f[1] = x[0] + x[1] - 2.0;
    });
    EXPECT_EQ(o.iflag, 1);
    EXPECT_NEAR(p.x[0], 1.0, 1e-7);
    EXPECT_NEAR(p.x[1], 1.0, 1e-7);
}

// ---------------------------------------------------------------------------
TEST(FuneqNonNegative, VariablesNeverRequestedBelowZero) {
    // sqrt(x) - 0.1: the Newton step from 1 lands at -0.8.
    Problem p(1);
    p.iopt[7] = 1;
    p.ropt[3] = 10.0;
    double lowest = std::numeric_limits<double>::infinity();
    const Outcome o = Drive(p, {1.0}, [&](std::span<const double> x, std::span<double> f) {
        lowest = std::min(lowest, x[0]);
        f[0] = std::sqrt(x[0]) - 0.1;
    });
    EXPECT_EQ(o.iflag, 1);
    EXPECT_GE(lowest, 0.0);
    EXPECT_NEAR(p.x[0], 0.01, 1e-6);
}

TEST(FuneqNonNegative, TwoVariablesStayNonNegative) {
    Problem p(3);
    // Azeotrope-style options: caller's DIAGX, automatic DIAGF, dogleg.
    const std::int64_t io[10] = {1, 2, 2, 0, 0, 70, 10, 1, 0, 2};
    std::copy(std::begin(io), std::end(io), p.iopt.begin());
    const double ro[7] = {0.001, 1e-8, 1e-6, 0.2, 0.1, 0.05, 0.05};
    std::copy(std::begin(ro), std::end(ro), p.ropt.begin());
    double lowest = std::numeric_limits<double>::infinity();
    const Outcome o = Drive(p, {0.6, 0.3, 0.1}, [&](std::span<const double> x, std::span<double> f) {
        for (double v : x) lowest = std::min(lowest, v);
        f[0] = std::sqrt(std::max(x[0], 0.0)) - 0.05;
        f[1] = x[1] - 2.0 * x[0];
        f[2] = x[0] + x[1] + x[2] - 1.0;
    });
    EXPECT_TRUE(o.iflag == 1 || o.iflag == 2) << o.iflag;
    EXPECT_GE(lowest, 0.0);
    EXPECT_NEAR(p.x[0], 0.0025, 2e-4);
}

TEST(FuneqNonNegative, NegativeStartIsReflectedAndEvaluatedAgain) {
    Problem p(2);
    p.iopt[7] = 1;
    p.x = {-0.5, 2.0};
    Linear2(p.x, p.f);  // F supplied, but at a point with a negative entry
    p.iflag = 0;
    p.Call();
    EXPECT_EQ(p.iflag, -1);
    EXPECT_EQ(p.x, (std::vector<double>{0.5, 2.0}));
    EXPECT_EQ(p.iopt[15], 1);
}

TEST(FuneqNonNegative, ShrinkRuleForVariablesThatWouldTurnNegative) {
    // F = x + 1 has its root at -1; from 1 every step would cross zero, so
    // each trial divides the variable by 4 at most.
    Problem p(1);
    p.iopt[7] = 1;
    p.ropt[3] = 10.0;
    std::vector<double> trials;
    Drive(p, {1.0}, [&](std::span<const double> x, std::span<double> f) {
        if (p.iopt[15] == 4) trials.push_back(x[0]);
        f[0] = x[0] + 1.0;
    });
    ASSERT_FALSE(trials.empty());
    EXPECT_NEAR(trials[0], 0.25, 1e-8);
    for (double t : trials) EXPECT_GE(t, 0.0);
    EXPECT_GE(p.iflag, 2);
}

// ---------------------------------------------------------------------------
TEST(FuneqOptions, InvalidOptionsAreReplacedInPlace) {
    Problem p(2);
    const std::int64_t io[10] = {5, 7, 0, 11, 6, 0, 1000, 3, 2, 0};
    std::copy(std::begin(io), std::end(io), p.iopt.begin());
    const double ro[7] = {0.0, 0.01, 2e30, 1e-5, -1.0, 2e30, 2e30};
    std::copy(std::begin(ro), std::end(ro), p.ropt.begin());
    DiagnosticChannel::ScopedBinding quiet(0, DiagnosticChannel::null_sink);
    p.x = {1.0, 2.0};
    p.f[0] = 1e30;
    p.iflag = 0;
    p.Call();
    EXPECT_EQ(p.iflag, -1);
    const std::vector<std::int64_t> expected_i = {0, 2, 2, 3, 0, 50, 5, 0, 0, 2};
    EXPECT_EQ(std::vector<std::int64_t>(p.iopt.begin(), p.iopt.begin() + 10), expected_i);
    const double eps = 2.220446049250313e-16;
    EXPECT_EQ(p.ropt[0], 1e-4);
    EXPECT_EQ(p.ropt[1], eps);
    EXPECT_EQ(p.ropt[2], 0.0);
    EXPECT_EQ(p.ropt[3], 1.0);
    EXPECT_EQ(p.ropt[4], 1e-4);
    EXPECT_DOUBLE_EQ(p.ropt[5], 10.0 * std::sqrt(eps));
    EXPECT_DOUBLE_EQ(p.ropt[6], std::sqrt(eps));
}

TEST(FuneqOptions, ToleranceIsKeptBetweenPrecisionAndOneTenth) {
    Problem p(1);
    p.ropt[0] = 0.3;
    p.f[0] = 1e30;
    p.Call();
    EXPECT_EQ(p.ropt[0], 0.1);

    Problem q(1);
    q.ropt[0] = 1e-20;
    q.ropt[1] = 1e-8;
    q.ropt[4] = 0.0;  // invalid: replaced by the validated tolerance
    q.f[0] = 1e30;
    q.Call();
    EXPECT_EQ(q.ropt[0], 1e-8);
    EXPECT_EQ(q.ropt[4], 1e-8);
}

TEST(FuneqOptions, AcceptedValuesStay) {
    Problem p(2);
    const std::int64_t io[10] = {1, 1, 1, -4, 99, 999, 999, 1, 0, 1};
    std::copy(std::begin(io), std::end(io), p.iopt.begin());
    const double ro[7] = {0.5 * 0.1, 0.001, -5.0, 1e30, 1e30, -1.0, 0.0};
    std::copy(std::begin(ro), std::end(ro), p.ropt.begin());
    p.f[0] = 1e30;
    p.Call();
    EXPECT_EQ(std::vector<std::int64_t>(p.iopt.begin(), p.iopt.begin() + 10),
              std::vector<std::int64_t>(std::begin(io), std::end(io)));
    EXPECT_EQ(p.ropt[0], 0.05);
    EXPECT_EQ(p.ropt[2], -5.0);
    EXPECT_EQ(p.ropt[5], -1.0);
    EXPECT_EQ(p.ropt[6], 0.0);
}

TEST(FuneqOptions, ScalesAreResetUnlessCallerScalesChosen) {
    Problem p(2);
    p.iopt[0] = 1;
    p.iopt[1] = 0;
    p.diagx = {0.0, 3.0};
    p.diagf = {5.0, 7.0};
    p.f[0] = 1e30;
    p.Call();
    EXPECT_EQ(p.diagx, (std::vector<double>{1.0, 3.0}));
    EXPECT_EQ(p.diagf, (std::vector<double>{1.0, 1.0}));
}

// ---------------------------------------------------------------------------
TEST(FuneqArguments, BadSizesGiveNineAndTouchNothing) {
    std::ostringstream log;
    DiagnosticChannel::ScopedBinding bind(0, log);
    Problem p(3, 2);  // N = LDB + 1
    p.iopt[3] = 3;
    p.x = {1.0, 2.0, 3.0};
    const Problem before = p;
    p.Call();
    EXPECT_EQ(p.iflag, 9);
    EXPECT_EQ(p.x, before.x);
    EXPECT_EQ(p.f, before.f);
    EXPECT_EQ(p.w, before.w);
    EXPECT_EQ(p.iopt, before.iopt);
    EXPECT_EQ(p.ropt, before.ropt);
    EXPECT_EQ(log.str(), "\n *** ERROR FROM FUNEQ1: INVALID PARAMETER ***     N =   3  LDB =    2\n");

    Problem zero(1);
    zero.n = 0;
    zero.iopt[3] = 0;  // print level 0: no message
    log.str("");
    zero.Call();
    EXPECT_EQ(zero.iflag, 9);
    EXPECT_EQ(log.str(), "");

    Problem small(3);
    small.w.resize(8);  // needs 3N = 9
    small.Call();
    EXPECT_EQ(small.iflag, 9);

    Problem shortopt(2);
    shortopt.ropt.resize(20);
    shortopt.Call();
    EXPECT_EQ(shortopt.iflag, 9);
}

TEST(FuneqArguments, PositiveIflagOnEntryGivesTen) {
    std::ostringstream log0;
    std::ostringstream log7;
    DiagnosticChannel::ScopedBinding bind0(0, log0);
    DiagnosticChannel::ScopedBinding bind7(7, log7);
    Problem p(2);
    p.x = {4.0, 5.0};
    p.iflag = 3;
    const Problem before = p;
    p.Call();
    EXPECT_EQ(p.iflag, 10);
    EXPECT_EQ(p.x, before.x);
    EXPECT_EQ(p.iopt, before.iopt);
    EXPECT_EQ(p.ropt, before.ropt);
    EXPECT_EQ(log0.str(),
              "\n *** EXECUTION TERMINATED IN ROUTINE FUNEQ1 ***\n     BECAUSE IFLAG =   3  ON INPUT\n");
    EXPECT_EQ(log7.str(), "*** Error in funeq1 label 710 ***\n");
}

TEST(FuneqArguments, LargerLeadingDimensionWorks) {
    Problem p(2, 10);
    const Outcome o = Drive(p, {-1.2, 1.0}, Rosenbrock);
    EXPECT_EQ(o.iflag, 1);
    EXPECT_NEAR(p.x[0], 1.0, 1e-7);
}

TEST(FuneqArguments, Funeq2DirectCallStartsNewSolveOnPositiveIflag) {
    Problem p(2);
    p.x = {-1.2, 1.0};
    Rosenbrock(p.x, p.f);
    p.iflag = 5;
    const auto n = static_cast<std::size_t>(p.n);
    std::span<double> w(p.w);
    for (int call = 0; call < 10000; ++call) {
        FUNEQ2(p.iflag, p.n, p.x, p.f, p.diagx, p.diagf, p.ipvt, p.step, w.subspan(2 * n, n),
               w.subspan(0, n), w.subspan(n, n), p.b, p.ldb, p.iopt, p.ropt);
        if (p.iflag != -1) break;
        Rosenbrock(p.x, p.f);
    }
    EXPECT_EQ(p.iflag, 1);
    EXPECT_NEAR(p.x[0], 1.0, 1e-7);

    // Arrays too small for FUNEQ2 are refused instead of overrun.
    std::int64_t flag = 0;
    FUNEQ2(flag, 3, p.x, p.f, p.diagx, p.diagf, p.ipvt, p.step, w.subspan(2 * n, n),
           w.subspan(0, n), w.subspan(n, n), p.b, 3, p.iopt, p.ropt);
    EXPECT_EQ(flag, 9);
}

// ---------------------------------------------------------------------------
TEST(FuneqLimits, IterationLimitGivesSix) {
    Problem p(2);
    p.iopt[5] = 2;
    const Outcome o = Drive(p, {-1.2, 1.0}, Rosenbrock);
    EXPECT_EQ(o.iflag, 6);
    EXPECT_EQ(p.iopt[16], 2);
    // X and F hold the best point found.
    std::vector<double> f(2);
    Rosenbrock(p.x, f);
    EXPECT_EQ(f, p.f);
}

TEST(FuneqLimits, JacobianLimitGivesFive) {
    Problem p(2);
    p.iopt[5] = 500;
    p.iopt[6] = 1;
    const Outcome o = Drive(p, {0.0, 1.0}, PowellBadlyScaled);
    EXPECT_EQ(o.iflag, 5);
    EXPECT_EQ(p.iopt[17], 1);
}

TEST(FuneqLimits, SlowProgressCounterGivesFour) {
    Problem p(2);
    const Outcome o = Drive(p, {0.5, -2.0}, FreudensteinRoth);
    EXPECT_EQ(o.iflag, 4);
    // The solve stops as soon as the counter passes min(n + 4, 10).
    EXPECT_EQ(p.iopt[20], std::min<std::int64_t>(p.n + 4, 10) + 1);
}

TEST(FuneqLimits, CallerRefusingEveryStepGivesThree) {
    // The caller puts every trial point back on the base point (a bound it
    // enforces itself): the step is zero while F is still large.
    Problem p(2);
    std::ostringstream log;
    DiagnosticChannel::ScopedBinding bind(0, log);
    p.iopt[3] = 3;
    const Outcome o = Drive(p, {-1.2, 1.0}, [&](std::span<const double> x, std::span<double> f) {
        if (p.iopt[15] == 4) std::copy(p.xold().begin(), p.xold().end(), p.x.begin());
        Rosenbrock(x, f);
    });
    EXPECT_EQ(o.iflag, 3);
    EXPECT_EQ(p.x, (std::vector<double>{-1.2, 1.0}));
    EXPECT_EQ(log.str().rfind("\n VERY SMALL STEP POSSIBLY DUE TO BOUND CONSTRAINTS\n"
                              " ERROR RETURN FROM NONLINEAR EQUATION SOLVER FUNEQ2/FUNEQ1\n",
                              0),
              0u)
        << log.str();
}

TEST(FuneqLimits, ConvergedStepWithResidualTooBigGivesTwo) {
    // Unscaled residual 1e13 (x - 1/3) with a jump of +-1e-3 at the root:
    // |F| never falls below sqrt(tolerance) = 1e-5 while the Newton steps
    // vanish.
    Problem p(1);
    p.iopt[1] = 0;
    std::ostringstream log;
    DiagnosticChannel::ScopedBinding bind(0, log);
    p.iopt[3] = 3;
    const Outcome o = Drive(p, {0.5}, [](std::span<const double> x, std::span<double> f) {
        f[0] = 1e13 * (x[0] - 1.0 / 3.0) + (x[0] >= 1.0 / 3.0 ? 1e-3 : -1e-3);
    });
    EXPECT_EQ(o.iflag, 2);
    EXPECT_NEAR(p.x[0], 1.0 / 3.0, 1e-15);
    EXPECT_GT(p.ropt[10], 1e-5);
    EXPECT_NE(log.str().find(" BUT FUNCTION IS STILL TOO BIG -- SOLUTION MAY BE INCORRECT\n"),
              std::string::npos)
        << log.str();
}

// ---------------------------------------------------------------------------
TEST(FuneqJacobianColumns, ClampedPerturbationFailsAfterOneReversal) {
    Problem p(2);
    int evaluations = 0;
    const Outcome o = Drive(p, {0.3, 0.4}, [&](std::span<const double> x, std::span<double> f) {
        ++evaluations;
        Linear2(x, f);
    });
    EXPECT_EQ(o.iflag, 1);

    Problem q(2);
    int perturbed = 0;
    const Outcome r = Drive(q, {0.3, 0.4}, [&](std::span<const double> x, std::span<double> f) {
        // Undo any change of x1 away from 0.3 (as a projecting caller might).
        auto& xs = q.x;
        if (q.iopt[15] == 2 && std::abs(q.iopt[22]) == 1) {
            xs[0] = 0.3;
            ++perturbed;
        }
        Linear2(x, f);
    });
    EXPECT_EQ(r.iflag, 110);
    EXPECT_EQ(perturbed, 2);  // first try and the reversed one
    EXPECT_EQ(q.x, (std::vector<double>{0.3, 0.4}));
}

TEST(FuneqJacobianColumns, SmallMoveIsReversedOnceThenAccepted) {
    Problem p(2);
    std::vector<double> increments;
    const Outcome o = Drive(p, {0.3, 0.4}, [&](std::span<const double> x, std::span<double> f) {
        if (p.iopt[15] == 2 && std::abs(p.iopt[22]) == 1) {
            const double h = p.x[0] - 0.3;
            increments.push_back(h);
            p.x[0] = 0.3 + 0.005 * h;  // between 1e-4 and 1e-2 of h
        }
        Linear2(x, f);
    });
    EXPECT_EQ(o.iflag, 1);
    ASSERT_EQ(increments.size(), 2u);
    EXPECT_DOUBLE_EQ(increments[1], -increments[0]);
    EXPECT_NEAR(p.x[0], 1.0, 1e-9);
    EXPECT_NEAR(p.x[1], 1.0, 1e-9);
}

TEST(FuneqJacobianColumns, IncrementNeverCrossesOne) {
    Problem p(1);
    p.ropt[5] = 0.05;
    p.ropt[6] = 0.05;
    std::vector<double> requested;
    Drive(p, {0.9999}, [&](std::span<const double> x, std::span<double> f) {
        if (p.iopt[15] == 2) requested.push_back(x[0]);
        f[0] = x[0] - 0.5;
    });
    ASSERT_FALSE(requested.empty());
    EXPECT_DOUBLE_EQ(requested[0], 0.9999 - 0.05);
}

// ---------------------------------------------------------------------------
TEST(FuneqState, InterleavedSolvesMatchSequentialSolves) {
    Problem a1(2), b1(3);
    auto three = [](std::span<const double> x, std::span<double> f) {
        f[0] = x[0] * x[0] + x[1] * x[1] + x[2] * x[2] - 3.0;
        f[1] = x[0] - x[1];
        f[2] = x[1] * x[2] - 1.0;
    };
    const Outcome oa = Drive(a1, {-1.2, 1.0}, Rosenbrock);
    const Outcome ob = Drive(b1, {2.0, 0.5, 1.5}, three);

    Problem a2(2), b2(3);
    a2.x = {-1.2, 1.0};
    Rosenbrock(a2.x, a2.f);
    b2.x = {2.0, 0.5, 1.5};
    three(b2.x, b2.f);
    bool a_done = false, b_done = false;
    for (int step = 0; step < 100000 && !(a_done && b_done); ++step) {
        if (!a_done) {
            a2.Call();
            if (a2.iflag == -1) Rosenbrock(a2.x, a2.f);
            else a_done = true;
        }
        if (!b_done) {
            b2.Call();
            if (b2.iflag == -1) three(b2.x, b2.f);
            else b_done = true;
        }
    }
    EXPECT_EQ(oa.iflag, 1);
    EXPECT_EQ(ob.iflag, 1);
    EXPECT_EQ(a2.iflag, oa.iflag);
    EXPECT_EQ(b2.iflag, ob.iflag);
    EXPECT_EQ(a2.x, a1.x);
    EXPECT_EQ(b2.x, b1.x);
    EXPECT_EQ(a2.iopt, a1.iopt);
    EXPECT_EQ(b2.ropt, b1.ropt);
    EXPECT_EQ(b2.b, b1.b);
}

TEST(FuneqState, ReusedJacobianSavesEvaluations) {
    Problem p(2);
    const Outcome first = Drive(p, {-1.2, 1.0}, Rosenbrock);
    ASSERT_EQ(first.iflag, 1);
    p.iopt[8] = 1;
    p.iopt[3] = 7;
    std::ostringstream log;
    DiagnosticChannel::ScopedBinding bind(0, log);
    int fd_requests = 0;
    const Outcome second = Drive(p, {1.01, 1.02}, [&](std::span<const double> x, std::span<double> f) {
        if (p.iopt[15] == 2) ++fd_requests;
        Rosenbrock(x, f);
    });
    EXPECT_EQ(second.iflag, 1);
    EXPECT_NEAR(p.x[0], 1.0, 1e-7);
    const std::int64_t njac = p.iopt[17];
    EXPECT_EQ(fd_requests, 2 * static_cast<int>(njac - 1));
    char expected[128];
    std::snprintf(expected, sizeof expected, "%3lld JACOBIAN EVALUATIONS",
                  static_cast<long long>(njac - 1));
    EXPECT_NE(log.str().find(expected), std::string::npos) << log.str();
}

TEST(FuneqState, ReuseWithoutUsableFactorsFallsBack) {
    Problem p(2);
    p.iopt[8] = 1;
    p.ipvt = {7, 3};  // nothing sensible left behind
    const Outcome o = Drive(p, {-1.2, 1.0}, Rosenbrock);
    EXPECT_EQ(o.iflag, 1);
    EXPECT_EQ(p.iopt[8], 0);
}

// ---------------------------------------------------------------------------
TEST(FuneqDiagnostics, FailureAtPrintLevelThreeWritesMessageAndFinalLine) {
    std::ostringstream log;
    DiagnosticChannel::ScopedBinding bind(0, log);
    Problem p(2);
    p.iopt[3] = 3;
    p.iopt[5] = 1;
    const Outcome o = Drive(p, {-1.2, 1.0}, Rosenbrock);
    ASSERT_EQ(o.iflag, 6);
    const std::string text = log.str();
    const std::string head =
        "\n SUBROUTINE FUNEQ2 DID NOT FIND A SOLUTION IN   1 ITERATIONS\n"
        " ERROR RETURN FROM NONLINEAR EQUATION SOLVER FUNEQ2/FUNEQ1\n"
        "\n AT ITERATION NO.    1  2-NORM OF F/DIAGF =";
    EXPECT_EQ(text.rfind(head, 0), 0u) << text;
    char norm[32];
    std::snprintf(norm, sizeof norm, "%15.8E\n", p.ropt[10]);
    char xs[64];
    std::snprintf(xs, sizeof xs, " X =\n%15.7E%15.7E\n", p.x[0], p.x[1]);
    char fs[64];
    std::snprintf(fs, sizeof fs, " F =\n%15.7E%15.7E\n", p.f[0], p.f[1]);
    EXPECT_EQ(text, head + norm + xs + fs);
}

TEST(FuneqDiagnostics, SuccessMessageAtPrintLevelSeven) {
    std::ostringstream log;
    DiagnosticChannel::ScopedBinding bind(0, log);
    Problem p(2);
    p.iopt[3] = 7;
    const Outcome o = Drive(p, {-1.2, 1.0}, Rosenbrock);
    ASSERT_EQ(o.iflag, 1);
    char expected[128];
    std::snprintf(expected, sizeof expected,
                  "\n FUNEQ2 FOUND A SOLUTION AFTER%4lld ITERATIONS AND%3lld JACOBIAN EVALUATIONS\n",
                  static_cast<long long>(p.iopt[16]), static_cast<long long>(p.iopt[17]));
    EXPECT_NE(log.str().find(expected), std::string::npos) << log.str();
    EXPECT_NE(log.str().find("*** JACOBIAN EVALUATION NO.  1 ***"), std::string::npos);
    EXPECT_NE(log.str().find(" AT ITERATION NO.    1  2-NORM OF F/DIAGF ="), std::string::npos);
    EXPECT_EQ(log.str().find(" DIAGX"), std::string::npos);  // needs print level 8
}

TEST(FuneqDiagnostics, ScaleListsAtPrintLevelEight) {
    std::ostringstream log;
    DiagnosticChannel::ScopedBinding bind(0, log);
    Problem p(2);
    p.iopt[3] = 8;
    Drive(p, {-1.2, 1.0}, Rosenbrock);
    EXPECT_NE(log.str().find(" DIAGX\n"), std::string::npos);
    EXPECT_NE(log.str().find(" DIAGF\n"), std::string::npos);
}

TEST(FuneqDiagnostics, QuietBelowThreeAndOtherUnits) {
    std::ostringstream log0, log12;
    DiagnosticChannel::ScopedBinding bind0(0, log0);
    DiagnosticChannel::ScopedBinding bind12(12, log12);
    Problem p(2);
    p.iopt[3] = 2;
    p.iopt[5] = 1;
    Drive(p, {-1.2, 1.0}, Rosenbrock);
    EXPECT_EQ(log0.str(), "");

    Problem q(2);
    q.iopt[3] = 3;
    q.iopt[4] = 12;
    q.iopt[5] = 1;
    Drive(q, {-1.2, 1.0}, Rosenbrock);
    EXPECT_EQ(log0.str(), "");
    EXPECT_NE(log12.str().find("DID NOT FIND A SOLUTION"), std::string::npos);
}

TEST(FuneqDiagnostics, NullSinkSwallowsEverything) {
    std::ostringstream log;
    DiagnosticChannel::ScopedBinding outer(0, log);
    {
        DiagnosticChannel::ScopedBinding quiet(0, DiagnosticChannel::null_sink);
        Problem p(2);
        p.iopt[3] = 10;
        p.iopt[5] = 1;
        Drive(p, {-1.2, 1.0}, Rosenbrock);
        Problem bad(2);
        bad.iflag = 4;
        bad.Call();  // also unit 7 falls back to unit 0: null
        EXPECT_EQ(bad.iflag, 10);
    }
    EXPECT_EQ(log.str(), "");
    Problem p(2);
    p.iopt[3] = 3;
    p.iopt[5] = 1;
    Drive(p, {-1.2, 1.0}, Rosenbrock);
    EXPECT_FALSE(log.str().empty());  // binding restored
}

TEST(FuneqDiagnostics, RegistryBindAndRestore) {
    std::ostringstream a, b;
    EXPECT_EQ(&DiagnosticChannel::Stream(42), &DiagnosticChannel::Stream(0));
    {
        DiagnosticChannel::ScopedBinding ga(42, a);
        EXPECT_EQ(&DiagnosticChannel::Stream(42), &a);
        {
            DiagnosticChannel::ScopedBinding gb(42, b);
            EXPECT_EQ(&DiagnosticChannel::Stream(42), &b);
        }
        EXPECT_EQ(&DiagnosticChannel::Stream(42), &a);
        DiagnosticChannel::Stream(42) << "x";
    }
    EXPECT_EQ(&DiagnosticChannel::Stream(42), &DiagnosticChannel::Stream(0));
    EXPECT_EQ(a.str(), "x");
    EXPECT_EQ(b.str(), "");
    std::ostream* prev = DiagnosticChannel::BindNull(43);
    EXPECT_EQ(prev, nullptr);
    EXPECT_EQ(&DiagnosticChannel::Stream(43), &DiagnosticChannel::Null());
    EXPECT_EQ(DiagnosticChannel::Bind(43, nullptr), &DiagnosticChannel::Null());
}

// ---------------------------------------------------------------------------
TEST(FuneqBlocks, ScaledNorm) {
    const std::vector<double> v = {3.0, 4.0};
    EXPECT_DOUBLE_EQ(fq::ScaledNorm(2, v), 5.0);
    const std::vector<double> big = {1e200, 1e200};
    EXPECT_DOUBLE_EQ(fq::ScaledNorm(2, big), std::sqrt(2.0) * 1e200);
    const std::vector<double> tiny = {1e-200, -1e-200};
    EXPECT_DOUBLE_EQ(fq::ScaledNorm(2, tiny), std::sqrt(2.0) * 1e-200);
    const std::vector<double> zero = {0.0, 0.0, 0.0};
    EXPECT_EQ(fq::ScaledNorm(3, zero), 0.0);
    EXPECT_EQ(fq::ScaledNorm(0, v), 0.0);
    const std::vector<double> negligible = {1.0, 1e-17};
    EXPECT_EQ(fq::ScaledNorm(2, negligible), 1.0);
    EXPECT_DOUBLE_EQ(fq::ScaledNorm(1, v), 3.0);  // only the first n entries
}

TEST(FuneqBlocks, ForwardDifferenceIncrement) {
    EXPECT_DOUBLE_EQ(fq::ForwardDifferenceIncrement(0.9999, 0.05, 0.05, false), -0.05);
    EXPECT_DOUBLE_EQ(fq::ForwardDifferenceIncrement(0.2, 0.05, 0.05, false), 0.05);
    EXPECT_DOUBLE_EQ(fq::ForwardDifferenceIncrement(10.0, 0.05, 0.05, false), 0.5);
    // reversed at 1, then reversed again to stay above 0
    EXPECT_DOUBLE_EQ(fq::ForwardDifferenceIncrement(0.02, 0.05, 1.0, false), 1.0);
    // below zero with the sign condition the increment points away from 0
    EXPECT_DOUBLE_EQ(fq::ForwardDifferenceIncrement(-0.5, 0.05, 0.05, true), -0.05);
    EXPECT_DOUBLE_EQ(fq::ForwardDifferenceIncrement(-0.5, 0.05, 0.05, false), 0.05);
    // the absolute increment may be negative; max() then picks the relative one
    EXPECT_DOUBLE_EQ(fq::ForwardDifferenceIncrement(-0.5, 0.05, -0.1, false), 0.025);
}

TEST(FuneqBlocks, ZeroGradientTests) {
    // b[j + i*3] = dF_i/dX_j
    auto make = [](std::vector<double> jac_rows) {  // given as J(i, j) row-major
        std::vector<double> b(9);
        for (std::size_t i = 0; i < 3; ++i)
            for (std::size_t j = 0; j < 3; ++j) b[j + i * 3] = jac_rows[i * 3 + j];
        return b;
    };
    EXPECT_EQ(fq::ZeroGradientTest(3, make({1, 2, 0, 0, 0, 0, 1, 1, 0}), 3), 211);
    EXPECT_EQ(fq::ZeroGradientTest(3, make({1, 2, 0, 3, 1, 0, 1, 1, 0}), 3), 312);
    // residual 3 free and variable 2 idle: the smaller index wins
    EXPECT_EQ(fq::ZeroGradientTest(3, make({1, 0, 1, 3, 0, 1, 0, 0, 0}), 3), 212);
    // residual 2 free and variable 2 idle: the residual test comes first
    EXPECT_EQ(fq::ZeroGradientTest(3, make({1, 0, 1, 0, 0, 0, 1, 0, 2}), 3), 211);
    EXPECT_EQ(fq::ZeroGradientTest(3, make({1, 2, 3, 4, 5, 6, 7, 8, 10}), 3), 0);
}

TEST(FuneqBlocks, AutomaticScaling) {
    // J = [[2, -8], [0.5, 0.25]] stored transposed: b[j + i*2]
    std::vector<double> b = {2.0, -8.0, 0.5, 0.25};
    std::vector<double> dx = {1.0, 1.0}, df = {1.0, 1.0};
    fq::ScaleJacobian(2, 2, 2, dx, df, b, 2);
    // residual scales: 8 and 0.5; scaled J = [[0.25, -1], [1, 0.5]];
    // variable scales: 1/1 and 1/1
    EXPECT_DOUBLE_EQ(df[0], 8.0);
    EXPECT_DOUBLE_EQ(df[1], 0.5);
    EXPECT_DOUBLE_EQ(dx[0], 1.0);
    EXPECT_DOUBLE_EQ(dx[1], 1.0);
    EXPECT_DOUBLE_EQ(b[0], 0.25);
    EXPECT_DOUBLE_EQ(b[1], -1.0);
    EXPECT_DOUBLE_EQ(b[2], 1.0);
    EXPECT_DOUBLE_EQ(b[3], 0.5);

    // Caller's variable scales, automatic residual scales, tiny residual floor.
    std::vector<double> c = {1e-10, 2e-10, 4.0, 1.0};
    std::vector<double> ex = {2.0, 0.5}, ef = {1.0, 1.0};
    fq::ScaleJacobian(2, 1, 2, ex, ef, c, 2);
    EXPECT_DOUBLE_EQ(ef[0], 1e-8);
    EXPECT_DOUBLE_EQ(ef[1], 8.0);
    EXPECT_DOUBLE_EQ(c[0], 2e-10 / 1e-8);
    EXPECT_DOUBLE_EQ(c[1], 1e-10 / 1e-8);
    EXPECT_DOUBLE_EQ(c[2], 1.0);
    EXPECT_DOUBLE_EQ(c[3], 0.0625);

    // N = 1: both scales 1, nothing scaled.
    std::vector<double> one = {7.0};
    std::vector<double> sx = {3.0}, sf = {4.0};
    fq::ScaleJacobian(1, 1, 1, sx, sf, one, 1);
    EXPECT_EQ(sx[0], 1.0);
    EXPECT_EQ(sf[0], 1.0);
    EXPECT_EQ(one[0], 7.0);
}

TEST(FuneqBlocks, FactorPivotingAndSingularity) {
    // J = [[1, 2], [3, 4]] -> P swaps rows, L21 = 1/3, U = [[3, 4], [0, 2/3]]
    std::vector<double> b = {1.0, 2.0, 3.0, 4.0};
    std::vector<std::int64_t> ipvt(2);
    fq::FactorLU(2, b, 2, ipvt, 1e-6, 1e-15);
    EXPECT_EQ(ipvt[0], 2);
    EXPECT_EQ(ipvt[1], 1);
    EXPECT_DOUBLE_EQ(b[0], 3.0);        // U11
    EXPECT_DOUBLE_EQ(b[1], 4.0);        // U12
    EXPECT_DOUBLE_EQ(b[2], 1.0 / 3.0);  // L21
    EXPECT_DOUBLE_EQ(b[3], 2.0 - 4.0 / 3.0);

    // Singular: rank one.
    std::vector<double> s = {1.0, 2.0, 2.0, 4.0};
    fq::FactorLU(2, s, 2, ipvt, 1e-6, 1e-15);
    EXPECT_EQ(ipvt[1], 0);
    EXPECT_EQ(s[3], 16e-15);  // zero pivot raised to the floor

    // Threshold 0: nothing counts as near-singular, the floor still applies.
    std::vector<double> z = {0.0, 0.0, 0.0, 0.0};
    fq::FactorLU(2, z, 2, ipvt, 0.0, 1e-15);
    EXPECT_EQ(ipvt[1], 1);
    EXPECT_EQ(z[0], 16e-15);
    EXPECT_EQ(z[3], 16e-15);

    // A small negative pivot keeps its sign.
    std::vector<double> m = {-1e-20};
    std::vector<std::int64_t> ip1(1);
    fq::FactorLU(1, m, 1, ip1, 1e-6, 1e-15);
    EXPECT_EQ(m[0], -16e-15);
    EXPECT_EQ(ip1[0], 0);
}

// Dense helpers for the factor tests: a[i][j] = J(i, j).
using Dense = std::vector<std::vector<double>>;

std::vector<double> Store(const Dense& a, std::size_t ldb) {
    const std::size_t n = a.size();
    std::vector<double> b(ldb * n, -99.0);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) b[j + i * ldb] = a[i][j];
    return b;
}

std::vector<double> Mul(const Dense& a, const std::vector<double>& v, bool transposed) {
    const std::size_t n = a.size();
    std::vector<double> r(n, 0.0);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) r[i] += (transposed ? a[j][i] : a[i][j]) * v[j];
    return r;
}

TEST(FuneqBlocks, SolveAndProductsReproduceTheMatrix) {
    const Dense a = {{0.5, 2.0, -1.0}, {4.0, 1.0, 0.5}, {-2.0, 3.0, 6.0}};
    const std::size_t ldb = 4;
    std::vector<double> b = Store(a, ldb);
    std::vector<std::int64_t> ipvt(3);
    fq::FactorLU(3, b, 4, ipvt, 1e-8, 1e-15);
    EXPECT_EQ(ipvt[0], 2);
    EXPECT_EQ(ipvt[2], 1);
    const std::vector<double> v = {1.0, -2.0, 0.75};
    for (bool transposed : {false, true}) {
        std::vector<double> w = v;
        fq::ProductLU(transposed, 3, ipvt, b, 4, w);
        const std::vector<double> expected = Mul(a, v, transposed);
        for (std::size_t i = 0; i < 3; ++i) EXPECT_NEAR(w[i], expected[i], 1e-13);
    }
    std::vector<double> rhs = Mul(a, v, false);
    fq::Interchange(fq::PivotDirection::Forward, 3, ipvt, rhs);
    fq::SolveLU(3, b, 4, rhs);
    for (std::size_t i = 0; i < 3; ++i) EXPECT_NEAR(rhs[i], v[i], 1e-13);
    // Entries outside the leading n rows of each column are never touched.
    EXPECT_EQ(b[3], -99.0);
}

TEST(FuneqBlocks, InterchangeDirections) {
    const std::vector<std::int64_t> ipvt = {3, 3, 1};
    std::vector<double> v = {1.0, 2.0, 3.0};
    fq::Interchange(fq::PivotDirection::Forward, 3, ipvt, v);
    EXPECT_EQ(v, (std::vector<double>{3.0, 1.0, 2.0}));
    fq::Interchange(fq::PivotDirection::Backward, 3, ipvt, v);
    EXPECT_EQ(v, (std::vector<double>{1.0, 2.0, 3.0}));
}

TEST(FuneqBlocks, BroydenFactorUpdateReproducesUpdatedMatrix) {
    const Dense a = {{0.5, 2.0, -1.0}, {4.0, 1.0, 0.5}, {-2.0, 3.0, 6.0}};
    std::vector<double> b = Store(a, 3);
    std::vector<std::int64_t> ipvt(3);
    fq::FactorLU(3, b, 3, ipvt, 1e-8, 1e-15);
    const std::vector<double> r = {0.3, -1.0, 2.0};
    const std::vector<double> s = {0.6, 0.0, -0.8};
    std::vector<double> u = r;
    fq::Interchange(fq::PivotDirection::Forward, 3, ipvt, u);
    std::vector<double> w = s;
    fq::UpdateLU(3, u, w, b, 3, 1e-15);
    Dense updated = a;
    for (std::size_t i = 0; i < 3; ++i)
        for (std::size_t j = 0; j < 3; ++j) updated[i][j] += r[i] * s[j];
    for (std::size_t col = 0; col < 3; ++col) {
        std::vector<double> e(3, 0.0);
        e[col] = 1.0;
        std::vector<double> p = e;
        fq::ProductLU(false, 3, ipvt, b, 3, p);
        for (std::size_t i = 0; i < 3; ++i) EXPECT_NEAR(p[i], updated[i][col], 1e-13);
    }
}

TEST(FuneqBlocks, FactorUpdateFloorsTheDiagonal) {
    // J = I, update -e1 e1^T would make J(1,1) zero.
    std::vector<double> b = {1.0, 0.0, 0.0, 1.0};
    std::vector<std::int64_t> ipvt(2);
    fq::FactorLU(2, b, 2, ipvt, 1e-6, 1e-15);
    std::vector<double> u = {-1.0, 0.0}, w = {1.0, 0.0};
    fq::UpdateLU(2, u, w, b, 2, 1e-15);
    EXPECT_EQ(b[0], 16e-15);
    EXPECT_TRUE(std::isfinite(b[1]) && std::isfinite(b[2]) && std::isfinite(b[3]));
}

TEST(FuneqBlocks, DoglegStep) {
    // J = I, f = (3, 4): Newton step (-3, -4), length 5.
    std::vector<double> eye = {1.0, 0.0, 0.0, 1.0};
    std::vector<std::int64_t> ipvt(2);
    fq::FactorLU(2, eye, 2, ipvt, 1e-6, 1e-15);
    const std::vector<double> f = {3.0, 4.0};
    std::vector<double> step(2), w1(2), w2(2);
    double nu = 0.0;

    double delta = 10.0;  // above 0.9 nu: lowered to nu, full Newton step
    fq::DoglegStep(2, 2, delta, f, eye, 2, ipvt, step, nu, w1, w2);
    EXPECT_DOUBLE_EQ(nu, 5.0);
    EXPECT_DOUBLE_EQ(delta, 5.0);
    EXPECT_DOUBLE_EQ(step[0], -3.0);
    EXPECT_DOUBLE_EQ(step[1], -4.0);

    delta = 2.0;  // within the Cauchy length 5: steepest descent to the bound
    fq::DoglegStep(2, 2, delta, f, eye, 2, ipvt, step, nu, w1, w2);
    EXPECT_DOUBLE_EQ(delta, 2.0);
    EXPECT_NEAR(step[0], -1.2, 1e-15);
    EXPECT_NEAR(step[1], -1.6, 1e-15);

    // J = diag(1, 10), f = (1, 1): Newton (-1, -0.1), gradient (-1, -10),
    // Cauchy length alpha = sqrt(101) * 101 / 10001.
    std::vector<double> d = {1.0, 0.0, 0.0, 10.0};
    fq::FactorLU(2, d, 2, ipvt, 1e-6, 1e-15);
    const std::vector<double> g1 = {1.0, 1.0};
    delta = 0.5;
    fq::DoglegStep(2, 2, delta, g1, d, 2, ipvt, step, nu, w1, w2);
    EXPECT_DOUBLE_EQ(nu, std::sqrt(1.01));
    EXPECT_NEAR(std::hypot(step[0], step[1]), 0.5, 1e-14);
    const double gamma = std::sqrt(101.0);
    const double alpha = gamma * 101.0 / 10001.0;
    const double cx = -alpha / gamma, cy = -10.0 * alpha / gamma;  // Cauchy point
    // The step lies on the segment from the Cauchy point to the Newton point.
    const double cross = (step[0] - cx) * (-0.1 - cy) - (step[1] - cy) * (-1.0 - cx);
    EXPECT_NEAR(cross, 0.0, 1e-14);
    EXPECT_GT(step[0], -1.0);
    EXPECT_LT(step[0], cx);

    // Kind 1: the Newton step cut to the bound.
    delta = 0.5;
    fq::DoglegStep(2, 1, delta, g1, d, 2, ipvt, step, nu, w1, w2);
    EXPECT_NEAR(step[0], -0.5 / std::sqrt(1.01), 1e-15);
    EXPECT_NEAR(step[1], -0.05 / std::sqrt(1.01), 1e-15);

    // N = 1: Newton step cut to the bound.
    std::vector<double> one = {2.0};
    std::vector<std::int64_t> ip1(1);
    fq::FactorLU(1, one, 1, ip1, 1e-6, 1e-15);
    const std::vector<double> f1 = {4.0};
    delta = 0.5;
    fq::DoglegStep(1, 2, delta, f1, one, 1, ip1, step, nu, w1, w2);
    EXPECT_DOUBLE_EQ(nu, 2.0);
    EXPECT_DOUBLE_EQ(step[0], -0.5);
}

}  // namespace

// ---------------------------------------------------------------------------
// Single steps worked by hand: one-dimensional problems with the exact
// derivative supplied, where the trial points the solver asks for follow
// from its rules in closed form.
namespace {

// The points at which the solver asks for F, in order.
std::vector<double> TrialPoints(Problem& p, double x0, const std::function<double(double)>& f,
                                const std::function<double(double)>& df, int requests) {
    std::vector<double> asked;
    p.iopt[9] = 1;  // caller-supplied Jacobian
    p.x = {x0};
    p.f = {f(x0)};
    p.iflag = 0;
    for (int call = 0; call < 1000 && static_cast<int>(asked.size()) < requests; ++call) {
        p.Call();
        if (p.iflag == -1) {
            asked.push_back(p.x[0]);
            p.f[0] = f(p.x[0]);
        } else if (p.iflag == -2) {
            p.b[0] = df(p.x[0]);
        } else {
            break;
        }
    }
    return asked;
}

}  // namespace

TEST(FuneqSteps, AFreshStepThatWorsensTheResidualShrinksTheBoundWithoutAnUpdate) {
    // f = 1 + x + 2x^2 from x0 = 0: the Newton step -1 doubles the residual
    // (rho = 2 > 1.5).  The bound becomes lambda * |s| with
    // lambda = 0.5 * 2 / ((rho^2 - 1) + 2) = 0.2, and the Jacobian is kept
    // (no secant update), so the next trial point is -0.2.
    Problem p(1);
    const auto asked = TrialPoints(p, 0.0, [](double x) { return 1.0 + x + 2.0 * x * x; },
                                   [](double x) { return 1.0 + 4.0 * x; }, 2);
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_NEAR(asked[0], -1.0, 1e-12);
    EXPECT_NEAR(asked[1], -0.2, 1e-9);
}

TEST(FuneqSteps, TheShrinkFactorIsAtLeastATenth) {
    // f = 1 + x + 10x^2: the Newton step -1 multiplies the residual by 10;
    // 0.5 * 2 / (99 + 2) is below 0.1, so the bound is a tenth of the step.
    Problem p(1);
    const auto asked = TrialPoints(p, 0.0, [](double x) { return 1.0 + x + 10.0 * x * x; },
                                   [](double x) { return 1.0 + 20.0 * x; }, 2);
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_NEAR(asked[0], -1.0, 1e-12);
    EXPECT_NEAR(asked[1], -0.1, 1e-9);
}

TEST(FuneqSteps, AfterAGoodStepTheJacobianIsTheSecant) {
    // f = x^3 - 2 from 1.5: a Newton step with the exact slope, then secant
    // steps, each with the slope through the last two points (Broyden's
    // update in one dimension), as long as the bound does not cut them.
    Problem p(1);
    auto f = [](double x) { return x * x * x - 2.0; };
    const auto asked = TrialPoints(p, 1.5, f, [](double x) { return 3.0 * x * x; }, 3);
    ASSERT_EQ(asked.size(), 3u);
    const double x0 = 1.5, x1 = x0 - f(x0) / (3.0 * x0 * x0);
    const double x2 = x1 - f(x1) * (x1 - x0) / (f(x1) - f(x0));
    const double x3 = x2 - f(x2) * (x2 - x1) / (f(x2) - f(x1));
    EXPECT_NEAR(asked[0], x1, 1e-12);
    EXPECT_NEAR(asked[1], x2, 1e-9);
    EXPECT_NEAR(asked[2], x3, 1e-9);
}

TEST(FuneqSteps, ThreeTinyNewtonStepsEndTheSolve) {
    // A caller Jacobian far too steep (1e12 for a slope of 1e-3) makes every
    // Newton step about 2e-15: below the tolerance, and too small to update
    // the Jacobian, while the residual (about 2e-3) stays above its square
    // root.  Each such step counts once; the third ends the solve with
    // status 2 (converged steps, residual too big).
    Problem p(1);
    int asked = 0;
    TrialPoints(p, 1.0, [&](double x) { return ++asked, 1e-3 * (1.0 + x); }, [](double) { return 1e12; }, 1000);
    EXPECT_EQ(p.iflag, 2);
    EXPECT_EQ(p.iopt[16], 3);  // iterations
    EXPECT_EQ(asked, 1 + 3);   // the start and three trial points
}

TEST(FuneqSteps, AJacobianIsRenewedWhenProgressSlowsOverFiveIterations) {
    // The residual is scripted: it halves at each of the first twelve trial
    // points and then falls by a tenth.  After twelve iterations on one
    // Jacobian, a new one is due once the last five iterations gained less
    // than the five before them: (f_k / f_k-5)^2 > f_k-5 / f_k-10.  With
    // a = 0.5 and b = 0.9 that first holds at k = 15
    // (a^4 b^6 = 0.0332 > a^5 = 0.03125; at k = 14, a^6 b^4 = 0.0103 < a^5).
    Problem p(1);
    p.iopt[9] = 1;
    p.x = {0.0};
    p.f = {1.0};
    p.iflag = 0;
    int trials = 0, jacobians = 0;
    std::int64_t renewed_at = -1;
    for (int call = 0; call < 1000 && renewed_at < 0; ++call) {
        p.Call();
        if (p.iflag == -1) {
            ++trials;
            p.f[0] = trials <= 12 ? std::pow(0.5, trials) : std::pow(0.5, 12) * std::pow(0.9, trials - 12);
        } else if (p.iflag == -2) {
            if (++jacobians == 2) renewed_at = p.iopt[16];
            p.b[0] = 1.0;
        } else {
            break;
        }
    }
    EXPECT_EQ(renewed_at, 15) << "status " << p.iflag << " after " << trials << " trial points";
}
