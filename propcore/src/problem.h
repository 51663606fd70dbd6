// The problem definition: components, vapour-pressure correlations and
// property methods with their binary parameters, read from a TOML file.
#pragma once

#include <cstdint>
#include <array>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "databank.h"

namespace propcore {

enum class Model { Ideal, Wilson, Nrtl, Uniquac, Unifac, UnifacLle, UnifacDmd };

// The largest problem the engine serves: as many components as one flash
// takes (the azeotrope searches go to 20 of them), and as many methods as
// the server's property package lists.
inline constexpr std::size_t kMaxComponents = 100;
inline constexpr std::size_t kMaxMethods = 20;
// Subgroups of one component in one group model.
inline constexpr std::size_t kMaxGroupsPerComponent = 64;

// The group model of a UNIFAC-type method; nullopt for the others.
std::optional<GroupModel> GroupModelOf(Model m);

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
    std::optional<double> vl;        // liquid molar volume, cm3/mol (Wilson)
    // Vapour non-ideality: critical pressure (Pa) and acentric factor of
    // the second-virial correlation, its polar terms a and b, and the
    // dimerisation constant of a carboxylic acid, ln(K/Pa^-1) = A + B/T.
    std::optional<double> pc, omega;
    double virial_a = 0.0, virial_b = 0.0;
    std::optional<std::array<double, 2>> dimer;
    std::string cas;                 // CAS number, the key of the databank's pair sets
    std::string long_name;           // full name (the databank's)
    std::array<GroupCounts, kGroupModels> groups;  // UNIFAC subgroups per group model
    std::string source;              // where the numbers came from (report file)
};

// Binary parameters of one ordered pair (i, j), i < j in component order;
// the reverse direction is held in the same record.
// Temperature dependence (element ij of each table):
//   NRTL     tau_ij = a + b/T + e ln T + f T,  alpha_ij = c + d (T - 273.15)
//   UNIQUAC  tau_ij = exp(a + b/T + c ln T + d T)
//   WILSON   Lambda_ij = exp(a + b/T)
// The vapour a pair's parameters were regressed with.  Pairs fitted to
// activity coefficients (UNIFAC estimates) suit any vapour; a pair that
// does not say is taken on trust.
enum class Regressed { NotStated, Any, Ideal, Virial, Chemical };
std::string_view RegressedName(Regressed r);

struct Pair {
    std::size_t i = 0, j = 0;
    double aij = 0.0, aji = 0.0, bij = 0.0, bji = 0.0, alpha = 0.3;
    std::string source;  // "file", the databank set, "UNIFAC estimate", "ideal"
    Regressed regressed = Regressed::NotStated;
};

// What a method does with a pair that has no parameters.
enum class MissingPairs { Estimate, Ideal, Refuse };

// Subgroups and main-group interactions a UNIFAC-type method needs.
struct GroupTables {
    GroupModel model = GroupModel::Unifac;
    std::map<int, Subgroup> subgroups;
    std::map<std::pair<int, int>, GroupInteraction> interactions;  // by main groups, both orders
};

// The vapour: an ideal gas, the virial equation truncated after B
// (Tsonopoulos's correlation), or the chemical theory of carboxylic-acid
// dimers (with an ideal gas of the true species).
enum class Vapour { Ideal, Virial, Chemical };
std::string_view VapourName(Vapour v);

struct Method {
    std::string name;  // at most 8 characters
    Model model = Model::Ideal;
    Vapour vapour = Vapour::Ideal;
    std::vector<Pair> pairs;
    // Dense n x n tables over the problem's components, row-major: a[i*n+j].
    std::vector<double> a, b, c, d, e, f;
    GroupTables groups;  // UNIFAC-type methods
};

struct Problem {
    std::string file;
    std::string title;
    std::vector<Component> components;
    std::vector<Method> methods;
    std::size_t default_method = 0;  // index into methods
    int default_phase = 2;           // phase setting the file suggests to its users
    std::vector<std::string> notes;  // how pairs were completed (report file)
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

// Fills the method's group tables (subgroups, main-group interactions)
// for the problem's components from the databank; a message naming what
// is missing when the group model cannot cover them.
// Main-group interactions the tables lack are refused naming the pairs of
// components they concern (`missing` Refuse), or taken as zero, ideal, for
// those pairs (Estimate, Ideal: no group-contribution model estimates
// another's parameters), with a note for each in `notes`.
std::optional<std::string> ResolveGroups(const Problem& p, Method& m, MissingPairs missing = MissingPairs::Refuse,
                                         std::vector<std::string>* notes = nullptr);

// The problem definition file text of components taken from the databank,
// with every number annotated with its source: what `ternival problem`
// writes.  `names` are databank names, CAS numbers or formulas; `model` one
// of the model names.  Where the boiling liquid of a binary (or of a
// ternary's interior) splits at `pressure`, the file sets default_phase = 3
// and says where.  `vapour` is "ideal", "virial", "chemical" or "auto"
// (chemical when a component is a carboxylic acid with a dimerisation
// constant, else ideal).  `overrides` are pairs to write instead of the
// databank's, their i and j indices into `names`.  Throws ProblemError for
// an unknown compound.
std::string DatabankProblemText(const std::vector<std::string>& names, std::string_view model,
                                std::string_view missing = "estimate", double pressure = 101325.0,
                                std::string_view vapour = "auto", const std::vector<Pair>& overrides = {});

// The databank problem text of a binary with its pair replaced by `pair`
// (components 0 and 1 in the order of `names`), written with its source and
// the vapour it was regressed with.
std::string FittedProblemText(const std::vector<std::string>& names, std::string_view model, const Pair& pair,
                              double pressure = 101325.0, std::string_view vapour = "auto");

}  // namespace propcore
