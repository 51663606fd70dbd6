// Automation values: VARIANT, SAFEARRAY and BSTR as this server uses them.
//
// A Variant carries a type tag and one value: a 32-bit integer (VT_I4,
// VT_I2, VT_BOOL, VT_ERROR), a double (VT_R8, VT_R4), a string (VT_BSTR,
// held as UTF-8), an array (VT_ARRAY | element type) or an object
// (VT_DISPATCH).  Arrays have 1 to 4 dimensions with any lower bound; their
// elements are stored with the first dimension varying fastest, the layout
// clients of the original runtime see in memory.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "automation/hresult.h"
#include "automation/vartype.h"

namespace ternival::automation {

using Bstr = std::string;

class DispatchObject;
class SafeArray;

struct Variant {
    VarType vt = VT_EMPTY;
    std::int32_t lVal = 0;    // VT_I4, VT_I2, VT_BOOL, VT_ERROR
    double dblVal = 0.0;      // VT_R8, VT_R4
    Bstr bstrVal;             // VT_BSTR
    std::shared_ptr<SafeArray> parray;          // VT_ARRAY | ...
    std::shared_ptr<DispatchObject> pdispVal;   // VT_DISPATCH (null allowed)

    static Variant I4(std::int32_t v);
    static Variant R8(double v);
    static Variant String(Bstr v);
    static Variant Bool(bool v);
    static Variant Dispatch(std::shared_ptr<DispatchObject> object);
    static Variant Array(SafeArray array);

    bool IsArray() const { return IsArrayType(vt) && parray != nullptr; }
};

struct SafeArrayBound {
    std::int64_t lbound = 0;
    std::uint32_t count = 0;
};

class SafeArray {
    struct Key {};  // only Create makes arrays

public:
    static constexpr std::size_t kMaxDimensions = 4;
    explicit SafeArray(Key) {}

    // nullptr when the element type is not one of VT_R8, VT_I4, VT_BSTR,
    // VT_VARIANT, or the dimension count is outside 1..4, or the element
    // count overflows.
    static std::unique_ptr<SafeArray> Create(VarType element, std::span<const SafeArrayBound> bounds);

    VarType element_type() const { return element_; }
    std::size_t dimensions() const { return bounds_.size(); }
    const std::vector<SafeArrayBound>& bounds() const { return bounds_; }
    std::size_t size() const { return size_; }

    // Storage offset of an element; false when the index count or an index
    // is out of range.
    bool Offset(std::span<const std::int64_t> indices, std::size_t& offset) const;

    // Typed storage; the vector matching the element type has size()
    // elements, the others are empty.
    std::vector<double>& doubles() { return doubles_; }
    const std::vector<double>& doubles() const { return doubles_; }
    std::vector<std::int32_t>& longs() { return longs_; }
    const std::vector<std::int32_t>& longs() const { return longs_; }
    std::vector<Bstr>& strings() { return strings_; }
    const std::vector<Bstr>& strings() const { return strings_; }
    std::vector<Variant>& variants() { return variants_; }
    const std::vector<Variant>& variants() const { return variants_; }

    // Element access by indices (SafeArrayPutElement / GetElement): the
    // value is converted to the element type; DISP_E_BADINDEX for indices
    // out of range, DISP_E_TYPEMISMATCH when the value does not convert.
    HRESULT PutElement(std::span<const std::int64_t> indices, const Variant& value);
    HRESULT GetElement(std::span<const std::int64_t> indices, Variant& value) const;

private:
    VarType element_ = VT_EMPTY;
    std::vector<SafeArrayBound> bounds_;
    std::size_t size_ = 0;
    std::vector<double> doubles_;
    std::vector<std::int32_t> longs_;
    std::vector<Bstr> strings_;
    std::vector<Variant> variants_;
};

// Conversions the way VariantChangeType makes them for the types used here:
// integers and doubles into each other (doubles round to nearest, out of
// range is DISP_E_OVERFLOW), numbers from numeric strings; anything else is
// DISP_E_TYPEMISMATCH.
HRESULT ToDouble(const Variant& v, double& out);
HRESULT ToLong(const Variant& v, std::int32_t& out);
HRESULT ToString(const Variant& v, Bstr& out);

// Result packing.  `counts` gives the elements of each dimension (lower
// bound 0); element (i0, i1, i2, i3) takes
// data[((i0*s1 + i1)*s2 + i2)*s3 + i3] with s1..s3 = strides[1..3].
// E_FAIL for more dimensions than allowed (4 for doubles, 3 for longs), for
// data that does not reach the last element, or when the array cannot be
// created.
HRESULT PackDoubleArray(Variant& out, std::span<const double> data, std::size_t dims,
                        std::span<const std::size_t> counts, std::span<const std::size_t> strides);
HRESULT PackLongArray(Variant& out, std::span<const std::int32_t> data, std::size_t dims,
                      std::span<const std::size_t> counts, std::span<const std::size_t> strides);
// The same from 64-bit integers, each element keeping its low 32 bits.
HRESULT PackLongArrayFrom64(Variant& out, std::span<const std::int64_t> data, std::size_t dims,
                            std::span<const std::size_t> counts, std::span<const std::size_t> strides);

// The elements of an array of at most 3 dimensions as doubles, in storage
// order.  E_FAIL when the value is not an array, has more dimensions, or an
// element does not convert.
HRESULT ReadDoubleArray(const Variant& in, std::vector<double>& out);

}  // namespace ternival::automation
