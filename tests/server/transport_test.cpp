// The transport against hostile input: bytes that are not UTF-8, deep
// nesting, arrays that declare more than they carry, over-long lines, and
// a fixed-seed fuzz of request lines.  The server answers every one with a
// protocol error and keeps serving.
#include <chrono>
#include <random>

#include "server/rpc.h"
#include "server_env.h"

namespace ternival::testing {
namespace {

class Transport : public ServerEnvironment {
protected:
    void SetUp() override {
        ServerEnvironment::SetUp();
        ASSERT_EQ(RunServer("-RegServer"), 0);
    }
    // Sends a raw line; the code of the JSON-RPC error it gets (0 for none).
    static int ErrorCodeOf(ServerProcess& p, const std::string& line, int timeout_ms = 20000) {
        EXPECT_TRUE(p.SendLine(line));
        auto reply = p.ReadReply(timeout_ms);
        EXPECT_TRUE(reply.has_value()) << "no reply";
        if (!reply || reply->is_discarded()) return 1;
        return reply->contains("error") ? (*reply)["error"]["code"].get<int>() : 0;
    }
    // The server still answers properly.
    static void ExpectServing(ServerProcess& p) {
        const json r = p.Request("typelib", json::object());
        EXPECT_TRUE(r.contains("result")) << r.dump().substr(0, 200);
    }
};

TEST_F(Transport, BytesThatAreNotUtf8AreAParseError) {
    ServerProcess p(kServerExe);
    const std::int64_t app = p.Create("Ternival.DistillationApp");
    EXPECT_EQ(ErrorCodeOf(p, "\xff\xfe\x80"), -32700);
    // Inside a string of an otherwise valid request.
    EXPECT_EQ(ErrorCodeOf(p, std::string(R"({"jsonrpc":"2.0","id":1,"method":"invoke","params":{"object":)") +
                                 std::to_string(app) + R"(,"member":"InitFromVmpdfFile","args":["a)" + "\xc3\x28" +
                                 R"(.toml"]}})"),
              -32700);
    EXPECT_EQ(ErrorCodeOf(p, std::string(R"({"jsonrpc":"2.0","id":"\xed\xa0\x80","method":"typelib"})")), -32700);
    ExpectServing(p);
    EXPECT_EQ(Hr(p.Invoke(app, "InitFromVmpdfFile", {kAcmFile})), 0);
}

TEST_F(Transport, DeepNestingIsRefusedWithoutExhaustingTheStack) {
    ServerProcess p(kServerExe);
    p.Create("Ternival.DistillationApp");
    for (const std::size_t depth : {100000u, 1000u, 65u}) {
        const std::string params = std::string(depth, '[') + std::string(depth, ']');
        EXPECT_EQ(ErrorCodeOf(p, R"({"jsonrpc":"2.0","id":1,"method":"typelib","params":)" + params + "}"), -32600)
            << depth;
        EXPECT_EQ(ErrorCodeOf(p, R"({"jsonrpc":"2.0","method":"typelib","id":)" + std::string(depth, '[') + "1" +
                                     std::string(depth, ']') + "}"),
                  -32600);
    }
    // Brackets inside strings do not count.
    EXPECT_EQ(ErrorCodeOf(p, R"({"jsonrpc":"2.0","id":1,"method":"typelib","params":{"note":")" + std::string(5000, '[') +
                                 R"("}})"),
              0);
    // Nested variant arrays, one level inside the other.
    std::string value;
    for (int k = 0; k < 20000; ++k) value += R"({"vt":"ARRAY|VARIANT","bounds":[[0,1]],"data":[)";
    value += "1.0";
    for (int k = 0; k < 20000; ++k) value += "]}";
    EXPECT_EQ(ErrorCodeOf(p, R"({"jsonrpc":"2.0","id":2,"method":"invoke","params":{"object":1,)"
                             R"("member":"InitFromVmpdfFile","args":[)" + value + "]}}"),
              -32600);
    ExpectServing(p);
}

TEST_F(Transport, ArraysMustCarryWhatTheyDeclareBeforeAnythingIsAllocated) {
    ServerProcess p(kServerExe);
    const std::int64_t app = p.Create("Ternival.DistillationApp");
    const auto started = std::chrono::steady_clock::now();
    for (const json& bounds : {json{{0, 1 << 24}, {0, 16}}, json{{0, 4096}, {0, 4096}, {0, 4096}, {0, 4096}},
                               json{{0, 5}}}) {
        const json arg{{"vt", "ARRAY|VARIANT"}, {"bounds", bounds}, {"data", json::array()}};
        const json r = p.Request("invoke", {{"object", app}, {"member", "InitFromVmpdfFile"}, {"args", {arg}}});
        EXPECT_EQ(r["error"]["code"], -32602) << bounds.dump();
    }
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(), 5.0);
    ExpectServing(p);
}

TEST_F(Transport, OverlongLinesAreRefusedAndTheNextLineServed) {
    ServerProcess p(kServerExe);
    p.Create("Ternival.DistillationApp");
    const std::string huge = R"({"jsonrpc":"2.0","id":1,"method":"typelib","params":{"pad":")" +
                             std::string(server::kMaxRequestBytes + 10, 'x') + R"("}})";
    EXPECT_EQ(ErrorCodeOf(p, huge), -32600);
    ExpectServing(p);
}

TEST_F(Transport, MutatedRequestLinesNeverHarmTheServer) {
    // Valid requests, each mutated many times: bytes flipped, dropped,
    // repeated, brackets and quotes inserted.  Every line that names an id
    // gets a well-formed reply, and the server lives on.
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

}  // namespace
}  // namespace ternival::testing
