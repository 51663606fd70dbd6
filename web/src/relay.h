// What a browser may send on to its session's automation server.  The
// browser speaks the server's own JSON-RPC protocol; the web server checks
// each request and rewrites the file names it carries, so that a page can
// only open files of its own session's directory.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace ternival::web {

// JSON-RPC error codes of refusals made here (the server's own codes stay
// as the server sends them).
inline constexpr int kRelayRefused = -32010;

// A JSON-RPC error response to the request with this id.
nlohmann::json RpcError(const nlohmann::json& id, int code, const std::string& message);

// A name of a file directly inside a session's directory: 1 to 100
// characters of letters, digits, '.', '-', '_' and ' ', not starting with
// '.' or ' '.
bool IsPlainFileName(std::string_view name);

// Checks one request of a browser.  On success returns true and sets
// `forward` to the request to send to the server (file names made into
// paths under `files`); otherwise sets `error` to one sentence for the
// page.  Refused: anything but "invoke", "release", "typelib" and the
// "create" of the design extension (Ternival.DistillationDesign); calls
// by dispatch identifier; a problem file that is not a plain name of an
// existing file of `files`; InitFromVmpdfFileWithCWD.
bool CheckRequest(const nlohmann::json& request, const std::filesystem::path& files, nlohmann::json& forward,
                  std::string& error);

}  // namespace ternival::web
