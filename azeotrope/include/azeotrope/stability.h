// Classification of the singular points of the residue-curve field
// dx/dxi = x - y(x): pure components and azeotropes.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace ternival {

// Stability codes shared by the whole system.
enum StabilityCode : std::int64_t {
    kStableNode = 1,    // locally highest boiling; residue curves end here
    kSaddle = 2,
    kUnstableNode = 3,  // locally lowest boiling; residue curves start here
};

// Linearises the residue-curve field at the singular point x (n fractions)
// by central differences of bubble-point flashes and classifies it by the
// signs of the real parts of the eigenvalues of J = I - dy/dx (reduced
// coordinates x1..x(n-1)).  eigen_request == 1 asks for eigenvalues only;
// any other value also fills the right eigenvectors ((n-1) x (n-1),
// column-major).  error: 0 success, -1 a flash failed fatally, -2 the
// eigenproblem failed (no code written).  re must hold n - 1 values,
// vectors (n-1)^2 when requested.
void Stability_RCM(std::int64_t n, std::span<const double> x, std::int64_t eigen_request,
                   double pressure, std::span<const std::int64_t> ids, std::string_view method,
                   int phase, std::int64_t& code, std::span<double> re, std::span<double> vectors,
                   std::int64_t& error);

// Stability of pure component i (0-based) from the K-values of the other
// components at the near-pure composition: 1 when every K >= 1, else 3 when
// every K <= 1, else 2.  error receives the flash's error value.
std::int64_t PureComponentStability(std::span<const std::int64_t> ids, std::size_t i,
                                    double pressure, std::string_view method, int phase,
                                    std::int64_t& error);

// Topological index of a ternary map: nodes count +1 (pure, binary) or +2
// (ternary), saddles -1 (binary) or -2 (ternary), pure saddles 0.  The
// classification is consistent when the result equals 2.
// component_counts[k] is the number of components present in point k.
std::int64_t TopologicalIndex(std::span<const std::int64_t> component_counts,
                              std::span<const std::int64_t> codes);

}  // namespace ternival
