// Run-time loading of shared libraries.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace ternival::platform {

// Maps a library name of the original platform ("qrPropCore.DLL") to the
// file name used here ("libqrPropCore.so").  Names with a '/' or ending in
// ".so" are taken as they are.
std::string PlatformLibraryName(std::string_view name);

// Looks the file up along the directories of the PATH variable as it is now
// in the process environment (the dynamic loader reads its own search path
// only once, at start-up), then in the loader's default places.
// Returns the full path found, or the platform name when not found on PATH.
std::string FindLibraryOnPath(std::string_view name);

// An open shared library; closing happens on destruction.  Each successful
// Load raises the library's load count, as repeated loading does.
class DynamicLibrary {
public:
    DynamicLibrary() = default;
    // Searches PATH as FindLibraryOnPath; on failure the library is not
    // loaded and error() holds the loader's text.
    static DynamicLibrary Load(std::string_view name);

    bool loaded() const { return handle_ != nullptr; }
    const std::string& error() const { return error_; }
    const std::string& path() const { return path_; }
    void* symbol(const char* name) const;

private:
    struct Closer {
        void operator()(void* h) const;
    };
    std::unique_ptr<void, Closer> handle_;
    std::string error_;
    std::string path_;
};

}  // namespace ternival::platform
