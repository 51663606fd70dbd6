// Binary parameters of a pair no data set covers, estimated by fitting the
// method's model to UNIFAC activity coefficients.
#pragma once

#include <optional>
#include <string>

#include "problem.h"

namespace propcore {

struct PairEstimate {
    double aij = 0.0, aji = 0.0, bij = 0.0, bji = 0.0, alpha = 0.3;
    double rms = 0.0;    // root-mean-square deviation of ln(gamma) from UNIFAC
    std::string source;  // e.g. "UNIFAC estimate (rms of ln gamma 0.012)"
};

// Fits the pair (ci, cj) of `model` (NRTL, UNIQUAC or WILSON) to original
// UNIFAC, or modified UNIFAC (Dortmund) where original UNIFAC cannot cover
// the pair.  Returns nullopt with the reason in `why` when neither can.
std::optional<PairEstimate> EstimatePair(const Component& ci, const Component& cj, Model model, std::string& why);

}  // namespace propcore
