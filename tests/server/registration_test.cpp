// Registration by the real executable, and the command line that asks for it.
#include <tuple>

#include "platform/registry.h"
#include "server/interfaces.h"
#include "server/registration.h"
#include "server_env.h"

namespace ternival::testing {
namespace {

using server::ServerAction;

TEST(ServerCommandLine, RegistrationTokensInAnyCaseAfterDashOrSlash) {
    const std::vector<std::pair<std::vector<std::string_view>, ServerAction>> cases{
        {{"-RegServer"}, ServerAction::RegServer},     {{"/regserver"}, ServerAction::RegServer},
        {{"-REGSERVER"}, ServerAction::RegServer},     {{"/UnregServer"}, ServerAction::UnregServer},
        {{"-unREGserver"}, ServerAction::UnregServer}, {{"-Embedding"}, ServerAction::Serve},
        {{"RegServer"}, ServerAction::Serve},  // no introducer
        {{"-RegServerX"}, ServerAction::Serve},        {{}, ServerAction::Serve},
    };
    for (const auto& [args, action] : cases)
        EXPECT_EQ(server::ParseServerCommandLine(args), action) << (args.empty() ? "" : args[0]);
}

using Registration = ServerEnvironment;

TEST_F(Registration, RegServerWritesTheClassEntriesWithoutServingAndUnregServerRemovesThem) {
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
    const auto read = [](const std::string& key, const char* value = "@") {
        return platform::RegistryReadString(key, value, 4096).value_or("");
    };
    EXPECT_EQ(read(root + "AppID\\" + lib), "Ternival");
    EXPECT_EQ(read(root + "AppID\\Ternival.EXE", "AppID"), lib);
    for (const auto& [prog, clsid_view, description] :
         {std::tuple{"Ternival.DistillationApp", server::kClsidDistillationApp, "DistillationApp Class"},
          std::tuple{"Ternival.AzeotropeSearch", server::kClsidAzeotropeSearch, "AzeotropeSearch Class"},
          std::tuple{"DistillationApp.PropertyPackage", server::kClsidPropertyPackage, "PropertyPackage Class"}}) {
        SCOPED_TRACE(prog);
        const std::string versioned = std::string(prog) + ".38.0", clsid(clsid_view), key = root + "CLSID\\" + clsid;
        EXPECT_EQ(read(root + versioned), description);
        EXPECT_EQ(read(key), description);
        EXPECT_EQ(read(key, "AppID"), lib);
        EXPECT_EQ(read(key + "\\ProgID"), versioned);
        EXPECT_EQ(read(key + "\\VersionIndependentProgID"), prog);
        EXPECT_TRUE(platform::RegistryKeyExists(key + "\\Programmable"));
        // The class is found by its ProgID (through CurVer), its versioned
        // ProgID and its CLSID.
        const std::string module = read(key + "\\LocalServer32");
        EXPECT_TRUE(std::filesystem::equivalent(module, kServerExe)) << module;
        for (const std::string& name : {std::string(prog), versioned, clsid})
            EXPECT_EQ(server::LocalServerFor(name), module);
    }
    // The map is made only by an application: it has no registration.
    EXPECT_FALSE(platform::RegistryKeyExists(root + "CLSID\\" + std::string(server::kClsidDistillationMap)));
    // The engine's own entries are untouched.
    EXPECT_TRUE(platform::RegistryReadString("SOFTWARE\\Corvath\\Velmora\\38.0\\velmora", "velmtop").has_value());

    // -UnregServer removes everything RegServer wrote, and nothing else.
    ASSERT_EQ(RunServer("-unregserver"), 0);
    EXPECT_TRUE(server::LocalServerFor("Ternival.DistillationApp").empty());
    EXPECT_TRUE(server::LocalServerFor("DistillationApp.PropertyPackage").empty());
    for (const std::string& key : {std::string("AppID\\Ternival.EXE"),
                                   "CLSID\\" + std::string(server::kClsidAzeotropeSearch),
                                   "TypeLib\\" + lib})
        EXPECT_FALSE(platform::RegistryKeyExists(root + key)) << key;
    EXPECT_TRUE(platform::RegistryReadString("SOFTWARE\\Corvath\\Velmora\\38.0\\velmora", "velmtop").has_value());
    EXPECT_EQ(RunServer("/UnregServer"), 0);  // removing twice is harmless
}

}  // namespace
}  // namespace ternival::testing
