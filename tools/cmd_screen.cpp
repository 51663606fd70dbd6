// ternival screen: every candidate entrainer of a databank, judged on its
// map, in parallel processes or on a Dask cluster.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "cli_common.h"
#include "commands.h"
#include "databank.h"
#include "output.h"
#include "platform/system.h"
#include "screen.h"
#include "platform/workers.h"

namespace ternival::cli {

namespace {

using nlohmann::json;

std::string selfPath() {
    std::error_code ec;
    const auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) throw ComputeError("cannot find this program's own path");
    return p.string();
}

// Candidates: "all" (every databank compound but A and B, by CAS number),
// a file of names (one a line, '#' comments), or names separated by commas.
std::vector<std::string> candidateList(const std::string& spec, const std::string& a, const std::string& b) {
    const auto& bank = propcore::Databank::Get();
    std::set<std::string> own;
    for (const auto& n : {a, b}) {
        try {
            own.insert(bank.Find(n).cas);
        } catch (const propcore::DatabankError& e) {
            throw InputError(e.what());
        }
    }
    std::vector<std::string> out;
    if (spec == "all") {
        for (const auto& c : bank.compounds())
            if (!own.count(c.cas) && !c.cas.empty()) out.push_back(c.cas);
        return out;
    }
    std::error_code ec;
    if (std::filesystem::is_regular_file(spec, ec)) {
        std::ifstream in(spec);
        std::string line;
        while (std::getline(in, line)) {
            line.erase(0, line.find_first_not_of(" \t\r"));
            line.erase(line.find_last_not_of(" \t\r") + 1);
            if (!line.empty() && line[0] != '#') out.push_back(line);
        }
        if (out.empty()) throw InputError(spec + ": no candidates in the file");
        return out;
    }
    out = SplitList(spec);
    if (out.empty()) throw InputError("--candidates: name at least one candidate");
    return out;
}

bool passes(const json& r) {
    return r.value("homogeneous", false) || r.value("heteroazeotropic", false) || r.value("extractive", false);
}

// Ranking: candidates that pass first; among them (and among the rest)
// the larger |ln alpha_inf|, then the smaller least entrainer content.
void rank(std::vector<json>& rows) {
    auto score = [](const json& r) {
        const json& a = r.contains("alpha_inf") ? r["alpha_inf"] : json();
        return a.is_number() && a.get<double>() > 0.0 ? std::abs(std::log(a.get<double>())) : -1.0;
    };
    std::stable_sort(rows.begin(), rows.end(), [&](const json& x, const json& y) {
        const bool ex = !x["error"].is_null(), ey = !y["error"].is_null();
        if (ex != ey) return !ex;
        if (passes(x) != passes(y)) return passes(x);
        return score(x) > score(y);
    });
}

std::string yesNo(const json& r, const char* key) { return r.value(key, false) ? "yes" : "no"; }

std::string num(const json& v, int digits) {
    return v.is_number() ? fmt::format("{:.{}f}", v.get<double>(), digits) : std::string("-");
}

std::string htmlEscape(const std::string& s) {
    std::string o;
    for (char c : s) {
        switch (c) {
            case '<': o += "&lt;"; break;
            case '>': o += "&gt;"; break;
            case '&': o += "&amp;"; break;
            case '"': o += "&quot;"; break;
            default: o += c;
        }
    }
    return o;
}

// A small SVG triangle of a candidate's map: regions, boundaries, the
// univolatility curve and the singular points.
std::string thumbnail(const json& map) {
    constexpr double W = 220, H = 200;
    auto xy = [&](const json& x) {
        const double t = x[0], l = x[1], r = x[2];
        return std::pair<double, double>{110 * t + 12 * l + 208 * r, 22 * t + 178 * l + 178 * r};
    };
    auto poly = [&](const json& pts) {
        std::string s;
        for (const auto& p : pts) {
            const auto [x, y] = xy(p);
            s += fmt::format("{:.1f},{:.1f} ", x, y);
        }
        return s;
    };
    std::string svg = fmt::format("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"{}\" height=\"{}\" viewBox=\"0 0 {} {}\">",
                                  W, H, W, H);
    static const char* shades[] = {"#dce8f7", "#f7e3dc", "#e0f2df", "#f3ecd2", "#ebe0f4", "#dff1f1"};
    std::size_t k = 0;
    for (const auto& g : map.value("regions", json::array()))
        svg += fmt::format("<polygon points=\"{}\" fill=\"{}\"/>", poly(g), shades[k++ % 6]);
    svg += fmt::format("<polygon points=\"{}\" fill=\"none\" stroke=\"#223047\"/>",
                       poly(json::array({{1, 0, 0}, {0, 1, 0}, {0, 0, 1}})));
    for (const auto& b : map.value("boundaries", json::array()))
        svg += fmt::format("<polyline points=\"{}\" fill=\"none\" stroke=\"#8b1a1a\" stroke-width=\"2\"/>", poly(b));
    if (const auto& iso = map.value("isovolatility", json::array()); !iso.empty())
        svg += fmt::format("<polyline points=\"{}\" fill=\"none\" stroke=\"#e08a00\" stroke-dasharray=\"3 2\"/>",
                           poly(iso));
    static const char* colours[] = {"#777", "#1f4e9c", "#2c8a3a", "#c0392b"};
    for (const auto& p : map.value("points", json::array())) {
        const auto [x, y] = xy(p["x"]);
        const int code = std::clamp(p.value("code", 0), 0, 3);
        svg += fmt::format("<circle cx=\"{:.1f}\" cy=\"{:.1f}\" r=\"3.5\" fill=\"{}\"><title>{:.2f} K</title></circle>", x,
                           y, colours[code], p.value("T_K", 0.0));
    }
    const auto names = map.value("names", json::array());
    if (names.size() == 3) {
        svg += fmt::format("<text x=\"110\" y=\"14\" font-size=\"10\" text-anchor=\"middle\">{}</text>",
                           htmlEscape(names[0]));
        svg += fmt::format("<text x=\"2\" y=\"194\" font-size=\"10\">{}</text>", htmlEscape(names[1]));
        svg += fmt::format("<text x=\"218\" y=\"194\" font-size=\"10\" text-anchor=\"end\">{}</text>",
                           htmlEscape(names[2]));
    }
    return svg + "</svg>";
}

std::string htmlReport(const std::vector<json>& rows, const std::string& a, const std::string& b, double pressure,
                       const std::string& model) {
    std::string h = R"(<!doctype html>
<html lang="en"><head><meta charset="utf-8"><title>Entrainers for )" +
                    htmlEscape(a + " / " + b) + R"(</title>
<style>
body{font-family:system-ui,sans-serif;margin:1.5em;color:#1d2430}
table{border-collapse:collapse;font-size:0.9em}
th,td{border:1px solid #d5dae2;padding:0.25em 0.5em;vertical-align:top}
th{background:#eef1f5;cursor:pointer;user-select:none}
td.n{text-align:right;font-variant-numeric:tabular-nums}
td.yes{color:#1b5e20;font-weight:600}
tr.error td{color:#8a3a00}
ul{margin:0;padding-left:1.1em}
</style></head><body>
)";
    h += fmt::format("<h1>Entrainers for {} / {}</h1><p>{} Pa, {}; {} candidates, {} pass. Click a heading to sort.</p>\n",
                     htmlEscape(a), htmlEscape(b), pressure, htmlEscape(model), rows.size(),
                     std::count_if(rows.begin(), rows.end(), [](const json& r) { return passes(r); }));
    h += "<table id=\"screen\"><thead><tr><th>entrainer</th><th>CAS</th><th>T<sub>b</sub> / K</th><th>class</th>"
         "<th>homogeneous</th><th>heteroazeotropic</th><th>extractive</th><th>&alpha;<sup>&infin;</sup></th>"
         "<th>x<sub>E</sub> min</th><th>why</th><th>map</th></tr></thead><tbody>\n";
    for (const auto& r : rows) {
        const bool err = !r["error"].is_null();
        h += err ? "<tr class=\"error\">" : "<tr>";
        h += fmt::format("<td>{}</td><td>{}</td><td class=\"n\">{}</td><td>{}</td>",
                         htmlEscape(r.value("entrainer", "")), htmlEscape(r.value("cas", "")), num(r.value("tb_K", json()), 2),
                         htmlEscape(r.value("class", "")));
        for (const char* k : {"homogeneous", "heteroazeotropic", "extractive"})
            h += fmt::format("<td class=\"{}\">{}</td>", r.value(k, false) ? "yes" : "no", err ? "-" : yesNo(r, k));
        h += fmt::format("<td class=\"n\">{}</td><td class=\"n\">{}</td><td><ul>", num(r.value("alpha_inf", json()), 3),
                         num(r.value("x_entrainer_min", json()), 3));
        if (err) h += "<li>" + htmlEscape(r["error"].get<std::string>()) + "</li>";
        for (const auto& why : r.value("reasons", json::array())) h += "<li>" + htmlEscape(why.get<std::string>()) + "</li>";
        h += "</ul></td><td>";
        if (passes(r) && r.contains("map")) h += thumbnail(r["map"]);
        h += "</td></tr>\n";
    }
    h += R"(</tbody></table>
<script>
// Sorting by a column: numbers as numbers, the rest as text.
document.querySelectorAll('#screen th').forEach((th, col) => th.addEventListener('click', () => {
  const body = document.querySelector('#screen tbody');
  const rows = [...body.rows];
  const up = th.dataset.order !== 'up';
  document.querySelectorAll('#screen th').forEach((t) => delete t.dataset.order);
  th.dataset.order = up ? 'up' : 'down';
  const key = (r) => { const t = r.cells[col].textContent.trim(); const v = parseFloat(t); return isNaN(v) ? t : v; };
  rows.sort((x, y) => { const a = key(x), b = key(y);
    const c = typeof a === 'number' && typeof b === 'number' ? a - b : String(a).localeCompare(String(b));
    return up ? c : -c; });
  rows.forEach((r) => body.appendChild(r));
}));
</script></body></html>
)";
    return h;
}

}  // namespace

Action AddScreenCommand(CLI::App& app) {
    auto separate = std::make_shared<std::string>();
    auto candidates = std::make_shared<std::string>("all");
    auto settings = std::make_shared<ScreenSettings>();
    auto workers = std::make_shared<int>(static_cast<int>(std::max(1u, std::thread::hardware_concurrency())));
    auto dask = std::make_shared<std::string>();
    auto dask_program = std::make_shared<std::string>();
    auto resume = std::make_shared<std::string>();
    auto format = std::make_shared<std::string>("text");
    auto output = std::make_shared<std::string>();
    auto limit = std::make_shared<double>(300.0);
    auto worker = std::make_shared<bool>(false);
    auto* cmd = app.add_subcommand("screen", "Entrainers for separating A from B, judged on their maps");
    cmd->add_option("--separate", *separate, "the two components to separate: A,B (databank names)")->required();
    cmd->add_option("--candidates", *candidates,
                    "all (the whole databank), names separated by commas, or a file of names (one a line)")
        ->capture_default_str();
    cmd->add_option("-p,--pressure", settings->pressure, "pressure, Pa")->capture_default_str();
    cmd->add_option("-m,--method", settings->model, "NRTL, UNIQUAC, WILSON, UNIFAC, UNIFAC-LLE or UNIFAC-DMD")
        ->capture_default_str();
    cmd->add_option("--phase", settings->phase,
                    "2 or 3; default: 3 for a mixture whose boiling liquid splits, else 2")
        ->check(CLI::IsMember({2, 3}));
    cmd->add_option("--workers", *workers, "parallel processes on this machine (default: every core)")
        ->check(CLI::Range(1, 1024));
    cmd->add_option("--dask", *dask, "send the candidates to the Dask scheduler at this address (tcp://HOST:PORT)");
    cmd->add_option("--dask-ternival", *dask_program,
                    "path of ternival on the Dask workers (default: this program's own path)");
    cmd->add_option("--resume", *resume,
                    "journal of finished candidates: read to skip them, appended to as each finishes");
    cmd->add_option("--format", *format, "text, json or csv")->capture_default_str();
    cmd->add_option("-o,--output", *output, "HTML report: a sortable table and a small map of each entrainer that passes");
    cmd->add_option("--candidate-time-limit", *limit, "seconds one candidate may compute")
        ->check(CLI::PositiveNumber)
        ->capture_default_str();
    cmd->add_flag("--worker", *worker, "compute the candidates in this process, one JSON line each")->group("");
    return [=]() {
        const std::vector<std::string> ab = SplitList(*separate);
        if (ab.size() != 2) throw InputError("--separate: name the two components, A,B");
        settings->a = ab[0];
        settings->b = ab[1];
        CheckPressure(settings->pressure);
        std::string model = settings->model;
        for (char& c : model) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (std::ranges::find(kDatabankModels, model) == std::end(kDatabankModels))
            throw InputError("--method " + settings->model + ": a screen takes a databank model (NRTL, UNIQUAC, "
                             "WILSON, UNIFAC, UNIFAC-LLE or UNIFAC-DMD)");
        settings->model = model;

        if (*worker) {
            // The worker: each candidate in turn, a JSON line as it ends.
            for (const std::string& e : SplitList(*candidates)) {
                json row = ScreenCandidate(*settings, e);
                row["request"] = e;
                fmt::print("{}\n", row.dump());
                std::fflush(stdout);
            }
            return kOk;
        }

        const Format f = ParseFormat(*format);
        const std::vector<std::string> all = candidateList(*candidates, settings->a, settings->b);
        // What the journal already holds is not computed again.
        std::vector<json> rows;
        std::set<std::string> done;
        if (!resume->empty() && std::filesystem::exists(*resume)) {
            std::ifstream in(*resume);
            std::string line;
            int n = 0;
            while (std::getline(in, line)) {
                ++n;
                if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
                try {
                    json r = json::parse(line);
                    if (!r.is_object() || !r.contains("request")) throw std::runtime_error("no request");
                    if (done.insert(r["request"].get<std::string>()).second) rows.push_back(std::move(r));
                } catch (const std::exception&) {
                    // A line cut short when the screen was killed: computed again.
                    Progress(fmt::format("{}:{}: an unfinished line, computed again", *resume, n));
                }
            }
        }
        std::vector<std::string> todo;
        for (const auto& e : all)
            if (!done.count(e)) todo.push_back(e);
        std::ofstream journal;
        if (!resume->empty()) {
            journal.open(*resume, std::ios::app);
            if (!journal) throw OutputError("cannot write the journal " + *resume);
        }
        Progress(fmt::format("{} candidates, {} done before, {} to compute{}", all.size(), rows.size(), todo.size(),
                             dask->empty() ? fmt::format(" on {} worker(s)", *workers) : " on " + *dask));

        // The worker's command line for one candidate: this program, with
        // its own folder for the engine's files.
        const std::string self = selfPath();
        const std::string base =
            (std::filesystem::temp_directory_path() / ("ternival-screen-" + std::to_string(::getpid()))).string();
        auto argvFor = [&](const std::string& program, const std::string& e, std::size_t k) {
            std::vector<std::string> argv{program, "--time-limit", fmt::format("{}", *limit), "--work-dir",
                                          base + "/" + std::to_string(k), "screen", "--worker", "--separate",
                                          settings->a + "," + settings->b, "--candidates", e, "--pressure",
                                          fmt::format("{:.17g}", settings->pressure), "--method", settings->model};
            if (settings->phase) argv.insert(argv.end(), {"--phase", std::to_string(settings->phase)});
            return argv;
        };
        std::size_t finished = 0;
        auto take = [&](const std::string& request, const std::string& text) {
            json r;
            try {
                r = json::parse(text);
            } catch (const std::exception&) {
                return false;  // not a result line
            }
            if (!r.is_object()) return false;
            if (!r.contains("request")) r["request"] = request;
            if (!r.contains("error")) r["error"] = nullptr;
            if (journal.is_open()) {
                journal << r.dump() << '\n';
                journal.flush();
            }
            rows.push_back(std::move(r));
            ++finished;
            if (finished % 10 == 0 || finished == todo.size())
                Progress(fmt::format("{} of {} candidates", finished, todo.size()));
            return true;
        };
        std::vector<bool> got(todo.size(), false);
        if (dask->empty()) {
            std::vector<platform::WorkerJob> jobs;
            for (std::size_t k = 0; k < todo.size(); ++k) jobs.push_back({argvFor(self, todo[k], k % 4096), ""});
            platform::RunWorkers(
                jobs, *workers, [&](std::size_t k, const std::string& text) { got[k] = take(todo[k], text) || got[k]; },
                [&](std::size_t k, int status, const std::string& err) {
                    if (got[k]) return;
                    std::string why = WIFSIGNALED(status) ? fmt::format("the worker was killed by signal {}", WTERMSIG(status))
                                      : status < 0        ? "the worker could not start: " + err
                                                          : fmt::format("the worker ended with status {}", WEXITSTATUS(status));
                    const auto at = err.find_last_of('\n', err.size() > 1 ? err.size() - 2 : 0);
                    if (status >= 0 && !err.empty()) why += ": " + err.substr(at == std::string::npos ? 0 : at + 1);
                    while (!why.empty() && (why.back() == '\n' || why.back() == '\r')) why.pop_back();
                    take(todo[k], json{{"request", todo[k]}, {"entrainer", todo[k]}, {"error", why}}.dump());
                });
        } else {
            json spec{{"address", *dask}, {"timeout", *limit + 60}, {"tasks", json::array()}};
            const std::string program = dask_program->empty() ? self : *dask_program;
            for (std::size_t k = 0; k < todo.size(); ++k)
                spec["tasks"].push_back({{"request", todo[k]}, {"argv", argvFor(program, todo[k], k % 4096)}});
            std::string failure;
            int dask_status = 0;
            platform::RunWorkers({{{"/usr/bin/python3", std::string(TERNIVAL_TOOLS_DIR) + "/python/screen_dask.py"}, spec.dump()}}, 1,
                       [&](std::size_t, const std::string& text) {
                           try {
                               const json r = json::parse(text);
                               take(r.value("request", std::string("?")), text);
                           } catch (const std::exception&) {
                           }
                       },
                       [&](std::size_t, int status, const std::string& err) {
                           dask_status = status;
                           failure = err;
                       });
            if (dask_status != 0) {
                std::string why = failure;
                while (!why.empty() && (why.back() == '\n')) why.pop_back();
                throw ComputeError("the Dask run failed: " + (why.empty() ? std::string("no reason given") : why));
            }
        }
        std::error_code ec;
        std::filesystem::remove_all(base, ec);
        // Every candidate asked for has its row (the journal's last word on a
        // candidate counts once).
        std::vector<json> out;
        std::set<std::string> seen;
        for (auto it = rows.rbegin(); it != rows.rend(); ++it)
            if (seen.insert((*it)["request"].get<std::string>()).second) out.push_back(*it);
        std::set<std::string> wanted(all.begin(), all.end());
        std::erase_if(out, [&](const json& r) { return !wanted.count(r["request"].get<std::string>()); });
        for (const auto& e : all)
            if (!seen.count(e)) out.push_back(json{{"request", e}, {"entrainer", e}, {"error", "no result came back"}});
        rank(out);

        const auto failed = std::count_if(out.begin(), out.end(), [](const json& r) { return !r["error"].is_null(); });
        if (f == Format::Json) {
            fmt::print("{}\n", json(out).dump(1));
        } else if (f == Format::Csv) {
            fmt::print("entrainer,cas,tb_K,class,homogeneous,heteroazeotropic,extractive,alpha_inf,x_entrainer_min,"
                       "estimated_pairs,error\n");
            auto csv = [](std::string s) {
                if (s.find_first_of(",\"\n") == std::string::npos) return s;
                std::string o = "\"";
                for (char c : s) o += c == '"' ? std::string("\"\"") : std::string(1, c);
                return o + "\"";
            };
            for (const auto& r : out)
                fmt::print("{},{},{},{},{},{},{},{},{},{},{}\n", csv(r.value("entrainer", "")), r.value("cas", ""),
                           num(r.value("tb_K", json()), 3), csv(r.value("class", "")), yesNo(r, "homogeneous"),
                           yesNo(r, "heteroazeotropic"), yesNo(r, "extractive"), num(r.value("alpha_inf", json()), 5),
                           num(r.value("x_entrainer_min", json()), 5),
                           csv(r.value("estimated_pairs", json::array()).size()
                                   ? r["estimated_pairs"].dump()
                                   : std::string()),
                           csv(r["error"].is_null() ? std::string() : r["error"].get<std::string>()));
        } else {
            fmt::print("{:<28} {:>8} {:<22} {:>5} {:>6} {:>6} {:>9} {:>7}  {}\n", "entrainer", "Tb_K", "class", "homog",
                       "hetero", "extr", "alpha_inf", "xE_min", "note");
            for (const auto& r : out) {
                std::string note;
                if (!r["error"].is_null()) note = "error: " + r["error"].get<std::string>();
                else if (!r.value("estimated_pairs", json::array()).empty()) note = "estimated pairs";
                fmt::print("{:<28} {:>8} {:<22} {:>5} {:>6} {:>6} {:>9} {:>7}  {}\n",
                           r.value("entrainer", "").substr(0, 28), num(r.value("tb_K", json()), 2),
                           r.value("class", "").substr(0, 22), r["error"].is_null() ? yesNo(r, "homogeneous") : "-",
                           r["error"].is_null() ? yesNo(r, "heteroazeotropic") : "-",
                           r["error"].is_null() ? yesNo(r, "extractive") : "-", num(r.value("alpha_inf", json()), 3),
                           num(r.value("x_entrainer_min", json()), 3), note);
            }
        }
        if (!output->empty()) {
            const std::string part = *output + ".part";
            std::ofstream html(part);
            html << htmlReport(out, settings->a, settings->b, settings->pressure, settings->model);
            html.close();
            if (!html || std::rename(part.c_str(), output->c_str()) != 0) {
                std::remove(part.c_str());
                throw OutputError("cannot write " + *output);
            }
            Progress("wrote " + *output);
        }
        if (failed)
            fmt::print(stderr, "ternival: warning: {} of {} candidates could not be judged (their rows give the error)\n",
                       failed, out.size());
        return kOk;
    };
}

}  // namespace ternival::cli
