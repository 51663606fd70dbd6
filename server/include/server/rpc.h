// The server's transport: JSON-RPC 2.0, one request per line on standard
// input, one response per line on standard output.
//
//   create   {"class": ProgID | "{CLSID}"}     -> {"object", "interface", "clsid"}
//   invoke   {"object", "member" | "dispid", "kind": "method"|"get"|"put",
//             "args": [...]}                    -> {"hresult", "hresult_hex", "out": [...]}
//   release  {"object"}                         -> {"objects": live handles}
//   typelib  {}                                 -> the type library description
//
// A member's failure is not a protocol error: it comes back as its HRESULT.
// Protocol errors (unreadable line, unknown method or handle, malformed
// values) are JSON-RPC errors and leave the server as it was.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "automation/dispatch.h"

namespace ternival::server {

// JSON-RPC error codes beyond the standard ones.
inline constexpr int kRpcParseError = -32700;
inline constexpr int kRpcInvalidRequest = -32600;
inline constexpr int kRpcMethodNotFound = -32601;
inline constexpr int kRpcInvalidParams = -32602;
inline constexpr int kRpcClassNotRegistered = -32001;  // unknown or non-creatable class
inline constexpr int kRpcClassObjectUsed = -32002;     // single use: start another server
inline constexpr int kRpcUnknownObject = -32003;

// Limits of one request line: its length and the nesting of its arrays and
// objects.  Larger requests are refused with kRpcInvalidRequest.
inline constexpr std::size_t kMaxRequestBytes = 4u << 20;
inline constexpr std::size_t kMaxRequestDepth = 64;

// Seconds one invoke may compute before it is abandoned with E_ABORT, unless
// the environment variable TERNIVAL_CALL_TIME_LIMIT says otherwise.
inline constexpr double kDefaultCallTimeLimit = 120.0;

class RpcServer {
public:
    RpcServer();
    ~RpcServer();

    // Handles one request line; the response line, or nullopt for a
    // notification (a request without "id").
    std::optional<std::string> HandleLine(std::string_view line);
    // The reply to a request line longer than kMaxRequestBytes.
    std::string RefuseLongLine() const;

    // True once the last object has been released.
    bool Finished() const;
    std::size_t LiveObjects() const { return objects_.size(); }
    // Releases every object still held (the client has gone).
    void ReleaseAll();

private:
    nlohmann::json Dispatch(const std::string& method, const nlohmann::json& params);
    nlohmann::json Create(const nlohmann::json& params);
    nlohmann::json Invoke(const nlohmann::json& params);
    nlohmann::json Release(const nlohmann::json& params);
    std::int64_t HandleOf(const std::shared_ptr<automation::DispatchObject>& object);

    std::map<std::int64_t, std::shared_ptr<automation::DispatchObject>> objects_;
    std::int64_t next_handle_ = 1;
    std::set<std::string> classes_used_;
    bool created_any_ = false;
    // Seconds one invoke may compute (TERNIVAL_CALL_TIME_LIMIT; 0: none).
    double call_time_limit_ = kDefaultCallTimeLimit;
};

// Thrown inside the dispatcher for protocol errors.
struct RpcError {
    int code;
    std::string message;
};

}  // namespace ternival::server
