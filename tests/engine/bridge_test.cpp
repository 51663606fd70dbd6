// Engine loading, initialisation, the flash bridge and the run log, against the engine library found by path search.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <fstream>
#include <sys/wait.h>
#include <unistd.h>

#include "../common/slurp.h"
#include "engine/engine_flash.h"
#include "engine/run_log.h"
#include "engine_env.h"
#include "platform/message_box.h"

using namespace ternival;
using ternival::testing::EngineEnvironment;

namespace {

// Benzene / toluene, ideal and NRTL with no pairs (equal results), plus an eight-character method name.
constexpr const char* kProblem = R"(
missing = "ideal"
default_method = "IDEAL"
[[component]]
id = "BENZENE"
mw = 78.11
antoine = [83.107, -6486.2, 0.0, -9.2194, 6.9844e-6, 2.0]
tb = 353.24
[[component]]
id = "TOLUENE"
mw = 92.14
antoine = [76.945, -6729.8, 0.0, -8.179, 5.3017e-6, 2.0]
[[method]]
name = "IDEAL"
model = "IDEAL"
[[method]]
name = "NRTLLONG"
model = "NRTL"
)";

using Flash = ternival::testing::FlashOutcome;

Flash flash(std::string_view type, double t, double p, double vf, std::string_view method = "",
            std::array<double, 2> z = {0.4, 0.6}) {
    return ternival::testing::RunFlash(type, 2, method, std::array<std::int64_t, 2>{1, 2}, z, t, p, vf);
}

class Bridge : public EngineEnvironment {
protected:
    void SetUp() override {
        EngineEnvironment::SetUp();
        LoadPropertyEngine(engine_);
        ASSERT_TRUE(engine_.library.loaded()) << engine_.library.error();
        ASSERT_TRUE(InitializeEngine(engine_, write("BTX.toml", kProblem)));
    }
    void TearDown() override {
        CloseEngine(engine_);
        EngineEnvironment::TearDown();
    }
    PropertyEngine engine_;
};

}  // namespace

// The simulator's xeq directory comes first on PATH, then the engine's and the framework's when both are registered
// (the framework alone is not used), all before the old PATH; the library and its entry points are found there.
TEST_F(EngineEnvironment, RegisteredLocationsComeBeforeTheOldPath) {
    const std::string simulator = std::string(TERNIVAL_VELMTOP) + "/xeq:";
    std::filesystem::create_directories(dir_ / "framework" / "xeq");
    platform::RegistryWriteString(ternival::testing::kFrameworkKey, "ZENTIKTOP", (dir_ / "framework").string());
    platform::PutEnv("PATH=/usr/bin");
    PropertyEngine e;
    LoadPropertyEngine(e);
    EXPECT_EQ(platform::GetEnv("PATH").value(), simulator + "/usr/bin");
    ASSERT_TRUE(e.library.loaded()) << e.library.error();
    EXPECT_EQ(e.library.path(), std::string(TERNIVAL_VELMTOP) + "/xeq/libqrPropCore.so");
    const EngineEntryPoints& s = EngineSlots();
    EXPECT_TRUE(s.pp_flash && s.get_csp && s.fi_opst && s.glb_ops && s.set_jmp && s.close_pdf &&
                s.pp_gidx && s.comp_qry && s.ls_opst);

    std::filesystem::create_directories(dir_ / "engine" / "xeq");
    platform::RegistryWriteString(ternival::testing::kEngineKey, "velmtop", (dir_ / "engine").string());
    platform::PutEnv("PATH=/bin");
    PropertyEngine both;
    LoadPropertyEngine(both);
    EXPECT_EQ(platform::GetEnv("PATH").value(),
              simulator + (dir_ / "engine/xeq").string() + ":" + (dir_ / "framework/xeq").string() + ":/bin");
    EXPECT_TRUE(both.library.loaded());
}

// Processes that write the registry at once (a screen's workers each
// registering the engine) lose none of each other's values.
TEST_F(EngineEnvironment, ConcurrentRegistryWritersLoseNothing) {
    constexpr int kWriters = 6, kValues = 15;
    std::vector<pid_t> children;
    for (int w = 0; w < kWriters; ++w) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            bool ok = true;
            for (int v = 0; v < kValues; ++v)
                ok = platform::RegistryWriteString("SOFTWARE\\Test\\W" + std::to_string(w), "v" + std::to_string(v),
                                                   "x") && ok;
            _exit(ok ? 0 : 1);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    for (int w = 0; w < kWriters; ++w)
        EXPECT_EQ(platform::RegistryValues("SOFTWARE\\Test\\W" + std::to_string(w)).size(), std::size_t(kValues)) << w;
    EXPECT_TRUE(platform::RegistryReadString(ternival::testing::kSimulatorKey, "velmtop"));
}

// Without the simulator nothing is loaded, and a file of the library's name that is not a loadable library is reported,
// once.
TEST_F(EngineEnvironment, WithoutTheSimulatorOrWithABrokenLibraryNothingIsLoaded) {
    platform::RegistryDeleteTree("SOFTWARE\\Corvath");
    platform::PutEnv("PATH=/bin");
    PropertyEngine e;
    LoadPropertyEngine(e);
    EXPECT_EQ(platform::GetEnv("PATH").value(), "/bin");
    EXPECT_FALSE(e.library.loaded());
    EXPECT_EQ(EngineSlots().pp_flash, nullptr);
    const Flash f = flash("TP", 350.0, 101325.0, 0.0);
    EXPECT_EQ(f.error, -1);
    EXPECT_EQ(f.t, 350.0);  // untouched

    std::filesystem::create_directories(dir_ / "broken" / "xeq");
    std::ofstream(dir_ / "broken/xeq/libqrPropCore.so") << "not a library";
    platform::RegistryWriteString(ternival::testing::kSimulatorKey, "velmtop", (dir_ / "broken").string());
    platform::MessageBoxCapture boxes;
    PropertyEngine broken;
    LoadPropertyEngine(broken);
    EXPECT_FALSE(broken.library.loaded());
    ASSERT_EQ(boxes.messages().size(), 1u);
    EXPECT_NE(boxes.messages()[0].text.find("libqrPropCore.so"), std::string::npos) << boxes.messages()[0].text;
}

TEST_F(EngineEnvironment, InitialisationFailuresAndTheirMessages) {
    PropertyEngine e;
    LoadPropertyEngine(e);
    ASSERT_TRUE(e.library.loaded());
    platform::MessageBoxCapture boxes;
    const auto& messages = boxes.messages();

    EXPECT_FALSE(InitializeEngine(e, ""));
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, "Unable to read PDF Filename and/or Runid from ");
    EXPECT_EQ(messages[0].flags & platform::kMbTaskModal, platform::kMbTaskModal);
    EXPECT_FALSE(InitializeEngine(e, (dir_ / "missing.toml").string()));
    EXPECT_EQ(messages.size(), 1u);  // no message for a missing file
    EXPECT_FALSE(InitializeEngine(e, write("BAD.toml", "[[component]]\nid = \"A\"\n")));
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[1].text, "Terminal errors in lumivar initialization");
    EXPECT_EQ(e.open, 0);

    const std::string good = write("ABC.DEF", kProblem);
    std::filesystem::create_directories(dir_ / "tmp" / "ABC.rpt");  // report file cannot be created
    EXPECT_FALSE(InitializeEngine(e, good));
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[2].text, "Failed to open report file");
    EXPECT_EQ(RunId(), "ABC     ");
    platform::PutEnv("TMP=" + (dir_ / "no-such-dir").string());
    EXPECT_FALSE(InitializeEngine(e, good));
    ASSERT_EQ(messages.size(), 4u);
    EXPECT_EQ(messages[3].text, "Failed to open history file");
    EXPECT_EQ(e.open, 0);

    platform::PutEnv("TMP=" + tmpDir());
    std::filesystem::remove(dir_ / "tmp" / "ABC.rpt");
    EXPECT_TRUE(InitializeEngine(e, good));
    EXPECT_EQ(e.open, 1);
    EXPECT_TRUE(std::filesystem::exists(dir_ / "tmp" / "ABC.his"));
    CloseEngine(e);
    EXPECT_EQ(e.open, 0);
}

// Each flash type reaches the engine with its specifications: the bubble point (PV, PLF) below the dew point (PV at
// vapour fraction 1, PVF), the bubble and dew pressures at those temperatures back at 1 atm, and a TP flash between
// them two-phase.
TEST_F(Bridge, EveryFlashTypeReachesTheEngine) {
    const Flash bubble = flash("PV", 0.0, 101325.0, 0.0);
    ASSERT_EQ(bubble.error, 0);
    EXPECT_GT(bubble.t, 353.0);
    EXPECT_LT(bubble.t, 384.0);
    EXPECT_NEAR(bubble.x[0], 0.4, 1e-12);
    EXPECT_GT(bubble.y[0], 0.4);  // benzene is the lighter
    const Flash plf = flash("PLF", 0.0, 101325.0, 0.7);  // vapour fraction argument ignored
    EXPECT_EQ(plf.error, 0);
    EXPECT_NEAR(plf.t, bubble.t, 1e-6);
    EXPECT_EQ(plf.vf, 0.0);
    const Flash pvf = flash("PVF", 0.0, 101325.0, 0.0);
    EXPECT_EQ(pvf.error, 0);
    EXPECT_GT(pvf.t, bubble.t);
    EXPECT_NEAR(flash("PV", 0.0, 101325.0, 1.0).t, pvf.t, 1e-6);
    for (const auto& [type, t] : {std::pair{"TLF", bubble.t}, std::pair{"TVF", pvf.t}}) {
        const Flash f = flash(type, t, 0.0, 0.0);
        EXPECT_EQ(f.error, 0) << type;
        EXPECT_NEAR(f.p, 101325.0, 0.5) << type;
    }
    const Flash tp = flash("TP", 0.5 * (bubble.t + pvf.t), 101325.0, 0.0);
    EXPECT_EQ(tp.error, 0);
    EXPECT_GT(tp.vf, 0.0);
    EXPECT_LT(tp.vf, 1.0);
    // Zero-duty flashes need enthalpies: the engine declines with a positive value.
    EXPECT_GT(flash("TH", 360.0, 101325.0, 0.0).error, 0);
    EXPECT_GT(flash("PH", 360.0, 101325.0, 0.0).error, 0);
}

TEST_F(Bridge, TypeAndMethodMatchingAndMissingSpecifications) {
    for (const char* type : {"pv", "Pv"}) EXPECT_EQ(flash(type, 0.0, 101325.0, 0.0).error, 0) << type;
    const Flash tp = flash("tp", 350.0, 101325.0, 0.0);
    EXPECT_EQ(tp.error, -1);
    EXPECT_EQ(tp.t, 350.0);
    EXPECT_EQ(tp.y[0], 0.0);  // outputs untouched
    for (const Flash& f : {flash("TPX", 350.0, 101325.0, 0.0), flash("TP", kMissingValue, 101325.0, 0.0),
                           flash("TP", 350.0, kMissingValue - 0.05, 0.0), flash("PV", 0.0, 101325.0, kMissingValue),
                           flash("PV", 0.0, 101325.0, 0.0, "", {kMissingValue, 0.5})})
        EXPECT_EQ(f.error, -1) << f.t << " " << f.p << " " << f.vf;
    // The vapour-fraction argument is not a specification of "TP".
    EXPECT_EQ(flash("TP", 350.0, 101325.0, kMissingValue).error, 0);
    // Method names are looked up by their first eight characters, then as a
    // model keyword; an unknown method is refused, not silently replaced.
    EXPECT_EQ(flash("PV", 0.0, 101325.0, 0.0, "NRTLLONGER").error, 0);
    EXPECT_EQ(FlashMemory().method, 2);
    EXPECT_EQ(flash("PV", 0.0, 101325.0, 0.0, "IDEAL").error, 0);
    EXPECT_EQ(FlashMemory().method, 1);
    EXPECT_LT(flash("PV", 0.0, 101325.0, 0.0, "SRK").error, 0);
    EXPECT_EQ(flash("PV", 0.0, 101325.0, 0.0, "nrtl").error, 0);
}

// The engine continues from its last result (start mode 2) while the method and the flash code stay the same, and
// restarts (1) when either changes.  A continued flash that fails is retried once from scratch; a failure from scratch
// is not repeated.
TEST_F(Bridge, StartModeFollowsMethodAndFlashCodeAndFailuresAreRetriedFromScratch) {
    const auto mode_after = [](std::string_view type, double t, std::string_view method = "") {
        flash(type, t, 101325.0, 0.0, method);
        return FlashMemory().last_start_mode;
    };
    mode_after("PV", 0.0);
    EXPECT_EQ(mode_after("PV", 0.0), 2);
    EXPECT_EQ(mode_after("TP", 360.0), 1);
    EXPECT_EQ(mode_after("TP", 360.0), 2);
    EXPECT_EQ(mode_after("TP", 360.0, "NRTLLONG"), 1);

    flash("PV", 0.0, 101325.0, 0.0);
    long long before = FlashMemory().engine_calls;
    EXPECT_GT(flash("PV", 0.0, 101325.0, 1.5).error, 0);  // vapour fraction out of range
    EXPECT_EQ(FlashMemory().engine_calls - before, 2);
    EXPECT_EQ(FlashMemory().last_start_mode, 1);
    before = FlashMemory().engine_calls;
    flash("TP", 360.0, -1.0, 0.0);
    EXPECT_EQ(FlashMemory().engine_calls - before, 1);
}

// The flash settings of the current package reach the engine: a single iteration cannot converge a dew point.  With a
// single iteration allowed, a bubble point converges only when the engine starts from the temperature it found before,
// which it does in continue mode alone.
TEST_F(Bridge, FlashSettingsAndContinueModeReachTheEngine) {
    FlashSettings loose{1e-2, 1}, one_step{1e-7, 1};
    SetCurrentFlashSettings(&loose);
    EXPECT_GT(flash("PV", 0.0, 101325.0, 1.0).error, 0);
    SetCurrentFlashSettings(nullptr);
    EXPECT_EQ(flash("PV", 0.0, 101325.0, 1.0).error, 0);
    const Flash cold = flash("PV", 0.0, 101325.0, 0.0);
    ASSERT_EQ(cold.error, 0);
    SetCurrentFlashSettings(&one_step);
    const Flash warm = flash("PV", 0.0, 101325.0, 0.0);
    SetCurrentFlashSettings(nullptr);
    EXPECT_EQ(warm.error, 0);
    EXPECT_NEAR(warm.t, cold.t, 1e-6);
}

// More components than the arrays hold, or an unknown flash type: refused, and nothing written.  An engine index that
// does not exist is the engine's fatal error.
TEST_F(Bridge, BadCallsAreRejectedWithoutTouchingMemory) {
    constexpr double kSentinel = -12345.0;
    std::array<double, 2> y{}, x{}, x1{}, x2{};
    const std::array<double, 1> z{1.0};
    const std::array<std::int64_t, 1> ids{1}, bad{7};
    for (const auto& [type, n] : {std::pair{"PV", 2}, std::pair{"XY", 1}}) {
        SCOPED_TRACE(type);
        for (auto* a : {&y, &x, &x1, &x2}) a->fill(kSentinel);
        double t = 321.0, p = 101325, vf = 0.25, r = 0.5;
        std::int64_t err = 0;
        EngineFlash(type, 2, "", n, ids, z, t, p, vf, y, x, r, x1, x2, err);
        EXPECT_EQ(err, -1);
        for (const auto* a : {&y, &x, &x1, &x2})
            for (double v : *a) EXPECT_EQ(v, kSentinel);
        EXPECT_EQ(t, 321.0);
        EXPECT_EQ(p, 101325.0);
        EXPECT_EQ(vf, 0.25);
        EXPECT_EQ(r, 0.5);
    }
    double t = 321.0, p = 101325, vf = 0.25, r = 0.5;
    std::int64_t err = 0;
    EngineFlash("PV", 2, "", 1, bad, z, t, p, vf, y, x, r, x1, x2, err);
    EXPECT_LT(err, 0);
}

// Messages reach the run log of the run id in TMP, one line each, except the codes that are not logged (500, 514);
// where TMP names no directory they go nowhere and nothing is created.  A long-lived server's log is set aside once as
// ".old" past 1 MiB and starts afresh, so the two never hold much more than 2 MiB.
TEST_F(EngineEnvironment, RunLogLinesAndFile) {
    SetRunId("RUN1    ");
    const std::string log = tmpDir() + "/RUN1    .log";
    EXPECT_EQ(RunLogPath(), log);
    for (const int code : {500, 514}) LogRunMessage(code, "RCM_FUN");
    EXPECT_FALSE(std::filesystem::exists(log));
    LogRunMessage(502, "RCM_FUN");
    LogRunMessage(513, "LLE_Envelope");
    LogRunMessage(502, "RCM_FUN");
    const std::string lines =
        "RCM_FUN : Flash calculations did not convege.\n"
        "LLE_Envelope : This mixture is partially/totally a vapor at the given pressure and temperature\n"
        "RCM_FUN : Flash calculations did not convege.\n";
    EXPECT_EQ(Slurp(log), lines);
    EXPECT_EQ(MessageText(505), "Array allocation error");
    EXPECT_EQ(MessageText(511), "Computed azeotropes do not satisfy the topological constraint equation");
    SetRunId("");
    EXPECT_EQ(RunLogPath(), tmpDir() + "/.log");
    platform::PutEnv("TMP=" + (dir_ / "nowhere").string());
    LogRunMessage(501, "residue_curve");
    EXPECT_FALSE(std::filesystem::exists(dir_ / "nowhere"));
    EXPECT_EQ(Slurp(log), lines);

    platform::PutEnv("TMP=" + tmpDir());
    SetRunId("LONG    ");
    const std::string long_log = tmpDir() + "/LONG    .log";
    for (int call = 0; call < 60; ++call) {
        ResetRunLogBudget();
        for (int k = 0; k < 1000; ++k) LogRunMessage(502, "RCM_FUN");
    }
    const auto old = std::filesystem::file_size(long_log + ".old");
    EXPECT_LE(std::filesystem::file_size(long_log), std::uintmax_t{1} << 20);
    EXPECT_GE(old, std::uintmax_t{1} << 20);
    EXPECT_LE(old, (std::uintmax_t{1} << 20) + 100);
}

// Short names are unique within a directory: a long name takes the next free number in the order the files were made,
// and a file added later, first in name order, moves no older file (nor its run log).
TEST_F(EngineEnvironment, ShortNamesAreUniqueWithinADirectory) {
    const std::filesystem::path d = dir_ / "names";
    std::filesystem::create_directories(d);
    for (const char* name : {"acetone_chloroform_methanol.toml", "acetone_water.toml", "ACETON~1.TOM", "abc.def",
                             "short", "my file.v2.toml"})
        std::ofstream(d / name) << "x";
    const auto shortname = [&](const std::string& name) {
        return std::filesystem::path(platform::ShortPathName((d / name).string())).filename().string();
    };
    const std::vector<std::pair<std::string, std::string>> names{
        {"acetone_chloroform_methanol.toml", "ACETON~2.TOM"},  // ACETON~1.TOM is a name of its own
        {"acetone_water.toml", "ACETON~3.TOM"}, {"ACETON~1.TOM", "ACETON~1.TOM"}, {"abc.def", "abc.def"},
        {"short", "short"}, {"my file.v2.toml", "MYFILE~1.TOM"}};
    for (const auto& [name, expected] : names) EXPECT_EQ(shortname(name), expected) << name;
    EXPECT_EQ(platform::ShortPathName(""), "");
    EXPECT_EQ(std::filesystem::path(platform::ShortPathName((d / "acetone_water.toml").string())).parent_path(), d);
    ::usleep(20000);  // file times tick in milliseconds: "later" is a tick later
    std::ofstream(d / "acetone_a.toml") << "x";
    EXPECT_EQ(shortname("acetone_chloroform_methanol.toml"), "ACETON~2.TOM");
    EXPECT_EQ(shortname("acetone_water.toml"), "ACETON~3.TOM");
    EXPECT_EQ(shortname("acetone_a.toml"), "ACETON~4.TOM");
}

// The run id is the problem file's short name, so two files of one directory keep separate run logs.
TEST_F(EngineEnvironment, ProblemFilesOfOneDirectoryKeepSeparateRunLogs) {
    PropertyEngine e;
    LoadPropertyEngine(e);
    ASSERT_TRUE(e.library.loaded());
    ASSERT_TRUE(InitializeEngine(e, write("acetone_chloroform_methanol.toml", kProblem)));
    EXPECT_EQ(RunId(), "ACETON~1");
    CloseEngine(e);
    ASSERT_TRUE(InitializeEngine(e, write("acetone_water.toml", kProblem)));
    EXPECT_EQ(RunId(), "ACETON~2");
    LogRunMessage(502, "RCM_FUN");
    CloseEngine(e);
    EXPECT_EQ(Slurp(dir_ / "tmp" / "ACETON~2.log").rfind("RCM_FUN : Flash calculations did not convege.\n", 0), 0u);
    EXPECT_FALSE(std::filesystem::exists(dir_ / "tmp" / "ACETON~1.log"));
}

// Benzene and toluene with their critical temperatures (562.1 and 591.8 K) and, for benzene, the range of its
// vapour-pressure correlation: flashes where the data do not reach fail with error 2.
TEST_F(EngineEnvironment, TemperaturesTheDataDoNotDescribeAreNoResult) {
    PropertyEngine e;
    LoadPropertyEngine(e);
    ASSERT_TRUE(e.library.loaded());
    std::string text = kProblem;
    text.replace(text.find("tb = 353.24"), 11, "tb = 353.24\ntc = 562.1\ntmin = 278.7\ntmax = 562.0");
    text.replace(text.find("antoine = [76.945"), 0, "tc = 591.8\n");
    ASSERT_TRUE(InitializeEngine(e, write("LIMITS.toml", text)));
    EXPECT_EQ(flash("PV", 0.0, 101325.0, 0.0).error, 0);
    EXPECT_EQ(flash("PV", 0.0, 1e7, 0.0).error, 2);  // the "bubble point" above both critical temperatures
    EXPECT_EQ(flash("TP", 250.0, 101325.0, 0.0).error, 2);  // below benzene's correlation
    EXPECT_EQ(flash("TP", 2900.0, 101325.0, 0.0).error, 2);
    // Pure toluene at 560 K lies below its own critical temperature.
    EXPECT_EQ(flash("TP", 560.0, 3e6, 0.0, "", {0.0, 1.0}).error, 0);
    CloseEngine(e);
    // Inconsistent limits are refused with the file.
    text.replace(text.find("tmin = 278.7"), 12, "tmin = 600.0");
    EXPECT_FALSE(InitializeEngine(e, write("BADLIMIT.toml", text)));
}
