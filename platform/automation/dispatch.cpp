#include "automation/dispatch.h"

#include <cctype>

namespace ternival::automation {

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

const MemberInfo* InterfaceInfo::Find(DispId dispid, InvokeKind kind) const {
    for (const auto& m : members)
        if (m.dispid == dispid && m.kind == kind) return &m;
    return nullptr;
}

HRESULT InterfaceInfo::IdOfName(std::string_view name, DispId& dispid) const {
    for (const auto& m : members)
        if (EqualsNoCase(m.name, name)) {
            dispid = m.dispid;
            return S_OK;
        }
    return DISP_E_UNKNOWNNAME;
}

HRESULT DispatchObject::Invoke(DispId dispid, InvokeKind kind, std::vector<Variant>& args) {
    const MemberInfo* member = Interface().Find(dispid, kind);
    if (!member) return DISP_E_MEMBERNOTFOUND;
    if (args.size() != member->params.size()) return DISP_E_BADPARAMCOUNT;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const ParamInfo& p = member->params[i];
        Variant& a = args[i];
        if (p.out) {
            a = Variant{};
            continue;
        }
        switch (p.vt) {
            case VT_R8: {
                double d = 0.0;
                const HRESULT hr = ToDouble(a, d);
                if (Failed(hr)) return hr;
                a = Variant::R8(d);
                break;
            }
            case VT_I4: {
                std::int32_t l = 0;
                const HRESULT hr = ToLong(a, l);
                if (Failed(hr)) return hr;
                a = Variant::I4(l);
                break;
            }
            case VT_BSTR:
                // Strings are not made from numbers: a component name or a
                // file name given as a number is a caller's mistake.
                if (a.vt != VT_BSTR) return DISP_E_TYPEMISMATCH;
                break;
            default:
                break;  // VARIANT parameters are passed as given
        }
    }
    return Call(dispid, kind, args);
}

ParamInfo In(std::string name, VarType vt) { return {std::move(name), vt, false, false}; }
ParamInfo Out(std::string name, VarType vt) {
    return {std::move(name), static_cast<VarType>(vt | VT_BYREF), true, false};
}
ParamInfo RetVal(std::string name, VarType vt) {
    return {std::move(name), static_cast<VarType>(vt | VT_BYREF), true, true};
}

}  // namespace ternival::automation
