#include "web_app.h"

#include <cmath>
#include <fstream>
#include <optional>
#include <sstream>

#include "databank.h"
#include "engine/run_log.h"
#include "platform/registry.h"
#include "problem.h"
#include "relay.h"

namespace ternival::web {

using nlohmann::json;
namespace fs = std::filesystem;

namespace {

constexpr const char* kCookie = "ternival_session";
// Largest JSON-RPC batch relayed in one request.
constexpr std::size_t kMaxBatch = 64;

void Fail(httplib::Response& res, int status, const std::string& sentence) {
    res.status = status;
    res.set_content(json{{"error", sentence}}.dump(), "application/json");
}

void Reply(httplib::Response& res, const json& body) {
    res.status = 200;
    res.set_content(body.dump(-1, ' ', false, json::error_handler_t::replace), "application/json");
}

std::string ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string MimeOf(const fs::path& p) {
    const std::string e = p.extension().string();
    if (e == ".html") return "text/html; charset=utf-8";
    if (e == ".js") return "text/javascript; charset=utf-8";
    if (e == ".css") return "text/css; charset=utf-8";
    if (e == ".svg") return "image/svg+xml";
    if (e == ".png") return "image/png";
    if (e == ".json") return "application/json";
    return "application/octet-stream";
}

std::string CookieValue(const httplib::Request& req) {
    const std::string header = req.get_header_value("Cookie");
    const std::string key = std::string(kCookie) + "=";
    std::size_t at = 0;
    while ((at = header.find(key, at)) != std::string::npos) {
        if (at == 0 || header[at - 1] == ' ' || header[at - 1] == ';') {
            const std::size_t start = at + key.size();
            const std::size_t end = header.find(';', start);
            return header.substr(start, end == std::string::npos ? std::string::npos : end - start);
        }
        at += key.size();
    }
    return {};
}

// Writes a file of the session through a temporary name, so a failed write
// never leaves half a file under the real name.
bool WriteSessionFile(const fs::path& dir, const std::string& name, const std::string& body) {
    const fs::path tmp = dir / (".part-" + name), final = dir / name;
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        if (!out) return false;
        out.write(body.data(), static_cast<std::streamsize>(body.size()));
        if (!out) return false;
    }
    std::error_code ec;
    fs::rename(tmp, final, ec);
    if (ec) fs::remove(tmp, ec);
    return !ec;
}

bool ParseBody(const httplib::Request& req, httplib::Response& res, std::size_t limit, json& body) {
    if (req.body.size() > limit) {
        Fail(res, 413, "The request is larger than " + std::to_string(limit) + " bytes.");
        return false;
    }
    body = json::parse(req.body, nullptr, false);
    if (body.is_discarded()) {
        Fail(res, 400, "The request body is not valid JSON.");
        return false;
    }
    return true;
}

// What the page needs to know of a problem file before it opens it: the
// defaults its author chose.  Throws the parser's error (file, line, key).
json Defaults(const std::string& text, const std::string& name) {
    const propcore::Problem p = propcore::ParseProblem(text, name);
    json d{{"default_phase", p.default_phase}, {"components", p.components.size()}};
    if (p.default_method < p.methods.size()) d["default_method"] = p.methods[p.default_method].name;
    json methods = json::array();
    for (const auto& m : p.methods) methods.push_back(m.name);
    d["methods"] = methods;
    return d;
}

// Keeps a problem file in the session once it parses, and returns the
// reply to send: its defaults and its name.  A file that does not parse is
// refused with `refused` and the parser's message (file, line, key).
std::optional<json> StoreProblem(httplib::Response& res, const Session& s, const std::string& name,
                                 const std::string& text, const std::string& label, int refused) {
    json reply;
    try {
        reply = Defaults(text, label);
    } catch (const std::exception& e) {
        Fail(res, refused, e.what());
        return std::nullopt;
    }
    if (!WriteSessionFile(s.files(), name, text)) {
        Fail(res, 500, "The problem file could not be stored in the session.");
        return std::nullopt;
    }
    reply["file"] = name;
    return reply;
}

}  // namespace

std::string LocalServerFor(const std::string& prog_id) {
    const std::string root = "HKEY_CLASSES_ROOT\\";
    auto clsid = platform::RegistryReadString(root + prog_id + "\\CLSID", "@");
    if (!clsid) {
        if (const auto cur = platform::RegistryReadString(root + prog_id + "\\CurVer", "@"))
            clsid = platform::RegistryReadString(root + *cur + "\\CLSID", "@");
    }
    if (!clsid) return {};
    return platform::RegistryReadString(root + "CLSID\\" + *clsid + "\\LocalServer32", "@", 4096).value_or("");
}

WebApp::WebApp(SessionManager& sessions, WebOptions options) : sessions_(sessions), options_(std::move(options)) {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(options_.static_dir, ec))
        if (e.is_regular_file() && IsPlainFileName(e.path().filename().string()))
            static_[e.path().filename().string()] = {ReadFile(e.path()), MimeOf(e.path())};
    for (const auto& e : fs::directory_iterator(options_.examples_dir, ec))
        if (e.is_regular_file() && e.path().extension() == ".toml")
            examples_[e.path().filename().string()] = e.path().string();
}

std::shared_ptr<Session> WebApp::sessionOf(const httplib::Request& req, httplib::Response& res) {
    const std::string id = CookieValue(req);
    auto s = id.empty() ? nullptr : sessions_.Find(id);
    if (!s) Fail(res, 401, "This page has no session (it may have idled out); reload the page.");
    else s->Touch();
    return s;
}

void WebApp::Install(httplib::Server& server) {
    server.set_payload_max_length(std::max(options_.max_upload, options_.max_request) + 1024);
    // Replies are written in pieces (headers, body); without this the
    // browser's delayed acknowledgement holds each small reply some 40 ms.
    server.set_tcp_nodelay(true);
    // A page makes dozens of calls per map on one connection.
    server.set_keep_alive_max_count(1000);
    if (!options_.allowed_hosts.empty()) {
        server.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
            std::string host = req.get_header_value("Host");
            // Without its port; "[::1]:8321" keeps its brackets.
            if (const auto colon = host.rfind(':'); colon != std::string::npos && host.find(']') < colon)
                host.erase(colon);
            else if (colon != std::string::npos && host.find('[') == std::string::npos)
                host.erase(colon);
            for (const auto& allowed : options_.allowed_hosts)
                if (host == allowed) return httplib::Server::HandlerResponse::Unhandled;
            Fail(res, 403, "This server answers only to " + options_.allowed_hosts.front() + ".");
            return httplib::Server::HandlerResponse::Handled;
        });
    }
    server.set_default_headers({{"X-Content-Type-Options", "nosniff"},
                                {"Cache-Control", "no-store"},
                                {"Content-Security-Policy",
                                 "default-src 'self'; img-src 'self' data: blob:; style-src 'self' 'unsafe-inline'"}});

    auto serveStatic = [this](const std::string& name, httplib::Response& res) {
        const auto it = static_.find(name);
        if (it == static_.end()) return Fail(res, 404, "There is no page file \"" + name + "\".");
        res.set_content(it->second.body, it->second.type);
    };
    server.Get("/", [serveStatic](const httplib::Request&, httplib::Response& res) { serveStatic("index.html", res); });
    server.Get(R"(/static/([^/]+))", [serveStatic](const httplib::Request& req, httplib::Response& res) {
        serveStatic(req.matches[1], res);
    });

    server.Post("/api/session", [this](const httplib::Request& req, httplib::Response& res) {
        // A page that reloads keeps its session and server.
        std::shared_ptr<Session> s;
        if (const std::string id = CookieValue(req); !id.empty()) s = sessions_.Find(id);
        if (!s) {
            std::string error;
            s = sessions_.Create(error);
            if (!s) return Fail(res, 503, error);
        }
        json examples = json::array();
        for (const auto& [name, path] : examples_) examples.push_back(name);
        res.set_header("Set-Cookie", std::string(kCookie) + "=" + s->id() + "; Path=/; HttpOnly; SameSite=Strict");
        Reply(res, {{"application", s->application()}, {"examples", examples}, {"max_upload", options_.max_upload}});
    });

    server.Post("/api/session/end", [this](const httplib::Request& req, httplib::Response& res) {
        const std::string id = CookieValue(req);
        Reply(res, {{"ended", !id.empty() && sessions_.End(id)}});
    });

    server.Post("/api/rpc", [this](const httplib::Request& req, httplib::Response& res) {
        json body;
        if (!ParseBody(req, res, options_.max_request, body)) return;
        auto s = sessionOf(req, res);
        if (!s) return;
        // One request, or a JSON-RPC batch: the calls of a batch run in
        // order and each gets its own reply (a refused one its refusal).
        auto one = [&](const json& request) {
            json forward;
            std::string error;
            if (!CheckRequest(request, s->files(), forward, error))
                return RpcError(request.is_object() && request.contains("id") ? request["id"] : json(), kRelayRefused,
                                error);
            return s->Call(forward);
        };
        if (!body.is_array()) return Reply(res, one(body));
        if (body.empty() || body.size() > kMaxBatch)
            return Fail(res, 400, "A batch holds 1 to " + std::to_string(kMaxBatch) + " requests.");
        json replies = json::array();
        for (const json& request : body) replies.push_back(one(request));
        Reply(res, replies);
    });

    server.Post("/api/abandon", [this](const httplib::Request& req, httplib::Response& res) {
        auto s = sessionOf(req, res);
        if (!s) return;
        const std::string error = s->Abandon();
        if (!error.empty()) return Fail(res, 503, error);
        Reply(res, {{"application", s->application()}});
    });

    server.Post("/api/upload", [this](const httplib::Request& req, httplib::Response& res) {
        auto s = sessionOf(req, res);
        if (!s) return;
        const std::string name = req.get_param_value("name");
        if (!IsPlainFileName(name))
            return Fail(res, 400, "\"" + name + "\" is not a file name this page accepts (letters, digits, '.', '-', "
                                  "'_' and spaces, at most 100).");
        if (req.body.size() > options_.max_upload)
            return Fail(res, 413, "The file is larger than the " + std::to_string(options_.max_upload / 1024) +
                                  " KiB an upload may have.");
        auto reply = StoreProblem(res, *s, name, req.body, name, 422);
        if (!reply) return;
        (*reply)["bytes"] = req.body.size();
        Reply(res, *reply);
    });

    server.Post("/api/example", [this](const httplib::Request& req, httplib::Response& res) {
        json body;
        if (!ParseBody(req, res, options_.max_request, body)) return;
        auto s = sessionOf(req, res);
        if (!s) return;
        const std::string name = body.is_object() ? body.value("name", "") : "";
        const auto it = examples_.find(name);
        if (it == examples_.end()) return Fail(res, 404, "There is no built-in example \"" + name + "\".");
        if (auto reply = StoreProblem(res, *s, name, ReadFile(it->second), name, 500)) Reply(res, *reply);
    });

    server.Post("/api/databank", [this](const httplib::Request& req, httplib::Response& res) {
        json body;
        if (!ParseBody(req, res, options_.max_request, body)) return;
        auto s = sessionOf(req, res);
        if (!s) return;
        std::vector<std::string> names;
        if (body.is_object() && body.contains("components") && body["components"].is_array())
            for (const auto& c : body["components"])
                if (c.is_string() && !c.get<std::string>().empty()) names.push_back(c);
        if (names.size() != 3) return Fail(res, 400, "Name three components of the databank.");
        const std::string model = body.is_object() ? body.value("model", "NRTL") : "NRTL";
        // The page's pressure judges whether the boiling liquid splits.
        double pressure = 101325.0;
        if (body.is_object() && body.contains("pressure") && body["pressure"].is_number()) {
            const double v = body["pressure"].get<double>();
            if (std::isfinite(v) && v > 0.0 && v <= 1e8) pressure = v;
        }
        std::string text;
        try {
            text = propcore::DatabankProblemText(names, model, "estimate", pressure);
        } catch (const std::exception& e) {
            return Fail(res, 400, e.what());
        }
        if (auto reply = StoreProblem(res, *s, "databank.toml", text, "(databank)", 400)) Reply(res, *reply);
    });

    server.Get("/api/messages", [](const httplib::Request&, httplib::Response& res) {
        json out = json::object();
        for (int code = 501; code <= 513; ++code) out[std::to_string(code)] = std::string(MessageText(code));
        Reply(res, out);
    });

    server.Get("/api/components", [](const httplib::Request& req, httplib::Response& res) {
        const std::string q = req.get_param_value("q");
        if (q.size() > 100) return Fail(res, 400, "The search text is longer than 100 characters.");
        json out = json::array();
        try {
            for (const auto* c : propcore::Databank::Get().Search(q)) {
                out.push_back({{"name", c->name}, {"cas", c->cas}, {"formula", c->formula}});
                if (out.size() == 25) break;
            }
        } catch (const std::exception& e) {
            return Fail(res, 500, std::string("The databank cannot be read: ") + e.what());
        }
        Reply(res, out);
    });
}

}  // namespace ternival::web
