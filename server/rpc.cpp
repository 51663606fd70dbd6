#include "server/rpc.h"

#include <algorithm>
#include <cctype>
#include <exception>

#include <cmath>
#include <cstdlib>

#include "automation/hresult.h"
#include "engine/engine_flash.h"
#include "platform/system.h"
#include "automation/typelib.h"
#include "automation/wire.h"
#include "server/interfaces.h"
#include "server/objects.h"

namespace ternival::server {

using namespace automation;
using nlohmann::json;

namespace {

// The creatable class named by a ProgID (with or without its version) or a
// class identifier.
const CoClassInfo* FindClass(std::string_view name) {
    const std::string version = "." + std::string(kVersion);
    for (const auto& cls : TernivalTypeLibrary().coclasses) {
        if (cls.prog_id.empty()) continue;
        if (EqualsNoCase(name, cls.clsid) || EqualsNoCase(name, cls.prog_id) ||
            EqualsNoCase(name, cls.prog_id + version))
            return &cls;
    }
    return nullptr;
}

std::shared_ptr<DispatchObject> Construct(const CoClassInfo& cls) {
    if (cls.name == "DistillationApp") {
        // A new application starts without a current package.
        return std::make_shared<CDistillationApp>();
    }
    if (cls.name == "AzeotropeSearch") return std::make_shared<CAzeotropeSearch>();
    if (cls.name == "PropertyPackage") return std::make_shared<CPropertyPackage>();
    if (cls.name == "DistillationDesign") return std::make_shared<CDistillationDesign>();
    return nullptr;
}

const json& Field(const json& params, const char* name) {
    static const json kNull;
    if (!params.is_object() || !params.contains(name)) return kNull;
    return params[name];
}

std::int64_t HandleParam(const json& params) {
    const json& h = Field(params, "object");
    if (!h.is_number_integer()) throw RpcError{kRpcInvalidParams, "\"object\" must be an object handle (integer)"};
    return h.get<std::int64_t>();
}

std::string Hex(HRESULT hr) { return HResultHex(hr); }

json ErrorResponse(const json& id, int code, const std::string& message) {
    return {{"jsonrpc", "2.0"}, {"id", id}, {"error", {{"code", code}, {"message", message}}}};
}

// Replies carry texts from the request, the engine and the file system;
// bytes in them that are not UTF-8 are replaced, never allowed to end the
// server.
std::string Dump(const json& reply) { return reply.dump(-1, ' ', false, json::error_handler_t::replace); }

// Deepest nesting of arrays and objects in a line, counted outside strings;
// stops counting once past `limit`.
std::size_t NestingDepth(std::string_view line, std::size_t limit) {
    std::size_t depth = 0, deepest = 0;
    bool in_string = false, escaped = false;
    for (char c : line) {
        if (in_string) {
            if (escaped) escaped = false;
            else if (c == '\\') escaped = true;
            else if (c == '"') in_string = false;
            continue;
        }
        if (c == '"') in_string = true;
        else if (c == '[' || c == '{') {
            deepest = std::max(deepest, ++depth);
            if (deepest > limit) break;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return deepest;
}

}  // namespace

RpcServer::RpcServer() {
    if (const auto limit = platform::GetEnv("TERNIVAL_CALL_TIME_LIMIT")) {
        char* end = nullptr;
        const double seconds = std::strtod(limit->c_str(), &end);
        if (end != limit->c_str() && *end == '\0' && std::isfinite(seconds) && seconds >= 0.0)
            call_time_limit_ = seconds;
    }
}

RpcServer::~RpcServer() { ReleaseAll(); }

void RpcServer::ReleaseAll() {
    // Release in reverse creation order: objects obtained from an
    // application go before it.
    while (!objects_.empty()) objects_.erase(std::prev(objects_.end()));
}

bool RpcServer::Finished() const { return created_any_ && objects_.empty(); }

std::int64_t RpcServer::HandleOf(const std::shared_ptr<DispatchObject>& object) {
    // Every object handed out is a reference of the client's own, released
    // on its own: two calls that return the same object give two handles.
    if (!object) return 0;
    const std::int64_t h = next_handle_++;
    objects_[h] = object;
    return h;
}

std::string RpcServer::RefuseLongLine() const {
    return Dump(ErrorResponse(nullptr, kRpcInvalidRequest,
                              "request line longer than " + std::to_string(kMaxRequestBytes) + " bytes"));
}

std::optional<std::string> RpcServer::HandleLine(std::string_view line) {
    if (line.size() > kMaxRequestBytes) return RefuseLongLine();
    // Deep nesting is refused before the parser (and every recursive walk
    // of the value after it) could exhaust the stack.
    if (NestingDepth(line, kMaxRequestDepth) > kMaxRequestDepth)
        return Dump(ErrorResponse(nullptr, kRpcInvalidRequest,
                                  "request nested deeper than " + std::to_string(kMaxRequestDepth) + " levels"));
    json request;
    try {
        request = json::parse(line);
    } catch (const json::exception& e) {
        return Dump(ErrorResponse(nullptr, kRpcParseError, std::string("parse error: ") + e.what()));
    }
    const bool has_id = request.is_object() && request.contains("id");
    const json id = has_id ? request["id"] : json(nullptr);
    if (!request.is_object() || request.value("jsonrpc", "") != "2.0" || !request.contains("method") ||
        !request["method"].is_string() || (has_id && !(id.is_number() || id.is_string() || id.is_null()))) {
        return Dump(ErrorResponse(id, kRpcInvalidRequest, "invalid request: need jsonrpc \"2.0\" and a method name"));
    }
    json response;
    try {
        json result = Dispatch(request["method"].get<std::string>(), request.value("params", json::object()));
        response = {{"jsonrpc", "2.0"}, {"id", id}, {"result", std::move(result)}};
    } catch (const RpcError& e) {
        response = ErrorResponse(id, e.code, e.message);
    } catch (const std::bad_alloc&) {
        response = ErrorResponse(id, -32603, "out of memory");
    } catch (const std::exception& e) {
        response = ErrorResponse(id, -32603, std::string("internal error: ") + e.what());
    }
    if (!has_id) return std::nullopt;
    return Dump(response);
}

json RpcServer::Dispatch(const std::string& method, const json& params) {
    if (method == "create") return Create(params);
    if (method == "invoke") return Invoke(params);
    if (method == "release") return Release(params);
    if (method == "typelib") return DescribeTypeLibrary(TernivalTypeLibrary());
    throw RpcError{kRpcMethodNotFound, "unknown method \"" + method + "\" (create, invoke, release, typelib)"};
}

json RpcServer::Create(const json& params) {
    const json& name = Field(params, "class");
    if (!name.is_string()) throw RpcError{kRpcInvalidParams, "\"class\" must be a ProgID or a class identifier"};
    const CoClassInfo* cls = FindClass(name.get<std::string>());
    if (!cls) throw RpcError{kRpcClassNotRegistered, "class not registered: " + name.get<std::string>()};
    // Each class object serves one creation request; the next client of
    // that class starts a server of its own.
    if (!cls->multi_use && !classes_used_.insert(cls->name).second)
        throw RpcError{kRpcClassObjectUsed, "the class object of " + cls->name + " has been used; start another server"};
    std::shared_ptr<DispatchObject> object;
    try {
        object = Construct(*cls);
    } catch (const std::bad_alloc&) {
        throw RpcError{-32603, "out of memory (" + Hex(E_OUTOFMEMORY) + ")"};
    }
    created_any_ = true;
    const std::int64_t h = HandleOf(object);
    return {{"object", h}, {"interface", object->Interface().name}, {"clsid", cls->clsid}};
}

json RpcServer::Invoke(const json& params) {
    const std::int64_t h = HandleParam(params);
    auto it = objects_.find(h);
    if (it == objects_.end()) throw RpcError{kRpcUnknownObject, "no object with handle " + std::to_string(h)};
    std::shared_ptr<DispatchObject> object = it->second;
    const InterfaceInfo& info = object->Interface();

    InvokeKind kind = InvokeKind::Method;
    const json& kind_field = Field(params, "kind");
    if (!kind_field.is_null()) {
        const std::string k = kind_field.is_string() ? kind_field.get<std::string>() : "";
        if (EqualsNoCase(k, "method")) kind = InvokeKind::Method;
        else if (EqualsNoCase(k, "get") || EqualsNoCase(k, "propget")) kind = InvokeKind::PropertyGet;
        else if (EqualsNoCase(k, "put") || EqualsNoCase(k, "propput")) kind = InvokeKind::PropertyPut;
        else throw RpcError{kRpcInvalidParams, "\"kind\" must be \"method\", \"get\" or \"put\""};
    }

    DispId dispid = 0;
    const json& member = Field(params, "member");
    const json& dispid_field = Field(params, "dispid");
    HRESULT hr = S_OK;
    if (member.is_string()) {
        hr = info.IdOfName(member.get<std::string>(), dispid);
    } else if (dispid_field.is_number_integer()) {
        dispid = dispid_field.get<DispId>();
    } else {
        throw RpcError{kRpcInvalidParams, "give a member name (\"member\") or a DISPID (\"dispid\")"};
    }
    const MemberInfo* m = Succeeded(hr) ? info.Find(dispid, kind) : nullptr;
    auto fail = [&](HRESULT code) {
        return json{{"hresult", code}, {"hresult_hex", Hex(code)}, {"out", json::array()}};
    };
    if (Failed(hr)) return fail(hr);
    if (!m) return fail(DISP_E_MEMBERNOTFOUND);

    // Arguments: the [in] values alone, or one per declared parameter.
    const json& args_field = Field(params, "args");
    if (!args_field.is_null() && !args_field.is_array())
        throw RpcError{kRpcInvalidParams, "\"args\" must be an array"};
    const json args_json = args_field.is_null() ? json::array() : args_field;
    std::size_t inputs = 0;
    for (const auto& p : m->params) inputs += p.out ? 0 : 1;
    const bool only_inputs = args_json.size() == inputs;
    if (!only_inputs && args_json.size() != m->params.size()) return fail(DISP_E_BADPARAMCOUNT);

    auto lookup = [this](std::int64_t handle) -> std::shared_ptr<DispatchObject> {
        auto found = objects_.find(handle);
        return found == objects_.end() ? nullptr : found->second;
    };
    std::vector<Variant> args(m->params.size());
    std::size_t next = 0;
    for (std::size_t i = 0; i < m->params.size(); ++i) {
        if (only_inputs && m->params[i].out) continue;
        const json& a = args_json[next++];
        if (m->params[i].out) continue;  // the value sent for an [out] slot is not read
        std::string reason;
        if (!FromWire(a, lookup, args[i], reason))
            throw RpcError{kRpcInvalidParams, "argument " + std::to_string(i + 1) + " (" + m->params[i].name +
                                                  "): " + reason};
    }

    try {
        // Every call ends in bounded time: past the limit the flashes are
        // refused, the routine under way gives up, and the call fails with
        // E_ABORT whatever it would have returned.
        const CallLimits limits(call_time_limit_);
        hr = object->Invoke(dispid, kind, args);
        if (CallLimits::OutOfTime()) hr = E_ABORT;
    } catch (const std::bad_alloc&) {
        hr = E_OUTOFMEMORY;
    } catch (const std::exception&) {
        hr = E_FAIL;
    }
    json out = json::array();
    for (std::size_t i = 0; i < m->params.size(); ++i)
        if (m->params[i].out) out.push_back(ToWire(args[i], [this](const auto& o) { return HandleOf(o); }));
    return {{"hresult", hr}, {"hresult_hex", Hex(hr)}, {"out", std::move(out)}};
}

json RpcServer::Release(const json& params) {
    const std::int64_t h = HandleParam(params);
    auto it = objects_.find(h);
    if (it == objects_.end()) throw RpcError{kRpcUnknownObject, "no object with handle " + std::to_string(h)};
    objects_.erase(it);
    json live = json::array();
    for (const auto& [handle, o] : objects_) live.push_back(handle);
    return {{"objects", live}};
}

}  // namespace ternival::server
