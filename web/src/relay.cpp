#include "relay.h"

#include <algorithm>
#include <cctype>

#include "automation/dispatch.h"

namespace ternival::web {

using nlohmann::json;

namespace {

// Members whose first argument names a problem definition file (member
// names compare as the server compares them).
bool TakesProblemFile(std::string_view member) {
    return automation::EqualsNoCase(member, "InitFromVmpdfFile") || automation::EqualsNoCase(member, "OpenVmpdfFile") ||
           automation::EqualsNoCase(member, "CloseVmpdfFile");
}

// The string of an argument given bare or as {"vt": "BSTR", "value": ...}.
const json* StringArgument(const json& arg) {
    if (arg.is_string()) return &arg;
    if (arg.is_object() && arg.value("vt", "") == "BSTR" && arg.contains("value") && arg["value"].is_string())
        return &arg["value"];
    return nullptr;
}

}  // namespace

json RpcError(const json& id, int code, const std::string& message) {
    return {{"jsonrpc", "2.0"}, {"id", id}, {"error", {{"code", code}, {"message", message}}}};
}

bool IsPlainFileName(std::string_view name) {
    if (name.empty() || name.size() > 100 || name.front() == '.' || name.front() == ' ') return false;
    return std::ranges::all_of(name, [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return std::isalnum(u) || c == '.' || c == '-' || c == '_' || c == ' ';
    });
}

bool CheckRequest(const json& request, const std::filesystem::path& files, json& forward, std::string& error) {
    if (!request.is_object() || !request.contains("method") || !request["method"].is_string()) {
        error = "The request is not a JSON-RPC request with a method.";
        return false;
    }
    const std::string method = request["method"];
    // Of the classes only the design extension is created by the page: it
    // works on the session's map in the session's server.  The specified
    // classes come from the session's application object.
    const json& create = request.contains("params") ? request["params"] : json();
    const bool design = method == "create" && create.is_object() && create.contains("class") &&
                        create["class"].is_string() &&
                        automation::EqualsNoCase(create["class"].get<std::string>(), "Ternival.DistillationDesign");
    if (method != "invoke" && method != "release" && method != "typelib" && !design) {
        error = "The method \"" + method + "\" is not offered to the page (invoke, release, typelib, and create of "
                "Ternival.DistillationDesign are).";
        return false;
    }
    forward = request;
    forward["jsonrpc"] = "2.0";
    if (!forward.contains("id")) forward["id"] = nullptr;
    if (method != "invoke") return true;
    const json& params = request.contains("params") ? request["params"] : json();
    if (!params.is_object() || !params.contains("member") || !params["member"].is_string()) {
        error = "A call must name its member (calls by dispatch identifier are not relayed).";
        return false;
    }
    if (params.contains("dispid")) {
        error = "A call must name its member (calls by dispatch identifier are not relayed).";
        return false;
    }
    const std::string member = params["member"];
    if (automation::EqualsNoCase(member, "InitFromVmpdfFileWithCWD")) {
        error = "InitFromVmpdfFileWithCWD is not offered to the page; use InitFromVmpdfFile with a file of the session.";
        return false;
    }
    if (!TakesProblemFile(member)) return true;
    const json& args = params.contains("args") ? params["args"] : json();
    if (!args.is_array() || args.empty()) {
        // CloseVmpdfFile of the application takes no file.
        if (automation::EqualsNoCase(member, "CloseVmpdfFile")) return true;
        error = member + " needs the name of a problem file.";
        return false;
    }
    const json* name = StringArgument(args[0]);
    if (!name) {
        error = member + " takes the name of a problem file as a string.";
        return false;
    }
    const std::string file = name->get<std::string>();
    if (!IsPlainFileName(file)) {
        error = "\"" + file + "\" is not a file name of this session (no folders, at most 100 letters, digits, '.', "
                "'-', '_' or spaces).";
        return false;
    }
    const std::filesystem::path path = files / file;
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) {
        error = "There is no file \"" + file + "\" in this session; upload it or choose an example first.";
        return false;
    }
    forward["params"]["args"][0] = {{"vt", "BSTR"}, {"value", path.string()}};
    return true;
}

}  // namespace ternival::web
