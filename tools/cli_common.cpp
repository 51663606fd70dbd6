#include "cli_common.h"

#include <algorithm>
#include <cmath>
#include <sstream>

#include "engine/engine_flash.h"
#include "platform/system.h"

namespace ternival::cli {

std::vector<std::string> SplitList(const std::string& text) {
    std::vector<std::string> out;
    std::stringstream s(text);
    std::string item;
    while (std::getline(s, item, ',')) {
        const auto b = item.find_first_not_of(" \t");
        const auto e = item.find_last_not_of(" \t");
        out.push_back(b == std::string::npos ? std::string() : item.substr(b, e - b + 1));
    }
    return out;
}

std::vector<double> ParseComposition(const std::string& text, std::size_t expected) {
    std::vector<double> x;
    for (const std::string& item : SplitList(text)) {
        std::size_t used = 0;
        double v = 0.0;
        try {
            v = std::stod(item, &used);
        } catch (const std::exception&) {
            used = 0;
        }
        if (used == 0 || used != item.size() || !std::isfinite(v))
            throw InputError("composition: '" + item + "' is not a number");
        if (v < 0.0) throw InputError("composition: fractions must not be negative (" + item + ")");
        x.push_back(v);
    }
    if (x.size() != expected)
        throw InputError("composition: expected " + std::to_string(expected) + " mole fractions, got " +
                         std::to_string(x.size()));
    double sum = 0.0;
    for (double v : x) sum += v;
    if (std::abs(sum - 1.0) > 1e-6)
        throw InputError("composition: mole fractions sum to " + std::to_string(sum) + ", not 1");
    return x;
}

void CheckPressure(double pressure) {
    if (!std::isfinite(pressure) || pressure <= 0.0)
        throw InputError("pressure must be a positive number of Pa");
    if (pressure > kMaxPressure) throw InputError("pressure above 100 MPa is outside the engine's ideal-gas model");
}

std::vector<std::int64_t> ComponentIndices(const Problem& p) {
    std::vector<std::int64_t> ids;
    for (const std::string& c : p.components) {
        const std::int64_t index = LookupComponentIndex(c);
        if (index == 0) throw InputError("unknown component '" + c + "' in " + p.file);
        if (std::find(ids.begin(), ids.end(), index) != ids.end())
            throw InputError("component '" + c + "' is named twice");
        ids.push_back(index);
    }
    return ids;
}

void DefaultToBuiltInExample(Problem& p) {
    if (!p.file.empty() || !p.components.empty()) return;
    p.file = BuiltInExample();
    if (p.components.empty()) p.components = {"ACETONE", "CHLOROFM", "METHANOL"};
}

void RequireThree(const Problem& p) {
    if (p.components.size() != 3)
        throw InputError("a ternary diagram needs exactly three components, got " +
                         std::to_string(p.components.size()));
}

void PrepareTernary(Problem& p) {
    DefaultToBuiltInExample(p);
    if (!p.components.empty()) RequireThree(p);
}

std::string BuiltInExample() {
    if (auto dir = platform::GetEnv("TERNIVAL_EXAMPLES"); dir && !dir->empty())
        return *dir + "/acetone_chloroform_methanol.toml";
    return std::string(TERNIVAL_EXAMPLES_DIR) + "/acetone_chloroform_methanol.toml";
}

}  // namespace ternival::cli
