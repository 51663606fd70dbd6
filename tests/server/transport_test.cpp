// The transport against malformed and hostile input: lines that are not
// JSON or not UTF-8, unknown methods, classes and objects, deep nesting,
// arrays that declare more than they carry, over-long lines, and a
// fixed-seed fuzz of request lines.  The server answers every one with a
// protocol error and keeps serving.  And registration by the real executable.
#include <chrono>
#include <random>
#include <tuple>

#include "platform/registry.h"
#include "server/interfaces.h"
#include "server/registration.h"
#include "server/rpc.h"
#include "server_env.h"

namespace ternival::testing {
namespace {

using Transport = RegisteredServer;

// A JSON-RPC request line of the method with params given as JSON text.
std::string Line(const std::string& method, const std::string& params) {
    return R"({"jsonrpc":"2.0","id":1,"method":")" + method + R"(","params":)" + params + "}";
}

TEST_F(Transport, MalformedAndHostileLinesAreRefusedAndTheServerServesOn) {
    ServerProcess p(kServerExe);
    const std::int64_t app = p.Create("ternival.distillationapp.38.0");
    const std::string invoke = R"({"object":)" + std::to_string(app) + R"(,"member":"InitFromVmpdfFile","args":)";
    std::string nested;
    for (int k = 0; k < 20000; ++k) nested += R"({"vt":"ARRAY|VARIANT","bounds":[[0,1]],"data":[)";
    nested += "1.0";
    for (int k = 0; k < 20000; ++k) nested += "]}";
    const auto deep = [](std::size_t depth, const std::string& inner) {
        return std::string(depth, '[') + inner + std::string(depth, ']');
    };
    struct Case {
        std::string line;
        int code;  // of the error; 0 for a result
    };
    std::vector<Case> cases{
        {"this is not json", -32700},
        {R"({"jsonrpc":"2.0","id":5,"method":"invoke","params":{"object":1,"member":)", -32700},
        {"\xff\xfe\x80", -32700},
        {Line("invoke", invoke + "[\"a\xc3\x28.toml\"]}"), -32700},  // not UTF-8 inside a string
        {R"({"jsonrpc":"2.0","id":"\xed\xa0\x80","method":"typelib"})", -32700},
        {Line("nosuchmethod", "{}"), -32601},
        {Line("create", R"({"class":"Ternival.Nothing"})"), -32001},
        {Line("create", R"({"class":"DistillationMap"})"), -32001},  // made only by an application
        {Line("create", R"({"class":"Ternival.DistillationApp"})"), -32002},  // one creation per class object
        {Line("invoke", R"({"object":42,"member":"Pressure"})"), -32003},
        {Line("invoke", invoke + R"([{"vt":"NOSUCHTYPE"}]})"), -32602},
        {Line("invoke", invoke + R"("x"})"), -32602},
        {Line("invoke", invoke + "[" + nested + "]}"), -32600},
        {Line("typelib", R"({"note":")" + std::string(5000, '[') + R"("})"), 0},  // brackets in strings do not count
        {Line("typelib", R"({"pad":")" + std::string(server::kMaxRequestBytes + 10, 'x') + R"("})"), -32600},
    };
    for (const std::size_t depth : {100000u, 1000u, 65u}) {
        cases.push_back({Line("typelib", deep(depth, "")), -32600});
        cases.push_back({R"({"jsonrpc":"2.0","method":"typelib","id":)" + deep(depth, "1") + "}", -32600});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line.substr(0, 120));
        ASSERT_TRUE(p.SendLine(c.line));
        const auto reply = p.ReadReply(20000);
        ASSERT_TRUE(reply.has_value()) << "no reply";
        ASSERT_FALSE(reply->is_discarded());
        EXPECT_EQ(reply->contains("error") ? (*reply)["error"]["code"].get<int>() : 0, c.code);
    }
    // Arrays must carry what they declare, and are refused before anything
    // is allocated.
    const auto started = std::chrono::steady_clock::now();
    for (const json& bounds : {json{{0, 1 << 24}, {0, 16}}, json{{0, 4096}, {0, 4096}, {0, 4096}, {0, 4096}},
                               json{{0, 5}}}) {
        const json arg{{"vt", "ARRAY|VARIANT"}, {"bounds", bounds}, {"data", json::array()}};
        const json r = p.Request("invoke", {{"object", app}, {"member", "InitFromVmpdfFile"}, {"args", {arg}}});
        EXPECT_EQ(r["error"]["code"], -32602) << bounds.dump();
    }
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(), 5.0);
    // A notification gets no reply; the next request still does.
    ASSERT_TRUE(p.SendLine(R"({"jsonrpc":"2.0","method":"typelib"})"));
    EXPECT_TRUE(p.Request("typelib", json::object()).contains("result"));
    EXPECT_EQ(Hr(p.Invoke(app, "InitFromVmpdfFile", {kAcmFile})), 0);
}

// Valid requests, each mutated many times: bytes flipped, dropped,
// repeated, brackets and quotes inserted.  Every line that names an id
// gets a well-formed reply, and the server lives on.
TEST_F(Transport, MutatedRequestLinesNeverHarmTheServer) {
    server::RpcServer rpc;
    const std::vector<std::string> seeds = {
        R"({"jsonrpc":"2.0","id":1,"method":"create","params":{"class":"Ternival.AzeotropeSearch"}})",
        R"({"jsonrpc":"2.0","id":2,"method":"invoke","params":{"object":1,"member":"SetComponentData","args":[{"vt":"ARRAY|BSTR","bounds":[[0,2]],"data":["ACETONE","METHANOL"]}]}})",
        R"({"jsonrpc":"2.0","id":3,"method":"invoke","params":{"object":1,"member":"Pressure","kind":"put","args":[{"vt":"R8","value":101325.0}]}})",
        R"({"jsonrpc":"2.0","id":4,"method":"invoke","params":{"object":1,"dispid":6,"args":[]}})",
        R"({"jsonrpc":"2.0","id":5,"method":"invoke","params":{"object":1,"member":"SetPropertyData","args":["NRTL","NRTL","NRTL",{"vt":"I4","value":2}]}})",
        R"({"jsonrpc":"2.0","id":6,"method":"invoke","params":{"object":1,"member":"SetComponentData","args":[{"vt":"ARRAY|VARIANT","bounds":[[0,2],[1,1]],"data":[{"vt":"ARRAY|R8","bounds":[[0,1]],"data":[1.5]},"x"]}]}})",
        R"({"jsonrpc":"2.0","id":7,"method":"typelib"})",
    };
    std::mt19937 rng(20261207);
    const std::string specials = "[]{}\",:\\\xff\xc3\x80-0e9";
    std::size_t replies = 0;
    for (int round = 0; round < 4000; ++round) {
        std::string line = seeds[rng() % seeds.size()];
        const int edits = 1 + static_cast<int>(rng() % 6);
        for (int e = 0; e < edits && !line.empty(); ++e) {
            const std::size_t at = rng() % line.size();
            switch (rng() % 5) {
                case 0: line[at] = static_cast<char>(rng() % 256); break;
                case 1: line.erase(at, 1 + rng() % 8); break;
                case 2: line.insert(at, line.substr(at, 1 + rng() % 40)); break;
                case 3: line.insert(at, 1, specials[rng() % specials.size()]); break;
                default: line.insert(at, std::string(1 + rng() % 200, rng() % 2 ? '[' : '{')); break;
            }
        }
        std::optional<std::string> reply;
        ASSERT_NO_THROW(reply = rpc.HandleLine(line)) << line;
        if (!reply) continue;
        ++replies;
        const json r = json::parse(*reply, nullptr, false);
        ASSERT_FALSE(r.is_discarded()) << *reply;
        EXPECT_TRUE(r.contains("result") != r.contains("error")) << *reply;
        EXPECT_EQ(r["jsonrpc"], "2.0");
    }
    EXPECT_GT(replies, 2000u);
    const auto typelib = rpc.HandleLine(seeds.back());
    ASSERT_TRUE(typelib);
    EXPECT_TRUE(json::parse(*typelib).contains("result"));
}

// ---------------------------------------------------------------------------
// Registration by the real executable, and the command line that asks for it.
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
