#include "platform/registry.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "platform/system.h"

namespace ternival::platform {
namespace {

struct Section {
    std::string key;
    std::vector<std::pair<std::string, std::string>> values;
};

std::string lower(std::string_view s) {
    std::string out(s);
    std::ranges::transform(out, out.begin(), [](unsigned char c) { return std::tolower(c); });
    return out;
}

// Key paths are compared without case and without leading/trailing '\'.
std::string normaliseKey(std::string_view key) {
    while (!key.empty() && key.front() == '\\') key.remove_prefix(1);
    while (!key.empty() && key.back() == '\\') key.remove_suffix(1);
    return lower(key);
}

std::string trim(std::string_view s) {
    const auto b = s.find_first_not_of(" \t\r");
    if (b == std::string_view::npos) return {};
    const auto e = s.find_last_not_of(" \t\r");
    return std::string(s.substr(b, e - b + 1));
}

std::vector<Section> readFile() {
    std::vector<Section> sections;
    std::ifstream in(RegistryFilePath());
    std::string line;
    while (std::getline(in, line)) {
        const std::string t = trim(line);
        if (t.empty() || t[0] == ';' || t[0] == '#') continue;
        if (t.front() == '[' && t.back() == ']') {
            sections.push_back({t.substr(1, t.size() - 2), {}});
        } else if (const auto eq = t.find('='); eq != std::string::npos && !sections.empty()) {
            sections.back().values.emplace_back(trim(t.substr(0, eq)), trim(t.substr(eq + 1)));
        }
    }
    return sections;
}

// Held across a read-modify-write of the file: processes that change the
// registry at once (an engine and its workers registering together) take
// turns, so none loses another's change.  Readers need no lock, since the
// file is only ever replaced whole.
class WriteLock {
public:
    WriteLock() {
        const std::filesystem::path path = RegistryFilePath();
        std::error_code ec;
        if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path(), ec);
        fd_ = ::open((path.string() + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ >= 0)
            while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
            }
    }
    ~WriteLock() {
        if (fd_ >= 0) ::close(fd_);  // closing releases the lock
    }
    WriteLock(const WriteLock&) = delete;
    WriteLock& operator=(const WriteLock&) = delete;

private:
    int fd_ = -1;
};

// Called under a WriteLock, which has made the file's folder.
bool writeFile(const std::vector<Section>& sections) {
    const std::filesystem::path path = RegistryFilePath();
    std::error_code ec;
    // Write a sibling of this process's own first and rename, so a crash
    // never leaves half a file and no other writer's sibling is touched.
    const std::filesystem::path tmp = path.string() + ".tmp." + std::to_string(::getpid());
    {
        std::ofstream out(tmp, std::ios::trunc);
        if (!out) return false;
        for (const auto& s : sections) {
            out << '[' << s.key << "]\n";
            for (const auto& [name, data] : s.values) out << name << '=' << data << '\n';
            out << '\n';
        }
        if (!out.flush()) return false;
    }
    std::filesystem::rename(tmp, path, ec);
    if (ec) {
        std::error_code ignored;
        std::filesystem::remove(tmp, ignored);
    }
    return !ec;
}

Section* find(std::vector<Section>& sections, std::string_view key) {
    const std::string k = normaliseKey(key);
    for (auto& s : sections)
        if (normaliseKey(s.key) == k) return &s;
    return nullptr;
}

}  // namespace

std::string RegistryFilePath() {
    if (auto env = GetEnv("TERNIVAL_REGISTRY"); env && !env->empty()) return *env;
    if (auto xdg = GetEnv("XDG_CONFIG_HOME"); xdg && !xdg->empty())
        return *xdg + "/ternival/registry.ini";
    return GetEnv("HOME").value_or(".") + "/.config/ternival/registry.ini";
}

std::optional<std::string> RegistryReadString(std::string_view key, std::string_view value,
                                              std::size_t max_bytes) {
    auto sections = readFile();
    const Section* s = find(sections, key);
    if (!s) return std::nullopt;
    for (const auto& [name, data] : s->values) {
        if (lower(name) == lower(value)) {
            if (max_bytes == 0) return std::string();
            return data.substr(0, std::min(data.size(), max_bytes - 1));
        }
    }
    return std::nullopt;
}

bool RegistryKeyExists(std::string_view key) {
    auto sections = readFile();
    return find(sections, key) != nullptr;
}

bool RegistryWriteString(std::string_view key, std::string_view value, std::string_view data) {
    const WriteLock lock;
    auto sections = readFile();
    Section* s = find(sections, key);
    if (!s) {
        sections.push_back({std::string(key), {}});
        s = &sections.back();
    }
    auto it = std::ranges::find_if(s->values, [&](const auto& v) { return lower(v.first) == lower(value); });
    if (it != s->values.end())
        it->second = std::string(data);
    else
        s->values.emplace_back(std::string(value), std::string(data));
    return writeFile(sections);
}

bool RegistryCreateKey(std::string_view key) {
    const WriteLock lock;
    auto sections = readFile();
    if (find(sections, key)) return true;
    sections.push_back({std::string(key), {}});
    return writeFile(sections);
}

bool RegistryDeleteTree(std::string_view key) {
    const WriteLock lock;
    auto sections = readFile();
    const std::string k = normaliseKey(key);
    const auto before = sections.size();
    std::erase_if(sections, [&](const Section& s) {
        const std::string sk = normaliseKey(s.key);
        return sk == k || sk.starts_with(k + "\\");
    });
    if (sections.size() == before) return false;
    return writeFile(sections);
}

std::map<std::string, std::string> RegistryValues(std::string_view key) {
    auto sections = readFile();
    std::map<std::string, std::string> out;
    if (const Section* s = find(sections, key))
        for (const auto& [name, data] : s->values) out[name] = data;
    return out;
}

}  // namespace ternival::platform
