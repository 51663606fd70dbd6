// What callers of the automation objects rely on: how compositions and
// component names are read, what the azeotrope table holds between
// searches, and that a result the data do not support comes back as a
// failure through ErrorCode and MessageCode, never as a number.
#include <algorithm>
#include <cmath>
#include <fstream>
#include <limits>
#include <map>

#include "server_env.h"

namespace ternival::testing {
namespace {

class Contract : public ServerEnvironment {
protected:
    void SetUp() override {
        ServerEnvironment::SetUp();
        ASSERT_EQ(RunServer("-RegServer"), 0);
    }
    std::int64_t OpenApp(ServerProcess& p, const std::string& file) {
        const std::int64_t app = p.Create("Ternival.DistillationApp");
        EXPECT_EQ(Hr(p.Invoke(app, "InitFromVmpdfFile", {file})), 0);
        return app;
    }
    std::int64_t NewMap(ServerProcess& p, std::int64_t app, const std::vector<std::string>& names,
                        double pressure = 101325.0, int phase = 2) {
        const std::int64_t map = p.Invoke(app, "GetDistillationMap")["out"][0]["object"];
        EXPECT_EQ(Hr(p.Invoke(map, "SetComponentData", {names[0], names[1], names[2]})), 0);
        EXPECT_EQ(Hr(p.Invoke(map, "SetPropertyData", {"NRTL", "NRTL", "NRTL", phase})), 0);
        EXPECT_EQ(Hr(p.Invoke(map, "Pressure", {pressure}, "put")), 0);
        return map;
    }
    std::int64_t NewSearch(ServerProcess& p, std::int64_t app, const std::vector<std::string>& names) {
        const std::int64_t s = p.Invoke(app, "GetAzeotropeSearch")["out"][0]["object"];
        EXPECT_EQ(Hr(p.Invoke(s, "SetComponentData", {StringArray(names)})), 0);
        EXPECT_EQ(Hr(p.Invoke(s, "SetPropertyData", {"NRTL", "NRTL", "NRTL", 2})), 0);
        EXPECT_EQ(Hr(p.Invoke(s, "Pressure", {101325.0}, "put")), 0);
        return s;
    }
    static std::int64_t Code(ServerProcess& p, std::int64_t map, const char* name) {
        return p.Invoke(map, name, {}, "get")["out"][0]["value"].get<std::int64_t>();
    }
    std::string RunLog() {
        std::string log;
        for (const auto& entry : std::filesystem::directory_iterator(dir_ / "tmp"))
            if (entry.path().extension() == ".log") {
                std::ifstream in(entry.path());
                log.append(std::istreambuf_iterator<char>(in), {});
            }
        return log;
    }
    std::string Write(const std::string& name, const std::string& text) {
        const std::string path = (dir_ / name).string();
        std::ofstream(path) << text;
        return path;
    }
};

json Matrix1x3(double a, double b, double c, bool rows = true) {
    return json{{"vt", "ARRAY|R8"},
                {"bounds", rows ? json{{0, 1}, {0, 3}} : json{{0, 3}, {0, 1}}},
                {"data", {a, b, c}}};
}

// Compositions are read as Top and Left, with Right taking the rest; each
// accepted row boils where its completed composition does.
TEST_F(Contract, CompositionsAreTopAndLeftWithRightTheRest) {
    ServerProcess p(kServerExe);
    const std::int64_t app = OpenApp(p, kAcmFile);
    const std::int64_t map = NewMap(p, app, {"ACETONE", "CHLOROFM", "METHANOL"});
    const auto boil = [&](const json& x) {
        const json r = p.Invoke(map, "GetBoilingPoint", {x});
        return Hr(r) == 0 ? r["out"][0]["value"].get<double>() : std::nan("");
    };
    struct Row {
        json given;
        std::vector<double> completed;  // the composition it stands for; empty: refused
    };
    const std::vector<Row> rows{
        {R8Array({0.3333, 0.3333, 0.3333}), {0.3333, 0.3333, 0.3334}},
        {R8Array({0.2, 0.3, 0.48}), {0.2, 0.3, 0.5}},
        {R8Array({0.2, 0.3, 0.5, 7.0}), {0.2, 0.3, 0.5}},
        {R8Array({0.5, 0.5}), {0.5, 0.5, 0.0}},
        {R8Array({-5e-7, 0.5, 0.5}), {0.0, 0.5, 0.5}},
        {R8Array({0.6, 0.4 + 5e-7, 0.0}), {0.6, 0.4, 0.0}},
        {Matrix1x3(0.2, 0.3, 0.5), {0.2, 0.3, 0.5}},
        {Matrix1x3(0.2, 0.3, 0.5, false), {0.2, 0.3, 0.5}},
        {json{{"vt", "ARRAY|I4"}, {"bounds", {{1, 3}}}, {"data", {1, 0, 0}}}, {1.0, 0.0, 0.0}},
        {R8Array({-0.2, 0.6, 0.6}), {}},
        {R8Array({1.5, -0.5, 0.0}), {}},
        {R8Array({0.7, 0.4, 0.0}), {}},
        {R8Array({0.5}), {}},
        {R8Array({0.0, 0.0, 0.0}), {0.0, 0.0, 1.0}},
        {json("0.3,0.3,0.4"), {}},
        {json(0.5), {}},
        {json{{"vt", "ARRAY|VARIANT"}, {"bounds", {{0, 3}}}, {"data", {0.2, "x", 0.5}}}, {}},
    };
    for (const Row& row : rows) {
        const double t = boil(row.given);
        if (row.completed.empty()) {
            EXPECT_TRUE(std::isnan(t)) << row.given.dump();
            EXPECT_EQ(Hr(p.Invoke(map, "GetResidueCurve", {row.given})), kEFail) << row.given.dump();
            EXPECT_EQ(Hr(p.Invoke(map, "GetNewTieLineLLE", {row.given})), kEFail) << row.given.dump();
            continue;
        }
        ASSERT_FALSE(std::isnan(t)) << row.given.dump();
        EXPECT_NEAR(t, boil(R8Array(row.completed)), 1e-4) << row.given.dump();
    }
    // Pure acetone boils at its normal boiling point, 329.2 K.
    EXPECT_NEAR(boil(R8Array({1.0, 0.0})), 329.3, 0.3);
    // Every point of the server's own residue curve is a valid start again,
    // round-off below zero included.
    const json r = p.Invoke(map, "GetResidueCurve", {R8Array({0.6, 0.3, 0.1})});
    ASSERT_EQ(Hr(r), 0);
    const auto curve = Matrix(r["out"][1]);
    ASSERT_GT(curve.size(), 20u);
    for (const auto& x : curve) EXPECT_FALSE(std::isnan(boil(R8Array(x)))) << x[0] << " " << x[1] << " " << x[2];
}

// Identifiers compare on their first 8 characters, in the map and in the
// search: "CHLOROFMXX" is chloroform, and names one component with
// "CHLOROFM".
TEST_F(Contract, IdentifiersCompareOnTheirFirstEightCharacters) {
    ServerProcess p(kServerExe);
    const std::int64_t app = OpenApp(p, kAcmFile);
    const std::int64_t map = NewMap(p, app, {"ACETONE", "CHLOROFMXX", "METHANOL"});
    json r = p.Invoke(map, "GetBoilingPoint", {R8Array({0.0, 1.0, 0.0})});
    ASSERT_EQ(Hr(r), 0);
    EXPECT_NEAR(r["out"][0]["value"].get<double>(), 334.3, 0.3);  // chloroform's normal boiling point
    EXPECT_EQ(Hr(p.Invoke(map, "SetComponentData", {"CHLOROFM", "CHLOROFMXX", "METHANOL"})), kEFail);
    const std::int64_t s = NewSearch(p, app, {"acetone", "CHLOROFMXX", "METHANOLZ"});
    ASSERT_EQ(Hr(p.Invoke(s, "ComputeAzeotropes")), 0);
    r = p.Invoke(s, "GetAzeotropes");
    ASSERT_EQ(Hr(r), 0);
    EXPECT_EQ(r["out"][0]["value"], 4);
    EXPECT_EQ(Hr(p.Invoke(s, "SetComponentData", {StringArray({"METHANOL", "ACETONE", "METHANOLXYZ"})})), kEFail);
}

// The search's table: empty before any search; the last one after a change
// of pressure or property data; refused for other components or another
// file.  More than twenty components still get their pure properties, and
// a search of no components reports its status.
TEST_F(Contract, TheAzeotropeTableBetweenSearches) {
    ServerProcess p(kServerExe);
    const std::int64_t app = OpenApp(p, kAcmFile);
    const std::int64_t s = NewSearch(p, app, {"ACETONE", "CHLOROFM", "METHANOL"});
    json r = p.Invoke(s, "GetAzeotropes");
    ASSERT_EQ(Hr(r), 0);
    EXPECT_EQ(r["out"][0]["value"], 0);
    EXPECT_EQ(r["out"][1]["data"], json::array());
    ASSERT_EQ(Hr(p.Invoke(s, "ComputeAzeotropes")), 0);
    const json at_1atm = p.Invoke(s, "GetAzeotropes");
    ASSERT_EQ(at_1atm["out"][0]["value"], 4);
    ASSERT_EQ(Hr(p.Invoke(s, "Pressure", {50000.0}, "put")), 0);
    ASSERT_EQ(Hr(p.Invoke(s, "SetPropertyData", {"NRTL", "NRTL", "NRTL", 3})), 0);
    r = p.Invoke(s, "GetAzeotropes");
    ASSERT_EQ(Hr(r), 0);
    EXPECT_EQ(r["out"], at_1atm["out"]);
    ASSERT_EQ(Hr(p.Invoke(s, "SetComponentData", {StringArray({"ACETONE", "CHLOROFM"})})), 0);
    EXPECT_EQ(Hr(p.Invoke(s, "GetAzeotropes")), kEFail);
    ASSERT_EQ(Hr(p.Invoke(s, "SetComponentData", {StringArray({"ACETONE", "CHLOROFM", "METHANOL"})})), 0);
    EXPECT_EQ(Hr(p.Invoke(s, "GetAzeotropes")), 0);
    ASSERT_EQ(Hr(p.Invoke(app, "InitFromVmpdfFile", {kAcmFile})), 0);  // the file again: opened anew
    EXPECT_EQ(Hr(p.Invoke(s, "GetAzeotropes")), kEFail);

    // No components: the search says so in the run log.
    const std::int64_t empty = p.Invoke(app, "GetAzeotropeSearch")["out"][0]["object"];
    ASSERT_EQ(Hr(p.Invoke(empty, "ComputeAzeotropes")), 0);
    EXPECT_NE(RunLog().find("Azeo_Search : Azeotrope search calculation error (qzerr <= 1)"), std::string::npos);

    // Twenty-one ideal components with boiling points 300, 305, ... K, in a
    // server of their own.
    std::string text = "[[method]]\nname = \"NRTL\"\nmodel = \"IDEAL\"\n";
    std::vector<std::string> names;
    for (int k = 0; k < 21; ++k) {
        names.push_back("C" + std::to_string(k));
        const double tb = 300.0 + 5.0 * k;
        text += "[[component]]\nid = \"" + names.back() + "\"\nmw = 50.0\nantoine = [22.0, " +
                std::to_string(-(22.0 - std::log(101325.0)) * tb) + "]\n";
    }
    ServerProcess p21(kServerExe);
    const std::int64_t app21 = OpenApp(p21, Write("ideal21.toml", text));
    const std::int64_t big = NewSearch(p21, app21, names);
    r = p21.Invoke(big, "GetPureProperties");
    ASSERT_EQ(Hr(r), 0);
    const auto tb = Vector(r["out"][1]);
    ASSERT_EQ(tb.size(), 21u);
    for (int k = 0; k < 21; ++k) EXPECT_NEAR(tb[static_cast<std::size_t>(k)], 300.0 + 5.0 * k, 1e-3);
}

// Boundaries of a fresh map are oriented by the boiling points of the pure
// components: on the zeotropic benzene/toluene/ethylbenzene each edge's
// direction code says whether it is stored from its lighter end (2) or
// its heavier end (-2), whatever the column order.
TEST_F(Contract, BoundariesOfAFreshMapFollowTheBoilingOrder) {
    ServerProcess p(kServerExe);
    const std::int64_t app = OpenApp(p, std::string(TERNIVAL_EXAMPLES_DIR) + "/benzene_toluene_ethylbenzene.toml");
    const std::map<std::string, double> tb{{"BENZENE", 353.2}, {"TOLUENE", 383.8}, {"ETHBENZ", 408.7}};
    for (const std::vector<std::string>& order : {std::vector<std::string>{"BENZENE", "TOLUENE", "ETHBENZ"},
                                                  {"ETHBENZ", "TOLUENE", "BENZENE"},
                                                  {"TOLUENE", "ETHBENZ", "BENZENE"}}) {
        const std::int64_t fresh = NewMap(p, app, order);
        const json r = p.Invoke(fresh, "GetDistillationBoundary");
        ASSERT_EQ(Hr(r), 0);
        ASSERT_EQ(r["out"][0]["value"], 3) << order[0];
        const json& b = r["out"][2];
        const std::size_t nc = b["bounds"][0][1], np = b["bounds"][1][1];
        // Element (c, k, i) at c + nc * (k + np * i).
        const auto x = [&](std::size_t c, std::size_t k, std::size_t i) {
            return b["data"][c + nc * (k + np * i)].get<double>();
        };
        for (std::size_t c = 0; c < nc; ++c) {
            std::size_t last = 0;
            for (std::size_t k = 0; k < np; ++k)
                if (x(c, k, 0) >= 0.0) last = k;
            std::size_t from = 3, to = 3;
            for (std::size_t i = 0; i < 3; ++i) {
                if (x(c, 0, i) > 0.99) from = i;
                if (x(c, last, i) > 0.99) to = i;
            }
            ASSERT_LT(from, 3u);
            ASSERT_LT(to, 3u);
            const int expected = tb.at(order[from]) < tb.at(order[to]) ? 2 : -2;
            EXPECT_EQ(r["out"][1]["data"][c], expected) << order[0] << " edge " << c;
        }
    }
}

// Results the data do not support are failures: boiling points above a
// critical temperature or outside a vapour-pressure correlation, tables
// whose codes break the topological constraint, and envelopes at a
// temperature no flash can take.
TEST_F(Contract, ResultsTheDataDoNotSupportComeBackAsFailures) {
    ServerProcess p(kServerExe);
    const std::int64_t app = OpenApp(p, kAcmFile);
    const std::int64_t map = NewMap(p, app, {"ACETONE", "CHLOROFM", "METHANOL"}, 5e6);
    // At 5 MPa acetone would boil above its critical temperature (508.1 K).
    json r = p.Invoke(map, "GetPureProperties");
    ASSERT_EQ(Hr(r), 0);
    auto tb = Vector(r["out"][1]);
    EXPECT_EQ(tb[0], -1.0);
    EXPECT_LT(tb[1], 536.4);  // chloroform still below its own
    EXPECT_GT(Code(p, map, "ErrorCode"), 0);
    EXPECT_EQ(Code(p, map, "MessageCode"), 502);
    // At 10 MPa nothing boils below its critical temperature: the
    // azeotropes are no result either.
    ASSERT_EQ(Hr(p.Invoke(map, "Pressure", {1e7}, "put")), 0);
    ASSERT_EQ(Hr(p.Invoke(map, "GetAzeotropes")), 0);
    EXPECT_NE(Code(p, map, "ErrorCode"), 0);
    EXPECT_EQ(Code(p, map, "MessageCode"), 502);
    // At 1 atm all is well again.
    ASSERT_EQ(Hr(p.Invoke(map, "Pressure", {101325.0}, "put")), 0);
    ASSERT_EQ(Hr(p.Invoke(map, "GetPureProperties")), 0);
    ASSERT_EQ(Hr(p.Invoke(map, "GetAzeotropes")), 0);
    EXPECT_EQ(Code(p, map, "ErrorCode"), 0);
    EXPECT_EQ(Code(p, map, "MessageCode"), 0);
    // An LLE envelope at 0 K: computed, and failed through its codes.
    for (const double t : {0.0, -5.0}) {
        ASSERT_EQ(Hr(p.Invoke(map, "Temperature", {t}, "put")), 0);
        EXPECT_EQ(Hr(p.Invoke(map, "ComputeEnvelopeLLE")), 0);
        EXPECT_EQ(Code(p, map, "ErrorCode"), 2);
        EXPECT_EQ(Code(p, map, "MessageCode"), 502);
    }

    // The singular points of this made-up ternary fail the topological
    // check in every component order at 8173.32 Pa with three phases.
    ServerProcess q(kServerExe);
    const std::int64_t odd = OpenApp(q, std::string(TERNIVAL_TEST_DATA_DIR) + "/inconsistent_ternary.toml");
    const std::int64_t m3 = NewMap(q, odd, {"C0", "C1", "C2"}, 8173.32, 3);
    ASSERT_EQ(Hr(q.Invoke(m3, "GetPureProperties")), 0);
    r = q.Invoke(m3, "GetAzeotropes");
    ASSERT_EQ(Hr(r), 0);
    EXPECT_EQ(Code(q, m3, "MessageCode"), 511);
    EXPECT_EQ(Code(q, m3, "ErrorCode"), 3);
}

// Benzene's first vapour-pressure constant mistyped (180.58 for 83.107):
// no boiling point at 1 atm the engine can stand by, and the map says so.
TEST_F(Contract, AWrongVapourPressureConstantIsNoBoilingPoint) {
    std::ifstream in(kEwbFile);
    std::string text((std::istreambuf_iterator<char>(in)), {});
    text.replace(text.find("83.107, -6486.2"), 6, "180.58");
    ServerProcess p(kServerExe);
    const std::int64_t app = OpenApp(p, Write("ewb_typo.toml", text));
    const std::int64_t map = NewMap(p, app, {"ETHANOL", "WATER", "BENZENE"});
    const json r = p.Invoke(map, "GetPureProperties");
    ASSERT_EQ(Hr(r), 0);
    EXPECT_EQ(Vector(r["out"][1])[2], -1.0);
    EXPECT_NE(Code(p, map, "ErrorCode"), 0);
    EXPECT_EQ(Code(p, map, "MessageCode"), 502);
    ASSERT_EQ(Hr(p.Invoke(map, "GetAzeotropes")), 0);
    EXPECT_NE(Code(p, map, "ErrorCode"), 0);
}

// The design extension, created in the map's own server, tells which of
// the map's azeotropes found with two phases boil as two liquids (water/
// benzene, a known heteroazeotrope), and switches the map to the complete
// search, which finds both measured benzene/hexafluorobenzene azeotropes.
TEST_F(Contract, TheDesignExtensionChecksLiquidsAndChoosesTheSearch) {
    ServerProcess p(kServerExe);
    const std::int64_t app = OpenApp(p, kEwbFile);
    const std::int64_t map = NewMap(p, app, {"ETHANOL", "WATER", "BENZENE"});
    const std::int64_t design = p.Create("Ternival.DistillationDesign");
    const std::int64_t second = p.Create("Ternival.DistillationDesign");  // any number of them
    EXPECT_NE(design, second);
    EXPECT_EQ(Hr(p.Invoke(design, "GetLiquidSplits")), kEFail);  // attached to nothing yet
    ASSERT_EQ(Hr(p.Invoke(design, "Attach", {json{{"vt", "DISPATCH"}, {"object", map}}})), 0);
    ASSERT_EQ(Hr(p.Invoke(map, "GetPureProperties")), 0);
    json r = p.Invoke(map, "GetAzeotropes");
    ASSERT_EQ(Hr(r), 0);
    const auto x = Matrix(r["out"][1]);
    r = p.Invoke(design, "GetLiquidSplits");
    ASSERT_EQ(Hr(r), 0);
    ASSERT_EQ(r["out"][0]["value"].get<std::size_t>(), x.size());
    for (std::size_t a = 0; a < x.size(); ++a) {
        const bool water_benzene = x[a][0] < 1e-9 && x[a][1] > 0.1 && x[a][2] > 0.1;
        EXPECT_EQ(r["out"][1]["data"][a], water_benzene ? 1 : 0) << a;
    }
    EXPECT_EQ(p.Invoke(design, "SearchKind", {}, "get")["out"][0]["value"], "classic");
    EXPECT_EQ(Hr(p.Invoke(design, "SearchKind", {"exhaustive"}, "put")), static_cast<std::int32_t>(0x80070057u));

    // Benzene and hexafluorobenzene (two azeotropes at 1 atm, 352.45 K and
    // 353.45 K) with toluene, which hardly affects them.
    std::ifstream in(std::string(TERNIVAL_TEST_DATA_DIR) + "/benzene_hexafluorobenzene.toml");
    std::string text((std::istreambuf_iterator<char>(in)), {});
    text += "\n[[component]]\nid = \"TOLUENE\"\nmw = 92.14\nantoine = [21.0, -3100.0, -53.0]\n";
    ServerProcess q(kServerExe);
    const std::int64_t bh = OpenApp(q, Write("bzf.toml", text));
    const std::int64_t m = NewMap(q, bh, {"BENZENE", "C6F6", "TOLUENE"});
    const std::int64_t d = q.Create("Ternival.DistillationDesign");
    ASSERT_EQ(Hr(q.Invoke(d, "Attach", {json{{"vt", "DISPATCH"}, {"object", m}}})), 0);
    ASSERT_EQ(Hr(q.Invoke(m, "GetPureProperties")), 0);
    const auto binaries = [&] {
        std::vector<double> t;
        const json az = q.Invoke(m, "GetAzeotropes");
        const auto xs = Matrix(az["out"][1]);
        const auto ts = Vector(az["out"][2]);
        for (std::size_t a = 0; a < xs.size(); ++a)
            if (xs[a][2] < 1e-9) t.push_back(ts[a]);
        std::sort(t.begin(), t.end());
        return t;
    };
    EXPECT_LT(binaries().size(), 2u);
    ASSERT_EQ(Hr(q.Invoke(d, "SearchKind", {"complete"}, "put")), 0);
    const auto both = binaries();
    ASSERT_EQ(both.size(), 2u);
    EXPECT_NEAR(both[0], 352.45, 0.2);
    EXPECT_NEAR(both[1], 353.45, 0.3);
}

}  // namespace
}  // namespace ternival::testing
