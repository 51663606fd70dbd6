#include <algorithm>

#include "azeotrope/complete_search.h"
#include "azeotrope/search.h"
#include "engine/engine_flash.h"
#include "engine/run_log.h"
#include "engine/session.h"
#include "platform/message_box.h"
#include "server/interfaces.h"
#include "server/objects.h"

namespace ternival::server {

using namespace automation;

const InterfaceInfo& CAzeotropeSearch::Interface() const { return AzeotropeSearchInterface(); }

void CAzeotropeSearch::allocate() {
    const std::size_t n = n_, cap = static_cast<std::size_t>(kCapacity);
    compositions_.assign(n * cap, 0.0);
    temperatures_.assign(cap, 0.0);
    sizes_.assign(cap, 0);
    phases_.assign(cap, 0);
    stability_.assign(cap, 0);
    pure_x_.assign(n * n, 0.0);
    boiling_.assign(n, -1.0);
    pure_code_.assign(n, -1);
    kvalues_.assign(n * n, 0.0);
    singular_x_.assign(n * (n + cap), 0.0);
    singular_t_.assign(n + cap, 0.0);
    singular_code_.assign(n + cap, 0);
    count_ = 0;
    table_ = Table::None;
    allocated_for_ = n;
    allocated_ = true;
}

HRESULT CAzeotropeSearch::SetComponentData(const Variant& components) {
    if (components.vt != (VT_ARRAY | VT_BSTR) || !components.parray || components.parray->dimensions() != 1)
        return E_FAIL;
    const auto& strings = components.parray->strings();
    if (!components_.Assign(std::vector<std::string>(strings.begin(), strings.end()))) return E_FAIL;
    n_ = components_.size();
    return S_OK;
}

HRESULT CAzeotropeSearch::SetPropertyData(const Bstr& szOpset, const Bstr& szVLEModel, const Bstr& szLLEModel,
                                          std::int32_t nPhase) {
    data_.Set(szOpset, szVLEModel, szLLEModel, nPhase);
    return S_OK;
}

bool CAzeotropeSearch::ready() {
    return n_ <= kMaxComponents && ValidPressure(pressure_) && EngineKnows(components_.ids());
}

CAzeotropeSearch::Key CAzeotropeSearch::key() {
    const auto ids = components_.ids();
    return {EngineGeneration(), std::vector<std::int64_t>(ids.begin(), ids.end()), pressure_, data_.opset,
            data_.phase, complete_};
}

bool CAzeotropeSearch::current() { return table_ == Table::Valid && searched_for_ == key(); }

HRESULT CAzeotropeSearch::GetPureProperties(Variant& composition, Variant& temperature, Variant& stability) {
    if (components_.size() == 0) return S_OK;
    // Pure components are classified for as many components as the
    // search takes (beyond its own twenty, up to the flash's limit).
    if (!ready()) return E_FAIL;
    allocate();
    PureComponentProperties(static_cast<std::int64_t>(n_), pressure_, components_.ids(), data_.opset, data_.phase, boiling_,
                            pure_code_, kvalues_, pure_error_);
    // A boiling point the engine did not find is not computed.
    for (double& t : boiling_)
        if (IsMissing(t)) t = -1.0;
    for (std::size_t i = 0; i < n_; ++i) pure_x_[i * n_ + i] = 1.0;
    const std::array<std::size_t, 2> square{n_, n_}, line{n_, 0}, strides{0, n_};
    if (Failed(PackDoubleArray(composition, pure_x_, 2, square, strides)) ||
        Failed(PackDoubleArray(temperature, boiling_, 1, line, strides)) ||
        Failed(PackLongArrayFrom64(stability, pure_code_, 1, line, strides)))
        return E_FAIL;
    return S_OK;
}

HRESULT CAzeotropeSearch::ComputeAzeotropes() {
    if (components_.size() == 0) {
        // Nothing to search: the search reports its status as it does for
        // any mixture of fewer than two components.
        LogRunMessage(509, "Azeo_Search");
        count_ = 0;
        table_ = Table::Valid;
        searched_for_ = key();
        return S_OK;
    }
    // A refused search leaves the last table as it was.
    if (!ready()) return E_FAIL;
    // Without a GetPureProperties for the current components the tables do
    // not exist yet (or have the wrong size): make them now.
    if (!allocated_ || allocated_for_ != n_) allocate();
    count_ = kCapacity;
    if (complete_)
        Complete_Azeo_Search(static_cast<std::int64_t>(n_), pressure_, data_.phase, data_.opset, components_.ids(), count_,
                             compositions_, temperatures_, sizes_, phases_, stability_, singular_x_, singular_t_,
                             singular_code_, error_);
    else
        Azeo_Search(static_cast<std::int64_t>(n_), pressure_, data_.phase, data_.opset, components_.ids(), count_,
                    compositions_, temperatures_, sizes_, phases_, stability_, singular_x_, singular_t_, singular_code_,
                    error_);
    std::fill(pure_x_.begin(), pure_x_.end(), 0.0);
    for (std::size_t i = 0; i < n_; ++i) pure_x_[i * n_ + i] = 1.0;
    // A search cut short by the call's time limit is no search, and its
    // half-written tables are nobody's answer.
    if (CallLimits::OutOfTime()) {
        table_ = Table::Broken;
        return E_ABORT;
    }
    table_ = Table::Valid;
    searched_for_ = key();
    return S_OK;
}

HRESULT CAzeotropeSearch::GetAzeotropes(std::int32_t& count, Variant& compositions, Variant& temperatures,
                                        Variant& phases, Variant& stability) {
    count = 0;
    std::size_t naz = 0;
    switch (table_) {
        case Table::None: break;  // nothing computed yet: no azeotropes
        case Table::Broken: return E_FAIL;
        case Table::Valid: {
            // The last table, even after a change of pressure or property
            // data; but never one of other components or another file (nor
            // read at another component count).
            const Key now = key();
            if (now.generation != searched_for_.generation || now.ids != searched_for_.ids) return E_FAIL;
            naz = static_cast<std::size_t>(std::max<std::int64_t>(count_, 0));
            break;
        }
    }
    count = static_cast<std::int32_t>(naz);
    const std::array<std::size_t, 2> table{naz, n_}, line{naz, 0}, strides{0, n_};
    if (Failed(PackDoubleArray(compositions, compositions_, 2, table, strides)) ||
        Failed(PackDoubleArray(temperatures, temperatures_, 1, line, strides)) ||
        Failed(PackLongArrayFrom64(phases, phases_, 1, line, strides)) ||
        Failed(PackLongArrayFrom64(stability, stability_, 1, line, strides)))
        return E_FAIL;
    return S_OK;
}

HRESULT CAzeotropeSearch::Diagnostic() {
    platform::MessageBox("Ternival azeotrope search", "AzeotropeSearch");
    return S_OK;
}

HRESULT CAzeotropeSearch::Call(DispId id, InvokeKind kind, std::vector<Variant>& a) {
    switch (id) {
        case 1: return ComputeAzeotropes();
        case 2: return Diagnostic();
        case 3: return SetComponentData(a[0]);
        case 4: return SetPropertyData(a[0].bstrVal, a[1].bstrVal, a[2].bstrVal, a[3].lVal);
        case 5:
            if (kind == InvokeKind::PropertyGet) a[0] = Variant::R8(pressure_);
            else pressure_ = a[0].dblVal;
            return S_OK;
        case 6: {
            std::int32_t count = 0;
            const HRESULT hr = GetAzeotropes(count, a[1], a[2], a[3], a[4]);
            a[0] = Variant::I4(count);
            return hr;
        }
        case 7: return GetPureProperties(a[0], a[1], a[2]);
        default: return DISP_E_MEMBERNOTFOUND;
    }
}

}  // namespace ternival::server
