// ternival-web as browsers meet it, over HTTP: every session has a server process of its own that no other session
// reaches, ended sessions free their servers, and bad requests are refused without harm to anyone else; and the relay
// that checks what a page may send on to its server.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <functional>
#include <future>
#include <thread>

#include "../common/slurp.h"
#include "../server/server_env.h"
#include "platform/system.h"
#include "relay.h"
#include "web_app.h"

namespace ternival::web {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

// Percent-encoding of a query value.
std::string Encode(const std::string& s) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : s)
        out += std::isalnum(c) || c == '.' || c == '-' || c == '_' ? std::string(1, static_cast<char>(c))
                                                                   : std::string{'%', kHex[c >> 4], kHex[c & 15]};
    return out;
}

const std::string kTypelib = R"({"jsonrpc":"2.0","id":1,"method":"typelib"})";
const std::string kAcmExample = R"({"name": "acetone_chloroform_methanol.toml"})";
json R8(double v) { return {{"vt", "R8"}, {"value", v}}; }
// A start of a residue curve of slow_ternary.toml.
const json kSlowStart{{"vt", "ARRAY|R8"}, {"bounds", {{0, 3}}}, {"data", {0.4748, 0.0548, 0.4704}}};

// A JSON-RPC call of a member of an object of the session's server.
json Call(int id, std::int64_t object, const std::string& member, json args = json::array(),
          const std::string& kind = "method") {
    return {{"jsonrpc", "2.0"}, {"id", id}, {"method", "invoke"},
            {"params", {{"object", object}, {"member", member}, {"kind", kind}, {"args", args}}}};
}

// A process that has ended and waits to be reaped counts as gone.
bool ProcessExists(pid_t pid) {
    if (pid <= 0 || ::kill(pid, 0) != 0) return false;
    const std::string stat = Slurp("/proc/" + std::to_string(pid) + "/stat");
    const auto close = stat.rfind(')');
    return close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] != 'Z';
}

bool GoneWithin(pid_t pid, int ms) {
    for (int waited = 0; waited < ms && ProcessExists(pid); waited += 20)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return !ProcessExists(pid);
}

// One browser tab: its own session token, sent in the page's header.
class Browser {
public:
    explicit Browser(int port) : client_("127.0.0.1", port) { client_.set_read_timeout(120, 0); }

    // Status and JSON body of a request.
    std::pair<int, json> Post(const std::string& path, const std::string& body,
                              const std::string& type = "application/json", httplib::Headers h = {}) {
        if (!token_.empty()) h.emplace("X-Ternival-Session", token_);
        auto res = client_.Post(path.c_str(), h, body, type.c_str());
        if (!res) return {0, json()};
        json reply = json::parse(res->body, nullptr, false);
        if (path == "/api/session" && res->status == 200) token_ = reply["session"];
        return {res->status, reply};
    }
    std::pair<int, std::string> Get(const std::string& path) {
        httplib::Headers h;
        if (!token_.empty()) h.emplace("X-Ternival-Session", token_);
        auto res = client_.Get(path.c_str(), h);
        return res ? std::pair{res->status, res->body} : std::pair{0, std::string()};
    }
    std::int64_t Session() {
        const auto [status, body] = Post("/api/session", "");
        EXPECT_EQ(status, 200) << body.dump();
        return status == 200 ? body["application"].get<std::int64_t>() : 0;
    }
    // One invoke through the relay: the JSON-RPC reply.
    json Invoke(std::int64_t object, const std::string& member, json args = json::array(),
                const std::string& kind = "method") {
        return Post("/api/rpc", Call(++id_, object, member, args, kind).dump()).second;
    }
    std::string& token() { return token_; }

private:
    httplib::Client client_;
    std::string token_;
    int id_ = 0;
};

std::int32_t Hr(const json& reply) {
    return reply.contains("result") ? reply["result"]["hresult"].get<std::int32_t>() : 1;
}
json Out(const json& reply, std::size_t k) { return reply["result"]["out"][k]; }

class WebServer : public testing::RegisteredServer {
protected:
    void TearDown() override {
        if (thread_.joinable()) {
            server_.stop();
            thread_.join();
        }
        sessions_.reset();
        RegisteredServer::TearDown();
    }
    void Start(SessionLimits limits = {}, const std::function<void(WebOptions&)>& adjust = {}) {
        sessions_ = std::make_unique<SessionManager>(dir_ / "sessions", testing::kServerExe, limits);
        WebOptions options;
        options.static_dir = TERNIVAL_WEB_STATIC_DIR;
        options.examples_dir = TERNIVAL_EXAMPLES_DIR;
        options.allowed_hosts = {"127.0.0.1", "localhost"};
        if (adjust) adjust(options);
        app_ = std::make_unique<WebApp>(*sessions_, options);
        app_->Install(server_);
        port_ = server_.bind_to_any_port("127.0.0.1");
        ASSERT_GT(port_, 0);
        app_->Watch(port_);
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        for (int k = 0; k < 200 && !server_.is_running(); ++k) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    pid_t PidOf(Browser& b) const {
        auto s = sessions_->Find(b.token());
        return s ? s->server_pid() : -1;
    }
    // Opens `file` in the session; a map of its components at pressure `p`, with the phase setting when one is given.
    std::int64_t Map(Browser& b, std::int64_t app, const json& file, const json& names, double p, int phase = 0) {
        EXPECT_EQ(Hr(b.Invoke(app, "InitFromVmpdfFile", {file})), 0);
        const std::int64_t map = Out(b.Invoke(app, "GetDistillationMap"), 0)["object"];
        EXPECT_EQ(Hr(b.Invoke(map, "SetComponentData", names)), 0);
        if (phase) { EXPECT_EQ(Hr(b.Invoke(map, "SetPropertyData", {"NRTL", "NRTL", "NRTL", phase})), 0); }
        EXPECT_EQ(Hr(b.Invoke(map, "Pressure", {R8(p)}, "put")), 0);
        return map;
    }
    // The acetone/chloroform/methanol example at 101325 Pa.
    std::int64_t AcmMap(Browser& b, std::int64_t app) {
        const auto [status, r] = b.Post("/api/example", kAcmExample);
        EXPECT_EQ(status, 200) << r.dump();
        return Map(b, app, r["file"], {"ACETONE", "CHLOROFM", "METHANOL"}, 101325.0);
    }
    // slow_ternary.toml, uploaded: three phases at 1062.975 Pa, where a residue curve takes minutes.
    std::int64_t SlowMap(Browser& b, std::int64_t app) {
        const std::string slow = Slurp(fs::path(TERNIVAL_TEST_DATA_DIR) / "slow_ternary.toml");
        EXPECT_EQ(b.Post("/api/upload?name=slow.toml", slow, "application/octet-stream").first, 200);
        return Map(b, app, "slow.toml", {"C0", "C1", "C2"}, 1062.975, 3);
    }

    const std::string acm_ = Slurp(fs::path(TERNIVAL_EXAMPLES_DIR) / "acetone_chloroform_methanol.toml");

    std::unique_ptr<SessionManager> sessions_;
    std::unique_ptr<WebApp> app_;
    httplib::Server server_;
    std::thread thread_;
    int port_ = 0;
};

// Two tabs' sessions have servers of their own that share no state and no files.  Bad requests of every kind are
// refused without harm to either, and both still compute: the pure-component boiling points of acetone, chloroform and
// methanol (329.3, 334.3, 337.7 K).
TEST_F(WebServer, SessionsShareNothingAndBadRequestsHarmNone) {
    Start({}, [](WebOptions& o) { o.max_upload = 4096; });
    Browser a(port_), b(port_);
    const std::int64_t app_a = a.Session(), app_b = b.Session();
    ASSERT_NE(a.token(), b.token());
    EXPECT_EQ(sessions_->size(), 2u);
    const pid_t pa = PidOf(a), pb = PidOf(b);
    EXPECT_NE(pa, pb);
    EXPECT_TRUE(ProcessExists(pa) && ProcessExists(pb));

    // A's file is A's: B cannot open it, and B's server has no package while A's has one.
    EXPECT_EQ(a.Post("/api/upload?name=mine.toml", acm_, "application/octet-stream").first, 200);
    EXPECT_EQ(Hr(a.Invoke(app_a, "InitFromVmpdfFile", {"mine.toml"})), 0);
    const json refused = b.Invoke(app_b, "InitFromVmpdfFile", {"mine.toml"});
    EXPECT_EQ(refused["error"]["code"], kRelayRefused) << refused.dump();
    EXPECT_EQ(Hr(a.Invoke(app_a, "GetPropertyPackage")), 0);
    EXPECT_EQ(static_cast<std::uint32_t>(Hr(b.Invoke(app_b, "GetPropertyPackage"))), 0x80004005u);

    // A map's pressure set in A is not seen by a map of B.
    const std::int64_t map_a = AcmMap(a, app_a);
    EXPECT_EQ(Hr(a.Invoke(map_a, "Pressure", {R8(50000.0)}, "put")), 0);
    const std::int64_t map_b = Out(b.Invoke(app_b, "GetDistillationMap"), 0)["object"];
    EXPECT_EQ(Out(b.Invoke(map_b, "Pressure", json::array(), "get"), 0)["value"], 0.0);
    EXPECT_EQ(Out(a.Invoke(map_a, "Pressure", json::array(), "get"), 0)["value"], 50000.0);
    // And each session's files stay in its own directory.
    EXPECT_TRUE(fs::exists(sessions_->Find(a.token())->files() / "mine.toml"));
    EXPECT_FALSE(fs::exists(sessions_->Find(b.token())->files() / "mine.toml"));

    // Uploads: too large, names that leave the directory, and files that
    // are no problem files (refused with the parser's line and key).
    auto upload = [&](const std::string& name, const std::string& body) {
        return a.Post("/api/upload?name=" + Encode(name), body, "application/octet-stream");
    };
    auto [status, body] = upload("big.toml", std::string(5000, '#'));
    EXPECT_EQ(status, 413);
    EXPECT_NE(body.value("error", "").find("KiB"), std::string::npos) << body.dump();
    for (const std::string name : {"../evil.toml", "..", "/tmp/evil.toml", "sub/evil.toml", ".evil.toml", ""})
        EXPECT_EQ(upload(name, acm_).first, 400) << name;
    std::tie(status, body) = upload("broken.toml", "[[component]]\nid = \"A\"\nmw = -1\n");
    EXPECT_EQ(status, 422);
    EXPECT_NE(body.value("error", "").find("broken.toml"), std::string::npos) << body.dump();

    // Malformed and oversize requests, requests without or with a forged
    // session, members and methods the page is not offered.
    EXPECT_EQ(a.Post("/api/rpc", "{not json").first, 400);
    const auto big = a.Post("/api/rpc", "[" + std::string(70000, ' ') + "]");
    EXPECT_EQ(big.first, 413) << big.second.dump();
    EXPECT_EQ(a.Post("/api/example", R"({"name": "../../CMakeLists.txt"})").first, 404);
    EXPECT_EQ(a.Post("/api/databank", R"({"components": ["ethanol", "no-such-compound-xyz", "water"]})").first, 400);
    const std::string create =
        R"({"jsonrpc":"2.0","id":1,"method":"create","params":{"class":"Ternival.DistillationApp"}})";
    for (const json& r : {a.Post("/api/rpc", create).second, a.Invoke(app_a, "InitFromVmpdfFile", {"/etc/passwd"}),
                          a.Invoke(app_a, "InitFromVmpdfFileWithCWD", {"x.toml", "/"})})
        EXPECT_EQ(r["error"]["code"], kRelayRefused) << r.dump();
    Browser nobody(port_), forged(port_);
    EXPECT_EQ(nobody.Post("/api/rpc", kTypelib).first, 401);
    forged.token() = std::string(32, '0');
    EXPECT_EQ(forged.Post("/api/upload?name=x.toml", acm_, "application/octet-stream").first, 401);
    // A page of another site whose name was rebound to this address.
    const auto rebound = nobody.Post("/api/session", "", "application/json",
                                     {{"Host", "evil.example:" + std::to_string(port_)}}).first;
    ASSERT_NE(rebound, 0);
    EXPECT_EQ(rebound, 403);
    EXPECT_EQ(sessions_->size(), 2u);
    // Another port of this host is another site: its pages cannot plant files or call the server, even with the tab's
    // token; bodies must be JSON as JSON.
    const std::string other = "http://127.0.0.1:" + std::to_string(port_ + 1);
    const std::string own = "http://127.0.0.1:" + std::to_string(port_);
    EXPECT_EQ(b.Post("/api/upload?name=planted.toml", acm_, "text/plain", {{"Origin", other}}).first, 403);
    EXPECT_EQ(b.Post("/api/upload?name=planted.toml", acm_, "text/plain", {{"Referer", other + "/evil.html"}}).first,
              403);
    EXPECT_EQ(b.Post("/api/example", kAcmExample, "application/json", {{"Origin", "null"}}).first, 403);
    EXPECT_EQ(b.Post("/api/rpc", kTypelib, "text/plain").first, 415);
    EXPECT_EQ(b.Post("/api/rpc", kTypelib, "application/json", {{"Origin", own}}).first, 200);
    EXPECT_FALSE(fs::exists(sessions_->Find(b.token())->files() / "planted.toml"));
    EXPECT_EQ(static_cast<std::uint32_t>(Hr(b.Invoke(app_b, "GetPropertyPackage"))), 0x80004005u);
    // Page files only by their plain names.
    EXPECT_EQ(a.Get("/").first, 200);
    EXPECT_EQ(a.Get("/static/app.js").first, 200);
    EXPECT_EQ(a.Get("/static/..%2F..%2FCMakeLists.txt").first, 404);
    EXPECT_EQ(a.Get("/static/../src/main.cpp").first, 404);

    // Nothing was written outside the sessions' directories.
    for (const auto& e : fs::recursive_directory_iterator(dir_ / "sessions"))
        EXPECT_EQ(e.path().filename().string().find("evil"), std::string::npos) << e.path();
    EXPECT_FALSE(fs::exists(dir_ / "evil.toml"));
    EXPECT_FALSE(fs::exists("/tmp/evil.toml"));

    for (auto [browser, app] : {std::pair{&a, app_a}, std::pair{&b, app_b}}) {
        const json pure = browser->Invoke(AcmMap(*browser, app), "GetPureProperties");
        ASSERT_EQ(Hr(pure), 0) << pure.dump();
        for (int i = 0; const double published : {329.3, 334.3, 337.7})
            EXPECT_NEAR(Out(pure, 1)["data"][i++].get<double>(), published, 0.5);
    }
}

TEST_F(WebServer, EndedAndIdleSessionsReleaseTheirServers) {
    Start({.idle = std::chrono::seconds(1)});
    Browser a(port_), b(port_);
    const std::int64_t app_a = a.Session();
    b.Session();
    const pid_t pa = PidOf(a), pb = PidOf(b);
    ASSERT_TRUE(ProcessExists(pa));
    const fs::path files_a = sessions_->Find(a.token())->dir();

    // A page that ends its session.
    EXPECT_EQ(a.Post("/api/session/end", "").second["ended"], true);
    EXPECT_TRUE(GoneWithin(pa, 5000));
    EXPECT_FALSE(fs::exists(files_a));
    EXPECT_NE(a.Invoke(app_a, "GetPropertyPackage").value("error", "").find("no session"), std::string::npos);
    EXPECT_EQ(a.Post("/api/rpc", kTypelib).first, 401);

    // One that just stops asking idles out.
    std::this_thread::sleep_for(std::chrono::milliseconds(1300));
    EXPECT_EQ(sessions_->EndIdle(), 1u);
    EXPECT_TRUE(GoneWithin(pb, 5000));
    EXPECT_EQ(sessions_->size(), 0u);
}

// A server that dies is reported as such, never as a result, and the session gets a new one on request (Abandon).  A
// residue curve of slow_ternary.toml takes minutes: Abandon ends it at once, and the session goes on with a new server
// that serves the session's files.
TEST_F(WebServer, DeadAndAbandonedServersAreReplaced) {
    Start();
    Browser a(port_), control(port_);
    std::int64_t app = a.Session();
    control.token() = a.token();
    const std::int64_t acm = AcmMap(a, app);
    const pid_t killed = PidOf(a);
    ASSERT_EQ(::kill(killed, SIGKILL), 0);
    ASSERT_TRUE(GoneWithin(killed, 5000));
    const json dead = a.Invoke(acm, "GetPureProperties");
    ASSERT_TRUE(dead.contains("error")) << dead.dump();
    EXPECT_EQ(dead["error"]["code"], -32000);
    EXPECT_NE(dead["error"]["message"].get<std::string>().find("stopped"), std::string::npos);
    const auto [status, body] = a.Post("/api/abandon", "");
    ASSERT_EQ(status, 200);
    app = body["application"];
    EXPECT_EQ(Hr(a.Invoke(AcmMap(a, app), "GetPureProperties")), 0);

    const std::int64_t map = SlowMap(a, app);
    const pid_t before = PidOf(a);
    auto curve = std::async(std::launch::async, [&] { return a.Invoke(map, "GetResidueCurve", {kSlowStart}); });
    ASSERT_EQ(curve.wait_for(std::chrono::seconds(1)), std::future_status::timeout) << "the curve was not slow";
    const auto started = std::chrono::steady_clock::now();
    const auto [abandoned, reply] = control.Post("/api/abandon", "");
    ASSERT_EQ(abandoned, 200) << reply.dump();
    ASSERT_EQ(curve.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    const json ended = curve.get();
    ASSERT_TRUE(ended.contains("error")) << ended.dump();
    EXPECT_EQ(ended["error"]["message"], "The computation was abandoned.");
    EXPECT_TRUE(GoneWithin(before, 5000));
    const pid_t after = PidOf(a);
    EXPECT_NE(after, before);
    EXPECT_TRUE(ProcessExists(after));
    EXPECT_EQ(Hr(a.Invoke(reply["application"], "InitFromVmpdfFile", {"slow.toml"})), 0);
}

// A raw connection to the web server, for clients no browser would be.
class RawConnection {
public:
    explicit RawConnection(int port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) ::close(std::exchange(fd_, -1));
    }
    ~RawConnection() { if (fd_ >= 0) ::close(fd_); }
    bool Send(const std::string& text) {
        return fd_ >= 0 && ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
    }
    // What the server sent until it closed (or `ms` passed).
    std::string Receive(int ms) {
        std::string out;
        timeval tv{ms / 1000, (ms % 1000) * 1000};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        char buf[4096];
        ssize_t n;
        while ((n = ::recv(fd_, buf, sizeof buf, 0)) > 0) out.append(buf, static_cast<std::size_t>(n));
        return out;
    }
    bool Closed() {
        char c;
        const ssize_t n = ::recv(fd_, &c, 1, MSG_DONTWAIT);
        return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
    }

private:
    int fd_ = -1;
};

// Each tab has a session of its own, kept while the tab is heard of (its heartbeat) and through a reload, and ended
// soon after it stops or leaves; sessions nobody keeps alive never lock the others out for long.
TEST_F(WebServer, TabsHaveSessionsOfTheirOwnThatEndWhenTheTabGoesSilent) {
    Start({.max_sessions = 3, .heartbeat = std::chrono::seconds(2), .leave_grace = std::chrono::seconds(1)});
    Browser one(port_), two(port_), three(port_);
    const std::int64_t app1 = one.Session();
    two.Session();
    three.Session();
    ASSERT_NE(one.token(), two.token());
    // A reload keeps the tab's own session and server.
    EXPECT_EQ(one.Session(), app1);
    EXPECT_EQ(sessions_->size(), 3u);
    // Tab two goes (its page leaves); tab one keeps beating; tab three is silent.
    EXPECT_EQ(two.Post("/api/session/leave", "").second["leaving"], true);
    const pid_t p2 = PidOf(two), p3 = PidOf(three);
    for (int k = 0; k < 6; ++k) {
        EXPECT_EQ(one.Post("/api/session/heartbeat", "").first, 200);
        std::this_thread::sleep_for(std::chrono::milliseconds(450));
        sessions_->EndIdle();
    }
    EXPECT_TRUE(GoneWithin(p2, 5000));
    EXPECT_TRUE(GoneWithin(p3, 5000));
    EXPECT_EQ(sessions_->size(), 1u);
    EXPECT_EQ(Hr(one.Invoke(app1, "GetPropertyPackage")), static_cast<std::int32_t>(0x80004005u));  // alive, no file
    // The cap is kept, and told; a session that ends frees its place at once, and sessions made and abandoned (no
    // heartbeat) fill the cap only until the heartbeat timeout.
    Browser x(port_), y(port_), z(port_), w(port_);
    x.Session();
    y.Session();
    const auto [status, body] = z.Post("/api/session", "");
    EXPECT_EQ(status, 503);
    EXPECT_NE(body.value("error", "").find("3"), std::string::npos) << body.dump();
    EXPECT_EQ(sessions_->size(), 3u);
    x.Post("/api/session/end", "");
    EXPECT_GT(z.Session(), 0);
    EXPECT_EQ(w.Post("/api/session", "").first, 503);
    std::this_thread::sleep_for(std::chrono::milliseconds(2200));
    one.Post("/api/session/heartbeat", "");
    sessions_->EndIdle();
    EXPECT_GT(w.Session(), 0);
}

// A body is refused while it is read once it passes the limit, chunked or
// not: the server never holds more than the limit and some buffers.
TEST_F(WebServer, BodiesAreLimitedWhileTheyAreRead) {
    Start();
    Browser a(port_);
    a.Session();
    RawConnection c(port_);
    ASSERT_TRUE(c.Send("POST /api/rpc HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
                       "X-Ternival-Session: " + a.token() + "\r\nTransfer-Encoding: chunked\r\n\r\n"));
    const std::string chunk = "10000\r\n" + std::string(0x10000, ' ') + "\r\n";
    std::size_t sent = 0;
    const auto t0 = std::chrono::steady_clock::now();
    while (sent < (std::size_t{1} << 30) && c.Send(chunk)) sent += 0x10000;
    // ... and at once: the connection is closed, not left to time out (nor kept open by a session's server process).
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    // The sender is stopped long before its gigabyte (socket buffers aside).
    EXPECT_LT(sent, std::size_t{32} << 20);
    const std::string reply = c.Receive(2000);
    EXPECT_NE(reply.find("413"), std::string::npos) << reply.substr(0, 200);
    // A sized body over the limit is refused before it is read.
    RawConnection d(port_);
    ASSERT_TRUE(d.Send("POST /api/rpc HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
                       "X-Ternival-Session: " + a.token() + "\r\nContent-Length: 1300000000\r\n\r\n"));
    EXPECT_NE(d.Receive(2000).find("413"), std::string::npos);

    // A problem file of more components than the engine serves is refused
    // before anything grows with it, naming the limit.
    std::string text = "[[method]]\nname = \"IDEAL\"\nmodel = \"IDEAL\"\n";
    for (int k = 0; k < 4000; ++k)
        text += "[[component]]\nid = \"C" + std::to_string(k) + "\"\nmw = 50.0\nantoine = [22.0, -3000.0]\n";
    const auto started = std::chrono::steady_clock::now();
    const auto [status, body] = a.Post("/api/upload?name=huge.toml", text, "application/octet-stream");
    EXPECT_EQ(status, 422);
    EXPECT_NE(body.value("error", "").find("at most 100"), std::string::npos) << body.dump();
    EXPECT_NE(body.value("error", "").find("huge.toml"), std::string::npos) << body.dump();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
}

// Clients that send their requests a line every half second hold no
// worker beyond the request time, and a page is served meanwhile.
TEST_F(WebServer, SlowClientsAreCutAndOthersServed) {
    Start({}, [](WebOptions& o) { o.request_time = std::chrono::milliseconds(1000); });
    std::vector<std::unique_ptr<RawConnection>> slow;
    for (int k = 0; k < 24; ++k) {
        slow.push_back(std::make_unique<RawConnection>(port_));
        slow.back()->Send("POST /api/rpc HTTP/1.1\r\nHost: 127.0.0.1\r\n");
    }
    std::atomic<bool> dripping{true};
    std::thread drip([&] {
        for (int t = 0; t < 12 && dripping; ++t) {
            for (auto& c : slow) c->Send("X-Slow-" + std::to_string(t) + ": 1\r\n");
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
        }
    });
    const auto started = std::chrono::steady_clock::now();
    Browser a(port_);
    const std::int64_t app = a.Session();
    EXPECT_GT(app, 0);
    EXPECT_EQ(a.Post("/api/rpc", kTypelib).first, 200);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    int closed = 0;
    for (auto& c : slow) closed += c->Closed();
    dripping = false;
    drip.join();
    EXPECT_EQ(closed, 24);
    EXPECT_GE(app_->connections_cut(), 24u);
}

// A batch runs its calls in order in the session's server, each with its own reply, and a refused call does not stop
// the others; a batch computes for at most its budget: the calls after it are answered as abandoned, and the session
// goes on.
TEST_F(WebServer, BatchesRunInOrderWithinTheirBudget) {
    platform::PutEnv("TERNIVAL_CALL_TIME_LIMIT=2");
    Start({}, [](WebOptions& o) { o.batch_budget = std::chrono::milliseconds(1000); });
    Browser a(port_);
    const std::int64_t app = a.Session();
    platform::UnsetEnv("TERNIVAL_CALL_TIME_LIMIT");
    const std::int64_t acm = AcmMap(a, app);
    json batch = json::array({Call(1, acm, "Pressure", {R8(60000.0)}, "put"),
                              Call(2, app, "InitFromVmpdfFile", {"../../x.toml"}),
                              Call(3, acm, "Pressure", json::array(), "get"), Call(4, acm, "GetPureProperties")});
    auto [status, replies] = a.Post("/api/rpc", batch.dump());
    ASSERT_EQ(status, 200);
    ASSERT_TRUE(replies.is_array());
    ASSERT_EQ(replies.size(), 4u);
    for (int k = 0; k < 4; ++k) EXPECT_EQ(replies[k]["id"], k + 1);
    EXPECT_EQ(Hr(replies[0]), 0);
    EXPECT_EQ(replies[1]["error"]["code"], kRelayRefused);
    EXPECT_EQ(Out(replies[2], 0)["value"], 60000.0);
    // At 60 kPa acetone boils below its 329.3 K at one atmosphere.
    const double t = Out(replies[3], 1)["data"][0].get<double>();
    EXPECT_GT(t, 300.0);
    EXPECT_LT(t, 325.0);
    EXPECT_EQ(a.Post("/api/rpc", "[]").first, 400);
    const json tooMany(std::vector<json>(65, Call(9, acm, "Pressure", json::array(), "get")));
    EXPECT_EQ(a.Post("/api/rpc", tooMany.dump()).first, 400);

    const std::int64_t map = SlowMap(a, app);
    batch = json::array();
    for (int id = 1; id <= 3; ++id) batch.push_back(Call(id, map, "GetResidueCurve", {kSlowStart}));
    const auto started = std::chrono::steady_clock::now();
    std::tie(status, replies) = a.Post("/api/rpc", batch.dump());
    ASSERT_EQ(status, 200);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(8));
    ASSERT_EQ(replies.size(), 3u);
    EXPECT_EQ(static_cast<std::uint32_t>(Hr(replies[0])), 0x80004004u);  // E_ABORT at the call's own limit
    for (int k = 1; k < 3; ++k) {
        EXPECT_EQ(replies[k]["error"]["code"], -32000);
        EXPECT_NE(replies[k]["error"]["message"].get<std::string>().find("time budget"), std::string::npos);
    }
    EXPECT_EQ(Out(a.Invoke(map, "Pressure", json::array(), "get"), 0)["value"], 1062.975);
}

// Sessions of a web server that was killed are removed when the next one starts, and nothing else.
using WebServerStart = testing::EngineEnvironment;
TEST_F(WebServerStart, FoldersOfEndedServersAreRemoved) {
    const std::string mine = "ternival-web-" + std::to_string(::getpid());
    for (const fs::path& d : {fs::path("ternival-web-999999999/s-0123/files"), fs::path(mine) / "s-4567",
                             fs::path("ternival-web-999999998/not-a-session"), fs::path("ternival-web-notanumber/s-89"),
                             fs::path("someone-else")})
        fs::create_directories(dir_ / d);
    std::ofstream(dir_ / "ternival-web-999999999" / "s-0123" / "files" / "a.toml") << "x";
    EXPECT_EQ(RemoveFoldersOfEndedServers(dir_), 1u);
    EXPECT_FALSE(fs::exists(dir_ / "ternival-web-999999999"));
    for (const fs::path& kept : {fs::path(mine), fs::path("ternival-web-999999998/not-a-session"),
                                fs::path("ternival-web-notanumber"), fs::path("someone-else")})
        EXPECT_TRUE(fs::exists(dir_ / kept)) << kept;
}

// What a page may send on to its server: only names of its own session's
// files reach the server, and only through the members that take them.
class Relay : public testing::EngineEnvironment {
protected:
    void SetUp() override {
        EngineEnvironment::SetUp();
        write("mine.toml", "x");
    }

    // The forwarded request, or the refusal's sentence.
    std::pair<json, std::string> Check(const json& req) {
        json out;
        std::string error;
        const bool ok = CheckRequest(req, dir_, out, error);
        EXPECT_EQ(ok, error.empty());
        return {out, error};
    }
    static json Invoke(const std::string& member, json args) { return Call(7, 1, member, args); }
};

TEST_F(Relay, ProblemFileNamesBecomePathsOfTheSessionDirectory) {
    for (const json& arg : {json("mine.toml"), json{{"vt", "BSTR"}, {"value", "mine.toml"}}}) {
        for (const char* member : {"InitFromVmpdfFile", "initfromvmpdffile", "OpenVmpdfFile", "CloseVmpdfFile"}) {
            const auto [out, error] = Check(Invoke(member, json::array({arg})));
            ASSERT_EQ(error, "") << member;
            EXPECT_EQ(out["params"]["args"][0]["value"], (dir_ / "mine.toml").string()) << member;
            EXPECT_EQ(out["id"], 7);
        }
    }
    // The application's CloseVmpdfFile takes no file.
    EXPECT_EQ(Check(Invoke("CloseVmpdfFile", json::array())).second, "");
}

TEST_F(Relay, PathTricksAndOtherFilesAreRefused) {
    std::ofstream(dir_.parent_path() / "ternival-relay-outside.toml") << "x";
    for (const std::string& name : std::vector<std::string>{"../ternival-relay-outside.toml", "/etc/passwd",
                                                            "sub/mine.toml", ".mine.toml", "mine.toml/", "..", "",
                                                            "missing.toml", "mine.toml\n", "a\\b.toml",
                                                            std::string(101, 'a')})
        EXPECT_NE(Check(Invoke("InitFromVmpdfFile", json::array({name}))).second, "") << name;
    std::filesystem::remove(dir_.parent_path() / "ternival-relay-outside.toml");
    // No name, a name that is no string, and the member that takes a directory.
    EXPECT_NE(Check(Invoke("InitFromVmpdfFile", json::array({42}))).second, "");
    EXPECT_NE(Check(Invoke("InitFromVmpdfFile", json::array())).second, "");
    EXPECT_NE(Check(Invoke("InitFromVmpdfFileWithCWD", json::array({"mine.toml", "/"}))).second, "");
}

TEST_F(Relay, OnlyCallsByNameOfObjectsTheSessionHasAreRelayed) {
    // Other methods, malformed requests, and calls by dispatch identifier,
    // by which InitFromVmpdfFile would pass unchecked.
    const json refused[] = {
        {{"jsonrpc", "2.0"}, {"id", 1}, {"method", "create"}, {"params", {{"class", "x"}}}},
        {{"jsonrpc", "2.0"}, {"id", 1}, {"method", "shutdown"}},
        json::array({1, 2}),
        {{"method", 5}},
        {{"jsonrpc", "2.0"}, {"id", 1}, {"method", "invoke"},
         {"params", {{"object", 1}, {"dispid", 3}, {"args", {"/etc/passwd"}}}}},
        {{"jsonrpc", "2.0"}, {"id", 1}, {"method", "invoke"},
         {"params", {{"object", 1}, {"member", "InitFromVmpdfFile"}, {"dispid", 3}, {"args", {"mine.toml"}}}}},
    };
    for (const json& request : refused) EXPECT_NE(Check(request).second, "") << request.dump();
    EXPECT_EQ(Check({{"jsonrpc", "2.0"}, {"id", 1}, {"method", "typelib"}}).second, "");
    EXPECT_EQ(Check({{"jsonrpc", "2.0"}, {"id", 1}, {"method", "release"}, {"params", {{"object", 2}}}}).second, "");
    const auto [out, error] = Check(Invoke("GetBoilingPoint", json::array({json::array({0.2, 0.3, 0.5})})));
    EXPECT_EQ(error, "");
    EXPECT_EQ(out["params"]["args"][0][1], 0.3);
}

}  // namespace
}  // namespace ternival::web
