#include "engine/property_engine.h"

#include <array>
#include <cctype>

#include "engine/entry_points.h"
#include "platform/message_box.h"
#include "platform/registry.h"
#include "platform/system.h"

namespace ternival {
namespace {

std::string g_run_id;
bool g_package_created = false;

// Holds the library the slots point into, so that they stay valid when the
// package that loaded it goes away.
platform::DynamicLibrary& slotOwner() {
    static platform::DynamicLibrary lib;
    return lib;
}

// Value of the registry key plus the "xeq" suffix, kept only when it names
// an existing directory or a non-empty file.
std::string location(const std::string& key, std::string_view value) {
    auto v = platform::RegistryReadString(key, value, 262);
    if (!v) return {};
    std::string dir = *v;
    dir += platform::kPathSeparator;
    dir += "xeq";
    if (platform::DirectoryExists(dir) || platform::NonEmptyFileExists(dir)) return dir;
    return {};
}

std::string padded(std::string_view s, std::size_t width) {
    std::string out(s.substr(0, std::min(s.size(), width)));
    out.resize(width, ' ');
    return out;
}

}  // namespace

EngineEntryPoints& EngineSlots() {
    static EngineEntryPoints slots;
    return slots;
}

const std::string& RunId() { return g_run_id; }
void SetRunId(std::string_view id8) { g_run_id = std::string(id8); }
bool PackageCreated() { return g_package_created; }
void SetPackageCreated(bool created) { g_package_created = created; }

int VersionNumber(std::string_view version) {
    std::string digits;
    for (char c : version)
        if (c != '-' && c != '.') digits += c;
    while (digits.size() < 4) digits += '0';
    int value = 0;
    for (char c : digits) {
        if (!std::isdigit(static_cast<unsigned char>(c))) break;
        if (value > 100000000) break;  // far beyond any version; stop before overflow
        value = value * 10 + (c - '0');
    }
    return value;
}

InstallLocations FindInstallLocations(std::string_view version, int version_number) {
    InstallLocations l;
    const std::string v(version);
    l.simulator = location("SOFTWARE\\Corvath\\Velmora\\" + v + "\\velmora", "velmtop");
    if (l.simulator.empty()) return l;
    if (version_number >= 1100) l.engine = location("SOFTWARE\\Corvath\\Pelorin\\" + v + "\\velmora", "velmtop");
    if (version_number >= 1200) l.framework = location("SOFTWARE\\Corvath\\Zentik\\" + v, "ZENTIKTOP");
    return l;
}

void LoadPropertyEngine(PropertyEngine& engine) {
    const int number = VersionNumber(kEngineVersion);
    const InstallLocations l = FindInstallLocations(kEngineVersion, number);
    if (l.simulator.empty()) return;

    const std::string old = platform::GetEnv("PATH").value_or("");
    const char sep = platform::kPathListSeparator;
    std::string path = "PATH=" + l.simulator + sep;
    if (!l.engine.empty() && !l.framework.empty())
        path += l.engine + sep + l.framework + sep;
    else if (!l.engine.empty())
        path += l.engine + sep;
    path += old;
    platform::PutEnv(path);

    engine.library = platform::DynamicLibrary::Load(kEngineLibrary);
    if (!engine.library.loaded()) {
        platform::MessageBox(engine.library.error(), platform::kDefaultCaption, platform::kMbOk);
        return;
    }
    engine.names = platform::DynamicLibrary::Load(kNameLibrary);
    using Translate = const char* (*)(const char*);
    auto translate = reinterpret_cast<Translate>(engine.names.symbol("cf_DllFcn"));
    if (!engine.names.loaded())
        platform::MessageBox(engine.names.error(), platform::kDefaultCaption, platform::kMbOk);

    auto lookup = [&](const char* decorated) -> void* {
        // Without the translation library the names are looked up as given.
        const char* name = translate ? translate(decorated) : decorated;
        return engine.library.symbol(name);
    };
    EngineEntryPoints& s = EngineSlots();
    s.close_pdf = reinterpret_cast<ClosePdfFn>(lookup("_CLOSEPDF@0"));
    s.comp_qry = reinterpret_cast<CompQryFn>(lookup("_CALL_COMPQRY@52"));
    s.ls_opst = reinterpret_cast<LsOpStFn>(lookup("_CALL_LSOPST@20"));
    s.glb_ops = reinterpret_cast<GlbOpsFn>(lookup("_CALL_GLBOPS@8"));
    s.pp_gidx = reinterpret_cast<PpGIdxFn>(lookup("_CALL_PPGIDX@16"));
    s.pp_flash = reinterpret_cast<PpFlashFn>(lookup("_CALL_PPFLASH@116"));
    s.set_jmp = reinterpret_cast<SetJmpFn>(lookup("_CALLSETJMP@28"));
    s.fi_opst = reinterpret_cast<FiOpStFn>(lookup("_CALL_FIOPST@8"));
    s.get_csp = reinterpret_cast<GetCspFn>(lookup("_GETCSP@20"));
    slotOwner() = platform::DynamicLibrary::Load(engine.library.path());
}

bool InitializeEngine(PropertyEngine& engine, std::string_view pdf) {
    std::string workdir;
    if (auto tmp = platform::GetEnv("TMP")) workdir = *tmp + platform::kPathSeparator;

    std::string runid = platform::ShortPathName(pdf);
    if (const auto slash = runid.rfind(platform::kPathSeparator); slash != std::string::npos)
        runid.erase(0, slash + 1);
    if (const auto dot = runid.rfind('.'); dot != std::string::npos) runid.erase(dot);

    // The engine receives 255-character fields; longer names would arrive cut.
    constexpr std::size_t kField = 256, kLength = 255;
    if (pdf.empty() || runid.empty() || pdf.size() > kLength || workdir.size() > kLength) {
        platform::MessageBox("Unable to read PDF Filename and/or Runid from " + std::string(pdf),
                             platform::kDefaultCaption, platform::kMbTaskModal);
        return false;
    }
    const std::string r = padded(runid, kField), p = padded(pdf, kField), w = padded(workdir, kField);
    const EngineEntryPoints& s = EngineSlots();
    if (!platform::FileExists(pdf) || !s.set_jmp) return false;

    SetRunId(std::string_view(r).substr(0, 8));
    std::int64_t status = 0;
    s.set_jmp(r.data(), p.data(), w.data(), &status, kLength, kLength, kLength);
    if (status >= 0) {
        engine.open = 1;
        return true;
    }
    const char* text = nullptr;
    if (status == -1) text = "Terminal errors in lumivar initialization";
    if (status == -2) text = "Failed to open history file";
    if (status == -3) text = "Failed to open report file";
    if (text) platform::MessageBox(text, platform::kDefaultCaption, platform::kMbTaskModal);
    return false;
}

void CloseEngine(PropertyEngine& engine) {
    if (const auto close = EngineSlots().close_pdf) close();
    engine.open = 0;
    engine.component_count = -1;
    engine.method_count = -1;
}

}  // namespace ternival
