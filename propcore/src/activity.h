// Liquid activity-coefficient models.  Each model is a small type behind
// one interface; a Mixture owns the one its property method names, built
// over the mixture's members.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <vector>

#include "problem.h"

namespace propcore {

class ActivityModel {
public:
    virtual ~ActivityModel() = default;
    // ln(gamma_i) of the liquid x at temperature t.  x may contain zeros and
    // need not be normalised exactly.
    virtual void lnGamma(double t, std::span<const double> x, std::span<double> lng) const = 0;
    // ln(gamma_i) of the liquid of mole numbers `moles` and its derivatives
    // with respect to them at constant t: jac[i*n + j] = d ln(gamma_i)/d n_j.
    // At most kMaxDual components (dual.h).
    virtual void lnGammaDn(double t, std::span<const double> moles, std::span<double> lng,
                           std::span<double> jac) const = 0;
};

// The activity model of `method` over the problem's components `members`.
std::unique_ptr<ActivityModel> MakeActivityModel(const Problem& problem, const Method& method,
                                                 std::span<const std::size_t> members);

// A group-contribution model (UNIFAC, UNIFAC-LLE, modified UNIFAC
// (Dortmund)) over molecules given by their subgroup counts, with the
// subgroup and interaction tables of its variant.
std::unique_ptr<ActivityModel> MakeUnifacModel(const GroupTables& tables,
                                               const std::vector<GroupCounts>& molecules);

}  // namespace propcore
