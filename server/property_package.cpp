#include <algorithm>
#include <cmath>

#include "automation/variant.h"
#include "engine/engine_flash.h"
#include "engine/session.h"
#include "server/interfaces.h"
#include "server/objects.h"

namespace ternival::server {

using namespace automation;

namespace {
long g_locks = 0;
bool g_quit = false;
std::uint64_t g_generation = 0;

// The part of a component name the engine compares: its first 8
// characters, without trailing blanks.
std::string_view IdPart(std::string_view name) {
    name = name.substr(0, kComponentIdLength);
    return name.substr(0, name.find_last_not_of(' ') + 1);
}
}  // namespace

void ServerLocks::Lock() { ++g_locks; }
void ServerLocks::Unlock() {
    // The last object gone ends the server; a client that still holds one
    // keeps it alive.
    if (--g_locks <= 0) g_quit = true;
}
long ServerLocks::Count() { return g_locks; }
bool ServerLocks::QuitPosted() { return g_quit; }
void ServerLocks::PostQuit() { g_quit = true; }
void ServerLocks::Reset() {
    g_locks = 0;
    g_quit = false;
}

std::shared_ptr<CPropertyPackage>& CurrentPackage() {
    static std::shared_ptr<CPropertyPackage> current;
    return current;
}

std::uint64_t EngineGeneration() { return g_generation; }

bool EngineKnows(std::span<const std::int64_t> ids) {
    const auto& package = CurrentPackage();
    if (!package || !package->open()) return false;
    for (std::size_t i = 0; i < ids.size(); ++i) {
        if (ids[i] <= 0) return false;
        if (std::find(ids.begin(), ids.begin() + static_cast<std::ptrdiff_t>(i), ids[i]) !=
            ids.begin() + static_cast<std::ptrdiff_t>(i))
            return false;
    }
    return true;
}

bool ValidPressure(double pressure) {
    return std::isfinite(pressure) && pressure > 0.0 && pressure <= kMaxPressure;
}

bool ComponentSet::Assign(std::vector<std::string> names) {
    for (std::size_t i = 0; i < names.size(); ++i)
        for (std::size_t j = 0; j < i; ++j)
            if (EqualsNoCase(IdPart(names[i]), IdPart(names[j]))) return false;
    if (names == names_) return true;
    names_ = std::move(names);
    translated_ = false;
    return true;
}

std::span<const std::int64_t> ComponentSet::ids() {
    if (!translated_ || generation_ != g_generation) {
        ids_.resize(names_.size());
        for (std::size_t i = 0; i < names_.size(); ++i) ids_[i] = LookupComponentIndex(names_[i]);
        generation_ = g_generation;
        translated_ = true;
    }
    return ids_;
}

void PropertyData::Set(const Bstr& szOpset, const Bstr& szVLEModel, const Bstr& szLLEModel, std::int32_t nPhase) {
    opset = szOpset.substr(0, 9);
    vle_model = szVLEModel;
    lle_model = szLLEModel;
    phase = nPhase;
}

CPropertyPackage::CPropertyPackage() {
    LoadPropertyEngine(engine_);
    SetPackageCreated(true);
}

CPropertyPackage::~CPropertyPackage() {
    Close();
    if (&CurrentFlashSettings() == &engine_.settings) SetCurrentFlashSettings(nullptr);
}

const InterfaceInfo& CPropertyPackage::Interface() const { return PropertyPackageInterface(); }

void CPropertyPackage::MakeCurrent() { SetCurrentFlashSettings(&engine_.settings); }

void CPropertyPackage::Close() {
    if (engine_.open == 1) ++g_generation;
    CloseEngine(engine_);
    component_ids_.clear();
}

HRESULT CPropertyPackage::InitFromVmpdfFile(const Bstr& file) {
    if (engine_.open == 1) return S_OK;
    if (!InitializeEngine(engine_, file)) return E_FAIL;
    ++g_generation;
    return S_OK;
}

HRESULT CPropertyPackage::GetComponentList(Variant& ids, Variant& /*names*/, Variant& molwt) {
    if (engine_.open != 1) return E_FAIL;
    auto components = EngineComponents();
    if (components.size() > kMaxComponents) components.resize(kMaxComponents);
    component_ids_.clear();
    const SafeArrayBound bound{0, static_cast<std::uint32_t>(components.size())};
    auto id_array = SafeArray::Create(VT_BSTR, std::span(&bound, 1));
    auto mw_array = SafeArray::Create(VT_R8, std::span(&bound, 1));
    if (!id_array || !mw_array) return E_FAIL;
    for (std::size_t i = 0; i < components.size(); ++i) {
        component_ids_.push_back(components[i].id.substr(0, 8));
        id_array->strings()[i] = component_ids_.back();
        mw_array->doubles()[i] = components[i].mw;
    }
    ids = Variant::Array(std::move(*id_array));
    molwt = Variant::Array(std::move(*mw_array));
    return S_OK;
}

HRESULT CPropertyPackage::GetPhaseList(Variant&) { return S_OK; }
HRESULT CPropertyPackage::GetPropMethodList(Variant&) { return S_OK; }
HRESULT CPropertyPackage::CalcEquilibrium() { return S_OK; }
HRESULT CPropertyPackage::CloseVmpdfFile(const Bstr&) {
    Close();
    return S_OK;
}
HRESULT CPropertyPackage::OpenVmpdfFile(const Bstr&) { return S_OK; }

std::int32_t CPropertyPackage::FlashMaxIter() const {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(engine_.settings.max_iterations)));
}
void CPropertyPackage::SetFlashMaxIter(std::int32_t v) {
    // The low 32 bits change; the high ones stay.
    const auto old = static_cast<std::uint64_t>(engine_.settings.max_iterations);
    engine_.settings.max_iterations =
        static_cast<std::int64_t>((old & 0xFFFFFFFF00000000ull) | static_cast<std::uint32_t>(v));
}

HRESULT CPropertyPackage::Call(DispId id, InvokeKind kind, std::vector<Variant>& a) {
    switch (id) {
        case 1: return InitFromVmpdfFile(a[0].bstrVal);
        case 2: return GetComponentList(a[0], a[1], a[2]);
        case 3: return GetPhaseList(a[0]);
        case 4: return GetPropMethodList(a[0]);
        case 5:
            // The component list must be an array of strings.
            if (!a[0].IsArray() || a[0].parray->element_type() != VT_BSTR) return DISP_E_TYPEMISMATCH;
            return CalcEquilibrium();
        case 6: return CloseVmpdfFile(a[0].bstrVal);
        case 7: return OpenVmpdfFile(a[0].bstrVal);
        case 8:
            if (kind == InvokeKind::PropertyGet) a[0] = Variant::R8(FlashTol());
            else SetFlashTol(a[0].dblVal);
            return S_OK;
        case 9:
            if (kind == InvokeKind::PropertyGet) a[0] = Variant::I4(FlashMaxIter());
            else SetFlashMaxIter(a[0].lVal);
            return S_OK;
        default: return DISP_E_MEMBERNOTFOUND;
    }
}

}  // namespace ternival::server
