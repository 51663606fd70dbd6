// Shared set-up of the benchmarks: a private registry and TMP directory and
// an engine session on one of the examples.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "engine/session.h"
#include "platform/registry.h"
#include "platform/system.h"

namespace ternival::bench {

// `example` names a file of the examples directory, or is an absolute path.
inline EngineSession& Session(const std::string& example) {
    static std::string current;
    static std::unique_ptr<EngineSession> session;
    if (current != example) {
        session.reset();
        // The registry and run files of this build, under its own folder: a
        // registry shared by two builds would load the other build's engine.
        const std::filesystem::path dir = TERNIVAL_BENCH_DIR;
        std::filesystem::create_directories(dir);
        platform::PutEnv("TERNIVAL_REGISTRY=" + (dir / "registry.ini").string());
        platform::PutEnv("TMP=" + dir.string());
        const auto velmtop = platform::RegistryReadString("SOFTWARE\\Corvath\\Velmora\\38.0\\velmora", "velmtop");
        if (velmtop && *velmtop != TERNIVAL_VELMTOP) {
            std::fprintf(stderr, "ternival_bench: the registry %s names the engine of another build (%s, not %s)\n",
                         (dir / "registry.ini").c_str(), velmtop->c_str(), TERNIVAL_VELMTOP);
            std::exit(3);
        }
        const std::string path =
            example.starts_with('/') ? example : std::string(TERNIVAL_EXAMPLES_DIR) + "/" + example;
        session = std::make_unique<EngineSession>(path, TERNIVAL_VELMTOP);
        current = example;
    }
    return *session;
}

}  // namespace ternival::bench
