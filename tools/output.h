// Tables printed by the subcommands, as CSV or JSON.
#pragma once

#include <string>
#include <vector>

namespace ternival::cli {

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

}  // namespace ternival::cli
