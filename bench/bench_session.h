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

// `example` names a file of the examples directory, or is an absolute path.
inline EngineSession& Session(const std::string& example) {
    static std::string current;
    static std::unique_ptr<EngineSession> session;
    if (current != example) {
        session.reset();
        const auto dir = std::filesystem::temp_directory_path() / "ternival-bench";
        std::filesystem::create_directories(dir);
        platform::PutEnv("TERNIVAL_REGISTRY=" + (dir / "registry.ini").string());
        platform::PutEnv("TMP=" + dir.string());
        const std::string path =
            example.starts_with('/') ? example : std::string(TERNIVAL_EXAMPLES_DIR) + "/" + example;
        session = std::make_unique<EngineSession>(path, TERNIVAL_VELMTOP);
        current = example;
    }
    return *session;
}

}  // namespace ternival::bench
