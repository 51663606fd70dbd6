// Engine loading, initialisation, the flash bridge and the run log, against
// the engine library found by path search.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <fstream>
#include <unistd.h>
#include <sstream>

#include "engine/engine_flash.h"
#include "engine/run_log.h"
#include "engine_env.h"
#include "platform/message_box.h"

using namespace ternival;
using ternival::testing::EngineEnvironment;

namespace {

// Benzene / toluene, ideal and NRTL with no pairs (equal results), plus an
// eight-character method name.
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

struct Flash {
    std::array<double, 2> y{}, x{}, x1{}, x2{};
    double t = 0.0, p = 0.0, vf = 0.0, result = 0.0;
    std::int64_t error = 99;
};

Flash flash(std::string_view type, double t, double p, double vf, std::string_view method = "",
            std::array<double, 2> z = {0.4, 0.6}) {
    Flash f;
    f.t = t;
    f.p = p;
    f.vf = vf;
    const std::array<std::int64_t, 2> ids{1, 2};
    EngineFlash(type, 2, method, 2, ids, z, f.t, f.p, f.vf, f.y, f.x, f.result, f.x1, f.x2, f.error);
    return f;
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

TEST(EngineVersion, DigitsPaddedToFour) {
    EXPECT_EQ(VersionNumber("38.0"), 3800);
    EXPECT_EQ(VersionNumber("1-2"), 1200);
    EXPECT_EQ(VersionNumber("12.10"), 1210);
    EXPECT_EQ(VersionNumber(""), 0);
}

TEST_F(EngineEnvironment, OnlyTheSimulatorDirectoryIsPrependedToPath) {
    platform::PutEnv("PATH=/usr/bin");
    PropertyEngine e;
    LoadPropertyEngine(e);
    EXPECT_EQ(platform::GetEnv("PATH").value(), std::string(TERNIVAL_VELMTOP) + "/xeq:/usr/bin");
    ASSERT_TRUE(e.library.loaded()) << e.library.error();
    EXPECT_EQ(e.library.path(), std::string(TERNIVAL_VELMTOP) + "/xeq/libqrPropCore.so");
    const EngineEntryPoints& s = EngineSlots();
    EXPECT_TRUE(s.pp_flash && s.get_csp && s.fi_opst && s.glb_ops && s.set_jmp && s.close_pdf &&
                s.pp_gidx && s.comp_qry && s.ls_opst);
}

TEST_F(EngineEnvironment, AllThreeLocationsComeBeforeTheOldPath) {
    std::filesystem::create_directories(dir_ / "engine" / "xeq");
    std::filesystem::create_directories(dir_ / "framework" / "xeq");
    platform::RegistryWriteString(ternival::testing::kEngineKey, "velmtop", (dir_ / "engine").string());
    platform::RegistryWriteString(ternival::testing::kFrameworkKey, "ZENTIKTOP", (dir_ / "framework").string());
    platform::PutEnv("PATH=/bin");
    PropertyEngine e;
    LoadPropertyEngine(e);
    EXPECT_EQ(platform::GetEnv("PATH").value(), std::string(TERNIVAL_VELMTOP) + "/xeq:" +
                                                    (dir_ / "engine/xeq").string() + ":" +
                                                    (dir_ / "framework/xeq").string() + ":/bin");
    EXPECT_TRUE(e.library.loaded());
}

TEST_F(EngineEnvironment, FrameworkAloneIsNotUsed) {
    std::filesystem::create_directories(dir_ / "framework" / "xeq");
    platform::RegistryWriteString(ternival::testing::kFrameworkKey, "ZENTIKTOP", (dir_ / "framework").string());
    platform::PutEnv("PATH=/bin");
    PropertyEngine e;
    LoadPropertyEngine(e);
    EXPECT_EQ(platform::GetEnv("PATH").value(), std::string(TERNIVAL_VELMTOP) + "/xeq:/bin");
}

TEST_F(EngineEnvironment, WithoutTheSimulatorNothingIsLoaded) {
    platform::RegistryDeleteTree("SOFTWARE\\Corvath");
    platform::PutEnv("PATH=/bin");
    PropertyEngine e;
    LoadPropertyEngine(e);
    EXPECT_EQ(platform::GetEnv("PATH").value(), "/bin");
    EXPECT_FALSE(e.library.loaded());
    EXPECT_EQ(EngineSlots().pp_flash, nullptr);
    Flash f = flash("TP", 350.0, 101325.0, 0.0);
    EXPECT_EQ(f.error, -1);
    EXPECT_EQ(f.t, 350.0);  // untouched
}

TEST_F(EngineEnvironment, ALibraryThatFailsToLoadIsReportedOnce) {
    // A file of the library's name that is not a loadable library.
    std::filesystem::create_directories(dir_ / "broken" / "xeq");
    std::ofstream(dir_ / "broken/xeq/libqrPropCore.so") << "not a library";
    platform::RegistryWriteString(ternival::testing::kSimulatorKey, "velmtop", (dir_ / "broken").string());
    platform::PutEnv("PATH=/bin");
    platform::MessageBoxCapture boxes;
    PropertyEngine e;
    LoadPropertyEngine(e);
    EXPECT_FALSE(e.library.loaded());
    ASSERT_EQ(boxes.messages().size(), 1u);
    EXPECT_NE(boxes.messages()[0].text.find("libqrPropCore.so"), std::string::npos) << boxes.messages()[0].text;
}

TEST_F(EngineEnvironment, InitialisationFailuresAndTheirMessages) {
    PropertyEngine e;
    LoadPropertyEngine(e);
    ASSERT_TRUE(e.library.loaded());
    platform::MessageBoxCapture boxes;

    EXPECT_FALSE(InitializeEngine(e, ""));
    ASSERT_EQ(boxes.messages().size(), 1u);
    EXPECT_EQ(boxes.messages()[0].text, "Unable to read PDF Filename and/or Runid from ");
    EXPECT_EQ(boxes.messages()[0].flags & platform::kMbTaskModal, platform::kMbTaskModal);

    EXPECT_FALSE(InitializeEngine(e, (dir_ / "missing.toml").string()));
    EXPECT_EQ(boxes.messages().size(), 1u);  // no message for a missing file

    const std::string bad = write("BAD.toml", "[[component]]\nid = \"A\"\n");
    EXPECT_FALSE(InitializeEngine(e, bad));
    ASSERT_EQ(boxes.messages().size(), 2u);
    EXPECT_EQ(boxes.messages()[1].text, "Terminal errors in lumivar initialization");
    EXPECT_EQ(e.open, 0);

    const std::string good = write("ABC.DEF", kProblem);
    std::filesystem::create_directories(dir_ / "tmp" / "ABC.rpt");  // report file cannot be created
    EXPECT_FALSE(InitializeEngine(e, good));
    ASSERT_EQ(boxes.messages().size(), 3u);
    EXPECT_EQ(boxes.messages()[2].text, "Failed to open report file");
    EXPECT_EQ(RunId(), "ABC     ");

    platform::PutEnv("TMP=" + (dir_ / "no-such-dir").string());
    EXPECT_FALSE(InitializeEngine(e, good));
    ASSERT_EQ(boxes.messages().size(), 4u);
    EXPECT_EQ(boxes.messages()[3].text, "Failed to open history file");
    EXPECT_EQ(e.open, 0);

    platform::PutEnv("TMP=" + tmpDir());
    std::filesystem::remove(dir_ / "tmp" / "ABC.rpt");
    EXPECT_TRUE(InitializeEngine(e, good));
    EXPECT_EQ(e.open, 1);
    EXPECT_TRUE(std::filesystem::exists(dir_ / "tmp" / "ABC.his"));
    CloseEngine(e);
    EXPECT_EQ(e.open, 0);
}

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

    const Flash tlf = flash("TLF", bubble.t, 0.0, 0.0);
    EXPECT_EQ(tlf.error, 0);
    EXPECT_NEAR(tlf.p, 101325.0, 0.5);
    const Flash tvf = flash("TVF", pvf.t, 0.0, 0.0);
    EXPECT_EQ(tvf.error, 0);
    EXPECT_NEAR(tvf.p, 101325.0, 0.5);

    const Flash tp = flash("TP", 0.5 * (bubble.t + pvf.t), 101325.0, 0.0);
    EXPECT_EQ(tp.error, 0);
    EXPECT_GT(tp.vf, 0.0);
    EXPECT_LT(tp.vf, 1.0);

    // Zero-duty flashes need enthalpies: the engine declines with a positive value.
    EXPECT_GT(flash("TH", 360.0, 101325.0, 0.0).error, 0);
    EXPECT_GT(flash("PH", 360.0, 101325.0, 0.0).error, 0);
}

TEST_F(Bridge, TypeMatchingAndMissingSpecifications) {
    EXPECT_EQ(flash("pv", 0.0, 101325.0, 0.0).error, 0);
    EXPECT_EQ(flash("Pv", 0.0, 101325.0, 0.0).error, 0);
    const Flash tp = flash("tp", 350.0, 101325.0, 0.0);
    EXPECT_EQ(tp.error, -1);
    EXPECT_EQ(tp.t, 350.0);
    EXPECT_EQ(tp.y[0], 0.0);  // outputs untouched
    EXPECT_EQ(flash("TPX", 350.0, 101325.0, 0.0).error, -1);
    EXPECT_EQ(flash("TP", kMissingValue, 101325.0, 0.0).error, -1);
    EXPECT_EQ(flash("TP", 350.0, kMissingValue - 0.05, 0.0).error, -1);
    EXPECT_EQ(flash("PV", 0.0, 101325.0, kMissingValue).error, -1);
    EXPECT_EQ(flash("PV", 0.0, 101325.0, 0.0, "", {kMissingValue, 0.5}).error, -1);
    // The vapour-fraction argument is not a specification of "TP".
    EXPECT_EQ(flash("TP", 350.0, 101325.0, kMissingValue).error, 0);
}

TEST_F(Bridge, MethodNamesAreLookedUpByTheirFirstEightCharacters) {
    const Flash a = flash("PV", 0.0, 101325.0, 0.0, "NRTLLONGER");
    EXPECT_EQ(a.error, 0);
    EXPECT_EQ(FlashMemory().method, 2);
    EXPECT_EQ(flash("PV", 0.0, 101325.0, 0.0, "IDEAL").error, 0);
    EXPECT_EQ(FlashMemory().method, 1);
    // An unknown method is not silently replaced: the engine refuses it.
    EXPECT_LT(flash("PV", 0.0, 101325.0, 0.0, "SRK").error, 0);
    // The model keyword is accepted through the fallback lookup.
    EXPECT_EQ(flash("PV", 0.0, 101325.0, 0.0, "nrtl").error, 0);
}

TEST_F(Bridge, StartModeFollowsMethodAndFlashCode) {
    flash("PV", 0.0, 101325.0, 0.0);
    flash("PV", 0.0, 101325.0, 0.0);
    EXPECT_EQ(FlashMemory().last_start_mode, 2);
    flash("TP", 360.0, 101325.0, 0.0);
    EXPECT_EQ(FlashMemory().last_start_mode, 1);
    flash("TP", 360.0, 101325.0, 0.0);
    EXPECT_EQ(FlashMemory().last_start_mode, 2);
    flash("TP", 360.0, 101325.0, 0.0, "NRTLLONG");
    EXPECT_EQ(FlashMemory().last_start_mode, 1);
}

TEST_F(Bridge, ContinueModeReachesTheEngine) {
    // With a single iteration allowed, a bubble point converges only when
    // the engine starts from the temperature it found before, which it does
    // in continue mode alone.
    const Flash cold = flash("PV", 0.0, 101325.0, 0.0);
    ASSERT_EQ(cold.error, 0);
    FlashSettings one_step{1e-7, 1};
    SetCurrentFlashSettings(&one_step);
    const Flash warm = flash("PV", 0.0, 101325.0, 0.0);
    SetCurrentFlashSettings(nullptr);
    EXPECT_EQ(warm.error, 0);
    EXPECT_NEAR(warm.t, cold.t, 1e-6);
}

TEST_F(Bridge, AFailingContinueFlashIsRetriedOnceInRestartMode) {
    flash("PV", 0.0, 101325.0, 0.0);
    const long long before = FlashMemory().engine_calls;
    const Flash bad = flash("PV", 0.0, 101325.0, 1.5);  // vapour fraction out of range
    EXPECT_GT(bad.error, 0);
    EXPECT_EQ(FlashMemory().engine_calls - before, 2);
    EXPECT_EQ(FlashMemory().last_start_mode, 1);
    // A failure already in restart mode is not repeated.
    const long long again = FlashMemory().engine_calls;
    flash("TP", 360.0, -1.0, 0.0);
    EXPECT_EQ(FlashMemory().engine_calls - again, 1);
}

TEST_F(Bridge, FlashSettingsOfTheCurrentPackageReachTheEngine) {
    FlashSettings loose{1e-2, 1};  // a single iteration cannot converge a dew point
    SetCurrentFlashSettings(&loose);
    const Flash f = flash("PV", 0.0, 101325.0, 1.0);
    SetCurrentFlashSettings(nullptr);
    EXPECT_GT(f.error, 0);
    EXPECT_EQ(flash("PV", 0.0, 101325.0, 1.0).error, 0);
}

TEST_F(Bridge, BadCallsAreRejectedWithoutTouchingMemory) {
    constexpr double kSentinel = -12345.0;
    std::array<double, 2> y{}, x{}, x1{}, x2{};
    for (auto* a : {&y, &x, &x1, &x2}) a->fill(kSentinel);
    std::array<double, 1> z{1.0};
    std::array<std::int64_t, 1> ids{1};
    double t = 321.0, p = 101325, vf = 0.25, r = 0.5;
    std::int64_t err = 0;
    // More components than the arrays hold: refused, and nothing written.
    EngineFlash("PV", 2, "", 2, ids, z, t, p, vf, y, x, r, x1, x2, err);
    EXPECT_EQ(err, -1);
    for (const auto* a : {&y, &x, &x1, &x2})
        for (double v : *a) EXPECT_EQ(v, kSentinel);
    EXPECT_EQ(t, 321.0);
    EXPECT_EQ(p, 101325.0);
    EXPECT_EQ(vf, 0.25);
    EXPECT_EQ(r, 0.5);
    // An unknown flash type: the same.
    EngineFlash("XY", 2, "", 1, ids, z, t, p, vf, y, x, r, x1, x2, err);
    EXPECT_EQ(err, -1);
    EXPECT_EQ(y[0], kSentinel);
    EXPECT_EQ(t, 321.0);
    // An engine index that does not exist is the engine's fatal error.
    std::array<std::int64_t, 1> bad{7};
    EngineFlash("PV", 2, "", 1, bad, z, t, p, vf, y, x, r, x1, x2, err);
    EXPECT_LT(err, 0);
}

TEST_F(EngineEnvironment, RunLogLinesAndFile) {
    SetRunId("RUN1    ");
    const std::string log = tmpDir() + "/RUN1    .log";
    EXPECT_EQ(RunLogPath(), log);
    LogRunMessage(500, "RCM_FUN");
    LogRunMessage(514, "RCM_FUN");
    EXPECT_FALSE(std::filesystem::exists(log));
    LogRunMessage(502, "RCM_FUN");
    LogRunMessage(513, "LLE_Envelope");
    LogRunMessage(502, "RCM_FUN");
    std::ifstream in(log);
    std::stringstream s;
    s << in.rdbuf();
    EXPECT_EQ(s.str(),
              "RCM_FUN : Flash calculations did not convege.\n"
              "LLE_Envelope : This mixture is partially/totally a vapor at the given pressure and temperature\n"
              "RCM_FUN : Flash calculations did not convege.\n");
    EXPECT_EQ(MessageText(505), "Array allocation error");
    EXPECT_EQ(MessageText(511), "Computed azeotropes do not satisfy the topological constraint equation");
    SetRunId("");
    EXPECT_EQ(RunLogPath(), tmpDir() + "/.log");
    // TMP naming no directory: the line goes nowhere, silently; nothing is
    // created and the earlier log keeps its three lines.
    platform::PutEnv("TMP=" + (dir_ / "nowhere").string());
    LogRunMessage(501, "residue_curve");
    EXPECT_FALSE(std::filesystem::exists(dir_ / "nowhere"));
    std::ifstream again(log);
    std::stringstream kept;
    kept << again.rdbuf();
    EXPECT_EQ(kept.str(), s.str());

    // A long-lived server's log: past 1 MiB it is set aside once as
    // ".old" and starts afresh, so the two never hold much more than 2 MiB.
    platform::PutEnv("TMP=" + tmpDir());
    SetRunId("LONG    ");
    const std::string long_log = tmpDir() + "/LONG    .log";
    for (int call = 0; call < 60; ++call) {
        ResetRunLogBudget();
        for (int k = 0; k < 1000; ++k) LogRunMessage(502, "RCM_FUN");
    }
    const auto size = std::filesystem::file_size(long_log);
    const auto old = std::filesystem::file_size(long_log + ".old");
    EXPECT_LE(size, std::uintmax_t{1} << 20);
    EXPECT_GE(old, std::uintmax_t{1} << 20);
    EXPECT_LE(old, (std::uintmax_t{1} << 20) + 100);
}

TEST_F(EngineEnvironment, ShortNamesAreUniqueWithinADirectory) {
    const std::filesystem::path d = dir_ / "names";
    std::filesystem::create_directories(d);
    for (const char* name : {"acetone_chloroform_methanol.toml", "acetone_water.toml", "ACETON~1.TOM", "abc.def",
                             "short", "my file.v2.toml"})
        std::ofstream(d / name) << "x";
    auto shortname = [&](const std::string& name) {
        return std::filesystem::path(platform::ShortPathName((d / name).string())).filename().string();
    };
    // ACETON~1.TOM exists as a name of its own, so the long names take ~2 and
    // ~3 in the order they were made.
    EXPECT_EQ(shortname("acetone_chloroform_methanol.toml"), "ACETON~2.TOM");
    EXPECT_EQ(shortname("acetone_water.toml"), "ACETON~3.TOM");
    EXPECT_EQ(shortname("ACETON~1.TOM"), "ACETON~1.TOM");
    EXPECT_EQ(shortname("abc.def"), "abc.def");
    EXPECT_EQ(shortname("short"), "short");
    EXPECT_EQ(shortname("my file.v2.toml"), "MYFILE~1.TOM");
    EXPECT_EQ(platform::ShortPathName(""), "");
    EXPECT_EQ(std::filesystem::path(platform::ShortPathName((d / "acetone_water.toml").string())).parent_path(), d);
    // A file added later, first in name order, takes the next number and
    // moves no older file (nor its run log).  File times tick in
    // milliseconds: "later" is a tick later.
    ::usleep(20000);
    std::ofstream(d / "acetone_a.toml") << "x";
    EXPECT_EQ(shortname("acetone_chloroform_methanol.toml"), "ACETON~2.TOM");
    EXPECT_EQ(shortname("acetone_water.toml"), "ACETON~3.TOM");
    EXPECT_EQ(shortname("acetone_a.toml"), "ACETON~4.TOM");
}

TEST_F(EngineEnvironment, ProblemFilesOfOneDirectoryKeepSeparateRunLogs) {
    PropertyEngine e;
    LoadPropertyEngine(e);
    ASSERT_TRUE(e.library.loaded());
    const std::string first = write("acetone_chloroform_methanol.toml", kProblem);
    const std::string second = write("acetone_water.toml", kProblem);
    ASSERT_TRUE(InitializeEngine(e, first));
    EXPECT_EQ(RunId(), "ACETON~1");
    CloseEngine(e);
    ASSERT_TRUE(InitializeEngine(e, second));
    EXPECT_EQ(RunId(), "ACETON~2");
    LogRunMessage(502, "RCM_FUN");
    CloseEngine(e);
    std::ifstream log(dir_ / "tmp" / "ACETON~2.log");
    std::string line;
    ASSERT_TRUE(std::getline(log, line));
    EXPECT_EQ(line, "RCM_FUN : Flash calculations did not convege.");
    EXPECT_FALSE(std::filesystem::exists(dir_ / "tmp" / "ACETON~1.log"));
}

TEST_F(EngineEnvironment, TemperaturesTheDataDoNotDescribeAreNoResult) {
    // Benzene and toluene with their critical temperatures (562.1 and
    // 591.8 K) and, for benzene, the range of its vapour-pressure
    // correlation.
    PropertyEngine e;
    LoadPropertyEngine(e);
    ASSERT_TRUE(e.library.loaded());
    std::string text = kProblem;
    text.replace(text.find("tb = 353.24"), 11, "tb = 353.24\ntc = 562.1\ntmin = 278.7\ntmax = 562.0");
    text.replace(text.find("antoine = [76.945"), 0, "tc = 591.8\n");
    ASSERT_TRUE(InitializeEngine(e, write("LIMITS.toml", text)));
    const std::array<double, 2> z{0.4, 0.6};
    EXPECT_EQ(flash("PV", 0.0, 101325.0, 0.0, "", z).error, 0);
    // At 10 MPa the "bubble point" lies above both critical temperatures.
    EXPECT_EQ(flash("PV", 0.0, 1e7, 0.0, "", z).error, 2);
    // Below benzene's correlation, and far above everything.
    EXPECT_EQ(flash("TP", 250.0, 101325.0, 0.0, "", z).error, 2);
    EXPECT_EQ(flash("TP", 2900.0, 101325.0, 0.0, "", z).error, 2);
    // Pure toluene at 560 K lies below its own critical temperature.
    EXPECT_EQ(flash("TP", 560.0, 3e6, 0.0, "", std::array<double, 2>{0.0, 1.0}).error, 0);
    CloseEngine(e);
    // Inconsistent limits are refused with the file.
    text.replace(text.find("tmin = 278.7"), 12, "tmin = 600.0");
    EXPECT_FALSE(InitializeEngine(e, write("BADLIMIT.toml", text)));
}
