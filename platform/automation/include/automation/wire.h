// The JSON form of automation values on the server's wire.
//
//   {"vt": "EMPTY"}
//   {"vt": "I4", "value": 3}            also I2, BOOL (true/false), ERROR
//   {"vt": "R8", "value": 1.5}
//   {"vt": "BSTR", "value": "WATER"}
//   {"vt": "ARRAY|R8", "bounds": [[lower, count], ...],
//    "data": [...]}                     elements in storage order, first
//                                       dimension fastest; element type
//                                       R8, I4, BSTR or VARIANT
//   {"vt": "DISPATCH", "object": 7}     an object handle (null: no object)
//
// A bare JSON number, string or boolean is accepted as R8 / I4 (integral
// numbers), BSTR and BOOL.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "automation/variant.h"

namespace ternival::automation {

// Object handles are assigned by the caller (the server's object table).
using ObjectToHandle = std::function<std::int64_t(const std::shared_ptr<DispatchObject>&)>;
using HandleToObject = std::function<std::shared_ptr<DispatchObject>(std::int64_t)>;

nlohmann::json ToWire(const Variant& v, const ObjectToHandle& handles);

// Most elements an array value may declare.
inline constexpr std::uint64_t kMaxWireElements = std::uint64_t{1} << 22;

// False (with a reason) for malformed values: unknown type names, arrays
// whose data do not match their bounds, more than 4 dimensions, unknown
// object handles.
bool FromWire(const nlohmann::json& j, const HandleToObject& objects, Variant& out, std::string& reason);

}  // namespace ternival::automation
