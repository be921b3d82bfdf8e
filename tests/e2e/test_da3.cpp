// The OPC DA 3.0 interfaces through the proxy/stub, across processes: the
// server's IOPCBrowse and IOPCItemIO, the group's IOPCSyncIO2, IOPCAsyncIO3,
// IOPCGroupStateMgt2, IOPCItemDeadbandMgt and IOPCItemSamplingMgt, with the
// codes of bad input as they arrive in the client.
#include "common/OpcDefs.h"
#include "BrowsePages.h"
#include "DataCallbackSpy.h"
#include "E2eUtil.h"

#include <gtest/gtest.h>
#include <wrl/client.h>

#include <ocidl.h>
#include <olectl.h>

#include <set>
#include <string>
#include <vector>

using Microsoft::WRL::ComPtr;

namespace {

ComPtr<IOPCServer> NewServer()
{
    ComPtr<IOPCServer> server;
    EXPECT_EQ(S_OK, CoCreateInstance(CLSID_OPCServer, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                                     reinterpret_cast<void**>(server.GetAddressOf())));
    return server;
}

LPWSTR TaskString(const wchar_t* s)
{
    const size_t bytes = (wcslen(s) + 1) * sizeof(wchar_t);
    auto* p = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
    memcpy(p, s, bytes);
    return p;
}

// A group with items, through the proxy.
struct Group {
    ComPtr<IOPCItemMgt> mgt;
    OPCHANDLE hGroup = 0;
    std::vector<OPCHANDLE> items;
    Group(IOPCServer* server, const wchar_t* name, BOOL active, DWORD rate, OPCHANDLE hClient,
          std::initializer_list<const wchar_t*> ids)
    {
        DWORD revised = 0;
        EXPECT_EQ(S_OK, server->AddGroup(name, active, rate, hClient, nullptr, nullptr, 0, &hGroup, &revised,
                                         IID_IOPCItemMgt, reinterpret_cast<IUnknown**>(mgt.GetAddressOf())));
        std::vector<OPCITEMDEF> defs;
        for (const wchar_t* id : ids) {
            OPCITEMDEF d = {};
            d.szAccessPath = const_cast<wchar_t*>(L"");
            d.szItemID = const_cast<wchar_t*>(id);
            d.bActive = TRUE;
            d.hClient = static_cast<OPCHANDLE>(100 + defs.size());
            defs.push_back(d);
        }
        OPCITEMRESULT* results = nullptr;
        HRESULT* errors = nullptr;
        EXPECT_EQ(S_OK, mgt->AddItems(static_cast<DWORD>(defs.size()), defs.data(), &results, &errors));
        for (size_t i = 0; i < defs.size(); ++i)
            items.push_back(results[i].hServer);
        CoTaskMemFree(results);
        CoTaskMemFree(errors);
    }
    template <class I>
    ComPtr<I> As()
    {
        ComPtr<I> p;
        EXPECT_EQ(S_OK, mgt.As(&p));
        return p;
    }
    DWORD Connect(DataCallbackSpy* spy, ComPtr<IConnectionPoint>* point)
    {
        auto cpc = As<IConnectionPointContainer>();
        EXPECT_EQ(S_OK, cpc->FindConnectionPoint(IID_IOPCDataCallback, point->GetAddressOf()));
        DWORD cookie = 0;
        EXPECT_EQ(S_OK, (*point)->Advise(spy, &cookie));
        return cookie;
    }
};

size_t EmptyChanges(DataCallbackSpy& spy)
{
    std::lock_guard<std::mutex> lock(spy.mutex);
    size_t n = 0;
    for (const auto& c : spy.changes)
        n += c.transid == 0 && c.clients.empty();
    return n;
}

DataCallbackSpy::Change WaitForTransaction(DataCallbackSpy& spy, DWORD transid)
{
    for (DWORD start = GetTickCount(); GetTickCount() - start < 10000; Sleep(5)) {
        std::lock_guard<std::mutex> lock(spy.mutex);
        for (auto* list : {&spy.completions, &spy.changes})
            for (const auto& c : *list)
                if (c.transid == transid) {
                    DataCallbackSpy::Change copy = c;
                    copy.values.clear();
                    return copy;
                }
    }
    ADD_FAILURE() << "no callback for transaction " << transid;
    return {};
}

}  // namespace

// What a DA 3.0 client does: browse the whole space in small pages, read
// by item ID with the two MaxAge extremes, and keep a subscription alive.
TEST(Da3Session, ATypicalClientFromStartToEnd)
{
    ComPtr<IOPCServer> server = NewServer();
    ASSERT_TRUE(server);
    ComPtr<IOPCBrowse> browse;
    ComPtr<IOPCItemIO> io;
    ASSERT_EQ(S_OK, server.As(&browse));  // both: the 3.0 path of the clients that need both
    ASSERT_EQ(S_OK, server.As(&io));

    // The whole space in pages of 2 is exactly the 2.0 flat list.
    int pages = 0;
    std::vector<std::wstring> walk = WalkItems(browse.Get(), L"", 2, &pages);
    std::multiset<std::wstring> walked(walk.begin(), walk.end());
    ComPtr<IOPCBrowseServerAddressSpace> old;
    ASSERT_EQ(S_OK, server.As(&old));
    ComPtr<IEnumString> flat;
    ASSERT_EQ(S_OK, old->BrowseOPCItemIDs(OPC_FLAT, L"", VT_EMPTY, 0, flat.GetAddressOf()));
    std::multiset<std::wstring> expected;
    LPOLESTR s = nullptr;
    while (flat->Next(1, &s, nullptr) == S_OK) {
        expected.insert(s);
        CoTaskMemFree(s);
    }
    EXPECT_EQ(expected, walked);
    EXPECT_GE(pages, 4);  // setX's five items take three pages

    // A group (inactive: the device thread leaves its item alone) keeps the
    // set between the reads, and its keep-alive callbacks come at the
    // revised time.
    Group g(server.Get(), L"", FALSE, 100, 9, {L"set31.period"});
    auto state = g.As<IOPCGroupStateMgt2>();
    DWORD revised = 0;
    EXPECT_EQ(OPC_S_UNSUPPORTEDRATE, state->SetKeepAlive(250, &revised));
    EXPECT_EQ(300u, revised);  // three update periods
    DWORD kept = 0;
    EXPECT_EQ(S_OK, state->GetKeepAlive(&kept));
    EXPECT_EQ(300u, kept);

    // Read by item ID: MaxAge 0 samples the device, 0xFFFFFFFF takes the
    // cache, which holds that sample.
    auto read = [&](DWORD maxAge, FILETIME* time) {
        LPCWSTR ids[] = {L"set31.period"};
        VARIANT* values = nullptr;
        WORD* qualities = nullptr;
        FILETIME* times = nullptr;
        HRESULT* errors = nullptr;
        EXPECT_EQ(S_OK, io->Read(1, ids, &maxAge, &values, &qualities, &times, &errors));
        const double value = values ? values[0].dblVal : -1;
        EXPECT_EQ(OPC_QUALITY_GOOD, qualities ? qualities[0] : 0);
        *time = times ? times[0] : FILETIME{};
        if (values)
            VariantClear(&values[0]);
        CoTaskMemFree(values);
        CoTaskMemFree(qualities);
        CoTaskMemFree(times);
        CoTaskMemFree(errors);
        return value;
    };
    auto ticks = [](const FILETIME& t) { return (static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
    FILETIME sampled, cached, again;
    EXPECT_EQ(1000.0, read(0, &sampled));  // a new set's period
    Sleep(50);
    EXPECT_EQ(1000.0, read(0xFFFFFFFF, &cached));
    EXPECT_EQ(ticks(sampled), ticks(cached));  // that sample, from the cache
    Sleep(50);
    EXPECT_EQ(1000.0, read(0, &again));
    EXPECT_GT(ticks(again), ticks(sampled));  // a new sample

    DataCallbackSpy spy;
    ComPtr<IConnectionPoint> point;
    DWORD cookie = g.Connect(&spy, &point);
    BOOL active = TRUE;
    ASSERT_EQ(S_OK, state->SetState(nullptr, &revised, &active, nullptr, nullptr, nullptr, nullptr));
    ASSERT_TRUE(spy.WaitFor(1));  // the first update carries the value
    const DWORD start = GetTickCount();
    Sleep(2000);  // then the period stays as it is: only keep-alives
    const DWORD elapsed = GetTickCount() - start;
    const size_t empty = EmptyChanges(spy);
    EXPECT_GE(empty, elapsed / 300 - 2) << "keep-alive callbacks in " << elapsed << " ms";
    EXPECT_LE(empty, elapsed / 300 + 1);
    {
        std::lock_guard<std::mutex> lock(spy.mutex);
        EXPECT_EQ(9u, spy.changes.back().hGroup);
        EXPECT_EQ(S_OK, spy.changes.back().hrQuality);
    }
    EXPECT_EQ(S_OK, point->Unadvise(cookie));
    point.Reset();
    state.Reset();
    g.mgt.Reset();
    EXPECT_EQ(S_OK, server->RemoveGroup(g.hGroup, FALSE));
    EXPECT_EQ(1, spy.refs);
    old.Reset();
    flat.Reset();
    io.Reset();
    browse.Reset();
    server.Reset();
    EXPECT_TRUE(e2e::WaitNoServer());
}

TEST(Da3, BrowseAndPropertiesBadInputThroughTheProxy)
{
    ComPtr<IOPCServer> server = NewServer();
    ASSERT_TRUE(server);
    ComPtr<IOPCBrowse> b;
    ASSERT_EQ(S_OK, server.As(&b));

    // A point resumes exactly; a stale, foreign or other browse's point is
    // refused and left as it was.
    LPWSTR point = nullptr;
    BrowsePage first = BrowseOnce(b.Get(), L"setX", &point, 2, OPC_BROWSE_FILTER_ALL);
    ASSERT_EQ(S_OK, first.hr);
    ASSERT_NE(nullptr, point);
    const std::wstring saved = point;
    LPWSTR other = TaskString(saved.c_str());
    EXPECT_EQ(OPC_E_INVALIDCONTINUATIONPOINT, BrowseOnce(b.Get(), L"setX", &other, 2, OPC_BROWSE_FILTER_ITEMS).hr);
    EXPECT_STREQ(saved.c_str(), other);
    CoTaskMemFree(other);
    for (const wchar_t* bad : {L"junk", L"VTB1:2:00000000", L"VTB1:99"}) {
        LPWSTR p = TaskString(bad);
        EXPECT_EQ(OPC_E_INVALIDCONTINUATIONPOINT, BrowseOnce(b.Get(), L"setX", &p, 2, OPC_BROWSE_FILTER_ALL).hr)
            << bad;
        CoTaskMemFree(p);
    }
    BrowsePage second = BrowseOnce(b.Get(), L"setX", &point, 2, OPC_BROWSE_FILTER_ALL);
    EXPECT_EQ(S_OK, second.hr);
    ASSERT_EQ(2u, second.ids.size());
    EXPECT_NE(first.ids[0], second.ids[0]);
    CoTaskMemFree(point);

    LPWSTR none = nullptr;
    EXPECT_EQ(OPC_E_UNKNOWNITEMID, BrowseOnce(b.Get(), L"nowhere", &none, 0, OPC_BROWSE_FILTER_ALL).hr);
    EXPECT_EQ(E_INVALIDARG, BrowseOnce(b.Get(), L"", &none, 0, static_cast<OPCBROWSEFILTER>(7)).hr);
    // Properties with the elements cross too (they faulted the stub once).
    BrowsePage withProperties = BrowseOnce(b.Get(), L"setX", &none, 0, OPC_BROWSE_FILTER_ITEMS, L"", L"", TRUE, TRUE);
    ASSERT_EQ(5u, withProperties.propertyCounts.size());
    for (DWORD n : withProperties.propertyCounts)
        EXPECT_GE(n, 8u);
    EXPECT_EQ(nullptr, none);

    // GetProperties per item: unknown item and property IDs, no values.
    LPWSTR ids[] = {const_cast<LPWSTR>(L"set5.item"), const_cast<LPWSTR>(L"set5.nothing"),
                    const_cast<LPWSTR>(L"set5.fct")};
    DWORD wanted[] = {1, 102, 5000};
    OPCITEMPROPERTIES* props = nullptr;
    ASSERT_EQ(S_FALSE, b->GetProperties(3, ids, FALSE, 3, wanted, &props));
    EXPECT_EQ(S_FALSE, props[0].hrErrorID);
    ASSERT_EQ(3u, props[0].dwNumProperties);
    EXPECT_EQ(VT_I2, props[0].pItemProperties[0].vtDataType);
    EXPECT_EQ(VT_EMPTY, props[0].pItemProperties[0].vValue.vt);
    EXPECT_STREQ(L"High EU", props[0].pItemProperties[1].szDescription);
    EXPECT_EQ(OPC_E_INVALID_PID, props[0].pItemProperties[2].hrErrorID);
    EXPECT_TRUE(FAILED(props[1].hrErrorID));
    EXPECT_EQ(0u, props[1].dwNumProperties);
    EXPECT_EQ(OPC_E_INVALID_PID, props[2].pItemProperties[1].hrErrorID);  // not analog
    for (int i = 0; i < 3; ++i)
        FreeItemProperties(props[i]);
    CoTaskMemFree(props);
    DWORD all = 0;
    EXPECT_EQ(E_INVALIDARG, b->GetProperties(0, ids, TRUE, 0, &all, &props));
    b.Reset();
    server.Reset();
    EXPECT_TRUE(e2e::WaitNoServer());
}

TEST(Da3, ItemIOThroughTheProxy)
{
    ComPtr<IOPCServer> server = NewServer();
    ASSERT_TRUE(server);
    ComPtr<IOPCItemIO> io;
    ASSERT_EQ(S_OK, server.As(&io));
    // Held by a group, so that the written value stays.
    Group g(server.Get(), L"held", FALSE, 1000, 1, {L"set32.period"});

    LPCWSTR ids[] = {L"set32.period", L"set32.period", L"set32.item"};
    OPCITEMVQT vqt[3] = {};
    for (auto& r : vqt) {
        VariantInit(&r.vDataValue);
        r.vDataValue.vt = VT_I4;
        r.vDataValue.lVal = 250;
    }
    vqt[1].bQualitySpecified = TRUE;
    vqt[1].wQuality = OPC_QUALITY_GOOD;
    HRESULT* errors = nullptr;
    ASSERT_EQ(S_FALSE, io->WriteVQT(3, ids, vqt, &errors));
    EXPECT_EQ(S_OK, errors[0]);
    EXPECT_EQ(OPC_E_NOTSUPPORTED, errors[1]);  // the device makes its own quality
    EXPECT_TRUE(FAILED(errors[2]));            // a value is read-only
    CoTaskMemFree(errors);

    LPCWSTR read[] = {L"set32.period", L"set32.bogus"};
    DWORD ages[] = {1000, 0};
    VARIANT* values = nullptr;
    WORD* qualities = nullptr;
    FILETIME* times = nullptr;
    ASSERT_EQ(S_FALSE, io->Read(2, read, ages, &values, &qualities, &times, &errors));
    EXPECT_EQ(S_OK, errors[0]);
    EXPECT_EQ(250.0, values[0].dblVal);  // the held set's entry was never sampled: the device
    EXPECT_TRUE(FAILED(errors[1]));
    EXPECT_EQ(VT_EMPTY, values[1].vt);  // a failed entry still crosses, empty
    for (int i = 0; i < 2; ++i)
        VariantClear(&values[i]);
    CoTaskMemFree(values);
    CoTaskMemFree(qualities);
    CoTaskMemFree(times);
    CoTaskMemFree(errors);
    EXPECT_EQ(E_INVALIDARG, io->Read(0, read, ages, &values, &qualities, &times, &errors));
    EXPECT_EQ(E_INVALIDARG, io->WriteVQT(0, ids, vqt, &errors));
    g.mgt.Reset();
    EXPECT_EQ(S_OK, server->RemoveGroup(g.hGroup, FALSE));
    io.Reset();
    server.Reset();
    EXPECT_TRUE(e2e::WaitNoServer());
}

TEST(Da3, GroupIOThroughTheProxy)
{
    ComPtr<IOPCServer> server = NewServer();
    ASSERT_TRUE(server);
    Group g(server.Get(), L"io3", TRUE, 1000, 77, {L"set33.period", L"set33.item"});
    auto sync = g.As<IOPCSyncIO2>();
    auto async = g.As<IOPCAsyncIO3>();
    DWORD cancelID = 0;
    HRESULT* errors = nullptr;
    DWORD age = 0;
    EXPECT_EQ(CONNECT_E_NOCONNECTION, async->ReadMaxAge(1, g.items.data(), &age, 1, &cancelID, &errors));
    EXPECT_EQ(CONNECT_E_NOCONNECTION, async->RefreshMaxAge(0, 1, &cancelID));

    OPCITEMVQT vqt[2] = {};
    VariantInit(&vqt[0].vDataValue);
    vqt[0].vDataValue.vt = VT_R8;
    vqt[0].vDataValue.dblVal = 750;
    vqt[1] = vqt[0];
    vqt[1].bTimeStampSpecified = TRUE;
    OPCHANDLE twice[] = {g.items[0], g.items[0]};
    ASSERT_EQ(S_FALSE, sync->WriteVQT(2, twice, vqt, &errors));
    EXPECT_EQ(S_OK, errors[0]);
    EXPECT_EQ(OPC_E_NOTSUPPORTED, errors[1]);
    CoTaskMemFree(errors);
    OPCHANDLE handles[] = {g.items[0], g.items[1], 0xBAD0};
    DWORD ages[] = {0, 0xFFFFFFFF, 0};
    VARIANT* values = nullptr;
    WORD* qualities = nullptr;
    FILETIME* times = nullptr;
    ASSERT_EQ(S_FALSE, sync->ReadMaxAge(3, handles, ages, &values, &qualities, &times, &errors));
    EXPECT_EQ(750.0, values[0].dblVal);
    EXPECT_EQ(OPC_E_INVALIDHANDLE, errors[2]);
    for (int i = 0; i < 3; ++i)
        VariantClear(&values[i]);
    CoTaskMemFree(values);
    CoTaskMemFree(qualities);
    CoTaskMemFree(times);
    CoTaskMemFree(errors);

    DataCallbackSpy spy;
    ComPtr<IConnectionPoint> point;
    DWORD cookie = g.Connect(&spy, &point);
    ASSERT_EQ(S_FALSE, async->ReadMaxAge(3, handles, ages, 21, &cancelID, &errors));
    EXPECT_EQ(OPC_E_INVALIDHANDLE, errors[2]);
    CoTaskMemFree(errors);
    auto read = WaitForTransaction(spy, 21);
    EXPECT_EQ('R', read.kind);
    EXPECT_EQ(77u, read.hGroup);
    EXPECT_EQ((std::vector<OPCHANDLE>{100, 101}), read.clients);
    vqt[0].vDataValue.dblVal = 800;
    ASSERT_EQ(S_FALSE, async->WriteVQT(2, twice, vqt, 22, &cancelID, &errors));
    EXPECT_EQ(OPC_E_NOTSUPPORTED, errors[1]);
    CoTaskMemFree(errors);
    auto write = WaitForTransaction(spy, 22);
    EXPECT_EQ('W', write.kind);
    EXPECT_EQ((std::vector<HRESULT>{S_OK}), write.errors);
    ASSERT_EQ(S_OK, async->RefreshMaxAge(0xFFFFFFFF, 23, &cancelID));
    auto refresh = WaitForTransaction(spy, 23);
    EXPECT_EQ('D', refresh.kind);  // a refresh answers through OnDataChange
    EXPECT_EQ(2u, refresh.clients.size());
    EXPECT_EQ(E_INVALIDARG, async->ReadMaxAge(0, handles, ages, 24, &cancelID, &errors));

    EXPECT_EQ(S_OK, point->Unadvise(cookie));
    point.Reset();
    sync.Reset();
    async.Reset();
    g.mgt.Reset();
    EXPECT_EQ(S_OK, server->RemoveGroup(g.hGroup, FALSE));
    EXPECT_EQ(1, spy.refs);
    server.Reset();
    EXPECT_TRUE(e2e::WaitNoServer());
}

TEST(Da3, ItemDeadbandAndSamplingThroughTheProxy)
{
    ComPtr<IOPCServer> server = NewServer();
    ASSERT_TRUE(server);
    Group g(server.Get(), L"items3", FALSE, 100, 1, {L"set34.item", L"set34.on"});  // analog, enumerated
    auto deadband = g.As<IOPCItemDeadbandMgt>();
    auto sampling = g.As<IOPCItemSamplingMgt>();
    HRESULT* errors = nullptr;
    FLOAT percents[] = {12.5f, 5.0f};
    ASSERT_EQ(S_FALSE, deadband->SetItemDeadband(2, g.items.data(), percents, &errors));
    EXPECT_EQ(S_OK, errors[0]);
    EXPECT_EQ(OPC_E_DEADBANDNOTSUPPORTED, errors[1]);
    CoTaskMemFree(errors);
    FLOAT* got = nullptr;
    ASSERT_EQ(S_FALSE, deadband->GetItemDeadband(2, g.items.data(), &got, &errors));
    EXPECT_EQ(12.5f, got[0]);
    CoTaskMemFree(got);
    CoTaskMemFree(errors);
    ASSERT_EQ(S_FALSE, deadband->ClearItemDeadband(2, g.items.data(), &errors));
    EXPECT_EQ(S_OK, errors[0]);
    CoTaskMemFree(errors);
    OPCHANDLE stale = 0xBAD1;
    ASSERT_EQ(S_FALSE, deadband->ClearItemDeadband(1, &stale, &errors));
    EXPECT_EQ(OPC_E_INVALIDHANDLE, errors[0]);
    CoTaskMemFree(errors);

    DWORD rates[] = {250, 1};
    DWORD* revised = nullptr;
    ASSERT_EQ(S_FALSE, sampling->SetItemSamplingRate(2, g.items.data(), rates, &revised, &errors));
    EXPECT_EQ(250u, revised[0]);
    EXPECT_EQ(10u, revised[1]);  // the device samples every 10 ms
    EXPECT_EQ(OPC_S_UNSUPPORTEDRATE, errors[1]);
    CoTaskMemFree(revised);
    CoTaskMemFree(errors);
    ASSERT_EQ(S_OK, sampling->ClearItemSamplingRate(2, g.items.data(), &errors));
    CoTaskMemFree(errors);
    DWORD* now = nullptr;
    ASSERT_EQ(S_FALSE, sampling->GetItemSamplingRate(1, g.items.data(), &now, &errors));
    EXPECT_EQ(OPC_E_RATENOTSET, errors[0]);
    CoTaskMemFree(now);
    CoTaskMemFree(errors);
    BOOL enable[] = {TRUE, FALSE};
    ASSERT_EQ(S_FALSE, sampling->SetItemBufferEnable(2, g.items.data(), enable, &errors));
    EXPECT_EQ(OPC_E_NOBUFFERING, errors[0]);
    EXPECT_EQ(S_OK, errors[1]);
    CoTaskMemFree(errors);
    EXPECT_EQ(E_INVALIDARG, sampling->SetItemBufferEnable(0, g.items.data(), enable, &errors));

    deadband.Reset();
    sampling.Reset();
    g.mgt.Reset();
    EXPECT_EQ(S_OK, server->RemoveGroup(g.hGroup, FALSE));
    server.Reset();
    EXPECT_TRUE(e2e::WaitNoServer());
}
