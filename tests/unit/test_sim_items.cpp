// The simulated item set: item-ID grammar, handles, types, rights, units, and
// the device encodings of sampling and writing.
#include "core/Cache.h"
#include "sim/Generator.h"
#include "sim/SimIO.h"
#include "sim/SimItems.h"

#include <gtest/gtest.h>

namespace {
HRESULT Parse(const wchar_t* id, int* set = nullptr, DWORD* kind = nullptr)
{
    int s = -99;
    DWORD k = 99;
    HRESULT hr = CSimItems::ParseItemID(id, &s, &k);
    if (set)
        *set = s;
    if (kind)
        *kind = k;
    return hr;
}

OPCITEMDEF Def(const wchar_t* id, VARTYPE vt)
{
    OPCITEMDEF d = {};
    d.szItemID = const_cast<wchar_t*>(id);
    d.vtRequestedDataType = vt;
    return d;
}

// An item on a set, added and removed like an OPC item does.
struct DeviceItem {
    DWORD h = 0;
    HRESULT hr;
    explicit DeviceItem(const wchar_t* id) { hr = pGlobalDeviceItems->AddItem(id, &h); }
    ~DeviceItem()
    {
        if (SUCCEEDED(hr))
            pGlobalDeviceItems->RemoveItem(h);
    }
};

// Samples one handle through the device into a cache of its own.
CCacheEntry Sample(DWORD h)
{
    CCache cache;
    CDeviceLockHold lock(cache.m_hMutex);
    cache.AddRefEntry(h);
    pGlobalDeviceIO->UpdateItems(DeviceHandleSet{h}, cache);
    return *cache.FindEntry(h);
}

void Write(DWORD h, VARIANT v)
{
    HRESULT err = E_UNEXPECTED;
    EXPECT_EQ(S_OK, pGlobalDeviceIO->WriteItems(1, &h, &v, &err));
    EXPECT_EQ(S_OK, err);
}

VARIANT R8(double d)
{
    VARIANT v;
    v.vt = VT_R8;
    v.dblVal = d;
    return v;
}
}  // namespace

TEST(ItemIdGrammar, ValidForms)
{
    int set;
    DWORD kind;
    EXPECT_EQ(S_OK, Parse(L"set1.item", &set, &kind));
    EXPECT_EQ(1, set);
    EXPECT_EQ(0u, kind);
    EXPECT_EQ(S_OK, Parse(L"SET1.Item2", &set, &kind));
    EXPECT_EQ(0u, kind);
    EXPECT_EQ(S_OK, Parse(L"set001.itemValue", &set, &kind));
    EXPECT_EQ(1, set);
    EXPECT_EQ(S_OK, Parse(L"set 1.on", &set, &kind));
    EXPECT_EQ(4u, kind);
    EXPECT_EQ(S_OK, Parse(L"set1.t0", &set, &kind));
    EXPECT_EQ(3u, kind);
    EXPECT_EQ(S_OK, Parse(L"Set0.FCT", &set, &kind));
    EXPECT_EQ(1u, kind);
    EXPECT_EQ(S_OK, Parse(L"SET2.PERIOD", &set, &kind));
    EXPECT_EQ(2u, kind);
    EXPECT_EQ(S_OK, Parse(L"set2.Period ", &set, &kind));
    EXPECT_EQ(S_OK, Parse(L"set2.period extra words", &set, &kind));
    EXPECT_EQ(2u, kind);
    EXPECT_EQ(S_OK, Parse(L"set2.items", &set, &kind));
    EXPECT_EQ(0u, kind);
    EXPECT_EQ(S_OK, Parse(L"set-1.on", &set, &kind));
    EXPECT_EQ(-1, set);
}

TEST(ItemIdGrammar, UnknownForms)
{
    for (const wchar_t* id : {L"set1.T1", L"set1.onx", L"set1", L"set.on", L"setX.itemY", L"set2.it", L"",
                              L"item.set1", L"set1.", L"xset1.on"})
        EXPECT_EQ(OPC_E_UNKNOWNITEMID, Parse(id)) << id;
    EXPECT_EQ(OPC_E_UNKNOWNITEMID, Parse(nullptr));
}

TEST(ItemIdGrammar, VeryLongAndOddIdsDoNotOverflow)
{
    std::wstring longId = L"set5." + std::wstring(100000, L'x');
    EXPECT_EQ(OPC_E_UNKNOWNITEMID, Parse(longId.c_str()));
    std::wstring longItem = L"set5.item" + std::wstring(100000, L'y');
    EXPECT_EQ(S_OK, Parse(longItem.c_str()));
    EXPECT_EQ(OPC_E_UNKNOWNITEMID, Parse(L"set%s%n.%n"));
}

TEST(SimItems, HandlesTypesAndRights)
{
    DeviceItem item(L"set1.item"), on(L"set1.on"), fct(L"set16777215.fct");
    ASSERT_EQ(S_OK, item.hr);
    EXPECT_EQ(0x00000001u, item.h);
    EXPECT_EQ(0x04000001u, on.h);
    EXPECT_EQ(0x01FFFFFFu, fct.h);
    DWORD rights = 0;
    VARTYPE vt = 0;
    pGlobalDeviceItems->GetAccessRights(item.h, &rights);
    pGlobalDeviceItems->GetCanonicalType(item.h, &vt);
    EXPECT_EQ(1u, rights);
    EXPECT_EQ(VT_R8, vt);
    pGlobalDeviceItems->GetAccessRights(on.h, &rights);
    pGlobalDeviceItems->GetCanonicalType(on.h, &vt);
    EXPECT_EQ(3u, rights);
    EXPECT_EQ(VT_BOOL, vt);
    EXPECT_EQ(S_OK, pGlobalDeviceItems->GetCanonicalTypeByID(L"set3.fct", &vt));
    EXPECT_EQ(VT_UI1, vt);
    vt = 99;
    EXPECT_EQ(OPC_E_UNKNOWNITEMID, pGlobalDeviceItems->GetCanonicalTypeByID(L"set3.x", &vt));
    EXPECT_EQ(99, vt);
}

TEST(SimItems, SetNumbersOutsideTheRangeAreRefusedByAddItemOnly)
{
    EXPECT_EQ(S_OK, pGlobalDeviceItems->ValidateItem(Def(L"set-1.on", VT_EMPTY)));
    DWORD h;
    EXPECT_EQ(OPC_E_RANGE, pGlobalDeviceItems->AddItem(L"set-1.on", &h));
    EXPECT_EQ(OPC_E_RANGE, pGlobalDeviceItems->AddItem(L"set16777216.on", &h));
    EXPECT_EQ(OPC_E_UNKNOWNITEMID, pGlobalDeviceItems->AddItem(L"setX.itemY", &h));
}

TEST(SimItems, ValidateItemTestsTheRequestedTypeFromAReal)
{
    for (VARTYPE vt : {VT_EMPTY, VT_I2, VT_R4, VT_BSTR, VT_BOOL})
        for (const wchar_t* id : {L"set1.item", L"set1.fct", L"set1.on", L"set1.t0", L"set1.period"})
            EXPECT_EQ(S_OK, pGlobalDeviceItems->ValidateItem(Def(id, vt))) << id << " " << vt;
    EXPECT_TRUE(FAILED(pGlobalDeviceItems->ValidateItem(Def(L"set1.item", VT_UNKNOWN))));
    EXPECT_EQ(OPC_E_UNKNOWNITEMID, pGlobalDeviceItems->ValidateItem(Def(nullptr, VT_EMPTY)));
}

TEST(SimItems, EngineeringUnitsPerKind)
{
    DeviceItem fct(L"set5.fct"), on(L"set5.on"), item(L"set5.item"), period(L"set5.period");
    DWORD euType = 99;
    COPCEngineeringUnits* eu = nullptr;
    ASSERT_EQ(S_OK, pGlobalDeviceItems->GetEngineeringUnits(fct.h, &euType, &eu));
    EXPECT_EQ(static_cast<DWORD>(OPC_ENUMERATED), euType);
    VARIANT info;
    VariantInit(&info);
    ASSERT_EQ(S_OK, eu->GetEUInfo(&info));
    ASSERT_EQ(VT_ARRAY | VT_BSTR, info.vt);
    LONG lb, ub;
    SafeArrayGetLBound(info.parray, 1, &lb);
    SafeArrayGetUBound(info.parray, 1, &ub);
    EXPECT_EQ(0, lb);
    EXPECT_EQ(3, ub);
    const wchar_t* names[] = {L"Sine", L"Ramp", L"Noise", L"Counter"};
    for (LONG i = 0; i < 4; ++i) {
        BSTR s = nullptr;
        SafeArrayGetElement(info.parray, &i, &s);
        EXPECT_STREQ(names[i], s);
        SysFreeString(s);
    }
    VariantClear(&info);
    delete eu;

    ASSERT_EQ(S_OK, pGlobalDeviceItems->GetEngineeringUnits(on.h, &euType, &eu));
    eu->GetEUInfo(&info);
    LONG i0 = 0, i1 = 1;
    BSTR s0 = nullptr, s1 = nullptr;
    SafeArrayGetElement(info.parray, &i0, &s0);
    SafeArrayGetElement(info.parray, &i1, &s1);
    EXPECT_STREQ(L"ON", s0);
    EXPECT_STREQ(L"OFF", s1);
    SysFreeString(s0);
    SysFreeString(s1);
    VariantClear(&info);
    delete eu;

    ASSERT_EQ(S_OK, pGlobalDeviceItems->GetEngineeringUnits(item.h, &euType, &eu));
    EXPECT_EQ(static_cast<DWORD>(OPC_ANALOG), euType);
    auto* analog = static_cast<COPCAnalogEngineeringUnits*>(eu);
    EXPECT_DOUBLE_EQ(-1.0, analog->m_dLow);
    EXPECT_DOUBLE_EQ(1.0, analog->m_dHigh);
    eu->GetEUInfo(&info);
    EXPECT_EQ(VT_ARRAY | VT_R8, info.vt);
    VariantClear(&info);
    delete eu;

    ASSERT_EQ(S_OK, pGlobalDeviceItems->GetEngineeringUnits(period.h, &euType, &eu));
    analog = static_cast<COPCAnalogEngineeringUnits*>(eu);
    EXPECT_DOUBLE_EQ(2.2250738585072014e-308, analog->m_dLow);
    EXPECT_DOUBLE_EQ(1.7976931348623157e+308, analog->m_dHigh);
    delete eu;

    EXPECT_EQ(S_FALSE, pGlobalDeviceItems->GetEngineeringUnits(0x05000001, &euType, &eu));
    EXPECT_EQ(static_cast<DWORD>(OPC_NOENUM), euType);
    EXPECT_EQ(nullptr, eu);
}

TEST(SimItems, SetsLiveWhileItemsUseThem)
{
    {
        DeviceItem a(L"set9.item");
        {
            DeviceItem b(L"set9.item");
            DeviceItem period(L"set9.period");
            VARIANT v = R8(250.0);
            Write(period.h, v);
        }
        DeviceItem period(L"set9.period");
        EXPECT_DOUBLE_EQ(250.0, Sample(period.h).vValue.dblVal);  // a still holds set 9
    }
    DeviceItem period(L"set9.period");
    EXPECT_DOUBLE_EQ(1000.0, Sample(period.h).vValue.dblVal);  // forgotten, fresh again
}

TEST(SimIO, FreshSetSamplesWithTheDeviceEncodings)
{
    DeviceItem item(L"set11.item"), fct(L"set11.fct"), period(L"set11.period"), t0(L"set11.t0"), on(L"set11.on");
    CCacheEntry e = Sample(item.h);
    EXPECT_EQ(VT_R8, e.vValue.vt);
    EXPECT_DOUBLE_EQ(0.0, e.vValue.dblVal);
    EXPECT_EQ(OPC_QUALITY_GOOD, e.wQuality);
    e = Sample(fct.h);
    EXPECT_EQ(VT_UI1, e.vValue.vt);
    EXPECT_EQ(0, e.vValue.bVal);
    e = Sample(period.h);
    EXPECT_EQ(VT_R8, e.vValue.vt);
    EXPECT_DOUBLE_EQ(1000.0, e.vValue.dblVal);
    e = Sample(t0.h);
    EXPECT_EQ(VT_I4, e.vValue.vt);
    EXPECT_EQ(0, e.vValue.lVal);
    e = Sample(on.h);
    EXPECT_EQ(VT_BOOL, e.vValue.vt);
    EXPECT_EQ(VARIANT_FALSE, e.vValue.boolVal);
    EXPECT_EQ(OPC_QUALITY_GOOD, e.wQuality);
}

TEST(SimIO, WritesDecodeAsTheCanonicalType)
{
    DeviceItem item(L"set12.item"), fct(L"set12.fct"), period(L"set12.period"), t0(L"set12.t0"), on(L"set12.on");
    Write(t0.h, R8(1234.9));
    EXPECT_EQ(1234, Sample(t0.h).vValue.lVal);
    Write(t0.h, R8(-0.5));
    EXPECT_EQ(0, Sample(t0.h).vValue.lVal);

    VARIANT v;
    v.vt = VT_BOOL;
    v.boolVal = VARIANT_TRUE;
    Write(on.h, v);
    EXPECT_EQ(VARIANT_TRUE, Sample(on.h).vValue.boolVal);

    Write(period.h, R8(250.0));
    v.vt = VT_UI1;
    v.bVal = 2;
    Write(fct.h, v);
    EXPECT_EQ(2, Sample(fct.h).vValue.bVal);
    EXPECT_DOUBLE_EQ(0.0, Sample(period.h).vValue.dblVal);  // Noise has no period
    Write(t0.h, R8(777.0));                                  // Noise: reseed, not stored
    EXPECT_EQ(0, Sample(t0.h).vValue.lVal);
    v.bVal = 0;
    Write(fct.h, v);
    EXPECT_DOUBLE_EQ(0.0, Sample(period.h).vValue.dblVal);  // Sine with period 0.0

    v.bVal = 7;  // above 3: unchanged, still S_OK
    Write(fct.h, v);
    EXPECT_EQ(0, Sample(fct.h).vValue.bVal);
}

TEST(SimIO, WritingTheComputedValueFails)
{
    DeviceItem item(L"set13.item"), period(L"set13.period");
    DWORD handles[2] = {period.h, item.h};
    VARIANT values[2] = {R8(500.0), R8(1.0)};
    HRESULT errors[2] = {E_UNEXPECTED, E_UNEXPECTED};
    EXPECT_EQ(S_FALSE, pGlobalDeviceIO->WriteItems(2, handles, values, errors));
    EXPECT_EQ(S_OK, errors[0]);
    EXPECT_EQ(E_FAIL, errors[1]);
    EXPECT_DOUBLE_EQ(500.0, Sample(period.h).vValue.dblVal);
    EXPECT_EQ(S_OK, pGlobalDeviceIO->WriteItems(0, nullptr, nullptr, nullptr));
}

TEST(SimIO, TwoHandlesInOnePassCarryOrderedTimeStamps)
{
    DeviceItem a(L"set14.item"), b(L"set14.on");
    CCache cache;
    CDeviceLockHold lock(cache.m_hMutex);
    cache.AddRefEntry(a.h);
    cache.AddRefEntry(b.h);
    EXPECT_EQ(S_OK, pGlobalDeviceIO->UpdateItems(DeviceHandleSet{a.h, b.h}, cache));
    ULARGE_INTEGER ta, tb;
    ta.LowPart = cache.FindEntry(a.h)->ftTimeStamp.dwLowDateTime;
    ta.HighPart = cache.FindEntry(a.h)->ftTimeStamp.dwHighDateTime;
    tb.LowPart = cache.FindEntry(b.h)->ftTimeStamp.dwLowDateTime;
    tb.HighPart = cache.FindEntry(b.h)->ftTimeStamp.dwHighDateTime;
    EXPECT_LE(ta.QuadPart, tb.QuadPart);
    EXPECT_EQ(S_OK, pGlobalDeviceIO->UpdateItems(DeviceHandleSet{}, cache));
}
