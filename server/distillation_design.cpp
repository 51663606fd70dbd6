// The design extension attached to a map: the choice of azeotrope search,
// the checks of the map's azeotropes, its regions and class, and columns
// for splits of its mixture.
#include <algorithm>
#include <cmath>

#include "design/classify.h"
#include "design/column.h"
#include "design/regions.h"

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

namespace {

// The map's topology for its components, pressure, property data and
// search.
design::MapInput TopologyInput(const std::array<std::int64_t, 3>& ids, double pressure, const std::string& opset,
                               std::int32_t phase, bool complete) {
    design::MapInput in;
    in.ids = ids;
    in.pressure = pressure;
    in.method = opset;
    in.phase = phase;
    in.complete_search = complete;
    return in;
}

// A section profile as stages x 4 (the three fractions and the temperature).
HRESULT PackProfile(Variant& out, const std::vector<design::Stage>& stages) {
    std::vector<double> data;
    for (const auto& s : stages) data.insert(data.end(), {s.x[0], s.x[1], s.x[2], s.t});
    const std::array<std::size_t, 2> counts{stages.size(), 4}, strides{0, 4};
    return PackDoubleArray(out, data, 2, counts, strides);
}

}  // namespace

const design::Topology& CDistillationDesign::topology() {
    const std::string key = std::to_string(map_->ids_[0]) + "," + std::to_string(map_->ids_[1]) + "," +
                            std::to_string(map_->ids_[2]) + "|" + std::to_string(map_->pressure) + "|" +
                            map_->data_.opset + "|" + std::to_string(map_->data_.phase) + "|" +
                            (map_->complete_search_ ? "complete" : "classic") + "|" +
                            std::to_string(EngineProblemGeneration());
    if (key != topology_key_ || !topology_.error.empty()) {
        topology_ = design::MapTopology(TopologyInput(map_->ids_, map_->pressure, map_->data_.opset, map_->data_.phase,
                                                      map_->complete_search_));
        topology_key_ = key;
    }
    return topology_;
}

HRESULT CDistillationDesign::GetRegions(std::int32_t& count, Variant& nodes, Variant& outlines) {
    count = 0;
    if (!map_ || !map_->ready()) return E_FAIL;
    const design::Topology& t = topology();
    const design::Regions r = design::FindRegions(t.points, t.boundaries);
    reason_ = !t.error.empty() ? t.error : r.error;
    const std::size_t n = r.regions.size();
    std::size_t most = 0;
    for (const auto& g : r.regions) most = std::max(most, g.outline.size());
    std::vector<std::int64_t> ends;
    std::vector<double> pts(n * most * 3, -1.0);
    for (std::size_t g = 0; g < n; ++g) {
        ends.push_back(r.regions[g].unstable_node);
        ends.push_back(r.regions[g].stable_node);
        for (std::size_t k = 0; k < r.regions[g].outline.size(); ++k)
            for (std::size_t i = 0; i < 3; ++i) pts[(g * most + k) * 3 + i] = r.regions[g].outline[k][i];
    }
    count = static_cast<std::int32_t>(n);
    const std::array<std::size_t, 2> ncounts{n, 2}, nstrides{0, 2};
    const std::array<std::size_t, 3> ocounts{n, most, 3}, ostrides{0, most, 3};
    if (Failed(PackLongArrayFrom64(nodes, ends, 2, ncounts, nstrides))) return E_FAIL;
    return PackDoubleArray(outlines, pts, 3, ocounts, ostrides);
}

HRESULT CDistillationDesign::GetMapClass(Bstr& name, Bstr& code) {
    if (!map_ || !map_->ready()) return E_FAIL;
    const design::MapClass c = design::ClassOf(topology().points);
    name = c.name;
    code = c.code;
    reason_ = c.error;
    return S_OK;
}

bool CDistillationDesign::spec(const Variant& feed, const Variant& distillate, const Variant& bottoms, double q,
                               design::ColumnSpec& out) {
    if (!map_ || !map_->ready()) {
        reason_ = "no map attached, or the map cannot compute (file, components, pressure)";
        return false;
    }
    if (!ReadComposition(feed, out.feed) || !ReadComposition(distillate, out.distillate) ||
        !ReadComposition(bottoms, out.bottoms)) {
        reason_ = "a composition is not mole fractions of Top and Left with Right the rest";
        return false;
    }
    if (!(std::isfinite(q) && q >= -5.0 && q <= 5.0)) {
        reason_ = "the feed quality must be a number between -5 and 5";
        return false;
    }
    out.q = q;
    out.ids = map_->ids_;
    out.pressure = map_->pressure;
    out.method = map_->data_.opset;
    out.phase = map_->data_.phase;
    if (const design::Balance b = design::MassBalance(out); !b.error.empty()) {
        reason_ = b.error;
        return false;
    }
    return true;
}

HRESULT CDistillationDesign::CheckSplit(const Variant& feed, const Variant& distillate, const Variant& bottoms,
                                        double q, std::int32_t& feasible, std::int32_t& total_reflux, Bstr& reason) {
    feasible = total_reflux = 0;
    design::ColumnSpec s;
    if (!spec(feed, distillate, bottoms, q, s)) {
        reason = reason_;
        return E_INVALIDARG;
    }
    const design::Topology& t = topology();
    const design::Regions r = design::FindRegions(t.points, t.boundaries);
    const int rd = design::RegionOf(r, s.distillate), rb = design::RegionOf(r, s.bottoms);
    const design::ColumnDesign d = design::DesignColumn(s, std::nullopt, std::nullopt);
    feasible = d.feasible ? 1 : 0;
    total_reflux = d.total_reflux_feasible && !(rd >= 0 && rb >= 0 && rd != rb) ? 1 : 0;
    reason_ = d.reason;
    if (rd >= 0 && rb >= 0 && rd != rb && !d.feasible)
        reason_ = "the distillate and the bottoms lie in different distillation regions: the split crosses a "
                  "distillation boundary";
    reason = reason_;
    return S_OK;
}

HRESULT CDistillationDesign::GetMinimumReflux(const Variant& feed, const Variant& distillate, const Variant& bottoms,
                                              double q, double& r_min, std::int32_t& stages_min, Bstr& reason) {
    r_min = -1.0;
    stages_min = -1;
    design::ColumnSpec s;
    if (!spec(feed, distillate, bottoms, q, s)) {
        reason = reason_;
        return E_INVALIDARG;
    }
    const design::ColumnDesign d = design::DesignColumn(s, std::nullopt, std::nullopt);
    if (d.r_min) r_min = *d.r_min;
    if (d.stages_min) stages_min = *d.stages_min;
    reason_ = reason = d.reason;
    return S_OK;
}

HRESULT CDistillationDesign::GetColumnProfiles(const Variant& feed, const Variant& distillate, const Variant& bottoms,
                                               double q, double reflux, std::int32_t& stages,
                                               std::int32_t& feed_stage, Variant& rectifying, Variant& stripping,
                                               Bstr& reason) {
    stages = feed_stage = -1;
    design::ColumnSpec s;
    if (!spec(feed, distillate, bottoms, q, s) || !(std::isfinite(reflux) && reflux > 0.0)) {
        if (reason_.empty() || !(reflux > 0.0)) reason_ = "the reflux ratio must be a positive number";
        reason = reason_;
        return E_INVALIDARG;
    }
    const design::ColumnDesign d = design::DesignColumn(s, reflux, std::nullopt);
    if (d.stages) stages = *d.stages;
    if (d.feed_stage) feed_stage = *d.feed_stage;
    reason_ = reason = d.reason;
    if (Failed(PackProfile(rectifying, d.rectifying.stages))) return E_FAIL;
    return PackProfile(stripping, d.stripping.stages);
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
        case 4: {
            std::int32_t n = 0;
            const HRESULT hr = GetRegions(n, a[1], a[2]);
            a[0] = Variant::I4(n);
            return hr;
        }
        case 5: {
            Bstr name, code;
            const HRESULT hr = GetMapClass(name, code);
            a[0] = Variant::String(name);
            a[1] = Variant::String(code);
            return hr;
        }
        case 6: {
            std::int32_t feasible = 0, total = 0;
            Bstr reason;
            const HRESULT hr = CheckSplit(a[0], a[1], a[2], a[3].dblVal, feasible, total, reason);
            a[4] = Variant::I4(feasible);
            a[5] = Variant::I4(total);
            a[6] = Variant::String(reason);
            return hr;
        }
        case 7: {
            double r = -1.0;
            std::int32_t n = -1;
            Bstr reason;
            const HRESULT hr = GetMinimumReflux(a[0], a[1], a[2], a[3].dblVal, r, n, reason);
            a[4] = Variant::R8(r);
            a[5] = Variant::I4(n);
            a[6] = Variant::String(reason);
            return hr;
        }
        case 8: {
            std::int32_t n = -1, f = -1;
            Bstr reason;
            const HRESULT hr = GetColumnProfiles(a[0], a[1], a[2], a[3].dblVal, a[4].dblVal, n, f, a[7], a[8], reason);
            a[5] = Variant::I4(n);
            a[6] = Variant::I4(f);
            a[9] = Variant::String(reason);
            return hr;
        }
        case 9:
            a[0] = Variant::String(reason_);
            return S_OK;
        default: return DISP_E_MEMBERNOTFOUND;
    }
}

}  // namespace ternival::server
