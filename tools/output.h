// Tables printed by the subcommands, as CSV or JSON.
#pragma once

#include <string>
#include <vector>

namespace ternival::cli {

struct Problem;

enum class Format { Csv, Json, Text };

Format ParseFormat(const std::string& name);

struct Table {
    std::vector<std::string> columns;
    std::vector<std::vector<std::string>> rows;  // already formatted cells
    std::vector<bool> numeric;                   // per column: JSON number or string
};

// Prints the table on stdout; JSON as an array of objects.
void PrintTable(const Table& t, Format f);

std::string Number(double v, int precision = 6);

bool EndsWith(const std::string& s, const std::string& suffix);

// One line of progress on standard error.
void Progress(const std::string& line);

// The property method the engine uses: the one asked for, else the
// problem file's default.
std::string MethodName(const Problem& p);

}  // namespace ternival::cli
