// Automation values: arrays with any lower bound, conversions, result
// packing, the wire form and member dispatch.
#include <gtest/gtest.h>

#include <array>
#include <cmath>

#include "automation/dispatch.h"
#include "automation/hresult.h"
#include "automation/wire.h"

namespace ternival::automation {
namespace {

using nlohmann::json;

// Indices honour the lower bounds and the first dimension runs fastest; dimensions and element types have their limits.
TEST(SafeArrayTest, IndicesBoundsAndLimits) {
    const std::array<SafeArrayBound, 2> b{{{1, 3}, {-2, 2}}};
    auto a = SafeArray::Create(VT_R8, b);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->size(), 6u);
    std::size_t off = 99;
    const std::array<std::int64_t, 2> first{1, -2}, second_col{1, -1}, last{3, -1};
    ASSERT_TRUE(a->Offset(first, off));
    EXPECT_EQ(off, 0u);
    ASSERT_TRUE(a->Offset(second_col, off));
    EXPECT_EQ(off, 3u);
    ASSERT_TRUE(a->Offset(last, off));
    EXPECT_EQ(off, 5u);
    const std::array<std::int64_t, 2> below{0, -2}, above{1, 0};
    EXPECT_FALSE(a->Offset(below, off));
    EXPECT_FALSE(a->Offset(above, off));
    EXPECT_EQ(a->PutElement(last, Variant::I4(7)), S_OK);
    EXPECT_DOUBLE_EQ(a->doubles()[5], 7.0);
    EXPECT_EQ(a->PutElement(above, Variant::R8(1)), DISP_E_BADINDEX);
    EXPECT_EQ(a->PutElement(first, Variant::String("x")), DISP_E_TYPEMISMATCH);
    const std::array<SafeArrayBound, 4> four{{{0, 2}, {0, 2}, {0, 2}, {0, 2}}};
    const std::array<SafeArrayBound, 5> five{{{0, 2}, {0, 2}, {0, 2}, {0, 2}, {0, 2}}};
    EXPECT_TRUE(SafeArray::Create(VT_R8, four));
    EXPECT_FALSE(SafeArray::Create(VT_R8, five));
    EXPECT_FALSE(SafeArray::Create(VT_R8, std::span<const SafeArrayBound>{}));
    EXPECT_FALSE(SafeArray::Create(VT_DISPATCH, std::span(four).first(1)));
    const std::array<SafeArrayBound, 4> huge{{{0, 0xFFFFFFFFu}, {0, 0xFFFFFFFFu}, {0, 0xFFFFFFFFu}, {0, 2}}};
    EXPECT_FALSE(SafeArray::Create(VT_R8, huge));
}

TEST(ConversionTest, NumbersAndStringsConvertAsTheRuntimeDoes) {
    double d = 0;
    std::int32_t l = 0;
    EXPECT_EQ(ToDouble(Variant::I4(3), d), S_OK);
    EXPECT_DOUBLE_EQ(d, 3.0);
    EXPECT_EQ(ToDouble(Variant::String("2.5"), d), S_OK);
    EXPECT_DOUBLE_EQ(d, 2.5);
    EXPECT_EQ(ToDouble(Variant::String("abc"), d), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(ToLong(Variant::R8(2.6), l), S_OK);
    EXPECT_EQ(l, 3);
    EXPECT_EQ(ToLong(Variant::R8(-2.6), l), S_OK);
    EXPECT_EQ(l, -3);
    EXPECT_EQ(ToLong(Variant::R8(3e10), l), DISP_E_OVERFLOW);
    EXPECT_EQ(ToLong(Variant::R8(std::nan("")), l), DISP_E_OVERFLOW);
}

TEST(PackingTest, StridesSelectFromACallersBuffer) {
    // Two curves of a 4-point buffer, 2 points used, 3 components:
    // element (c, k, i) = buffer[(c*4 + k)*3 + i].
    std::vector<double> buffer(2 * 4 * 3);
    for (std::size_t i = 0; i < buffer.size(); ++i) buffer[i] = static_cast<double>(i);
    const std::array<std::size_t, 3> counts{2, 2, 3}, strides{0, 4, 3};
    Variant out;
    ASSERT_EQ(PackDoubleArray(out, buffer, 3, counts, strides), S_OK);
    ASSERT_TRUE(out.IsArray());
    Variant e;
    const std::array<std::int64_t, 3> at{1, 1, 2};
    ASSERT_EQ(out.parray->GetElement(at, e), S_OK);
    EXPECT_DOUBLE_EQ(e.dblVal, (1 * 4 + 1) * 3 + 2);
    // The last element sits at 17: a buffer that stops before it is refused.
    EXPECT_EQ(PackDoubleArray(out, std::span(buffer).first(17), 3, counts, strides), E_FAIL);
    const std::array<std::size_t, 4> c4{1, 1, 1, 1}, s4{0, 1, 1, 1};
    std::vector<std::int32_t> longs{1};
    EXPECT_EQ(PackLongArray(out, longs, 4, c4, s4), E_FAIL);  // longs go to 3 dimensions
    std::vector<std::int64_t> wide{0x100000005LL};
    const std::array<std::size_t, 1> one{1}, s1{0};
    ASSERT_EQ(PackLongArrayFrom64(out, wide, 1, one, s1), S_OK);
    EXPECT_EQ(out.parray->longs()[0], 5);
}

TEST(WireTest, ValuesSurviveTheRoundTrip) {
    const std::array<SafeArrayBound, 2> b{{{1, 2}, {0, 3}}};
    auto a = SafeArray::Create(VT_R8, b);
    for (std::size_t i = 0; i < 6; ++i) a->doubles()[i] = 0.5 * static_cast<double>(i);
    const Variant v = Variant::Array(std::move(*a));
    const json j = ToWire(v, [](const auto&) { return 0; });
    EXPECT_EQ(j["vt"], "ARRAY|R8");
    EXPECT_EQ(j["bounds"], json({{1, 2}, {0, 3}}));
    Variant back;
    std::string why;
    ASSERT_TRUE(FromWire(j, [](std::int64_t) { return nullptr; }, back, why)) << why;
    ASSERT_TRUE(back.IsArray());
    EXPECT_EQ(back.parray->bounds()[0].lbound, 1);
    EXPECT_EQ(back.parray->doubles(), v.parray->doubles());
    for (const json& bad : {json{{"vt", "ARRAY|R8"}, {"bounds", {{0, 3}}}, {"data", {1.0, 2.0}}},
                            json{{"vt", "ARRAY|R8"}, {"bounds", {{0, 1}, {0, 1}, {0, 1}, {0, 1}, {0, 1}}},
                                 {"data", {1.0}}},
                            json{{"vt", "NOPE"}}, json{{"vt", "DISPATCH"}, {"object", 5}},
                            json{{"vt", "I4"}, {"value", "x"}}}) {
        EXPECT_FALSE(FromWire(bad, [](std::int64_t) { return nullptr; }, back, why)) << bad.dump();
        EXPECT_FALSE(why.empty());
    }
    ASSERT_TRUE(FromWire(json(2), [](std::int64_t) { return nullptr; }, back, why));
    EXPECT_EQ(back.vt, VT_I4);
    ASSERT_TRUE(FromWire(json(2.5), [](std::int64_t) { return nullptr; }, back, why));
    EXPECT_EQ(back.vt, VT_R8);
}

// An object with one method f(in R8, in BSTR, out I4, retval R8).
class Probe : public DispatchObject {
public:
    const InterfaceInfo& Interface() const override {
        static const InterfaceInfo info{
            "IProbe", "{00000000-0000-0000-0000-000000000001}",
            {{3, "Scale", InvokeKind::Method, {In("x", VT_R8), In("s", VT_BSTR), Out("n", VT_I4), RetVal("y", VT_R8)}}}};
        return info;
    }
    int calls = 0;

protected:
    HRESULT Call(DispId, InvokeKind, std::vector<Variant>& a) override {
        ++calls;
        a[2] = Variant::I4(static_cast<std::int32_t>(a[1].bstrVal.size()));
        a[3] = Variant::R8(2 * a[0].dblVal);
        return S_OK;
    }
};

TEST(DispatchTest, ArgumentsAreCheckedBeforeTheMemberRuns) {
    Probe p;
    DispId id = 0;
    ASSERT_EQ(p.Interface().IdOfName("sCaLe", id), S_OK);
    EXPECT_EQ(id, 3);
    EXPECT_EQ(p.Interface().IdOfName("Other", id), DISP_E_UNKNOWNNAME);
    std::vector<Variant> args{Variant::String("1.5"), Variant::String("abc"), Variant{}, Variant{}};
    ASSERT_EQ(p.Invoke(3, InvokeKind::Method, args), S_OK);
    EXPECT_DOUBLE_EQ(args[3].dblVal, 3.0);
    EXPECT_EQ(args[2].lVal, 3);
    std::vector<Variant> wrong{Variant::R8(1), Variant::R8(2), Variant{}, Variant{}};
    EXPECT_EQ(p.Invoke(3, InvokeKind::Method, wrong), DISP_E_TYPEMISMATCH);
    std::vector<Variant> short_args{Variant::R8(1)};
    EXPECT_EQ(p.Invoke(3, InvokeKind::Method, short_args), DISP_E_BADPARAMCOUNT);
    EXPECT_EQ(p.Invoke(3, InvokeKind::PropertyGet, args), DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(p.Invoke(4, InvokeKind::Method, args), DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(p.calls, 1);
}

}  // namespace
}  // namespace ternival::automation
