// Shared helpers: default group names, variant equality, name tables.
#include "common/OPCGlob.h"
#include "common/Trace.h"
#include "core/IdMgr.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

namespace {
VARIANT I4(LONG v) { VARIANT x; x.vt = VT_I4; x.lVal = v; return x; }
VARIANT R8(double v) { VARIANT x; x.vt = VT_R8; x.dblVal = v; return x; }

struct Str {
    VARIANT v;
    explicit Str(const wchar_t* s) { v.vt = VT_BSTR; v.bstrVal = s ? SysAllocString(s) : nullptr; }
    ~Str() { VariantClear(&v); }
};

struct R8Array {
    VARIANT v;
    R8Array(LONG lbound, std::initializer_list<double> values)
    {
        SAFEARRAYBOUND b = {static_cast<ULONG>(values.size()), lbound};
        v.vt = VT_ARRAY | VT_R8;
        v.parray = SafeArrayCreate(VT_R8, 1, &b);
        LONG i = lbound;
        for (double d : values) {
            SafeArrayPutElement(v.parray, &i, &d);
            ++i;
        }
    }
    ~R8Array() { VariantClear(&v); }
};
}  // namespace

TEST(DefaultGroupName, DigitsComeLeastSignificantFirst)
{
    // The names use the process-wide sequence; read the next id to predict.
    wchar_t buf[32];
    unsigned long next = g_idMgr.Allocate() + 1;
    unsigned long id = 0;
    MakeDefaultGroupName(buf, &id);
    EXPECT_EQ(next, id);
    std::wstring digits = std::to_wstring(next);
    std::wstring reversed(digits.rbegin(), digits.rend());
    EXPECT_EQ(L"$Group_" + reversed + L"$", std::wstring(buf));
}

TEST(DefaultGroupName, IdentifierTenGivesZeroOne)
{
    // Take identifiers until the next one ends in 10 (it is 10 itself in a
    // fresh process): its digits come out as "01".
    wchar_t buf[32];
    while (g_idMgr.Allocate() % 100 != 9) {
    }
    unsigned long id = 0;
    MakeDefaultGroupName(buf, &id);  // id ending in 10, e.g. 110 -> "011"
    EXPECT_EQ(10u, id % 100);
    std::wstring name(buf);
    EXPECT_EQ(L"$Group_01", name.substr(0, 9));
    EXPECT_EQ(L'$', name.back());
}

TEST(VariantsEqual, ScalarsByType)
{
    VARIANT a = R8(0.0), b = R8(-0.0);
    EXPECT_TRUE(VariantsEqual(&a, &b));
    a = R8(std::numeric_limits<double>::quiet_NaN());
    b = R8(1.0);
    EXPECT_TRUE(VariantsEqual(&a, &b));  // unordered counts as equal
    a = R8(1.0);
    b = R8(1.5);
    EXPECT_FALSE(VariantsEqual(&a, &b));
    a = I4(5);
    VARIANT c;
    c.vt = VT_I2;
    c.iVal = 5;
    EXPECT_FALSE(VariantsEqual(&a, &c));  // different types
    b = I4(5);
    EXPECT_TRUE(VariantsEqual(&a, &b));
    VARIANT e1, e2;
    VariantInit(&e1);
    VariantInit(&e2);
    EXPECT_TRUE(VariantsEqual(&e1, &e2));
    VARIANT t1, t2;
    t1.vt = t2.vt = VT_BOOL;
    t1.boolVal = VARIANT_TRUE;
    t2.boolVal = VARIANT_FALSE;
    EXPECT_FALSE(VariantsEqual(&t1, &t2));
}

TEST(VariantsEqual, StringsCompareByBytes)
{
    Str abc(L"abc"), abd(L"abd"), abc2(L"abc"), empty(L""), null(nullptr);
    EXPECT_FALSE(VariantsEqual(&abc.v, &abd.v));
    EXPECT_TRUE(VariantsEqual(&abc.v, &abc2.v));
    EXPECT_TRUE(VariantsEqual(&empty.v, &null.v));
}

TEST(VariantsEqual, UnsupportedTypesAreNeverEqualAndReported)
{
    VARIANT d1, d2;
    d1.vt = d2.vt = VT_DATE;
    d1.date = d2.date = 45000.0;
    long before = AssertionCount();
    EXPECT_FALSE(VariantsEqual(&d1, &d2));
    EXPECT_EQ(before + 1, AssertionCount());
    EXPECT_TRUE(VariantsEqual(&d1, &d1));  // the same object
}

TEST(VariantsEqual, OneDimensionalArrays)
{
    R8Array a(0, {1.0, 2.0}), b(0, {1.0, 2.0}), shifted(1, {1.0, 2.0}), other(0, {1.0, 3.0});
    EXPECT_TRUE(VariantsEqual(&a.v, &b.v));
    EXPECT_FALSE(VariantsEqual(&a.v, &shifted.v));
    EXPECT_FALSE(VariantsEqual(&a.v, &other.v));
    R8Array e1(0, {}), e2(0, {});
    EXPECT_TRUE(VariantsEqual(&e1.v, &e2.v));
}

// The change check's comparison: the test server's types by content, the
// rest as VariantsEqual says.
TEST(ValuesEqual, TheTypesVariantsEqualLeavesOutCompareByContent)
{
    VARIANT d1, d2;
    d1.vt = d2.vt = VT_DATE;
    d1.date = d2.date = 45000.123;
    long before = AssertionCount();
    EXPECT_TRUE(ValuesEqual(&d1, &d2));
    d2.date += 1.0 / 86400000.0;  // a millisecond later
    EXPECT_FALSE(ValuesEqual(&d1, &d2));
    VARIANT i1, i2;
    i1.vt = i2.vt = VT_I8;
    i1.llVal = i2.llVal = -9000000000LL;
    EXPECT_TRUE(ValuesEqual(&i1, &i2));
    i2.llVal = -9000000001LL;
    EXPECT_FALSE(ValuesEqual(&i1, &i2));
    SAFEARRAYBOUND bound = {2, 0};
    VARIANT a1, a2;
    a1.vt = a2.vt = VT_ARRAY | VT_CY;
    a1.parray = SafeArrayCreate(VT_CY, 1, &bound);
    a2.parray = SafeArrayCreate(VT_CY, 1, &bound);
    EXPECT_TRUE(ValuesEqual(&a1, &a2));
    LONG i = 1;
    CY c;
    c.int64 = 5;
    SafeArrayPutElement(a2.parray, &i, &c);
    EXPECT_FALSE(ValuesEqual(&a1, &a2));
    VariantClear(&a1);
    VariantClear(&a2);
    EXPECT_EQ(before, AssertionCount());  // nothing reported
    R8Array r1(0, {1.0}), r2(0, {1.0});
    EXPECT_TRUE(ValuesEqual(&r1.v, &r2.v));  // the others as VariantsEqual
}

TEST(NameTables, FixedWidthNames)
{
    EXPECT_EQ(std::wstring(L"VT_BSTR") + std::wstring(11, L' '), GetVarTypeName(VT_BSTR));
    EXPECT_EQ(18u, wcslen(GetVarTypeName(VT_EMPTY)));
    EXPECT_STREQ(L"VT_STREAMED_OBJECT", GetVarTypeName(VT_STREAMED_OBJECT));
    EXPECT_STREQ(L"", GetVarTypeName(VT_ARRAY | VT_R8));
    EXPECT_STREQ(L"OPC_READABLE | OPC_WRITEABLE", GetAccessRightsName(7));
    EXPECT_STREQ(L"", GetAccessRightsName(4));
    EXPECT_EQ(28u, wcslen(GetAccessRightsName(1)));
    EXPECT_EQ(28u, wcslen(GetAccessRightsName(2)));
    EXPECT_STREQ(L"", GetIndent(0));
    EXPECT_EQ(80u, wcslen(GetIndent(80)));
    EXPECT_EQ(4u, wcslen(GetIndent(4)));
}

TEST(ClipboardFormats, AreRegisteredAndDistinct)
{
    EXPECT_NE(0u, g_cfData);
    EXPECT_NE(0u, g_cfDataTime);
    EXPECT_NE(0u, g_cfWriteComplete);
    EXPECT_EQ(g_cfDataTime, RegisterClipboardFormatW(L"OPCSTMFORMATDATATIME"));
    EXPECT_NE(g_cfData, g_cfDataTime);
}

TEST(ItemAttributes, DeepCopyAndFree)
{
    OPCITEMATTRIBUTES src = {};
    src.szAccessPath = const_cast<wchar_t*>(L"path");
    src.szItemID = const_cast<wchar_t*>(L"set1.item");
    src.hServer = 5;
    BYTE blob[3] = {1, 2, 3};
    src.dwBlobSize = 3;
    src.pBlob = blob;
    R8Array eu(0, {-1.0, 1.0});
    src.vEUInfo = eu.v;
    auto* copy = static_cast<OPCITEMATTRIBUTES*>(CoTaskMemAlloc(sizeof(OPCITEMATTRIBUTES)));
    ASSERT_EQ(S_OK, CopyItemAttributes(copy, &src, TaskMemAllocFn));
    EXPECT_STREQ(L"path", copy->szAccessPath);
    EXPECT_NE(src.szItemID, copy->szItemID);
    EXPECT_EQ(0, memcmp(blob, copy->pBlob, 3));
    EXPECT_NE(src.vEUInfo.parray, copy->vEUInfo.parray);
    EXPECT_TRUE(VariantsEqual(&src.vEUInfo, &copy->vEUInfo));
    EXPECT_EQ(S_OK, FreeItemAttributesArray(1, copy, TaskMemFreeFn));
    EXPECT_EQ(S_OK, FreeItemAttributesArray(0, nullptr, TaskMemFreeFn));
    EXPECT_EQ(S_OK, FreeItemResultArray(0, nullptr));
}
