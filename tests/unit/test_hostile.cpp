// Hostile input, in-process where a proxy would refuse to carry it: bad
// pointers, impossible counts, stale handles, enum values out of range,
// adversarial item IDs and filters. Every answer is a clean HRESULT.
#include "HostileInput.h"
#include "OpcTestUtil.h"

#include <random>
#include <set>

namespace {
ComPtr<IOPCItemMgt> Mgt(IOPCGroupStateMgt* g)
{
    ComPtr<IOPCItemMgt> m;
    g->QueryInterface(IID_IOPCItemMgt, reinterpret_cast<void**>(m.GetAddressOf()));
    return m;
}
}  // namespace

using HostileTest = ServerFixture;

TEST_F(HostileTest, NullAndUnwritableOutPointers)
{
    ReadOnlyPage ro;
    OPCHANDLE h;
    DWORD d;
    IUnknown* unk = nullptr;
    EXPECT_EQ(E_INVALIDARG, server->AddGroup(L"a", 0, 0, 0, nullptr, nullptr, 0, ro.as<OPCHANDLE>(), &d, IID_IUnknown, &unk));
    EXPECT_EQ(E_INVALIDARG, server->AddGroup(L"a", 0, 0, 0, nullptr, nullptr, 0, &h, nullptr, IID_IUnknown, &unk));
    EXPECT_EQ(E_INVALIDARG, server->AddGroup(L"a", 0, 0, 0, nullptr, nullptr, 0, &h, &d, IID_IUnknown, ro.as<IUnknown*>()));
    EXPECT_EQ(E_INVALIDARG, server->GetErrorString(E_FAIL, 0, ro.as<LPWSTR>()));
    EXPECT_EQ(E_INVALIDARG, server->GetGroupByName(L"a", IID_IUnknown, nullptr));
    EXPECT_EQ(E_INVALIDARG, server->GetStatus(ro.as<OPCSERVERSTATUS*>()));
    EXPECT_EQ(E_INVALIDARG, server->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumString, nullptr));

    auto g = AddGroup(L"ptrs", TRUE);
    auto items = AddItems(g.Get(), {L"set801.item"});
    DWORD rate;
    BOOL active;
    LPWSTR name;
    LONG bias;
    FLOAT db;
    DWORD lcid;
    OPCHANDLE hc, hs;
    EXPECT_EQ(E_INVALIDARG, g->GetState(&rate, &active, &name, &bias, &db, &lcid, &hc, ro.as<OPCHANDLE>()));
    EXPECT_EQ(E_INVALIDARG, g->GetState(nullptr, &active, &name, &bias, &db, &lcid, &hc, &hs));
    EXPECT_EQ(E_INVALIDARG, g->SetState(nullptr, ro.as<DWORD>(), nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(E_INVALIDARG, g->CloneGroup(L"c", IID_IUnknown, nullptr));

    auto mgt = Mgt(g.Get());
    OPCITEMDEF def = {};
    OPCITEMRESULT* results;
    HRESULT* errors;
    EXPECT_EQ(E_INVALIDARG, mgt->AddItems(1, &def, nullptr, &errors));
    EXPECT_EQ(E_INVALIDARG, mgt->ValidateItems(1, &def, FALSE, &results, ro.as<HRESULT*>()));
    EXPECT_EQ(E_INVALIDARG, mgt->RemoveItems(1, items.data(), nullptr));
    EXPECT_EQ(E_INVALIDARG, mgt->SetActiveState(1, items.data(), TRUE, nullptr));
    EXPECT_EQ(E_INVALIDARG, mgt->SetClientHandles(1, items.data(), items.data(), nullptr));
    EXPECT_EQ(E_INVALIDARG, mgt->SetDatatypes(1, items.data(), nullptr, nullptr));
    EXPECT_EQ(E_INVALIDARG, mgt->CreateEnumerator(IID_IEnumOPCItemAttributes, nullptr));

    ComPtr<IOPCSyncIO> sync;
    g.As(&sync);
    OPCITEMSTATE* states;
    EXPECT_EQ(E_INVALIDARG, sync->Read(OPC_DS_CACHE, 1, items.data(), nullptr, &errors));
    EXPECT_EQ(E_INVALIDARG, sync->Write(1, items.data(), nullptr, ro.as<HRESULT*>()));
    ComPtr<IOPCAsyncIO> async;
    g.As(&async);
    EXPECT_EQ(E_INVALIDARG, async->Read(1, OPC_DS_CACHE, 1, items.data(), nullptr, &errors));
    EXPECT_EQ(E_INVALIDARG, async->Write(1, 1, items.data(), nullptr, &d, nullptr));
    EXPECT_EQ(E_INVALIDARG, async->Refresh(1, OPC_DS_CACHE, ro.as<DWORD>()));
    (void)states;

    ComPtr<IOPCBrowseServerAddressSpace> b;
    server.As(&b);
    EXPECT_EQ(E_INVALIDARG, b->QueryOrganization(ro.as<OPCNAMESPACETYPE>()));
    EXPECT_EQ(E_INVALIDARG, b->BrowseOPCItemIDs(OPC_FLAT, L"", VT_EMPTY, 0, nullptr));
    EXPECT_EQ(E_INVALIDARG, b->GetItemID(const_cast<wchar_t*>(L"setX"), ro.as<LPWSTR>()));
    EXPECT_EQ(E_INVALIDARG, b->BrowseAccessPaths(L"setX", nullptr));
}

TEST_F(HostileTest, ImpossibleCountsFailBeforeTouchingTheArrays)
{
    auto g = AddGroup(L"counts");
    auto mgt = Mgt(g.Get());
    OPCHANDLE one = 1;
    VARIANT v;
    VariantInit(&v);
    VARTYPE vt = VT_R8;
    OPCITEMDEF def = {};
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    const DWORD huge = 0x7FFFFFFF;
    EXPECT_EQ(E_OUTOFMEMORY, mgt->AddItems(huge, &def, &results, &errors));
    EXPECT_EQ(E_OUTOFMEMORY, mgt->ValidateItems(huge, &def, FALSE, &results, &errors));
    EXPECT_EQ(E_OUTOFMEMORY, mgt->RemoveItems(huge, &one, &errors));
    EXPECT_EQ(E_OUTOFMEMORY, mgt->SetActiveState(huge, &one, TRUE, &errors));
    EXPECT_EQ(E_OUTOFMEMORY, mgt->SetClientHandles(huge, &one, &one, &errors));
    EXPECT_EQ(E_OUTOFMEMORY, mgt->SetDatatypes(huge, &one, &vt, &errors));
    ComPtr<IOPCSyncIO> sync;
    g.As(&sync);
    OPCITEMSTATE* states = nullptr;
    EXPECT_EQ(E_OUTOFMEMORY, sync->Read(OPC_DS_CACHE, huge, &one, &states, &errors));
    EXPECT_EQ(E_OUTOFMEMORY, sync->Write(huge, &one, &v, &errors));
    EXPECT_EQ(nullptr, results);
    EXPECT_EQ(nullptr, errors);
    EXPECT_EQ(nullptr, states);

    // Counts 0 and 1 with real arrays.
    EXPECT_EQ(S_OK, sync->Read(OPC_DS_CACHE, 0, &one, &states, &errors));
    CoTaskMemFree(states);
    CoTaskMemFree(errors);
    EXPECT_EQ(S_FALSE, sync->Read(OPC_DS_CACHE, 1, &one, &states, &errors));
    EXPECT_EQ(OPC_E_INVALIDHANDLE, errors[0]);
    CoTaskMemFree(states);
    CoTaskMemFree(errors);
}

TEST_F(HostileTest, ForeignAndRemovedHandles)
{
    auto a = AddGroup(L"a");
    auto b = AddGroup(L"b");
    auto ha = AddItems(a.Get(), {L"set811.item"});
    auto hb = AddItems(b.Get(), {L"set812.item"});
    HRESULT* errors = nullptr;
    EXPECT_EQ(S_FALSE, Mgt(a.Get())->SetActiveState(1, hb.data(), TRUE, &errors));  // b's handle in a
    EXPECT_EQ(OPC_E_INVALIDHANDLE, errors[0]);
    CoTaskMemFree(errors);
    ASSERT_EQ(S_OK, Mgt(a.Get())->RemoveItems(1, ha.data(), &errors));
    CoTaskMemFree(errors);
    ComPtr<IOPCSyncIO> sync;
    a.As(&sync);
    VARIANT v;
    v.vt = VT_R8;
    v.dblVal = 1;
    EXPECT_EQ(S_FALSE, sync->Write(1, ha.data(), &v, &errors));
    EXPECT_EQ(OPC_E_INVALIDHANDLE, errors[0]);
    CoTaskMemFree(errors);
    OPCHANDLE hGroup = Impl(b.Get())->GetServerHandle();
    EXPECT_EQ(E_INVALIDARG, server->RemoveGroup(hGroup + 100000, TRUE));
}

TEST_F(HostileTest, EnumValuesOutOfRangeAndUnknownInterfaces)
{
    auto g = AddGroup(L"enums", TRUE);
    auto h = AddItems(g.Get(), {L"set821.item"});
    ComPtr<IOPCSyncIO> sync;
    g.As(&sync);
    OPCITEMSTATE* states;
    HRESULT* errors;
    for (int source : {0, 3, 0xFFFF, -1})
        EXPECT_EQ(E_INVALIDARG, sync->Read(static_cast<OPCDATASOURCE>(source), 1, h.data(), &states, &errors));
    ComPtr<IOPCBrowseServerAddressSpace> b;
    server.As(&b);
    for (int type : {0, 4, 0x7FFF}) {
        ComPtr<IEnumString> e;
        EXPECT_EQ(S_FALSE, b->BrowseOPCItemIDs(static_cast<OPCBROWSETYPE>(type), L"", VT_EMPTY, 0, e.GetAddressOf()));
    }
    for (int dir : {0, 3, 0xFFFF})
        EXPECT_EQ(E_INVALIDARG, b->ChangeBrowsePosition(static_cast<OPCBROWSEDIRECTION>(dir), L"setX"));
    for (int scope : {0, 7, 0xFFFF}) {
        ComPtr<IUnknown> e;
        EXPECT_EQ(S_OK, server->CreateGroupEnumerator(static_cast<OPCENUMSCOPE>(scope), IID_IEnumString, e.GetAddressOf()));
    }
    const IID bogus = {0xDEADBEEF, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
    ComPtr<IUnknown> none;
    EXPECT_EQ(E_NOINTERFACE, server->QueryInterface(bogus, reinterpret_cast<void**>(none.GetAddressOf())));
    EXPECT_EQ(E_NOINTERFACE, g->QueryInterface(bogus, reinterpret_cast<void**>(none.GetAddressOf())));
    EXPECT_EQ(E_NOINTERFACE, b->QueryInterface(bogus, reinterpret_cast<void**>(none.GetAddressOf())));
    EXPECT_EQ(E_INVALIDARG, Mgt(g.Get())->CreateEnumerator(bogus, none.GetAddressOf()));
    EXPECT_EQ(E_NOINTERFACE, server->CreateGroupEnumerator(OPC_ENUM_ALL, bogus, none.GetAddressOf()));
}

TEST_F(HostileTest, AdversarialItemIdsAndFilters)
{
    auto g = AddGroup(L"ids");
    auto mgt = Mgt(g.Get());
    std::mt19937 rng(12345);
    std::vector<std::wstring> ids = {L"", L"%s%n%s%n", L"set%s.%n", L"set99999999999999999999.on",
                                     L"set-99999999999.item", L"set4294967296.fct", L"set1.item\u00e9\u4e2d",
                                     L"\u00e9\u00e8\u00ea", std::wstring(20000, L'x'), L"set1." + std::wstring(5000, L'i'),
                                     L"SET1.ITEM", L"set\t1 . on"};
    for (int i = 0; i < 200; ++i) {
        std::wstring s;
        size_t len = rng() % 64;
        for (size_t k = 0; k < len; ++k)
            s += static_cast<wchar_t>(1 + rng() % 0xD7FF);
        if (i % 3 == 0)
            s = L"set" + std::to_wstring(static_cast<long long>(rng()) * 1000) + L"." + s;
        ids.push_back(s);
    }
    std::vector<OPCITEMDEF> defs(ids.size());
    for (size_t i = 0; i < ids.size(); ++i) {
        defs[i] = OPCITEMDEF{};
        defs[i].szItemID = const_cast<wchar_t*>(ids[i].c_str());
        defs[i].vtRequestedDataType = static_cast<VARTYPE>(i % 5 == 0 ? rng() % 0x7FFF : VT_EMPTY);
    }
    const std::set<HRESULT> allowed = {S_OK, OPC_E_UNKNOWNITEMID, OPC_E_RANGE, DISP_E_TYPEMISMATCH, DISP_E_BADVARTYPE,
                                       E_INVALIDARG, DISP_E_OVERFLOW, E_NOTIMPL};
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    ASSERT_TRUE(SUCCEEDED(mgt->ValidateItems(static_cast<DWORD>(defs.size()), defs.data(), FALSE, &results, &errors)));
    for (size_t i = 0; i < ids.size(); ++i)
        EXPECT_TRUE(allowed.count(errors[i])) << i << " 0x" << std::hex << errors[i];
    FreeItemResultArray(static_cast<DWORD>(ids.size()), results);
    CoTaskMemFree(errors);
    ASSERT_TRUE(SUCCEEDED(mgt->AddItems(static_cast<DWORD>(defs.size()), defs.data(), &results, &errors)));
    for (size_t i = 0; i < ids.size(); ++i)
        EXPECT_TRUE(allowed.count(errors[i])) << i << " 0x" << std::hex << errors[i];
    FreeItemResultArray(static_cast<DWORD>(ids.size()), results);
    CoTaskMemFree(errors);

    ComPtr<IOPCBrowseServerAddressSpace> b;
    server.As(&b);
    const wchar_t alphabet[] = L"[]!-*?#aXsetT0fo.\\";
    for (int i = 0; i < 500; ++i) {
        std::wstring pattern;
        size_t len = rng() % 12;
        for (size_t k = 0; k < len; ++k)
            pattern += alphabet[rng() % (sizeof(alphabet) / sizeof(wchar_t) - 1)];
        ComPtr<IEnumString> e;
        HRESULT hr = b->BrowseOPCItemIDs(OPC_FLAT, pattern.c_str(), VT_EMPTY, 0, e.GetAddressOf());
        EXPECT_TRUE(hr == S_OK || hr == S_FALSE) << std::hex << hr;
    }
}

// Run with OANOCACHE=1 (as CTest does): otherwise freed strings wait in OLE
// Automation's cache and count as live.
TEST_F(HostileTest, TaskMemoryHandedOutComesBack)
{
    CountingMallocSpy spy;
    ASSERT_EQ(S_OK, CoRegisterMallocSpy(&spy));
    {
        std::vector<OPCHANDLE> h;
        auto g = ActiveGroupWithItems(L"leaks", {L"set831.item", L"set831.fct", L"set831.on"}, &h);
        ComPtr<IOPCSyncIO> sync;
        g.As(&sync);
        for (int i = 0; i < 20; ++i) {
            OPCITEMSTATE* states = nullptr;
            HRESULT* errors = nullptr;
            sync->Read(OPC_DS_DEVICE, 3, h.data(), &states, &errors);
            for (int k = 0; k < 3; ++k)
                VariantClear(&states[k].vDataValue);
            CoTaskMemFree(states);
            CoTaskMemFree(errors);
        }
        ComPtr<IUnknown> unk;
        Mgt(g.Get())->CreateEnumerator(IID_IEnumOPCItemAttributes, unk.GetAddressOf());
        ComPtr<IEnumOPCItemAttributes> e;
        unk.As(&e);
        OPCITEMATTRIBUTES* attrs = nullptr;
        ULONG fetched = 0;
        e->Next(3, &attrs, &fetched);
        FreeItemAttributesArray(fetched, attrs, TaskMemFreeFn);
        LPWSTR name = nullptr;
        DWORD rate, lcid;
        BOOL active;
        LONG bias;
        FLOAT db;
        OPCHANDLE hc, hs;
        g->GetState(&rate, &active, &name, &bias, &db, &lcid, &hc, &hs);
        CoTaskMemFree(name);
        OPCSERVERSTATUS* status = nullptr;
        server->GetStatus(&status);
        CoTaskMemFree(status->szVendorInfo);
        CoTaskMemFree(status);
        ComPtr<IOPCBrowseServerAddressSpace> b;
        server.As(&b);
        ComPtr<IEnumString> names;
        b->BrowseOPCItemIDs(OPC_FLAT, L"", VT_EMPTY, 0, names.GetAddressOf());
        LPOLESTR s[8];
        names->Next(8, s, &fetched);
        for (ULONG k = 0; k < fetched; ++k)
            CoTaskMemFree(s[k]);
    }
    server.Reset();  // groups, enumerators, snapshots: everything goes
    EXPECT_EQ(0u, spy.Live());
    CoRevokeMallocSpy();
}
