// What the cross-process tests of the test server share: its sixteen types,
// typed values to write, comparison by content, a client with one group.
#pragma once
#include "common/OpcDefs.h"

#include <gtest/gtest.h>
#include <wrl/client.h>

#include <ocidl.h>

#include <string>
#include <vector>

namespace test_server {
const wchar_t* const kTypes[] = {L"bool", L"i1",  L"ui1", L"i2",   L"ui2", L"i4", L"ui4",  L"i8",
                                 L"ui8",  L"int", L"uint", L"r4", L"r8", L"cy", L"date", L"string"};
const VARTYPE kTypeVts[] = {VT_BOOL, VT_I1, VT_UI1, VT_I2, VT_UI2, VT_I4, VT_UI4, VT_I8,
                            VT_UI8,  VT_INT, VT_UINT, VT_R4, VT_R8, VT_CY, VT_DATE, VT_BSTR};

// A value of a type, different from the register's initial one (seed 1) or
// not (seed 0); for arrays, four elements.
inline void MakeValue(VARTYPE vt, int seed, VARIANT* v)
{
    VariantInit(v);
    const VARTYPE e = vt & VT_TYPEMASK;
    VARIANT s;
    VariantInit(&s);
    s.vt = e;
    switch (e) {
    case VT_BOOL: s.boolVal = seed ? VARIANT_FALSE : VARIANT_TRUE; break;
    case VT_I1: s.cVal = static_cast<CHAR>(-5 - seed); break;
    case VT_UI1: s.bVal = static_cast<BYTE>(17 + seed); break;
    case VT_I2: s.iVal = static_cast<SHORT>(-321 - seed); break;
    case VT_UI2: s.uiVal = static_cast<USHORT>(4321 + seed); break;
    case VT_I4: s.lVal = -7654321 - seed; break;
    case VT_UI4: s.ulVal = 4000000000u + seed; break;
    case VT_I8: s.llVal = -123456789012345LL - seed; break;
    case VT_UI8: s.ullVal = 12345678901234567ULL + seed; break;
    case VT_INT: s.intVal = -99 - seed; break;
    case VT_UINT: s.uintVal = 99u + seed; break;
    case VT_R4: s.fltVal = 0.125f + seed; break;
    case VT_R8: s.dblVal = -1.0e-3 - seed; break;
    case VT_CY: s.cyVal.int64 = -98765 - seed; break;
    case VT_DATE: s.date = 47000.0 + seed + 12345678.0 / 86400000.0; break;  // to the millisecond
    case VT_BSTR: s.bstrVal = SysAllocString(seed ? L"written \x00e9\x4e2d" : L"x"); break;
    }
    if (!(vt & VT_ARRAY)) {
        *v = s;
        return;
    }
    SAFEARRAYBOUND bound = {4, 0};
    SAFEARRAY* sa = SafeArrayCreate(e, 1, &bound);
    for (LONG i = 0; i < 4; ++i)
        SafeArrayPutElement(sa, &i, e == VT_BSTR ? static_cast<void*>(s.bstrVal) : &s.llVal);
    VariantClear(&s);
    v->vt = vt;
    v->parray = sa;
}

inline bool Equal(const VARIANT& a, const VARIANT& b)
{
    if (a.vt != b.vt)
        return false;
    if (!(a.vt & VT_ARRAY))
        return a.vt == VT_BSTR ? wcscmp(a.bstrVal, b.bstrVal) == 0 : memcmp(&a.llVal, &b.llVal, 8) == 0 ||
                                  (a.vt != VT_I8 && a.vt != VT_UI8 && a.vt != VT_R8 && a.vt != VT_CY &&
                                   a.vt != VT_DATE && a.lVal == b.lVal);
    LONG la, ua, lb, ub;
    SafeArrayGetLBound(a.parray, 1, &la);
    SafeArrayGetUBound(a.parray, 1, &ua);
    SafeArrayGetLBound(b.parray, 1, &lb);
    SafeArrayGetUBound(b.parray, 1, &ub);
    if (ua - la != ub - lb)
        return false;
    for (LONG i = 0; i <= ua - la; ++i) {
        VARIANT x, y;
        VariantInit(&x);
        VariantInit(&y);
        LONG ia = la + i, ib = lb + i;
        x.vt = y.vt = a.vt & VT_TYPEMASK;
        SafeArrayGetElement(a.parray, &ia, &x.llVal);
        SafeArrayGetElement(b.parray, &ib, &y.llVal);
        const bool same = Equal(x, y);
        VariantClear(&x);
        VariantClear(&y);
        if (!same)
            return false;
    }
    return true;
}

// A client of the test server with one group.
struct TestServerClient {
    Microsoft::WRL::ComPtr<IOPCServer> server;
    Microsoft::WRL::ComPtr<IOPCItemMgt> mgt;
    OPCHANDLE hGroup = 0;

    void Connect(BOOL active = FALSE, DWORD rate = 100)
    {
        ASSERT_EQ(S_OK, CoCreateInstance(CLSID_OPCTestServer, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                                         reinterpret_cast<void**>(server.GetAddressOf())));
        DWORD revised = 0;
        ASSERT_EQ(S_OK, server->AddGroup(L"", active, rate, 5, nullptr, nullptr, 0, &hGroup, &revised,
                                         IID_IOPCItemMgt, reinterpret_cast<IUnknown**>(mgt.GetAddressOf())));
    }
    // Connects a data callback to the group's connection point.
    void AdviseCallback(IOPCDataCallback* sink, Microsoft::WRL::ComPtr<IConnectionPoint>* cp, DWORD* cookie)
    {
        Microsoft::WRL::ComPtr<IConnectionPointContainer> cpc;
        ASSERT_EQ(S_OK, mgt.As(&cpc));
        ASSERT_EQ(S_OK, cpc->FindConnectionPoint(IID_IOPCDataCallback, cp->GetAddressOf()));
        ASSERT_EQ(S_OK, (*cp)->Advise(sink, cookie));
    }
    std::vector<OPCHANDLE> Add(const std::vector<std::wstring>& ids, std::vector<VARTYPE>* canonical = nullptr,
                               std::vector<HRESULT>* errs = nullptr)
    {
        std::vector<OPCITEMDEF> defs(ids.size());
        for (size_t i = 0; i < ids.size(); ++i) {
            defs[i] = OPCITEMDEF{};
            defs[i].szAccessPath = const_cast<wchar_t*>(L"");
            defs[i].szItemID = const_cast<wchar_t*>(ids[i].c_str());
            defs[i].bActive = TRUE;
            defs[i].hClient = static_cast<OPCHANDLE>(100 + i);
        }
        OPCITEMRESULT* results = nullptr;
        HRESULT* errors = nullptr;
        std::vector<OPCHANDLE> h(ids.size());
        HRESULT hr = mgt->AddItems(static_cast<DWORD>(ids.size()), defs.data(), &results, &errors);
        EXPECT_TRUE(SUCCEEDED(hr));
        for (size_t i = 0; results && i < ids.size(); ++i) {
            if (!errs)
                EXPECT_EQ(S_OK, errors[i]) << ids[i].c_str();
            else
                errs->push_back(errors[i]);
            h[i] = results[i].hServer;
            if (canonical)
                canonical->push_back(results[i].vtCanonicalDataType);
        }
        CoTaskMemFree(results);
        CoTaskMemFree(errors);
        return h;
    }
};

inline std::vector<std::wstring> EchoIds(bool arrays)
{
    std::vector<std::wstring> ids;
    for (const wchar_t* t : kTypes)
        ids.push_back(std::wstring(arrays ? L"echo.array." : L"echo.") + t);
    return ids;
}
}  // namespace test_server
