#include "platform/dynlib.h"

#include <dlfcn.h>

#include <cctype>

#include "platform/system.h"

namespace ternival::platform {

std::string PlatformLibraryName(std::string_view name) {
    if (name.find('/') != std::string_view::npos || name.ends_with(".so")) return std::string(name);
    std::string base(name);
    if (const auto dot = base.rfind('.'); dot != std::string::npos) {
        std::string ext = base.substr(dot + 1);
        for (auto& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (ext == "dll") base.erase(dot);
    }
    return "lib" + base + ".so";
}

std::string FindLibraryOnPath(std::string_view name) {
    const std::string file = PlatformLibraryName(name);
    if (file.find('/') != std::string::npos) return file;
    const std::string path = GetEnv("PATH").value_or("");
    std::size_t start = 0;
    while (start <= path.size()) {
        auto end = path.find(kPathListSeparator, start);
        if (end == std::string::npos) end = path.size();
        const std::string dir = path.substr(start, end - start);
        if (!dir.empty()) {
            const std::string candidate = dir + kPathSeparator + file;
            if (FileExists(candidate)) return candidate;
        }
        start = end + 1;
    }
    return file;
}

void DynamicLibrary::Closer::operator()(void* h) const {
    if (h) ::dlclose(h);
}

DynamicLibrary DynamicLibrary::Load(std::string_view name) {
    DynamicLibrary lib;
    lib.path_ = FindLibraryOnPath(name);
    ::dlerror();
    void* h = ::dlopen(lib.path_.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!h) {
        const char* e = ::dlerror();
        lib.error_ = e ? e : "The specified module could not be found.";
    }
    lib.handle_.reset(h);
    return lib;
}

void* DynamicLibrary::symbol(const char* name) const {
    if (!handle_ || !name) return nullptr;
    return ::dlsym(handle_.get(), name);
}

}  // namespace ternival::platform
