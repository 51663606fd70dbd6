// The `ternival` command run as a user runs it: exit codes, tables and the
// pictures it writes.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

const std::string kExamples = TERNIVAL_EXAMPLES_DIR;

struct Outcome {
    int code = -1;
    std::string out, err;
};

class Command : public ::testing::Test {
protected:
    void SetUp() override {
        static const fs::path base = fs::temp_directory_path();
        dir_ = base / ("ternival-cli-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) +
                       "-" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "tmp");
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    // Runs the command; its standard output goes to `stdout_to` when given.
    Outcome ternival(const std::vector<std::string>& args, const std::string& stdout_to = "") {
        const fs::path out = stdout_to.empty() ? dir_ / "stdout" : fs::path(stdout_to), err = dir_ / "stderr";
        const pid_t pid = ::fork();
        if (pid == 0) {
            // A registry and TMP of the test's own.
            ::setenv("TERNIVAL_REGISTRY", (dir_ / "registry.ini").c_str(), 1);
            ::setenv("TMP", (dir_ / "tmp").c_str(), 1);
            // Under the leak checker, fontconfig's process-long caches are
            // not reported.
            ::setenv("LSAN_OPTIONS", "suppressions=" TERNIVAL_LSAN_SUPPRESSIONS ":print_suppressions=0", 1);
            if (!std::freopen(out.c_str(), "w", stdout) || !std::freopen(err.c_str(), "w", stderr)) ::_exit(126);
            // A command that hangs ends as a failure of its test, not of the suite.
            ::alarm(120);
            std::vector<char*> argv{const_cast<char*>(TERNIVAL_EXE)};
            for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(TERNIVAL_EXE, argv.data());
            ::_exit(127);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        Outcome r;
        r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        r.out = stdout_to.empty() ? slurp(out) : std::string();
        r.err = slurp(err);
        return r;
    }
    static std::string slurp(const fs::path& p) {
        std::ifstream f(p, std::ios::binary);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }
    std::string path(const std::string& name) const { return (dir_ / name).string(); }

    fs::path dir_;
};

int CountLines(const std::string& s) { return static_cast<int>(std::count(s.begin(), s.end(), '\n')); }

TEST_F(Command, MapOfTheBuiltInExampleDrawsASvgAndPrintsTheSingularPoints) {
    const Outcome r = ternival({"map", "-o", path("map.svg"), "--format", "json"});
    ASSERT_EQ(r.code, 0) << r.err;
    const json table = json::parse(r.out);
    ASSERT_EQ(table.size(), 7u);  // three pure components, four azeotropes
    int stable = 0, unstable = 0, saddles = 0;
    for (const auto& row : table) {
        const std::string s = row["stability"];
        stable += s == "stable node";
        unstable += s == "unstable node";
        saddles += s == "saddle";
        EXPECT_EQ(row["phase"], "homogeneous");
        EXPECT_NEAR(row["x_ACETONE"].get<double>() + row["x_CHLOROFM"].get<double>() + row["x_METHANOL"].get<double>(),
                    1.0, 1e-5);
    }
    // Nodes minus saddles: the topological count of a ternary map.
    EXPECT_EQ(stable + unstable - saddles, 1);
    EXPECT_EQ(table[4]["kind"], "ternary azeotrope");
    EXPECT_NEAR(table[4]["T_K"].get<double>(), 330.5, 1.0);
    const std::string svg = slurp(path("map.svg"));
    EXPECT_EQ(svg.rfind("<?xml", 0), 0u);
    EXPECT_NE(svg.find("<svg"), std::string::npos);
    EXPECT_NE(svg.find("</svg>"), std::string::npos);
    // 8 steps per side leave 21 interior starting points.
    EXPECT_NE(r.err.find("21 residue curves, 0 tie lines drawn"), std::string::npos) << r.err;
}

TEST_F(Command, MapWritesPngAndPdfAndHonoursTheGrid) {
    Outcome r = ternival({"map", "-o", path("map.png"), "--grid", "4"});
    ASSERT_EQ(r.code, 0) << r.err;
    const std::string png = slurp(path("map.png"));
    ASSERT_GT(png.size(), 1000u);
    EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    EXPECT_NE(r.err.find("3 residue curves,"), std::string::npos) << r.err;
    r = ternival({"map", "-o", path("map.pdf"), "--grid", "3"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(slurp(path("map.pdf")).substr(0, 5), "%PDF-");
}

TEST_F(Command, AzeotropesOfEightComponents) {
    const Outcome r = ternival({"azeotropes", kExamples + "/eight_components.toml", "--format", "csv"});
    ASSERT_EQ(r.code, 0) << r.err;
    std::istringstream lines(r.out);
    std::string header, line;
    std::getline(lines, header);
    EXPECT_EQ(header.rfind("azeotrope,", 0), 0u) << header;
    int rows = 0, binaries = 0;
    while (std::getline(lines, line)) {
        ++rows;
        binaries += line.find(",2,") != std::string::npos;
    }
    EXPECT_GE(rows, 10);
    EXPECT_GT(binaries, 0);
}

TEST_F(Command, ResidueCurveRunsFromAnUnstableToAStableNode) {
    const Outcome r = ternival({"curve", "-x", "0.2,0.3,0.5", "--format", "csv", "-T"});
    ASSERT_EQ(r.code, 0) << r.err;
    std::istringstream lines(r.out);
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line, "point,x_ACETONE,x_CHLOROFM,x_METHANOL,T_K");
    std::vector<std::vector<double>> pts;
    while (std::getline(lines, line)) {
        std::vector<double> v;
        std::stringstream s(line);
        std::string cell;
        while (std::getline(s, cell, ',')) v.push_back(std::stod(cell));
        pts.push_back(v);
    }
    ASSERT_GT(pts.size(), 10u);
    // Rows run towards higher boiling: temperatures never fall by more than
    // the flash tolerance.
    for (std::size_t k = 1; k < pts.size(); ++k) EXPECT_GE(pts[k][4], pts[k - 1][4] - 1e-3);
    EXPECT_LT(pts.front()[4], 327.0);  // near the chloroform-methanol azeotrope, 326.7 K
    EXPECT_GT(pts.back()[4], 337.5);   // methanol or the maximum-boiling azeotrope
}

TEST_F(Command, BoundariesAndDistillationLines) {
    Outcome r = ternival({"boundaries", "--format", "json"});
    ASSERT_EQ(r.code, 0) << r.err;
    const json b = json::parse(r.out);
    std::set<long long> curves;
    for (const auto& row : b) curves.insert(row["curve"].get<long long>());
    EXPECT_GE(curves.size(), 4u);
    r = ternival({"curve", "--kind", "distillation", "-x", "0.3,0.3,0.4", "--branch", "forward"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_GT(CountLines(r.out), 5);
}

TEST_F(Command, EnvelopeTieLinesOfEthanolWaterBenzene) {
    const Outcome r = ternival({"envelope", kExamples + "/ethanol_water_benzene.toml", "-T", "298.15", "--format", "json"});
    ASSERT_EQ(r.code, 0) << r.err;
    const json ties = json::parse(r.out);
    ASSERT_GE(ties.size(), 5u);
    // The first tie line is the water-benzene edge: nearly pure water
    // against nearly pure benzene, no ethanol.
    EXPECT_LT(ties[0]["L1_ETHANOL"].get<double>(), 1e-6);
    EXPECT_GT(std::max(ties[0]["L1_WATER"].get<double>(), ties[0]["L2_WATER"].get<double>()), 0.99);
    EXPECT_GT(std::max(ties[0]["L1_BENZENE"].get<double>(), ties[0]["L2_BENZENE"].get<double>()), 0.99);
    // Three fractions printed to six decimals each sum to 1 within 1.5e-6.
    for (const auto& t : ties)
        EXPECT_NEAR(t["L1_ETHANOL"].get<double>() + t["L1_WATER"].get<double>() + t["L1_BENZENE"].get<double>(), 1.0,
                    1.5e-6);
    // The homogeneous example has none.
    const Outcome none = ternival({"envelope", "--format", "csv"});
    ASSERT_EQ(none.code, 0) << none.err;
    EXPECT_EQ(CountLines(none.out), 1);  // the header alone
}

TEST_F(Command, HeterogeneousMapDrawsTheEnvelope) {
    const Outcome r = ternival({"map", kExamples + "/ethanol_water_benzene.toml", "--phase", "3", "--grid", "4", "-o",
                                path("ewb.svg"), "--format", "json"});
    ASSERT_EQ(r.code, 0) << r.err;
    const json table = json::parse(r.out);
    int heterogeneous = 0;
    for (const auto& row : table) heterogeneous += row["phase"] == "heterogeneous";
    EXPECT_EQ(heterogeneous, 2);  // water-benzene and the ternary azeotrope
    const auto at = r.err.find(" tie lines drawn");
    ASSERT_NE(at, std::string::npos) << r.err;
    const auto start = r.err.rfind(' ', at - 1);
    EXPECT_GE(std::stoi(r.err.substr(start + 1, at - start - 1)), 5) << r.err;
}

TEST_F(Command, BadInputGivesOneLineAndExitCodeTwo) {
    const std::vector<std::vector<std::string>> cases = {
        {"map", path("missing.toml")},
        {"map", "--components", "ACETONE,NOSUCH,METHANOL"},
        {"map", "--components", "ACETONE,CHLOROFM"},
        {"map", "--pressure", "-5"},
        {"map", "--pressure", "lots"},
        {"map", "-o", path("map.gif")},
        {"curve", "-x", "0.2,0.3"},
        {"curve", "-x", "0.2,-0.3,1.1"},
        {"curve", "-x", "0.2,0.3,0.4"},
        {"curve", "-x", "0.2,zero,0.8"},
        {"azeotropes", "--format", "xml"},
        {"envelope", "-T", "-10"},
    };
    for (const auto& args : cases) {
        const Outcome r = ternival(args);
        std::string joined;
        for (const auto& a : args) joined += a + " ";
        EXPECT_EQ(r.code, 2) << joined << "\n" << r.err;
        EXPECT_EQ(CountLines(r.err), 1) << joined << "\n" << r.err;
        EXPECT_EQ(r.err.rfind("ternival: error: ", 0), 0u) << joined << "\n" << r.err;
    }
    // A command-line mistake is a usage error.
    EXPECT_EQ(ternival({"map", "--no-such-option"}).code, 1);
}

}  // namespace

// Results whose validity a check denies are written, told on standard
// error, marked in the table and given their own exit code.

TEST_F(Command, AzeotropesOfASplittingLiquidWithPhaseTwoAreFlagged) {
    const std::string ewb = kExamples + "/ethanol_water_benzene.toml";
    Outcome r = ternival({"map", ewb, "--phase", "2", "-o", path("m.svg"), "--format", "json"});
    ASSERT_EQ(r.code, 5) << r.err;
    EXPECT_NE(r.err.find("liquid splits into two liquid phases"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("--phase 3"), std::string::npos) << r.err;
    const json table = json::parse(r.out);
    int flagged = 0;
    for (const auto& row : table) {
        if (row["status"] == "ok") continue;
        ++flagged;
        // Only the water/benzene point, which is heterogeneous in truth.
        EXPECT_EQ(row["status"], "liquid splits");
        EXPECT_LT(row["x_ETHANOL"].get<double>(), 1e-9);
    }
    EXPECT_EQ(flagged, 1);
    // The file's own phase setting (3) gives the heteroazeotropes, unflagged.
    r = ternival({"azeotropes", ewb, "--format", "json"});
    ASSERT_EQ(r.code, 0) << r.err;
    int heterogeneous = 0;
    for (const auto& row : json::parse(r.out)) {
        EXPECT_EQ(row["status"], "ok");
        heterogeneous += row["phase"] == "heterogeneous";
    }
    EXPECT_GE(heterogeneous, 2);  // water/benzene and the ternary
    // Acetone/chloroform/methanol never splits: nothing to flag.
    r = ternival({"azeotropes", "--format", "csv"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out.find("liquid splits"), std::string::npos);
}

TEST_F(Command, ASearchThatStopsAtItsLimitSaysSo) {
    // Twenty strongly non-ideal components: the search runs into its limits.
    const std::string file = std::string(TERNIVAL_TEST_DATA_DIR) + "/twenty_nrtl.toml";
    const Outcome r = ternival({"azeotropes", file, "--search", "classic", "--format", "json"});
    ASSERT_EQ(r.code, 5) << r.err;
    EXPECT_NE(r.err.find("ternival: warning: the azeotrope search stopped at a limit"), std::string::npos) << r.err;
    const json table = json::parse(r.out);
    ASSERT_FALSE(table.empty());
    for (const auto& row : table) EXPECT_NE(row["status"].get<std::string>().find("search incomplete"), std::string::npos);
}

// A command past its time limit stops within about that time and fails,
// saying why, instead of printing a partial table as a result.
TEST_F(Command, ACommandPastItsTimeLimitFailsAndSaysSo) {
    const std::string file = std::string(TERNIVAL_TEST_DATA_DIR) + "/twenty_nrtl.toml";
    const auto start = std::chrono::steady_clock::now();
    const Outcome r =
        ternival({"--time-limit", "0.5", "azeotropes", file, "--search", "complete", "--phase", "3"});
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(r.code, 4) << r.err;
    EXPECT_NE(r.err.find("ternival: error: the time limit of 0.5 s was reached; the results are incomplete"),
              std::string::npos)
        << r.err;
    EXPECT_LT(seconds, 10.0);  // the whole search takes some 20 s
}

// A map cut short by its time limit is no map: the command stops within
// its limit, draws nothing, and an earlier picture of that name stays.
TEST_F(Command, AMapPastItsTimeLimitDrawsNothing) {
    ASSERT_EQ(ternival({"map", "--grid", "3", "-o", path("map.svg")}).code, 0);
    const std::string good = slurp(path("map.svg"));
    const auto start = std::chrono::steady_clock::now();
    const Outcome r = ternival({"--time-limit", "0.5", "map", std::string(TERNIVAL_TEST_DATA_DIR) + "/slow_ternary.toml",
                                "-p", "1062.9754393414457", "--phase", "3", "-o", path("map.svg")});
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(r.code, 4) << r.err;
    EXPECT_NE(r.err.find("the time limit of 0.5 s was reached"), std::string::npos) << r.err;
    EXPECT_LT(seconds, 0.75);
    EXPECT_EQ(slurp(path("map.svg")), good);
    EXPECT_EQ(r.out, "");
}

// A column from the command line: the figures of a feasible split, the
// reason and exit code 5 of one that crosses a boundary, the refusal of
// products off the mass-balance line, and a picture with the profiles.
TEST_F(Command, FitsAPairToTheUsersDataAndWritesAProblemTheMapUses) {
    const std::string csv = std::string(TERNIVAL_TEST_DATA_DIR) + "/ethanol_water_101kPa.csv";
    Outcome r = ternival({"fit", "--data", csv, "--components", "ethanol,water", "--format", "json", "-o",
                          path("fitted.toml"), "--plot", path("fit.svg")});
    ASSERT_EQ(r.code, 0) << r.err;
    const json f = json::parse(r.out);
    EXPECT_TRUE(f["converged"].get<bool>());
    EXPECT_LT(f["rms_T_K"].get<double>(), 0.5);
    EXPECT_GT(f["se_bij"].get<double>(), 0.0);
    EXPECT_EQ(f["points"].size(), 21u);
    EXPECT_TRUE(f["consistency"]["done"].get<bool>());
    EXPECT_NE(slurp(path("fit.svg")).find("<svg"), std::string::npos);
    const std::string written = slurp(path("fitted.toml"));
    EXPECT_NE(written.find("source = \"fitted to ethanol_water_101kPa.csv: 21 points"), std::string::npos);
    // The engine takes the written file: its azeotrope near 351 K.
    r = ternival({"azeotropes", path("fitted.toml"), "--format", "json"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("351."), std::string::npos) << r.out;

    // Bad data: exit 2, the line named, nothing written.
    std::ofstream(path("bad.csv")) << "T_K,P_Pa,x1,y1\n350,101325,0.5,0.6\n351,101325,0.4,1.7\n352,101325,0.3,0.5\n";
    r = ternival({"fit", "--data", path("bad.csv"), "--components", "ethanol,water", "-o", path("bad.toml")});
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("bad.csv:3: y1 = 1.7 is not a mole fraction"), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(path("bad.toml")));
}

// Entrainers judged as the literature judges them, at 1 atm with the
// databank's NRTL: for ethanol/water, benzene and cyclohexane form
// heteroazeotropes whose two liquids lie in different regions (Pham and
// Doherty, 1990; the classic dehydrating entrainers), ethylene glycol is a
// heavy entrainer for extractive distillation (Laroche et al., 1992), and
// methanol, lighter than both, leaves ethanol and water in two regions: no
// help.  For acetone/methanol, water is the extractive entrainer.
TEST_F(Command, EntrainersJudgedAsTheLiteratureJudgesThem) {
    Outcome r = ternival({"screen", "--separate", "ethanol,water", "--candidates",
                          "benzene,cyclohexane,ethylene glycol,methanol,no such compound", "--workers", "2",
                          "--format", "json", "-o", path("report.html")});
    ASSERT_EQ(r.code, 0) << r.err;
    const json rows = json::parse(r.out);
    ASSERT_EQ(rows.size(), 5u);
    std::map<std::string, json> by;
    for (const auto& row : rows) by[row["request"].get<std::string>()] = row;
    for (const char* e : {"benzene", "cyclohexane"}) {
        ASSERT_TRUE(by[e]["error"].is_null()) << by[e].dump();
        EXPECT_TRUE(by[e]["heteroazeotropic"].get<bool>()) << by[e].dump();
    }
    const json& eg = by["ethylene glycol"];
    EXPECT_TRUE(eg["extractive"].get<bool>()) << eg.dump();
    EXPECT_EQ(eg["class"], "1.0-1a");
    EXPECT_GT(eg["alpha_inf"].get<double>(), 2.0);  // ethanol far more volatile than water in glycol
    EXPECT_GT(eg["x_entrainer_min"].get<double>(), 0.0);
    const json& me = by["methanol"];
    EXPECT_FALSE(me["homogeneous"].get<bool>() || me["heteroazeotropic"].get<bool>() || me["extractive"].get<bool>());
    EXPECT_NE(me["reasons"].dump().find("different regions"), std::string::npos) << me.dump();
    // A candidate that cannot be judged is a row with its error.
    EXPECT_FALSE(by["no such compound"]["error"].is_null());
    EXPECT_NE(r.err.find("1 of 5 candidates could not be judged"), std::string::npos) << r.err;
    // Verdicts resting on UNIFAC-estimated pairs say so.
    EXPECT_FALSE(eg["estimated_pairs"].empty());
    EXPECT_NE(eg["reasons"].dump().find("estimated"), std::string::npos);
    // The report: a row per candidate, a map for each that passes.
    const std::string html = slurp(path("report.html"));
    EXPECT_NE(html.find("<table id=\"screen\""), std::string::npos);
    std::size_t maps = 0;
    for (std::size_t at = 0; (at = html.find("<svg", at)) != std::string::npos; ++at) ++maps;
    EXPECT_EQ(maps, 3u);

    r = ternival({"screen", "--separate", "acetone,methanol", "--candidates", "water", "--format", "json"});
    ASSERT_EQ(r.code, 0) << r.err;
    const json water = json::parse(r.out)[0];
    EXPECT_TRUE(water["extractive"].get<bool>()) << water.dump();
}

// A screen resumed from its journal computes only what is missing: a row
// already there (here marked by hand) is kept as it is; each new row is
// appended as it finishes.  A candidate past its time limit is a row.
TEST_F(Command, AScreenResumesFromItsJournal) {
    const std::string journal = path("journal.jsonl");
    {
        std::ofstream j(journal);
        j << R"({"request":"benzene","entrainer":"MARKED","error":null,"heteroazeotropic":true})" << "\n";
        j << R"({"request":"cyclohe)";  // cut short when the screen was killed
    }
    Outcome r = ternival({"screen", "--separate", "ethanol,water", "--candidates", "benzene,cyclohexane",
                          "--resume", journal, "--format", "json", "--workers", "1"});
    ASSERT_EQ(r.code, 0) << r.err;
    const json rows = json::parse(r.out);
    ASSERT_EQ(rows.size(), 2u);
    std::set<std::string> names;
    for (const auto& row : rows) names.insert(row["entrainer"].get<std::string>());
    EXPECT_TRUE(names.count("MARKED"));
    EXPECT_TRUE(names.count("Cyclohexane"));
    EXPECT_NE(r.err.find("2 candidates, 1 done before, 1 to compute"), std::string::npos) << r.err;
    std::ifstream j(journal);
    std::string line;
    int complete = 0;
    while (std::getline(j, line))
        if (!line.empty() && line.back() == '}') ++complete;
    EXPECT_EQ(complete, 2);

    r = ternival({"screen", "--separate", "ethanol,water", "--candidates", "toluene", "--candidate-time-limit",
                  "0.0001", "--format", "json"});
    ASSERT_EQ(r.code, 0) << r.err;
    const json late = json::parse(r.out)[0];
    ASSERT_FALSE(late["error"].is_null());
    EXPECT_NE(late["error"].get<std::string>().find("time limit"), std::string::npos) << late.dump();
}

TEST_F(Command, ColumnsFromTheCommandLine) {
    const std::string bte = kExamples + "/benzene_toluene_ethylbenzene.toml";
    Outcome r = ternival({"column", bte, "--feed", "0.3,0.3,0.4", "--distillate", "0.95,0.0499,0.0001", "--bottoms",
                          "0.0214285714,0.4071857143,0.5713857143", "--reflux-factor", "1.3", "--format", "json",
                          "-o", path("column.svg")});
    ASSERT_EQ(r.code, 0) << r.err;
    json c = json::parse(r.out);
    for (const char* key : {"feasible", "reason", "r_min", "stages_min", "reflux", "stages", "feed_stage",
                            "rectifying", "stripping"})
        EXPECT_TRUE(c.contains(key)) << key;
    EXPECT_TRUE(c["feasible"].get<bool>());
    EXPECT_NEAR(c["reflux"].get<double>(), 1.3 * c["r_min"].get<double>(), 1e-9);
    EXPECT_EQ(c["rectifying"].size() + c["stripping"].size(), c["stages"].get<std::size_t>());
    EXPECT_GT(c["stages"].get<int>(), c["stages_min"].get<int>());
    EXPECT_TRUE(c["rectifying"][0].contains("x_BENZENE") && c["rectifying"][0].contains("T_K"));
    const std::string svg = slurp(path("column.svg"));
    for (const char* kind : {"class=\"rectifying\"", "class=\"stripping\"", "class=\"mass-balance\""})
        EXPECT_NE(svg.find(kind), std::string::npos) << kind;

    // Acetone/chloroform/methanol: products on either side of a boundary.
    r = ternival({"column", "--feed", "0.3,0.3,0.4", "--distillate", "0.78,0.01,0.21", "--bottoms",
                  "0.14,0.3966666667,0.4633333333", "--reflux", "5", "--format", "json"});
    EXPECT_EQ(r.code, 5) << r.err;
    c = json::parse(r.out);
    EXPECT_FALSE(c["feasible"].get<bool>());
    EXPECT_NE(c["reason"].get<std::string>().find("different distillation regions"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("ternival: warning: the split is not feasible"), std::string::npos);

    r = ternival({"column", "--feed", "0.3,0.3,0.4", "--distillate", "0.78,0.01,0.21", "--bottoms", "0.1,0.1,0.8"});
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("not on one mass-balance line"), std::string::npos) << r.err;
    EXPECT_EQ(CountLines(r.err), 1) << r.err;

    // The map tells its class and regions.
    r = ternival({"map", "--grid", "3", "-o", path("acm.svg")});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("4 distillation region(s), 4 separatrices"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("(structure 311-S)"), std::string::npos) << r.out;
}

TEST_F(Command, WriteFailuresAreReportedAndLeaveNoPicture) {
    Outcome r = ternival({"azeotropes"}, "/dev/full");
    EXPECT_EQ(r.code, 6) << r.err;
    EXPECT_NE(r.err.find("ternival: error: cannot write the results"), std::string::npos) << r.err;
    // A picture that cannot be written leaves nothing under its name, and an
    // earlier picture there stays whole.
    const std::string picture = path("map.svg");
    r = ternival({"map", "-o", picture});
    ASSERT_EQ(r.code, 0) << r.err;
    const std::string before = slurp(picture);
    fs::permissions(dir_, fs::perms::owner_read | fs::perms::owner_exec);
    r = ternival({"map", "-o", picture, "--grid", "4"});
    fs::permissions(dir_, fs::perms::owner_all);
    if (::geteuid() != 0) {  // root writes anywhere
        EXPECT_EQ(r.code, 6) << r.err;
        EXPECT_EQ(slurp(picture), before);
    }
    r = ternival({"map", "-o", path("no-such-dir/map.svg")});
    EXPECT_EQ(r.code, 6) << r.err;
    EXPECT_FALSE(fs::exists(path("no-such-dir")));
    for (const auto& entry : fs::directory_iterator(dir_))
        EXPECT_EQ(entry.path().filename().string().find(".part"), std::string::npos) << entry.path();
}

TEST_F(Command, RepeatedOrOverlongComponentsAreBadInput) {
    for (const std::string list : {"ACETONE,ACETONE,METHANOL", "ACETONE,CHLOROFM,METHANOLXYZ", "acetone,ACETONE"}) {
        const Outcome r = ternival({"azeotropes", "-c", list});
        EXPECT_EQ(r.code, 2) << list << ": " << r.err;
        EXPECT_EQ(CountLines(r.err), 1) << r.err;
    }
}

TEST_F(Command, ProblemFilesWithRepeatedPairsOrThatAreNoFilesAreRefused) {
    std::string text = slurp(kExamples + "/acetone_chloroform_methanol.toml");
    const std::string pair = "\n[[method.pair]]\ni = \"CHLOROFM\"\nj = \"ACETONE\"\nbij = 900.0\nbji = 900.0\n";
    const auto at = text.find("[[method.pair]]");
    ASSERT_NE(at, std::string::npos);
    const auto after = text.find("[[method", at + 5);
    text.insert(after == std::string::npos ? text.size() : after, pair);
    const std::string file = path("twice.toml");
    std::ofstream(file) << text;
    Outcome r = ternival({"azeotropes", file});
    EXPECT_EQ(r.code, 3) << r.err;
    EXPECT_NE(r.err.find("is given twice"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("twice.toml:"), std::string::npos) << r.err;
    // Devices and pipes are no problem files (and must not hang the engine).
    const std::string fifo = path("pipe.toml");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& bad : {fifo, std::string("/dev/zero")}) {
        r = ternival({"azeotropes", bad});
        EXPECT_EQ(r.code, 3) << bad << ": " << r.err;
        EXPECT_NE(r.err.find("not a regular file"), std::string::npos) << r.err;
    }
}

TEST_F(Command, AFailedTopologicalCheckIsToldAndMarked) {
    // A partially miscible ternary at 1.06 kPa whose stability codes cannot
    // be made to satisfy the topological constraint in any component order.
    const std::string file = std::string(TERNIVAL_TEST_DATA_DIR) + "/slow_ternary.toml";
    const Outcome r = ternival({"azeotropes", file, "--phase", "3", "-p", "1062.9754393414457", "--format", "csv"});
    ASSERT_EQ(r.code, 5) << r.err;
    EXPECT_NE(r.err.find("ternival: warning: the stability codes fail the topological check"), std::string::npos)
        << r.err;
    std::istringstream rows(r.out);
    std::string header, row;
    ASSERT_TRUE(std::getline(rows, header));
    EXPECT_EQ(header.substr(header.rfind(',') + 1), "status");
    int marked = 0;
    while (std::getline(rows, row)) {
        EXPECT_EQ(row.substr(row.rfind(',') + 1), "topology check failed") << row;
        ++marked;
    }
    EXPECT_GE(marked, 3);
}

// Mixtures named from the databank need no problem file, and their maps
// show the published topologies: acetone/chloroform/methanol with four
// azeotropes and a ternary saddle near 330.5 K; ethanol/water/benzene with
// the ternary heteroazeotrope (337.9 K, x = 0.228/0.233/0.539 in the
// compilations) as the unstable node.
TEST_F(Command, DatabankMixturesNeedNoProblemFile) {
    Outcome r = ternival({"map", "--components", "acetone,chloroform,methanol", "-o", path("acm.svg"), "--format",
                          "json"});
    ASSERT_EQ(r.code, 0) << r.err;
    json table = json::parse(r.out);
    ASSERT_EQ(table.size(), 7u);
    int stable = 0, unstable = 0, saddles = 0;
    for (const auto& row : table) {
        stable += row["stability"] == "stable node";
        unstable += row["stability"] == "unstable node";
        saddles += row["stability"] == "saddle";
    }
    EXPECT_EQ(stable + unstable - saddles, 1);
    EXPECT_EQ(table[4]["kind"], "ternary azeotrope");
    EXPECT_EQ(table[4]["stability"], "saddle");
    EXPECT_NEAR(table[4]["T_K"].get<double>(), 330.5, 1.0);

    // Water and benzene boil as two liquids: the file built from the
    // databank says so, and the map is heterogeneous without --phase 3.
    r = ternival({"map", "--components", "ethanol,water,benzene", "--grid", "4", "-o", path("ewb.svg"), "--format",
                  "json"});
    ASSERT_EQ(r.code, 0) << r.err;
    table = json::parse(r.out);
    bool ternary = false;
    for (const auto& row : table)
        if (row["kind"] == "ternary azeotrope") {
            ternary = true;
            EXPECT_EQ(row["stability"], "unstable node");
            EXPECT_EQ(row["phase"], "heterogeneous");
            EXPECT_NEAR(row["T_K"].get<double>(), 337.9, 2.0);
            EXPECT_NEAR(row["x_BENZENE"].get<double>(), 0.539, 0.05);
        }
    EXPECT_TRUE(ternary) << r.out;
    // The problem file built for the run is gone with it.
    for (const auto& entry : fs::directory_iterator(dir_ / "tmp"))
        EXPECT_NE(entry.path().filename().string().rfind("ternival-", 0), 0u) << entry.path();
}

TEST_F(Command, ProblemFilesFromTheDatabankLoadAndTellTheirSources) {
    Outcome r = ternival({"problem", "ethanol", "water", "benzene", "-o", path("ewb.toml")});
    ASSERT_EQ(r.code, 0) << r.err;
    const std::string text = slurp(path("ewb.toml"));
    EXPECT_NE(text.find("default_phase = 3"), std::string::npos) << text;
    EXPECT_EQ(ternival({"problem", "acetone", "chloroform", "methanol"}).out.find("default_phase"), std::string::npos);
    EXPECT_NE(text.find("source = \"ChemSep NRTL set (DECHEMA, Ethanol/Water)\""), std::string::npos) << text;
    EXPECT_NE(text.find("UNIFAC estimate"), std::string::npos) << text;
    r = ternival({"azeotropes", path("ewb.toml"), "--phase", "3", "--verbose"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.err.find("data: pair ETHANOL/WATER  source: ChemSep NRTL set"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("data: 2  WATER  Water  MW 18.0153  source: databank: Water (CAS 7732-18-5)"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.out.find("4 azeotrope(s)"), std::string::npos) << r.out;

    r = ternival({"components", "xylene"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("O-xylene"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("95-47-6"), std::string::npos) << r.out;
    r = ternival({"components", "etanol"});
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("did you mean Ethanol"), std::string::npos) << r.err;
    r = ternival({"map", "--components", "ethanol,wter,benzene"});
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("did you mean Water"), std::string::npos) << r.err;
    EXPECT_EQ(CountLines(r.err), 1) << r.err;
}

// The eight-component example's method COMPLETE takes the pairs its NRTL
// method leaves ideal from the databank or UNIFAC, and finds the binary
// azeotropes the compilations list for them (101.325 kPa; Horsley, Gmehling).
TEST_F(Command, EightComponentsWithCompletePairsFindTheKnownBinaries) {
    const Outcome r = ternival({"azeotropes", kExamples + "/eight_components.toml", "--method", "COMPLETE",
                                "--format", "json"});
    ASSERT_EQ(r.code, 0) << r.err;
    const json table = json::parse(r.out);
    const struct {
        const char* a;
        const char* b;
        double t;
    } known[] = {{"CHLOROFM", "ETHANOL", 332.4}, {"CHLOROFM", "WATER", 329.3}, {"METHANOL", "BENZENE", 331.5},
                 {"METHANOL", "TOLUENE", 336.8}, {"ETHANOL", "TOLUENE", 349.9}, {"WATER", "TOLUENE", 357.3},
                 {"BUTANOL", "TOLUENE", 378.7}};
    for (const auto& k : known) {
        bool found = false;
        for (const auto& row : table)
            if (row["size"] == 2 && row[std::string("x_") + k.a].get<double>() > 0.0 &&
                row[std::string("x_") + k.b].get<double>() > 0.0)
                found = std::abs(row["T_K"].get<double>() - k.t) < 2.0;
        EXPECT_TRUE(found) << k.a << "/" << k.b;
    }
    // The default method keeps its documented ideal pairs and finds none of them.
    const Outcome d = ternival({"azeotropes", kExamples + "/eight_components.toml", "--format", "json"});
    ASSERT_EQ(d.code, 0) << d.err;
    for (const auto& row : json::parse(d.out))
        EXPECT_FALSE(row["size"] == 2 && row["x_METHANOL"].get<double>() > 0 && row["x_TOLUENE"].get<double>() > 0);
}

// Distillation lines of the heterogeneous example end at their nodes: the
// backward branch at the ternary heteroazeotrope (the unstable node), not
// after its whole budget of points.
TEST_F(Command, HeterogeneousDistillationLinesEndAtTheirNodes) {
    const std::string ewb = kExamples + "/ethanol_water_benzene.toml";
    const Outcome az = ternival({"azeotropes", ewb, "--phase", "3", "--format", "json"});
    ASSERT_EQ(az.code, 0) << az.err;
    std::array<double, 3> node{};
    for (const auto& row : json::parse(az.out))
        if (row["stability"] == "unstable node")
            node = {row["x_ETHANOL"].get<double>(), row["x_WATER"].get<double>(), row["x_BENZENE"].get<double>()};
    for (const char* start : {"0.3,0.3,0.4", "0.2,0.2,0.6", "0.4,0.3,0.3"}) {
        const Outcome r = ternival({"curve", ewb, "-x", start, "--kind", "distillation", "--phase", "3", "--format",
                                    "json"});
        ASSERT_EQ(r.code, 0) << start << ": " << r.err;
        const json points = json::parse(r.out);
        ASSERT_GT(points.size(), 2u);
        EXPECT_LT(points.size(), 200u) << start << ": the line ran its budget";
        // Points run from the backward end to the forward end.
        const auto& first = points.front();
        const double d = std::abs(first["x_ETHANOL"].get<double>() - node[0]) +
                         std::abs(first["x_WATER"].get<double>() - node[1]) +
                         std::abs(first["x_BENZENE"].get<double>() - node[2]);
        EXPECT_LT(d, 1e-4) << start;
    }
}

// A map takes the complete search unless told otherwise: benzene and
// hexafluorobenzene (two azeotropes at 1 atm) with toluene, which they
// hardly affect, shows both binary azeotropes; the classic search shows at
// most one of them.
TEST_F(Command, MapsTakeTheCompleteSearchByDefault) {
    std::string text = slurp(std::string(TERNIVAL_TEST_DATA_DIR) + "/benzene_hexafluorobenzene.toml");
    text += "\n[[component]]\nid = \"TOLUENE\"\nmw = 92.14\nantoine = [21.0, -3100.0, -53.0]\n";
    const std::string file = path("bzf.toml");
    std::ofstream(file) << text;
    auto binaries = [](const Outcome& r) {
        int count = 0;
        for (const auto& row : json::parse(r.out))
            count += row["kind"].get<std::string>().find("pure") == std::string::npos &&
                     row["x_TOLUENE"].get<double>() == 0.0;
        return count;
    };
    const Outcome byDefault = ternival({"map", file, "--grid", "3", "-o", path("bzf.svg"), "--format", "json"});
    ASSERT_EQ(byDefault.code, 0) << byDefault.err;
    EXPECT_EQ(binaries(byDefault), 2) << byDefault.out;
    const Outcome classic =
        ternival({"map", file, "--grid", "3", "-o", path("bzf.svg"), "--format", "json", "--search", "classic"});
    ASSERT_EQ(classic.code, 0) << classic.err;
    EXPECT_LT(binaries(classic), 2) << classic.out;
}

// --search complete adds the ternaries the classic search misses in the
// eight-component example, and keeps the classic search's azeotropes.
TEST_F(Command, CompleteSearchFromTheCommandLine) {
    const std::string eight = kExamples + "/eight_components.toml";
    const Outcome classic = ternival({"azeotropes", eight, "--search", "classic", "--format", "json"});
    const Outcome complete = ternival({"azeotropes", eight, "--search", "complete", "--format", "json"});
    ASSERT_EQ(classic.code, 0) << classic.err;
    ASSERT_EQ(complete.code, 0) << complete.err;
    const json a = json::parse(classic.out), b = json::parse(complete.out);
    EXPECT_GT(b.size(), a.size());
    int found = 0;
    for (const auto& row : b)
        if (row["size"] == 3 && row["x_CHLOROFM"].get<double>() > 0 && row["x_WATER"].get<double>() > 0 &&
            row["x_BENZENE"].get<double>() > 0)
            found += std::abs(row["T_K"].get<double>() - 341.09) < 0.1;
    EXPECT_EQ(found, 1) << complete.out;
    EXPECT_EQ(ternival({"azeotropes", eight, "--search", "exhaustive"}).code, 1);
}
