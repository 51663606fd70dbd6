// The automation objects of the server: application, property package,
// azeotrope search and ternary map.  Each method takes and returns
// automation values, converts them to plain arrays, calls one numerical
// routine and packs its results.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "automation/dispatch.h"
#include "engine/property_engine.h"

namespace ternival::server {

using automation::Bstr;
using automation::HRESULT;
using automation::Variant;

// Property data shared by the map and the azeotrope search.
struct PropertyData {
    std::string opset;      // property method: first 9 characters of the client's text
    std::string vle_model;  // as received
    std::string lle_model;  // as received
    std::int32_t phase = 2;

    void Set(const Bstr& szOpset, const Bstr& szVLEModel, const Bstr& szLLEModel, std::int32_t nPhase);
};

// Counts the server's live objects; the end of the last one asks the
// message loop to stop.
class ServerLocks {
public:
    static void Lock();
    static void Unlock();
    static long Count();
    // True once the last object has gone (or a shut-down was requested).
    static bool QuitPosted();
    static void PostQuit();
    static void Reset();
};

// Gives every object a share of the server's lock for its lifetime.
class Locked {
public:
    Locked() { ServerLocks::Lock(); }
    ~Locked() { ServerLocks::Unlock(); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;
};

class CPropertyPackage : public automation::DispatchObject {
public:
    CPropertyPackage();  // loads the engine
    ~CPropertyPackage() override;
    const automation::InterfaceInfo& Interface() const override;

    HRESULT InitFromVmpdfFile(const Bstr& file);
    HRESULT GetComponentList(Variant& ids, Variant& names, Variant& molwt);
    HRESULT GetPhaseList(Variant& phases);
    HRESULT GetPropMethodList(Variant& methods);
    HRESULT CalcEquilibrium();
    HRESULT CloseVmpdfFile(const Bstr& file);
    HRESULT OpenVmpdfFile(const Bstr& file);
    double FlashTol() const { return engine_.settings.tolerance; }
    void SetFlashTol(double v) { engine_.settings.tolerance = v; }
    std::int32_t FlashMaxIter() const;
    void SetFlashMaxIter(std::int32_t v);

    bool open() const { return engine_.open == 1; }
    // Flashes use this package's tolerance and iteration limit.
    void MakeCurrent();
    void Close();

    static constexpr std::size_t kMaxComponents = 200;

protected:
    HRESULT Call(automation::DispId, automation::InvokeKind, std::vector<Variant>& args) override;

private:
    Locked lock_;
    PropertyEngine engine_;
    std::vector<std::string> component_ids_;  // cache of the engine's list
};

// The process's current property package (none at start).
std::shared_ptr<CPropertyPackage>& CurrentPackage();

// True when the current package has a problem file open and every index
// names one of its components; the computing members refuse to run
// otherwise.
bool EngineKnows(std::span<const std::int64_t> ids);

class CAzeotropeSearch : public automation::DispatchObject {
public:
    static constexpr std::int64_t kCapacity = 100;

    const automation::InterfaceInfo& Interface() const override;

    HRESULT ComputeAzeotropes();
    HRESULT Diagnostic();
    HRESULT SetComponentData(const Variant& components);
    HRESULT SetPropertyData(const Bstr& szOpset, const Bstr& szVLEModel, const Bstr& szLLEModel, std::int32_t nPhase);
    double Pressure() const { return pressure_; }
    void SetPressure(double p) { pressure_ = p; }
    HRESULT GetAzeotropes(std::int32_t& count, Variant& compositions, Variant& temperatures, Variant& phases,
                          Variant& stability);
    HRESULT GetPureProperties(Variant& composition, Variant& temperature, Variant& stability);

    // For the map: the components as engine indices, and the singular
    // points of the last search (pure components first).
    void SetIndices(const std::array<std::int64_t, 3>& ids);
    std::int64_t count() const { return count_; }
    bool searched() const { return searched_; }
    const std::vector<double>& singular_compositions() const { return singular_x_; }
    const std::vector<double>& singular_temperatures() const { return singular_t_; }
    const std::vector<std::int64_t>& singular_stability() const { return singular_code_; }
    PropertyData& property_data() { return data_; }
    std::int64_t error_code() const { return error_; }

protected:
    HRESULT Call(automation::DispId, automation::InvokeKind, std::vector<Variant>& args) override;

    static constexpr std::size_t kMaxComponents = 20;

private:
    void allocate();
    // An engine is open, every component is known to it and there are no
    // more than kMaxComponents of them.
    bool ready() const;

    Locked lock_;
    std::vector<std::int64_t> ids_;
    std::size_t n_ = 0;
    double pressure_ = 101325.0;
    PropertyData data_;
    std::int64_t count_ = 0;
    bool searched_ = false;
    std::size_t allocated_for_ = 0;
    bool allocated_ = false;
    // Azeotrope table (n x 100, column per azeotrope), pure-component
    // results and the singular-point table.
    std::vector<double> compositions_, temperatures_;
    std::vector<std::int64_t> sizes_, phases_, stability_;
    std::vector<double> pure_x_, boiling_, kvalues_;
    std::vector<std::int64_t> pure_code_;
    std::vector<double> singular_x_, singular_t_;
    std::vector<std::int64_t> singular_code_;
    std::int64_t error_ = 0;
};

class CDistillationMap : public automation::DispatchObject {
public:
    static constexpr std::size_t kCurvePoints = 500;
    static constexpr std::size_t kEnvelopePoints = 200;  // per envelope branch
    static constexpr std::int64_t kTieLines = 100;

    CDistillationMap();
    const automation::InterfaceInfo& Interface() const override;

    HRESULT ComputeEnvelopeLLE();
    HRESULT GetTielinesLLE(Variant& ties);
    HRESULT GetCurveLLE(Variant& curve);
    HRESULT SetComponentData(const Bstr& top, const Bstr& left, const Bstr& right);
    HRESULT SetPropertyData(const Bstr& szOpset, const Bstr& szVLEModel, const Bstr& szLLEModel, std::int32_t nPhase);
    HRESULT SetCalculationOption(std::int32_t option, double ll_temperature);
    HRESULT GetAzeotropes(std::int32_t& count, Variant& compositions, Variant& temperatures, Variant& phases,
                          Variant& stability);
    HRESULT GetPureProperties(Variant& composition, Variant& temperature, Variant& stability);
    HRESULT GetResidueCurve(const Variant& start, std::int32_t& direction, Variant& curve);
    HRESULT GetDistillationBoundary(std::int32_t& count, Variant& directions, Variant& boundaries);
    HRESULT GetDistillationCurve(const Variant& start, std::int32_t& direction, Variant& curve);
    HRESULT ComputeEnvelopeVLLE();
    HRESULT GetCurveVLLE(Variant& curve, double& plait_temperature);
    HRESULT GetTielinesVLLE(Variant& ties, Variant& tie_points);
    HRESULT GetBoilingPoint(const Variant& composition, double& temperature);
    HRESULT ComputeTieLine(const Variant& composition, Variant& point1, Variant& point2);
    HRESULT GetIsovolatilityCurve(std::int32_t& count, Variant& curves);
    HRESULT GetNewTieLineLLE(const Variant& composition, Variant& x1, Variant& x2);
    HRESULT GetNewTieLineVLLE(const Variant& composition, Variant& x1, Variant& x2, Variant& y);

    double step_size_env = 0.1;
    double pressure = 0.0;
    double temperature = 0.0;
    double step_size_curve = 0.3;
    std::int32_t curve_calc_option = 2;
    std::int64_t error_code = 0;
    std::int64_t message_code = 0;

protected:
    HRESULT Call(automation::DispId, automation::InvokeKind, std::vector<Variant>& args) override;

private:
    struct Envelope {
        std::int64_t curve_count = 0;
        std::array<std::int64_t, 3> points{};
        std::vector<double> curves = std::vector<double>(3 * kEnvelopePoints * 3, -1.0);
        std::int64_t tie_count = kTieLines;
        std::vector<double> ties = std::vector<double>(2 * kTieLines * 3, -1.0);
        std::vector<double> tie_points = std::vector<double>(kTieLines * 3, 0.0);
        double plait_temperature = 0.0;
    };
    bool ready() const { return EngineKnows(ids_); }
    HRESULT curve(const Variant& start, bool residue, std::int32_t& direction, Variant& out);
    HRESULT packEnvelope(const Envelope& e, Variant& curve) const;
    std::string field(std::string_view method) const;

    Locked lock_;
    std::shared_ptr<CAzeotropeSearch> search_;
    std::array<std::string, 3> names_;
    std::array<std::int64_t, 3> ids_{};
    PropertyData data_;
    std::int32_t option_ = 0;
    double ll_temperature_ = 0.0;
    Envelope lle_, vlle_;
    std::vector<double> curve_ = std::vector<double>(kCurvePoints * 3, 0.0);
};

class CDistillationApp : public automation::DispatchObject {
public:
    ~CDistillationApp() override;
    const automation::InterfaceInfo& Interface() const override;

    HRESULT GetAzeotropeSearch(Variant& search);
    HRESULT GetDistillationMap(Variant& map);
    HRESULT InitFromVmpdfFile(const Bstr& file);
    HRESULT GetPropertyPackage(Variant& package);
    HRESULT CloseVmpdfFile();
    HRESULT InitFromVmpdfFileWithCWD(const Bstr& file, const Bstr& cwd);

protected:
    HRESULT Call(automation::DispId, automation::InvokeKind, std::vector<Variant>& args) override;

private:
    Locked lock_;
    std::string open_file_;
};

}  // namespace ternival::server
