// Argument parsing and checking shared by the subcommands of `ternival`.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/session.h"

namespace ternival::cli {

// Exit codes.
enum ExitCode : int {
    kOk = 0,
    kUsage = 1,        // bad command line (CLI11 reports it)
    kBadInput = 2,     // missing file, unknown component, bad pressure or composition
    kEngineFailed = 3, // the property engine could not be loaded or opened
    kComputeFailed = 4, // a computation reported an error
    kDoubtful = 5,      // results written, but a check on them failed (see the warnings)
    kOutputFailed = 6   // a table or picture could not be written
};

class InputError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A numerical routine reported a failure (exit code kComputeFailed).
class ComputeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A table or picture could not be written (exit code kOutputFailed).
class OutputError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Problem {
    std::string file;
    std::vector<std::string> components;
    double pressure = 101325.0;
    std::string method;
    int phase = 2;
    bool phase_given = false;  // --phase on the command line; else the file's default_phase
    std::string default_method;  // the file's default_method (read when the engine opens it)
    bool verbose = false;        // print where the property data came from
    std::string search = "complete";  // azeotrope search: complete or classic
};

// Property models a problem built from the databank may use.
inline constexpr const char* kDatabankModels[] = {"NRTL", "UNIQUAC", "WILSON", "UNIFAC", "UNIFAC-LLE", "UNIFAC-DMD"};

std::vector<std::string> SplitList(const std::string& text);
std::vector<double> ParseComposition(const std::string& text, std::size_t expected);
void CheckPressure(double pressure);

// Opens the engine on the problem and translates the components; throws
// InputError for unknown components.
std::vector<std::int64_t> ComponentIndices(const Problem& p);

// Path of the built-in example problem.
std::string BuiltInExample();

// Without a problem file or components, the built-in example and its three
// components; components named without a file are databank names.
void DefaultToBuiltInExample(Problem& p);
// InputError unless exactly three components are named.
void RequireThree(const Problem& p);
// Before the engine is opened for a ternary diagram: the built-in example
// when no file is named, and three components if any are named (an empty
// list means all of the file's, checked once they are known).
void PrepareTernary(Problem& p);

}  // namespace ternival::cli
