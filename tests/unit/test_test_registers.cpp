// The test server's conversions of written values, with hostile input: every
// value gets a converted value or a clear code, never a crash.
#include "core/Cache.h"
#include "sim/TestDevice.h"
#include "sim/TestRegisters.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {
HRESULT Convert(const VARIANT& in, VARTYPE vt, VARIANT* out = nullptr)
{
    VARIANT local;
    HRESULT hr = ConvertToRegisterType(in, vt, out ? out : &local);
    if (!out)
        VariantClear(&local);
    return hr;
}

VARIANT Real(double d)
{
    VARIANT v;
    v.vt = VT_R8;
    v.dblVal = d;
    return v;
}

SAFEARRAY* Array(VARTYPE vt, ULONG n, UINT dims = 1)
{
    SAFEARRAYBOUND bounds[2] = {{n, 0}, {2, 0}};
    return SafeArrayCreate(vt, dims, bounds);
}
}  // namespace

TEST(TestRegisters, ScalarsConvertToEveryTypeOrGiveThePlatformsCode)
{
    VARIANT out;
    VARIANT i8;
    i8.vt = VT_I8;
    i8.llVal = 123;
    ASSERT_EQ(S_OK, Convert(i8, VT_INT, &out));  // through the 32-bit form
    EXPECT_EQ(VT_INT, out.vt);
    EXPECT_EQ(123, out.intVal);
    VARIANT letters;
    letters.vt = VT_BSTR;
    letters.bstrVal = SysAllocString(L"letters");
    EXPECT_EQ(DISP_E_TYPEMISMATCH, Convert(letters, VT_I4));
    ASSERT_EQ(S_OK, Convert(letters, VT_BSTR, &out));
    EXPECT_STREQ(L"letters", out.bstrVal);
    VariantClear(&out);
    VariantClear(&letters);
    VARIANT empty;
    empty.vt = VT_BSTR;
    empty.bstrVal = SysAllocString(L"");
    EXPECT_EQ(DISP_E_TYPEMISMATCH, Convert(empty, VT_I4));
    EXPECT_EQ(S_OK, Convert(empty, VT_BSTR));
    VariantClear(&empty);
    // NaN and infinities: reals keep them, integers refuse them.
    for (double d : {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()}) {
        ASSERT_EQ(S_OK, Convert(Real(d), VT_R8, &out));
        EXPECT_TRUE(std::isnan(out.dblVal) || std::isinf(out.dblVal));
        EXPECT_EQ(DISP_E_OVERFLOW, Convert(Real(d), VT_I4));
        EXPECT_EQ(DISP_E_OVERFLOW, Convert(Real(d), VT_UI8));
        EXPECT_EQ(DISP_E_OVERFLOW, Convert(Real(d), VT_CY));
    }
    EXPECT_EQ(DISP_E_OVERFLOW, Convert(Real(300.0), VT_UI1));
    EXPECT_EQ(DISP_E_OVERFLOW, Convert(Real(-1.0), VT_UINT));
    // A reference is read through.
    LONG target = 77;
    VARIANT ref;
    ref.vt = VT_BYREF | VT_I4;
    ref.plVal = &target;
    ASSERT_EQ(S_OK, Convert(ref, VT_R8, &out));
    EXPECT_EQ(77.0, out.dblVal);
    // An array into a scalar is a type mismatch.
    VARIANT arr;
    arr.vt = VT_ARRAY | VT_I4;
    arr.parray = Array(VT_I4, 2);
    EXPECT_EQ(DISP_E_TYPEMISMATCH, Convert(arr, VT_I4));
    VariantClear(&arr);
}

TEST(TestRegisters, ArraysConvertElementByElementWithinTheirLimits)
{
    VARIANT out;
    // I4 into I8, element by element, the lower bound kept.
    SAFEARRAYBOUND bound = {3, 4};
    VARIANT in;
    in.vt = VT_ARRAY | VT_I4;
    in.parray = SafeArrayCreate(VT_I4, 1, &bound);
    for (LONG i = 4; i < 7; ++i) {
        LONG v = i * 10;
        SafeArrayPutElement(in.parray, &i, &v);
    }
    ASSERT_EQ(S_OK, Convert(in, VT_ARRAY | VT_I8, &out));
    EXPECT_EQ(VT_ARRAY | VT_I8, out.vt);
    LONG i = 5;
    LONGLONG got = 0;
    SafeArrayGetElement(out.parray, &i, &got);
    EXPECT_EQ(50, got);
    VariantClear(&out);
    VariantClear(&in);
    // VARIANT elements of mixed types into strings; a bad one fails the array.
    in.vt = VT_ARRAY | VT_VARIANT;
    in.parray = Array(VT_VARIANT, 2);
    VARIANT e = Real(1.5);
    i = 0;
    SafeArrayPutElement(in.parray, &i, &e);
    ASSERT_EQ(S_OK, Convert(in, VT_ARRAY | VT_BSTR, &out));
    VariantClear(&out);
    EXPECT_EQ(S_OK, Convert(in, VT_ARRAY | VT_R8));  // the empty element converts to 0
    e.vt = VT_BSTR;
    e.bstrVal = SysAllocString(L"x");
    SafeArrayPutElement(in.parray, &i, &e);
    VariantClear(&e);
    EXPECT_EQ(DISP_E_TYPEMISMATCH, Convert(in, VT_ARRAY | VT_R8));
    VariantClear(&in);
    // Empty, too long, more dimensions, a scalar.
    in.vt = VT_ARRAY | VT_R8;
    in.parray = Array(VT_R8, 0);
    ASSERT_EQ(S_OK, Convert(in, VT_ARRAY | VT_DATE, &out));
    EXPECT_EQ(0u, out.parray->rgsabound[0].cElements);
    VariantClear(&out);
    VariantClear(&in);
    in.vt = VT_ARRAY | VT_R8;
    in.parray = Array(VT_R8, 1000000);
    EXPECT_EQ(E_INVALIDARG, Convert(in, VT_ARRAY | VT_R8));
    VariantClear(&in);
    in.vt = VT_ARRAY | VT_R8;
    in.parray = Array(VT_R8, kMaxArrayLength);
    EXPECT_EQ(S_OK, Convert(in, VT_ARRAY | VT_R4));
    VariantClear(&in);
    in.vt = VT_ARRAY | VT_R8;
    in.parray = Array(VT_R8, 3, 2);
    EXPECT_EQ(E_INVALIDARG, Convert(in, VT_ARRAY | VT_R8));
    VariantClear(&in);
    EXPECT_EQ(DISP_E_TYPEMISMATCH, Convert(Real(1.0), VT_ARRAY | VT_R8));
    in.vt = VT_ARRAY | VT_R8;
    in.parray = nullptr;
    EXPECT_EQ(E_INVALIDARG, Convert(in, VT_ARRAY | VT_R8));
}

TEST(TestRegisters, TheDocumentedItemsAndValues)
{
    EXPECT_EQ(2u * 32 + 8, TestRegisters().size());
    const int date = FindRegister(L"echo.date");
    ASSERT_GE(date, 0);
    VARIANT v;
    InitialRegisterValue(TestRegisters()[date], &v);
    EXPECT_EQ(VT_DATE, v.vt);
    EXPECT_DOUBLE_EQ(46024.128530995370, v.date);
    EXPECT_EQ(-1, FindRegister(L"echo.I4"));  // as browsed, case and all
    unsigned int seed = 1;
    RandomValue(VT_ARRAY | VT_BSTR, &seed, &v);
    EXPECT_EQ(kRandomArrayLength, v.parray->rgsabound[0].cElements);
    VariantClear(&v);
}

// A device pass over a register whose cache entry went away since the
// handles were collected (its last item removed meanwhile) drops the sample;
// it used to end the process with an uncaught exception.
TEST(TestRegisters, APassOverAnEntryThatWentAwayDropsItsSample)
{
    CTestItems items;
    CTestIO io;
    CCache cache;
    DWORD h = 0;
    ASSERT_EQ(S_OK, items.AddItem(L"random.array.string", &h));
    EXPECT_EQ(S_OK, io.UpdateItems(DeviceHandleSet{h}, cache));
    EXPECT_EQ(nullptr, cache.FindEntry(h));
}
