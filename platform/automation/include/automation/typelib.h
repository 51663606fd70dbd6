// A type library: the interfaces and classes a server offers, with fixed
// identifiers, written out as a machine-readable (JSON) description.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "automation/dispatch.h"

namespace ternival::automation {

struct CoClassInfo {
    std::string name;            // "DistillationApp"
    std::string clsid;           // registry form "{...}"
    std::string interface_name;  // default interface
    std::string prog_id;         // version-independent ProgID; empty when not creatable
    std::string description;     // "DistillationApp Class"
    // A class object that serves any number of creations in one server
    // (objects that work beside the others of that server); the others
    // serve one, so that each client gets a server of its own.
    bool multi_use = false;
};

struct TypeLibraryInfo {
    std::string name;     // "TERNIVALLib"
    std::string libid;
    int major = 0, minor = 0;
    std::vector<const InterfaceInfo*> interfaces;
    std::vector<CoClassInfo> coclasses;
};

// {"name", "libid", "version": "38.0", "interfaces": [{"name", "iid",
// "dual": true, "members": [{"dispid", "name", "kind", "params": [{"name",
// "type", "direction"}]}]}], "coclasses": [...]}
nlohmann::json DescribeTypeLibrary(const TypeLibraryInfo& library);

}  // namespace ternival::automation
