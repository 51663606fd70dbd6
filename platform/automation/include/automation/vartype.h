// Type tags of automation values.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ternival::automation {

using VarType = std::uint16_t;

inline constexpr VarType VT_EMPTY = 0;
inline constexpr VarType VT_NULL = 1;
inline constexpr VarType VT_I2 = 2;
inline constexpr VarType VT_I4 = 3;
inline constexpr VarType VT_R4 = 4;
inline constexpr VarType VT_R8 = 5;
inline constexpr VarType VT_CY = 6;
inline constexpr VarType VT_DATE = 7;
inline constexpr VarType VT_BSTR = 8;
inline constexpr VarType VT_DISPATCH = 9;
inline constexpr VarType VT_ERROR = 10;
inline constexpr VarType VT_BOOL = 11;
inline constexpr VarType VT_VARIANT = 12;
inline constexpr VarType VT_UNKNOWN = 13;
inline constexpr VarType VT_DECIMAL = 14;
inline constexpr VarType VT_I1 = 16;
inline constexpr VarType VT_UI1 = 17;
inline constexpr VarType VT_UI2 = 18;
inline constexpr VarType VT_UI4 = 19;
inline constexpr VarType VT_I8 = 20;
inline constexpr VarType VT_UI8 = 21;
inline constexpr VarType VT_INT = 22;
inline constexpr VarType VT_UINT = 23;
inline constexpr VarType VT_VOID = 24;
inline constexpr VarType VT_HRESULT = 25;
inline constexpr VarType VT_SAFEARRAY = 27;

inline constexpr VarType VT_VECTOR = 0x1000;
inline constexpr VarType VT_ARRAY = 0x2000;
inline constexpr VarType VT_BYREF = 0x4000;
inline constexpr VarType VT_TYPEMASK = 0x0FFF;

// VARIANT_BOOL: true is all bits set.
using VariantBool = std::int16_t;
inline constexpr VariantBool VARIANT_TRUE = -1;
inline constexpr VariantBool VARIANT_FALSE = 0;

constexpr VarType BaseType(VarType vt) { return vt & VT_TYPEMASK; }
constexpr bool IsArrayType(VarType vt) { return (vt & VT_ARRAY) != 0; }

// Text form used in type library descriptions and on the wire: the base
// name without the "VT_" prefix, modifiers first: "R8", "ARRAY|R8",
// "BYREF|VARIANT".  Unknown base types print as their number.
std::string VarTypeName(VarType vt);

// Inverse of VarTypeName; also accepts a "VT_" prefix on every token and
// any letter case.  nullopt for unknown names or modifiers.
std::optional<VarType> ParseVarTypeName(std::string_view text);

}  // namespace ternival::automation
