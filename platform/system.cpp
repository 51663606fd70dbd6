#include "platform/system.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <sys/stat.h>
#include <map>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

namespace ternival::platform {

std::optional<std::string> GetEnv(std::string_view name) {
    const char* v = std::getenv(std::string(name).c_str());
    if (!v) return std::nullopt;
    return std::string(v);
}

bool PutEnv(std::string_view assignment) {
    const auto eq = assignment.find('=');
    if (eq == std::string_view::npos || eq == 0) return false;
    const std::string name(assignment.substr(0, eq));
    const std::string value(assignment.substr(eq + 1));
    return ::setenv(name.c_str(), value.c_str(), 1) == 0;
}

bool UnsetEnv(std::string_view name) { return ::unsetenv(std::string(name).c_str()) == 0; }

namespace {

bool ShortNameCharacter(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || std::strchr("!#$%&'()-@^_`{}~", c) != nullptr;
}

// A name that is already a valid 8.3 name (letter case aside) keeps it.
bool IsShortName(std::string_view name) {
    const auto dot = name.find('.');
    const std::string_view base = name.substr(0, dot);
    const std::string_view ext = dot == std::string_view::npos ? std::string_view{} : name.substr(dot + 1);
    if (base.empty() || base.size() > 8 || ext.size() > 3) return false;
    if (dot != std::string_view::npos && ext.empty()) return false;
    return std::all_of(base.begin(), base.end(), ShortNameCharacter) &&
           std::all_of(ext.begin(), ext.end(), ShortNameCharacter);
}

// The upper-case letters of a long name that may stand in a short one.
std::string ShortNameStem(std::string_view text, std::size_t limit) {
    std::string out;
    for (char c : text) {
        if (out.size() == limit) break;
        if (c == ' ' || c == '.') continue;
        out += ShortNameCharacter(c) ? static_cast<char>(std::toupper(static_cast<unsigned char>(c))) : '_';
    }
    return out;
}

// The stem and extension a long name's short name is made of.
std::pair<std::string, std::string> ShortNameParts(std::string_view name) {
    const auto dot = name.rfind('.');
    const bool has_ext = dot != std::string_view::npos && dot > 0;
    std::string stem = ShortNameStem(has_ext ? name.substr(0, dot) : name, 6);
    if (stem.empty()) stem = "_";
    return {stem, has_ext ? ShortNameStem(name.substr(dot + 1), 3) : std::string()};
}

// Birth time of a file in nanoseconds, when the file system keeps it.
std::optional<std::int64_t> BirthTime(const std::filesystem::path& path) {
    struct statx st {};
    if (::statx(AT_FDCWD, path.c_str(), 0, STATX_BTIME, &st) != 0 || !(st.stx_mask & STATX_BTIME))
        return std::nullopt;
    return static_cast<std::int64_t>(st.stx_btime.tv_sec) * 1000000000 + st.stx_btime.tv_nsec;
}

}  // namespace

std::string ShortPathName(std::string_view path) {
    // Only the file name is shortened (it gives the run id).  Long names
    // become STEM~N.EXT: the first six usable characters upper-cased, and N
    // numbers, in name order, the long names of the directory that share
    // stem and extension, so that two files of one directory never share
    // a short name.  A name that is already 8.3 keeps it, and no ~N name
    // takes one that a file of the directory already has.
    if (path.empty()) return {};
    const std::filesystem::path full{std::string(path)};
    const std::string name = full.filename().string();
    if (name.empty() || IsShortName(name)) return std::string(path);
    const auto [stem, ext] = ShortNameParts(name);

    std::vector<std::string> siblings;  // long names with the same parts
    std::set<std::string> taken;        // short names in use, upper case
    std::error_code ec;
    const std::filesystem::path dir = full.has_parent_path() ? full.parent_path() : std::filesystem::path(".");
    for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string other = it->path().filename().string();
        if (IsShortName(other)) {
            std::string upper = other;
            for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            taken.insert(upper);
        } else if (ShortNameParts(other) == std::make_pair(stem, ext)) siblings.push_back(other);
    }
    if (std::find(siblings.begin(), siblings.end(), name) == siblings.end()) siblings.push_back(name);
    // Numbered in the order the files were made, then by name, as short
    // names are handed out when files are created: a file added later never
    // moves an older one to another short name (and so another run log).
    std::vector<std::pair<std::optional<std::int64_t>, std::string>> order;
    for (auto& s : siblings) order.emplace_back(BirthTime(dir / s), std::move(s));
    std::sort(order.begin(), order.end(), [](const auto& a, const auto& b) {
        // Files whose birth time the file system does not keep come last,
        // in name order.
        if (a.first.has_value() != b.first.has_value()) return a.first.has_value();
        if (a.first != b.first) return *a.first < *b.first;
        return a.second < b.second;
    });
    siblings.clear();
    for (auto& o : order) siblings.push_back(std::move(o.second));
    const auto rank = static_cast<std::size_t>(std::find(siblings.begin(), siblings.end(), name) - siblings.begin());

    // The rank-th free short name of the pattern.
    std::string shortname;
    for (std::size_t n = 1, free = 0; ; ++n) {
        const std::string tail = "~" + std::to_string(n);
        shortname = stem.substr(0, 8 - tail.size()) + tail + (ext.empty() ? "" : "." + ext);
        if (taken.count(shortname)) continue;
        if (free++ == rank) break;
    }
    return (full.has_parent_path() ? full.parent_path() / shortname : std::filesystem::path(shortname)).string();
}

bool DirectoryExists(std::string_view path) {
    std::error_code ec;
    return !path.empty() && std::filesystem::is_directory(path, ec);
}

bool NonEmptyFileExists(std::string_view path) {
    std::error_code ec;
    if (path.empty() || !std::filesystem::is_regular_file(path, ec)) return false;
    return std::filesystem::file_size(path, ec) > 0 && !ec;
}

bool FileExists(std::string_view path) {
    std::error_code ec;
    return !path.empty() && std::filesystem::exists(path, ec);
}

std::string CurrentDirectory() {
    std::error_code ec;
    auto p = std::filesystem::current_path(ec);
    return ec ? std::string() : p.string();
}

bool SetCurrentDirectory(std::string_view path) {
    std::error_code ec;
    std::filesystem::current_path(path, ec);
    return !ec;
}

std::string SystemErrorText(int error_number) {
    char buffer[256] = {};
    // GNU strerror_r returns the message pointer (maybe not `buffer`).
    const char* text = ::strerror_r(error_number, buffer, sizeof buffer);
    return text ? std::string(text) : std::string("Unknown error");
}

}  // namespace ternival::platform
