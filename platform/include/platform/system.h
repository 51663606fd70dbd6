// Process environment, paths and file-system queries in the form the engine
// bridge uses them.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace ternival::platform {

// Separator between entries of PATH and between path components.
inline constexpr char kPathListSeparator = ':';
inline constexpr char kPathSeparator = '/';

std::optional<std::string> GetEnv(std::string_view name);
// Takes "NAME=value" as the process environment call does; false on failure.
bool PutEnv(std::string_view assignment);
bool UnsetEnv(std::string_view name);

// Short (8.3) form of a path's file name, unique within its directory:
// "acetone_chloroform_methanol.toml" becomes "ACETON~1.TOM" and a second
// acetone_*.toml beside it "ACETON~2.TOM"; a name that is already 8.3
// keeps it.  Directories are left as they are; empty input gives empty
// output.
std::string ShortPathName(std::string_view path);

bool DirectoryExists(std::string_view path);
bool NonEmptyFileExists(std::string_view path);
bool FileExists(std::string_view path);

std::string CurrentDirectory();
bool SetCurrentDirectory(std::string_view path);

// Text of a system error number (errno).
std::string SystemErrorText(int error_number);

}  // namespace ternival::platform
