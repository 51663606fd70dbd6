#include "platform/system.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>

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

std::string ShortPathName(std::string_view path) { return std::string(path); }

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
