// Every call ends in bounded time with an honest code, the run log does not
// grow without bound from one call, and a server whose client has gone
// stops at once.  A fixed-seed battery of random NRTL ternaries drives the
// map through extreme pressures, starts, steps and options under a time
// limit per call.
#include <chrono>
#include <cmath>
#include <random>

#include "platform/system.h"
#include "server_env.h"

namespace ternival::testing {
namespace {

constexpr std::int32_t kEAbort = static_cast<std::int32_t>(0x80004004u);

// A partially miscible NRTL ternary on which a three-phase residue curve at
// 1.06 kPa from this start takes minutes.
const std::string kSlowTernary = std::string(TERNIVAL_TEST_DATA_DIR) + "/slow_ternary.toml";
constexpr double kSlowPressure = 1062.9754393414457;
const json kSlowStart = R8Array({0.47476118682009705, 0.0548125912735219, 0.470426221906381});

class BoundedWork : public RegisteredServer {
protected:
    void TearDown() override {
        platform::UnsetEnv("TERNIVAL_CALL_TIME_LIMIT");
        RegisteredServer::TearDown();
    }
    // A map of C0, C1, C2 of the slow problem at its pressure, phase setting 3.
    static std::int64_t SlowMap(ServerProcess& p) {
        return NewMap(p, OpenApp(p, kSlowTernary), {"C0", "C1", "C2"}, kSlowPressure, 3);
    }
};

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Sends a call without waiting for its reply.
void Send(ServerProcess& p, std::int64_t object, const std::string& member, const json& args) {
    ASSERT_TRUE(p.SendLine(json{{"jsonrpc", "2.0"}, {"id", 99}, {"method", "invoke"},
                                {"params", {{"object", object}, {"member", member}, {"args", args}}}}
                               .dump()));
}

TEST_F(BoundedWork, ACallPastTheTimeLimitFailsWithEAbortAndTheLogStaysBounded) {
    platform::PutEnv("TERNIVAL_CALL_TIME_LIMIT=2");
    ServerProcess p(kServerExe);
    const std::int64_t map = SlowMap(p);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(Hr(p.Invoke(map, "GetResidueCurve", {kSlowStart})), kEAbort);
    EXPECT_LT(Seconds(started), 15.0);
    // The run log says once that the call stopped at its limit, and not
    // how every refused flash after it failed: that line is the last.
    const std::string log = RunLog();
    const std::string limit = "Time limit : stopped at its time limit of 2 s; its results are not to be used\n";
    EXPECT_EQ(Count(log, limit), 1u);
    EXPECT_EQ(log.size() - log.rfind(limit), limit.size()) << log.substr(log.rfind(limit));
    EXPECT_EQ(Count(log, "Fatal flash error"), 0u);
    EXPECT_LE(Count(log, "\n"), 1001u);
    // The next call has a limit of its own.
    const json t = p.Invoke(map, "GetBoilingPoint", {R8Array({0.2, 0.3, 0.5})});
    EXPECT_EQ(Hr(t), 0);
    EXPECT_GT(t["out"][0]["value"].get<double>(), 150.0);
}

TEST_F(BoundedWork, AServerWhoseClientHasGoneStopsAtOnce) {
    platform::PutEnv("TERNIVAL_CALL_TIME_LIMIT=0");  // no limit: only the client's leaving ends the call
    ServerProcess p(kServerExe);
    Send(p, SlowMap(p), "GetResidueCurve", {kSlowStart});
    ::usleep(500000);
    ASSERT_FALSE(p.WaitExit(0)) << "the call ended before the client left";
    const auto left = std::chrono::steady_clock::now();
    p.CloseOutput();
    p.CloseInput();
    ASSERT_TRUE(p.WaitExit(10000));
    EXPECT_LT(Seconds(left), 3.0);
    EXPECT_TRUE(WIFEXITED(p.status()));
}

// A client that closes its requests in the middle of a long call but still
// reads: the call ends, the engine is closed and the server exits cleanly.
TEST_F(BoundedWork, EndOfRequestsDuringACallEndsTheServerCleanly) {
    ServerProcess p(kServerExe);
    const std::int64_t map = NewMap(p, OpenApp(p, kAcmFile), {"ACETONE", "CHLOROFM", "METHANOL"});
    p.Invoke(map, "GetPureProperties");
    Send(p, map, "GetDistillationBoundary", json::array());
    p.CloseInput();
    ASSERT_TRUE(p.WaitExit(60000));
    EXPECT_TRUE(WIFEXITED(p.status())) << "ended by signal " << WTERMSIG(p.status());
    EXPECT_EQ(WEXITSTATUS(p.status()), 0);
}

// Random NRTL ternaries, each call under a time limit: every answer comes
// within the limit (with a margin) and is S_OK, E_FAIL or E_ABORT.
TEST_F(BoundedWork, RandomTernariesUnderATimeLimitPerCall) {
    constexpr double kLimit = 3.0;
    platform::PutEnv("TERNIVAL_CALL_TIME_LIMIT=" + std::to_string(kLimit));
    std::mt19937 rng(4711);
    auto uniform = [&](double lo, double hi) { return lo + (hi - lo) * (rng() / 4294967296.0); };
    int aborted = 0, calls = 0;
    for (int mixture = 0; mixture < 40; ++mixture) {
        const std::string text =
            RandomNrtlProblem(3, uniform, 280.0, 450.0, -500, 2000, 0.05, 0.6, "r = 2.0\nq = 2.0\n");
        ServerProcess p(kServerExe);
        const std::int64_t app = OpenApp(p, write("r" + std::to_string(mixture) + ".toml", text));
        const std::int64_t map = NewMap(p, app, {"C0", "C1", "C2"}, std::pow(10.0, uniform(3.0, 7.0)), 2 + mixture % 2);
        const double steps[] = {1e-6, 0.3, 5.0};
        ASSERT_EQ(Hr(p.Invoke(map, "StepSizeCurve", {steps[rng() % 3]}, "put")), 0);
        ASSERT_EQ(Hr(p.Invoke(map, "CurveCalcOption", {static_cast<int>(rng() % 4)}, "put")), 0);
        // Vertex, edge and interior starts.
        std::vector<double> x(3, 0.0);
        const int kind = static_cast<int>(rng() % 3);
        if (kind == 0) {
            x[rng() % 3] = 1.0;
        } else {
            const double a = uniform(0.0, 1.0), b = kind == 1 ? 0.0 : uniform(0.0, 1.0 - a);
            x = {a, b, 1.0 - a - b};
            std::shuffle(x.begin(), x.end(), rng);
        }
        for (const std::string member : {"GetPureProperties", "GetAzeotropes", "GetResidueCurve",
                                         "GetDistillationCurve", "GetDistillationBoundary", "GetIsovolatilityCurve"}) {
            const bool with_start = member == "GetResidueCurve" || member == "GetDistillationCurve";
            const auto started = std::chrono::steady_clock::now();
            const std::int32_t hr = Hr(p.Invoke(map, member, with_start ? json::array({R8Array(x)}) : json::array()));
            ++calls;
            EXPECT_LT(Seconds(started), kLimit + 5.0) << member << " of mixture " << mixture;
            EXPECT_TRUE(hr == 0 || hr == kEFail || hr == kEAbort) << member << ": " << hr;
            aborted += hr == kEAbort;
        }
        EXPECT_LE(Count(RunLog(), "\n"), 1001u * static_cast<std::size_t>(calls));
    }
    RecordProperty("aborted_calls", aborted);
}

}  // namespace
}  // namespace ternival::testing
