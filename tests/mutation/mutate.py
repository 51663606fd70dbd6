#!/usr/bin/env python3
"""Mutation check: applies deliberate breakages of the code one at a time,
rebuilds, runs the test suite and names every breakage that no test
notices (a survivor).  Each breakage is an exact text replacement in one
source file of a copy of the sources (DIR-src beside the build), so the
working tree is never touched; the file is restored afterwards whatever
happens.

    tests/mutation/mutate.py [--build DIR] [--only SUBSTRING[|SUBSTRING...]]

Exit status 0 when every breakage is caught, 1 when one survives, 2 when a
breakage no longer applies (its text is not in the source) or the
unbroken suite fails.  Run by `make mutation`; not part of CI.
"""
import argparse
import os
import pathlib
import shutil
import signal
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[2]

# (name, file, original text, broken text), or (name, file, [(original,
# broken), ...]) for a breakage made of several replacements.
MUTATIONS = [
    ("RCM_JAC returns the identity", "rcm/residue_equations.cpp",
     "pd[j * m + i] = (i == j ? 1.0 : 0.0) - (vp[i] - vm[i]) / h;",
     "pd[j * m + i] = (i == j ? 1.0 : 0.0);"),
    ("residue-curve step control accepts moves up to 0.3", "rcm/residue_curve.cpp",
     "constexpr double kMaxMove2 = 0.05 * 0.05;",
     "constexpr double kMaxMove2 = 0.3 * 0.3;"),
    ("isovolatility tolerance 1e-2 instead of 5e-4", "rcm/isovolatility.cpp",
     "constexpr double kTolerance = 0.0005;",
     "constexpr double kTolerance = 0.01;"),
    ("isovolatility predictor slope sign flipped", "rcm/isovolatility.cpp",
     "slope = d1 == 0.0 ? 1e30 : -d3 / d1;",
     "slope = d1 == 0.0 ? 1e30 : d3 / d1;"),
    ("ternary retry stores pure-component codes at the wrong index", "azeotrope/search.cpp",
     "out.pure_codes[order[k]] = azeo::Classify(",
     "out.pure_codes[k] = azeo::Classify("),
    ("ternary retry tries one order six times", "azeotrope/search.cpp",
     "searchPass(n, pressure, phase, method, ids, kOrders[t], capacity, result, error);",
     "searchPass(n, pressure, phase, method, ids, kOrders[0], capacity, result, error);"),
    ("heterogeneity threshold 0.2 instead of 0.01", "azeotrope/location.cpp",
     "constexpr double kHeterogeneityThreshold = 0.01;",
     "constexpr double kHeterogeneityThreshold = 0.2;"),
    ("secant step cut only in iteration 1", "azeotrope/location.cpp",
     "constexpr int kSecantGuardedIterations = 8;",
     "constexpr int kSecantGuardedIterations = 2;"),
    ("direction rule of the first secant trial point reversed", "azeotrope/location.cpp",
     "double xt = xt_prev >= 0.99 ? xt_prev - 0.01 : xt_prev + 0.01;",
     "double xt = xt_prev >= 0.99 ? xt_prev + 0.01 : xt_prev - 0.01;"),
    ("search leaves its diagnostic channel unbound", "azeotrope/search.cpp",
     "    const DiagnosticChannel::ScopedBinding quiet_search(kAzeotropeDiagnosticUnit,\n"
     "                                                        DiagnosticChannel::null_sink);\n",
     ""),
    ("FUNEQ: rho > 1.5 threshold moved to 3", "numerics/funeq.cpp",
     "if (rho_a > 1.5) return Stage::Iterate;",
     "if (rho_a > 3.0) return Stage::Iterate;"),
    ("FUNEQ: slow-progress limit raised", "numerics/funeq.cpp",
     "if (I(io::kSlow) > std::min<std::int64_t>(n64_ + 4, 10)) {",
     "if (I(io::kSlow) > std::min<std::int64_t>(n64_ + 40, 100)) {"),
    # (Shifting every ring slot alike would change nothing: the ring is read
    # and written through the one index.)
    ("FUNEQ: ring read four iterations back instead of five", "numerics/funeq.cpp",
     "const double rho5 = R(RingIndex(k - 5));",
     "const double rho5 = R(RingIndex(k - 4));"),
    ("FUNEQ: Broyden update skipped", "numerics/funeq.cpp",
     "            UpdateLU(n64_, model_, step_, b_, ldb_, R(ro::kPrec));\n",
     ""),
    # The upper clamp of lambda (0.5) can never act: descent <= 2 and
    # rho_a >= 1.1 keep 0.5 * descent / (rho_a^2 - 1 + descent) below it.
    ("FUNEQ: lambda clamped at 0.01 instead of 0.1", "numerics/funeq.cpp",
     "if (!(lambda >= 0.1)) lambda = 0.1;",
     "if (!(lambda >= 0.01)) lambda = 0.01;"),
    ("FUNEQ: convergence count 5 instead of 3", "numerics/funeq.cpp",
     "if (I(io::kConverged) >= 3 || (I(io::kColumn) == 1 && psi >= phi))",
     "if (I(io::kConverged) >= 5 || (I(io::kColumn) == 1 && psi >= phi))"),
    ("FUNEQ: forward difference accepted at 1e-3 instead of 1e-2", "numerics/funeq.cpp",
     "if (ad > 0.01 * ah) {",
     "if (ad > 0.001 * ah) {"),
    ("EngineFlash hands the engine restart mode always", "engine/engine_flash.cpp",
     "yy.data(), w24.data(), w25.data(), &start, w27.data(), &out28, &err);",
     "yy.data(), w24.data(), w25.data(), &one, w27.data(), &out28, &err);"),
    ("EngineFlash writes its outputs before rejecting a bad call", "engine/engine_flash.cpp",
     "    if (n < 0 || count > kMaxFlashComponents || ids.size() < count || z.size() < count ||\n"
     "        y.size() < count || x.size() < count || x1.size() < count || x2.size() < count) {\n"
     "        error = -1;",
     "    if (n < 0 || count > kMaxFlashComponents || ids.size() < count || z.size() < count ||\n"
     "        y.size() < count || x.size() < count || x1.size() < count || x2.size() < count) {\n"
     "        std::fill(y.begin(), y.end(), 0.0);\n"
     "        t = 0.0;\n"
     "        error = -1;"),
    ("run log created where TMP names no directory", "engine/run_log.cpp",
     [("#include <cstdio>", "#include <cstdio>\n#include <filesystem>"),
      ("    std::FILE* f = std::fopen(path.c_str(), \"a\");\n    if (!f) return;",
       "    std::FILE* f = std::fopen(path.c_str(), \"a\");\n"
       "    if (!f && platform::GetEnv(\"TMP\")) {\n"
       "        std::filesystem::create_directories(*platform::GetEnv(\"TMP\"));\n"
       "        f = std::fopen(path.c_str(), \"a\");\n"
       "    }\n"
       "    if (!f) return;")]),
    ("RegServer goes on to serve", "server/main.cpp",
     "                std::fprintf(stderr, \"ternival-server: unable to write the registry\\n\");\n"
     "                return 1;\n"
     "            }\n"
     "            return 0;",
     "                std::fprintf(stderr, \"ternival-server: unable to write the registry\\n\");\n"
     "                return 1;\n"
     "            }\n"
     "            break;"),
    ("LSODA LU interchanges whole rows, earlier multipliers included", "numerics/lsoda.cpp",
     "for (std::size_t j = k; j < n; ++j) std::swap(wm_[p + j * n], wm_[k + j * n]);",
     "for (std::size_t j = 0; j < n; ++j) std::swap(wm_[p + j * n], wm_[k + j * n]);"),
    ("NRTL closed-form derivative drops a term", "propcore/src/activity.cpp",
     "(tau_[i * n + j] + tau_[k * n + j] - 2.0 * ej)",
     "(tau_[i * n + j] + tau_[k * n + j] - ej)"),
    ("UNIFAC group interaction matrix read transposed", "propcore/src/activity.cpp",
     "[&](std::size_t i, std::size_t j) { return psi_[i * g_ + j]; }",
     "[&](std::size_t i, std::size_t j) { return psi_[j * g_ + i]; }"),
    ("two-liquid split without its Newton stage", "propcore/src/flash.cpp",
     "const bool newton = n <= kMaxDual;",
     "const bool newton = false;"),
    ("dew points stop at the one-liquid dew root", "propcore/src/flash.cpp",
     "if (r.status == kConverged) r.status = firstCondensation(m, p, z, o, r.t, x);",
     ""),
    ("two-phase dew points stop at the one-liquid dew root", "propcore/src/flash.cpp",
     "if (r.status == kConverged) r.status = firstCondensation(m, p, z, o, r.t, x);",
     "if (phase == 3 && r.status == kConverged) r.status = firstCondensation(m, p, z, o, r.t, x);"),
    ("heteroazeotropes not refined", "azeotrope/location.cpp",
     "        polishHeteroazeotrope(n, phase, pressure, method, ids, x, temperature);\n    } else {",
     "    } else {"),
    ("complete search skips the binary scans", "azeotrope/complete_search.cpp",
     "for (std::size_t j = i + 1; j < un; ++j) scanBinary(ids, i, j, pressure, phase, method, un, points);",
     "for (std::size_t j = i + 1; j < un; ++j) (void)j;"),
    ("databank pairs turned round without swapping their parameters", "propcore/src/databank.cpp",
     "        std::swap(p.bij, p.bji);\n",
     ""),
    ("complete search keeps the classic limit on sub-mixtures", "azeotrope/complete_search.cpp",
     "const azeo::ScopedSubMixtureMemory unlimited(std::numeric_limits<std::int64_t>::max());",
     "const azeo::ScopedSubMixtureMemory unlimited(kAzeoMaxNoAzeotrope);"),
    ("complete search without the winding starts", "azeotrope/complete_search.cpp",
     "    windingStarts(ids, members, pressure, phase, method, starts);\n",
     ""),
    ("complete search keeps classic rows that slid to a face", "azeotrope/complete_search.cpp",
     "        if (slidToAFace(ids, p, pressure, phase, method)) continue;\n",
     ""),
    ("web relay passes calls by dispatch identifier", "web/src/relay.cpp",
     'if (params.contains("dispid")) {',
     "if (false) {"),
    ("web uploads take any file name", "web/src/web_app.cpp",
     "        if (!IsPlainFileName(name))\n            return Fail(res, 400,",
     "        if (name.empty())\n            return Fail(res, 400,"),
    ("web abandon does not end the running server", "web/src/sessions.cpp",
     "    abandoned_ = true;\n    {\n        std::lock_guard plock(process_mu_);\n        if (process_) process_->Kill();\n    }\n",
     "    abandoned_ = true;\n"),
    ("compositions read with their third value", "server/distillation_map.cpp",
     "x[2] = std::max(0.0, 1.0 - x[0] - x[1]);",
     "x[2] = std::max(0.0, values.size() > 2 ? values[2] : 1.0 - x[0] - x[1]);"),
    ("IDs longer than 8 characters name no component", "engine/session.cpp",
     "id = id.substr(0, kComponentIdLength);",
     "if (id.size() > kComponentIdLength) return 0;"),
    ("azeotrope table refused after a change of pressure", "server/azeotrope_search_object.cpp",
     "if (now.generation != searched_for_.generation || now.ids != searched_for_.ids) return E_FAIL;",
     "if (now != searched_for_) return E_FAIL;"),
    ("LLE envelope refused at zero temperature", "server/map_envelopes.cpp",
     "if (!ready() || !std::isfinite(temperature)) return E_FAIL;",
     "if (!ready() || !std::isfinite(temperature) || temperature <= 0.0) return E_FAIL;"),
    ("pure-component properties limited to twenty components", "azeotrope/search.cpp",
     "if (n < 1 || nn > kMaxFlashComponents || ids.size() < nn || boiling.size() < nn ||",
     "if (n < 1 || n > kAzeoMaxComponents || ids.size() < nn || boiling.size() < nn ||"),
    ("boundaries of a fresh map without boiling points", "server/distillation_map.cpp",
     "        PureComponentProperties(3, pressure, ids_, data_.opset, data_.phase, st, sc, kvalues, pure_error);\n",
     ""),
    ("search of no components reports nothing", "server/azeotrope_search_object.cpp",
     "        LogRunMessage(509, \"Azeo_Search\");\n",
     ""),
    ("short names numbered in name order", "platform/system.cpp",
     "for (auto& s : siblings) order.emplace_back(BirthTime(dir / s), std::move(s));",
     "for (auto& s : siblings) order.emplace_back(std::nullopt, std::move(s));"),
    ("refused flashes past the time limit are logged", "engine/run_log.cpp",
     "    if (CallLimits::OutOfTime()) return;\n",
     ""),
    ("map's pure properties hide a failed boiling point", "server/distillation_map.cpp",
     "if (Succeeded(hr) && search_->pure_error() != 0) reportFlashError(search_->pure_error());",
     "(void)hr;"),
    ("map's azeotropes hide a failed topological check", "server/distillation_map.cpp",
     "if (TopologicalIndex(sizes, std::span(codes).first(sizes.size())) != 2) {",
     "if (TopologicalIndex(sizes, std::span(codes).first(sizes.size())) == 99) {"),
    ("map's azeotropes hide singular points beyond the data", "server/distillation_map.cpp",
     "        if (error != 0) {\n            reportFlashError(error);",
     "        if (error == 99) {\n            reportFlashError(error);"),
    ("vapour pressures without a range reach down to 0 K", "propcore/src/abi.cpp",
     "        if (!c.tmin && c.tc && t < kLowestReducedTemperature * *c.tc) return false;\n",
     ""),
    ("an all-vapour two-phase flash takes no second look", "propcore/src/flash.cpp",
     "if (beta < 1.0 || !VapourCondenses(m, t, p, z, liquid)) return r;",
     "if (beta <= 2.0) return r;"),
    ("a three-phase flash keeps a liquid that splits again", "propcore/src/flash.cpp",
     "if (LiquidUnstable(m, t, r.x1, third)) r.status = kNotConverged;",
     "(void)third;"),
    ("the liquid check trusts a failed three-phase flash", "azeotrope/liquid_check.cpp",
     "return err2 == 0 && vf2 <= 0.0;",
     "return err2 == 12345;"),
    ("homogeneous azeotropes not polished", "azeotrope/location.cpp",
     "if (azeo::NewtonOnYMinusX(ids.first(count), x.first(count), pressure, phase, method, kPolishResidual, at)) {",
     "if (false && azeo::NewtonOnYMinusX(ids.first(count), x.first(count), pressure, phase, method, kPolishResidual, at)) {"),
    ("a map past its time limit is drawn", "tools/cmd_map.cpp",
     "        if (CallLimits::Expired()) throw ComputeError(\"the time limit was reached before the map was complete\");\n",
     ""),
    ("web: slow requests are never cut", "web/src/connection_watch.cpp",
     "if (e.handling || now <= e.deadline) continue;",
     "continue;"),
    ("web: bodies are read to their end", "web/src/web_app.cpp",
     "        if (body.size() + n > limit) {\n            over = true;",
     "        if (false) {\n            over = true;"),
    ("web: requests of other origins are served", "web/src/web_app.cpp",
     "if (!from.empty() && from != \"http://\" + host) {",
     "if (false) {"),
    ("web: batches have no time budget", "web/src/web_app.cpp",
     "if (Clock::now() - started > options_.batch_budget)",
     "if (false)"),
    ("web: silent tabs keep their sessions", "web/src/sessions.cpp",
     "now - it->second->last_heard() > limits_.heartbeat)) {",
     "false)) {"),
    ("web: folders of killed web servers stay", "web/src/sessions.cpp",
     "if (fs::remove_all(e.path(), ec) > 0 && !ec) ++removed;",
     "(void)ec;"),
    ("problem files of any number of components", "propcore/src/problem.cpp",
     "    if (comps->size() > kMaxComponents)\n",
     "    if (false)\n"),
    ("the run log is never set aside", "engine/run_log.cpp",
     "if (::stat(path.c_str(), &st) == 0 && st.st_size >= kRunLogMaxBytes)",
     "if (false)"),
    ("problem-file messages keep control characters", "propcore/src/problem.cpp",
     "throw ProblemError(Printable(o.str()));",
     "throw ProblemError(o.str());"),
    ("databank files keep two phases for liquids that split", "propcore/src/problem_writer.cpp",
     "if (const std::string where = WhereTheLiquidSplits(written, pressure); !where.empty()) {",
     "if (const std::string where = WhereTheLiquidSplits(written, pressure); where == \"never\") {"),
    ("the design extension finds no liquid that splits", "server/distillation_design.cpp",
     "flags[a] = LiquidSplitsAtBubblePoint(3, map_->ids_, map_->data_.opset, map_->pressure, xa, t[3 + a]) ? 1 : 0;",
     "flags[a] = 0;"),
    ("the design extension cannot choose the complete search", "server/azeotrope_search_object.cpp",
     "    if (complete_)\n",
     "    if (false)\n"),
    ("the saturated acid vapour taken as ideal", "propcore/src/vapour.cpp",
     "                return std::log(z);\n",
     "                return 0.0 * std::log(z);\n"),
    ("bubble points stop before the vapour correction settles", "propcore/src/flash.cpp",
     "        if (std::abs(g) < o.tolerance && change < o.tolerance) return kConverged;",
     "        if (std::abs(g) < o.tolerance) return kConverged;"),
    ("other flashes apply the vapour correction once, not renewed", "propcore/src/flash.cpp",
     "            if (maxDiff(g, c) < o.tolerance) {",
     "            if (true) {"),
    ("databank acid pairs are kept with dimers", "propcore/src/problem.cpp",
     "                                db.reset();\n                            }",
     "                            }"),
    ("acid pairs fitted with dimers are not looked up", "propcore/src/problem.cpp",
     "chem = Databank::Get().FindPair(\"NRTL_CHEMICAL\", ci.cas, cj.cas);",
     "chem = std::nullopt;"),
    ("an exactly determined fit claims uncertainties", "propcore/src/regression.cpp",
     "    rep.exact = n == 2;",
     "    rep.exact = false;"),
    ("an exact fit that misses its data is a success", "propcore/src/regression.cpp",
     "        if (rep.converged && best > 1e-4) {",
     "        if (false) {"),
    ("a fit takes fewer equations than parameters", "propcore/src/regression.cpp",
     "    if (residuals < static_cast<std::size_t>(parameters))",
     "    if (residuals + 1 < static_cast<std::size_t>(parameters))"),
    ("mixed acid dimers form as readily as like ones", "propcore/src/vapour.cpp",
     "                w[a * m + b] = 2.0 * std::sqrt(constant(a, t) * constant(b, t)) * p;",
     "                w[a * m + b] = (a == b ? 2.0 : 1.0) * std::sqrt(constant(a, t) * constant(b, t)) * p;"),
    ("the virial polar terms are ignored", "propcore/src/vapour.cpp",
     "    const double f2 = a * r6 - b * r8;",
     "    const double f2 = 0.0 * (a * r6 - b * r8);"),
    ("databank acids keep an ideal vapour", "propcore/src/problem_writer.cpp",
     "    if (vapour == \"auto\" && acids)",
     "    if (vapour == \"auto\" && false)"),
    ("a fitted tie line balances one component only", "propcore/src/regression.cpp",
     "                for (int i = 0; i < 2; ++i) {\n                    const double v = (std::log(xa[i])",
     "                for (int i = 0; i < 1; ++i) {\n                    const double v = (std::log(xa[i])"),
    ("the point test of consistency always passes", "propcore/src/regression.cpp",
     "        c.point_ok = c.mean_dy < 0.01;",
     "        c.point_ok = true;"),
    ("fit data whose temperatures turn thrice are taken", "propcore/src/regression.cpp",
     "                if (reversals > 2)",
     "                if (reversals > 200)"),
    ("two liquids are kept even where their bubble pressure is above p", "propcore/src/flash.cpp",
     "        if (bubble_sum <= 1.0) {",
     "        if (bubble_sum <= 1.0 || true) {"),
    ("registry writers do not take turns", "platform/registry.cpp",
     "    const WriteLock lock;\n    auto sections = readFile();\n    Section* s = find(sections, key);\n    if (!s) {",
     "    auto sections = readFile();\n    Section* s = find(sections, key);\n    if (!s) {"),
    ("complete search's Newton gives up near any face", "azeotrope/newton.cpp",
     "if (zz[c] < 1e-3 && std::abs(at.y[c] - zz[c]) > 0.05 * zz[c]) return false;",
     "if (zz[c] < 0.05) return false;"),
]


def run(cmd, log, timeout=None):
    with open(log, "a") as out:
        out.write(f"\n$ {' '.join(cmd)}\n")
        out.flush()
        return subprocess.run(cmd, stdout=out, stderr=subprocess.STDOUT, timeout=timeout).returncode


def build_and_test(build, log, exclude=""):
    jobs = str(os.cpu_count() or 2)
    if run(["cmake", "--build", build, "-j", jobs], log) != 0:
        return "build failed"
    try:
        # The first failure settles it: a caught breakage need not run the rest.
        rc = run(["ctest", "--test-dir", build, "-j", jobs, "--timeout", "300", "--stop-on-failure"] +
                 (["-E", exclude] if exclude else []), log, timeout=1800)
    except subprocess.TimeoutExpired:
        return "killed (suite timed out)"
    return "survived" if rc == 0 else "killed"


def main():
    # However the run is stopped, the source being broken is restored (the
    # `finally` below): turn the stop signals into exceptions.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(3))
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=str(ROOT / "build-mutation"))
    parser.add_argument("--only", default="",
                        help="run only the breakages whose name contains this text (several: separated by |)")
    parser.add_argument("--exclude", default="",
                        help="leave out the tests matching this regular expression (ctest -E), for a quicker look")
    args = parser.parse_args()
    build = args.build
    log = pathlib.Path(build + ".log")
    log.write_text("")
    # The sources as they stand, copied: breakages are made in the copy.
    src = pathlib.Path(build + "-src")
    tracked = subprocess.run(["git", "-C", str(ROOT), "ls-files", "--cached", "--others", "--exclude-standard"],
                             capture_output=True, text=True, check=True).stdout.split("\n")
    for name in filter(None, tracked):
        if (ROOT / name).is_file():
            # Only what changed is copied, with the time of the copy: a build
            # folder kept from an earlier run then rebuilds exactly that.
            (src / name).parent.mkdir(parents=True, exist_ok=True)
            if not (src / name).is_file() or (src / name).read_bytes() != (ROOT / name).read_bytes():
                shutil.copyfile(ROOT / name, src / name)
    if run(["cmake", "-S", str(src), "-B", build, "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DTERNIVAL_BENCH=OFF"],
           log) != 0:
        print("mutation: cannot configure the build", file=sys.stderr)
        return 2
    chosen = [(m[0], m[1], m[2] if len(m) == 3 else [(m[2], m[3])])
              for m in MUTATIONS if any(part in m[0] for part in args.only.split("|"))]
    for name, path, edits in chosen:
        text = (src / path).read_text()
        if any(text.count(old) != 1 for old, _ in edits):
            print(f"mutation: '{name}' no longer applies to {path}", file=sys.stderr)
            return 2
    if build_and_test(build, log, args.exclude) != "survived":
        print(f"mutation: the unbroken suite does not pass (see {log})", file=sys.stderr)
        return 2
    survivors, broken = [], []
    for name, path, edits in chosen:
        source = src / path
        original = source.read_text()
        started = time.time()
        try:
            text = original
            for old, new in edits:
                text = text.replace(old, new, 1)
            source.write_text(text)
            outcome = build_and_test(build, log, args.exclude)
        finally:
            source.write_text(original)
        print(f"{outcome:>12}  {name}  ({time.time() - started:.0f} s)", flush=True)
        if outcome == "build failed":
            broken.append(name)
        elif not outcome.startswith("killed"):
            survivors.append(name)
    build_and_test(build, log)  # leave the build matching the sources
    print(f"{len(chosen) - len(survivors) - len(broken)} of {len(chosen)} breakages caught; "
          f"{len(survivors)} survivor{'s' if len(survivors) != 1 else ''}")
    for name in survivors:
        print(f"  survivor: {name}")
    for name in broken:
        print(f"  does not build (fix the breakage): {name}")
    return 1 if survivors else (2 if broken else 0)


if __name__ == "__main__":
    sys.exit(main())
