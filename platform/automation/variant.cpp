#include "automation/variant.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

namespace ternival::automation {

std::string HResultHex(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<std::uint32_t>(hr));
    return text;
}

Variant Variant::I4(std::int32_t v) {
    Variant r;
    r.vt = VT_I4;
    r.lVal = v;
    return r;
}
Variant Variant::R8(double v) {
    Variant r;
    r.vt = VT_R8;
    r.dblVal = v;
    return r;
}
Variant Variant::String(Bstr v) {
    Variant r;
    r.vt = VT_BSTR;
    r.bstrVal = std::move(v);
    return r;
}
Variant Variant::Bool(bool v) {
    Variant r;
    r.vt = VT_BOOL;
    r.lVal = v ? VARIANT_TRUE : VARIANT_FALSE;
    return r;
}
Variant Variant::Dispatch(std::shared_ptr<DispatchObject> object) {
    Variant r;
    r.vt = VT_DISPATCH;
    r.pdispVal = std::move(object);
    return r;
}
Variant Variant::Array(SafeArray array) {
    Variant r;
    r.vt = static_cast<VarType>(VT_ARRAY | array.element_type());
    r.parray = std::make_shared<SafeArray>(std::move(array));
    return r;
}

std::unique_ptr<SafeArray> SafeArray::Create(VarType element, std::span<const SafeArrayBound> bounds) {
    if (element != VT_R8 && element != VT_I4 && element != VT_BSTR && element != VT_VARIANT) return nullptr;
    if (bounds.empty() || bounds.size() > kMaxDimensions) return nullptr;
    std::size_t size = 1;
    for (const auto& b : bounds) {
        if (b.count != 0 && size > (std::size_t{1} << 28) / b.count) return nullptr;
        size *= b.count;
    }
    auto a = std::make_unique<SafeArray>(Key{});
    a->element_ = element;
    a->bounds_.assign(bounds.begin(), bounds.end());
    a->size_ = size;
    switch (element) {
        case VT_R8: a->doubles_.assign(size, 0.0); break;
        case VT_I4: a->longs_.assign(size, 0); break;
        case VT_BSTR: a->strings_.assign(size, Bstr{}); break;
        default: a->variants_.assign(size, Variant{}); break;
    }
    return a;
}

bool SafeArray::Offset(std::span<const std::int64_t> indices, std::size_t& offset) const {
    if (indices.size() != bounds_.size()) return false;
    std::size_t o = 0, scale = 1;
    for (std::size_t d = 0; d < bounds_.size(); ++d) {
        const std::int64_t rel = indices[d] - bounds_[d].lbound;
        if (rel < 0 || rel >= static_cast<std::int64_t>(bounds_[d].count)) return false;
        o += static_cast<std::size_t>(rel) * scale;
        scale *= bounds_[d].count;
    }
    offset = o;
    return true;
}

HRESULT SafeArray::PutElement(std::span<const std::int64_t> indices, const Variant& value) {
    std::size_t o = 0;
    if (!Offset(indices, o)) return DISP_E_BADINDEX;
    switch (element_) {
        case VT_R8: return ToDouble(value, doubles_[o]);
        case VT_I4: return ToLong(value, longs_[o]);
        case VT_BSTR: return ToString(value, strings_[o]);
        default: variants_[o] = value; return S_OK;
    }
}

HRESULT SafeArray::GetElement(std::span<const std::int64_t> indices, Variant& value) const {
    std::size_t o = 0;
    if (!Offset(indices, o)) return DISP_E_BADINDEX;
    switch (element_) {
        case VT_R8: value = Variant::R8(doubles_[o]); break;
        case VT_I4: value = Variant::I4(longs_[o]); break;
        case VT_BSTR: value = Variant::String(strings_[o]); break;
        default: value = variants_[o]; break;
    }
    return S_OK;
}

namespace {

bool parseNumber(const Bstr& s, double& out) {
    const char* first = s.data();
    const char* last = s.data() + s.size();
    while (first < last && *first == ' ') ++first;
    while (last > first && last[-1] == ' ') --last;
    if (first == last) return false;
    const auto r = std::from_chars(first, last, out);
    return r.ec == std::errc() && r.ptr == last;
}

}  // namespace

HRESULT ToDouble(const Variant& v, double& out) {
    switch (v.vt) {
        case VT_R8:
        case VT_R4: out = v.dblVal; return S_OK;
        case VT_I4:
        case VT_I2:
        case VT_BOOL: out = v.lVal; return S_OK;
        case VT_BSTR: return parseNumber(v.bstrVal, out) ? S_OK : DISP_E_TYPEMISMATCH;
        default: return DISP_E_TYPEMISMATCH;
    }
}

HRESULT ToLong(const Variant& v, std::int32_t& out) {
    double d = 0.0;
    switch (v.vt) {
        case VT_I4:
        case VT_I2:
        case VT_BOOL: out = v.lVal; return S_OK;
        case VT_R8:
        case VT_R4: d = v.dblVal; break;
        case VT_BSTR:
            if (!parseNumber(v.bstrVal, d)) return DISP_E_TYPEMISMATCH;
            break;
        default: return DISP_E_TYPEMISMATCH;
    }
    if (!std::isfinite(d)) return DISP_E_OVERFLOW;
    const double r = std::nearbyint(d);
    if (r < std::numeric_limits<std::int32_t>::min() || r > std::numeric_limits<std::int32_t>::max())
        return DISP_E_OVERFLOW;
    out = static_cast<std::int32_t>(r);
    return S_OK;
}

HRESULT ToString(const Variant& v, Bstr& out) {
    switch (v.vt) {
        case VT_BSTR: out = v.bstrVal; return S_OK;
        case VT_I4:
        case VT_I2: out = std::to_string(v.lVal); return S_OK;
        case VT_R8: {
            char text[32];
            std::snprintf(text, sizeof text, "%.17g", v.dblVal);
            out = text;
            return S_OK;
        }
        default: return DISP_E_TYPEMISMATCH;
    }
}

namespace {

// Walks every element (i0..i{dims-1}) with the last index fastest and
// hands it the data offset and the array indices.
template <typename Put>
HRESULT pack(Variant& out, VarType element, std::size_t data_size, std::size_t dims, std::size_t max_dims,
             std::span<const std::size_t> counts, std::span<const std::size_t> strides, Put put) {
    if (dims < 1 || dims > max_dims || counts.size() < dims || (dims > 1 && strides.size() < dims)) return E_FAIL;
    std::vector<SafeArrayBound> bounds(dims);
    std::size_t total = 1;
    for (std::size_t d = 0; d < dims; ++d) {
        bounds[d] = {0, static_cast<std::uint32_t>(counts[d])};
        total *= counts[d];
    }
    auto array = SafeArray::Create(element, bounds);
    if (!array) return E_FAIL;
    std::vector<std::int64_t> index(dims, 0);
    for (std::size_t k = 0; k < total; ++k) {
        std::size_t offset = 0;
        for (std::size_t d = 0; d < dims; ++d) offset = (d == 0 ? 0 : offset * strides[d]) + static_cast<std::size_t>(index[d]);
        if (offset >= data_size) return E_FAIL;
        std::size_t at = 0;
        array->Offset(index, at);
        put(*array, at, offset);
        for (std::size_t d = dims; d-- > 0;) {
            if (++index[d] < static_cast<std::int64_t>(counts[d])) break;
            index[d] = 0;
        }
    }
    out = Variant::Array(std::move(*array));
    return S_OK;
}

}  // namespace

HRESULT PackDoubleArray(Variant& out, std::span<const double> data, std::size_t dims,
                        std::span<const std::size_t> counts, std::span<const std::size_t> strides) {
    return pack(out, VT_R8, data.size(), dims, 4, counts, strides,
                [&](SafeArray& a, std::size_t at, std::size_t offset) { a.doubles()[at] = data[offset]; });
}

HRESULT PackLongArray(Variant& out, std::span<const std::int32_t> data, std::size_t dims,
                      std::span<const std::size_t> counts, std::span<const std::size_t> strides) {
    return pack(out, VT_I4, data.size(), dims, 3, counts, strides,
                [&](SafeArray& a, std::size_t at, std::size_t offset) { a.longs()[at] = data[offset]; });
}

HRESULT PackLongArrayFrom64(Variant& out, std::span<const std::int64_t> data, std::size_t dims,
                            std::span<const std::size_t> counts, std::span<const std::size_t> strides) {
    return pack(out, VT_I4, data.size(), dims, 3, counts, strides, [&](SafeArray& a, std::size_t at, std::size_t offset) {
        a.longs()[at] = static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(data[offset])));
    });
}

HRESULT ReadDoubleArray(const Variant& in, std::vector<double>& out) {
    if (!in.IsArray() || in.parray->dimensions() > 3) return E_FAIL;
    const SafeArray& a = *in.parray;
    out.assign(a.size(), 0.0);
    switch (a.element_type()) {
        case VT_R8: out = a.doubles(); return S_OK;
        case VT_I4:
            for (std::size_t i = 0; i < a.size(); ++i) out[i] = a.longs()[i];
            return S_OK;
        case VT_VARIANT:
            for (std::size_t i = 0; i < a.size(); ++i)
                if (Failed(ToDouble(a.variants()[i], out[i]))) return E_FAIL;
            return S_OK;
        default: return E_FAIL;
    }
}

}  // namespace ternival::automation
