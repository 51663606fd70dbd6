// Dual interfaces: objects whose members are invoked by DISPID or by name
// with Variant arguments, described by member tables that also make up the
// type library.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "automation/variant.h"

namespace ternival::automation {

using DispId = std::int32_t;

enum class InvokeKind : std::uint16_t { Method = 1, PropertyGet = 2, PropertyPut = 4 };

struct ParamInfo {
    std::string name;
    VarType vt = VT_VARIANT;  // declared type (VT_BYREF set for [out] pointers)
    bool out = false;         // [out]: written by the call
    bool retval = false;      // [out, retval]
};

struct MemberInfo {
    DispId dispid = 0;
    std::string name;
    InvokeKind kind = InvokeKind::Method;
    std::vector<ParamInfo> params;
};

struct InterfaceInfo {
    std::string name;
    std::string iid;  // registry form "{...}"
    std::vector<MemberInfo> members;  // in table order, a property's get before its put

    // The member with this DISPID and kind, or nullptr.
    const MemberInfo* Find(DispId dispid, InvokeKind kind) const;
    // DISPID of a member name, compared without regard to letter case;
    // DISP_E_UNKNOWNNAME when there is none.
    HRESULT IdOfName(std::string_view name, DispId& dispid) const;
};

// An object reachable through a dual interface.
class DispatchObject : public std::enable_shared_from_this<DispatchObject> {
public:
    virtual ~DispatchObject() = default;
    virtual const InterfaceInfo& Interface() const = 0;

    // Invokes a member.  `args` holds one Variant per declared parameter in
    // declaration order ([in] values as given; [out] slots are replaced by
    // the results).  DISP_E_MEMBERNOTFOUND for an unknown DISPID or kind,
    // DISP_E_BADPARAMCOUNT for a wrong argument count, DISP_E_TYPEMISMATCH
    // for an [in] value that does not convert to its declared type;
    // otherwise the member's own HRESULT.
    HRESULT Invoke(DispId dispid, InvokeKind kind, std::vector<Variant>& args);

protected:
    // Called by Invoke once the member exists and the argument count is
    // right; [in] values are already converted to their declared types.
    virtual HRESULT Call(DispId dispid, InvokeKind kind, std::vector<Variant>& args) = 0;
};

// Names of members, classes and command-line switches compare without
// regard to letter case.
bool EqualsNoCase(std::string_view a, std::string_view b);

// Parameter shorthands for the member tables.
ParamInfo In(std::string name, VarType vt);
ParamInfo Out(std::string name, VarType vt);
ParamInfo RetVal(std::string name, VarType vt);

}  // namespace ternival::automation
