// Status codes of the automation layer.
//
// Every automation call reports its outcome as a 32-bit HRESULT: bit 31 set
// means failure, the low 16 bits carry the code and bits 16..26 the facility.
// The numeric values are the ones clients of the original runtime know, so
// they can be handed across the wire unchanged and compared with published
// tables.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace ternival::automation {

using HRESULT = std::int32_t;

namespace detail {
constexpr HRESULT MakeHr(std::uint32_t bits) { return static_cast<HRESULT>(bits); }
}  // namespace detail

// Success codes.
inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;

// General failures (facility NULL / WIN32).
inline constexpr HRESULT E_NOTIMPL = detail::MakeHr(0x80004001u);
inline constexpr HRESULT E_NOINTERFACE = detail::MakeHr(0x80004002u);
inline constexpr HRESULT E_POINTER = detail::MakeHr(0x80004003u);
inline constexpr HRESULT E_ABORT = detail::MakeHr(0x80004004u);
inline constexpr HRESULT E_FAIL = detail::MakeHr(0x80004005u);
inline constexpr HRESULT E_UNEXPECTED = detail::MakeHr(0x8000FFFFu);
inline constexpr HRESULT E_ACCESSDENIED = detail::MakeHr(0x80070005u);
inline constexpr HRESULT E_HANDLE = detail::MakeHr(0x80070006u);
inline constexpr HRESULT E_OUTOFMEMORY = detail::MakeHr(0x8007000Eu);
inline constexpr HRESULT E_INVALIDARG = detail::MakeHr(0x80070057u);

// Dispatch failures (facility DISPATCH).
inline constexpr HRESULT DISP_E_UNKNOWNINTERFACE = detail::MakeHr(0x80020001u);
inline constexpr HRESULT DISP_E_MEMBERNOTFOUND = detail::MakeHr(0x80020003u);
inline constexpr HRESULT DISP_E_PARAMNOTFOUND = detail::MakeHr(0x80020004u);
inline constexpr HRESULT DISP_E_TYPEMISMATCH = detail::MakeHr(0x80020005u);
inline constexpr HRESULT DISP_E_UNKNOWNNAME = detail::MakeHr(0x80020006u);
inline constexpr HRESULT DISP_E_NONAMEDARGS = detail::MakeHr(0x80020007u);
inline constexpr HRESULT DISP_E_BADVARTYPE = detail::MakeHr(0x80020008u);
inline constexpr HRESULT DISP_E_EXCEPTION = detail::MakeHr(0x80020009u);
inline constexpr HRESULT DISP_E_OVERFLOW = detail::MakeHr(0x8002000Au);
inline constexpr HRESULT DISP_E_BADINDEX = detail::MakeHr(0x8002000Bu);
inline constexpr HRESULT DISP_E_UNKNOWNLCID = detail::MakeHr(0x8002000Cu);
inline constexpr HRESULT DISP_E_ARRAYISLOCKED = detail::MakeHr(0x8002000Du);
inline constexpr HRESULT DISP_E_BADPARAMCOUNT = detail::MakeHr(0x8002000Eu);
inline constexpr HRESULT DISP_E_PARAMNOTOPTIONAL = detail::MakeHr(0x8002000Fu);
inline constexpr HRESULT DISP_E_BADCALLEE = detail::MakeHr(0x80020010u);
inline constexpr HRESULT DISP_E_NOTACOLLECTION = detail::MakeHr(0x80020011u);
inline constexpr HRESULT DISP_E_DIVBYZERO = detail::MakeHr(0x80020012u);

// Type library failures.
inline constexpr HRESULT TYPE_E_LIBNOTREGISTERED = detail::MakeHr(0x8002801Du);
inline constexpr HRESULT TYPE_E_ELEMENTNOTFOUND = detail::MakeHr(0x8002802Bu);

// Class factory, registration and activation failures.
inline constexpr HRESULT CLASS_E_NOAGGREGATION = detail::MakeHr(0x80040110u);
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = detail::MakeHr(0x80040111u);
inline constexpr HRESULT REGDB_E_CLASSNOTREG = detail::MakeHr(0x80040154u);
inline constexpr HRESULT SELFREG_E_TYPELIB = detail::MakeHr(0x80040200u);
inline constexpr HRESULT SELFREG_E_CLASS = detail::MakeHr(0x80040201u);
inline constexpr HRESULT CO_E_CLASSSTRING = detail::MakeHr(0x800401F3u);

constexpr bool Succeeded(HRESULT hr) { return hr >= 0; }
constexpr bool Failed(HRESULT hr) { return hr < 0; }

// "0x80004005".
std::string HResultHex(HRESULT hr);

}  // namespace ternival::automation
