#include "web_app.h"

#include <cmath>
#include <limits>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>

#include "automation/dispatch.h"
#include "databank.h"
#include "engine/run_log.h"
#include "platform/registry.h"
#include "problem.h"
#include "regression.h"
#include "relay.h"

namespace ternival::web {

using nlohmann::json;
namespace fs = std::filesystem;

namespace {

// The page's session, sent by the page itself with every request.  A
// header (not a cookie): each tab keeps its own, and a page of another
// site can neither read it nor have a browser send it.
constexpr const char* kSessionHeader = "X-Ternival-Session";
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

std::string SessionToken(const httplib::Request& req) { return req.get_header_value(kSessionHeader); }

// The origin (scheme, host and port) a URL starts with.
std::string OriginOf(const std::string& url) {
    const auto scheme = url.find("://");
    if (scheme == std::string::npos) return url;
    const auto path = url.find('/', scheme + 3);
    return path == std::string::npos ? url : url.substr(0, path);
}

// True when the body's media type is JSON (parameters such as charset
// aside).
bool IsJson(const httplib::Request& req) {
    std::string type = req.get_header_value("Content-Type");
    type = type.substr(0, type.find(';'));
    while (!type.empty() && type.back() == ' ') type.pop_back();
    return ternival::automation::EqualsNoCase(type, "application/json");
}

// Reads a request's body as it arrives, chunked or not, and stops at
// `limit`: a larger body is refused (413) without being read whole.
bool ReadBody(const httplib::Request& req, const httplib::ContentReader& reader, std::size_t limit, std::string& body,
              httplib::Response& res, ConnectionWatch& watch) {
    bool over = false;
    const bool read = reader([&](const char* data, std::size_t n) {
        if (body.size() + n > limit) {
            over = true;
            return false;
        }
        body.append(data, n);
        return true;
    });
    if (read && !over) {
        watch.Handling(req);
        return true;
    }
    // The rest of a chunked body, or of a large one, is not read (the
    // library would read it to the end, however long): the connection
    // closes after the answer.  A small excess is read, so the client sees
    // the answer.
    constexpr std::uint64_t kDrained = 4u << 20;
    if (!req.has_header("Content-Length") || req.get_header_value<std::uint64_t>("Content-Length") > kDrained)
        watch.StopReading(req);
    res.set_header("Connection", "close");
    if (over) Fail(res, 413, "The request is larger than " + std::to_string(limit) + " bytes.");
    else Fail(res, 400, "The request body could not be read.");
    return false;
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

// A JSON body: of type application/json, within the limit, and valid.
// An empty body is taken as an empty object.
bool ParseBody(const httplib::Request& req, const httplib::ContentReader& reader, httplib::Response& res,
               std::size_t limit, json& body, ConnectionWatch& watch) {
    if (!IsJson(req)) {
        Fail(res, 415, "The request must be sent as application/json.");
        return false;
    }
    std::string text;
    if (!ReadBody(req, reader, limit, text, res, watch)) return false;
    if (text.empty()) {
        body = json::object();
        return true;
    }
    body = json::parse(text, nullptr, false);
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
    // Where every number comes from: each component, and each pair of each
    // method (a pair a method does not list is ideal, without parameters).
    json comps = json::array();
    for (const auto& c : p.components)
        comps.push_back({{"id", c.id}, {"name", c.long_name.empty() ? c.id : c.long_name}, {"cas", c.cas}, {"mw", c.mw},
                         {"source", c.source.empty() || c.source == "file" ? "the file " + name : c.source}});
    json pairs = json::array();
    for (const auto& m : p.methods) {
        if (propcore::GroupModelOf(m.model)) {
            pairs.push_back({{"method", m.name}, {"source", "group contribution (" + std::string(propcore::ModelName(m.model)) +
                                                                ") for every pair"}});
            continue;
        }
        if (m.model == propcore::Model::Ideal) continue;
        for (std::size_t i = 0; i < p.components.size(); ++i)
            for (std::size_t j = i + 1; j < p.components.size(); ++j) {
                std::string source = "ideal (no parameters)";
                for (const auto& pr : m.pairs)
                    if ((pr.i == i && pr.j == j) || (pr.i == j && pr.j == i))
                        source = pr.source == "file" ? "the file " + name : pr.source;
                pairs.push_back({{"method", m.name}, {"a", p.components[i].id}, {"b", p.components[j].id},
                                 {"source", source}});
            }
    }
    d["sources"] = {{"components", comps}, {"pairs", pairs}};
    // The file itself, to be downloaded, edited and uploaded again.
    d["text"] = text;
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

// The non-empty strings of a body's array `key` (component names).
std::vector<std::string> Names(const json& body, const char* key) {
    std::vector<std::string> names;
    if (body.is_object() && body.contains(key) && body[key].is_array())
        for (const auto& c : body[key])
            if (c.is_string() && !c.get<std::string>().empty()) names.push_back(c);
    return names;
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

WebApp::WebApp(SessionManager& sessions, WebOptions options)
    : sessions_(sessions), options_(std::move(options)), watch_(options_.request_time) {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(options_.static_dir, ec))
        if (e.is_regular_file() && IsPlainFileName(e.path().filename().string()))
            static_[e.path().filename().string()] = {ReadFile(e.path()), MimeOf(e.path())};
    for (const auto& e : fs::directory_iterator(options_.examples_dir, ec))
        if (e.is_regular_file() && e.path().extension() == ".toml")
            examples_[e.path().filename().string()] = e.path().string();
}

std::shared_ptr<Session> WebApp::sessionOf(const httplib::Request& req, httplib::Response& res) {
    const std::string id = SessionToken(req);
    auto s = id.empty() ? nullptr : sessions_.Find(id);
    if (!s) Fail(res, 401, "This page has no session (it may have idled out); reload the page.");
    else s->Touch();
    return s;
}

void WebApp::Install(httplib::Server& server) {
    // Bodies are limited here, per route, as they are read (and a declared
    // length over every limit before anything is read): the library's own
    // limit would drop the connection without a word.
    server.set_payload_max_length(std::numeric_limits<std::size_t>::max());
    // Replies are written in pieces (headers, body); without this the
    // browser's delayed acknowledgement holds each small reply some 40 ms.
    server.set_tcp_nodelay(true);
    // A page makes dozens of calls per map on one connection.
    server.set_keep_alive_max_count(1000);
    server.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        watch_.HeadersRead(req);
        std::string host = req.get_header_value("Host");
        if (!options_.allowed_hosts.empty()) {
            // Without its port; "[::1]:8321" keeps its brackets.
            std::string name = host;
            if (const auto colon = name.rfind(':'); colon != std::string::npos && name.find(']') < colon)
                name.erase(colon);
            else if (colon != std::string::npos && name.find('[') == std::string::npos)
                name.erase(colon);
            if (std::ranges::find(options_.allowed_hosts, name) == options_.allowed_hosts.end()) {
                Fail(res, 403, "This server answers only to " + options_.allowed_hosts.front() + ".");
                return httplib::Server::HandlerResponse::Handled;
            }
        }
        // A body declared larger than any route takes is refused before it
        // is read.
        if (req.has_header("Content-Length") &&
            req.get_header_value<std::uint64_t>("Content-Length") > std::max(options_.max_upload, options_.max_request)) {
            Fail(res, 413, "The request is larger than any this server takes.");
            res.set_header("Connection", "close");
            return httplib::Server::HandlerResponse::Handled;
        }
        // A request that changes anything must come from this server's own
        // page: a page of another site (another port of this host is
        // another site) is refused by its Origin, or its Referer.
        if (req.method != "GET" && req.method != "HEAD") {
            std::string from = req.get_header_value("Origin");
            if (from.empty() && req.has_header("Referer")) from = OriginOf(req.get_header_value("Referer"));
            if (!from.empty() && from != "http://" + host) {
                Fail(res, 403, "This request comes from another site (" + from + ").");
                res.set_header("Connection", "close");
                return httplib::Server::HandlerResponse::Handled;
            }
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });
    server.set_logger([this](const httplib::Request& req, const httplib::Response&) { watch_.Done(req); });
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

    server.Post("/api/session", [this](const httplib::Request& req, httplib::Response& res,
                                       const httplib::ContentReader& reader) {
        json body;
        if (!ParseBody(req, reader, res, options_.max_request, body, watch_)) return;
        // A reloaded page keeps its session and server; any other page
        // (another tab) gets a session of its own.
        std::shared_ptr<Session> s;
        if (const std::string id = SessionToken(req); !id.empty()) s = sessions_.Find(id);
        if (s) s->Touch();
        if (!s) {
            std::string error;
            s = sessions_.Create(error);
            if (!s) return Fail(res, 503, error);
        }
        json examples = json::array();
        for (const auto& [name, path] : examples_) examples.push_back(name);
        Reply(res, {{"session", s->id()},
                    {"application", s->application()},
                    {"examples", examples},
                    {"version", TERNIVAL_VERSION_TEXT},
                    {"max_upload", options_.max_upload},
                    {"max_components", propcore::kMaxComponents},
                    {"heartbeat_seconds", sessions_.limits().heartbeat.count()}});
    });

    server.Post("/api/session/end", [this](const httplib::Request& req, httplib::Response& res,
                                           const httplib::ContentReader& reader) {
        json body;
        if (!ParseBody(req, reader, res, options_.max_request, body, watch_)) return;
        const std::string id = SessionToken(req);
        Reply(res, {{"ended", !id.empty() && sessions_.End(id)}});
    });

    // The page is alive: sent every few seconds while it is open.
    server.Post("/api/session/heartbeat", [this](const httplib::Request& req, httplib::Response& res,
                                                 const httplib::ContentReader& reader) {
        json body;
        if (!ParseBody(req, reader, res, options_.max_request, body, watch_)) return;
        const std::string id = SessionToken(req);
        auto s = id.empty() ? nullptr : sessions_.Find(id);
        if (!s) return Fail(res, 401, "This page has no session (it may have idled out); reload the page.");
        s->Heard();
        Reply(res, {{"alive", true}});
    });

    // The page is going (closed or reloading): its session ends shortly
    // unless the page comes back for it.
    server.Post("/api/session/leave", [this](const httplib::Request& req, httplib::Response& res,
                                             const httplib::ContentReader& reader) {
        json body;
        if (!ParseBody(req, reader, res, options_.max_request, body, watch_)) return;
        const std::string id = SessionToken(req);
        auto s = id.empty() ? nullptr : sessions_.Find(id);
        if (s) s->Leave(sessions_.limits().heartbeat, sessions_.limits().leave_grace);
        Reply(res, {{"leaving", s != nullptr}});
    });

    server.Post("/api/rpc", [this](const httplib::Request& req, httplib::Response& res,
                                   const httplib::ContentReader& reader) {
        json body;
        if (!ParseBody(req, reader, res, options_.max_request, body, watch_)) return;
        auto s = sessionOf(req, res);
        if (!s) return;
        // One request, or a JSON-RPC batch: the calls of a batch run in
        // order and each gets its own reply (a refused one its refusal).
        // A batch has the time of one call: calls past its budget are
        // answered as abandoned, so no batch holds a worker for long.
        const auto started = Clock::now();
        auto one = [&](const json& request) {
            const json id = request.is_object() && request.contains("id") ? request["id"] : json();
            json forward;
            std::string error;
            if (!CheckRequest(request, s->files(), forward, error)) return RpcError(id, kRelayRefused, error);
            if (Clock::now() - started > options_.batch_budget)
                return RpcError(id, -32000, "The computation was abandoned: its batch ran past its time budget.");
            return s->Call(forward);
        };
        if (!body.is_array()) return Reply(res, one(body));
        if (body.empty() || body.size() > kMaxBatch)
            return Fail(res, 400, "A batch holds 1 to " + std::to_string(kMaxBatch) + " requests.");
        json replies = json::array();
        for (const json& request : body) replies.push_back(one(request));
        Reply(res, replies);
    });

    server.Post("/api/abandon", [this](const httplib::Request& req, httplib::Response& res,
                                       const httplib::ContentReader& reader) {
        json body;
        if (!ParseBody(req, reader, res, options_.max_request, body, watch_)) return;
        auto s = sessionOf(req, res);
        if (!s) return;
        const std::string error = s->Abandon();
        if (!error.empty()) return Fail(res, 503, error);
        Reply(res, {{"application", s->application()}});
    });

    server.Post("/api/upload", [this](const httplib::Request& req, httplib::Response& res,
                                      const httplib::ContentReader& reader) {
        auto s = sessionOf(req, res);
        if (!s) return;
        const std::string name = req.get_param_value("name");
        if (!IsPlainFileName(name))
            return Fail(res, 400, "\"" + name + "\" is not a file name this page accepts (letters, digits, '.', '-', "
                                  "'_' and spaces, at most 100).");
        std::string text;
        if (!ReadBody(req, reader, options_.max_upload, text, res, watch_)) {
            Fail(res, 413, "The file is larger than the " + std::to_string(options_.max_upload / 1024) +
                               " KiB an upload may have.");
            return;
        }
        auto reply = StoreProblem(res, *s, name, text, name, 422);
        if (!reply) return;
        (*reply)["bytes"] = text.size();
        Reply(res, *reply);
    });

    server.Post("/api/example", [this](const httplib::Request& req, httplib::Response& res,
                                       const httplib::ContentReader& reader) {
        json body;
        if (!ParseBody(req, reader, res, options_.max_request, body, watch_)) return;
        auto s = sessionOf(req, res);
        if (!s) return;
        const std::string name = body.is_object() ? body.value("name", "") : "";
        const auto it = examples_.find(name);
        if (it == examples_.end()) return Fail(res, 404, "There is no built-in example \"" + name + "\".");
        if (auto reply = StoreProblem(res, *s, name, ReadFile(it->second), name, 500)) Reply(res, *reply);
    });

    server.Post("/api/databank", [this](const httplib::Request& req, httplib::Response& res,
                                        const httplib::ContentReader& reader) {
        json body;
        if (!ParseBody(req, reader, res, options_.max_request, body, watch_)) return;
        auto s = sessionOf(req, res);
        if (!s) return;
        const std::vector<std::string> names = Names(body, "components");
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
            // Pairs the user fitted replace the databank's; they name their
            // components as the fit did, matched here by CAS number.
            std::vector<propcore::Pair> fitted;
            if (body.contains("pairs") && body["pairs"].is_array()) {
                const auto& bank = propcore::Databank::Get();
                for (const auto& q : body["pairs"]) {
                    if (!q.is_object() || !q.contains("components") || q["components"].size() != 2)
                        return Fail(res, 400, "A fitted pair names its two components.");
                    if (q.value("model", "") != model)
                        return Fail(res, 400, "The fitted pair is " + q.value("model", std::string("?")) +
                                                  "; choose that model to use it.");
                    std::array<std::size_t, 2> at{names.size(), names.size()};
                    for (std::size_t k = 0; k < 2; ++k) {
                        const std::string cas = bank.Find(q["components"][k].get<std::string>()).cas;
                        for (std::size_t i = 0; i < names.size(); ++i)
                            if (bank.Find(names[i]).cas == cas) at[k] = i;
                    }
                    if (at[0] == names.size() || at[1] == names.size() || at[0] == at[1]) continue;
                    propcore::Pair pr{at[0], at[1], q.value("aij", 0.0), q.value("aji", 0.0), q.value("bij", 0.0),
                                      q.value("bji", 0.0), q.value("alpha", 0.3), q.value("source", std::string("fitted"))};
                    const std::string reg = q.value("regressed", std::string());
                    pr.regressed = reg == "ideal"      ? propcore::Regressed::Ideal
                                   : reg == "virial"   ? propcore::Regressed::Virial
                                   : reg == "chemical" ? propcore::Regressed::Chemical
                                   : reg == "any"      ? propcore::Regressed::Any
                                                       : propcore::Regressed::NotStated;
                    fitted.push_back(pr);
                }
            }
            text = propcore::DatabankProblemText(names, model, "estimate", pressure, "auto", fitted);
        } catch (const std::exception& e) {
            return Fail(res, 400, e.what());
        }
        if (auto reply = StoreProblem(res, *s, "databank.toml", text, "(databank)", 400)) {
            // What the user should know about the file: an acid's vapour.
            json notes = json::array();
            try {
                const propcore::Problem p = propcore::ParseProblem(text, "(databank)");
                if (p.methods.front().vapour == propcore::Vapour::Chemical)
                    for (const auto& c : p.components)
                        if (c.dimer)
                            notes.push_back(c.id + " dimerises in the vapour: the chemical vapour model is used.");
            } catch (const std::exception&) {
                // StoreProblem has read it already.
            }
            (*reply)["notes"] = notes;
            Reply(res, *reply);
        }
    });

    // A pair fitted to the user's measurements (CSV text in the body): the
    // report, the curves of data against fit, and the pair to use.
    server.Post("/api/fit", [this](const httplib::Request& req, httplib::Response& res,
                                   const httplib::ContentReader& reader) {
        json body;
        if (!ParseBody(req, reader, res, options_.max_upload, body, watch_)) return;
        auto s = sessionOf(req, res);
        if (!s) return;
        if (!body.is_object()) return Fail(res, 400, "The request is not a JSON object.");
        const std::vector<std::string> names = Names(body, "components");
        if (names.size() != 2) return Fail(res, 400, "Name the two components of the measurements.");
        const std::string model = body.value("model", "NRTL");
        if (model != "NRTL" && model != "UNIQUAC" && model != "WILSON")
            return Fail(res, 400, "A fit takes NRTL, UNIQUAC or WILSON.");
        const std::string name = body.value("name", "data.csv");
        if (!IsPlainFileName(name)) return Fail(res, 400, "\"" + name + "\" is not a file name this page accepts.");
        if (!body.contains("csv") || !body["csv"].is_string()) return Fail(res, 400, "No measurements (csv) given.");
        std::vector<propcore::Measurement> data;
        try {
            std::istringstream in(body["csv"].get<std::string>());
            data = propcore::ReadMeasurements(in, name);
            if (data.size() > 1000) return Fail(res, 400, name + ": more than 1000 measurements; fit them with ternival fit.");
            propcore::CheckMeasurements(data, 2);
        } catch (const propcore::FitDataError& e) {
            return Fail(res, 422, e.what());
        }
        double pressure = 0.0;
        int nv = 0;
        for (const auto& d : data)
            if (d.kind == propcore::Measurement::VapourLiquid) pressure += d.p, ++nv;
        pressure = nv ? pressure / nv : 101325.0;
        try {
            const propcore::Problem problem = propcore::ParseProblem(
                propcore::DatabankProblemText(names, model, "estimate", pressure, "auto"), "(databank)");
            const auto rep = propcore::FitBinaryPair(problem, 0, data, propcore::FitSettings{}, "fitted to " + name);
            const propcore::Problem fitted = propcore::WithPair(problem, 0, rep.pair);
            json out = json::parse(propcore::FitReportJson(fitted, 0, rep));
            out["pair"] = {{"components", names},
                           {"model", model},
                           {"aij", rep.pair.aij},
                           {"aji", rep.pair.aji},
                           {"bij", rep.pair.bij},
                           {"bji", rep.pair.bji},
                           {"alpha", rep.pair.alpha},
                           {"source", rep.pair.source},
                           {"regressed", std::string(propcore::RegressedName(rep.pair.regressed))}};
            Reply(res, out);
        } catch (const std::exception& e) {
            return Fail(res, 400, e.what());
        }
    });

    // A screen of entrainers: started in the background, followed by its
    // status, its report fetched when it is done.
    server.Post("/api/screen", [this](const httplib::Request& req, httplib::Response& res,
                                      const httplib::ContentReader& reader) {
        json body;
        if (!ParseBody(req, reader, res, options_.max_request, body, watch_)) return;
        auto s = sessionOf(req, res);
        if (!s) return;
        if (options_.tool.empty() || !fs::exists(options_.tool))
            return Fail(res, 503, "This server cannot run screens (the ternival program is not where it was built).");
        if (!body.is_object()) return Fail(res, 400, "The request is not a JSON object.");
        const auto& bank = propcore::Databank::Get();
        std::vector<std::string> pair;
        std::set<std::string> own;
        try {
            if (body.contains("separate") && body["separate"].is_array())
                for (const auto& c : body["separate"]) pair.push_back(bank.Find(c.get<std::string>()).cas);
            if (pair.size() != 2 || pair[0] == pair[1]) return Fail(res, 400, "Name the two components to separate.");
            own.insert(pair.begin(), pair.end());
            std::vector<std::string> cands;
            if (body.contains("candidates") && body["candidates"].is_array()) {
                for (const auto& c : body["candidates"]) {
                    const std::string cas = bank.Find(c.get<std::string>()).cas;
                    if (!own.count(cas)) cands.push_back(cas);
                }
                if (cands.empty()) return Fail(res, 400, "Name at least one candidate other than the two components.");
            }
            const std::string model = body.value("model", std::string("NRTL"));
            if (model != "NRTL" && model != "UNIQUAC" && model != "WILSON" && model != "UNIFAC" &&
                model != "UNIFAC-LLE" && model != "UNIFAC-DMD")
                return Fail(res, 400, "Unknown model " + model + ".");
            double pressure = 101325.0;
            if (body.contains("pressure") && body["pressure"].is_number()) pressure = body["pressure"].get<double>();
            if (!(std::isfinite(pressure) && pressure > 0.0 && pressure <= 1e8))
                return Fail(res, 400, "The pressure must be a positive number of Pa.");
            std::size_t total = cands.size();
            if (cands.empty())
                for (const auto& c : bank.compounds())
                    if (!c.cas.empty() && !own.count(c.cas)) ++total;
            std::string list;
            for (const auto& c : cands) list += (list.empty() ? "" : ",") + c;
            const fs::path dir = s->dir() / "screen";
            std::error_code ec;
            s->SetScreen(nullptr);  // ends the one before
            fs::remove_all(dir, ec);
            fs::create_directories(dir / "tmp", ec);
            std::vector<std::string> argv{options_.tool, "--work-dir", (dir / "tmp").string(), "screen", "--separate",
                                          pair[0] + "," + pair[1], "--candidates", cands.empty() ? "all" : list,
                                          "--method", model, "--pressure", std::to_string(pressure), "--format",
                                          "json", "--resume", (dir / "journal.jsonl").string(), "-o",
                                          (dir / "report.html").string()};
            if (options_.screen_workers > 0)
                argv.insert(argv.end(), {"--workers", std::to_string(options_.screen_workers)});
            if (body.contains("phase") && body["phase"].is_number_integer()) {
                const int ph = body["phase"].get<int>();
                if (ph == 2 || ph == 3) argv.insert(argv.end(), {"--phase", std::to_string(ph)});
            }
            auto job = std::make_shared<ScreenJob>(argv, dir / "journal.jsonl", dir / "report.html", total);
            s->SetScreen(job);
            Reply(res, job->Status());
        } catch (const std::exception& e) {
            return Fail(res, 400, e.what());
        }
    });

    server.Get("/api/screen", [this](const httplib::Request& req, httplib::Response& res) {
        auto s = sessionOf(req, res);
        if (!s) return;
        const auto job = s->Screen();
        if (!job) return Fail(res, 404, "No screen has been started.");
        Reply(res, job->Status());
    });

    // The report is a page of its own (in a frame or a tab), which cannot
    // send the session's header: it names its session in the address.
    server.Get("/api/screen/report", [this](const httplib::Request& req, httplib::Response& res) {
        std::string id = SessionToken(req);
        if (id.empty()) id = req.get_param_value("session");
        auto s = id.empty() ? nullptr : sessions_.Find(id);
        if (!s) return Fail(res, 401, "This report's session has ended; run the screen again.");
        const auto job = s->Screen();
        if (!job || !job->finished() || !fs::exists(job->report()))
            return Fail(res, 404, "The screen has no report (yet).");
        // Its own small script sorts the table; nothing else may load.
        res.set_header("Content-Security-Policy",
                       "default-src 'none'; style-src 'unsafe-inline'; script-src 'unsafe-inline'; img-src data:");
        res.set_header("Referrer-Policy", "no-referrer");
        res.set_content(ReadFile(job->report()), "text/html; charset=utf-8");
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
