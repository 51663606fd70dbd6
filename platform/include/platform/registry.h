// File-backed stand-in for the machine-wide registry (HKEY_LOCAL_MACHINE).
//
// The registry is an INI-style text file: a section per key path, written
// with backslashes as on the original platform, and "name=value" lines.
//
//   [SOFTWARE\Corvath\Velmora\38.0\velmora]
//   velmtop=/opt/velmora
//
// The file is named by the environment variable TERNIVAL_REGISTRY, or
// $XDG_CONFIG_HOME/ternival/registry.ini ($HOME/.config/... without it).
// Key paths compare without regard to letter case, as registry keys do.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace ternival::platform {

// Location of the registry file in effect now.
std::string RegistryFilePath();

// Reads a string value, truncated to max_bytes - 1 characters like a
// fixed-size buffer would hold.  nullopt when the key or the value is absent.
std::optional<std::string> RegistryReadString(std::string_view key, std::string_view value,
                                              std::size_t max_bytes = 262);

// True when the key exists (with or without values).
bool RegistryKeyExists(std::string_view key);

// Creates the key when needed and sets the value; false when the file
// cannot be written.
bool RegistryWriteString(std::string_view key, std::string_view value, std::string_view data);

// Creates an empty key when it does not exist; false when the file cannot
// be written.
bool RegistryCreateKey(std::string_view key);
// Removes a key and every key below it; true when something was removed.
bool RegistryDeleteTree(std::string_view key);

// All values of a key (empty when absent).
std::map<std::string, std::string> RegistryValues(std::string_view key);

}  // namespace ternival::platform
