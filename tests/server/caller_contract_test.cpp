// What callers of the automation objects rely on: how component names and compositions are read, what the azeotrope
// table holds between searches, that a result the data do not support comes back as a failure through ErrorCode and
// MessageCode, never as a number, and that results belong to what the client asked for: calls no file or argument
// supports, tables and envelopes after the components, the pressure or the file change, invalid pressures, empty
// results and object references.
#include <algorithm>
#include <cmath>
#include <map>

#include "server_env.h"

namespace ternival::testing {
namespace {

using Contract = RegisteredServer;
using Integrity = RegisteredServer;

std::int64_t Code(ServerProcess& p, std::int64_t map, const char* name) {
    return Get(p, map, name).get<std::int64_t>();
}

using namespace automation;

// Azeotropes of a map as rows of (x0, x1, x2).
std::vector<std::vector<double>> Azeotropes(const json& result) { return Matrix(result["out"][1]); }

double Distance(const std::vector<double>& a, const std::vector<double>& b) {
    double s = 0.0;
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) s += (a[i] - b[i]) * (a[i] - b[i]);
    return std::sqrt(s);
}
double DistanceToNearest(const std::vector<double>& x, const std::vector<std::vector<double>>& points) {
    double best = 1e9;
    for (const auto& s : points) best = std::min(best, Distance(x, s));
    return best;
}

// Both end points of every boundary are singular points of the mixture in
// the map's present column order: pure vertices or the azeotropes given.
void ExpectBoundariesEndAt(const json& boundary, std::vector<std::vector<double>> singular, double tolerance) {
    const json& b = boundary["out"][2];
    ASSERT_EQ(b["bounds"].size(), 3u);
    const std::size_t nc = b["bounds"][0][1], np = b["bounds"][1][1];
    ASSERT_GT(nc, 0u);
    singular.insert(singular.end(), {{1.0, 0.0, 0.0}, {0.0, 1.0, 0.0}, {0.0, 0.0, 1.0}});
    for (std::size_t c = 0; c < nc; ++c) {
        // Element (c, p, i) at c + nc * (p + np * i).
        const auto point = [&](std::size_t p) {
            std::vector<double> x(3);
            for (std::size_t i = 0; i < 3; ++i) x[i] = b["data"][c + nc * (p + np * i)].get<double>();
            return x;
        };
        std::size_t last = 0;
        for (std::size_t p = 0; p < np; ++p)
            if (point(p)[0] >= 0.0) last = p;
        for (const std::size_t end : {std::size_t{0}, last})
            EXPECT_LT(DistanceToNearest(point(end), singular), tolerance)
                << "boundary " << c << " at (" << json(point(end)).dump() << ")";
    }
}

// Identifiers compare on their first 8 characters: "CHLOROFMXX" is chloroform and names one component with "CHLOROFM".
// A refused list leaves the components as they were.  Compositions are read as Top and Left, with Right taking the
// rest; each accepted row boils where its completed composition does.
TEST_F(Contract, IdentifiersAndCompositionsAsCallersGiveThem) {
    ServerProcess p(kServerExe);
    const std::int64_t map = NewMap(p, OpenApp(p, kAcmFile), {"ACETONE", "CHLOROFMXX", "METHANOL"});
    EXPECT_EQ(Hr(p.Invoke(map, "SetComponentData", {"CHLOROFM", "CHLOROFMXX", "METHANOL"})), kEFail);
    EXPECT_EQ(Hr(p.Invoke(map, "SetComponentData", {"ACETONE", "acetone", "METHANOL"})), kEFail);
    const auto boil = [&](const json& x) {
        const json r = p.Invoke(map, "GetBoilingPoint", {x});
        return Hr(r) == 0 ? r["out"][0]["value"].get<double>() : std::nan("");
    };
    // Normal boiling points: chloroform 334.3 K, acetone 329.2 K.
    EXPECT_NEAR(boil(R8Array({0.0, 1.0, 0.0})), 334.3, 0.3);
    EXPECT_NEAR(boil(R8Array({1.0, 0.0})), 329.3, 0.3);
    // Each row given, and the composition it stands for (empty: refused).
    const std::vector<std::pair<json, std::vector<double>>> rows{
        {R8Array({0.3333, 0.3333, 0.3333}), {0.3333, 0.3333, 0.3334}},
        {R8Array({0.2, 0.3, 0.48}), {0.2, 0.3, 0.5}},
        {R8Array({0.2, 0.3, 0.5, 7.0}), {0.2, 0.3, 0.5}},
        {R8Array({0.5, 0.5}), {0.5, 0.5, 0.0}},
        {R8Array({-5e-7, 0.5, 0.5}), {0.0, 0.5, 0.5}},
        {R8Array({0.6, 0.4 + 5e-7, 0.0}), {0.6, 0.4, 0.0}},
        {json{{"vt", "ARRAY|R8"}, {"bounds", {{0, 1}, {0, 3}}}, {"data", {0.2, 0.3, 0.5}}}, {0.2, 0.3, 0.5}},
        {json{{"vt", "ARRAY|R8"}, {"bounds", {{0, 3}, {0, 1}}}, {"data", {0.2, 0.3, 0.5}}}, {0.2, 0.3, 0.5}},
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
    for (const auto& [given, completed] : rows) {
        SCOPED_TRACE(given.dump());
        const double t = boil(given);
        if (completed.empty()) {
            EXPECT_TRUE(std::isnan(t));
            EXPECT_EQ(Hr(p.Invoke(map, "GetResidueCurve", {given})), kEFail);
            EXPECT_EQ(Hr(p.Invoke(map, "GetNewTieLineLLE", {given})), kEFail);
            continue;
        }
        ASSERT_FALSE(std::isnan(t));
        EXPECT_NEAR(t, boil(R8Array(completed)), 1e-4);
    }
    // Every point of the server's own residue curve is a valid start again, round-off below zero included.
    const json r = p.Invoke(map, "GetResidueCurve", {R8Array({0.6, 0.3, 0.1})});
    ASSERT_EQ(Hr(r), 0);
    const auto curve = Matrix(r["out"][1]);
    ASSERT_GT(curve.size(), 20u);
    for (const auto& x : curve) EXPECT_FALSE(std::isnan(boil(R8Array(x)))) << x[0] << " " << x[1] << " " << x[2];
}

// The search's table, of components named by their first 8 characters in any case: empty before any search, whatever
// order of calls; the last one after a change of pressure or property data or a refused component list; refused for
// other components or another file.  A search of no components reports its status in the run log, and so does one of
// more than twenty components, which still get their pure properties.
TEST_F(Contract, TheAzeotropeTableBetweenSearches) {
    ServerProcess p(kServerExe);
    const std::int64_t app = OpenApp(p, kAcmFile);
    const std::int64_t s = NewSearch(p, app, {"acetone", "CHLOROFMXX", "METHANOLZ"});
    json r = p.Invoke(s, "GetAzeotropes");
    ASSERT_EQ(Hr(r), 0);
    EXPECT_EQ(r["out"][0]["value"], 0);
    EXPECT_EQ(r["out"][1]["data"], json::array());
    ASSERT_EQ(Hr(p.Invoke(s, "ComputeAzeotropes")), 0);  // before any GetPureProperties
    const json at_1atm = p.Invoke(s, "GetAzeotropes");
    ASSERT_EQ(at_1atm["out"][0]["value"], 4);
    ASSERT_EQ(Hr(p.Invoke(s, "Pressure", {50000.0}, "put")), 0);
    ASSERT_EQ(Hr(p.Invoke(s, "SetPropertyData", {"NRTL", "NRTL", "NRTL", 3})), 0);
    EXPECT_EQ(Hr(p.Invoke(s, "SetComponentData", {StringArray({"ACETONE", "CHLOROFM", "acetone"})})), kEFail);
    EXPECT_EQ(Hr(p.Invoke(s, "SetComponentData", {StringArray({"METHANOL", "ACETONE", "METHANOLXYZ"})})), kEFail);
    r = p.Invoke(s, "GetAzeotropes");
    ASSERT_EQ(Hr(r), 0);
    EXPECT_EQ(r["out"], at_1atm["out"]);
    ASSERT_EQ(Hr(p.Invoke(s, "SetComponentData", {StringArray({"ACETONE", "CHLOROFM"})})), 0);
    EXPECT_EQ(Hr(p.Invoke(s, "GetAzeotropes")), kEFail);
    ASSERT_EQ(Hr(p.Invoke(s, "SetComponentData", {StringArray({"ACETONE", "CHLOROFM", "METHANOL"})})), 0);
    EXPECT_EQ(Hr(p.Invoke(s, "GetAzeotropes")), 0);
    ASSERT_EQ(Hr(p.Invoke(app, "InitFromVmpdfFile", {kAcmFile})), 0);  // the file again: opened anew
    EXPECT_EQ(Hr(p.Invoke(s, "GetAzeotropes")), kEFail);
    // Two components after three: the binary's own table, the maximum-boiling acetone/chloroform azeotrope at x = 0.34.
    ASSERT_EQ(Hr(p.Invoke(s, "SetComponentData", {StringArray({"ACETONE", "CHLOROFM"})})), 0);
    ASSERT_EQ(Hr(p.Invoke(s, "Pressure", {101325.0}, "put")), 0);
    ASSERT_EQ(Hr(p.Invoke(s, "SetPropertyData", {"NRTL", "NRTL", "NRTL", 2})), 0);
    ASSERT_EQ(Hr(p.Invoke(s, "ComputeAzeotropes")), 0);
    const auto x = Matrix(p.Invoke(s, "GetAzeotropes")["out"][1]);
    ASSERT_EQ(x.size(), 1u);
    ASSERT_EQ(x[0].size(), 2u);
    EXPECT_NEAR(x[0][0] + x[0][1], 1.0, 1e-9);
    EXPECT_NEAR(x[0][0], 0.34, 0.03);

    const std::string status = "Azeo_Search : Azeotrope search calculation error (qzerr <= 1)";
    std::size_t told = Count(RunLog(), status);
    ASSERT_EQ(Hr(p.Invoke(Object(p, app, "GetAzeotropeSearch"), "ComputeAzeotropes")), 0);
    EXPECT_GT(Count(RunLog(), status), told);
    told = Count(RunLog(), status);

    // Twenty-one ideal components with boiling points 300, 305, ... K, in a server of their own.
    std::string text = "[[method]]\nname = \"NRTL\"\nmodel = \"IDEAL\"\n";
    std::vector<std::string> names;
    for (int k = 0; k < 21; ++k) {
        names.push_back("C" + std::to_string(k));
        text += "[[component]]\nid = \"" + names.back() + "\"\nmw = 50.0\nantoine = [22.0, " +
                std::to_string(-(22.0 - std::log(101325.0)) * (300.0 + 5.0 * k)) + "]\n";
    }
    ServerProcess p21(kServerExe);
    const std::int64_t big = NewSearch(p21, OpenApp(p21, write("ideal21.toml", text)), names);
    r = p21.Invoke(big, "GetPureProperties");
    ASSERT_EQ(Hr(r), 0);
    const auto tb = Vector(r["out"][1]);
    ASSERT_EQ(tb.size(), 21u);
    for (std::size_t k = 0; k < 21; ++k) EXPECT_NEAR(tb[k], 300.0 + 5.0 * static_cast<double>(k), 1e-3);
    ASSERT_EQ(Hr(p21.Invoke(big, "ComputeAzeotropes")), 0);
    EXPECT_EQ(p21.Invoke(big, "GetAzeotropes")["out"][0]["value"], 0);
    EXPECT_GT(Count(RunLog(), status), told);
}

// Boundaries of a fresh map are oriented by the boiling points of the pure components: on the zeotropic
// benzene/toluene/ethylbenzene each edge's direction code says whether it is stored from its lighter end (2) or its
// heavier end (-2), whatever the column order.
TEST_F(Contract, BoundariesOfAFreshMapFollowTheBoilingOrder) {
    ServerProcess p(kServerExe);
    const std::int64_t app = OpenApp(p, kBtxFile);
    const std::map<std::string, double> tb{{"BENZENE", 353.2}, {"TOLUENE", 383.8}, {"ETHBENZ", 408.7}};
    for (const std::vector<std::string>& order : {std::vector<std::string>{"BENZENE", "TOLUENE", "ETHBENZ"},
                                                  {"ETHBENZ", "TOLUENE", "BENZENE"},
                                                  {"TOLUENE", "ETHBENZ", "BENZENE"}}) {
        SCOPED_TRACE(order[0]);
        const json r = p.Invoke(NewMap(p, app, order), "GetDistillationBoundary");
        ASSERT_EQ(Hr(r), 0);
        ASSERT_EQ(r["out"][0]["value"], 3);
        const json& b = r["out"][2];
        const std::size_t nc = b["bounds"][0][1], np = b["bounds"][1][1];
        // Element (c, k, i) at c + nc * (k + np * i).
        const auto x = [&](std::size_t c, std::size_t k, std::size_t i) {
            return b["data"][c + nc * (k + np * i)].get<double>();
        };
        for (std::size_t c = 0; c < nc; ++c) {
            std::size_t last = 0, from = 3, to = 3;
            for (std::size_t k = 0; k < np; ++k)
                if (x(c, k, 0) >= 0.0) last = k;
            for (std::size_t i = 0; i < 3; ++i) {
                if (x(c, 0, i) > 0.99) from = i;
                if (x(c, last, i) > 0.99) to = i;
            }
            ASSERT_LT(from, 3u);
            ASSERT_LT(to, 3u);
            EXPECT_EQ(r["out"][1]["data"][c], tb.at(order[from]) < tb.at(order[to]) ? 2 : -2) << "edge " << c;
        }
    }
}

// Results the data do not support are failures: boiling points above a critical temperature or outside what a
// vapour-pressure correlation can stand by, tables whose codes break the topological constraint, and envelopes at a
// temperature no flash can take.
TEST_F(Contract, ResultsTheDataDoNotSupportComeBackAsFailures) {
    ServerProcess p(kServerExe);
    const std::int64_t map = NewMap(p, OpenApp(p, kAcmFile), {"ACETONE", "CHLOROFM", "METHANOL"}, 5e6);
    // At 5 MPa acetone would boil above its critical temperature (508.1 K).
    json r = p.Invoke(map, "GetPureProperties");
    ASSERT_EQ(Hr(r), 0);
    const auto tb = Vector(r["out"][1]);
    EXPECT_EQ(tb[0], -1.0);
    EXPECT_LT(tb[1], 536.4);  // chloroform still below its own
    EXPECT_GT(Code(p, map, "ErrorCode"), 0);
    EXPECT_EQ(Code(p, map, "MessageCode"), 502);
    // At 10 MPa nothing boils below its critical temperature: the azeotropes are no result either.
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

    // Benzene's first vapour-pressure constant mistyped (180.58 for
    // 83.107): no boiling point at 1 atm the engine can stand by.
    std::string text = Slurp(kEwbFile);
    text.replace(text.find("83.107, -6486.2"), 6, "180.58");
    ServerProcess q(kServerExe);
    const std::int64_t typo = NewMap(q, OpenApp(q, write("ewb_typo.toml", text)), {"ETHANOL", "WATER", "BENZENE"});
    r = q.Invoke(typo, "GetPureProperties");
    ASSERT_EQ(Hr(r), 0);
    EXPECT_EQ(Vector(r["out"][1])[2], -1.0);
    EXPECT_NE(Code(q, typo, "ErrorCode"), 0);
    EXPECT_EQ(Code(q, typo, "MessageCode"), 502);
    ASSERT_EQ(Hr(q.Invoke(typo, "GetAzeotropes")), 0);
    EXPECT_NE(Code(q, typo, "ErrorCode"), 0);

    // The singular points of this made-up ternary fail the topological
    // check in every component order at 8173.32 Pa with three phases.
    ServerProcess o(kServerExe);
    const std::int64_t odd = OpenApp(o, std::string(TERNIVAL_TEST_DATA_DIR) + "/inconsistent_ternary.toml");
    const std::int64_t m3 = NewMap(o, odd, {"C0", "C1", "C2"}, 8173.32, 3);
    ASSERT_EQ(Hr(o.Invoke(m3, "GetPureProperties")), 0);
    ASSERT_EQ(Hr(o.Invoke(m3, "GetAzeotropes")), 0);
    EXPECT_EQ(Code(o, m3, "MessageCode"), 511);
    EXPECT_EQ(Code(o, m3, "ErrorCode"), 3);
}

// The design extension, created in the map's own server, tells which of the map's azeotropes found with two phases boil
// as two liquids (water/benzene, a known heteroazeotrope), and switches the map to the complete search, which finds
// both measured benzene/hexafluorobenzene azeotropes.
TEST_F(Contract, TheDesignExtensionChecksLiquidsAndChoosesTheSearch) {
    ServerProcess p(kServerExe);
    const std::int64_t map = NewMap(p, OpenApp(p, kEwbFile), {"ETHANOL", "WATER", "BENZENE"});
    const std::int64_t design = p.Create("Ternival.DistillationDesign");
    EXPECT_NE(design, p.Create("Ternival.DistillationDesign"));  // any number of them
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
    EXPECT_EQ(Get(p, design, "SearchKind"), "classic");
    EXPECT_EQ(Hr(p.Invoke(design, "SearchKind", {"exhaustive"}, "put")), E_INVALIDARG);

    // Benzene and hexafluorobenzene (two azeotropes at 1 atm, 352.45 K and
    // 353.45 K) with toluene, which hardly affects them.
    const std::string text = Slurp(std::string(TERNIVAL_TEST_DATA_DIR) + "/benzene_hexafluorobenzene.toml") +
                             "\n[[component]]\nid = \"TOLUENE\"\nmw = 92.14\nantoine = [21.0, -3100.0, -53.0]\n";
    ServerProcess q(kServerExe);
    const std::int64_t m = NewMap(q, OpenApp(q, write("bzf.toml", text)), {"BENZENE", "C6F6", "TOLUENE"});
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

// Before a file is open nothing computes, and a failed initialisation leaves no package; arguments of the wrong shape
// or type, unknown names and components are refused, members are found by name or DISPID and read-only properties have
// no put.  A package made on its own opens its own file.
TEST_F(Integrity, CallsThatCannotBeAnsweredAreRefused) {
    ServerProcess p(kServerExe);
    const std::int64_t app = p.Create("Ternival.DistillationApp");
    const std::int64_t map = Object(p, app, "GetDistillationMap"), s = Object(p, app, "GetAzeotropeSearch");
    const json x = R8Array({0.3, 0.3, 0.4});
    const std::vector<std::string> acm{"ACETONE", "CHLOROFM", "METHANOL"};
    const auto expect = [&](std::int32_t hr, std::int64_t object, const char* member, json args = json::array(),
                            const char* kind = "method") {
        EXPECT_EQ(Hr(p.Invoke(object, member, args, kind)), hr) << member << " " << args.dump();
    };
    const json none = p.Invoke(app, "GetPropertyPackage");
    EXPECT_EQ(Hr(none), kEFail);
    EXPECT_TRUE(none["out"][0]["object"].is_null());
    expect(0, s, "SetComponentData", {StringArray(acm)});
    expect(kEFail, s, "ComputeAzeotropes");
    expect(kEFail, s, "GetPureProperties");
    expect(kEFail, map, "SetComponentData", {acm[0], acm[1], acm[2]});
    for (const char* member : {"GetAzeotropes", "GetPureProperties", "GetDistillationBoundary"})
        expect(kEFail, map, member);
    for (const char* member : {"GetResidueCurve", "GetBoilingPoint"}) expect(kEFail, map, member, {x});
    // A failed initialisation with a working directory changes it all the same: a bare file name of the examples opens.
    expect(kEFail, app, "InitFromVmpdfFile", {(dir_ / "missing.toml").string()});
    expect(kEFail, app, "GetPropertyPackage");
    expect(kEFail, app, "InitFromVmpdfFileWithCWD", {"no-such-file.toml", TERNIVAL_EXAMPLES_DIR});
    expect(0, app, "InitFromVmpdfFile", {"acetone_chloroform_methanol.toml"});
    expect(kEFail, s, "SetComponentData", {json{{"vt", "ARRAY|BSTR"}, {"bounds", {{0, 1}, {0, 3}}}, {"data", acm}}});
    expect(kEFail, s, "SetComponentData", {R8Array({1, 2, 3})});
    expect(DISP_E_TYPEMISMATCH, s, "SetPropertyData", {"NRTL", "NRTL", "NRTL", "two"});
    expect(0, s, "SetComponentData", {StringArray({"ACETONE", "NOSUCH", "METHANOL"})});
    expect(kEFail, s, "ComputeAzeotropes");
    expect(0, map, "SetComponentData", {"ACETONE", "NOSUCH", "METHANOL"});
    expect(kEFail, map, "GetPureProperties");
    expect(kEFail, map, "GetResidueCurve", {x});
    expect(DISP_E_TYPEMISMATCH, app, "InitFromVmpdfFile", {12});
    expect(DISP_E_TYPEMISMATCH, map, "Pressure", {"high"}, "put");
    expect(DISP_E_MEMBERNOTFOUND, map, "ErrorCode", {3}, "put");
    expect(DISP_E_UNKNOWNNAME, map, "NoSuchMember");
    expect(DISP_E_BADPARAMCOUNT, map, "SetComponentData", {"ACETONE"});
    EXPECT_EQ(Hr(p.Request("invoke", {{"object", map}, {"dispid", 99}})["result"]), DISP_E_MEMBERNOTFOUND);
    // Closing keeps the package current, with no file open.
    expect(0, app, "CloseVmpdfFile");
    expect(0, app, "GetPropertyPackage");

    ServerProcess q(kServerExe);
    const std::int64_t pkg = q.Create("DistillationApp.PropertyPackage");
    EXPECT_EQ(Hr(q.Invoke(pkg, "GetComponentList")), kEFail);  // nothing open yet
    ASSERT_EQ(Hr(q.Invoke(pkg, "InitFromVmpdfFile", {kAcmFile})), 0);
    EXPECT_EQ(Hr(q.Invoke(pkg, "FlashMaxIter", {250}, "put")), 0);
    EXPECT_EQ(Get(q, pkg, "FlashMaxIter"), 250);
    EXPECT_EQ(Hr(q.Invoke(pkg, "FlashMaxIter", {"many"}, "put")), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(Hr(q.Invoke(pkg, "FlashTol", {1e-9}, "put")), 0);
    const json byid = q.Request("invoke", {{"object", pkg}, {"dispid", 8}, {"kind", "get"}});
    EXPECT_DOUBLE_EQ(byid["result"]["out"][0]["value"].get<double>(), 1e-9);
    EXPECT_EQ(Hr(q.Invoke(pkg, "CalcEquilibrium", {R8Array({1.0}), "NRTL", "PV", 330.0, 0.5, 0.5, 0.5, 0.5})),
              DISP_E_TYPEMISMATCH);
    EXPECT_EQ(Hr(q.Invoke(pkg, "CloseVmpdfFile", {kAcmFile})), 0);
    EXPECT_EQ(Hr(q.Invoke(pkg, "GetComponentList")), kEFail);
}

// After a change of column order, or of pressure (which moves the azeotropes), a map's boundaries end at the singular
// points of the mixture as it now stands: pure vertices, or the azeotropes a fresh map of that order and pressure
// finds.
TEST_F(Integrity, BoundariesFollowTheComponentOrderAndThePressure) {
    const std::vector<std::string> acm{"ACETONE", "CHLOROFM", "METHANOL"}, reordered{"METHANOL", "ACETONE", "CHLOROFM"};
    for (const auto& [names, pressure] : {std::pair{reordered, 101325.0}, std::pair{acm, 20000.0}}) {
        SCOPED_TRACE(names[0] + " " + std::to_string(pressure));
        ServerProcess p(kServerExe);
        const std::int64_t app = OpenApp(p, kAcmFile);
        const std::int64_t map = NewMap(p, app, acm);
        ASSERT_EQ(Hr(p.Invoke(map, "GetPureProperties")), 0);
        const auto before = Azeotropes(p.Invoke(map, "GetAzeotropes"));
        ASSERT_EQ(before.size(), 4u);
        ASSERT_EQ(Hr(p.Invoke(map, "GetDistillationBoundary")), 0);
        ASSERT_EQ(Hr(p.Invoke(map, "SetComponentData", {names[0], names[1], names[2]})), 0);
        ASSERT_EQ(Hr(p.Invoke(map, "Pressure", {pressure}, "put")), 0);
        const json boundary = p.Invoke(map, "GetDistillationBoundary");
        ASSERT_EQ(Hr(boundary), 0);
        ASSERT_GE(boundary["out"][0]["value"].get<int>(), 2);
        const std::int64_t fresh = NewMap(p, app, names, pressure);
        ASSERT_EQ(Hr(p.Invoke(fresh, "GetPureProperties")), 0);
        const auto now = Azeotropes(p.Invoke(fresh, "GetAzeotropes"));
        ASSERT_FALSE(now.empty());
        double moved = 0.0;
        for (std::size_t a = 0; a < std::min(before.size(), now.size()); ++a)
            moved = std::max(moved, Distance(before[a], now[a]));
        EXPECT_GT(moved, 0.02);
        ExpectBoundariesEndAt(boundary, now, 5e-3);
        // The map's own table is of the new order too.
        if (names != acm) {
            const auto mine = Azeotropes(p.Invoke(map, "GetAzeotropes"));
            EXPECT_EQ(mine.size(), now.size());
            for (const auto& a : mine) EXPECT_LT(DistanceToNearest(a, now), 5e-3);
        }
    }
}

// A map's components are translated against the file open now: with another file or none it refuses to compute, and
// with the first file again its names mean what they did.  Its azeotropes need the contained search that
// GetPureProperties makes.
TEST_F(Integrity, MapComponentsAreTranslatedAgainstTheFileOpenNow) {
    ServerProcess p(kServerExe);
    const std::int64_t app = OpenApp(p, kAcmFile);
    const std::int64_t map = NewMap(p, app, {"ACETONE", "CHLOROFM", "METHANOL"});
    const json acetone = R8Array({1.0, 0.0, 0.0}), x = R8Array({0.3, 0.3, 0.4});
    json r = p.Invoke(map, "GetBoilingPoint", {acetone});
    ASSERT_EQ(Hr(r), 0);
    const double tb = r["out"][0]["value"];
    EXPECT_NEAR(tb, 329.3, 0.3);
    // A homogeneous liquid has no three-phase tie line: the filler.
    r = p.Invoke(map, "GetNewTieLineVLLE", {x});
    ASSERT_EQ(Hr(r), 0);
    EXPECT_EQ(Vector(r["out"][0]), std::vector<double>(3, -999.0));
    EXPECT_EQ(Hr(p.Invoke(map, "GetAzeotropes")), kEFail);
    ASSERT_EQ(Hr(p.Invoke(map, "GetPureProperties")), 0);
    ASSERT_EQ(p.Invoke(map, "GetAzeotropes")["out"][0]["value"], 4);
    EXPECT_GE(p.Invoke(map, "GetIsovolatilityCurve")["out"][0]["value"].get<int>(), 1);
    ASSERT_EQ(Hr(p.Invoke(app, "InitFromVmpdfFile", {kEwbFile})), 0);
    EXPECT_EQ(Hr(p.Invoke(map, "GetBoilingPoint", {acetone})), kEFail);
    EXPECT_EQ(Hr(p.Invoke(map, "GetPureProperties")), kEFail);
    EXPECT_EQ(Hr(p.Invoke(map, "GetAzeotropes")), kEFail);
    EXPECT_EQ(Hr(p.Invoke(map, "GetResidueCurve", {x})), kEFail);
    ASSERT_EQ(Hr(p.Invoke(app, "CloseVmpdfFile")), 0);
    r = p.Invoke(map, "GetAzeotropes");
    EXPECT_EQ(Hr(r), kEFail);
    EXPECT_EQ(r["out"][0]["value"], 0);
    ASSERT_EQ(Hr(p.Invoke(app, "InitFromVmpdfFile", {kAcmFile})), 0);
    r = p.Invoke(map, "GetBoilingPoint", {acetone});
    ASSERT_EQ(Hr(r), 0);
    EXPECT_NEAR(r["out"][0]["value"].get<double>(), tb, 1e-6);
    EXPECT_EQ(p.Invoke(map, "GetAzeotropes")["out"][0]["value"], 4);
    ASSERT_EQ(Hr(p.Invoke(map, "SetComponentData", {"ACETONE", "NOSUCH", "METHANOL"})), 0);
    EXPECT_EQ(Hr(p.Invoke(map, "GetAzeotropes")), kEFail);
}

TEST_F(Integrity, EnvelopesOfOtherComponentsAreCleared) {
    ServerProcess p(kServerExe);
    const std::int64_t map = NewMap(p, OpenApp(p, kEwbFile), {"ETHANOL", "WATER", "BENZENE"});
    ASSERT_EQ(Hr(p.Invoke(map, "Temperature", {298.15}, "put")), 0);
    ASSERT_EQ(Hr(p.Invoke(map, "ComputeEnvelopeLLE")), 0);
    json r = p.Invoke(map, "GetTielinesLLE");
    ASSERT_EQ(Hr(r), 0);
    ASSERT_GT(r["out"][0]["bounds"][0][1].get<int>(), 2);
    EXPECT_NE(r["out"][0]["data"][0].get<double>(), -1.0);
    // Other components: the tie lines of ethanol/water/benzene are gone.
    ASSERT_EQ(Hr(p.Invoke(map, "SetComponentData", {"WATER", "ETHANOL", "BENZENE"})), 0);
    r = p.Invoke(map, "GetTielinesLLE");
    ASSERT_EQ(Hr(r), 0);
    for (const auto& v : r["out"][0]["data"]) ASSERT_EQ(v.get<double>(), -1.0);
}

TEST_F(Integrity, InvalidPressuresAndCompositionsAreRefused) {
    ServerProcess p(kServerExe);
    const std::int64_t app = OpenApp(p, kAcmFile);
    const std::int64_t map = NewMap(p, app, {"ACETONE", "CHLOROFM", "METHANOL"});
    const std::int64_t s = Object(p, app, "GetAzeotropeSearch");
    ASSERT_EQ(Hr(p.Invoke(s, "SetComponentData", {StringArray({"ACETONE", "CHLOROFM", "METHANOL"})})), 0);
    const json x = R8Array({0.3, 0.3, 0.4});
    for (const json& bad : {json(0.0), json(-101325.0), json("NaN"), json("Infinity"), json("-Infinity"), json(1e38),
                            json(2e8)}) {
        SCOPED_TRACE(bad.dump());
        const json value{{"vt", "R8"}, {"value", bad}};
        ASSERT_EQ(Hr(p.Invoke(map, "Pressure", {value}, "put")), 0);
        ASSERT_EQ(Hr(p.Invoke(s, "Pressure", {value}, "put")), 0);
        for (const char* member : {"GetPureProperties", "GetAzeotropes", "GetDistillationBoundary",
                                   "GetIsovolatilityCurve", "ComputeEnvelopeVLLE"})
            EXPECT_EQ(Hr(p.Invoke(map, member)), kEFail) << member;
        for (const char* member : {"GetResidueCurve", "GetDistillationCurve", "GetBoilingPoint"})
            EXPECT_EQ(Hr(p.Invoke(map, member, {x})), kEFail) << member;
        for (const char* member : {"ComputeAzeotropes", "GetPureProperties"})
            EXPECT_EQ(Hr(p.Invoke(s, member)), kEFail) << member;
    }
    ASSERT_EQ(Hr(p.Invoke(map, "Pressure", {101325.0}, "put")), 0);
    EXPECT_EQ(Hr(p.Invoke(map, "GetResidueCurve", {R8Array({5.0, 5.0, 5.0})})), kEFail);
    EXPECT_EQ(Hr(p.Invoke(map, "GetBoilingPoint", {x})), 0);
}

// A zeotropic mixture: no azeotropes and no tie lines, as empty arrays of the promised types.
TEST_F(Integrity, EmptyResultsAreEmptyArrays) {
    ServerProcess p(kServerExe);
    const std::int64_t map = NewMap(p, OpenApp(p, kBtxFile), {"BENZENE", "TOLUENE", "ETHBENZ"});
    ASSERT_EQ(Hr(p.Invoke(map, "SetPropertyData", {"IDEAL", "IDEAL", "IDEAL", 2})), 0);
    ASSERT_EQ(Hr(p.Invoke(map, "GetPureProperties")), 0);
    json r = p.Invoke(map, "GetAzeotropes");
    ASSERT_EQ(Hr(r), 0);
    EXPECT_EQ(r["out"][0]["value"], 0);
    for (const int k : {1, 2}) EXPECT_EQ(r["out"][k]["vt"], "ARRAY|R8");
    EXPECT_EQ(r["out"][1]["bounds"], json({{0, 0}, {0, 3}}));
    EXPECT_EQ(r["out"][3]["vt"], "ARRAY|I4");
    EXPECT_EQ(r["out"][4]["data"], json::array());
    ASSERT_EQ(Hr(p.Invoke(map, "Temperature", {350.0}, "put")), 0);
    ASSERT_EQ(Hr(p.Invoke(map, "ComputeEnvelopeLLE")), 0);
    r = p.Invoke(map, "GetTielinesLLE");
    ASSERT_EQ(Hr(r), 0);
    EXPECT_EQ(r["out"][0]["vt"], "ARRAY|R8");
    EXPECT_EQ(r["out"][0]["data"], json::array());
    EXPECT_EQ(p.Invoke(map, "GetCurveLLE")["out"][0]["vt"], "ARRAY|R8");
}

// Every reference handed out is the client's own: releasing one leaves the others working.  Releasing the application
// takes the engine with it (its map lives on but no longer computes), and releasing the last object ends the server.
TEST_F(Integrity, ReferencesAreTheClientsOwnAndTheLastEndsTheServer) {
    ServerProcess p(kServerExe);
    const std::int64_t app = OpenApp(p, kAcmFile);
    const std::int64_t first = Object(p, app, "GetPropertyPackage"), second = Object(p, app, "GetPropertyPackage");
    EXPECT_NE(first, second);
    ASSERT_TRUE(p.Request("release", {{"object", first}}).contains("result"));
    const json r = p.Invoke(second, "GetComponentList");
    ASSERT_EQ(Hr(r), 0);
    EXPECT_EQ(r["out"][0]["data"].size(), 3u);
    const json gone = p.Request("invoke", {{"object", first}, {"member", "FlashTol"}, {"kind", "get"}});
    EXPECT_EQ(gone["error"]["code"], -32003);
    p.Request("release", {{"object", second}});
    const std::int64_t map = NewMap(p, app, {"ACETONE", "CHLOROFM", "METHANOL"});
    EXPECT_EQ(p.Request("release", {{"object", app}})["result"]["objects"], json({map}));
    EXPECT_EQ(Hr(p.Invoke(map, "GetPureProperties")), kEFail);
    EXPECT_EQ(Hr(p.Invoke(map, "StepSizeEnv", {}, "get")), 0);
    p.Request("release", {{"object", map}});
    ASSERT_TRUE(p.WaitExit(20000));
    EXPECT_TRUE(WIFEXITED(p.status()));
    EXPECT_EQ(WEXITSTATUS(p.status()), 0);
}

}  // namespace
}  // namespace ternival::testing
