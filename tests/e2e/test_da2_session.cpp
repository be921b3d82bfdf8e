// A typical OPC DA 2.0 client, across processes, from the first call to the
// server's shutdown: the calls in the order such clients make them.
#include "common/OpcDefs.h"
#include "DataCallbackSpy.h"
#include "E2eUtil.h"
#include "ShutdownSinkSpy.h"

#include <gtest/gtest.h>
#include <wrl/client.h>

#include <ocidl.h>
#include <olectl.h>

#include <algorithm>
#include <string>

using Microsoft::WRL::ComPtr;

namespace {
using Change = DataCallbackSpy::Change;
// Waits for the call with transaction ID tid (a completion, or a data change
// when change is set) and copies it out; kind '?' when none came.
Change WaitFor(DataCallbackSpy& spy, DWORD tid, bool change = false, DWORD timeoutMs = 10000)
{
    for (DWORD start = GetTickCount(); GetTickCount() - start < timeoutMs; Sleep(5)) {
        std::lock_guard<std::mutex> lock(spy.mutex);
        for (const Change& c : change ? spy.changes : spy.completions) {
            if (c.transid == tid) {
                Change copy = c;
                copy.values.clear();  // they stay the spy's
                return copy;
            }
        }
    }
    Change none{};
    none.kind = '?';
    return none;
}
}  // namespace

TEST(Da2Session, ATypicalClientFromStartToEnd)
{
    ASSERT_TRUE(e2e::WaitNoServer());
    // Created for IUnknown, then asked for what it needs.
    ComPtr<IUnknown> unknown;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_OPCServer, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown,
                                     reinterpret_cast<void**>(unknown.GetAddressOf())));
    HANDLE process = e2e::OpenServerProcess();
    ASSERT_NE(nullptr, process);
    ComPtr<IOPCServer> server;
    ComPtr<IOPCCommon> common;
    ComPtr<IOPCItemProperties> props;
    ASSERT_EQ(S_OK, unknown.As(&server));
    ASSERT_EQ(S_OK, unknown.As(&common));
    ASSERT_EQ(S_OK, unknown.As(&props));
    EXPECT_EQ(S_OK, common->SetLocaleID(0x409));
    EXPECT_EQ(S_OK, common->SetClientName(L"typical client"));

    ComPtr<IConnectionPointContainer> serverPoints;
    ASSERT_EQ(S_OK, unknown.As(&serverPoints));
    ComPtr<IConnectionPoint> shutdownPoint;
    ASSERT_EQ(S_OK, serverPoints->FindConnectionPoint(IID_IOPCShutdown, shutdownPoint.GetAddressOf()));
    ShutdownSinkSpy shutdown;
    DWORD shutdownCookie = 0;
    ASSERT_EQ(S_OK, shutdownPoint->Advise(&shutdown, &shutdownCookie));

    // Browse as such clients do: up from the root fails, the empty name is the
    // position, a flat listing names the item kinds.
    ComPtr<IOPCBrowseServerAddressSpace> browse;
    ASSERT_EQ(S_OK, unknown.As(&browse));
    EXPECT_EQ(E_FAIL, browse->ChangeBrowsePosition(OPC_BROWSE_UP, L""));
    LPWSTR where = nullptr;
    ASSERT_EQ(S_OK, browse->GetItemID(const_cast<LPWSTR>(L""), &where));
    EXPECT_STREQ(L"", where);
    CoTaskMemFree(where);
    ComPtr<IEnumString> names;
    ASSERT_EQ(S_OK, browse->BrowseOPCItemIDs(OPC_FLAT, L"", VT_EMPTY, 0, names.GetAddressOf()));
    LPOLESTR name[8] = {};
    ULONG fetched = 0;
    names->Next(8, name, &fetched);
    EXPECT_GE(fetched, 5u);
    for (ULONG i = 0; i < fetched; ++i)
        CoTaskMemFree(name[i]);
    names.Reset();
    browse.Reset();

    DWORD pids[] = {1, 2, 5};
    LPWSTR* itemIds = nullptr;
    HRESULT* errors = nullptr;
    ASSERT_EQ(S_FALSE, props->LookupItemIDs(const_cast<LPWSTR>(L"set20.item"), 3, pids, &itemIds, &errors));
    EXPECT_EQ(E_FAIL, errors[0]);  // no property has an item of its own
    CoTaskMemFree(itemIds);
    CoTaskMemFree(errors);
    VARIANT* propValues = nullptr;
    ASSERT_EQ(S_OK, props->GetItemProperties(const_cast<LPWSTR>(L"set20.item"), 3, pids, &propValues, &errors));
    EXPECT_EQ(VT_I2, propValues[0].vt);
    EXPECT_EQ(VT_R8, propValues[0].iVal);  // the canonical type
    EXPECT_EQ(VT_R8, propValues[1].vt);
    for (int i = 0; i < 3; ++i)
        VariantClear(&propValues[i]);
    CoTaskMemFree(propValues);
    CoTaskMemFree(errors);

    // A group with an empty name and rate 0; items, one of them bad.
    ComPtr<IOPCItemMgt> mgt;
    OPCHANDLE hGroup = 0;
    DWORD revised = 99;
    ASSERT_EQ(S_OK, server->AddGroup(L"", TRUE, 0, 7, nullptr, nullptr, 0x409, &hGroup, &revised, IID_IOPCItemMgt,
                                     reinterpret_cast<IUnknown**>(mgt.GetAddressOf())));
    EXPECT_EQ(0u, revised);
    ComPtr<IOPCGroupStateMgt> state;
    ASSERT_EQ(S_OK, mgt.As(&state));
    DWORD rate = 50;
    ASSERT_EQ(S_OK, state->SetState(&rate, &revised, nullptr, nullptr, nullptr, nullptr, nullptr));
    const wchar_t* ids[] = {L"set20.item", L"set20.period", L"set20.bogus", L"set20.fct", L"set20.on"};
    OPCITEMDEF defs[5] = {};
    for (int i = 0; i < 5; ++i) {
        defs[i].szAccessPath = const_cast<wchar_t*>(L"");
        defs[i].szItemID = const_cast<wchar_t*>(ids[i]);
        defs[i].bActive = i < 2;
        defs[i].hClient = 100 + i;
        defs[i].vtRequestedDataType = i == 0 ? VT_R4 : VT_EMPTY;
    }
    OPCITEMRESULT* results = nullptr;
    ASSERT_EQ(S_FALSE, mgt->AddItems(5, defs, &results, &errors));
    EXPECT_EQ(OPC_E_UNKNOWNITEMID, errors[2]);
    OPCHANDLE h[5];
    for (int i = 0; i < 5; ++i)
        h[i] = results[i].hServer;
    CoTaskMemFree(results);
    CoTaskMemFree(errors);

    ComPtr<IOPCAsyncIO2> io;
    ASSERT_EQ(S_OK, mgt.As(&io));
    DWORD cancelID = 0;
    EXPECT_EQ(CONNECT_E_NOCONNECTION, io->Read(1, h, 1, &cancelID, &errors));  // not connected yet

    ComPtr<IConnectionPointContainer> groupPoints;
    ASSERT_EQ(S_OK, mgt.As(&groupPoints));
    ComPtr<IConnectionPoint> dataPoint;
    ASSERT_EQ(S_OK, groupPoints->FindConnectionPoint(IID_IOPCDataCallback, dataPoint.GetAddressOf()));
    DataCallbackSpy spy;
    DWORD dataCookie = 0;
    ASSERT_EQ(S_OK, dataPoint->Advise(&spy, &dataCookie));

    // Noise on: every scan is a change.
    OPCHANDLE params[] = {h[3], h[4]};
    VARIANT v[2];
    v[0].vt = VT_R8;
    v[0].dblVal = 2;
    v[1].vt = VT_BOOL;
    v[1].boolVal = VARIANT_TRUE;
    ComPtr<IOPCSyncIO> sync;
    ASSERT_EQ(S_OK, mgt.As(&sync));
    ASSERT_EQ(S_OK, sync->Write(2, params, v, &errors));
    CoTaskMemFree(errors);
    ASSERT_TRUE(spy.WaitFor(3, 10000));
    {
        std::lock_guard<std::mutex> lock(spy.mutex);
        const auto& c = spy.changes.back();
        EXPECT_EQ(0u, c.transid);
        EXPECT_EQ(7u, c.hGroup);
        EXPECT_EQ(100u, c.clients[0]);
        EXPECT_EQ(VT_R4, c.types[0]);
    }

    // Refresh2: the client's transaction ID, every active item.
    ASSERT_EQ(S_OK, io->Refresh2(OPC_DS_DEVICE, 1000, &cancelID));
    EXPECT_NE(0u, cancelID);
    Change refresh = WaitFor(spy, 1000, true);
    ASSERT_EQ('D', refresh.kind);
    std::sort(refresh.clients.begin(), refresh.clients.end());
    EXPECT_EQ((std::vector<OPCHANDLE>{100, 101}), refresh.clients);

    // Read and write; then a read held up in the client, one behind it
    // cancelled in the queue.
    OPCHANDLE two[] = {h[0], h[1]};
    ASSERT_EQ(S_OK, io->Read(2, two, 1001, &cancelID, &errors));
    CoTaskMemFree(errors);
    VARIANT period;
    period.vt = VT_I4;
    period.lVal = 500;
    ASSERT_EQ(S_OK, io->Write(1, &h[1], &period, 1002, &cancelID, &errors));
    CoTaskMemFree(errors);
    Change read = WaitFor(spy, 1001);
    EXPECT_EQ('R', read.kind);
    EXPECT_EQ((std::vector<VARTYPE>{VT_R4, VT_R8}), read.types);
    Change write = WaitFor(spy, 1002);
    EXPECT_EQ('W', write.kind);
    EXPECT_EQ((std::vector<HRESULT>{S_OK}), write.errors);

    spy.onCompletion = [](const DataCallbackSpy::Change& c) {
        if (c.transid == 1003)
            Sleep(1000);  // the server's I/O thread waits in this call
    };
    DWORD heldID = 0, cancelledID = 0;
    ASSERT_EQ(S_OK, io->Read(1, h, 1003, &heldID, &errors));
    CoTaskMemFree(errors);
    ASSERT_EQ(S_OK, io->Read(1, h, 1004, &cancelledID, &errors));
    CoTaskMemFree(errors);
    EXPECT_EQ(S_OK, io->Cancel2(cancelledID));
    EXPECT_EQ(E_FAIL, io->Cancel2(cancelledID));  // once only
    Change cancelled = WaitFor(spy, 1004);
    EXPECT_EQ('C', cancelled.kind);
    EXPECT_EQ(7u, cancelled.hGroup);
    EXPECT_EQ('R', WaitFor(spy, 1003).kind);

    // The group goes from inside a completion, as some clients do.
    HRESULT removed = E_PENDING;
    spy.onCompletion = [&](const DataCallbackSpy::Change& c) {
        if (c.transid == 1005)
            removed = server->RemoveGroup(hGroup, FALSE);
    };
    ASSERT_EQ(S_OK, io->Read(1, h, 1005, &cancelID, &errors));
    CoTaskMemFree(errors);
    for (DWORD start = GetTickCount(); removed == E_PENDING && GetTickCount() - start < 10000;)
        Sleep(5);
    EXPECT_EQ(S_OK, removed);
    EXPECT_EQ(E_FAIL, io->Refresh2(OPC_DS_CACHE, 1006, &cancelID));  // the group is removed
    io.Reset();
    state.Reset();
    sync.Reset();
    dataPoint.Reset();
    groupPoints.Reset();
    mgt.Reset();
    // The removed group let go of the callback: its last reference goes when
    // the completion that removed it has returned to the server.
    EXPECT_TRUE(spy.WaitForRefs(1)) << spy.refs;

    // The person at the server ends it: the client hears why.
    EXPECT_EQ(0, e2e::RunProcess(L"\"" + e2e::ServerExe() + L"\" -Shutdown \"end of the session\""));
    ASSERT_EQ(1u, shutdown.reasons.size());
    EXPECT_EQ(L"end of the session", shutdown.reasons[0]);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process, 10000));
    DWORD code = 1;
    GetExitCodeProcess(process, &code);
    EXPECT_EQ(0u, code);
    CloseHandle(process);
    shutdownPoint.Reset();
    serverPoints.Reset();
    props.Reset();
    common.Reset();
    server.Reset();
    unknown.Reset();
    EXPECT_TRUE(e2e::WaitNoServer());
}
