#include "server/registration.h"

#include <string>

#include "automation/dispatch.h"
#include "platform/registry.h"
#include "server/interfaces.h"

namespace ternival::server {

namespace {

std::string Key(std::string_view path) { return std::string(kClassesRoot) + std::string(path); }

bool SetDefault(std::string_view path, std::string_view value) {
    return platform::RegistryWriteString(Key(path), kDefaultValue, value);
}

std::string Versioned(std::string_view prog_id) { return std::string(prog_id) + "." + std::string(kVersion); }

}  // namespace

ServerAction ParseServerCommandLine(std::span<const std::string_view> args) {
    for (std::string_view arg : args) {
        if (arg.empty() || (arg[0] != '-' && arg[0] != '/')) continue;
        const std::string_view token = arg.substr(1);
        if (automation::EqualsNoCase(token, "UnregServer")) return ServerAction::UnregServer;
        if (automation::EqualsNoCase(token, "RegServer")) return ServerAction::RegServer;
    }
    return ServerAction::Serve;
}

bool RegisterServer(std::string_view module) {
    const auto& lib = TernivalTypeLibrary();
    const std::string appid(kLibId);
    bool ok = SetDefault("AppID\\" + appid, "Ternival");
    ok = ok && platform::RegistryWriteString(Key("AppID\\Ternival.EXE"), "AppID", appid);
    for (const auto& cls : lib.coclasses) {
        if (cls.prog_id.empty()) continue;  // created only through another object
        const std::string versioned = Versioned(cls.prog_id);
        const std::string clsid_key = "CLSID\\" + cls.clsid;
        ok = ok && SetDefault(versioned, cls.description) && SetDefault(versioned + "\\CLSID", cls.clsid) &&
             SetDefault(cls.prog_id, cls.description) && SetDefault(cls.prog_id + "\\CurVer", versioned) &&
             SetDefault(clsid_key, cls.description) && SetDefault(clsid_key + "\\ProgID", versioned) &&
             SetDefault(clsid_key + "\\VersionIndependentProgID", cls.prog_id) &&
             platform::RegistryCreateKey(Key(clsid_key + "\\Programmable")) &&
             SetDefault(clsid_key + "\\LocalServer32", module) &&
             platform::RegistryWriteString(Key(clsid_key), "AppID", appid);
    }
    // The type library travels inside the executable ("--typelib" prints it).
    const std::string tlb = "TypeLib\\" + std::string(kLibId) + "\\" + std::string(kVersion);
    ok = ok && SetDefault(tlb, lib.name) && SetDefault(tlb + "\\0\\linux", module);
    return ok;
}

bool UnregisterServer() {
    const auto& lib = TernivalTypeLibrary();
    for (const auto& cls : lib.coclasses) {
        if (cls.prog_id.empty()) continue;
        platform::RegistryDeleteTree(Key(Versioned(cls.prog_id)));
        platform::RegistryDeleteTree(Key(cls.prog_id));
        platform::RegistryDeleteTree(Key("CLSID\\" + cls.clsid));
    }
    platform::RegistryDeleteTree(Key("AppID\\" + std::string(kLibId)));
    platform::RegistryDeleteTree(Key("AppID\\Ternival.EXE"));
    platform::RegistryDeleteTree(Key("TypeLib\\" + std::string(kLibId)));
    return true;
}

std::string LocalServerFor(std::string_view name) {
    std::string clsid(name);
    if (name.empty() || name.front() != '{') {
        auto id = platform::RegistryReadString(Key(std::string(name) + "\\CLSID"), kDefaultValue);
        if (!id) {
            auto cur = platform::RegistryReadString(Key(std::string(name) + "\\CurVer"), kDefaultValue);
            if (cur) id = platform::RegistryReadString(Key(*cur + "\\CLSID"), kDefaultValue);
        }
        if (!id) return {};
        clsid = *id;
    }
    return platform::RegistryReadString(Key("CLSID\\" + clsid + "\\LocalServer32"), kDefaultValue, 4096)
        .value_or("");
}

}  // namespace ternival::server
