// Shared set-up of the benchmarks: a private registry and TMP directory and
// an engine session on one of the examples.
#pragma once

#include <benchmark/benchmark.h>

#include <filesystem>
#include <memory>
#include <string>

#include "engine/session.h"
#include "platform/system.h"

namespace ternival::bench {

inline EngineSession& Session(const std::string& example) {
    static std::string current;
    static std::unique_ptr<EngineSession> session;
    if (current != example) {
        session.reset();
        const auto dir = std::filesystem::temp_directory_path() / "ternival-bench";
        std::filesystem::create_directories(dir);
        platform::PutEnv("TERNIVAL_REGISTRY=" + (dir / "registry.ini").string());
        platform::PutEnv("TMP=" + dir.string());
        session = std::make_unique<EngineSession>(std::string(TERNIVAL_EXAMPLES_DIR) + "/" + example,
                                                  TERNIVAL_VELMTOP);
        current = example;
    }
    return *session;
}

}  // namespace ternival::bench
