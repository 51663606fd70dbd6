// The real server driven through its protocol: every member of every
// interface, bad arguments, and clients that misbehave.
#include <cmath>
#include <fstream>
#include <signal.h>

#include "server_env.h"

namespace ternival::testing {
namespace {

constexpr std::int32_t kTypeMismatch = static_cast<std::int32_t>(0x80020005u);
constexpr std::int32_t kBadParamCount = static_cast<std::int32_t>(0x8002000Eu);
constexpr std::int32_t kUnknownName = static_cast<std::int32_t>(0x80020006u);
constexpr std::int32_t kMemberNotFound = static_cast<std::int32_t>(0x80020003u);

class Server : public ServerEnvironment {
protected:
    void SetUp() override {
        ServerEnvironment::SetUp();
        ASSERT_EQ(RunServer("-RegServer"), 0);
    }
    // An application with the acetone/chloroform/methanol file open and a
    // map of its three components at 1 atm.
    std::int64_t OpenMap(ServerProcess& p, std::int64_t& app) {
        app = p.Create("Ternival.DistillationApp");
        EXPECT_EQ(Hr(p.Invoke(app, "InitFromVmpdfFile", {kAcmFile})), 0);
        json r = p.Invoke(app, "GetDistillationMap");
        const std::int64_t map = r["out"][0]["object"];
        EXPECT_EQ(Hr(p.Invoke(map, "SetComponentData", {"ACETONE", "CHLOROFM", "METHANOL"})), 0);
        EXPECT_EQ(Hr(p.Invoke(map, "Pressure", {101325.0}, "put")), 0);
        return map;
    }
};

TEST_F(Server, ApplicationLifeCycle) {
    ServerProcess p(kServerExe);
    const std::int64_t app = p.Create("Ternival.DistillationApp");
    // No package before any initialisation: E_FAIL and a null object.
    json r = p.Invoke(app, "GetPropertyPackage");
    EXPECT_EQ(Hr(r), kEFail);
    EXPECT_TRUE(r["out"][0]["object"].is_null());
    // A failing initialisation leaves no package; a later one makes a new one.
    EXPECT_EQ(Hr(p.Invoke(app, "InitFromVmpdfFile", {(dir_ / "missing.toml").string()})), kEFail);
    EXPECT_EQ(Hr(p.Invoke(app, "GetPropertyPackage")), kEFail);
    EXPECT_EQ(Hr(p.Invoke(app, "InitFromVmpdfFile", {kEwbFile})), 0);
    r = p.Invoke(app, "GetPropertyPackage");
    ASSERT_EQ(Hr(r), 0);
    const std::int64_t pkg = r["out"][0]["object"];
    r = p.Invoke(pkg, "GetComponentList");
    ASSERT_EQ(Hr(r), 0);
    EXPECT_EQ(r["out"][0]["data"], json({"ETHANOL", "WATER", "BENZENE"}));
    // A second file closes the first and opens itself.
    EXPECT_EQ(Hr(p.Invoke(app, "InitFromVmpdfFile", {kAcmFile})), 0);
    r = p.Invoke(pkg, "GetComponentList");
    ASSERT_EQ(Hr(r), 0);
    EXPECT_EQ(r["out"][0]["data"], json({"ACETONE", "CHLOROFM", "METHANOL"}));
    const std::vector<double> mw = Vector(r["out"][2]);
    ASSERT_EQ(mw.size(), 3u);
    EXPECT_NEAR(mw[2], 32.04, 0.01);  // methanol
    // Closing keeps the package current, with no file open.
    EXPECT_EQ(Hr(p.Invoke(app, "CloseVmpdfFile")), 0);
    EXPECT_EQ(Hr(p.Invoke(app, "GetPropertyPackage")), 0);
    EXPECT_EQ(Hr(p.Invoke(pkg, "GetComponentList")), kEFail);
}

TEST_F(Server, InitialisationWithWorkingDirectoryChangesItEvenOnFailure) {
    ServerProcess p(kServerExe);
    const std::int64_t app = p.Create("Ternival.DistillationApp");
    EXPECT_EQ(Hr(p.Invoke(app, "InitFromVmpdfFileWithCWD", {"no-such-file.toml", TERNIVAL_EXAMPLES_DIR})), kEFail);
    // The directory stayed changed: a bare file name of the examples opens.
    EXPECT_EQ(Hr(p.Invoke(app, "InitFromVmpdfFile", {"acetone_chloroform_methanol.toml"})), 0);
    EXPECT_EQ(Hr(p.Invoke(app, "InitFromVmpdfFileWithCWD", {"ethanol_water_benzene.toml", TERNIVAL_EXAMPLES_DIR})), 0);
}

TEST_F(Server, PropertyPackageMembers) {
    ServerProcess p(kServerExe);
    const std::int64_t pkg = p.Create("DistillationApp.PropertyPackage");
    EXPECT_EQ(Hr(p.Invoke(pkg, "GetComponentList")), kEFail);  // nothing open yet
    ASSERT_EQ(Hr(p.Invoke(pkg, "InitFromVmpdfFile", {kAcmFile})), 0);
    EXPECT_EQ(Hr(p.Invoke(pkg, "GetComponentList")), 0);
    json r = p.Invoke(pkg, "FlashTol", {}, "get");
    EXPECT_DOUBLE_EQ(r["out"][0]["value"].get<double>(), 1e-7);
    EXPECT_EQ(Hr(p.Invoke(pkg, "FlashTol", {1e-9}, "put")), 0);
    EXPECT_DOUBLE_EQ(p.Invoke(pkg, "FlashTol", {}, "get")["out"][0]["value"].get<double>(), 1e-9);
    EXPECT_EQ(p.Invoke(pkg, "FlashMaxIter", {}, "get")["out"][0]["value"], 99999999);
    EXPECT_EQ(Hr(p.Invoke(pkg, "FlashMaxIter", {250}, "put")), 0);
    EXPECT_EQ(p.Invoke(pkg, "FlashMaxIter", {}, "get")["out"][0]["value"], 250);
    EXPECT_EQ(Hr(p.Invoke(pkg, "FlashMaxIter", {"many"}, "put")), kTypeMismatch);
    EXPECT_EQ(Hr(p.Invoke(pkg, "GetPhaseList")), 0);
    EXPECT_EQ(Hr(p.Invoke(pkg, "GetPropMethodList")), 0);
    const json calc_args = {StringArray({"ACETONE"}), "NRTL", "PV", 330.0, 0.5, 0.5, 0.5, 0.5};
    EXPECT_EQ(Hr(p.Invoke(pkg, "CalcEquilibrium", calc_args)), 0);
    json bad_calc = calc_args;
    bad_calc[0] = R8Array({1.0});
    EXPECT_EQ(Hr(p.Invoke(pkg, "CalcEquilibrium", bad_calc)), kTypeMismatch);
    EXPECT_EQ(Hr(p.Invoke(pkg, "OpenVmpdfFile", {kAcmFile})), 0);
    EXPECT_EQ(Hr(p.Invoke(pkg, "CloseVmpdfFile", {kAcmFile})), 0);
    EXPECT_EQ(Hr(p.Invoke(pkg, "GetComponentList")), kEFail);
    // By DISPID as well as by name.
    json byid = p.Request("invoke", {{"object", pkg}, {"dispid", 8}, {"kind", "get"}});
    EXPECT_DOUBLE_EQ(byid["result"]["out"][0]["value"].get<double>(), 1e-9);
}

TEST_F(Server, AzeotropeSearchMembers) {
    ServerProcess p(kServerExe);
    const std::int64_t app = p.Create("Ternival.DistillationApp");
    json r = p.Invoke(app, "GetAzeotropeSearch");
    const std::int64_t s = r["out"][0]["object"];
    // Before initialisation: no engine, no search.
    EXPECT_EQ(Hr(p.Invoke(s, "SetComponentData", {StringArray({"ACETONE", "CHLOROFM", "METHANOL"})})), 0);
    EXPECT_EQ(Hr(p.Invoke(s, "ComputeAzeotropes")), kEFail);
    EXPECT_EQ(Hr(p.Invoke(s, "GetPureProperties")), kEFail);
    ASSERT_EQ(Hr(p.Invoke(app, "InitFromVmpdfFile", {kAcmFile})), 0);
    // Bad component arguments.
    EXPECT_EQ(Hr(p.Invoke(s, "SetComponentData", {json{{"vt", "ARRAY|BSTR"}, {"bounds", {{0, 1}, {0, 3}}},
                                                       {"data", {"ACETONE", "CHLOROFM", "METHANOL"}}}})),
              kEFail);
    EXPECT_EQ(Hr(p.Invoke(s, "SetComponentData", {R8Array({1, 2, 3})})), kEFail);
    EXPECT_EQ(Hr(p.Invoke(s, "SetComponentData", {StringArray({"ACETONE", "NOSUCH", "METHANOL"})})), 0);
    EXPECT_EQ(Hr(p.Invoke(s, "ComputeAzeotropes")), kEFail);
    // The real search.
    ASSERT_EQ(Hr(p.Invoke(s, "SetComponentData", {StringArray({"ACETONE", "CHLOROFM", "METHANOL"})})), 0);
    EXPECT_EQ(Hr(p.Invoke(s, "SetPropertyData", {"NRTL", "NRTL", "NRTL", 2})), 0);
    EXPECT_EQ(Hr(p.Invoke(s, "SetPropertyData", {"NRTL", "NRTL", "NRTL", "two"})), kTypeMismatch);
    EXPECT_EQ(Hr(p.Invoke(s, "Pressure", {101325.0}, "put")), 0);
    EXPECT_DOUBLE_EQ(p.Invoke(s, "Pressure", {}, "get")["out"][0]["value"].get<double>(), 101325.0);
    // Searching before GetPureProperties allocates what it needs.
    ASSERT_EQ(Hr(p.Invoke(s, "ComputeAzeotropes")), 0);
    r = p.Invoke(s, "GetAzeotropes");
    ASSERT_EQ(Hr(r), 0);
    ASSERT_EQ(r["out"][0]["value"], 4);
    const auto x = Matrix(r["out"][1]);
    const auto t = Vector(r["out"][2]);
    ASSERT_EQ(x.size(), 4u);
    int saddles = 0;
    for (std::size_t a = 0; a < 4; ++a) {
        EXPECT_NEAR(x[a][0] + x[a][1] + x[a][2], 1.0, 1e-8);
        EXPECT_GT(t[a], 326.0);
        EXPECT_LT(t[a], 338.5);
        saddles += r["out"][4]["data"][a] == 2;
        EXPECT_EQ(r["out"][3]["data"][a], 1);  // homogeneous
    }
    EXPECT_EQ(saddles, 1);  // the ternary azeotrope
    r = p.Invoke(s, "GetPureProperties");
    ASSERT_EQ(Hr(r), 0);
    const auto tb = Vector(r["out"][1]);
    ASSERT_EQ(tb.size(), 3u);
    EXPECT_NEAR(tb[0], 329.3, 0.3);  // acetone's normal boiling point
    EXPECT_EQ(Hr(p.Invoke(s, "ShowDiagnostic")), 0);
    // A component named twice is refused, and the search keeps its components.
    std::vector<std::string> twice{"ACETONE", "CHLOROFM", "acetone"};
    EXPECT_EQ(Hr(p.Invoke(s, "SetComponentData", {StringArray(twice)})), kEFail);
    EXPECT_EQ(Hr(p.Invoke(s, "ComputeAzeotropes")), 0);
    EXPECT_EQ(p.Invoke(s, "GetAzeotropes")["out"][0]["value"], 4);
}

// A problem file that takes its components and pairs from the engine's
// databank opens like any other, and the search finds the published
// azeotropes of acetone/chloroform/methanol with the UNIFAC model.
TEST_F(Server, DatabankProblemFilesOpenUnchanged) {
    const std::string file = (dir_ / "acm_db.toml").string();
    std::ofstream(file) << "[[component]]\ndatabank = \"acetone\"\n"
                           "[[component]]\ndatabank = \"chloroform\"\nid = \"CHLOROFM\"\n"
                           "[[component]]\ndatabank = \"67-56-1\"\n"
                           "[[method]]\nname = \"UNIFAC\"\nmodel = \"UNIFAC\"\n";
    ServerProcess p(kServerExe);
    const std::int64_t app = p.Create("Ternival.DistillationApp");
    ASSERT_EQ(Hr(p.Invoke(app, "InitFromVmpdfFile", {file})), 0);
    json r = p.Invoke(app, "GetAzeotropeSearch");
    const std::int64_t s = r["out"][0]["object"];
    ASSERT_EQ(Hr(p.Invoke(s, "SetComponentData", {StringArray({"ACETONE", "CHLOROFM", "METHANOL"})})), 0);
    EXPECT_EQ(Hr(p.Invoke(s, "SetPropertyData", {"UNIFAC", "UNIFAC", "UNIFAC", 2})), 0);
    EXPECT_EQ(Hr(p.Invoke(s, "Pressure", {101325.0}, "put")), 0);
    ASSERT_EQ(Hr(p.Invoke(s, "ComputeAzeotropes")), 0);
    r = p.Invoke(s, "GetAzeotropes");
    ASSERT_EQ(Hr(r), 0);
    ASSERT_GE(r["out"][0]["value"].get<int>(), 3);
    const auto x = Matrix(r["out"][1]);
    const auto t = Vector(r["out"][2]);
    bool maximum = false;  // acetone/chloroform boils highest, 337.6 K, x = 0.36
    for (std::size_t a = 0; a < t.size(); ++a)
        if (x[a][2] < 1e-9 && std::abs(t[a] - 337.6) < 2.0 && std::abs(x[a][0] - 0.36) < 0.05) maximum = true;
    EXPECT_TRUE(maximum);
}

TEST_F(Server, MapBeforeInitialisationRefusesToCompute) {
    ServerProcess p(kServerExe);
    const std::int64_t app = p.Create("Ternival.DistillationApp");
    const std::int64_t map = p.Invoke(app, "GetDistillationMap")["out"][0]["object"];
    EXPECT_EQ(Hr(p.Invoke(map, "SetComponentData", {"ACETONE", "CHLOROFM", "METHANOL"})), kEFail);
    EXPECT_EQ(Hr(p.Invoke(map, "GetAzeotropes")), kEFail);
    EXPECT_EQ(Hr(p.Invoke(map, "GetPureProperties")), kEFail);
    EXPECT_EQ(Hr(p.Invoke(map, "GetResidueCurve", {R8Array({0.3, 0.3, 0.4})})), kEFail);
    EXPECT_EQ(Hr(p.Invoke(map, "GetBoilingPoint", {R8Array({0.3, 0.3, 0.4})})), kEFail);
    EXPECT_EQ(Hr(p.Invoke(map, "GetDistillationBoundary")), kEFail);
    // The getters of the envelopes hand back the initial filler.
    json r = p.Invoke(map, "GetTielinesLLE");
    ASSERT_EQ(Hr(r), 0);
    ASSERT_EQ(r["out"][0]["bounds"], json({{0, 200}, {0, 3}}));
    for (const auto& v : r["out"][0]["data"]) EXPECT_EQ(v.get<double>(), -1.0);
    // Unknown components are refused once an engine is open.
    ASSERT_EQ(Hr(p.Invoke(app, "InitFromVmpdfFile", {kAcmFile})), 0);
    EXPECT_EQ(Hr(p.Invoke(map, "SetComponentData", {"ACETONE", "NOSUCH", "METHANOL"})), 0);
    EXPECT_EQ(Hr(p.Invoke(map, "GetPureProperties")), kEFail);
    EXPECT_EQ(Hr(p.Invoke(map, "GetResidueCurve", {R8Array({0.3, 0.3, 0.4})})), kEFail);
}

TEST_F(Server, MapPropertiesAndDefaults) {
    ServerProcess p(kServerExe);
    std::int64_t app = 0;
    const std::int64_t map = OpenMap(p, app);
    const auto get = [&](const char* name) { return p.Invoke(map, name, {}, "get")["out"][0]["value"]; };
    EXPECT_DOUBLE_EQ(get("StepSizeEnv").get<double>(), 0.1);
    EXPECT_DOUBLE_EQ(get("Temperature").get<double>(), 0.0);
    EXPECT_DOUBLE_EQ(get("StepSizeCurve").get<double>(), 0.3);
    EXPECT_EQ(get("CurveCalcOption"), 2);
    EXPECT_DOUBLE_EQ(get("Pressure").get<double>(), 101325.0);
    EXPECT_EQ(get("ErrorCode"), 0);
    EXPECT_EQ(get("MessageCode"), 0);
    for (const char* name : {"StepSizeEnv", "Temperature", "StepSizeCurve"}) {
        EXPECT_EQ(Hr(p.Invoke(map, name, {0.25}, "put")), 0);
        EXPECT_DOUBLE_EQ(get(name).get<double>(), 0.25);
    }
    EXPECT_EQ(Hr(p.Invoke(map, "CurveCalcOption", {1}, "put")), 0);
    EXPECT_EQ(get("CurveCalcOption"), 1);
    // Read-only codes have no put; a string is no pressure.
    EXPECT_EQ(Hr(p.Invoke(map, "ErrorCode", {3}, "put")), kMemberNotFound);
    EXPECT_EQ(Hr(p.Invoke(map, "Pressure", {"high"}, "put")), kTypeMismatch);
    EXPECT_EQ(Hr(p.Invoke(map, "SetCalculationOption", {1, 298.15})), 0);
    EXPECT_EQ(Hr(p.Invoke(map, "SetPropertyData", {"NRTL", "NRTL", "NRTL", 2})), 0);
    EXPECT_EQ(Hr(p.Invoke(map, "NoSuchMember")), kUnknownName);
    EXPECT_EQ(Hr(p.Invoke(map, "SetComponentData", {"ACETONE"})), kBadParamCount);
    json byid = p.Request("invoke", {{"object", map}, {"dispid", 99}});
    EXPECT_EQ(Hr(byid["result"]), kMemberNotFound);
}

TEST_F(Server, MapComputations) {
    ServerProcess p(kServerExe);
    std::int64_t app = 0;
    const std::int64_t map = OpenMap(p, app);
    // Azeotropes need the contained search that GetPureProperties makes.
    EXPECT_EQ(Hr(p.Invoke(map, "GetAzeotropes")), kEFail);
    json r = p.Invoke(map, "GetPureProperties");
    ASSERT_EQ(Hr(r), 0);
    const auto tb = Vector(r["out"][1]);
    ASSERT_EQ(tb.size(), 3u);
    EXPECT_NEAR(tb[2], 337.7, 0.3);  // methanol
    r = p.Invoke(map, "GetAzeotropes");
    ASSERT_EQ(Hr(r), 0);
    EXPECT_EQ(r["out"][0]["value"], 4);

    // Boiling point of pure acetone against its boiling temperature.
    r = p.Invoke(map, "GetBoilingPoint", {R8Array({1.0, 0.0, 0.0})});
    ASSERT_EQ(Hr(r), 0);
    EXPECT_NEAR(r["out"][0]["value"].get<double>(), tb[0], 1e-3);

    // A residue curve ends at a stable node: methanol or the
    // maximum-boiling acetone-chloroform azeotrope.
    r = p.Invoke(map, "GetResidueCurve", {R8Array({0.2, 0.3, 0.5})});
    ASSERT_EQ(Hr(r), 0);
    auto curve = Matrix(r["out"][1]);
    ASSERT_GT(curve.size(), 10u);
    const auto& last = curve.back();
    const bool at_methanol = last[2] > 0.99;
    const bool at_azeotrope = std::abs(last[0] - 0.34) < 0.02 && last[2] < 0.01;
    EXPECT_TRUE(at_methanol || at_azeotrope) << last[0] << " " << last[1] << " " << last[2];
    r = p.Invoke(map, "GetDistillationCurve", {R8Array({0.2, 0.3, 0.5})});
    ASSERT_EQ(Hr(r), 0);
    EXPECT_GT(Matrix(r["out"][1]).size(), 10u);

    r = p.Invoke(map, "GetDistillationBoundary");
    ASSERT_EQ(Hr(r), 0);
    const int boundaries = r["out"][0]["value"];
    EXPECT_GE(boundaries, 2);
    EXPECT_EQ(r["out"][1]["data"].size(), static_cast<std::size_t>(boundaries));
    ASSERT_EQ(r["out"][2]["bounds"].size(), 3u);
    EXPECT_EQ(r["out"][2]["bounds"][0][1], boundaries);

    r = p.Invoke(map, "GetIsovolatilityCurve");
    ASSERT_EQ(Hr(r), 0);
    EXPECT_GE(r["out"][0]["value"].get<int>(), 1);

    // Tie lines of a homogeneous mixture: no split, no failure.
    EXPECT_EQ(Hr(p.Invoke(map, "ComputeTieLine", {R8Array({0.3, 0.3, 0.4})})), 0);
    r = p.Invoke(map, "GetNewTieLineVLLE", {R8Array({0.3, 0.3, 0.4})});
    ASSERT_EQ(Hr(r), 0);
    EXPECT_EQ(Vector(r["out"][0]), std::vector<double>(3, -999.0));
    EXPECT_EQ(Hr(p.Invoke(map, "Temperature", {298.15}, "put")), 0);
    r = p.Invoke(map, "GetNewTieLineLLE", {R8Array({0.3, 0.3, 0.4})});
    EXPECT_EQ(Hr(r), 0);

    // Envelopes: computed or not, the getters return the documented layouts.
    p.Invoke(map, "ComputeEnvelopeLLE");
    EXPECT_EQ(Hr(p.Invoke(map, "GetCurveLLE")), 0);
    EXPECT_EQ(Hr(p.Invoke(map, "GetTielinesLLE")), 0);
    p.Invoke(map, "ComputeEnvelopeVLLE");
    r = p.Invoke(map, "GetCurveVLLE");
    EXPECT_EQ(Hr(r), 0);
    EXPECT_EQ(r["out"][1]["vt"], "R8");
    EXPECT_EQ(Hr(p.Invoke(map, "GetTielinesVLLE")), 0);
}

TEST_F(Server, ProtocolErrorsLeaveTheServerServing) {
    ServerProcess p(kServerExe);
    ASSERT_TRUE(p.SendLine("this is not json"));
    auto reply = p.ReadReply();
    ASSERT_TRUE(reply);
    EXPECT_EQ((*reply)["error"]["code"], -32700);
    ASSERT_TRUE(p.SendLine(R"({"jsonrpc":"2.0","id":5,"method":"invoke","params":{"object":1,"member":)"));
    reply = p.ReadReply();
    ASSERT_TRUE(reply);
    EXPECT_EQ((*reply)["error"]["code"], -32700);
    EXPECT_EQ(p.Request("nosuchmethod", json::object())["error"]["code"], -32601);
    EXPECT_EQ(p.Request("create", {{"class", "Ternival.Nothing"}})["error"]["code"], -32001);
    EXPECT_EQ(p.Request("create", {{"class", "DistillationMap"}})["error"]["code"], -32001);
    EXPECT_EQ(p.Request("invoke", {{"object", 42}, {"member", "Pressure"}})["error"]["code"], -32003);
    const std::int64_t app = p.Create("ternival.distillationapp.38.0");
    // Each class object serves one creation in a process.
    EXPECT_EQ(p.Request("create", {{"class", "Ternival.DistillationApp"}})["error"]["code"], -32002);
    // Malformed values are refused before they reach the object.
    EXPECT_EQ(p.Request("invoke", {{"object", app}, {"member", "InitFromVmpdfFile"},
                                   {"args", {{{"vt", "NOSUCHTYPE"}}}}})["error"]["code"], -32602);
    EXPECT_EQ(p.Request("invoke", {{"object", app}, {"member", "GetDistillationMap"}, {"args", "x"}})["error"]["code"],
              -32602);
    EXPECT_EQ(Hr(p.Invoke(app, "InitFromVmpdfFile", {12})), kTypeMismatch);
    // A notification gets no reply; the next request still does.
    ASSERT_TRUE(p.SendLine(R"({"jsonrpc":"2.0","method":"typelib"})"));
    EXPECT_EQ(Hr(p.Invoke(app, "InitFromVmpdfFile", {kAcmFile})), 0);
}

TEST_F(Server, ReleasingTheLastObjectEndsTheServer) {
    ServerProcess p(kServerExe);
    std::int64_t app = 0;
    const std::int64_t map = OpenMap(p, app);
    json r = p.Request("release", {{"object", app}});
    EXPECT_EQ(r["result"]["objects"], json({map}));
    // The application took the engine with it: the map lives on but no
    // longer computes.
    EXPECT_EQ(Hr(p.Invoke(map, "GetPureProperties")), kEFail);
    EXPECT_EQ(Hr(p.Invoke(map, "StepSizeEnv", {}, "get")), 0);
    p.Request("release", {{"object", map}});
    ASSERT_TRUE(p.WaitExit(20000));
    EXPECT_TRUE(WIFEXITED(p.status()));
    EXPECT_EQ(WEXITSTATUS(p.status()), 0);
}

TEST_F(Server, ClientThatDiesMidCallLeavesTheServerToEndCleanly) {
    ServerProcess p(kServerExe);
    std::int64_t app = 0;
    const std::int64_t map = OpenMap(p, app);
    p.Invoke(map, "GetPureProperties");
    // A long call, then the client vanishes without reading the answer.
    ASSERT_TRUE(p.SendLine(json{{"jsonrpc", "2.0"}, {"id", 99}, {"method", "invoke"},
                                {"params", {{"object", map}, {"member", "GetDistillationBoundary"}}}}
                               .dump()));
    p.CloseInput();
    ASSERT_TRUE(p.WaitExit(60000));
    EXPECT_TRUE(WIFEXITED(p.status())) << "ended by signal " << WTERMSIG(p.status());
    EXPECT_EQ(WEXITSTATUS(p.status()), 0);
}

TEST_F(Server, PythonClientPrintsAzeotropesAndAResidueCurve) {
    const std::string cmd = "PYTHONPATH=" + std::string(TERNIVAL_CLIENT_DIR) + " python3 " +
                            std::string(TERNIVAL_EXAMPLES_DIR) + "/server_client_example.py 2>&1";
    FILE* f = ::popen(cmd.c_str(), "r");
    ASSERT_NE(f, nullptr);
    std::string out;
    char buf[4096];
    while (std::size_t n = std::fread(buf, 1, sizeof buf, f)) out.append(buf, n);
    const int status = ::pclose(f);
    ASSERT_EQ(status, 0) << out;
    EXPECT_NE(out.find("4 azeotropes"), std::string::npos) << out;
    EXPECT_NE(out.find("saddle, homogeneous"), std::string::npos) << out;
    EXPECT_NE(out.find("residue curve from (0.2, 0.3, 0.5)"), std::string::npos) << out;
}

}  // namespace
}  // namespace ternival::testing
