// The engine's own property databank: pure components, binary-parameter
// sets and UNIFAC group tables, read from the tab-separated tables under
// propcore/data (converted from public sources by convert.py there).
#pragma once

#include <array>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace propcore {

// Group assignment of a molecule: (subgroup number, count).
using GroupCounts = std::vector<std::pair<int, int>>;

// The group-contribution models, each with its own subgroup numbering.
enum class GroupModel { Unifac = 0, UnifacLle = 1, UnifacDmd = 2 };
inline constexpr int kGroupModels = 3;
std::string_view GroupModelName(GroupModel m);  // "UNIFAC", "UNIFAC-LLE", "UNIFAC-DMD"

struct DatabankCompound {
    std::string cas, name, formula;
    double mw = 0.0;
    std::optional<double> tc, pc, omega, tb;
    std::array<double, 6> antoine{};  // engine form, see Component
    double tmin = 0.0, tmax = 0.0;    // range of the vapour-pressure correlation
    std::optional<double> r, q, vl;   // UNIQUAC size, Wilson liquid volume (cm3/mol)
    std::array<GroupCounts, kGroupModels> groups;
    std::string source = "ChemSep";  // where its numbers came from
    // Vapour dimerisation of a carboxylic acid, ln(K/Pa^-1) = A + B/T, and
    // where that came from.
    std::optional<std::array<double, 2>> dimer;
    std::string dimer_source;
    // Polar terms of the second-virial correlation (zero: a normal fluid).
    double virial_a = 0.0, virial_b = 0.0;
};

// One binary pair of a parameter set, oriented as stored (i = cas_i).
struct DatabankPair {
    std::string cas_i, cas_j;
    double aij = 0.0, aji = 0.0, bij = 0.0, bji = 0.0;
    std::optional<double> alpha;  // NRTL only
    std::string comment;          // the source's own note (page of the DECHEMA volume)
};

struct Subgroup {
    int number = 0;
    std::string name;
    int main = 0;
    double r = 0.0, q = 0.0;
};

// psi_mn = exp(-(a + b T + c T^2) / T)
struct GroupInteraction {
    double a = 0.0, b = 0.0, c = 0.0;
};

class DatabankError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class Databank {
public:
    // The databank of this installation: the directory named by
    // TERNIVAL_DATA_DIR, else the one the engine was built with.  Read once;
    // throws DatabankError when the tables are missing or damaged.
    static const Databank& Get();
    // Reads the tables of a directory (for tests).
    static Databank Load(const std::string& dir);
    static std::string DefaultDirectory();

    const std::vector<DatabankCompound>& compounds() const { return compounds_; }
    const std::string& directory() const { return dir_; }

    // A compound by CAS number, name, synonym (MTBE, THF, IPA, ...) or
    // formula (case-insensitive for names).  Throws DatabankError naming
    // close matches when there is none, and the candidates when a formula
    // fits several compounds.
    const DatabankCompound& Find(std::string_view text) const;
    // Compounds whose name, synonyms, CAS number or formula contain the
    // text: exact matches first, then those that begin with it, then the
    // rest (each group in databank order).
    std::vector<const DatabankCompound*> Search(std::string_view text) const;

    // The pair of a parameter set ("NRTL", "UNIQUAC", "WILSON") for two CAS
    // numbers, oriented so that its i is `cas_i`.
    std::optional<DatabankPair> FindPair(std::string_view set, std::string_view cas_i,
                                         std::string_view cas_j) const;
    std::size_t PairCount(std::string_view set) const;

    const Subgroup* FindSubgroup(GroupModel m, int number) const;
    const GroupInteraction* FindInteraction(GroupModel m, int main_m, int main_n) const;

private:
    std::string dir_;
    std::vector<DatabankCompound> compounds_;
    // Synonyms, lower case, and the CAS number each stands for.
    std::map<std::string, std::string> synonyms_;
    const DatabankCompound* byCas(std::string_view cas) const;
    std::map<std::string, std::map<std::pair<std::string, std::string>, DatabankPair>> pairs_;
    std::array<std::map<int, Subgroup>, kGroupModels> subgroups_;
    std::array<std::map<std::pair<int, int>, GroupInteraction>, kGroupModels> interactions_;
};

// Edit distance of two strings, case-insensitive (for suggestions).
std::size_t EditDistance(std::string_view a, std::string_view b);

}  // namespace propcore
