// An engine opened on one problem definition file, for programs that use
// the numerical routines in-process (command-line tools, benchmarks).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/property_engine.h"

namespace ternival {

inline constexpr std::size_t kComponentIdLength = 8;

// Engine index of a component ID, compared on its first 8 characters
// (trailing blanks ignored); 0 when unknown or when no engine is loaded.
std::int64_t LookupComponentIndex(std::string_view id);

struct ComponentInfo {
    std::string id;
    double mw = 0.0;
    double normal_boiling_point = 0.0;
};

// Components of the open problem, in engine order.
std::vector<ComponentInfo> EngineComponents();

class EngineSession {
public:
    // Registers `default_velmtop` as the simulator location when the
    // registry has none (as an installer would), loads the engine and opens
    // the file.  Check ok() / error() afterwards.
    EngineSession(std::string_view pdf, std::string_view default_velmtop);
    ~EngineSession();
    EngineSession(const EngineSession&) = delete;
    EngineSession& operator=(const EngineSession&) = delete;

    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }
    PropertyEngine& engine() { return *engine_; }

private:
    std::unique_ptr<PropertyEngine> engine_;
    std::string error_;
};

}  // namespace ternival
