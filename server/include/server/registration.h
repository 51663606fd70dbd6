// Registration of the server's classes in the registry, and the command
// line that asks for it.
#pragma once

#include <span>
#include <string>
#include <string_view>

namespace ternival::server {

// Root under which class registrations live in the file-backed registry.
inline constexpr std::string_view kClassesRoot = "HKEY_CLASSES_ROOT\\";
// Name under which a key's default value is stored.
inline constexpr std::string_view kDefaultValue = "@";

enum class ServerAction { Serve, RegServer, UnregServer };

// Scans the arguments for a token introduced by '-' or '/' that names
// "RegServer" or "UnregServer" in any letter case; the first such token
// decides.
ServerAction ParseServerCommandLine(std::span<const std::string_view> args);

// Writes the class, ProgID, AppID and type-library entries, with `module`
// as the executable every class is served by.  False when the registry
// cannot be written.
bool RegisterServer(std::string_view module);
// Removes them again; true even when nothing was registered.
bool UnregisterServer();

// The executable registered for a class (its LocalServer32 entry), found
// from a ProgID (versioned or not) or a class identifier "{...}"; empty
// when the class is not registered.
std::string LocalServerFor(std::string_view prog_id_or_clsid);

}  // namespace ternival::server
