#include "output.h"

#include <fmt/core.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "cli_common.h"

namespace ternival::cli {

Format ParseFormat(const std::string& name) {
    if (name == "csv") return Format::Csv;
    if (name == "json") return Format::Json;
    if (name == "text") return Format::Text;
    throw InputError("--format must be csv, json or text");
}

std::string Number(double v, int precision) {
    // Values that round to zero print as 0, never as -0.
    if (std::abs(v) < 0.5 * std::pow(10.0, -precision)) v = 0.0;
    return fmt::format("{:.{}f}", v, precision);
}

void PrintTable(const Table& t, Format f) {
    if (f == Format::Json) {
        nlohmann::ordered_json out = nlohmann::ordered_json::array();
        for (const auto& row : t.rows) {
            nlohmann::ordered_json o = nlohmann::ordered_json::object();
            for (std::size_t c = 0; c < t.columns.size() && c < row.size(); ++c) {
                const bool num = c < t.numeric.size() && t.numeric[c];
                if (!num) {
                    o[t.columns[c]] = row[c];
                    continue;
                }
                // A numeric cell that holds no number ("-") becomes null.
                std::size_t used = 0;
                double v = 0.0;
                try {
                    v = std::stod(row[c], &used);
                } catch (const std::exception&) {
                    used = 0;
                }
                const bool integral = row[c].find_first_of(".eE") == std::string::npos;
                if (used == row[c].size() && used > 0 && integral) o[t.columns[c]] = static_cast<long long>(v);
                else if (used == row[c].size() && used > 0) o[t.columns[c]] = v;
                else o[t.columns[c]] = nullptr;
            }
            out.push_back(std::move(o));
        }
        fmt::print("{}\n", out.dump(2));
        return;
    }
    if (f == Format::Csv) {
        for (std::size_t c = 0; c < t.columns.size(); ++c) fmt::print("{}{}", c ? "," : "", t.columns[c]);
        fmt::print("\n");
        for (const auto& row : t.rows) {
            for (std::size_t c = 0; c < row.size(); ++c) fmt::print("{}{}", c ? "," : "", row[c]);
            fmt::print("\n");
        }
        return;
    }
    std::vector<std::size_t> width(t.columns.size());
    for (std::size_t c = 0; c < t.columns.size(); ++c) width[c] = t.columns[c].size();
    for (const auto& row : t.rows)
        for (std::size_t c = 0; c < row.size() && c < width.size(); ++c) width[c] = std::max(width[c], row[c].size());
    for (std::size_t c = 0; c < t.columns.size(); ++c) fmt::print("{:<{}}  ", t.columns[c], width[c]);
    fmt::print("\n");
    for (const auto& row : t.rows) {
        for (std::size_t c = 0; c < row.size(); ++c) fmt::print("{:<{}}  ", row[c], width[c]);
        fmt::print("\n");
    }
}

bool EndsWith(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

void Progress(const std::string& line) {
    fmt::print(stderr, "ternival: {}\n", line);
    std::fflush(stderr);
}

std::string MethodName(const Problem& p) {
    if (!p.method.empty()) return p.method;
    return p.default_method.empty() ? std::string("default") : p.default_method;
}

}  // namespace ternival::cli
