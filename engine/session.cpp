#include "engine/session.h"

#include <array>

#include "engine/entry_points.h"
#include "platform/registry.h"
#include "platform/system.h"

namespace ternival {

std::int64_t LookupComponentIndex(std::string_view id) {
    const auto lookup = EngineSlots().pp_gidx;
    if (!lookup) return 0;
    // IDs compare on their first 8 characters: a longer name is the
    // component its first 8 name ("CHLOROFMXX" is CHLOROFM).
    id = id.substr(0, kComponentIdLength);
    const auto end = id.find_last_not_of(' ');
    id = end == std::string_view::npos ? std::string_view{} : id.substr(0, end + 1);
    if (id.empty()) return 0;
    std::array<char, 10> field;
    field.fill(' ');
    for (std::size_t i = 0; i < std::min<std::size_t>(id.size(), field.size()); ++i) field[i] = id[i];
    std::int64_t index = 0, second = 0;
    lookup(field.data(), &index, &second, 8);
    return index;
}

std::vector<ComponentInfo> EngineComponents() {
    std::vector<ComponentInfo> out;
    const auto query = EngineSlots().comp_qry;
    if (!query) return out;
    std::int64_t mode = 0, item = 0, count = 0, o1 = 0, o2 = 0;
    std::array<char, 8> id{};
    std::array<char, 12> name{};
    std::array<char, 16> formula{};
    double d1 = 0.0, mw = 0.0;
    query(&mode, &item, &count, id.data(), name.data(), formula.data(), &d1, &mw, &o1, &o2, 8, 12, 16);
    mode = 1;
    for (item = 1; item <= count; ++item) {
        query(&mode, &item, &count, id.data(), name.data(), formula.data(), &d1, &mw, &o1, &o2, 8, 12, 16);
        std::string s(id.data(), id.size());
        s.erase(s.find_last_not_of(' ') + 1);
        out.push_back({s, mw, d1});
    }
    return out;
}

EngineSession::EngineSession(std::string_view pdf, std::string_view default_velmtop)
    : engine_(std::make_unique<PropertyEngine>()) {
    const std::string key = "SOFTWARE\\Corvath\\Velmora\\" + std::string(kEngineVersion) + "\\velmora";
    if (!platform::RegistryReadString(key, "velmtop") && !default_velmtop.empty())
        platform::RegistryWriteString(key, "velmtop", default_velmtop);
    if (!platform::FileExists(pdf)) {
        error_ = std::string(pdf) + ": no such problem definition file";
        return;
    }
    LoadPropertyEngine(*engine_);
    if (!engine_->library.loaded()) {
        error_ = "property engine not found (registry " + platform::RegistryFilePath() + ", key " + key + ")";
        return;
    }
    SetCurrentFlashSettings(&engine_->settings);
    if (!InitializeEngine(*engine_, pdf)) error_ = std::string(pdf) + ": the property engine could not open it";
}

EngineSession::~EngineSession() {
    if (engine_->open) CloseEngine(*engine_);
    SetCurrentFlashSettings(nullptr);
}

}  // namespace ternival
