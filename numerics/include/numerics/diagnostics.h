// Process-wide registry of diagnostic output units.
//
// The numerical routines write their diagnostic lines to a numbered unit
// rather than straight to a stream.  Unit 0 is the default diagnostic stream
// (std::cerr unless rebound).  Any unit that has no binding of its own writes
// wherever unit 0 currently writes, so binding unit 0 to the null sink
// silences every unbound unit at once.
//
// The registry is plain process-wide data; the bindings are guarded by a
// mutex, the streams themselves are not (the server runs on one thread).
#pragma once

#include <cstdint>
#include <ostream>

namespace ternival {

class DiagnosticChannel {
public:
    static constexpr std::int64_t kDefaultUnit = 0;

    // Tag for binding a unit to the null sink.
    struct NullSinkTag {};
    static constexpr NullSinkTag null_sink{};

    // The stream a unit writes to right now: its own binding, else the
    // binding of unit 0, else std::cerr.
    static std::ostream& Stream(std::int64_t unit);

    // Binds `unit` to `stream` (not owned; it must outlive the binding).
    // nullptr removes the unit's own binding.  Returns the previous binding
    // of that unit (nullptr when it had none).
    static std::ostream* Bind(std::int64_t unit, std::ostream* stream);

    // Binds `unit` to a stream that discards everything.
    static std::ostream* BindNull(std::int64_t unit);

    // The shared stream that discards everything written to it.
    static std::ostream& Null();

    // RAII binding: binds on construction, restores the unit's previous
    // binding (or its absence) on destruction.
    class ScopedBinding {
    public:
        ScopedBinding(std::int64_t unit, std::ostream& stream);
        ScopedBinding(std::int64_t unit, NullSinkTag);
        ~ScopedBinding();
        ScopedBinding(const ScopedBinding&) = delete;
        ScopedBinding& operator=(const ScopedBinding&) = delete;

    private:
        std::int64_t unit_;
        std::ostream* previous_;
    };
};

}  // namespace ternival
