#include "server/interfaces.h"

namespace ternival::server {

using automation::In;
using automation::InterfaceInfo;
using automation::InvokeKind;
using automation::MemberInfo;
using automation::Out;
using automation::RetVal;
using namespace automation;  // VT_ constants

namespace {

constexpr auto M = InvokeKind::Method;
constexpr auto G = InvokeKind::PropertyGet;
constexpr auto P = InvokeKind::PropertyPut;
constexpr VarType kArrayBstr = VT_ARRAY | VT_BSTR;

std::vector<MemberInfo> property(DispId id, const char* name, VarType vt) {
    return {{id, name, G, {RetVal("pVal", vt)}}, {id, name, P, {In("newVal", vt)}}};
}

InterfaceInfo build(const char* name, std::string_view iid, std::vector<std::vector<MemberInfo>> groups) {
    InterfaceInfo info{name, std::string(iid), {}};
    for (auto& g : groups)
        for (auto& m : g) info.members.push_back(std::move(m));
    return info;
}

}  // namespace

const InterfaceInfo& DistillationAppInterface() {
    static const InterfaceInfo info = build(
        "IDistillationApp", kIidDistillationApp,
        {{{1, "GetAzeotropeSearch", M, {RetVal("ppAzeotropeSearch", VT_DISPATCH)}},
          {2, "GetDistillationMap", M, {RetVal("ppDistillationMap", VT_DISPATCH)}},
          {3, "InitFromVmpdfFile", M, {In("bstrVmpdfFile", VT_BSTR)}},
          {4, "GetPropertyPackage", M, {RetVal("ppPropertyPackage", VT_DISPATCH)}},
          {5, "CloseVmpdfFile", M, {}},
          {8, "InitFromVmpdfFileWithCWD", M, {In("bstrVmpdfFile", VT_BSTR), In("bstrcwd", VT_BSTR)}}}});
    return info;
}

const InterfaceInfo& AzeotropeSearchInterface() {
    static const InterfaceInfo info = build(
        "IAzeotropeSearch", kIidAzeotropeSearch,
        {{{1, "ComputeAzeotropes", M, {}},
          {2, "ShowDiagnostic", M, {}},
          {3, "SetComponentData", M, {In("vComponents", VT_VARIANT)}},
          {4, "SetPropertyData", M,
           {In("szOpset", VT_BSTR), In("szVLEModel", VT_BSTR), In("szLLEModel", VT_BSTR), In("nPhase", VT_I4)}}},
         property(5, "Pressure", VT_R8),
         {{6, "GetAzeotropes", M,
           {Out("nAzeotropes", VT_I4), Out("vAzeotropes", VT_VARIANT), Out("vTemperature", VT_VARIANT),
            Out("vPhase", VT_VARIANT), Out("vStability", VT_VARIANT)}},
          {7, "GetPureProperties", M,
           {Out("vComposition", VT_VARIANT), Out("vTemperature", VT_VARIANT), Out("vStability", VT_VARIANT)}}}});
    return info;
}

const InterfaceInfo& PropertyPackageInterface() {
    static const InterfaceInfo info = build(
        "IPropertyPackage", kIidPropertyPackage,
        {{{1, "InitFromVmpdfFile", M, {In("bstrVmpdfFile", VT_BSTR)}},
          {2, "GetComponentList", M, {Out("vCompIds", VT_VARIANT), Out("vName", VT_VARIANT), Out("vMolwt", VT_VARIANT)}},
          {3, "GetPhaseList", M, {RetVal("phases", kArrayBstr)}},
          {4, "GetPropMethodList", M, {RetVal("saPropmethod", kArrayBstr)}},
          {5, "CalcEquilibrium", M,
           {In("saCompId", kArrayBstr), In("bstrPropMethod", VT_BSTR), In("bstrFlashType", VT_BSTR),
            In("dbTemp", VT_R8), In("dbX", VT_R8), In("dbY", VT_R8), In("dbCompositionL1", VT_R8),
            In("dbCompositionL2", VT_R8)}},
          {6, "CloseVmpdfFile", M, {In("bstrVmpdfFile", VT_BSTR)}},
          {7, "OpenVmpdfFile", M, {In("bstrVmpdfFile", VT_BSTR)}}},
         property(8, "FlashTol", VT_R8),
         property(9, "FlashMaxIter", VT_I4)});
    return info;
}

const InterfaceInfo& DistillationMapInterface() {
    const auto point = [](const char* name) { return In(name, VT_VARIANT); };
    static const InterfaceInfo info = build(
        "IDistillationMap", kIidDistillationMap,
        {{{1, "ComputeEnvelopeLLE", M, {}},
          {2, "GetTielinesLLE", M, {Out("vTieline", VT_VARIANT)}},
          {3, "GetCurveLLE", M, {Out("vXCurve", VT_VARIANT)}},
          {4, "SetComponentData", M, {In("bstrTop", VT_BSTR), In("bstrLeft", VT_BSTR), In("bstrRight", VT_BSTR)}},
          {5, "SetPropertyData", M,
           {In("szOpset", VT_BSTR), In("szVLEModel", VT_BSTR), In("szLLEModel", VT_BSTR), In("nPhase", VT_I4)}}},
         property(6, "StepSizeEnv", VT_R8),
         property(7, "Pressure", VT_R8),
         property(8, "Temperature", VT_R8),
         {{9, "SetCalculationOption", M, {In("nOption", VT_I4), In("dbLLTemp", VT_R8)}},
          {10, "ErrorCode", G, {RetVal("pVal", VT_I4)}},
          {11, "MessageCode", G, {RetVal("pVal", VT_I4)}},
          {12, "GetAzeotropes", M,
           {Out("nAzeotropes", VT_I4), Out("vAzeotropes", VT_VARIANT), Out("vTemperature", VT_VARIANT),
            Out("vPhase", VT_VARIANT), Out("vStability", VT_VARIANT)}},
          {13, "GetPureProperties", M,
           {Out("vPureComp", VT_VARIANT), Out("vTemperature", VT_VARIANT), Out("vStability", VT_VARIANT)}},
          {14, "GetResidueCurve", M,
           {point("vInitPoint"), Out("nDirection", VT_I4), Out("vResidueCurve", VT_VARIANT)}},
          {15, "GetDistillationBoundary", M,
           {Out("nCurves", VT_I4), Out("vDirection", VT_VARIANT), Out("vDistillationBoundary", VT_VARIANT)}},
          {16, "GetDistillationCurve", M,
           {point("vInitPoint"), Out("nDirection", VT_I4), Out("vDistillationCurve", VT_VARIANT)}},
          {17, "ComputeEnvelopeVLLE", M, {}},
          {18, "GetCurveVLLE", M, {Out("vXCurve", VT_VARIANT), Out("dbPlaitTemp", VT_R8)}},
          {19, "GetTielinesVLLE", M, {Out("vTieline", VT_VARIANT), Out("vTiePoints", VT_VARIANT)}},
          {20, "GetBoilingPoint", M, {point("vComposition"), Out("dbBoilingPoint", VT_R8)}},
          {21, "ComputeTieLine", M, {point("vComposition"), Out("vPoint1", VT_VARIANT), Out("vPoint2", VT_VARIANT)}},
          {22, "GetIsovolatilityCurve", M, {Out("nCurves", VT_I4), Out("vIsovolatilityCurve", VT_VARIANT)}},
          {23, "GetNewTieLineLLE", M, {point("vComposition"), Out("vX1", VT_VARIANT), Out("vX2", VT_VARIANT)}},
          {24, "GetNewTieLineVLLE", M,
           {point("vComposition"), Out("vX1", VT_VARIANT), Out("vX2", VT_VARIANT), Out("vY", VT_VARIANT)}}},
         property(25, "StepSizeCurve", VT_R8),
         property(26, "CurveCalcOption", VT_I4)});
    return info;
}

const InterfaceInfo& DistillationDesignInterface() {
    static const InterfaceInfo info = build(
        "IDistillationDesign", kIidDistillationDesign,
        {{{1, "Attach", M, {In("vMap", VT_DISPATCH)}}},
         property(2, "SearchKind", VT_BSTR),
         {{3, "GetLiquidSplits", M, {Out("nAzeotropes", VT_I4), Out("vLiquidSplits", VT_VARIANT)}},
          {4, "GetRegions", M, {Out("nRegions", VT_I4), Out("vNodes", VT_VARIANT), Out("vOutlines", VT_VARIANT)}},
          {5, "GetMapClass", M, {Out("bstrClass", VT_BSTR), Out("bstrCode", VT_BSTR)}},
          {6, "CheckSplit", M,
           {In("vFeed", VT_VARIANT), In("vDistillate", VT_VARIANT), In("vBottoms", VT_VARIANT), In("dbQ", VT_R8),
            Out("nFeasible", VT_I4), Out("nTotalReflux", VT_I4), Out("bstrReason", VT_BSTR)}},
          {7, "GetMinimumReflux", M,
           {In("vFeed", VT_VARIANT), In("vDistillate", VT_VARIANT), In("vBottoms", VT_VARIANT), In("dbQ", VT_R8),
            Out("dbRmin", VT_R8), Out("nStagesMin", VT_I4), Out("bstrReason", VT_BSTR)}},
          {8, "GetColumnProfiles", M,
           {In("vFeed", VT_VARIANT), In("vDistillate", VT_VARIANT), In("vBottoms", VT_VARIANT), In("dbQ", VT_R8),
            In("dbReflux", VT_R8), Out("nStages", VT_I4), Out("nFeedStage", VT_I4), Out("vRectifying", VT_VARIANT),
            Out("vStripping", VT_VARIANT), Out("bstrReason", VT_BSTR)}},
          {9, "LastReason", G, {RetVal("pVal", VT_BSTR)}}}});
    return info;
}

const TypeLibraryInfo& TernivalTypeLibrary() {
    static const TypeLibraryInfo lib{
        "TERNIVALLib",
        std::string(kLibId),
        38,
        0,
        {&DistillationAppInterface(), &AzeotropeSearchInterface(), &PropertyPackageInterface(),
         &DistillationMapInterface(), &DistillationDesignInterface()},
        {{"DistillationApp", std::string(kClsidDistillationApp), "IDistillationApp", "Ternival.DistillationApp",
          "DistillationApp Class"},
         {"AzeotropeSearch", std::string(kClsidAzeotropeSearch), "IAzeotropeSearch", "Ternival.AzeotropeSearch",
          "AzeotropeSearch Class"},
         {"PropertyPackage", std::string(kClsidPropertyPackage), "IPropertyPackage",
          "DistillationApp.PropertyPackage", "PropertyPackage Class"},
         {"DistillationMap", std::string(kClsidDistillationMap), "IDistillationMap", "", "DistillationMap Class"},
         {"DistillationDesign", std::string(kClsidDistillationDesign), "IDistillationDesign",
          "Ternival.DistillationDesign", "DistillationDesign Class", true}}};
    return lib;
}

}  // namespace ternival::server
