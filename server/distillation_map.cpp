#include <algorithm>
#include <cmath>

#include "azeotrope/search.h"
#include "azeotrope/stability.h"
#include "engine/run_log.h"
#include "engine/engine_flash.h"
#include "engine/session.h"
#include "rcm/dist_boundary.h"
#include "rcm/distillation_curve.h"
#include "rcm/isovolatility.h"
#include "rcm/residue_curve.h"
#include "server/interfaces.h"
#include "server/objects.h"

namespace ternival::server {

using namespace automation;

namespace {

constexpr std::size_t kBoundaries = 20;
constexpr std::int64_t kBoundariesAsked = 10;
constexpr std::size_t kIsoCurves = 20;
constexpr double kMissingTie = -999.0;
constexpr double kSumTolerance = 1e-6;

// Composition argument: the mole fractions of Top and Left, the first two
// values of an array of up to three dimensions read in storage order (a
// 1 x 3 matrix is read by its elements); Right is 1 minus their sum, and a
// third value given is not read.  Round-off below zero, down to -1e-6 (as
// in the points of a curve fed back as starts), counts as zero.  Refused:
// fewer than two values, a non-finite one, a fraction outside [0, 1] by
// more than 1e-6, or Top and Left summing above 1 by more than that.
}  // namespace

bool ReadComposition(const Variant& v, std::array<double, 3>& x) {
    std::vector<double> values;
    if (Failed(ReadDoubleArray(v, values)) || values.size() < 2) return false;
    for (std::size_t i = 0; i < 2; ++i) {
        const double xi = values[i];
        if (!std::isfinite(xi) || xi < -kSumTolerance || xi > 1.0 + kSumTolerance) return false;
        x[i] = std::clamp(xi, 0.0, 1.0);
    }
    if (values[0] + values[1] > 1.0 + kSumTolerance) return false;
    x[2] = std::max(0.0, 1.0 - x[0] - x[1]);
    // Top and Left summing to 1 within the tolerance: scale them onto the
    // edge so that the three fractions sum to 1.
    if (const double s = x[0] + x[1]; s > 1.0) {
        x[0] /= s;
        x[1] /= s;
    }
    return true;
}

namespace {

HRESULT packPoint(Variant& out, std::span<const double> x) {
    const std::array<std::size_t, 1> count{3}, strides{0};
    return PackDoubleArray(out, x, 1, count, strides);
}

double distance(std::span<const double> a, std::span<const double> b) {
    double s = 0.0;
    for (std::size_t i = 0; i < 3; ++i) s += (a[i] - b[i]) * (a[i] - b[i]);
    return s > 0.0 ? std::sqrt(s) : 0.0;
}

// curves x maxpts x 3 from a buffer of `stride` points per curve.
HRESULT packCurves(Variant& out, std::span<const double> buffer, std::size_t curves,
                   std::span<const std::int64_t> points, std::size_t stride) {
    std::size_t maxpts = 0;
    for (std::size_t c = 0; c < curves && c < points.size(); ++c)
        maxpts = std::max(maxpts, static_cast<std::size_t>(std::max<std::int64_t>(points[c], 0)));
    maxpts = std::min(maxpts, stride);
    const std::array<std::size_t, 3> counts{curves, maxpts, 3}, strides{0, stride, 3};
    return PackDoubleArray(out, buffer, 3, counts, strides);
}

}  // namespace

CDistillationMap::CDistillationMap() = default;

const InterfaceInfo& CDistillationMap::Interface() const { return DistillationMapInterface(); }

std::string CDistillationMap::field(std::string_view method) const {
    std::string f(method.substr(0, 9));
    f.resize(10, ' ');
    return f;
}

HRESULT CDistillationMap::SetComponentData(const Bstr& top, const Bstr& left, const Bstr& right) {
    if (!CurrentPackage()) return E_FAIL;
    if (!components_.Assign({top, left, right})) return E_FAIL;
    refresh();
    return S_OK;
}

void CDistillationMap::refresh() {
    const auto ids = components_.ids();
    ids_.fill(0);
    std::copy_n(ids.begin(), std::min<std::size_t>(ids.size(), 3), ids_.begin());
    if (results_generation_ == EngineGeneration() && results_ids_ == ids_) return;
    clearResults();
    results_generation_ = EngineGeneration();
    results_ids_ = ids_;
}

void CDistillationMap::clearResults() {
    lle_ = Envelope{};
    vlle_ = Envelope{};
    if (search_) search_->Forget();
}

bool CDistillationMap::ready() {
    refresh();
    return components_.size() == 3 && ValidPressure(pressure) && EngineKnows(ids_);
}

bool CDistillationMap::searchCurrent() {
    if (!search_) return false;
    search_->SetPressure(pressure);
    search_->SetPropertyData(data_.opset, data_.vle_model, data_.lle_model, data_.phase);
    search_->SetComponents(components_.names());
    search_->SetComplete(complete_search_);
    return search_->current();
}

HRESULT CDistillationMap::SetPropertyData(const Bstr& szOpset, const Bstr& szVLEModel, const Bstr& szLLEModel,
                                          std::int32_t nPhase) {
    data_.Set(szOpset, szVLEModel, szLLEModel, nPhase);
    return S_OK;
}

HRESULT CDistillationMap::SetCalculationOption(std::int32_t option, double ll_temperature) {
    option_ = option;
    ll_temperature_ = ll_temperature;
    return S_OK;
}

void CDistillationMap::reportFlashError(std::int64_t error) {
    error_code = error;
    message_code = error > 0 ? kMessageNotConverged : kMessageFatalFlash;
    LogRunMessage(static_cast<int>(message_code), "Azeo_Search");
}

HRESULT CDistillationMap::GetPureProperties(Variant& composition, Variant& temperature, Variant& stability) {
    if (!ready()) return E_FAIL;
    if (!search_) search_ = std::make_shared<CAzeotropeSearch>();
    searchCurrent();
    error_code = 0;
    message_code = 0;
    const HRESULT hr = search_->GetPureProperties(composition, temperature, stability);
    // A boiling point the engine could not find, or found where its data
    // do not reach (above the critical temperature, outside the vapour-
    // pressure correlation), is reported as the flash's failure; its
    // temperature stays at -1 (not computed).
    if (Succeeded(hr) && search_->pure_error() != 0) reportFlashError(search_->pure_error());
    return hr;
}

HRESULT CDistillationMap::GetAzeotropes(std::int32_t& count, Variant& compositions, Variant& temperatures,
                                        Variant& phases, Variant& stability) {
    count = 0;
    if (!search_) return E_FAIL;
    searchCurrent();
    // A refused search (no file open, unknown component, bad pressure)
    // is the answer: never the azeotropes of an earlier mixture.
    if (!ready()) return E_FAIL;
    error_code = 0;
    message_code = 0;
    if (const HRESULT hr = search_->ComputeAzeotropes(); Failed(hr)) return hr;
    checkSingularPoints();
    return search_->GetAzeotropes(count, compositions, temperatures, phases, stability);
}

void CDistillationMap::checkSingularPoints() {
    // Every singular point must boil where the data describe the mixture:
    // a bubble point the engine refuses makes the whole table no result.
    const std::int64_t naz = search_->count();
    const auto& sx = search_->singular_compositions();
    for (std::int64_t k = 0; k < 3 + naz; ++k) {
        std::array<double, 3> z{}, y{}, x{}, x1{}, x2{};
        std::copy_n(sx.begin() + k * 3, 3, z.begin());
        double t = 0.0, p = pressure, vf = 0.0, result = 0.0;
        std::int64_t error = 0;
        EngineFlash("PV", data_.phase, data_.opset, 3, ids_, z, t, p, vf, y, x, result, x1, x2, error);
        if (error != 0) {
            reportFlashError(error);
            return;
        }
    }
    // The search's own findings: a limit reached, a point it could not
    // classify, and codes that break the topological constraint.
    switch (search_->error_code()) {
        case kAzeoSearchFailed: error_code = kMapSearchIncomplete; message_code = 509; return;
        case kAzeoClassifyFailed: error_code = kMapUnclassified; message_code = 510; return;
        default: break;
    }
    std::vector<std::int64_t> sizes(static_cast<std::size_t>(3 + naz), 1);
    for (std::int64_t a = 0; a < naz; ++a) sizes[static_cast<std::size_t>(3 + a)] = search_->sizes()[static_cast<std::size_t>(a)];
    const auto& codes = search_->singular_stability();
    if (TopologicalIndex(sizes, std::span(codes).first(sizes.size())) != 2) {
        error_code = kMapTopologyFailed;
        message_code = 511;
    }
}

HRESULT CDistillationMap::curve(const Variant& start, bool residue, std::int32_t& direction, Variant& out) {
    std::array<double, 3> x0{};
    if (!ready() || !ReadComposition(start, x0)) return E_FAIL;
    // The end test uses the singular points only when they were found for
    // these components, this file, pressure and property data.
    const std::int64_t naz = searchCurrent() ? search_->count() : 0;
    const std::int64_t end_test = naz > 0 && curve_calc_option == 1 ? 1 : 2;
    error_code = 0;
    message_code = 0;
    static const std::vector<double> no_x;
    static const std::vector<std::int64_t> no_codes;
    const auto& sx = naz > 0 ? search_->singular_compositions() : no_x;
    const auto& sc = naz > 0 ? search_->singular_stability() : no_codes;
    std::int64_t count = static_cast<std::int64_t>(kCurvePoints), dir = 0;
    const std::string method = field(data_.opset);
    if (residue)
        residue_curve(3, x0, 1, end_test, naz, sx, sc, pressure, ids_, method, data_.phase, step_size_curve, count,
                      dir, curve_, error_code);
    else
        Distillation_Curve(3, x0, 1, end_test, naz, sx, sc, pressure, ids_, method, data_.phase, count, dir, curve_,
                           error_code);
    direction = static_cast<std::int32_t>(dir);
    const std::array<std::size_t, 2> counts{static_cast<std::size_t>(std::clamp<std::int64_t>(count, 0, kCurvePoints)), 3},
        strides{0, 3};
    return PackDoubleArray(out, curve_, 2, counts, strides);
}

HRESULT CDistillationMap::GetResidueCurve(const Variant& start, std::int32_t& direction, Variant& out) {
    return curve(start, true, direction, out);
}

HRESULT CDistillationMap::GetDistillationCurve(const Variant& start, std::int32_t& direction, Variant& out) {
    return curve(start, false, direction, out);
}

HRESULT CDistillationMap::GetDistillationBoundary(std::int32_t& count, Variant& directions, Variant& boundaries) {
    count = 0;
    if (!ready()) return E_FAIL;
    std::int64_t naz = 0;
    std::vector<double> sx, st;
    std::vector<std::int64_t> sc;
    if (search_) {
        // The azeotropes at the map's own pressure and property data, so
        // that the boundaries end where they are.
        searchCurrent();
        if (Failed(search_->ComputeAzeotropes())) return E_FAIL;
        naz = search_->count();
        sx = search_->singular_compositions();
        sc = search_->singular_stability();
        st = search_->singular_temperatures();
    } else {
        // Without a search the pure components alone are the singular
        // points; their boiling points and stabilities orient the edges.
        sx.assign(9, 0.0);
        for (std::size_t i = 0; i < 3; ++i) sx[i * 3 + i] = 1.0;
        sc.assign(3, 0);
        st.assign(3, 0.0);
        std::vector<double> kvalues(9, 0.0);
        std::int64_t pure_error = 0;
        PureComponentProperties(3, pressure, ids_, data_.opset, data_.phase, st, sc, kvalues, pure_error);
    }
    error_code = 0;
    message_code = 0;
    std::int64_t curves = kBoundariesAsked;
    std::vector<std::int64_t> points(kBoundaries, 0), dirs(kBoundaries, 0);
    points[0] = static_cast<std::int64_t>(kCurvePoints);
    std::vector<double> buffer(kBoundaries * kCurvePoints * 3, -1.0);
    Dist_Boundary(3, pressure, naz, sx, sc, st, step_size_curve, ids_, field(data_.opset), data_.phase, curves, points,
                  buffer, dirs, error_code);
    const auto nc = static_cast<std::size_t>(std::clamp<std::int64_t>(curves, 0, kBoundaries));
    count = static_cast<std::int32_t>(nc);
    const std::array<std::size_t, 1> line{nc};
    if (Failed(PackLongArrayFrom64(directions, dirs, 1, line, line))) return E_FAIL;
    return packCurves(boundaries, buffer, nc, points, kCurvePoints);
}

HRESULT CDistillationMap::GetIsovolatilityCurve(std::int32_t& count, Variant& curves) {
    count = 0;
    if (!ready()) return E_FAIL;
    error_code = 0;
    message_code = 0;
    std::int64_t nc = static_cast<std::int64_t>(kIsoCurves), ignored = 0;
    std::vector<std::int64_t> points(kIsoCurves, 0);
    points[0] = static_cast<std::int64_t>(kCurvePoints);
    std::vector<double> buffer(kIsoCurves * kCurvePoints * 3, -1.0);
    Isovolatility_Curves(3, pressure, ids_, data_.phase, field(data_.opset), nc, points, buffer, ignored);
    const auto found = static_cast<std::size_t>(std::clamp<std::int64_t>(nc, 0, kIsoCurves));
    count = static_cast<std::int32_t>(found);
    return packCurves(curves, buffer, found, points, kCurvePoints);
}

HRESULT CDistillationMap::packEnvelope(const Envelope& e, Variant& curve) const {
    const auto nc = static_cast<std::size_t>(std::clamp<std::int64_t>(e.curve_count, 0, 3));
    return packCurves(curve, e.curves, nc, e.points, kEnvelopePoints);
}

HRESULT CDistillationMap::GetCurveLLE(Variant& curve) {
    refresh();
    return packEnvelope(lle_, curve);
}

HRESULT CDistillationMap::GetTielinesLLE(Variant& ties) {
    refresh();
    const auto t = static_cast<std::size_t>(std::clamp<std::int64_t>(lle_.tie_count, 0, kTieLines));
    const std::array<std::size_t, 2> counts{2 * t, 3}, strides{0, 3};
    return PackDoubleArray(ties, lle_.ties, 2, counts, strides);
}

HRESULT CDistillationMap::GetCurveVLLE(Variant& curve, double& plait_temperature) {
    refresh();
    plait_temperature = vlle_.plait_temperature;
    return packEnvelope(vlle_, curve);
}

HRESULT CDistillationMap::GetTielinesVLLE(Variant& ties, Variant& tie_points) {
    refresh();
    const auto t = static_cast<std::size_t>(std::clamp<std::int64_t>(vlle_.tie_count, 0, kTieLines));
    const std::array<std::size_t, 2> counts{2 * t, 3}, points{t, 3}, strides{0, 3};
    if (Failed(PackDoubleArray(ties, vlle_.ties, 2, counts, strides))) return E_FAIL;
    return PackDoubleArray(tie_points, vlle_.tie_points, 2, points, strides);
}

HRESULT CDistillationMap::GetBoilingPoint(const Variant& composition, double& temperature) {
    std::array<double, 3> z{}, y{}, x{}, x1{}, x2{};
    if (!ready() || !ReadComposition(composition, z)) return E_FAIL;
    double t = 0.0, p = pressure, vf = 0.0, result = 0.0;
    std::int64_t error = 0;
    EngineFlash("PV", data_.phase, data_.opset, 3, ids_, z, t, p, vf, y, x, result, x1, x2, error);
    if (error != 0) return E_FAIL;
    temperature = t;
    return S_OK;
}

HRESULT CDistillationMap::ComputeTieLine(const Variant& composition, Variant&, Variant&) {
    std::array<double, 3> z{};
    ReadComposition(composition, z);
    return S_OK;
}

HRESULT CDistillationMap::GetNewTieLineLLE(const Variant& composition, Variant& out1, Variant& out2) {
    std::array<double, 3> z{}, y{}, x{}, x1{}, x2{};
    if (!ready() || !ReadComposition(composition, z)) return E_FAIL;
    double t = temperature, p = pressure, vf = 0.0, result = 0.0;
    std::int64_t error = 0;
    EngineFlash("TP", data_.phase, data_.lle_model.substr(0, 9), 3, ids_, z, t, p, vf, y, x, result, x1, x2, error);
    if (error != 0) return E_FAIL;
    const std::array<double, 3> marker{kMissingTie, kMissingTie, kMissingTie};
    const bool split = distance(x1, x2) > 1e-4 && vf < 1.0;
    if (Failed(packPoint(out1, split ? std::span<const double>(x1) : marker)) ||
        Failed(packPoint(out2, split ? std::span<const double>(x2) : marker)))
        return E_FAIL;
    return S_OK;
}

HRESULT CDistillationMap::GetNewTieLineVLLE(const Variant& composition, Variant& out1, Variant& out2, Variant& outy) {
    std::array<double, 3> z{}, y{}, x{}, x1{}, x2{};
    if (!ready() || !ReadComposition(composition, z)) return E_FAIL;
    double t = 0.0, p = pressure, vf = 0.0, result = 0.0;
    std::int64_t error = 0;
    EngineFlash("PV", data_.phase, data_.vle_model.substr(0, 9), 3, ids_, z, t, p, vf, y, x, result, x1, x2, error);
    if (error != 0) return E_FAIL;
    const std::array<double, 3> marker{kMissingTie, kMissingTie, kMissingTie};
    const bool split = distance(x1, x2) > 1e-4;
    if (Failed(packPoint(out1, split ? std::span<const double>(x1) : marker)) ||
        Failed(packPoint(out2, split ? std::span<const double>(x2) : marker)) || Failed(packPoint(outy, y)))
        return E_FAIL;
    return S_OK;
}

HRESULT CDistillationMap::Call(DispId id, InvokeKind kind, std::vector<Variant>& a) {
    const bool get = kind == InvokeKind::PropertyGet;
    auto property = [&](double& field) {
        if (get) a[0] = Variant::R8(field);
        else field = a[0].dblVal;
        return S_OK;
    };
    std::int32_t n = 0;
    HRESULT hr = S_OK;
    switch (id) {
        case 1: return ComputeEnvelopeLLE();
        case 2: return GetTielinesLLE(a[0]);
        case 3: return GetCurveLLE(a[0]);
        case 4: return SetComponentData(a[0].bstrVal, a[1].bstrVal, a[2].bstrVal);
        case 5: return SetPropertyData(a[0].bstrVal, a[1].bstrVal, a[2].bstrVal, a[3].lVal);
        case 6: return property(step_size_env);
        case 7: return property(pressure);
        case 8: return property(temperature);
        case 9: return SetCalculationOption(a[0].lVal, a[1].dblVal);
        case 10: a[0] = Variant::I4(static_cast<std::int32_t>(static_cast<std::uint32_t>(error_code))); return S_OK;
        case 11: a[0] = Variant::I4(static_cast<std::int32_t>(static_cast<std::uint32_t>(message_code))); return S_OK;
        case 12:
            hr = GetAzeotropes(n, a[1], a[2], a[3], a[4]);
            a[0] = Variant::I4(n);
            return hr;
        case 13: return GetPureProperties(a[0], a[1], a[2]);
        case 14:
        case 16:
            hr = id == 14 ? GetResidueCurve(a[0], n, a[2]) : GetDistillationCurve(a[0], n, a[2]);
            a[1] = Variant::I4(n);
            return hr;
        case 15:
            hr = GetDistillationBoundary(n, a[1], a[2]);
            a[0] = Variant::I4(n);
            return hr;
        case 17: return ComputeEnvelopeVLLE();
        case 18: {
            double plait = 0.0;
            hr = GetCurveVLLE(a[0], plait);
            a[1] = Variant::R8(plait);
            return hr;
        }
        case 19: return GetTielinesVLLE(a[0], a[1]);
        case 20: {
            double t = 0.0;
            hr = GetBoilingPoint(a[0], t);
            if (Succeeded(hr)) a[1] = Variant::R8(t);
            return hr;
        }
        case 21: return ComputeTieLine(a[0], a[1], a[2]);
        case 22:
            hr = GetIsovolatilityCurve(n, a[1]);
            a[0] = Variant::I4(n);
            return hr;
        case 23: return GetNewTieLineLLE(a[0], a[1], a[2]);
        case 24: return GetNewTieLineVLLE(a[0], a[1], a[2], a[3]);
        case 25: return property(step_size_curve);
        case 26:
            if (get) a[0] = Variant::I4(curve_calc_option);
            else curve_calc_option = a[0].lVal;
            return S_OK;
        default: return DISP_E_MEMBERNOTFOUND;
    }
}

}  // namespace ternival::server
