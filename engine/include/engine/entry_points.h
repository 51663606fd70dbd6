// Process-wide slots of the property engine's entry points.  A slot is empty
// when the engine library or the name was not found.  The argument lists are
// those of the engine's C interface: everything by reference, trailing
// blank-padded field lengths by value.
#pragma once

#include <cstdint>

namespace ternival {

using PpFlashFn = void (*)(const std::int64_t*, const double*, const double*, const double*,
                           const std::int64_t*, const std::int64_t*, const std::int64_t*,
                           const std::int64_t*, const std::int64_t*, const double*,
                           const std::int64_t*, const std::int64_t*, const std::int64_t*,
                           const std::int64_t*, double*, double*, double*, double*, double*,
                           double*, double*, double*, double*, double*, double*,
                           const std::int64_t*, double*, double*, std::int64_t*);
using GetCspFn = void (*)(std::int64_t*, std::int64_t*, std::int64_t*, std::int64_t*, double*);
using FiOpStFn = void (*)(const char*, std::int64_t*);
using GlbOpsFn = void (*)(std::int64_t*, const char*);
using PpGIdxFn = void (*)(const char*, std::int64_t*, std::int64_t*, std::int64_t);
using CompQryFn = void (*)(const std::int64_t*, const std::int64_t*, std::int64_t*, char*, char*,
                           char*, double*, double*, std::int64_t*, std::int64_t*, std::int64_t,
                           std::int64_t, std::int64_t);
using LsOpStFn = void (*)(const std::int64_t*, const std::int64_t*, std::int64_t*, char*,
                          std::int64_t);
using SetJmpFn = void (*)(const char*, const char*, const char*, std::int64_t*, std::int64_t,
                          std::int64_t, std::int64_t);
using ClosePdfFn = void (*)();

struct EngineEntryPoints {
    ClosePdfFn close_pdf = nullptr;   // _CLOSEPDF@0
    CompQryFn comp_qry = nullptr;     // _CALL_COMPQRY@52
    LsOpStFn ls_opst = nullptr;       // _CALL_LSOPST@20 (looked up, never called)
    GlbOpsFn glb_ops = nullptr;       // _CALL_GLBOPS@8
    PpGIdxFn pp_gidx = nullptr;       // _CALL_PPGIDX@16
    PpFlashFn pp_flash = nullptr;     // _CALL_PPFLASH@116
    SetJmpFn set_jmp = nullptr;       // _CALLSETJMP@28
    FiOpStFn fi_opst = nullptr;       // _CALL_FIOPST@8
    GetCspFn get_csp = nullptr;       // _GETCSP@20
};

EngineEntryPoints& EngineSlots();

}  // namespace ternival
