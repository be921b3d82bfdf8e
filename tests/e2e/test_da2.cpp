// The OPC DA 2.0 interfaces through the proxy/stub, across processes.
#include "common/OpcDefs.h"
#include "E2eUtil.h"
#include "DataCallbackSpy.h"
#include "ShutdownSinkSpy.h"

#include <gtest/gtest.h>
#include <wrl/client.h>

#include <ocidl.h>
#include <olectl.h>

#include <string>
#include <vector>

using Microsoft::WRL::ComPtr;

namespace {
// A server in its own process with one inactive group holding one item.
struct OneItemGroup {
    ComPtr<IOPCServer> server;
    ComPtr<IOPCItemMgt> mgt;
    OPCHANDLE hGroup = 0;
    OPCHANDLE h = 0;

    void Make(const wchar_t* name, OPCHANDLE hClientGroup, const wchar_t* itemID)
    {
        ASSERT_EQ(S_OK, CoCreateInstance(CLSID_OPCServer, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                                         reinterpret_cast<void**>(server.GetAddressOf())));
        DWORD revised = 0;
        ASSERT_EQ(S_OK, server->AddGroup(name, FALSE, 1000, hClientGroup, nullptr, nullptr, 0, &hGroup, &revised,
                                         IID_IOPCItemMgt, reinterpret_cast<IUnknown**>(mgt.GetAddressOf())));
        OPCITEMDEF def = {};
        def.szAccessPath = const_cast<wchar_t*>(L"");
        def.szItemID = const_cast<wchar_t*>(itemID);
        OPCITEMRESULT* results = nullptr;
        HRESULT* errors = nullptr;
        ASSERT_EQ(S_OK, mgt->AddItems(1, &def, &results, &errors));
        h = results[0].hServer;
        CoTaskMemFree(results);
        CoTaskMemFree(errors);
    }
    // The group's IOPCDataCallback point, and the connection of a sink to it.
    void Advise(IUnknown* sink, ComPtr<IConnectionPoint>* point, DWORD* cookie)
    {
        ComPtr<IConnectionPointContainer> cpc;
        ASSERT_EQ(S_OK, mgt.As(&cpc));
        ASSERT_EQ(S_OK, cpc->FindConnectionPoint(IID_IOPCDataCallback, point->GetAddressOf()));
        ASSERT_EQ(S_OK, (*point)->Advise(sink, cookie));
    }
};
}  // namespace

TEST(Da2, CommonSessionThroughTheProxy)
{
    ComPtr<IOPCServer> server;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_OPCServer, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                                     reinterpret_cast<void**>(server.GetAddressOf())));
    ComPtr<IOPCCommon> common;
    ASSERT_EQ(S_OK, server.As(&common));
    EXPECT_EQ(S_OK, common->SetLocaleID(0x409));
    LCID lcid = 0;
    EXPECT_EQ(S_OK, common->GetLocaleID(&lcid));
    EXPECT_EQ(0x409u, lcid);
    EXPECT_EQ(E_INVALIDARG, common->SetLocaleID(0x407));
    DWORD count = 0;
    LCID* list = nullptr;
    ASSERT_EQ(S_OK, common->QueryAvailableLocaleIDs(&count, &list));
    EXPECT_EQ(4u, count);
    CoTaskMemFree(list);
    EXPECT_EQ(S_OK, common->SetLocaleID(0));
    LPWSTR text = nullptr;
    ASSERT_EQ(S_OK, common->GetErrorString(E_OUTOFMEMORY, &text));
    ASSERT_NE(nullptr, text);  // the string itself crosses, not a NULL with S_OK
    EXPECT_GT(wcslen(text), 0u);
    CoTaskMemFree(text);
    EXPECT_EQ(S_OK, common->SetClientName(L"e2e"));
    common.Reset();
    server.Reset();
    EXPECT_TRUE(e2e::WaitNoServer());
}

TEST(Da2, ItemPropertiesThroughTheProxy)
{
    ComPtr<IOPCItemProperties> props;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_OPCServer, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCItemProperties,
                                     reinterpret_cast<void**>(props.GetAddressOf())));
    DWORD n = 0;
    DWORD* ids = nullptr;
    LPWSTR* texts = nullptr;
    VARTYPE* types = nullptr;
    ASSERT_EQ(S_OK, props->QueryAvailableProperties(const_cast<LPWSTR>(L"set3.item"), &n, &ids, &texts, &types));
    ASSERT_EQ(10u, n);
    EXPECT_EQ(1u, ids[0]);
    EXPECT_STREQ(L"Item Canonical Data Type", texts[0]);
    EXPECT_EQ(VT_I2, types[0]);
    for (DWORD i = 0; i < n; ++i)
        CoTaskMemFree(texts[i]);
    CoTaskMemFree(ids);
    CoTaskMemFree(texts);
    CoTaskMemFree(types);

    // Several VARIANTs of different kinds in one reply, and an error.
    DWORD want[] = {2, 3, 8, 102, 103, 4242};
    VARIANT* values = nullptr;
    HRESULT* errors = nullptr;
    ASSERT_EQ(S_FALSE, props->GetItemProperties(const_cast<LPWSTR>(L"set3.item"), 6, want, &values, &errors));
    EXPECT_EQ(VT_R8, values[0].vt);
    EXPECT_EQ(VT_I2, values[1].vt);
    EXPECT_EQ(192, values[1].iVal);
    EXPECT_EQ(VT_ARRAY | VT_R8, values[2].vt);
    EXPECT_EQ(VT_R8, values[3].vt);
    EXPECT_EQ(-values[3].dblVal, values[4].dblVal);
    EXPECT_EQ(OPC_E_INVALID_PID, errors[5]);
    for (int i = 0; i < 6; ++i)
        VariantClear(&values[i]);
    CoTaskMemFree(values);
    CoTaskMemFree(errors);
    HRESULT bad = props->GetItemProperties(const_cast<LPWSTR>(L"nonsense"), 1, want, &values, &errors);
    EXPECT_TRUE(FAILED(bad));
    props.Reset();
    EXPECT_TRUE(e2e::WaitNoServer());
}


TEST(Da2, ShutdownCommandReachesTheSinksAndEndsTheServer)
{
    ASSERT_TRUE(e2e::WaitNoServer());
    EXPECT_EQ(1, e2e::RunProcess(L"\"" + e2e::ServerExe() + L"\" -Shutdown"));  // nothing runs yet

    ComPtr<IOPCServer> server;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_OPCServer, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                                     reinterpret_cast<void**>(server.GetAddressOf())));
    HANDLE process = e2e::OpenServerProcess();
    ASSERT_NE(nullptr, process);
    ComPtr<IConnectionPointContainer> cpc;
    ASSERT_EQ(S_OK, server.As(&cpc));
    ComPtr<IConnectionPoint> cp;
    ASSERT_EQ(S_OK, cpc->FindConnectionPoint(IID_IOPCShutdown, cp.GetAddressOf()));
    EXPECT_EQ(CONNECT_E_NOCONNECTION, cp->Unadvise(12345));
    // The sink unadvises itself from inside the callback, as real clients do.
    ShutdownSinkSpy sink;
    DWORD cookie = 0;
    HRESULT unadvised = E_PENDING;
    sink.onRequest = [&] { unadvised = cp->Unadvise(cookie); };
    ASSERT_EQ(S_OK, cp->Advise(&sink, &cookie));
    ComPtr<IUnknown> group;
    OPCHANDLE h = 0;
    DWORD revised = 0;
    ASSERT_EQ(S_OK, server->AddGroup(L"held", TRUE, 100, 1, nullptr, nullptr, 0, &h, &revised, IID_IOPCItemMgt,
                                     group.GetAddressOf()));

    EXPECT_EQ(0, e2e::RunProcess(L"\"" + e2e::ServerExe() + L"\" -Shutdown \"maintenance window\""));
    ASSERT_EQ(1u, sink.reasons.size());
    EXPECT_EQ(L"maintenance window", sink.reasons[0]);
    EXPECT_EQ(S_OK, unadvised);  // a call back into the server from inside the callback
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process, 5000));
    DWORD code = 1;
    GetExitCodeProcess(process, &code);
    EXPECT_EQ(0u, code);
    CloseHandle(process);
    OPCSERVERSTATUS* status = nullptr;
    EXPECT_TRUE(FAILED(server->GetStatus(&status)));  // its objects are disconnected
    group.Reset();
    cp.Reset();
    cpc.Reset();
    server.Reset();
    EXPECT_TRUE(e2e::WaitNoServer());
}

TEST(Da2, DataCallbackAcrossProcessesWithACallBackIntoTheServer)
{
    ComPtr<IOPCServer> server;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_OPCServer, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                                     reinterpret_cast<void**>(server.GetAddressOf())));
    ComPtr<IOPCItemMgt> mgt;
    OPCHANDLE hGroup = 0;
    DWORD revised = 0;
    ASSERT_EQ(S_OK, server->AddGroup(L"", TRUE, 0, 42, nullptr, nullptr, 0, &hGroup, &revised, IID_IOPCItemMgt,
                                     reinterpret_cast<IUnknown**>(mgt.GetAddressOf())));
    // A Noise signal: every sample is a change.
    const wchar_t* ids[3] = {L"set700.item", L"set700.fct", L"set700.on"};
    OPCITEMDEF defs[3] = {};
    for (int i = 0; i < 3; ++i) {
        defs[i].szAccessPath = const_cast<wchar_t*>(L"");
        defs[i].szItemID = const_cast<wchar_t*>(ids[i]);
        defs[i].bActive = i == 0;
        defs[i].hClient = 10 + i;
        defs[i].vtRequestedDataType = i == 0 ? VT_R4 : VT_EMPTY;
    }
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    ASSERT_EQ(S_OK, mgt->AddItems(3, defs, &results, &errors));
    OPCHANDLE params[2] = {results[1].hServer, results[2].hServer};
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
    ComPtr<IOPCSyncIO> sync;
    ASSERT_EQ(S_OK, mgt.As(&sync));
    VARIANT v[2];
    VariantInit(&v[0]);
    VariantInit(&v[1]);
    v[0].vt = VT_R8;
    v[0].dblVal = 2;  // Noise
    v[1].vt = VT_R8;
    v[1].dblVal = 1;  // on
    ASSERT_EQ(S_OK, sync->Write(2, params, v, &errors));
    CoTaskMemFree(errors);

    ComPtr<IOPCGroupStateMgt> state;
    ASSERT_EQ(S_OK, mgt.As(&state));
    ComPtr<IConnectionPointContainer> cpc;
    ASSERT_EQ(S_OK, mgt.As(&cpc));
    ComPtr<IConnectionPoint> cp;
    ASSERT_EQ(S_OK, cpc->FindConnectionPoint(IID_IOPCDataCallback, cp.GetAddressOf()));
    DataCallbackSpy spy;
    HRESULT changed = E_PENDING;
    spy.onData = [&] {
        // A synchronous call into the server from inside the callback.
        if (changed == E_PENDING) {
            DWORD rate = 50, r = 0;
            changed = state->SetState(&rate, &r, nullptr, nullptr, nullptr, nullptr, nullptr);
        }
    };
    DWORD cookie = 0;
    ASSERT_EQ(S_OK, cp->Advise(&spy, &cookie));
    ASSERT_TRUE(spy.WaitFor(5, 10000));
    EXPECT_EQ(S_OK, changed);
    {
        std::lock_guard<std::mutex> lock(spy.mutex);
        for (const auto& c : spy.changes) {
            EXPECT_EQ(0u, c.transid);
            EXPECT_EQ(42u, c.hGroup);
            ASSERT_EQ(1u, c.clients.size());
            EXPECT_EQ(10u, c.clients[0]);
            EXPECT_EQ(VT_R4, c.types[0]);
        }
    }
    EXPECT_EQ(S_OK, cp->Unadvise(cookie));
    cp.Reset();
    cpc.Reset();
    state.Reset();
    sync.Reset();
    mgt.Reset();
    EXPECT_EQ(S_OK, server->RemoveGroup(hGroup, FALSE));
    server.Reset();
    EXPECT_EQ(1, spy.refs);
    EXPECT_TRUE(e2e::WaitNoServer());
}

// IOPCAsyncIO2 and the group's connection point through the proxies: the
// codes of bad input arrive as they leave the server, and nothing stays.
TEST(Da2, AsyncIO2BadInputThroughTheProxy)
{
    OneItemGroup one;
    ASSERT_NO_FATAL_FAILURE(one.Make(L"bad", 3, L"set30.period"));
    ComPtr<IOPCServer>& server = one.server;
    ComPtr<IOPCItemMgt>& mgt = one.mgt;
    const OPCHANDLE hGroup = one.hGroup;
    OPCHANDLE h = one.h;
    HRESULT* errors = nullptr;
    ComPtr<IOPCAsyncIO2> io;
    ASSERT_EQ(S_OK, mgt.As(&io));
    DWORD cancel = 0;
    BOOL enabled = TRUE;
    EXPECT_EQ(CONNECT_E_NOCONNECTION, io->Refresh2(OPC_DS_CACHE, 1, &cancel));
    EXPECT_EQ(CONNECT_E_NOCONNECTION, io->GetEnable(&enabled));

    ComPtr<IConnectionPointContainer> cpc;
    ASSERT_EQ(S_OK, mgt.As(&cpc));
    ComPtr<IConnectionPoint> cp;
    ASSERT_EQ(S_OK, cpc->FindConnectionPoint(IID_IOPCDataCallback, cp.GetAddressOf()));
    ShutdownSinkSpy wrong;  // answers IOPCShutdown, not IOPCDataCallback
    DWORD cookie = 0;
    EXPECT_EQ(CONNECT_E_CANNOTCONNECT, cp->Advise(&wrong, &cookie));
    EXPECT_EQ(CONNECT_E_NOCONNECTION, cp->Unadvise(777));
    DataCallbackSpy spy;
    ASSERT_EQ(S_OK, cp->Advise(&spy, &cookie));
    DataCallbackSpy second;
    DWORD other = 0;
    EXPECT_EQ(CONNECT_E_ADVISELIMIT, cp->Advise(&second, &other));

    EXPECT_EQ(E_INVALIDARG, io->Read(0, &h, 1, &cancel, &errors));
    EXPECT_EQ(E_INVALIDARG, io->Refresh2(static_cast<OPCDATASOURCE>(9), 1, &cancel));
    EXPECT_EQ(E_FAIL, io->Refresh2(OPC_DS_CACHE, 1, &cancel));  // inactive group
    EXPECT_EQ(E_FAIL, io->Cancel2(0xABCDEF));
    OPCHANDLE stale[] = {h, 0xBAD0};
    ASSERT_EQ(S_FALSE, io->Read(2, stale, 5, &cancel, &errors));
    EXPECT_EQ(S_OK, errors[0]);
    EXPECT_EQ(OPC_E_INVALIDHANDLE, errors[1]);
    CoTaskMemFree(errors);
    ASSERT_TRUE(spy.WaitForCompletions(1));
    {
        std::lock_guard<std::mutex> lock(spy.mutex);
        EXPECT_EQ(5u, spy.completions[0].transid);
        EXPECT_EQ(3u, spy.completions[0].hGroup);
        EXPECT_EQ(1u, spy.completions[0].clients.size());
    }
    EXPECT_EQ(S_OK, io->SetEnable(FALSE));
    EXPECT_EQ(S_OK, io->GetEnable(&enabled));
    EXPECT_FALSE(enabled);

    EXPECT_EQ(S_OK, cp->Unadvise(cookie));
    EXPECT_EQ(1, spy.refs);
    EXPECT_EQ(1, second.refs);
    EXPECT_EQ(1, wrong.refs);
    io.Reset();
    cp.Reset();
    cpc.Reset();
    mgt.Reset();
    EXPECT_EQ(S_OK, server->RemoveGroup(hGroup, FALSE));
    server.Reset();
    EXPECT_TRUE(e2e::WaitNoServer());
}

// The connection-point interfaces go through the platform's own proxies:
// enumeration of points and connections, the point's interface and its
// container, across processes; zero counts of the property calls.
namespace {
// IEnumConnections of a point across processes: Next of one and of more than
// are left, Skip, Reset and Clone; every element names the client's own sink.
void CheckConnectionEnumeration(IConnectionPoint* point, const std::vector<std::pair<DWORD, IUnknown*>>& expected)
{
    ComPtr<IEnumConnections> e;
    ASSERT_EQ(S_OK, point->EnumConnections(e.GetAddressOf()));
    const ULONG n = static_cast<ULONG>(expected.size());
    for (int round = 0; round < 10; ++round) {  // the same answer every time
        ASSERT_EQ(S_OK, e->Reset());
        for (ULONG i = 0; i < n; ++i) {
            CONNECTDATA cd = {};
            ULONG got = 77;
            ASSERT_EQ(S_OK, e->Next(1, &cd, &got)) << round << " " << i;
            EXPECT_EQ(1u, got);
            EXPECT_EQ(expected[i].first, cd.dwCookie);
            EXPECT_EQ(expected[i].second, cd.pUnk);  // the client's own object, not a proxy
            cd.pUnk->Release();
        }
        CONNECTDATA none = {};
        ULONG got = 77;
        EXPECT_EQ(S_FALSE, e->Next(1, &none, &got));
        EXPECT_EQ(0u, got);
    }
    ASSERT_EQ(S_OK, e->Reset());
    std::vector<CONNECTDATA> all(n + 2);
    ULONG got = 0;
    EXPECT_EQ(S_FALSE, e->Next(n + 2, all.data(), &got));  // past the end
    ASSERT_EQ(n, got);
    for (ULONG i = 0; i < got; ++i) {
        EXPECT_EQ(expected[i].first, all[i].dwCookie);
        all[i].pUnk->Release();
    }
    ASSERT_EQ(S_OK, e->Reset());
    EXPECT_EQ(S_OK, e->Skip(n - 1));
    ComPtr<IEnumConnections> clone;
    ASSERT_EQ(S_OK, e->Clone(clone.GetAddressOf()));
    CONNECTDATA last = {};
    ASSERT_EQ(S_OK, clone->Next(1, &last, &got));  // the clone starts where the original was
    EXPECT_EQ(expected[n - 1].first, last.dwCookie);
    last.pUnk->Release();
    EXPECT_EQ(S_FALSE, e->Skip(2));
    EXPECT_EQ(S_FALSE, e->Next(1, &last, &got));
    EXPECT_EQ(0u, got);
}
}  // namespace

TEST(Da2, ConnectionPointEnumerationAndZeroCountsThroughTheProxies)
{
    ComPtr<IOPCServer> server;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_OPCServer, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                                     reinterpret_cast<void**>(server.GetAddressOf())));
    ComPtr<IConnectionPointContainer> cpc;
    ASSERT_EQ(S_OK, server.As(&cpc));
    ComPtr<IEnumConnectionPoints> points;
    ASSERT_EQ(S_OK, cpc->EnumConnectionPoints(points.GetAddressOf()));
    IConnectionPoint* fetched[2] = {};
    ULONG n = 0;
    EXPECT_EQ(S_FALSE, points->Next(2, fetched, &n));
    ASSERT_EQ(1u, n);
    IID iid = IID_NULL;
    EXPECT_EQ(S_OK, fetched[0]->GetConnectionInterface(&iid));
    EXPECT_TRUE(IsEqualIID(IID_IOPCShutdown, iid));
    ComPtr<IConnectionPointContainer> back;
    EXPECT_EQ(S_OK, fetched[0]->GetConnectionPointContainer(back.GetAddressOf()));
    ComPtr<IUnknown> u1, u2;
    back.As(&u1);
    server.As(&u2);
    EXPECT_EQ(u1.Get(), u2.Get());  // the same object
    ShutdownSinkSpy one, two;
    DWORD c1 = 0, c2 = 0;
    ASSERT_EQ(S_OK, fetched[0]->Advise(&one, &c1));
    ASSERT_EQ(S_OK, fetched[0]->Advise(&two, &c2));
    EXPECT_NE(c1, c2);
    CheckConnectionEnumeration(fetched[0], {{c1, &one}, {c2, &two}});
    EXPECT_EQ(S_OK, fetched[0]->Unadvise(c1));
    EXPECT_EQ(S_OK, fetched[0]->Unadvise(c2));
    EXPECT_EQ(CONNECT_E_NOCONNECTION, fetched[0]->Unadvise(c2));
    fetched[0]->Release();
    EXPECT_EQ(1, one.refs);
    EXPECT_EQ(1, two.refs);

    // The group's point, with its one connection.
    ComPtr<IOPCItemMgt> mgt;
    OPCHANDLE hGroup = 0;
    DWORD revised = 0;
    ASSERT_EQ(S_OK, server->AddGroup(L"", FALSE, 1000, 1, nullptr, nullptr, 0, &hGroup, &revised, IID_IOPCItemMgt,
                                     reinterpret_cast<IUnknown**>(mgt.GetAddressOf())));
    ComPtr<IConnectionPointContainer> groupPoints;
    ASSERT_EQ(S_OK, mgt.As(&groupPoints));
    ComPtr<IConnectionPoint> dataPoint;
    ASSERT_EQ(S_OK, groupPoints->FindConnectionPoint(IID_IOPCDataCallback, dataPoint.GetAddressOf()));
    DataCallbackSpy callback;
    DWORD c3 = 0;
    ASSERT_EQ(S_OK, dataPoint->Advise(&callback, &c3));
    CheckConnectionEnumeration(dataPoint.Get(), {{c3, &callback}});
    EXPECT_EQ(S_OK, dataPoint->Unadvise(c3));
    dataPoint.Reset();
    groupPoints.Reset();
    mgt.Reset();
    EXPECT_EQ(S_OK, server->RemoveGroup(hGroup, TRUE));
    EXPECT_EQ(1, callback.refs);

    ComPtr<IOPCItemProperties> props;
    ASSERT_EQ(S_OK, server.As(&props));
    DWORD id = 1;
    VARIANT* values = nullptr;
    HRESULT* errors = nullptr;
    EXPECT_EQ(E_INVALIDARG, props->GetItemProperties(const_cast<LPWSTR>(L"set3.item"), 0, &id, &values, &errors));
    LPWSTR* ids = nullptr;
    EXPECT_EQ(E_INVALIDARG, props->LookupItemIDs(const_cast<LPWSTR>(L"set3.item"), 0, &id, &ids, &errors));
    EXPECT_EQ(OPC_E_UNKNOWNITEMID, props->LookupItemIDs(const_cast<LPWSTR>(L"set3.nothing"), 1, &id, &ids, &errors));
    props.Reset();
    back.Reset();
    u1.Reset();
    u2.Reset();
    points.Reset();
    cpc.Reset();
    server.Reset();
    EXPECT_TRUE(e2e::WaitNoServer());
}

// Cancel2 only asks for the cancel: it returns at once while the client is
// inside an earlier completion of the group, called from another thread and
// from inside that completion, and OnCancelComplete follows once the
// completion has returned.
TEST(Da2, Cancel2ReturnsWhileTheClientIsInsideACompletion)
{
    OneItemGroup one;
    ASSERT_NO_FATAL_FAILURE(one.Make(L"cancel", 9, L"set31.period"));
    ComPtr<IOPCServer>& server = one.server;
    ComPtr<IOPCItemMgt>& mgt = one.mgt;
    const OPCHANDLE hGroup = one.hGroup;
    OPCHANDLE h = one.h;
    HRESULT* errors = nullptr;
    ComPtr<IOPCAsyncIO2> io;
    ASSERT_EQ(S_OK, mgt.As(&io));
    ComPtr<IConnectionPoint> cp;
    DataCallbackSpy spy;
    DWORD cookie = 0;
    ASSERT_NO_FATAL_FAILURE(one.Advise(&spy, &cp, &cookie));

    HANDLE inside = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    volatile DWORD cancelFromInside = 0;
    HRESULT hrInside = E_PENDING;
    DWORD msInside = 0;
    spy.onCompletion = [&](const DataCallbackSpy::Change& c) {
        if (c.kind != 'R' || c.transid != 1)
            return;
        SetEvent(inside);
        WaitForSingleObject(go, 20000);
        const DWORD start = GetTickCount();
        hrInside = io->Cancel2(cancelFromInside);
        msInside = GetTickCount() - start;
    };
    DWORD c1 = 0, c2 = 0, c3 = 0;
    ASSERT_EQ(S_OK, io->Read(1, &h, 1, &c1, &errors));
    CoTaskMemFree(errors);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(inside, 10000));
    ASSERT_EQ(S_OK, io->Read(1, &h, 2, &c2, &errors));
    CoTaskMemFree(errors);
    ASSERT_EQ(S_OK, io->Read(1, &h, 3, &c3, &errors));
    CoTaskMemFree(errors);
    cancelFromInside = c3;

    // From another thread of the client, while it is inside the completion.
    DWORD start = GetTickCount();
    EXPECT_EQ(S_OK, io->Cancel2(c2));
    EXPECT_LT(GetTickCount() - start, 3000u) << "Cancel2 waited for the client's own callback";
    EXPECT_EQ(1u, spy.completed());  // nothing more while the completion runs
    SetEvent(go);
    ASSERT_TRUE(spy.WaitForCompletions(3, 10000));
    EXPECT_EQ(S_OK, hrInside);
    EXPECT_LT(msInside, 3000u);
    Sleep(200);
    {
        std::lock_guard<std::mutex> lock(spy.mutex);
        ASSERT_EQ(3u, spy.completions.size());  // neither cancelled read ran
        EXPECT_EQ('C', spy.completions[1].kind);
        EXPECT_EQ(2u, spy.completions[1].transid);
        EXPECT_EQ('C', spy.completions[2].kind);
        EXPECT_EQ(3u, spy.completions[2].transid);
        EXPECT_EQ(9u, spy.completions[2].hGroup);
    }
    CloseHandle(inside);
    CloseHandle(go);
    EXPECT_EQ(S_OK, cp->Unadvise(cookie));
    cp.Reset();
    io.Reset();
    mgt.Reset();
    EXPECT_EQ(S_OK, server->RemoveGroup(hGroup, TRUE));
    server.Reset();
    EXPECT_EQ(1, spy.refs);
}
