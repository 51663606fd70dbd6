#include "numerics/diagnostics.h"

#include <iostream>
#include <map>
#include <mutex>
#include <streambuf>

namespace ternival {
namespace {

class NullBuffer final : public std::streambuf {
protected:
    int_type overflow(int_type ch) override { return traits_type::not_eof(ch); }
    std::streamsize xsputn(const char*, std::streamsize count) override { return count; }
};

struct Registry {
    std::mutex mutex;
    std::map<std::int64_t, std::ostream*> bindings;
};

Registry& registry() {
    static Registry instance;
    return instance;
}

}  // namespace

std::ostream& DiagnosticChannel::Null() {
    static NullBuffer buffer;
    static std::ostream stream(&buffer);
    return stream;
}

std::ostream& DiagnosticChannel::Stream(std::int64_t unit) {
    Registry& reg = registry();
    std::lock_guard lock(reg.mutex);
    if (auto it = reg.bindings.find(unit); it != reg.bindings.end()) return *it->second;
    if (auto it = reg.bindings.find(kDefaultUnit); it != reg.bindings.end()) return *it->second;
    return std::cerr;
}

std::ostream* DiagnosticChannel::Bind(std::int64_t unit, std::ostream* stream) {
    Registry& reg = registry();
    std::lock_guard lock(reg.mutex);
    std::ostream* previous = nullptr;
    if (auto it = reg.bindings.find(unit); it != reg.bindings.end()) {
        previous = it->second;
        if (stream == nullptr) reg.bindings.erase(it);
        else it->second = stream;
    } else if (stream != nullptr) {
        reg.bindings.emplace(unit, stream);
    }
    return previous;
}

std::ostream* DiagnosticChannel::BindNull(std::int64_t unit) { return Bind(unit, &Null()); }

DiagnosticChannel::ScopedBinding::ScopedBinding(std::int64_t unit, std::ostream& stream)
    : unit_(unit), previous_(Bind(unit, &stream)) {}

DiagnosticChannel::ScopedBinding::ScopedBinding(std::int64_t unit, NullSinkTag)
    : unit_(unit), previous_(BindNull(unit)) {}

DiagnosticChannel::ScopedBinding::~ScopedBinding() { Bind(unit_, previous_); }

}  // namespace ternival
