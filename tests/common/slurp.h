// The whole of a file as text, "" when it cannot be read; how often a text
// occurs in another.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

inline std::string Slurp(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
    return n;
}
