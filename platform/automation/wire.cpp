#include "automation/wire.h"

#include <cctype>
#include <cmath>
#include <limits>

namespace ternival::automation {

namespace {

struct Named {
    VarType vt;
    const char* name;
};
constexpr Named kNames[] = {
    {VT_EMPTY, "EMPTY"}, {VT_NULL, "NULL"},     {VT_I2, "I2"},         {VT_I4, "I4"},
    {VT_R4, "R4"},       {VT_R8, "R8"},         {VT_CY, "CY"},         {VT_DATE, "DATE"},
    {VT_BSTR, "BSTR"},   {VT_DISPATCH, "DISPATCH"}, {VT_ERROR, "ERROR"}, {VT_BOOL, "BOOL"},
    {VT_VARIANT, "VARIANT"}, {VT_UNKNOWN, "UNKNOWN"}, {VT_DECIMAL, "DECIMAL"}, {VT_I1, "I1"},
    {VT_UI1, "UI1"},     {VT_UI2, "UI2"},       {VT_UI4, "UI4"},       {VT_I8, "I8"},
    {VT_UI8, "UI8"},     {VT_INT, "INT"},       {VT_UINT, "UINT"},     {VT_VOID, "VOID"},
    {VT_HRESULT, "HRESULT"}, {VT_SAFEARRAY, "SAFEARRAY"},
};

std::string upper(std::string_view s) {
    std::string u(s);
    for (char& c : u) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return u;
}

}  // namespace

std::string VarTypeName(VarType vt) {
    std::string out;
    if (vt & VT_BYREF) out += "BYREF|";
    if (vt & VT_ARRAY) out += "ARRAY|";
    if (vt & VT_VECTOR) out += "VECTOR|";
    const VarType base = BaseType(vt);
    for (const auto& n : kNames)
        if (n.vt == base) return out + n.name;
    return out + std::to_string(base);
}

std::optional<VarType> ParseVarTypeName(std::string_view text) {
    VarType vt = 0;
    bool have_base = false;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t bar = text.find('|', start);
        std::string token = upper(text.substr(start, bar == std::string_view::npos ? std::string_view::npos : bar - start));
        if (token.rfind("VT_", 0) == 0) token = token.substr(3);
        if (token == "ARRAY") vt |= VT_ARRAY;
        else if (token == "BYREF") vt |= VT_BYREF;
        else if (token == "VECTOR") vt |= VT_VECTOR;
        else {
            bool known = false;
            for (const auto& n : kNames)
                if (token == n.name) {
                    if (have_base) return std::nullopt;
                    vt |= n.vt;
                    known = have_base = true;
                }
            if (!known) return std::nullopt;
        }
        if (bar == std::string_view::npos) break;
        start = bar + 1;
    }
    if (!have_base) return std::nullopt;
    return vt;
}

nlohmann::json ToWire(const Variant& v, const ObjectToHandle& handles) {
    nlohmann::json j;
    j["vt"] = VarTypeName(v.vt);
    if (v.IsArray()) {
        const SafeArray& a = *v.parray;
        j["vt"] = VarTypeName(static_cast<VarType>(VT_ARRAY | a.element_type()));
        nlohmann::json bounds = nlohmann::json::array();
        for (const auto& b : a.bounds()) bounds.push_back({b.lbound, b.count});
        j["bounds"] = bounds;
        nlohmann::json data = nlohmann::json::array();
        switch (a.element_type()) {
            case VT_R8:
                for (double d : a.doubles()) data.push_back(d);
                break;
            case VT_I4:
                for (auto l : a.longs()) data.push_back(l);
                break;
            case VT_BSTR:
                for (const auto& s : a.strings()) data.push_back(s);
                break;
            default:
                for (const auto& e : a.variants()) data.push_back(ToWire(e, handles));
                break;
        }
        j["data"] = data;
        return j;
    }
    switch (BaseType(v.vt)) {
        case VT_I4:
        case VT_I2:
        case VT_ERROR: j["value"] = v.lVal; break;
        case VT_BOOL: j["value"] = v.lVal != 0; break;
        case VT_R8:
        case VT_R4:
            // JSON has no infinities or NaN; they travel as strings.
            if (std::isfinite(v.dblVal)) j["value"] = v.dblVal;
            else j["value"] = std::isnan(v.dblVal) ? "NaN" : (v.dblVal > 0 ? "Infinity" : "-Infinity");
            break;
        case VT_BSTR: j["value"] = v.bstrVal; break;
        case VT_DISPATCH:
            if (v.pdispVal) j["object"] = handles(v.pdispVal);
            else j["object"] = nullptr;
            break;
        default: break;
    }
    return j;
}

namespace {

bool scalar(const nlohmann::json& j, VarType vt, const HandleToObject& objects, Variant& out, std::string& reason) {
    const auto& value = j.contains("value") ? j["value"] : nlohmann::json();
    out = Variant{};
    out.vt = vt;
    switch (vt) {
        case VT_EMPTY:
        case VT_NULL: return true;
        case VT_I4:
        case VT_I2:
        case VT_ERROR:
            if (!value.is_number_integer()) break;
            if (value.get<std::int64_t>() < std::numeric_limits<std::int32_t>::min() ||
                value.get<std::int64_t>() > std::numeric_limits<std::int32_t>::max()) {
                reason = "integer out of range";
                return false;
            }
            out.lVal = value.get<std::int32_t>();
            return true;
        case VT_BOOL:
            if (!value.is_boolean() && !value.is_number_integer()) break;
            out.lVal = (value.is_boolean() ? value.get<bool>() : value.get<std::int64_t>() != 0) ? VARIANT_TRUE : VARIANT_FALSE;
            return true;
        case VT_R8:
        case VT_R4:
            if (value.is_number()) {
                out.dblVal = value.get<double>();
                return true;
            }
            if (value.is_string()) {
                const auto s = value.get<std::string>();
                if (s == "NaN") out.dblVal = std::numeric_limits<double>::quiet_NaN();
                else if (s == "Infinity") out.dblVal = std::numeric_limits<double>::infinity();
                else if (s == "-Infinity") out.dblVal = -std::numeric_limits<double>::infinity();
                else break;
                return true;
            }
            break;
        case VT_BSTR:
            if (!value.is_string()) break;
            out.bstrVal = value.get<std::string>();
            return true;
        case VT_DISPATCH: {
            const auto& handle = j.contains("object") ? j["object"] : nlohmann::json();
            if (handle.is_null()) return true;
            if (!handle.is_number_integer() || !(out.pdispVal = objects(handle.get<std::int64_t>()))) {
                reason = "unknown object handle";
                return false;
            }
            return true;
        }
        default:
            reason = "unsupported type " + VarTypeName(vt);
            return false;
    }
    reason = "value does not match type " + VarTypeName(vt);
    return false;
}

}  // namespace

bool FromWire(const nlohmann::json& j, const HandleToObject& objects, Variant& out, std::string& reason) {
    if (j.is_number_integer() && j.get<std::int64_t>() >= std::numeric_limits<std::int32_t>::min() &&
        j.get<std::int64_t>() <= std::numeric_limits<std::int32_t>::max()) {
        out = Variant::I4(j.get<std::int32_t>());
        return true;
    }
    if (j.is_number()) {
        out = Variant::R8(j.get<double>());
        return true;
    }
    if (j.is_string()) {
        out = Variant::String(j.get<std::string>());
        return true;
    }
    if (j.is_boolean()) {
        out = Variant::Bool(j.get<bool>());
        return true;
    }
    if (j.is_null()) {
        out = Variant{};
        return true;
    }
    if (!j.is_object() || !j.contains("vt") || !j["vt"].is_string()) {
        reason = "a value needs a \"vt\" type name";
        return false;
    }
    const auto vt = ParseVarTypeName(j["vt"].get<std::string>());
    if (!vt || (*vt & VT_BYREF) || (*vt & VT_VECTOR)) {
        reason = "unknown type " + j["vt"].dump();
        return false;
    }
    if (!IsArrayType(*vt)) return scalar(j, *vt, objects, out, reason);

    const VarType element = BaseType(*vt);
    if (!j.contains("bounds") || !j["bounds"].is_array() || !j.contains("data") || !j["data"].is_array()) {
        reason = "an array needs \"bounds\" and \"data\"";
        return false;
    }
    // The element count the bounds declare must be the data given (and
    // within a sane size) before anything is allocated for it.
    const auto& data = j["data"];
    std::vector<SafeArrayBound> bounds;
    std::uint64_t elements = 1;
    for (const auto& b : j["bounds"]) {
        if (!b.is_array() || b.size() != 2 || !b[0].is_number_integer() || !b[1].is_number_integer() ||
            b[1].get<std::int64_t>() < 0 || b[1].get<std::uint64_t>() > kMaxWireElements) {
            reason = "each bound is [lower, count]";
            return false;
        }
        const auto count = static_cast<std::uint64_t>(b[1].get<std::int64_t>());
        elements = count == 0 || elements <= kMaxWireElements / count ? elements * count : kMaxWireElements + 1;
        bounds.push_back({b[0].get<std::int64_t>(), static_cast<std::uint32_t>(count)});
    }
    if (elements > kMaxWireElements) {
        reason = "arrays hold at most " + std::to_string(kMaxWireElements) + " elements";
        return false;
    }
    if (elements != data.size()) {
        reason = "array data do not match its bounds";
        return false;
    }
    auto array = SafeArray::Create(element, bounds);
    if (!array) {
        reason = "arrays have 1 to 4 dimensions of R8, I4, BSTR or VARIANT";
        return false;
    }
    for (std::size_t i = 0; i < data.size(); ++i) {
        Variant e;
        if (element == VT_VARIANT) {
            if (!FromWire(data[i], objects, e, reason)) return false;
            array->variants()[i] = e;
            continue;
        }
        if (!scalar(nlohmann::json{{"value", data[i]}}, element, objects, e, reason)) return false;
        if (element == VT_R8) array->doubles()[i] = e.dblVal;
        else if (element == VT_I4) array->longs()[i] = e.lVal;
        else array->strings()[i] = e.bstrVal;
    }
    out = Variant::Array(std::move(*array));
    return true;
}

}  // namespace ternival::automation
