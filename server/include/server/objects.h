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
#include "design/column.h"
#include "design/regions.h"
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

// Counts the openings and closings of problem files in this process, so
// that indices and results taken from one file are never used with
// another.  0 before any file has been opened.
std::uint64_t EngineGeneration();

// True when the current package has a problem file open and every index
// names one of its components, each once; the computing members refuse to
// run otherwise.
bool EngineKnows(std::span<const std::int64_t> ids);

// A pressure the engine can work at: finite, positive, not the missing
// value, at most 100 MPa.
bool ValidPressure(double pressure);

// Component names as the client gave them, and their engine indices in the
// problem file open now: the names are translated again whenever another
// file has been opened (or the file closed) since the last translation.
class ComponentSet {
public:
    // Replaces the names; false, with nothing changed, when a name repeats
    // (compared as the engine compares IDs: on the first 8 characters,
    // without regard to letter case and trailing blanks).  The
    // same names again keep their translation.
    bool Assign(std::vector<std::string> names);
    std::span<const std::int64_t> ids();
    const std::vector<std::string>& names() const { return names_; }
    std::size_t size() const { return names_.size(); }

private:
    std::vector<std::string> names_;
    std::vector<std::int64_t> ids_;
    std::uint64_t generation_ = 0;
    bool translated_ = false;
};

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

    // For the map: its components, and the singular points of the last
    // search (pure components first).
    void SetComponents(const std::vector<std::string>& names) {
        components_.Assign(names);
        n_ = components_.size();
    }
    std::int64_t count() const { return count_; }
    // True when the tables hold a search of the components, file, pressure
    // and property data set now.
    bool current();
    // Forgets the last search.
    void Forget() { table_ = Table::None; }
    // The classic search (the default) or the complete one, chosen through
    // the design extension.
    void SetComplete(bool complete) { complete_ = complete; }
    const std::vector<double>& singular_compositions() const { return singular_x_; }
    const std::vector<double>& singular_temperatures() const { return singular_t_; }
    const std::vector<std::int64_t>& singular_stability() const { return singular_code_; }
    PropertyData& property_data() { return data_; }
    // Error indicator of the last search, and the first failing flash
    // error of the last pure-component properties (0 for none).
    std::int64_t error_code() const { return error_; }
    std::int64_t pure_error() const { return pure_error_; }
    const std::vector<std::int64_t>& sizes() const { return sizes_; }
    const std::vector<std::int64_t>& phases() const { return phases_; }

protected:
    HRESULT Call(automation::DispId, automation::InvokeKind, std::vector<Variant>& args) override;

    // The search itself takes up to 20 components; larger mixtures are
    // reported through its status (message 509) with the pure components
    // still classified, up to the engine's flash limit.
    static constexpr std::size_t kMaxComponents = 100;

private:
    // What a search's tables belong to.
    struct Key {
        std::uint64_t generation = 0;
        std::vector<std::int64_t> ids;
        double pressure = 0.0;
        std::string opset;
        std::int32_t phase = 0;
        bool complete = false;
        bool operator==(const Key&) const = default;
    };
    Key key();
    void allocate();
    // An engine is open, every component is known to it (once), there are
    // no more than kMaxComponents of them and the pressure is valid.
    bool ready();

    Locked lock_;
    ComponentSet components_;
    std::size_t n_ = 0;  // components_.size()
    double pressure_ = 101325.0;
    PropertyData data_;
    std::int64_t count_ = 0;
    bool complete_ = false;
    // The azeotrope table: none computed (for these arrays), a search's
    // result (for searched_for_), or half written by a search that was
    // stopped.
    enum class Table { None, Valid, Broken };
    Table table_ = Table::None;
    Key searched_for_;
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
    std::int64_t pure_error_ = 0;
};

// A composition argument of the map and its extension: the mole
// fractions of Top and Left (the first two values of an array of up to
// three dimensions, in storage order), with Right the rest; false for
// anything else (see README).
bool ReadComposition(const Variant& v, std::array<double, 3>& x);

class CDistillationDesign;

class CDistillationMap : public automation::DispatchObject {
    friend class CDistillationDesign;

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

    // ErrorCode of GetAzeotropes when the table is not sound (MessageCode
    // 509, 510 and 511 in turn); a failed flash at a singular point gives
    // the flash's own error value.
    static constexpr std::int64_t kMapSearchIncomplete = 1;
    static constexpr std::int64_t kMapUnclassified = 2;
    static constexpr std::int64_t kMapTopologyFailed = 3;
    static constexpr std::int64_t kMessageNotConverged = 502;
    static constexpr std::int64_t kMessageFatalFlash = 507;

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
    // Translates the components against the file open now, drops results
    // that belong to other components or another file, and tells whether
    // the map can compute (known components, valid pressure).
    bool ready();
    void refresh();
    void clearResults();
    // The contained search with the map's components, pressure and
    // property data; true when its tables belong to them.
    bool searchCurrent();
    HRESULT curve(const Variant& start, bool residue, std::int32_t& direction, Variant& out);
    // The map's codes for a flash that failed: its error value, message
    // 502 (not converged) or 507 (fatal), and the run-log line.
    void reportFlashError(std::int64_t error);
    // After a search: the codes for singular points that do not boil where
    // the data reach, for the search's own failures and for a failed
    // topological check.
    void checkSingularPoints();
    HRESULT packEnvelope(const Envelope& e, Variant& curve) const;
    std::string field(std::string_view method) const;

    Locked lock_;
    std::shared_ptr<CAzeotropeSearch> search_;
    ComponentSet components_;
    std::array<std::int64_t, 3> ids_{};
    // The file and components the envelopes were computed for.
    std::uint64_t results_generation_ = 0;
    std::array<std::int64_t, 3> results_ids_{};
    PropertyData data_;
    bool complete_search_ = false;  // set through the design extension
    std::int32_t option_ = 0;
    double ll_temperature_ = 0.0;
    Envelope lle_, vlle_;
    std::vector<double> curve_ = std::vector<double>(kCurvePoints * 3, 0.0);
};

// The design extension: created by its own ProgID in the server of a map
// (its class object serves any number of creations), attached to one map,
// and reading that map's components, pressure, property data and
// azeotropes.  The specified objects behave as before unless a client
// asks for this one.
class CDistillationDesign : public automation::DispatchObject {
public:
    const automation::InterfaceInfo& Interface() const override;

    HRESULT Attach(const Variant& map);
    HRESULT GetSearchKind(Bstr& kind) const;
    HRESULT SetSearchKind(const Bstr& kind);
    HRESULT GetLiquidSplits(std::int32_t& count, Variant& splits);
    HRESULT GetRegions(std::int32_t& count, Variant& nodes, Variant& outlines);
    HRESULT GetMapClass(Bstr& name, Bstr& code);
    HRESULT CheckSplit(const Variant& feed, const Variant& distillate, const Variant& bottoms, double q,
                       std::int32_t& feasible, std::int32_t& total_reflux, Bstr& reason);
    HRESULT GetMinimumReflux(const Variant& feed, const Variant& distillate, const Variant& bottoms, double q,
                             double& r_min, std::int32_t& stages_min, Bstr& reason);
    HRESULT GetColumnProfiles(const Variant& feed, const Variant& distillate, const Variant& bottoms, double q,
                              double reflux, std::int32_t& stages, std::int32_t& feed_stage, Variant& rectifying,
                              Variant& stripping, Bstr& reason);
    const Bstr& last_reason() const { return reason_; }

protected:
    HRESULT Call(automation::DispId, automation::InvokeKind, std::vector<Variant>& args) override;

private:
    // The column of the attached map for these products; false (with the
    // reason kept) when the map cannot compute or the compositions are not
    // three fractions on one mass-balance line through the feed.
    bool spec(const Variant& feed, const Variant& distillate, const Variant& bottoms, double q,
              design::ColumnSpec& out);

    // The map's singular points and boundaries, kept while the map's
    // components, pressure, property data, search and the engine's problem
    // stay the same.
    const design::Topology& topology();

    Locked lock_;
    std::shared_ptr<CDistillationMap> map_;
    Bstr reason_;  // why the last call refused or found no column
    std::string topology_key_;
    design::Topology topology_;
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
