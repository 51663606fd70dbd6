// Loading, initialising and closing of the property engine.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/engine_flash.h"
#include "platform/dynlib.h"

namespace ternival {

inline constexpr std::string_view kEngineVersion = "38.0";
inline constexpr std::string_view kEngineLibrary = "qrPropCore.DLL";
inline constexpr std::string_view kNameLibrary = "kvheap.dll";

// Engine state held by a property package.
struct PropertyEngine {
    platform::DynamicLibrary library;
    platform::DynamicLibrary names;  // cf_DllFcn
    int open = 0;                    // 1 while a problem definition file is open
    std::int64_t component_count = -1;  // caches: -1 = not read
    std::int64_t method_count = -1;
    FlashSettings settings;          // FlashTol 1e-7, FlashMaxIter 99999999
};

// Install locations (empty when not found).
struct InstallLocations {
    std::string simulator, engine, framework;
};

// Digits of the version string padded with '0' to four: "38.0" -> 3800.
int VersionNumber(std::string_view version);

// Reads the three locations of the given version from the registry.
InstallLocations FindInstallLocations(std::string_view version, int version_number);

// Composes the search path, loads the engine and fills the entry-point
// slots.  Reports a library that fails to load in a message box.
void LoadPropertyEngine(PropertyEngine& engine);

// Initialises the engine from a problem definition file; true on success.
bool InitializeEngine(PropertyEngine& engine, std::string_view pdf_path);

// Releases the problem definition file and resets the package's lists.
void CloseEngine(PropertyEngine& engine);

// The 8-character run id of the last initialisation (blank-padded), empty
// before any.
const std::string& RunId();
void SetRunId(std::string_view id8);

// Set when a property package is created, cleared when one is closed.
bool PackageCreated();
void SetPackageCreated(bool created);

}  // namespace ternival
