// The group's IOPCAsyncIO2: completions through the callback, cancel IDs,
// SetEnable, bad input, and calls into the server from inside a completion.
#include "DataCallbackSpy.h"
#include "HostileInput.h"
#include "OpcTestUtil.h"
#include "engine/AsyncIO.h"

#include <ocidl.h>
#include <olectl.h>

namespace {
class AsyncIO2Test : public ServerFixture {
protected:
    // Connects spy to the group's callback point; returns the cookie.
    static DWORD Connect(IOPCGroupStateMgt* g, DataCallbackSpy* spy)
    {
        ComPtr<IConnectionPointContainer> cpc;
        g->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(cpc.GetAddressOf()));
        ComPtr<IConnectionPoint> cp;
        cpc->FindConnectionPoint(IID_IOPCDataCallback, cp.GetAddressOf());
        DWORD cookie = 0;
        EXPECT_EQ(S_OK, cp->Advise(spy, &cookie));
        return cookie;
    }
    static ComPtr<IOPCAsyncIO2> Io2(IOPCGroupStateMgt* g)
    {
        ComPtr<IOPCAsyncIO2> io;
        EXPECT_EQ(S_OK, g->QueryInterface(IID_IOPCAsyncIO2, reinterpret_cast<void**>(io.GetAddressOf())));
        return io;
    }
    static void SetActive(IOPCGroupStateMgt* g, BOOL active)
    {
        DWORD revised;
        g->SetState(nullptr, &revised, &active, nullptr, nullptr, nullptr, nullptr);
    }
    static DataCallbackSpy::Change Completion(DataCallbackSpy& spy, size_t i)
    {
        std::lock_guard<std::mutex> lock(spy.mutex);
        return spy.completions.at(i);
    }
};
}  // namespace

TEST_F(AsyncIO2Test, ReadWriteAndRefreshCompleteWithTheClientsTransactionID)
{
    OPCHANDLE hGroup = 0;
    auto g = AddGroup(L"io2", FALSE, 1000000, 55, &hGroup);
    auto h = AddItems(g.Get(), {L"set701.item", L"set701.period"}, TRUE, VT_I4);
    SetActive(g.Get(), TRUE);
    ASSERT_TRUE(WaitFirstScanOf(g.Get()));
    DataCallbackSpy spy;
    Connect(g.Get(), &spy);
    auto io = Io2(g.Get());

    OPCHANDLE three[] = {h[0], h[1], 0xDEAD};
    DWORD cancelRead = 0, cancelWrite = 0, cancelRefresh = 0;
    HRESULT* errors = nullptr;
    ASSERT_EQ(S_FALSE, io->Read(3, three, 7, &cancelRead, &errors));
    EXPECT_EQ(S_OK, errors[0]);
    EXPECT_EQ(S_OK, errors[1]);
    EXPECT_EQ(OPC_E_INVALIDHANDLE, errors[2]);
    CoTaskMemFree(errors);
    EXPECT_NE(0u, cancelRead);
    ASSERT_TRUE(spy.WaitForCompletions(1));
    auto read = Completion(spy, 0);
    EXPECT_EQ('R', read.kind);
    EXPECT_EQ(7u, read.transid);  // the client's ID, not the cancel ID
    EXPECT_EQ(55u, read.hGroup);
    ASSERT_EQ(2u, read.clients.size());  // the unknown handle is not part of it
    EXPECT_EQ((std::vector<OPCHANDLE>{100, 101}), read.clients);
    EXPECT_EQ((std::vector<VARTYPE>{VT_I4, VT_I4}), read.types);  // the requested type
    EXPECT_EQ((std::vector<HRESULT>{S_OK, S_OK}), read.errors);
    EXPECT_EQ(S_OK, read.hrError);

    VARIANT values[2];
    values[0].vt = VT_R8;
    values[0].dblVal = 1.0;
    values[1].vt = VT_BSTR;
    values[1].bstrVal = SysAllocString(L"250");
    ASSERT_EQ(S_OK, io->Write(2, h.data(), values, 8, &cancelWrite, &errors));
    CoTaskMemFree(errors);
    VariantClear(&values[1]);
    ASSERT_TRUE(spy.WaitForCompletions(2));
    auto write = Completion(spy, 1);
    EXPECT_EQ('W', write.kind);
    EXPECT_EQ(8u, write.transid);
    EXPECT_EQ((std::vector<OPCHANDLE>{100, 101}), write.clients);
    // The value itself cannot be written; its period can, from a string.
    EXPECT_EQ((std::vector<HRESULT>{E_FAIL, S_OK}), write.errors);
    EXPECT_EQ(S_FALSE, write.hrError);
    EXPECT_NE(cancelRead, cancelWrite);

    // Refresh2: every active item, through OnDataChange with the client's ID.
    const size_t before = spy.count();
    ASSERT_EQ(S_OK, io->Refresh2(OPC_DS_DEVICE, 9, &cancelRefresh));
    ASSERT_TRUE(spy.WaitFor(before + 1));
    {
        std::lock_guard<std::mutex> lock(spy.mutex);
        const auto& refresh = spy.changes.back();
        EXPECT_EQ(9u, refresh.transid);
        EXPECT_EQ(55u, refresh.hGroup);
        EXPECT_EQ(2u, refresh.clients.size());
        EXPECT_EQ(VT_I4, refresh.types[0]);
    }
    EXPECT_EQ(E_FAIL, io->Cancel2(cancelRefresh));  // carried out already
    io.Reset();
    g.Reset();
    EXPECT_EQ(S_OK, server->RemoveGroup(hGroup, TRUE));
    EXPECT_EQ(1, spy.refs);
}

TEST_F(AsyncIO2Test, WithoutACallbackNothingStartsAndBadInputGetsClearCodes)
{
    CountingMallocSpy memory;
    ASSERT_EQ(S_OK, CoRegisterMallocSpy(&memory));
    {
        std::vector<OPCHANDLE> h;
        auto g = ActiveGroupWithItems(L"bad2", {L"set702.item"}, &h);
        auto io = Io2(g.Get());
        CAsyncIOMgr* mgr = Srv()->AsyncIOMgr();
        DWORD cancel = 5;
        HRESULT* errors = reinterpret_cast<HRESULT*>(1);
        BOOL enabled = 2;
        VARIANT v;
        v.vt = VT_I4;
        v.lVal = 1;
        EXPECT_EQ(CONNECT_E_NOCONNECTION, io->Read(1, h.data(), 1, &cancel, &errors));
        EXPECT_EQ(0u, cancel);
        EXPECT_EQ(nullptr, errors);
        EXPECT_EQ(CONNECT_E_NOCONNECTION, io->Write(1, h.data(), &v, 1, &cancel, &errors));
        EXPECT_EQ(CONNECT_E_NOCONNECTION, io->Refresh2(OPC_DS_CACHE, 1, &cancel));
        EXPECT_EQ(CONNECT_E_NOCONNECTION, io->SetEnable(FALSE));
        EXPECT_EQ(CONNECT_E_NOCONNECTION, io->GetEnable(&enabled));
        EXPECT_EQ(FALSE, enabled);
        EXPECT_EQ(0, mgr->QueuedCount());

        DataCallbackSpy spy;
        Connect(g.Get(), &spy);
        ReadOnlyPage ro;
        EXPECT_EQ(E_INVALIDARG, io->Read(1, h.data(), 1, nullptr, &errors));
        EXPECT_EQ(E_INVALIDARG, io->Read(1, h.data(), 1, ro.as<DWORD>(), &errors));
        EXPECT_EQ(E_INVALIDARG, io->Read(1, h.data(), 1, &cancel, nullptr));
        EXPECT_EQ(E_INVALIDARG, io->Read(0, h.data(), 1, &cancel, &errors));  // zero count
        EXPECT_EQ(E_OUTOFMEMORY, io->Read(0x7FFFFFFF, h.data(), 1, &cancel, &errors));
        EXPECT_EQ(E_INVALIDARG, io->Write(1, h.data(), nullptr, 1, &cancel, &errors));
        EXPECT_EQ(E_INVALIDARG, io->Write(0, h.data(), &v, 1, &cancel, &errors));
        EXPECT_EQ(E_INVALIDARG, io->Refresh2(static_cast<OPCDATASOURCE>(7), 1, &cancel));
        EXPECT_EQ(E_INVALIDARG, io->Refresh2(OPC_DS_CACHE, 1, nullptr));
        EXPECT_EQ(E_INVALIDARG, io->GetEnable(nullptr));
        EXPECT_EQ(E_FAIL, io->Cancel2(0));
        EXPECT_EQ(E_FAIL, io->Cancel2(0x12345678));
        // Stale handles only: the errors say so and nothing is queued.
        OPCHANDLE stale[] = {0xBAD1, 0xBAD2};
        ASSERT_EQ(S_FALSE, io->Read(2, stale, 1, &cancel, &errors));
        EXPECT_EQ(0u, cancel);
        EXPECT_EQ(OPC_E_INVALIDHANDLE, errors[0]);
        EXPECT_EQ(OPC_E_INVALIDHANDLE, errors[1]);
        CoTaskMemFree(errors);
        EXPECT_EQ(0, mgr->QueuedCount());
        Sleep(50);
        EXPECT_EQ(0u, spy.completed());

        SetActive(g.Get(), FALSE);
        EXPECT_EQ(E_FAIL, io->Refresh2(OPC_DS_CACHE, 1, &cancel));  // inactive group
        ComPtr<IOPCItemMgt> mgt;
        g.As(&mgt);
        SetActive(g.Get(), TRUE);
        mgt->SetActiveState(1, h.data(), FALSE, &errors);
        CoTaskMemFree(errors);
        EXPECT_EQ(E_FAIL, io->Refresh2(OPC_DS_CACHE, 1, &cancel));  // no active item

        const OPCHANDLE hGroup = Impl(g.Get())->GetServerHandle();
        ASSERT_EQ(S_OK, server->RemoveGroup(hGroup, FALSE));
        EXPECT_EQ(E_FAIL, io->Read(1, h.data(), 1, &cancel, &errors));
        EXPECT_EQ(E_FAIL, io->SetEnable(TRUE));
        EXPECT_EQ(E_FAIL, io->Cancel2(1));
    }
    server.Reset();
    EXPECT_EQ(0u, memory.Live());
    CoRevokeMallocSpy();
}

TEST_F(AsyncIO2Test, Cancel2TakesAQueuedTransactionOfItsOwnGroupAndSaysSo)
{
    std::vector<OPCHANDLE> h1, h2;
    auto g1 = ActiveGroupWithItems(L"holder", {L"set703.item"}, &h1);
    OPCHANDLE hGroup2 = 0;
    auto g2 = AddGroup(L"cancelled", FALSE, 1000000, 66, &hGroup2);
    h2 = AddItems(g2.Get(), {L"set704.item"});
    DataCallbackSpy spy1, spy2;
    Connect(g1.Get(), &spy1);
    Connect(g2.Get(), &spy2);
    COPCGroup* first = Impl(g1.Get());
    first->m_cs.Lock();  // the worker waits here with the first transaction
    DWORD c1 = 0, c2 = 0, c3 = 0;
    HRESULT* errors = nullptr;
    ASSERT_EQ(S_OK, Io2(g1.Get())->Read(1, h1.data(), 11, &c1, &errors));
    CoTaskMemFree(errors);
    Sleep(50);
    ASSERT_EQ(S_OK, Io2(g2.Get())->Read(1, h2.data(), 12, &c2, &errors));
    CoTaskMemFree(errors);
    ASSERT_EQ(S_OK, Io2(g2.Get())->Read(1, h2.data(), 13, &c3, &errors));
    CoTaskMemFree(errors);
    EXPECT_EQ(E_FAIL, Io2(g1.Get())->Cancel2(c2));  // another group's
    EXPECT_EQ(S_OK, Io2(g2.Get())->Cancel2(c2));
    EXPECT_EQ(E_FAIL, Io2(g2.Get())->Cancel2(c2));  // taken already
    EXPECT_EQ(E_FAIL, Io2(g2.Get())->Cancel2(0));
    // Said by the I/O thread once it is free, before what was queued.
    Sleep(50);
    EXPECT_EQ(0u, spy2.completed());
    first->m_cs.Unlock();
    ASSERT_TRUE(spy2.WaitForCompletions(2));
    auto cancelled = Completion(spy2, 0);
    EXPECT_EQ('C', cancelled.kind);
    EXPECT_EQ(12u, cancelled.transid);
    EXPECT_EQ(66u, cancelled.hGroup);
    EXPECT_EQ('R', Completion(spy2, 1).kind);
    EXPECT_EQ(13u, Completion(spy2, 1).transid);  // the other one ran
    ASSERT_TRUE(spy1.WaitForCompletions(1));
    Sleep(50);
    EXPECT_EQ(2u, spy2.completed());
    g1.Reset();
    g2.Reset();
    server.Reset();  // before the spies go
}

TEST_F(AsyncIO2Test, SetEnableGatesOnlyTheSubscriptionAndConversionFailuresArePerItem)
{
    OPCHANDLE hGroup = 0;
    auto g = AddGroup(L"enable", FALSE, 10, 1, &hGroup);
    auto h = AddItems(g.Get(), {L"set705.item", L"set706.item"});
    ComPtr<IOPCItemMgt> mgt;
    g.As(&mgt);
    VARTYPE impossible[] = {VT_DISPATCH};  // no real value converts to it
    HRESULT* errors = nullptr;
    ASSERT_EQ(S_OK, mgt->SetDatatypes(1, &h[1], impossible, &errors));
    CoTaskMemFree(errors);
    DataCallbackSpy spy;
    Connect(g.Get(), &spy);
    auto io = Io2(g.Get());
    BOOL enabled = FALSE;
    EXPECT_EQ(S_OK, io->GetEnable(&enabled));
    EXPECT_EQ(TRUE, enabled);  // enabled from the start
    SetActive(g.Get(), TRUE);
    SetCache(Impl(g.Get()), h[0], 1.0);
    SetCache(Impl(g.Get()), h[1], 2.0);
    ASSERT_TRUE(spy.WaitFor(1));
    {
        std::lock_guard<std::mutex> lock(spy.mutex);
        const auto& c = spy.changes.back();
        ASSERT_EQ(2u, c.clients.size());
        size_t bad = c.clients[0] == 101 ? 0 : 1;
        EXPECT_EQ(DISP_E_TYPEMISMATCH, c.errors[bad]);
        EXPECT_EQ(VT_EMPTY, c.types[bad]);
        EXPECT_EQ(OPC_QUALITY_BAD, c.qualities[bad]);
        EXPECT_EQ(S_OK, c.errors[1 - bad]);
        EXPECT_EQ(S_FALSE, c.hrError);
        EXPECT_EQ(S_FALSE, c.hrQuality);
    }

    ASSERT_EQ(S_OK, io->SetEnable(FALSE));
    EXPECT_EQ(S_OK, io->GetEnable(&enabled));
    EXPECT_EQ(FALSE, enabled);
    Sleep(50);
    const size_t quiet = spy.count();
    SetCache(Impl(g.Get()), h[0], 3.0);
    Sleep(200);  // twenty scans
    EXPECT_EQ(quiet, spy.count());
    DWORD cancel = 0;
    ASSERT_EQ(S_OK, io->Refresh2(OPC_DS_CACHE, 21, &cancel));  // still answered
    ASSERT_TRUE(spy.WaitFor(quiet + 1));
    EXPECT_EQ(21u, spy.changes.back().transid);
    ASSERT_EQ(S_OK, io->SetEnable(TRUE));
    SetCache(Impl(g.Get()), h[0], 4.0);
    ASSERT_TRUE(spy.WaitFor(quiet + 2));
    EXPECT_EQ(0u, spy.changes.back().transid);
    SetActive(g.Get(), FALSE);
    io.Reset();
    g.Reset();
    server->RemoveGroup(hGroup, TRUE);
}

TEST_F(AsyncIO2Test, RemovingTheGroupFromInsideACompletionDoesNotWaitForItsQueue)
{
    std::vector<OPCHANDLE> hHold, h;
    auto holder = ActiveGroupWithItems(L"hold", {L"set707.item"}, &hHold);
    auto g = ActiveGroupWithItems(L"removed", {L"set708.item"}, &h);
    const OPCHANDLE hGroup = Impl(g.Get())->GetServerHandle();
    AdviseSinkSpy& stream = NewSink();
    DWORD connection = Advise(g.Get(), &stream, g_cfData);  // and its refresh block
    DataCallbackSpy holdSpy, spy;
    Connect(holder.Get(), &holdSpy);
    Connect(g.Get(), &spy);
    volatile LONG removals = 0;
    HRESULT removed = E_PENDING;
    spy.onCompletion = [&](const DataCallbackSpy::Change&) {
        if (InterlockedIncrement(&removals) == 1)
            removed = server->RemoveGroup(hGroup, TRUE);
    };
    COPCGroup* hold = Impl(holder.Get());
    hold->m_cs.Lock();
    DWORD c = 0, tid = 0;
    HRESULT* errors = nullptr;
    ASSERT_EQ(S_OK, Io2(holder.Get())->Read(1, hHold.data(), 1, &c, &errors));
    CoTaskMemFree(errors);
    Sleep(50);
    // Behind the first: two 2.0 reads of the group and a 1.0 one.
    ASSERT_EQ(S_OK, Io2(g.Get())->Read(1, h.data(), 2, &c, &errors));
    CoTaskMemFree(errors);
    ASSERT_EQ(S_OK, Io2(g.Get())->Read(1, h.data(), 3, &c, &errors));
    CoTaskMemFree(errors);
    ComPtr<IOPCAsyncIO> io1;
    g.As(&io1);
    ASSERT_EQ(S_OK, io1->Read(connection, OPC_DS_CACHE, 1, h.data(), &tid, &errors));
    CoTaskMemFree(errors);
    hold->m_cs.Unlock();
    for (int i = 0; i < 500 && removed == E_PENDING; ++i)
        Sleep(10);
    EXPECT_EQ(S_OK, removed) << "the removal from inside the completion did not return";
    Sleep(50);
    EXPECT_EQ(1u, spy.completed());  // the second 2.0 read has no callback left
    EXPECT_EQ(2u, stream.count());   // the 1.0 read was carried out
    EXPECT_EQ(0, Srv()->AsyncIOMgr()->QueuedCount());
    g.Reset();
    holder.Reset();
    server.Reset();  // before the spies go
}

TEST_F(AsyncIO2Test, ARefreshWhoseItemsWentInactiveMeanwhileStillAnswers)
{
    std::vector<OPCHANDLE> hHold, h;
    auto holder = ActiveGroupWithItems(L"hold2", {L"set709.item"}, &hHold);
    auto g = ActiveGroupWithItems(L"emptied", {L"set710.item"}, &h);
    DataCallbackSpy holdSpy, spy;
    Connect(holder.Get(), &holdSpy);
    Connect(g.Get(), &spy);
    COPCGroup* hold = Impl(holder.Get());
    hold->m_cs.Lock();
    DWORD c = 0;
    HRESULT* errors = nullptr;
    ASSERT_EQ(S_OK, Io2(holder.Get())->Read(1, hHold.data(), 1, &c, &errors));
    CoTaskMemFree(errors);
    Sleep(50);
    ASSERT_EQ(S_OK, Io2(g.Get())->Refresh2(OPC_DS_CACHE, 31, &c));
    ComPtr<IOPCItemMgt> mgt;
    g.As(&mgt);
    ASSERT_EQ(S_OK, mgt->SetActiveState(1, h.data(), FALSE, &errors));
    CoTaskMemFree(errors);
    hold->m_cs.Unlock();
    // The refresh answers with no item rather than leaving the client waiting.
    for (int i = 0; i < 500; ++i) {
        {
            std::lock_guard<std::mutex> lock(spy.mutex);
            if (!spy.changes.empty() && spy.changes.back().transid == 31)
                break;
        }
        Sleep(10);
    }
    {
        std::lock_guard<std::mutex> lock(spy.mutex);
        ASSERT_FALSE(spy.changes.empty());
        EXPECT_EQ(31u, spy.changes.back().transid);
        EXPECT_TRUE(spy.changes.back().clients.empty());
    }
    g.Reset();
    holder.Reset();
    server.Reset();  // before the spies go
}

// A 1.0a read queued behind a transaction whose completion the client holds:
// a removal from another thread waits until the group's read has been
// carried out, by the I/O thread, after the one before it.
TEST_F(AsyncIO2Test, RemoveGroupFromAnotherThreadWaitsForTheGroupsQueuedTransactions)
{
    std::vector<OPCHANDLE> hHold, h;
    auto holder = ActiveGroupWithItems(L"blocker", {L"set711.item"}, &hHold);
    auto g = ActiveGroupWithItems(L"queued", {L"set712.item"}, &h);
    const OPCHANDLE hGroup = Impl(g.Get())->GetServerHandle();
    AdviseSinkSpy& stream = NewSink();
    const DWORD connection = Advise(g.Get(), &stream, g_cfDataTime);
    DataCallbackSpy holdSpy;
    Connect(holder.Get(), &holdSpy);
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    volatile LONG blockedThread = 0;
    holdSpy.onCompletion = [&](const DataCallbackSpy::Change&) {
        InterlockedExchange(&blockedThread, static_cast<LONG>(GetCurrentThreadId()));
        WaitForSingleObject(release, 10000);
    };
    DWORD c = 0, tid = 0;
    HRESULT* errors = nullptr;
    ASSERT_EQ(S_OK, Io2(holder.Get())->Read(1, hHold.data(), 1, &c, &errors));
    CoTaskMemFree(errors);
    ASSERT_TRUE(holdSpy.WaitForCompletions(1));  // the I/O thread is held in the completion
    const size_t before = stream.count();
    ComPtr<IOPCAsyncIO> io1;
    g.As(&io1);
    ASSERT_EQ(S_OK, io1->Read(connection, OPC_DS_CACHE, 1, h.data(), &tid, &errors));
    CoTaskMemFree(errors);

    struct Removal {
        IOPCServer* server;
        OPCHANDLE hGroup;
        AdviseSinkSpy* stream;
        HRESULT hr = E_PENDING;
        size_t blocksWhenReturned = 0;
        static DWORD WINAPI Run(void* p)
        {
            auto* r = static_cast<Removal*>(p);
            CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            r->hr = r->server->RemoveGroup(r->hGroup, FALSE);
            r->blocksWhenReturned = r->stream->count();
            CoUninitialize();
            return 0;
        }
    } removal{server.Get(), hGroup, &stream};
    HANDLE thread = CreateThread(nullptr, 0, &Removal::Run, &removal, 0, nullptr);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(thread, 300)) << "RemoveGroup returned before the queued read";
    EXPECT_EQ(before, stream.count());  // not carried out beside the I/O thread
    SetEvent(release);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 10000));
    CloseHandle(thread);
    EXPECT_EQ(S_OK, removal.hr);
    EXPECT_EQ(before + 1, removal.blocksWhenReturned);  // the read's completion came before the return
    EXPECT_EQ(0, Srv()->AsyncIOMgr()->QueuedCount());
    CloseHandle(release);
    g.Reset();
    holder.Reset();
    server.Reset();  // before the spies go
}
