// Azeotrope search: every azeotrope of a mixture of 2 to 20 components at a
// given pressure, the boiling points of the pure components, and the
// classification of every singular point (pure components and azeotropes).
//
// Layers, from the top:
//   Azeo_Search             driver: one search pass (or, for a ternary, up to
//                           six passes in different component orders until
//                           the topological constraint holds), classification
//                           of every point, singular-point table;
//   QZALAZ                  infinite-dilution K-values, pure boiling points,
//                           pair screening and the depth-first enumeration of
//                           sub-mixtures;
//   QZNCAZ                  location of the azeotrope of one sub-mixture
//                           (secant for two components, trust-region Newton
//                           through FUNEQ1 for more);
//   Normalize               scaling of a vector to a given sum.
//
// All phase equilibria are bubble points ("PV", vapour fraction 0) made
// through EngineFlash.  Diagnostic lines go to the diagnostic unit
// kAzeotropeDiagnosticUnit; Azeo_Search binds that unit (and the solver's
// unit 0) to the null sink for its duration.  Failures are reported through
// error arguments and the run log ("Azeo_Search"); nothing throws.
//
// Conventions: compositions are mole fractions in the caller's component
// order; matrices are column-major with the leading dimension stated;
// integers are 64-bit.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace ternival {

// Largest mixture the search accepts.
inline constexpr std::int64_t kAzeoMaxComponents = 20;
// Rows of the table of sub-mixtures found without azeotrope, per pass.
inline constexpr std::int64_t kAzeoMaxNoAzeotrope = 800;
// Capacity the automation object passes to Azeo_Search.
inline constexpr std::int64_t kAzeoDefaultCapacity = 100;
// Leading dimension of the sub-mixture K matrix handed to QZNCAZ.
inline constexpr std::int64_t kAzeoKLeading = 20;
// Diagnostic unit of the search's formatted lines.
inline constexpr std::int64_t kAzeotropeDiagnosticUnit = 8;

// Values of Azeo_Search's error indicator.
enum AzeoSearchError : std::int64_t {
    kAzeoClean = 0,
    kAzeoSearchFailed = 1,     // search status fell to 1 (message 509)
    kAzeoClassifyFailed = 2,   // a classification failed (message 510)
};

// Phase codes of a recorded azeotrope.
enum AzeotropePhase : std::int64_t {
    kHomogeneous = 1,
    kHeterogeneous = 2,
};

// Search status word values (shared by QZALAZ and QZNCAZ).
inline constexpr std::int64_t kAzeoStatusGood = 2;
inline constexpr std::int64_t kAzeoStatusFailed = 1;

// y_i = scale * x_i / sum(x_k), i = 0..n-1.  x and y may be the same array.
// A scale below 1e-4 writes a two-line warning first and normalises all the
// same.  A vector whose sum is zero or not finite cannot be scaled: y is
// then a copy of x.
void Normalize(double scale, std::int64_t n, std::span<const double> x, std::span<double> y);

// Locates the azeotrope containing all n components of one sub-mixture.
//   error          set to 1 on an input error or a severe flash failure,
//                  untouched otherwise;
//   print_level    0..5, diagnostic lines on kAzeotropeDiagnosticUnit;
//   phase          2 vapour-liquid, 3 vapour-liquid-liquid (also enables
//                  the heterogeneity test);
//   found          true when the azeotrope was located;
//   temperature    bubble temperature of the last flash made;
//   heterogeneous  true when the azeotrope splits into two liquids (only
//                  set with phase 3);
//   estimate_given x holds a starting composition (else 1/n each);
//   ids            n engine component indices;
//   kinf           infinite-dilution K-values, leading dimension
//                  kAzeoKLeading: kinf[(j) + (i) * 20] is component j
//                  infinitely dilute in pure component i (0-based), at
//                  least 20 * (n - 1) + n values;
//   x              n fractions: estimate in, azeotrope out (on success);
//   method         property method passed to every flash.
void QZNCAZ(std::int64_t& error, std::int64_t print_level, std::int64_t n, std::int64_t phase,
            double pressure, bool& found, double& temperature, bool& heterogeneous,
            bool estimate_given, std::span<const std::int64_t> ids,
            std::span<const double> kinf, std::span<double> x, std::string_view method);

// One search pass over all sub-mixtures of the n components.
//   status       search status word: lowered to 1 on an input error, a
//                fatal flash of the K-value or boiling-point step, an error
//                of QZNCAZ, or exhausted room (azeotrope capacity or 800
//                sub-mixtures without azeotrope); never raised;
//   capacity     largest number of azeotropes to record; it is further
//                limited to what the output spans can hold;
//   phase        the object's phase count (2 or 3);
//   boiling      n pure-component bubble temperatures (out);
//   kinf         n x n infinite-dilution K-values, leading dimension n
//                (out): kinf[j + i * n] = K of j infinitely dilute in i;
//   count        number of azeotropes recorded (out);
//   compositions capacity x n, leading dimension capacity: row a holds
//                azeotrope a over all n components (0 for absent ones);
//   temperatures, sizes (components in the azeotrope), phase_codes
//                (kHomogeneous / kHeterogeneous): one entry per azeotrope;
//   memory       rows of the table of sub-mixtures found without azeotrope;
//                a pass that fills it ends there.
void QZALAZ(std::int64_t& status, std::int64_t print_level, std::int64_t n,
            std::span<const std::int64_t> ids, double pressure, std::int64_t capacity,
            std::int64_t phase, std::string_view method, std::span<double> boiling,
            std::span<double> kinf, std::int64_t& count, std::span<double> compositions,
            std::span<double> temperatures, std::span<std::int64_t> sizes,
            std::span<std::int64_t> phase_codes, std::int64_t memory = kAzeoMaxNoAzeotrope);

// All azeotropes of an n-component mixture (2..20) and the classification
// of every singular point.
//   n, pressure (N/m2), phase (2 or 3), method, ids (n engine indices);
//   count        in: capacity (largest number of azeotropes to record,
//                further limited to what every output span can hold);
//                out: number found;
//   compositions n x capacity, leading dimension n: column a = azeotrope a;
//   temperatures, sizes, phase_codes, stability: one entry per azeotrope
//                (stability codes of stability.h; 0 when the point could
//                not be classified);
//   singular_compositions  n x (n + count), leading dimension n: the n pure
//                components (unit vectors), then the azeotropes in order;
//   singular_temperatures, singular_stability: n + count entries, pure
//                components first (a boiling point that could not be
//                computed holds kMissingValue, 1e38);
//   error        kAzeoClean, kAzeoSearchFailed or kAzeoClassifyFailed.
// Run-log messages (routine "Azeo_Search"): 509 search status fell to 1,
// 510 a classification failed, 511 a ternary never met the topological
// constraint in any of the six component orders.
void Azeo_Search(std::int64_t n, double pressure, std::int64_t phase, std::string_view method,
                 std::span<const std::int64_t> ids, std::int64_t& count,
                 std::span<double> compositions, std::span<double> temperatures,
                 std::span<std::int64_t> sizes, std::span<std::int64_t> phase_codes,
                 std::span<std::int64_t> stability, std::span<double> singular_compositions,
                 std::span<double> singular_temperatures,
                 std::span<std::int64_t> singular_stability, std::int64_t& error);

// Pure-component properties for GetPureProperties.
//   boiling    n bubble temperatures of the pure components (phase 2;
//              1e38 where the flash failed);
//   stability  n stability codes by the near-pure K-value rule;
//   kvalues    n x n, leading dimension n: column i holds the K-values of
//              all components at the composition near pure i (flash with
//              the given phase count);
//   error      0 success; otherwise the first non-zero flash error value
//              (-1 also for bad arguments: n outside 1..100, the bridge's
//              flash limit, or spans too small, in which case nothing is
//              written).
void PureComponentProperties(std::int64_t n, double pressure, std::span<const std::int64_t> ids,
                             std::string_view method, std::int64_t phase,
                             std::span<double> boiling, std::span<std::int64_t> stability,
                             std::span<double> kvalues, std::int64_t& error);

// True when the liquid x of n components, boiling at `temperature` by
// vapour-liquid flashes, splits into two liquids there (a three-phase
// flash just below that temperature finds two): a point found with phase
// setting 2 is then not a homogeneous azeotrope.
bool LiquidSplitsAtBubblePoint(std::int64_t n, std::span<const std::int64_t> ids, std::string_view method,
                               double pressure, std::span<const double> x, double temperature);

// Shared state of the last Azeo_Search call, for diagnostics and tests.
struct AzeoSearchState {
    std::int64_t status = kAzeoStatusGood;  // search status word
    std::int64_t print_level = 0;
    std::int64_t capacity = 0;              // capacity in effect
    std::int64_t stability_error = 0;       // last non-zero Stability_RCM error
    std::int64_t message_code = 0;          // last message code reported
    std::int64_t passes = 0;                // search passes run
    std::int64_t constraint_sum = 0;        // topological index of the last ternary pass
};
const AzeoSearchState& AzeoLastSearchState();

}  // namespace ternival
