// Interface tables, class identities and the type library of the server.
#pragma once

#include <string_view>

#include "automation/typelib.h"

namespace ternival::server {

inline constexpr std::string_view kLibId = "{6B1E3C2A-38D0-4F5B-9A71-2E4C8D0F3A38}";
inline constexpr std::string_view kClsidDistillationApp = "{6B1E3C2B-38D0-4F5B-9A71-2E4C8D0F3A38}";
inline constexpr std::string_view kClsidAzeotropeSearch = "{6B1E3C2C-38D0-4F5B-9A71-2E4C8D0F3A38}";
inline constexpr std::string_view kClsidPropertyPackage = "{6B1E3C2D-38D0-4F5B-9A71-2E4C8D0F3A38}";
inline constexpr std::string_view kClsidDistillationMap = "{6B1E3C2E-38D0-4F5B-9A71-2E4C8D0F3A38}";
inline constexpr std::string_view kIidDistillationApp = "{6B1E3D2B-38D0-4F5B-9A71-2E4C8D0F3A38}";
inline constexpr std::string_view kIidAzeotropeSearch = "{6B1E3D2C-38D0-4F5B-9A71-2E4C8D0F3A38}";
inline constexpr std::string_view kIidPropertyPackage = "{6B1E3D2D-38D0-4F5B-9A71-2E4C8D0F3A38}";
inline constexpr std::string_view kIidDistillationMap = "{6B1E3D2E-38D0-4F5B-9A71-2E4C8D0F3A38}";
// The design extension (beyond the four specified classes).
inline constexpr std::string_view kClsidDistillationDesign = "{6B1E3C2F-38D0-4F5B-9A71-2E4C8D0F3A38}";
inline constexpr std::string_view kIidDistillationDesign = "{6B1E3D2F-38D0-4F5B-9A71-2E4C8D0F3A38}";
inline constexpr std::string_view kVersion = "38.0";

const automation::InterfaceInfo& DistillationAppInterface();
const automation::InterfaceInfo& AzeotropeSearchInterface();
const automation::InterfaceInfo& PropertyPackageInterface();
const automation::InterfaceInfo& DistillationMapInterface();
const automation::InterfaceInfo& DistillationDesignInterface();

// "TERNIVALLib" 38.0: the four specified dual interfaces and classes, and
// the design extension.
const automation::TypeLibraryInfo& TernivalTypeLibrary();

}  // namespace ternival::server
