// Binary parameters of NRTL, UNIQUAC or Wilson fitted to a designer's own
// measurements: vapour-liquid points (isobaric, isothermal or neither,
// azeotropes among them) and liquid-liquid tie lines.
#pragma once

#include <array>
#include <istream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "problem.h"

namespace propcore {

// Bad measurement data; the message names the file and line.
class FitDataError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One measurement.  A vapour-liquid point gives T, P and the liquid x1,
// and the vapour y1 when measured (an azeotrope is a point with y1 = x1).
// A tie line gives T and x1 of the two liquids.
struct Measurement {
    enum Kind { VapourLiquid, TieLine } kind = VapourLiquid;
    std::string file;
    int line = 0;
    double t = 0.0, p = 0.0, x1 = 0.0, x1b = 0.0;
    std::optional<double> y1;
};

// Reads a CSV file of measurements.  Its header names the columns:
// T_K,P_Pa,x1[,y1] for vapour-liquid points, T_K,x1_L1,x1_L2 for tie
// lines, in any order.  Lines starting with '#' and blank lines are
// skipped.  Throws FitDataError naming the line of the first fault.
std::vector<Measurement> ReadMeasurements(std::istream& in, const std::string& file);

// Checks a whole set: enough points, and temperatures that a binary can
// show (at one pressure, at most two reversals of T along x1).  Throws
// FitDataError naming a line.
void CheckMeasurements(const std::vector<Measurement>& data, int parameters);

struct FitSettings {
    double alpha = 0.3;       // NRTL non-randomness, held fixed
    double sigma_t = 0.1;     // K
    double sigma_p = 0.005;   // relative
    double sigma_y = 0.005;   // mole fraction
    double sigma_lle = 0.02;  // ln(x gamma) of a tie line's two liquids
};

// How the vapour-liquid points are compared: bubble temperatures at the
// measured pressure when all share one pressure, else bubble pressures at
// the measured temperature.
enum class FitBasis { Isobaric, Isothermal, Mixed, TieLinesOnly };
std::string_view FitBasisName(FitBasis b);

struct FittedPoint {
    Measurement m;
    bool converged = false;
    double t = 0.0, p = 0.0, y1 = 0.0;  // calculated (bubble point)
    double x1a = 0.0, x1b = 0.0;        // calculated tie line
    bool split = false;                 // the model splits the tie line's liquid
};

struct Consistency {
    bool done = false;
    std::string why_not;  // when not done
    // Area test (Herington's for isobaric data, with his J; Redlich and
    // Kister's for isothermal): consistent when D - J < 10.
    double d = 0.0, j = 0.0;
    bool area_ok = false;
    // Point test: the mean |y1 - y1 calc| of a fit to T (or P) alone;
    // consistent below 0.01.
    double mean_dy = 0.0;
    bool point_ok = false;
};

struct FitReport {
    bool converged = false;
    std::string reason;  // when not converged
    Pair pair;           // the fitted pair, i = 0, j = 1, with its source
    std::array<double, 2> b{}, se{};  // bij, bji (K) and their standard errors
    double correlation = 0.0;         // of bij and bji
    double chi2 = 0.0;                // weighted sum of squares over (residuals - 2)
    bool exact = false;               // as many residuals as parameters: no uncertainties (NaN)
    FitBasis basis = FitBasis::Isobaric;
    std::vector<FittedPoint> points;
    double rms_t = 0.0, rms_p = 0.0, rms_y = 0.0, rms_x = 0.0;  // K, relative, -, -
    int vle_points = 0, tie_lines = 0;
    Consistency consistency;
};

// Fits bij and bji of the first pair of `method` of the binary `problem`
// (its components 0 and 1) to the measurements, by Levenberg-Marquardt on
// weighted residuals, from the method's own numbers and a few other
// starts.  The result's pair carries `source`; its `regressed` is the
// method's vapour.
FitReport FitBinaryPair(const Problem& problem, std::size_t method, const std::vector<Measurement>& data,
                        const FitSettings& settings, const std::string& source);

// The problem with the method's pair replaced by `pair`.
Problem WithPair(const Problem& problem, std::size_t method, const Pair& pair);

// What a user should know about a fit: failed consistency tests, strongly
// correlated parameters.
std::vector<std::string> FitWarnings(const FitReport& report);

// Curves of the fitted model for a picture of data against fit: bubble
// and dew curves (x1 or y1, and T in K or P in Pa) at the data's pressure or
// temperature, or the calculated vapours of points at several conditions,
// and the binodal (T, x1 of both liquids) over the tie lines' range.
struct FitCurves {
    std::string quantity;  // "T_K", "P_Pa" or "y1": what the liquid and vapour curves plot against x1
    double at = 0.0;       // the pressure (Pa) or temperature (K) of the curves
    std::vector<std::array<double, 2>> liquid, vapour;
    std::vector<std::array<double, 3>> binodal;
};
FitCurves CurvesOfFit(const Problem& fitted, std::size_t method, const FitReport& report);

// The report as JSON text (the keys `ternival fit --format json` prints),
// with the curves.
std::string FitReportJson(const Problem& fitted, std::size_t method, const FitReport& report);

}  // namespace propcore
