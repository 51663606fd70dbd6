// The problem definition: components, vapour-pressure correlations and
// property methods with their binary parameters, read from a TOML file.
#pragma once

#include <cstdint>
#include <array>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace propcore {

enum class Model { Ideal, Wilson, Nrtl, Uniquac };

struct Component {
    std::string id;       // at most 8 characters
    std::string name;     // at most 12 characters
    std::string formula;
    double mw = 0.0;
    // ln(Psat/Pa) = A + B/(T + C) + D ln T + E T^F, T in K
    std::array<double, 6> antoine{};
    double tb = 0.0;                 // normal boiling point (informative)
    std::optional<double> r, q;      // UNIQUAC size parameters
    // Where the data say so: the critical temperature and the range of the
    // vapour-pressure correlation, K.
    std::optional<double> tc, tmin, tmax;
};

// Binary parameters of one ordered pair (i, j), i < j in component order;
// the reverse direction is held in the same record.
struct Pair {
    std::size_t i = 0, j = 0;
    double aij = 0.0, aji = 0.0, bij = 0.0, bji = 0.0, alpha = 0.3;
};

struct Method {
    std::string name;  // at most 8 characters
    Model model = Model::Ideal;
    std::vector<Pair> pairs;
    // Dense n x n tables over the problem's components, row-major: a[i*n+j].
    std::vector<double> a, b, alpha;
};

struct Problem {
    std::string file;
    std::string title;
    std::vector<Component> components;
    std::vector<Method> methods;
    std::size_t default_method = 0;  // index into methods
    int default_phase = 2;           // phase setting the file suggests to its users
};

// Largest problem definition file read, bytes.
inline constexpr std::uintmax_t kMaxProblemBytes = std::uintmax_t{16} << 20;

// Error in a problem definition file, with a message that names the file,
// the line and the field.
class ProblemError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

Problem LoadProblem(const std::string& path);
// Same, from text (for tests); `file` is the name used in messages.
Problem ParseProblem(std::string_view text, const std::string& file);

std::string_view ModelName(Model m);

}  // namespace propcore
