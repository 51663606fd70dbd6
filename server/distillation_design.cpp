// The design extension attached to a map: the choice of azeotrope search
// and the checks of the map's azeotropes.
#include <algorithm>

#include "azeotrope/search.h"
#include "server/interfaces.h"
#include "server/objects.h"

namespace ternival::server {

using namespace automation;

const InterfaceInfo& CDistillationDesign::Interface() const { return DistillationDesignInterface(); }

HRESULT CDistillationDesign::Attach(const Variant& map) {
    auto m = std::dynamic_pointer_cast<CDistillationMap>(map.pdispVal);
    if (!m) return E_INVALIDARG;
    map_ = std::move(m);
    return S_OK;
}

HRESULT CDistillationDesign::GetSearchKind(Bstr& kind) const {
    if (!map_) return E_FAIL;
    kind = map_->complete_search_ ? "complete" : "classic";
    return S_OK;
}

HRESULT CDistillationDesign::SetSearchKind(const Bstr& kind) {
    if (!map_) return E_FAIL;
    if (EqualsNoCase(kind, "complete")) map_->complete_search_ = true;
    else if (EqualsNoCase(kind, "classic")) map_->complete_search_ = false;
    else return E_INVALIDARG;
    return S_OK;
}

HRESULT CDistillationDesign::GetLiquidSplits(std::int32_t& count, Variant& splits) {
    count = 0;
    // The map's own azeotropes, for its components, pressure and
    // property data now: computed again if anything changed.
    if (!map_ || !map_->search_ || !map_->ready()) return E_FAIL;
    if (!map_->searchCurrent() && Failed(map_->search_->ComputeAzeotropes())) return E_FAIL;
    const auto& search = *map_->search_;
    const auto naz = static_cast<std::size_t>(std::max<std::int64_t>(search.count(), 0));
    std::vector<std::int64_t> flags(naz, 0);
    const auto& x = search.singular_compositions();
    const auto& t = search.singular_temperatures();
    for (std::size_t a = 0; a < naz; ++a) {
        // Heterogeneous azeotropes are known to split; the check is for
        // the ones reported as one liquid.
        if (search.phases()[a] != kHomogeneous) continue;
        const std::span<const double> xa(x.data() + (3 + a) * 3, 3);
        flags[a] = LiquidSplitsAtBubblePoint(3, map_->ids_, map_->data_.opset, map_->pressure, xa, t[3 + a]) ? 1 : 0;
    }
    count = static_cast<std::int32_t>(naz);
    const std::array<std::size_t, 1> line{naz};
    return PackLongArrayFrom64(splits, flags, 1, line, line);
}

HRESULT CDistillationDesign::Call(DispId id, InvokeKind kind, std::vector<Variant>& a) {
    switch (id) {
        case 1: return Attach(a[0]);
        case 2:
            if (kind == InvokeKind::PropertyGet) {
                Bstr k;
                const HRESULT hr = GetSearchKind(k);
                if (Succeeded(hr)) a[0] = Variant::String(k);
                return hr;
            }
            return SetSearchKind(a[0].bstrVal);
        case 3: {
            std::int32_t n = 0;
            const HRESULT hr = GetLiquidSplits(n, a[1]);
            a[0] = Variant::I4(n);
            return hr;
        }
        default: return DISP_E_MEMBERNOTFOUND;
    }
}

}  // namespace ternival::server
