// Registration by the real executable, and the command line that asks for it.
#include <array>

#include "platform/registry.h"
#include "server/interfaces.h"
#include "server/registration.h"
#include "server_env.h"

namespace ternival::testing {
namespace {

using server::ServerAction;

TEST(ServerCommandLine, RegistrationTokensInAnyCaseAfterDashOrSlash) {
    const auto parse = [](std::initializer_list<std::string_view> a) {
        std::vector<std::string_view> v(a);
        return server::ParseServerCommandLine(v);
    };
    EXPECT_EQ(parse({"-RegServer"}), ServerAction::RegServer);
    EXPECT_EQ(parse({"/regserver"}), ServerAction::RegServer);
    EXPECT_EQ(parse({"-REGSERVER"}), ServerAction::RegServer);
    EXPECT_EQ(parse({"/UnregServer"}), ServerAction::UnregServer);
    EXPECT_EQ(parse({"-unREGserver"}), ServerAction::UnregServer);
    EXPECT_EQ(parse({"-Embedding"}), ServerAction::Serve);
    EXPECT_EQ(parse({"RegServer"}), ServerAction::Serve);  // no introducer
    EXPECT_EQ(parse({"-RegServerX"}), ServerAction::Serve);
    EXPECT_EQ(parse({}), ServerAction::Serve);
}

class Registration : public ServerEnvironment {};

TEST_F(Registration, RegServerWritesTheClassEntriesAndExitsWithoutServing) {
    {
        // Its input stays open: a server that went on to serve would wait
        // for requests instead of exiting.
        ServerProcess p(kServerExe, {"/REGSERVER"});
        ASSERT_TRUE(p.WaitExit(20000)) << "the registering server did not exit by itself";
        ASSERT_TRUE(WIFEXITED(p.status()));
        ASSERT_EQ(WEXITSTATUS(p.status()), 0);
        EXPECT_FALSE(p.ReadReply(100).has_value());
    }
    const std::string root(server::kClassesRoot), lib(server::kLibId);
    EXPECT_EQ(platform::RegistryReadString(root + "AppID\\" + lib, "@").value_or(""), "Ternival");
    EXPECT_EQ(platform::RegistryReadString(root + "AppID\\Ternival.EXE", "AppID").value_or(""), lib);
    struct Cls {
        const char* prog;
        std::string_view clsid;
        const char* description;
    };
    for (const Cls& c : {Cls{"Ternival.DistillationApp", server::kClsidDistillationApp, "DistillationApp Class"},
                         Cls{"Ternival.AzeotropeSearch", server::kClsidAzeotropeSearch, "AzeotropeSearch Class"},
                         Cls{"DistillationApp.PropertyPackage", server::kClsidPropertyPackage, "PropertyPackage Class"}}) {
        const std::string prog = c.prog, versioned = prog + ".38.0", clsid(c.clsid);
        const std::string key = root + "CLSID\\" + clsid;
        EXPECT_EQ(platform::RegistryReadString(root + versioned, "@").value_or(""), c.description);
        EXPECT_EQ(platform::RegistryReadString(root + versioned + "\\CLSID", "@").value_or(""), clsid);
        EXPECT_EQ(platform::RegistryReadString(root + prog + "\\CurVer", "@").value_or(""), versioned);
        EXPECT_EQ(platform::RegistryReadString(key, "@").value_or(""), c.description);
        EXPECT_EQ(platform::RegistryReadString(key, "AppID").value_or(""), lib);
        EXPECT_EQ(platform::RegistryReadString(key + "\\ProgID", "@").value_or(""), versioned);
        EXPECT_EQ(platform::RegistryReadString(key + "\\VersionIndependentProgID", "@").value_or(""), prog);
        EXPECT_TRUE(platform::RegistryKeyExists(key + "\\Programmable"));
        const std::string module = platform::RegistryReadString(key + "\\LocalServer32", "@", 4096).value_or("");
        EXPECT_TRUE(std::filesystem::equivalent(module, kServerExe)) << module;
        EXPECT_EQ(server::LocalServerFor(prog), module);
        EXPECT_EQ(server::LocalServerFor(versioned), module);
        EXPECT_EQ(server::LocalServerFor(clsid), module);
    }
    // The map is made only by an application: it has no registration.
    EXPECT_FALSE(platform::RegistryKeyExists(root + "CLSID\\" + std::string(server::kClsidDistillationMap)));
    // The engine's own entries are untouched.
    EXPECT_TRUE(platform::RegistryReadString("SOFTWARE\\Corvath\\Velmora\\38.0\\velmora", "velmtop").has_value());
}

TEST_F(Registration, UnregServerRemovesEverythingRegServerWrote) {
    ASSERT_EQ(RunServer("-RegServer"), 0);
    ASSERT_FALSE(server::LocalServerFor("Ternival.DistillationApp").empty());
    ASSERT_EQ(RunServer("-unregserver"), 0);
    const std::string root(server::kClassesRoot);
    EXPECT_TRUE(server::LocalServerFor("Ternival.DistillationApp").empty());
    EXPECT_TRUE(server::LocalServerFor("DistillationApp.PropertyPackage").empty());
    EXPECT_FALSE(platform::RegistryKeyExists(root + "AppID\\Ternival.EXE"));
    EXPECT_FALSE(platform::RegistryKeyExists(root + "CLSID\\" + std::string(server::kClsidAzeotropeSearch)));
    EXPECT_FALSE(platform::RegistryKeyExists(root + "TypeLib\\" + std::string(server::kLibId)));
    EXPECT_TRUE(platform::RegistryReadString("SOFTWARE\\Corvath\\Velmora\\38.0\\velmora", "velmtop").has_value());
    // Removing twice is harmless.
    EXPECT_EQ(RunServer("/UnregServer"), 0);
}

TEST_F(Registration, TypeLibraryDescribesEveryMemberWithItsDispid) {
    ServerProcess p(kServerExe);
    json r = p.Request("typelib", json::object());
    ASSERT_TRUE(r.contains("result")) << r.dump();
    const json& lib = r["result"];
    EXPECT_EQ(lib["name"], "TERNIVALLib");
    EXPECT_EQ(lib["version"], "38.0");
    EXPECT_EQ(lib["libid"], std::string(server::kLibId));
    // The four specified interfaces and classes, and the design extension.
    ASSERT_EQ(lib["interfaces"].size(), 5u);
    EXPECT_EQ(lib["coclasses"].size(), 5u);
    EXPECT_EQ(lib["interfaces"][4]["name"], "IDistillationDesign");
    std::map<std::string, std::size_t> members;
    for (const auto& itf : lib["interfaces"]) {
        EXPECT_TRUE(itf["dual"].get<bool>());
        members[itf["name"]] = itf["members"].size();
    }
    // Properties count once per direction (ErrorCode and MessageCode read only).
    EXPECT_EQ(members["IDistillationApp"], 6u);
    EXPECT_EQ(members["IAzeotropeSearch"], 8u);
    EXPECT_EQ(members["IPropertyPackage"], 11u);
    EXPECT_EQ(members["IDistillationMap"], 31u);  // 19 methods, 5 read-write and 2 read-only properties
    for (const auto& itf : lib["interfaces"])
        if (itf["name"] == "IDistillationMap")
            for (const auto& m : itf["members"])
                if (m["name"] == "GetResidueCurve") {
                    EXPECT_EQ(m["dispid"], 14);
                    ASSERT_EQ(m["params"].size(), 3u);
                    EXPECT_EQ(m["params"][1]["direction"], "out");
                }
}

}  // namespace
}  // namespace ternival::testing
