// The `ternival` command run as a user runs it: exit codes, tables and the pictures it writes.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
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

#include "../common/slurp.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

const std::string kExamples = TERNIVAL_EXAMPLES_DIR;
const std::string kData = TERNIVAL_TEST_DATA_DIR;
const std::string kEwb = kExamples + "/ethanol_water_benzene.toml";
const std::string kEight = kExamples + "/eight_components.toml";
// A partially miscible ternary whose maps take minutes at this pressure (Pa).
const std::string kSlow = kData + "/slow_ternary.toml";
const std::string kSlowPressure = "1062.9754393414457";

struct Outcome {
    int code = -1;
    std::string out, err;
    double seconds = 0.0;
};

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }
int CountLines(const std::string& s) { return static_cast<int>(std::count(s.begin(), s.end(), '\n')); }

double X(const json& row, const std::string& column) { return row[column].get<double>(); }

class Command : public ::testing::Test {
protected:
    void SetUp() override {
        static const fs::path base = fs::temp_directory_path();
        dir_ = base / ("ternival-cli-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) +
                       "-" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "tmp");
    }
    void TearDown() override { std::error_code ec; fs::remove_all(dir_, ec); }

    // Runs the command; its standard output goes to `stdout_to` when given.
    Outcome ternival(const std::vector<std::string>& args, const std::string& stdout_to = "") {
        const fs::path out = stdout_to.empty() ? dir_ / "stdout" : fs::path(stdout_to), err = dir_ / "stderr";
        const auto start = std::chrono::steady_clock::now();
        const pid_t pid = ::fork();
        if (pid == 0) {
            // A registry and TMP of the test's own.
            ::setenv("TERNIVAL_REGISTRY", (dir_ / "registry.ini").c_str(), 1);
            ::setenv("TMP", (dir_ / "tmp").c_str(), 1);
            // Under the leak checker, fontconfig's process-long caches are not reported.
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
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status),
                stdout_to.empty() ? Slurp(out) : std::string(), Slurp(err), seconds};
    }
    // Runs the command expecting exit `code`.
    Outcome run(const std::vector<std::string>& args, int code = 0, const std::string& stdout_to = "") {
        Outcome r = ternival(args, stdout_to);
        EXPECT_EQ(r.code, code) << r.err;
        return r;
    }
    // Runs a command with --format json, expecting exit `code`, and returns
    // its table (a discarded value, whose use fails the test, if none).
    json table(std::vector<std::string> args, int code = 0) {
        args.insert(args.end(), {"--format", "json"});
        last_ = run(args, code);
        return json::parse(last_.out, nullptr, false);
    }
    std::string path(const std::string& name) const { return (dir_ / name).string(); }

    fs::path dir_;
    Outcome last_;  // of table()
};

// Acetone/chloroform/methanol, from the built-in example and from the databank by name: the published topology of four
// azeotropes and a ternary saddle near 330.5 K (nodes minus saddles is 1 in any ternary map), and the pictures in each
// format.
TEST_F(Command, MapsOfAcetoneChloroformMethanol) {
    for (const bool databank : {false, true}) {
        SCOPED_TRACE(databank ? "from the databank" : "built-in example");
        const json t = databank ? table({"map", "--components", "acetone,chloroform,methanol", "-o", path("acm.svg")})
                                : table({"map", "-o", path("map.svg")});
        ASSERT_EQ(t.size(), 7u);  // three pure components, four azeotropes
        int stable = 0, unstable = 0, saddles = 0;
        for (const auto& row : t) {
            stable += row["stability"] == "stable node";
            unstable += row["stability"] == "unstable node";
            saddles += row["stability"] == "saddle";
            EXPECT_EQ(row["phase"], "homogeneous");
        }
        EXPECT_EQ(stable + unstable - saddles, 1);
        EXPECT_EQ(t[4]["kind"], "ternary azeotrope");
        EXPECT_EQ(t[4]["stability"], "saddle");
        EXPECT_NEAR(t[4]["T_K"].get<double>(), 330.5, 1.0);
        if (databank) continue;
        for (const auto& row : t)
            EXPECT_NEAR(X(row, "x_ACETONE") + X(row, "x_CHLOROFM") + X(row, "x_METHANOL"), 1.0, 1e-5);
        const std::string svg = Slurp(path("map.svg"));
        EXPECT_EQ(svg.rfind("<?xml", 0), 0u);
        EXPECT_TRUE(Has(svg, "<svg") && Has(svg, "</svg>"));
        // 8 steps per side leave 21 interior starting points.
        EXPECT_TRUE(Has(last_.err, "21 residue curves, 0 tie lines drawn")) << last_.err;
    }
    Outcome r = run({"map", "-o", path("map.png"), "--grid", "4"});
    const std::string png = Slurp(path("map.png"));
    ASSERT_GT(png.size(), 1000u);
    EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    EXPECT_TRUE(Has(r.err, "3 residue curves,")) << r.err;
    // The text table tells the map's class and regions.
    r = run({"map", "-o", path("map.pdf"), "--grid", "3"});
    EXPECT_EQ(Slurp(path("map.pdf")).substr(0, 5), "%PDF-");
    EXPECT_TRUE(Has(r.out, "4 distillation region(s), 4 separatrices")) << r.out;
    EXPECT_TRUE(Has(r.out, "(structure 311-S)")) << r.out;
}

// Rows of a residue curve run towards higher boiling, from near the chloroform-methanol azeotrope (326.7 K) to methanol
// or the maximum-boiling azeotrope; temperatures never fall by more than the flash tolerance.  The four separatrices of
// the example are written as boundaries.
TEST_F(Command, ResidueCurvesAndBoundaries) {
    const Outcome r = run({"curve", "-x", "0.2,0.3,0.5", "--format", "csv", "-T"});
    std::istringstream lines(r.out);
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line, "point,x_ACETONE,x_CHLOROFM,x_METHANOL,T_K");
    std::vector<double> t;
    while (std::getline(lines, line)) t.push_back(std::stod(line.substr(line.rfind(',') + 1)));
    ASSERT_GT(t.size(), 10u);
    for (std::size_t k = 1; k < t.size(); ++k) EXPECT_GE(t[k], t[k - 1] - 1e-3);
    EXPECT_LT(t.front(), 327.0);
    EXPECT_GT(t.back(), 337.5);
    std::set<long long> curves;
    for (const auto& row : table({"boundaries"})) curves.insert(row["curve"].get<long long>());
    EXPECT_GE(curves.size(), 4u);
}

// The first tie line of ethanol/water/benzene at 25 C is the water-benzene edge: nearly pure water against nearly pure
// benzene, no ethanol.  The homogeneous example has none.
TEST_F(Command, EnvelopeTieLinesOfEthanolWaterBenzene) {
    const json ties = table({"envelope", kEwb, "-T", "298.15"});
    ASSERT_GE(ties.size(), 5u);
    EXPECT_LT(X(ties[0], "L1_ETHANOL"), 1e-6);
    EXPECT_GT(std::max(X(ties[0], "L1_WATER"), X(ties[0], "L2_WATER")), 0.99);
    EXPECT_GT(std::max(X(ties[0], "L1_BENZENE"), X(ties[0], "L2_BENZENE")), 0.99);
    // Three fractions printed to six decimals each sum to 1 within 1.5e-6.
    for (const auto& t : ties)
        EXPECT_NEAR(X(t, "L1_ETHANOL") + X(t, "L1_WATER") + X(t, "L1_BENZENE"), 1.0, 1.5e-6);
    const Outcome none = run({"envelope", "--format", "csv"});
    EXPECT_EQ(CountLines(none.out), 1);  // the header alone
}

// Ethanol/water/benzene with its own phase setting (3): heteroazeotropes (water/benzene and the ternary, the unstable
// node), a map with its envelope, and distillation lines whose backward branch ends at that node, not after the whole
// budget of points.  With --phase 2 the one azeotrope that is heterogeneous in truth is written, flagged and told
// (exit 5); acetone/chloroform/methanol never splits and has nothing to flag.
TEST_F(Command, HeterogeneousAzeotropesMapsAndDistillationLines) {
    int heterogeneous = 0;
    std::array<double, 3> node{};
    for (const auto& row : table({"azeotropes", kEwb})) {
        EXPECT_EQ(row["status"], "ok");
        heterogeneous += row["phase"] == "heterogeneous";
        if (row["stability"] == "unstable node")
            node = {X(row, "x_ETHANOL"), X(row, "x_WATER"), X(row, "x_BENZENE")};
    }
    EXPECT_GE(heterogeneous, 2);

    heterogeneous = 0;
    for (const auto& row : table({"map", kEwb, "--phase", "3", "--grid", "4", "-o", path("ewb.svg")}))
        heterogeneous += row["phase"] == "heterogeneous";
    EXPECT_EQ(heterogeneous, 2);
    const std::string& told = last_.err;
    const auto at = told.find(" tie lines drawn");
    ASSERT_NE(at, std::string::npos) << told;
    const auto start = told.rfind(' ', at - 1);
    EXPECT_GE(std::stoi(told.substr(start + 1, at - start - 1)), 5) << told;

    for (const char* x : {"0.3,0.3,0.4", "0.2,0.2,0.6", "0.4,0.3,0.3"}) {
        SCOPED_TRACE(x);
        const json points = table({"curve", kEwb, "-x", x, "--kind", "distillation", "--phase", "3"});
        ASSERT_GT(points.size(), 2u);
        EXPECT_LT(points.size(), 200u) << "the line ran its budget";
        const auto& first = points.front();  // the backward end
        EXPECT_LT(std::abs(X(first, "x_ETHANOL") - node[0]) + std::abs(X(first, "x_WATER") - node[1]) +
                      std::abs(X(first, "x_BENZENE") - node[2]), 1e-4);
    }

    int flagged = 0;
    for (const auto& row : table({"map", kEwb, "--phase", "2", "-o", path("m.svg")}, 5)) {
        if (row["status"] == "ok") continue;
        ++flagged;
        EXPECT_EQ(row["status"], "liquid splits");
        EXPECT_LT(row["x_ETHANOL"].get<double>(), 1e-9);
    }
    EXPECT_EQ(flagged, 1);
    EXPECT_TRUE(Has(last_.err, "liquid splits into two liquid phases") && Has(last_.err, "--phase 3")) << last_.err;
    const Outcome r = run({"azeotropes", "--format", "csv"});
    EXPECT_FALSE(Has(r.out, "liquid splits"));
}

// Bad input of every kind ends with its own exit code and, for a bad value (exit 2), one line of stderr that names it:
// usage errors exit 1, problem files the engine cannot open exit 3 (a pipe or a device must not hang it).
TEST_F(Command, BadInputIsRefusedWithItsExitCode) {
    std::string text = Slurp(kExamples + "/acetone_chloroform_methanol.toml");
    const auto pair = text.find("[[method.pair]]");
    ASSERT_NE(pair, std::string::npos);
    const auto next = text.find("[[method", pair + 5);
    text.insert(next == std::string::npos ? text.size() : next,
                "\n[[method.pair]]\ni = \"CHLOROFM\"\nj = \"ACETONE\"\nbij = 900.0\nbji = 900.0\n");
    std::ofstream(path("twice.toml")) << text;
    ASSERT_EQ(::mkfifo(path("pipe.toml").c_str(), 0600), 0);
    const struct {
        std::vector<std::string> args;
        int code;
        std::vector<std::string> told;  // parts of stderr
    } cases[] = {
        {{"map", path("missing.toml")}, 2, {}}, {{"map", "--components", "ACETONE,NOSUCH,METHANOL"}, 2, {}},
        {{"map", "--components", "ACETONE,CHLOROFM"}, 2, {}}, {{"map", "--pressure", "-5"}, 2, {}},
        {{"map", "--pressure", "lots"}, 2, {}}, {{"map", "-o", path("map.gif")}, 2, {}},
        {{"curve", "-x", "0.2,0.3"}, 2, {}}, {{"curve", "-x", "0.2,-0.3,1.1"}, 2, {}},
        {{"curve", "-x", "0.2,0.3,0.4"}, 2, {}}, {{"curve", "-x", "0.2,zero,0.8"}, 2, {}},
        {{"azeotropes", "--format", "xml"}, 2, {}}, {{"envelope", "-T", "-10"}, 2, {}},
        {{"azeotropes", "-c", "ACETONE,ACETONE,METHANOL"}, 2, {}},
        {{"azeotropes", "-c", "ACETONE,CHLOROFM,METHANOLXYZ"}, 2, {}}, {{"azeotropes", "-c", "acetone,ACETONE"}, 2, {}},
        {{"components", "etanol"}, 2, {"did you mean Ethanol"}},
        {{"map", "--components", "ethanol,wter,benzene"}, 2, {"did you mean Water"}},
        {{"column", "--feed", "0.3,0.3,0.4", "--distillate", "0.78,0.01,0.21", "--bottoms", "0.1,0.1,0.8"}, 2,
         {"not on one mass-balance line"}},
        {{"map", "--no-such-option"}, 1, {}}, {{"azeotropes", kEight, "--search", "exhaustive"}, 1, {}},
        {{"azeotropes", path("twice.toml")}, 3, {"is given twice", "twice.toml:"}},
        {{"azeotropes", path("pipe.toml")}, 3, {"not a regular file"}},
        {{"azeotropes", "/dev/zero"}, 3, {"not a regular file"}},
    };
    for (const auto& c : cases) {
        std::string joined;
        for (const auto& a : c.args) joined += a + " ";
        SCOPED_TRACE(joined);
        const Outcome r = ternival(c.args);
        EXPECT_EQ(r.code, c.code) << r.err;
        for (const auto& part : c.told) EXPECT_TRUE(Has(r.err, part)) << r.err;
        if (c.code == 2) {
            EXPECT_EQ(CountLines(r.err), 1) << r.err;
            EXPECT_EQ(r.err.rfind("ternival: error: ", 0), 0u) << r.err;
        }
    }
}

// Results whose validity a check denies are written, told on standard error, marked in the table and given exit code 5:
// a search of twenty strongly non-ideal components that runs into its limits, and a partially miscible ternary at
// 1.06 kPa whose stability codes fail the topological constraint in any component order.
TEST_F(Command, DeniedResultsAreToldAndMarked) {
    const json limited = table({"azeotropes", kData + "/twenty_nrtl.toml", "--search", "classic"}, 5);
    EXPECT_TRUE(Has(last_.err, "ternival: warning: the azeotrope search stopped at a limit")) << last_.err;
    ASSERT_FALSE(limited.empty());
    for (const auto& row : limited) EXPECT_TRUE(Has(row["status"].get<std::string>(), "search incomplete"));

    const Outcome r = run({"azeotropes", kSlow, "--phase", "3", "-p", kSlowPressure, "--format", "csv"}, 5);
    EXPECT_TRUE(Has(r.err, "ternival: warning: the stability codes fail the topological check")) << r.err;
    std::istringstream rows(r.out);
    std::string header, row;
    ASSERT_TRUE(std::getline(rows, header));
    EXPECT_EQ(header.substr(header.rfind(',') + 1), "status");
    int marked = 0;
    for (; std::getline(rows, row); ++marked) EXPECT_EQ(row.substr(row.rfind(',') + 1), "topology check failed") << row;
    EXPECT_GE(marked, 3);
}

// A command past its time limit stops within about that time and fails (exit 4), saying why, instead of printing a
// partial table as a result; a map cut short draws nothing, and an earlier picture of that name stays.
TEST_F(Command, CommandsPastTheirTimeLimitFailAndSaySo) {
    Outcome r = run({"--time-limit", "0.5", "azeotropes", kData + "/twenty_nrtl.toml", "--search", "complete",
                     "--phase", "3"}, 4);
    EXPECT_TRUE(Has(r.err, "ternival: error: the time limit of 0.5 s was reached; the results are incomplete"))
        << r.err;
    EXPECT_LT(r.seconds, 10.0);  // the whole search takes some 20 s

    run({"map", "--grid", "3", "-o", path("map.svg")});
    const std::string good = Slurp(path("map.svg"));
    r = run({"--time-limit", "0.5", "map", kSlow, "-p", kSlowPressure, "--phase", "3", "-o", path("map.svg")}, 4);
    EXPECT_TRUE(Has(r.err, "the time limit of 0.5 s was reached")) << r.err;
    EXPECT_LT(r.seconds, 0.75);
    EXPECT_EQ(Slurp(path("map.svg")), good);
    EXPECT_EQ(r.out, "");
}

// Ethanol/water at 101.3 kPa (Kamihama et al. 2012, 21 points) fitted with NRTL within 0.5 K rms; the written problem
// gives the azeotrope near 351 K.  Bad data: exit 2, the line named, nothing written.
TEST_F(Command, FitsAPairToTheUsersDataAndWritesAProblemTheMapUses) {
    const json f = table({"fit", "--data", kData + "/ethanol_water_101kPa.csv", "--components", "ethanol,water", "-o",
                          path("fitted.toml"), "--plot", path("fit.svg")});
    EXPECT_TRUE(f["converged"].get<bool>());
    EXPECT_LT(f["rms_T_K"].get<double>(), 0.5);
    EXPECT_GT(f["se_bij"].get<double>(), 0.0);
    EXPECT_EQ(f["points"].size(), 21u);
    EXPECT_TRUE(f["consistency"]["done"].get<bool>());
    EXPECT_TRUE(Has(Slurp(path("fit.svg")), "<svg"));
    EXPECT_TRUE(Has(Slurp(path("fitted.toml")), "source = \"fitted to ethanol_water_101kPa.csv: 21 points"));
    table({"azeotropes", path("fitted.toml")});
    EXPECT_TRUE(Has(last_.out, "351.")) << last_.out;

    std::ofstream(path("bad.csv")) << "T_K,P_Pa,x1,y1\n350,101325,0.5,0.6\n351,101325,0.4,1.7\n352,101325,0.3,0.5\n";
    const Outcome r =
        run({"fit", "--data", path("bad.csv"), "--components", "ethanol,water", "-o", path("bad.toml")}, 2);
    EXPECT_TRUE(Has(r.err, "bad.csv:3: y1 = 1.7 is not a mole fraction")) << r.err;
    EXPECT_FALSE(fs::exists(path("bad.toml")));
}

// Entrainers judged as the literature judges them, at 1 atm with the databank's NRTL: for ethanol/water, benzene and
// cyclohexane form heteroazeotropes whose two liquids lie in different regions (Pham and Doherty, 1990; the classic
// dehydrating entrainers), ethylene glycol is a heavy entrainer for extractive distillation (Laroche et al., 1992), and
// methanol, lighter than both, leaves ethanol and water in two regions: no help.  For acetone/methanol, water is the
// extractive entrainer.
TEST_F(Command, EntrainersJudgedAsTheLiteratureJudgesThem) {
    const json rows = table({"screen", "--separate", "ethanol,water", "--candidates",
                             "benzene,cyclohexane,ethylene glycol,methanol,no such compound", "--workers", "2", "-o",
                             path("report.html")});
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
    // Verdicts resting on UNIFAC-estimated pairs say so.
    EXPECT_FALSE(eg["estimated_pairs"].empty());
    EXPECT_TRUE(Has(eg["reasons"].dump(), "estimated"));
    const json& me = by["methanol"];
    EXPECT_FALSE(me["homogeneous"].get<bool>() || me["heteroazeotropic"].get<bool>() || me["extractive"].get<bool>());
    EXPECT_TRUE(Has(me["reasons"].dump(), "different regions")) << me.dump();
    // A candidate that cannot be judged is a row with its error.
    EXPECT_FALSE(by["no such compound"]["error"].is_null());
    EXPECT_TRUE(Has(last_.err, "1 of 5 candidates could not be judged")) << last_.err;
    // The report: a row per candidate, a map for each that passes.
    const std::string html = Slurp(path("report.html"));
    EXPECT_TRUE(Has(html, "<table id=\"screen\""));
    std::size_t maps = 0;
    for (std::size_t at = 0; (at = html.find("<svg", at)) != std::string::npos; ++at) ++maps;
    EXPECT_EQ(maps, 3u);

    const json water = table({"screen", "--separate", "acetone,methanol", "--candidates", "water"})[0];
    EXPECT_TRUE(water["extractive"].get<bool>()) << water.dump();
}

// A screen resumed from its journal computes only what is missing: a row already there (here marked by hand) is kept as
// it is; each new row is appended as it finishes.  A candidate past its time limit is a row.
TEST_F(Command, AScreenResumesFromItsJournal) {
    const std::string journal = path("journal.jsonl");
    std::ofstream(journal) << R"({"request":"benzene","entrainer":"MARKED","error":null,"heteroazeotropic":true})"
                           << "\n" << R"({"request":"cyclohe)";  // cut short when the screen was killed
    const json rows = table({"screen", "--separate", "ethanol,water", "--candidates", "benzene,cyclohexane", "--resume",
                             journal, "--workers", "1"});
    ASSERT_EQ(rows.size(), 2u);
    std::set<std::string> names;
    for (const auto& row : rows) names.insert(row["entrainer"].get<std::string>());
    EXPECT_EQ(names, (std::set<std::string>{"MARKED", "Cyclohexane"}));
    EXPECT_TRUE(Has(last_.err, "2 candidates, 1 done before, 1 to compute")) << last_.err;
    std::ifstream j(journal);
    int complete = 0;
    for (std::string line; std::getline(j, line);) complete += !line.empty() && line.back() == '}';
    EXPECT_EQ(complete, 2);

    const json late = table({"screen", "--separate", "ethanol,water", "--candidates", "toluene",
                             "--candidate-time-limit", "0.0001"})[0];
    ASSERT_FALSE(late["error"].is_null());
    EXPECT_TRUE(Has(late["error"].get<std::string>(), "time limit")) << late.dump();
}

// A column from the command line: the figures of a feasible split (reflux 1.3 times the minimum, more stages than the
// minimum) and a picture with the profiles; the reason and exit code 5 of one whose products lie on either side of an
// acetone/chloroform/methanol boundary.
TEST_F(Command, ColumnsFromTheCommandLine) {
    json c = table({"column", kExamples + "/benzene_toluene_ethylbenzene.toml", "--feed", "0.3,0.3,0.4", "--distillate",
                    "0.95,0.0499,0.0001", "--bottoms", "0.0214285714,0.4071857143,0.5713857143", "--reflux-factor",
                    "1.3", "-o", path("column.svg")});
    for (const char* key : {"feasible", "reason", "r_min", "stages_min", "reflux", "stages", "feed_stage",
                            "rectifying", "stripping"})
        EXPECT_TRUE(c.contains(key)) << key;
    EXPECT_TRUE(c["feasible"].get<bool>());
    EXPECT_NEAR(c["reflux"].get<double>(), 1.3 * c["r_min"].get<double>(), 1e-9);
    EXPECT_EQ(c["rectifying"].size() + c["stripping"].size(), c["stages"].get<std::size_t>());
    EXPECT_GT(c["stages"].get<int>(), c["stages_min"].get<int>());
    EXPECT_TRUE(c["rectifying"][0].contains("x_BENZENE") && c["rectifying"][0].contains("T_K"));
    const std::string svg = Slurp(path("column.svg"));
    for (const char* kind : {"class=\"rectifying\"", "class=\"stripping\"", "class=\"mass-balance\""})
        EXPECT_TRUE(Has(svg, kind)) << kind;

    c = table({"column", "--feed", "0.3,0.3,0.4", "--distillate", "0.78,0.01,0.21", "--bottoms",
               "0.14,0.3966666667,0.4633333333", "--reflux", "5"}, 5);
    EXPECT_FALSE(c["feasible"].get<bool>());
    EXPECT_TRUE(Has(c["reason"].get<std::string>(), "different distillation regions")) << last_.out;
    EXPECT_TRUE(Has(last_.err, "ternival: warning: the split is not feasible"));
}

TEST_F(Command, WriteFailuresAreReportedAndLeaveNoPicture) {
    Outcome r = run({"azeotropes"}, 6, "/dev/full");
    EXPECT_TRUE(Has(r.err, "ternival: error: cannot write the results")) << r.err;
    // A picture that cannot be written leaves nothing under its name, and an earlier picture there stays whole.
    const std::string picture = path("map.svg");
    r = run({"map", "-o", picture});
    const std::string before = Slurp(picture);
    fs::permissions(dir_, fs::perms::owner_read | fs::perms::owner_exec);
    r = ternival({"map", "-o", picture, "--grid", "4"});
    fs::permissions(dir_, fs::perms::owner_all);
    if (::geteuid() != 0) {  // root writes anywhere
        EXPECT_EQ(r.code, 6) << r.err;
        EXPECT_EQ(Slurp(picture), before);
    }
    r = run({"map", "-o", path("no-such-dir/map.svg")}, 6);
    EXPECT_FALSE(fs::exists(path("no-such-dir")));
    for (const auto& entry : fs::directory_iterator(dir_))
        EXPECT_FALSE(Has(entry.path().filename().string(), ".part")) << entry.path();
}

// Mixtures named from the databank need no problem file.  Water and benzene boil as two liquids: the file built for
// ethanol/water/benzene says so, and its map is heterogeneous without --phase 3, with the ternary heteroazeotrope
// (337.9 K, x = 0.228/0.233/0.539 in the compilations) as the unstable node.  Written problem files tell the sources of
// their numbers, and compounds are found by part of their name.
TEST_F(Command, DatabankMixturesNeedNoProblemFile) {
    int ternaries = 0;
    const json map = table({"map", "--components", "ethanol,water,benzene", "--grid", "4", "-o", path("ewb.svg")});
    for (const auto& row : map)
        if (row["kind"] == "ternary azeotrope") {
            ++ternaries;
            EXPECT_EQ(row["stability"], "unstable node");
            EXPECT_EQ(row["phase"], "heterogeneous");
            EXPECT_NEAR(row["T_K"].get<double>(), 337.9, 2.0);
            EXPECT_NEAR(row["x_BENZENE"].get<double>(), 0.539, 0.05);
        }
    EXPECT_EQ(ternaries, 1) << last_.out;
    // The problem file built for the run is gone with it.
    for (const auto& entry : fs::directory_iterator(dir_ / "tmp"))
        EXPECT_NE(entry.path().filename().string().rfind("ternival-", 0), 0u) << entry.path();

    Outcome r = run({"problem", "ethanol", "water", "benzene", "-o", path("ewb.toml")});
    const std::string text = Slurp(path("ewb.toml"));
    EXPECT_TRUE(Has(text, "default_phase = 3")) << text;
    EXPECT_TRUE(Has(text, "source = \"ChemSep NRTL set (DECHEMA, Ethanol/Water)\"")) << text;
    EXPECT_TRUE(Has(text, "UNIFAC estimate")) << text;
    EXPECT_FALSE(Has(ternival({"problem", "acetone", "chloroform", "methanol"}).out, "default_phase"));
    r = run({"azeotropes", path("ewb.toml"), "--phase", "3", "--verbose"});
    EXPECT_TRUE(Has(r.err, "data: pair ETHANOL/WATER  source: ChemSep NRTL set")) << r.err;
    EXPECT_TRUE(Has(r.err, "data: 2  WATER  Water  MW 18.0153  source: databank: Water (CAS 7732-18-5)")) << r.err;
    EXPECT_TRUE(Has(r.out, "4 azeotrope(s)")) << r.out;

    r = run({"components", "xylene"});
    EXPECT_TRUE(Has(r.out, "O-xylene") && Has(r.out, "95-47-6")) << r.out;
}

// The eight-component example's method COMPLETE takes the pairs its NRTL method leaves ideal from the databank or
// UNIFAC, and finds the binary azeotropes the compilations list for them (101.325 kPa; Horsley, Gmehling); the default
// method keeps its documented ideal pairs.
TEST_F(Command, EightComponentsWithCompletePairsFindTheKnownBinaries) {
    const json complete = table({"azeotropes", kEight, "--method", "COMPLETE"});
    const struct {
        const char *a, *b;
        double t;
    } known[] = {{"CHLOROFM", "ETHANOL", 332.4}, {"CHLOROFM", "WATER", 329.3}, {"METHANOL", "BENZENE", 331.5},
                 {"METHANOL", "TOLUENE", 336.8}, {"ETHANOL", "TOLUENE", 349.9}, {"WATER", "TOLUENE", 357.3},
                 {"BUTANOL", "TOLUENE", 378.7}};
    for (const auto& k : known) {
        bool found = false;
        for (const auto& row : complete)
            if (row["size"] == 2 && row[std::string("x_") + k.a].get<double>() > 0.0 &&
                row[std::string("x_") + k.b].get<double>() > 0.0)
                found = std::abs(row["T_K"].get<double>() - k.t) < 2.0;
        EXPECT_TRUE(found) << k.a << "/" << k.b;
    }
    for (const auto& row : table({"azeotropes", kEight}))
        EXPECT_FALSE(row["size"] == 2 && row["x_METHANOL"].get<double>() > 0 && row["x_TOLUENE"].get<double>() > 0);
}

// Maps take the complete search unless told otherwise: benzene and hexafluorobenzene (two azeotropes at 1 atm) with
// toluene, which they hardly affect, show both binary azeotropes; the classic search shows at most one of them.
TEST_F(Command, MapsTakeTheCompleteSearchByDefault) {
    std::ofstream(path("bzf.toml")) << Slurp(kData + "/benzene_hexafluorobenzene.toml") << "\n[[component]]\n"
                                    << "id = \"TOLUENE\"\nmw = 92.14\nantoine = [21.0, -3100.0, -53.0]\n";
    for (const bool classic : {false, true}) {
        std::vector<std::string> args{"map", path("bzf.toml"), "--grid", "3", "-o", path("bzf.svg")};
        if (classic) args.insert(args.end(), {"--search", "classic"});
        int binaries = 0;
        for (const auto& row : table(args))
            binaries += !Has(row["kind"].get<std::string>(), "pure") && row["x_TOLUENE"].get<double>() == 0.0;
        if (classic) {
            EXPECT_LT(binaries, 2) << last_.out;
        } else {
            EXPECT_EQ(binaries, 2) << last_.out;
        }
    }
}

}  // namespace
