// Results that belong to what the client asked for, or an honest failure:
// stale tables after the components or the file change, invalid pressures
// and compositions, repeated component names, empty results, object
// references and over-sized searches.
#include <cmath>
#include <fstream>
#include <limits>

#include "server_env.h"

namespace ternival::testing {
namespace {


class Integrity : public ServerEnvironment {
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
                        double pressure = 101325.0) {
        const std::int64_t map = p.Invoke(app, "GetDistillationMap")["out"][0]["object"];
        EXPECT_EQ(Hr(p.Invoke(map, "SetComponentData", {names[0], names[1], names[2]})), 0);
        EXPECT_EQ(Hr(p.Invoke(map, "Pressure", {pressure}, "put")), 0);
        return map;
    }
    // Azeotropes of a map as rows of (x0, x1, x2).
    static std::vector<std::vector<double>> Azeotropes(const json& result) {
        return Matrix(result["out"][1]);
    }
    // A problem file of `n` ideal components with boiling points 300, 305, ... K.
    std::string IdealFile(int n) {
        const std::string path = (dir_ / ("ideal" + std::to_string(n) + ".toml")).string();
        std::ofstream f(path);
        f << "title = \"ideal\"\n";
        for (int k = 0; k < n; ++k) {
            const double tb = 300.0 + 5.0 * k;
            f << "[[component]]\nid = \"C" << k << "\"\nmw = 50.0\nantoine = [22.0, " << -(22.0 - std::log(101325.0)) * tb
              << "]\n";
        }
        f << "[[method]]\nname = \"IDEAL\"\nmodel = \"IDEAL\"\n";
        return path;
    }
};

double Distance(const std::vector<double>& a, const std::vector<double>& b) {
    double s = 0.0;
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) s += (a[i] - b[i]) * (a[i] - b[i]);
    return std::sqrt(s);
}

// Both end points of every boundary are singular points of the mixture in
// the map's present column order: pure vertices or the azeotropes given.
void ExpectBoundariesEndAt(const json& boundary, const std::vector<std::vector<double>>& azeotropes,
                           double tolerance) {
    const json& b = boundary["out"][2];
    ASSERT_EQ(b["bounds"].size(), 3u);
    const std::size_t nc = b["bounds"][0][1], np = b["bounds"][1][1];
    ASSERT_GT(nc, 0u);
    std::vector<std::vector<double>> singular = azeotropes;
    for (int i = 0; i < 3; ++i) {
        std::vector<double> e(3, 0.0);
        e[static_cast<std::size_t>(i)] = 1.0;
        singular.push_back(e);
    }
    for (std::size_t c = 0; c < nc; ++c) {
        // Element (c, p, i) at c + nc * (p + np * i).
        auto point = [&](std::size_t p) {
            std::vector<double> x(3);
            for (std::size_t i = 0; i < 3; ++i) x[i] = b["data"][c + nc * (p + np * i)].get<double>();
            return x;
        };
        std::size_t last = 0;
        for (std::size_t p = 0; p < np; ++p)
            if (point(p)[0] >= 0.0) last = p;
        for (const std::size_t end : {std::size_t{0}, last}) {
            double best = 1e9;
            for (const auto& s : singular) best = std::min(best, Distance(point(end), s));
            EXPECT_LT(best, tolerance) << "boundary " << c << " point " << end << " at (" << point(end)[0] << ", "
                                       << point(end)[1] << ", " << point(end)[2] << ")";
        }
    }
}

TEST_F(Integrity, SearchTablesNeverOutliveTheirComponents) {
    ServerProcess p(kServerExe);
    const std::int64_t app = OpenApp(p, kAcmFile);
    const std::int64_t s = p.Invoke(app, "GetAzeotropeSearch")["out"][0]["object"];
    ASSERT_EQ(Hr(p.Invoke(s, "SetComponentData", {StringArray({"ACETONE", "CHLOROFM", "METHANOL"})})), 0);
    ASSERT_EQ(Hr(p.Invoke(s, "SetPropertyData", {"NRTL", "NRTL", "NRTL", 2})), 0);
    ASSERT_EQ(Hr(p.Invoke(s, "Pressure", {101325.0}, "put")), 0);
    ASSERT_EQ(Hr(p.Invoke(s, "ComputeAzeotropes")), 0);
    ASSERT_EQ(p.Invoke(s, "GetAzeotropes")["out"][0]["value"], 4);
    // Two components now: the three-component tables are gone.
    ASSERT_EQ(Hr(p.Invoke(s, "SetComponentData", {StringArray({"ACETONE", "CHLOROFM"})})), 0);
    EXPECT_EQ(Hr(p.Invoke(s, "GetAzeotropes")), kEFail);
    // Another pressure: the 1 atm tables are not the answer either.
    ASSERT_EQ(Hr(p.Invoke(s, "ComputeAzeotropes")), 0);
    json r = p.Invoke(s, "GetAzeotropes");
    ASSERT_EQ(Hr(r), 0);
    ASSERT_EQ(r["out"][0]["value"], 1);
    const auto x = Matrix(r["out"][1]);
    ASSERT_EQ(x.size(), 1u);
    ASSERT_EQ(x[0].size(), 2u);
    EXPECT_NEAR(x[0][0] + x[0][1], 1.0, 1e-9);
    EXPECT_NEAR(x[0][0], 0.34, 0.03);  // the maximum-boiling acetone/chloroform azeotrope
}

TEST_F(Integrity, MapResultsFollowTheComponentOrder) {
    ServerProcess p(kServerExe);
    const std::int64_t app = OpenApp(p, kAcmFile);
    const std::int64_t map = NewMap(p, app, {"ACETONE", "CHLOROFM", "METHANOL"});
    ASSERT_EQ(Hr(p.Invoke(map, "GetPureProperties")), 0);
    ASSERT_EQ(Hr(p.Invoke(map, "GetAzeotropes")), 0);
    ASSERT_EQ(Hr(p.Invoke(map, "GetDistillationBoundary")), 0);
    // The same mixture in another column order.
    ASSERT_EQ(Hr(p.Invoke(map, "SetComponentData", {"METHANOL", "ACETONE", "CHLOROFM"})), 0);
    const json boundary = p.Invoke(map, "GetDistillationBoundary");
    ASSERT_EQ(Hr(boundary), 0);
    ASSERT_GE(boundary["out"][0]["value"].get<int>(), 2);
    // The azeotropes from a map of its own, made in the new order.
    const std::int64_t fresh = NewMap(p, app, {"METHANOL", "ACETONE", "CHLOROFM"});
    ASSERT_EQ(Hr(p.Invoke(fresh, "GetPureProperties")), 0);
    const auto x = Azeotropes(p.Invoke(fresh, "GetAzeotropes"));
    ASSERT_EQ(x.size(), 4u);
    ExpectBoundariesEndAt(boundary, x, 5e-3);
    // The first map's own table is in the new order too: the maximum-boiling
    // acetone/chloroform azeotrope has no methanol (first column) and about
    // 0.34 acetone (second).
    const auto mine = Azeotropes(p.Invoke(map, "GetAzeotropes"));
    EXPECT_EQ(std::count_if(mine.begin(), mine.end(),
                            [](const auto& a) { return a[0] < 1e-9 && std::abs(a[1] - 0.34) < 0.03; }),
              1);
}

TEST_F(Integrity, BoundariesAreComputedAtTheMapsPressure) {
    ServerProcess p(kServerExe);
    const std::int64_t app = OpenApp(p, kAcmFile);
    const std::int64_t map = NewMap(p, app, {"ACETONE", "CHLOROFM", "METHANOL"});
    ASSERT_EQ(Hr(p.Invoke(map, "GetPureProperties")), 0);
    const auto at_1atm = Azeotropes(p.Invoke(map, "GetAzeotropes"));
    ASSERT_EQ(at_1atm.size(), 4u);
    ASSERT_EQ(Hr(p.Invoke(map, "Pressure", {20000.0}, "put")), 0);
    const json boundary = p.Invoke(map, "GetDistillationBoundary");
    ASSERT_EQ(Hr(boundary), 0);
    const std::int64_t fresh = NewMap(p, app, {"ACETONE", "CHLOROFM", "METHANOL"}, 20000.0);
    ASSERT_EQ(Hr(p.Invoke(fresh, "GetPureProperties")), 0);
    const json az = p.Invoke(fresh, "GetAzeotropes");
    ASSERT_EQ(Hr(az), 0);
    const auto at_20kpa = Azeotropes(az);
    // The azeotropes move with the pressure ...
    double moved = 0.0;
    for (std::size_t a = 0; a < std::min(at_1atm.size(), at_20kpa.size()); ++a)
        moved = std::max(moved, Distance(at_1atm[a], at_20kpa[a]));
    EXPECT_GT(moved, 0.02);
    // ... and the boundaries end where they are at 20 kPa.
    ExpectBoundariesEndAt(boundary, at_20kpa, 5e-3);
}

TEST_F(Integrity, MapComponentsAreTranslatedAgainstTheFileOpenNow) {
    ServerProcess p(kServerExe);
    const std::int64_t app = OpenApp(p, kAcmFile);
    const std::int64_t map = NewMap(p, app, {"ACETONE", "CHLOROFM", "METHANOL"});
    json r = p.Invoke(map, "GetBoilingPoint", {R8Array({1.0, 0.0, 0.0})});
    ASSERT_EQ(Hr(r), 0);
    const double acetone = r["out"][0]["value"];
    EXPECT_NEAR(acetone, 329.3, 0.3);
    ASSERT_EQ(Hr(p.Invoke(map, "GetPureProperties")), 0);
    ASSERT_EQ(Hr(p.Invoke(map, "GetAzeotropes")), 0);
    // Another file without these components: the map refuses to compute.
    ASSERT_EQ(Hr(p.Invoke(app, "InitFromVmpdfFile", {kEwbFile})), 0);
    EXPECT_EQ(Hr(p.Invoke(map, "GetBoilingPoint", {R8Array({1.0, 0.0, 0.0})})), kEFail);
    EXPECT_EQ(Hr(p.Invoke(map, "GetPureProperties")), kEFail);
    EXPECT_EQ(Hr(p.Invoke(map, "GetAzeotropes")), kEFail);
    EXPECT_EQ(Hr(p.Invoke(map, "GetResidueCurve", {R8Array({0.3, 0.3, 0.4})})), kEFail);
    // The first file again: the names mean acetone again.
    ASSERT_EQ(Hr(p.Invoke(app, "InitFromVmpdfFile", {kAcmFile})), 0);
    r = p.Invoke(map, "GetBoilingPoint", {R8Array({1.0, 0.0, 0.0})});
    ASSERT_EQ(Hr(r), 0);
    EXPECT_NEAR(r["out"][0]["value"].get<double>(), acetone, 1e-6);
}

TEST_F(Integrity, EnvelopesOfOtherComponentsAreCleared) {
    ServerProcess p(kServerExe);
    const std::int64_t app = OpenApp(p, kEwbFile);
    const std::int64_t map = NewMap(p, app, {"ETHANOL", "WATER", "BENZENE"});
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

TEST_F(Integrity, MapAzeotropesRefuseWhenTheSearchDoes) {
    ServerProcess p(kServerExe);
    const std::int64_t app = OpenApp(p, kAcmFile);
    const std::int64_t map = NewMap(p, app, {"ACETONE", "CHLOROFM", "METHANOL"});
    ASSERT_EQ(Hr(p.Invoke(map, "GetPureProperties")), 0);
    ASSERT_EQ(p.Invoke(map, "GetAzeotropes")["out"][0]["value"], 4);
    ASSERT_EQ(Hr(p.Invoke(app, "CloseVmpdfFile")), 0);
    json r = p.Invoke(map, "GetAzeotropes");
    EXPECT_EQ(Hr(r), kEFail);
    EXPECT_EQ(r["out"][0]["value"], 0);
    ASSERT_EQ(Hr(p.Invoke(app, "InitFromVmpdfFile", {kAcmFile})), 0);
    ASSERT_EQ(p.Invoke(map, "GetAzeotropes")["out"][0]["value"], 4);
    ASSERT_EQ(Hr(p.Invoke(map, "SetComponentData", {"ACETONE", "NOSUCH", "METHANOL"})), 0);
    EXPECT_EQ(Hr(p.Invoke(map, "GetAzeotropes")), kEFail);
}

TEST_F(Integrity, InvalidPressuresAndCompositionsAreRefused) {
    ServerProcess p(kServerExe);
    const std::int64_t app = OpenApp(p, kAcmFile);
    const std::int64_t map = NewMap(p, app, {"ACETONE", "CHLOROFM", "METHANOL"});
    const std::int64_t s = p.Invoke(app, "GetAzeotropeSearch")["out"][0]["object"];
    ASSERT_EQ(Hr(p.Invoke(s, "SetComponentData", {StringArray({"ACETONE", "CHLOROFM", "METHANOL"})})), 0);
    const json x = R8Array({0.3, 0.3, 0.4});
    for (const json& bad : {json(0.0), json(-101325.0), json("NaN"), json("Infinity"), json("-Infinity"), json(1e38),
                            json(2e8)}) {
        const json value{{"vt", "R8"}, {"value", bad}};
        ASSERT_EQ(Hr(p.Invoke(map, "Pressure", {value}, "put")), 0);
        ASSERT_EQ(Hr(p.Invoke(s, "Pressure", {value}, "put")), 0);
        EXPECT_EQ(Hr(p.Invoke(map, "GetPureProperties")), kEFail) << bad;
        EXPECT_EQ(Hr(p.Invoke(map, "GetAzeotropes")), kEFail) << bad;
        EXPECT_EQ(Hr(p.Invoke(map, "GetResidueCurve", {x})), kEFail) << bad;
        EXPECT_EQ(Hr(p.Invoke(map, "GetDistillationCurve", {x})), kEFail) << bad;
        EXPECT_EQ(Hr(p.Invoke(map, "GetDistillationBoundary")), kEFail) << bad;
        EXPECT_EQ(Hr(p.Invoke(map, "GetIsovolatilityCurve")), kEFail) << bad;
        EXPECT_EQ(Hr(p.Invoke(map, "GetBoilingPoint", {x})), kEFail) << bad;
        EXPECT_EQ(Hr(p.Invoke(map, "ComputeEnvelopeVLLE")), kEFail) << bad;
        EXPECT_EQ(Hr(p.Invoke(s, "ComputeAzeotropes")), kEFail) << bad;
        EXPECT_EQ(Hr(p.Invoke(s, "GetPureProperties")), kEFail) << bad;
    }
    ASSERT_EQ(Hr(p.Invoke(map, "Pressure", {101325.0}, "put")), 0);
    EXPECT_EQ(Hr(p.Invoke(map, "GetResidueCurve", {R8Array({5.0, 5.0, 5.0})})), kEFail);
    EXPECT_EQ(Hr(p.Invoke(map, "GetBoilingPoint", {x})), 0);
}

TEST_F(Integrity, RepeatedComponentNamesAreRefused) {
    ServerProcess p(kServerExe);
    const std::int64_t app = OpenApp(p, kAcmFile);
    const std::int64_t map = NewMap(p, app, {"ACETONE", "CHLOROFM", "METHANOL"});
    EXPECT_EQ(Hr(p.Invoke(map, "SetComponentData", {"ACETONE", "acetone", "METHANOL"})), kEFail);
    // The map kept its components.
    EXPECT_EQ(Hr(p.Invoke(map, "GetPureProperties")), 0);
    const std::int64_t s = p.Invoke(app, "GetAzeotropeSearch")["out"][0]["object"];
    EXPECT_EQ(Hr(p.Invoke(s, "SetComponentData", {StringArray({"METHANOL", "ACETONE", "METHANOL"})})), kEFail);
}

TEST_F(Integrity, EmptyResultsAreEmptyArrays) {
    ServerProcess p(kServerExe);
    const std::int64_t app = OpenApp(p, std::string(TERNIVAL_EXAMPLES_DIR) + "/benzene_toluene_ethylbenzene.toml");
    const json names = p.Invoke(p.Invoke(app, "GetPropertyPackage")["out"][0]["object"], "GetComponentList")["out"][0];
    ASSERT_EQ(names["data"].size(), 3u);
    const std::int64_t map = NewMap(p, app, {names["data"][0], names["data"][1], names["data"][2]});
    ASSERT_EQ(Hr(p.Invoke(map, "GetPureProperties")), 0);
    json r = p.Invoke(map, "GetAzeotropes");
    ASSERT_EQ(Hr(r), 0);
    EXPECT_EQ(r["out"][0]["value"], 0);
    EXPECT_EQ(r["out"][1]["vt"], "ARRAY|R8");
    EXPECT_EQ(r["out"][1]["bounds"], json({{0, 0}, {0, 3}}));
    EXPECT_EQ(r["out"][2]["vt"], "ARRAY|R8");
    EXPECT_EQ(r["out"][3]["vt"], "ARRAY|I4");
    EXPECT_EQ(r["out"][4]["data"], json::array());
    ASSERT_EQ(Hr(p.Invoke(map, "Temperature", {350.0}, "put")), 0);
    ASSERT_EQ(Hr(p.Invoke(map, "ComputeEnvelopeLLE")), 0);
    r = p.Invoke(map, "GetTielinesLLE");
    ASSERT_EQ(Hr(r), 0);
    EXPECT_EQ(r["out"][0]["vt"], "ARRAY|R8");
    EXPECT_EQ(r["out"][0]["data"], json::array());
    r = p.Invoke(map, "GetCurveLLE");
    ASSERT_EQ(Hr(r), 0);
    EXPECT_EQ(r["out"][0]["vt"], "ARRAY|R8");
}

TEST_F(Integrity, EveryObjectReferenceIsTheClientsOwn) {
    ServerProcess p(kServerExe);
    const std::int64_t app = OpenApp(p, kAcmFile);
    const std::int64_t first = p.Invoke(app, "GetPropertyPackage")["out"][0]["object"];
    const std::int64_t second = p.Invoke(app, "GetPropertyPackage")["out"][0]["object"];
    EXPECT_NE(first, second);
    json r = p.Request("release", {{"object", first}});
    ASSERT_TRUE(r.contains("result")) << r.dump();
    // The other reference still works, and so does the package behind it.
    r = p.Invoke(second, "GetComponentList");
    ASSERT_EQ(Hr(r), 0);
    EXPECT_EQ(r["out"][0]["data"].size(), 3u);
    EXPECT_EQ(p.Request("invoke", {{"object", first}, {"member", "FlashTol"}, {"kind", "get"}})["error"]["code"], -32003);
}

TEST_F(Integrity, SearchOfMoreThanTwentyComponentsReportsItsLimit) {
    ServerProcess p(kServerExe);
    const std::string file = IdealFile(21);
    const std::int64_t app = OpenApp(p, file);
    const std::int64_t s = p.Invoke(app, "GetAzeotropeSearch")["out"][0]["object"];
    std::vector<std::string> names;
    for (int k = 0; k < 21; ++k) names.push_back("C" + std::to_string(k));
    ASSERT_EQ(Hr(p.Invoke(s, "SetComponentData", {StringArray(names)})), 0);
    ASSERT_EQ(Hr(p.Invoke(s, "SetPropertyData", {"IDEAL", "IDEAL", "IDEAL", 2})), 0);
    ASSERT_EQ(Hr(p.Invoke(s, "Pressure", {101325.0}, "put")), 0);
    ASSERT_EQ(Hr(p.Invoke(s, "ComputeAzeotropes")), 0);
    json r = p.Invoke(s, "GetAzeotropes");
    ASSERT_EQ(Hr(r), 0);
    EXPECT_EQ(r["out"][0]["value"], 0);
    // The limit is told in the run log (run id: the file's short name).
    std::string log;
    for (const auto& entry : std::filesystem::directory_iterator(dir_ / "tmp"))
        if (entry.path().extension() == ".log") {
            std::ifstream in(entry.path());
            log.append(std::istreambuf_iterator<char>(in), {});
        }
    EXPECT_NE(log.find("Azeo_Search : Azeotrope search calculation error (qzerr <= 1)"), std::string::npos) << log;
}

}  // namespace
}  // namespace ternival::testing
