#include "automation/typelib.h"

namespace ternival::automation {

namespace {

const char* kindName(InvokeKind k) {
    switch (k) {
        case InvokeKind::PropertyGet: return "propget";
        case InvokeKind::PropertyPut: return "propput";
        default: return "method";
    }
}

}  // namespace

nlohmann::json DescribeTypeLibrary(const TypeLibraryInfo& library) {
    nlohmann::json j;
    j["name"] = library.name;
    j["libid"] = library.libid;
    j["version"] = std::to_string(library.major) + "." + std::to_string(library.minor);
    j["interfaces"] = nlohmann::json::array();
    for (const InterfaceInfo* itf : library.interfaces) {
        nlohmann::json members = nlohmann::json::array();
        for (const auto& m : itf->members) {
            nlohmann::json params = nlohmann::json::array();
            for (const auto& p : m.params)
                params.push_back({{"name", p.name},
                                  {"type", VarTypeName(p.vt)},
                                  {"direction", p.retval ? "out,retval" : (p.out ? "out" : "in")}});
            members.push_back({{"dispid", m.dispid}, {"name", m.name}, {"kind", kindName(m.kind)}, {"params", params}});
        }
        j["interfaces"].push_back({{"name", itf->name},
                                   {"iid", itf->iid},
                                   {"dual", true},
                                   {"oleautomation", true},
                                   {"members", members}});
    }
    j["coclasses"] = nlohmann::json::array();
    for (const auto& c : library.coclasses)
        j["coclasses"].push_back({{"name", c.name},
                                  {"clsid", c.clsid},
                                  {"interface", c.interface_name},
                                  {"progid", c.prog_id},
                                  {"description", c.description}});
    return j;
}

}  // namespace ternival::automation
