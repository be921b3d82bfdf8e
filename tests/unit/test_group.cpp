// The group: change check and deadband, update order, advise connections,
// state management, names, cloning, removal.
#include "OpcTestUtil.h"
#include "TraceCapture.h"

using GroupTest = ServerFixture;

namespace {
LONGLONG NoDue = 0;
}

TEST_F(GroupTest, ChangeCheckDeadbandQualityAndNeverSampled)
{
    std::vector<OPCHANDLE> h;
    auto g = ActiveGroupWithItems(L"deadband", {L"set301.item", L"set302.item"}, &h, 50.0f);
    COPCGroup* group = Impl(g.Get());
    AdviseSinkSpy& sink = NewSink();
    Advise(g.Get(), &sink, g_cfDataTime);
    // The refresh after DAdvise reads the cache as it is: never sampled.
    ASSERT_EQ(1u, sink.count());
    auto refresh = DecodeDataBlock(sink.blocks[0], true);
    ASSERT_EQ(2u, refresh.count);
    EXPECT_EQ(0, refresh.items[0].quality);
    EXPECT_EQ(VT_EMPTY, refresh.items[0].vt);
    sink.blocks.clear();
    group->Update(&NoDue);
    EXPECT_EQ(0u, sink.count());  // a scan never delivers an item that was never sampled

    SetCache(group, h[0], 0.0);
    group->Update(&NoDue);
    ASSERT_EQ(1u, sink.count());  // quality 0 -> 192 is a change
    auto b = DecodeDataBlock(sink.blocks[0], true);
    ASSERT_EQ(1u, b.count);
    EXPECT_EQ(100u, b.items[0].hClient);
    EXPECT_EQ(0u, b.transactionID);

    SetCache(group, h[0], 1.0);  // deadband 50% of the range 2: exactly 1.0 is no change
    group->Update(&NoDue);
    EXPECT_EQ(1u, sink.count());
    SetCache(group, h[0], 1.0000001);
    group->Update(&NoDue);
    ASSERT_EQ(2u, sink.count());
    EXPECT_DOUBLE_EQ(1.0000001, DecodeDataBlock(sink.blocks[1], true).items[0].r8);

    SetCache(group, h[0], 1.0000001, OPC_QUALITY_UNCERTAIN);  // quality alone
    group->Update(&NoDue);
    ASSERT_EQ(3u, sink.count());
    EXPECT_EQ(OPC_QUALITY_UNCERTAIN, DecodeDataBlock(sink.blocks[2], true).items[0].quality);
}

TEST_F(GroupTest, UpdateListsTheMostRecentlyActivatedItemFirst)
{
    std::vector<OPCHANDLE> h;
    auto g = ActiveGroupWithItems(L"order", {L"set311.item", L"set312.item", L"set313.item"}, &h);
    COPCGroup* group = Impl(g.Get());
    AdviseSinkSpy& sink = NewSink();
    Advise(g.Get(), &sink, g_cfData);
    sink.blocks.clear();  // the refresh to the new connection
    for (OPCHANDLE x : h)
        SetCache(group, x, 0.5);
    group->Update(&NoDue);
    ASSERT_EQ(1u, sink.count());
    auto b = DecodeDataBlock(sink.blocks[0], false);
    ASSERT_EQ(3u, b.count);
    EXPECT_EQ(102u, b.items[0].hClient);  // added (activated) last
    EXPECT_EQ(101u, b.items[1].hClient);
    EXPECT_EQ(100u, b.items[2].hClient);

    // Deactivated and activated again: first in the list, delivered although unchanged.
    ComPtr<IOPCItemMgt> mgt;
    g.As(&mgt);
    HRESULT* errors = nullptr;
    mgt->SetActiveState(1, &h[0], FALSE, &errors);
    CoTaskMemFree(errors);
    mgt->SetActiveState(1, &h[0], TRUE, &errors);
    CoTaskMemFree(errors);
    group->Update(&NoDue);
    ASSERT_EQ(2u, sink.count());
    b = DecodeDataBlock(sink.blocks[1], false);
    ASSERT_EQ(1u, b.count);
    EXPECT_EQ(100u, b.items[0].hClient);
}

TEST_F(GroupTest, ReactivatedGroupDeliversEveryActiveItem)
{
    std::vector<OPCHANDLE> h;
    auto g = ActiveGroupWithItems(L"react", {L"set321.item", L"set322.item"}, &h);
    COPCGroup* group = Impl(g.Get());
    for (OPCHANDLE x : h)
        SetCache(group, x, 0.25);
    group->Update(&NoDue);  // delivered once (nobody advised: the state moves on all the same)
    AdviseSinkSpy& sink = NewSink();
    Advise(g.Get(), &sink, g_cfDataTime);
    ASSERT_EQ(1u, sink.count());  // the refresh to the new connection
    group->Update(&NoDue);
    EXPECT_EQ(1u, sink.count());  // nothing changed since

    DWORD revised;
    BOOL off = FALSE, on = TRUE;
    g->SetState(nullptr, &revised, &off, nullptr, nullptr, nullptr, nullptr);
    g->SetState(nullptr, &revised, &on, nullptr, nullptr, nullptr, nullptr);
    ASSERT_TRUE(WaitFirstScanOf(g.Get()));
    // The scan thread's first scan after activation delivered both items.
    ASSERT_EQ(2u, sink.count());
    EXPECT_EQ(2u, DecodeDataBlock(sink.blocks[1], true).count);
}

TEST_F(GroupTest, DAdviseSendsARefreshForDataFormatsOnly)
{
    std::vector<OPCHANDLE> h;
    auto g = ActiveGroupWithItems(L"advise", {L"set331.item", L"set332.item", L"set333.item"}, &h);
    COPCGroup* group = Impl(g.Get());
    for (OPCHANDLE x : h)
        SetCache(group, x, 0.5);
    AdviseSinkSpy& timeSink = NewSink();
    AdviseSinkSpy& dataSink = NewSink();
    AdviseSinkSpy& writeSink = NewSink();
    Advise(g.Get(), &timeSink, g_cfDataTime);
    Advise(g.Get(), &dataSink, g_cfData);
    Advise(g.Get(), &writeSink, g_cfWriteComplete);
    ASSERT_EQ(1u, timeSink.count());
    ASSERT_EQ(1u, dataSink.count());
    EXPECT_EQ(0u, writeSink.count());
    auto b = DecodeDataBlock(timeSink.blocks[0], true);
    EXPECT_EQ(3u, b.count);
    EXPECT_EQ(0u, b.transactionID);

    // An inactive group sends nothing on DAdvise.
    auto idle = AddGroup(L"idle");
    AddItems(idle.Get(), {L"set331.item"});
    AdviseSinkSpy& idleSink = NewSink();
    Advise(idle.Get(), &idleSink, g_cfData);
    EXPECT_EQ(0u, idleSink.count());
}

TEST_F(GroupTest, DAdviseAndDUnadviseArguments)
{
    auto g = AddGroup(L"args");
    ComPtr<IDataObject> data;
    g.As(&data);
    AdviseSinkSpy& sink = NewSink();
    FORMATETC fe = StreamFormat(g_cfData);
    DWORD c = 0;
    EXPECT_EQ(E_INVALIDARG, data->DAdvise(&fe, 0, nullptr, &c));
    EXPECT_EQ(E_INVALIDARG, data->DAdvise(&fe, 0, &sink, nullptr));
    EXPECT_EQ(1, sink.refs);
    FORMATETC bad = StreamFormat(CF_TEXT);
    EXPECT_EQ(DV_E_FORMATETC, data->DAdvise(&bad, 0, &sink, &c));
    fe.tymed = TYMED_ISTREAM;  // not looked at by DAdvise
    ASSERT_EQ(S_OK, data->DAdvise(&fe, 0, &sink, &c));
    EXPECT_EQ(2, sink.refs);
    EXPECT_EQ(S_OK, data->DUnadvise(c));
    EXPECT_EQ(E_FAIL, data->DUnadvise(c));
    EXPECT_EQ(1, sink.refs);
}

TEST_F(GroupTest, QueryGetDataChecksEveryField)
{
    auto g = AddGroup(L"query");
    ComPtr<IDataObject> data;
    g.As(&data);
    FORMATETC fe = StreamFormat(g_cfData);
    EXPECT_EQ(S_OK, data->QueryGetData(&fe));
    EXPECT_EQ(DV_E_FORMATETC, data->QueryGetData(nullptr));
    fe.lindex = 0;
    EXPECT_EQ(DV_E_LINDEX, data->QueryGetData(&fe));
    fe = StreamFormat(g_cfWriteComplete);
    fe.tymed = TYMED_HGLOBAL | TYMED_ISTREAM;
    EXPECT_EQ(DV_E_FORMATETC, data->QueryGetData(&fe));
    fe = StreamFormat(g_cfDataTime);
    fe.dwAspect = DVASPECT_ICON;
    EXPECT_EQ(DV_E_FORMATETC, data->QueryGetData(&fe));
    fe = StreamFormat(CF_TEXT);
    EXPECT_EQ(DV_E_FORMATETC, data->QueryGetData(&fe));
    STGMEDIUM m = {};
    EXPECT_EQ(E_NOTIMPL, data->GetData(&fe, &m));
    EXPECT_EQ(E_NOTIMPL, data->EnumDAdvise(nullptr));
}

TEST_F(GroupTest, SetStateOptionalArgumentsAndRevisedRate)
{
    auto g = AddGroup(L"state", FALSE, 1000);
    DWORD revised = 12345;
    BOOL active = FALSE;
    EXPECT_EQ(S_OK, g->SetState(nullptr, &revised, &active, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(12345u, revised);  // no rate asked: not written
    EXPECT_EQ(E_INVALIDARG, g->SetState(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
    DWORD rate = 0;
    FLOAT deadband = 12.5f;
    LONG bias = -60;
    DWORD lcid = 0x409;
    OPCHANDLE client = 77;
    EXPECT_EQ(S_OK, g->SetState(&rate, &revised, nullptr, &bias, &deadband, &lcid, &client));
    EXPECT_EQ(0u, revised);

    DWORD outRate;
    BOOL outActive;
    LPWSTR name = nullptr;
    LONG outBias;
    FLOAT outDeadband;
    DWORD outLcid;
    OPCHANDLE outClient, outServer;
    ASSERT_EQ(S_OK, g->GetState(&outRate, &outActive, &name, &outBias, &outDeadband, &outLcid, &outClient, &outServer));
    EXPECT_EQ(0u, outRate);
    EXPECT_FALSE(outActive);
    EXPECT_STREQ(L"state", name);
    EXPECT_EQ(-60, outBias);
    EXPECT_FLOAT_EQ(12.5f, outDeadband);
    EXPECT_DOUBLE_EQ(0.125, Impl(g.Get())->m_dblDeadband);
    EXPECT_EQ(0x409u, outLcid);
    EXPECT_EQ(77u, outClient);
    EXPECT_EQ(Impl(g.Get())->GetServerHandle(), outServer);
    CoTaskMemFree(name);
    EXPECT_EQ(E_INVALIDARG, g->GetState(&outRate, &outActive, nullptr, &outBias, &outDeadband, &outLcid, &outClient,
                                        &outServer));
}

TEST_F(GroupTest, RateChangesMoveThePendingScan)
{
    auto g = AddGroup(L"rates", TRUE, 1000);
    COPCGroup* group = Impl(g.Get());
    ASSERT_TRUE(WaitFirstScanOf(g.Get()));
    LONGLONG before = Srv()->ScanMgr()->DueOf(group);
    DWORD rate = 5000, revised = 0;
    ASSERT_EQ(S_OK, g->SetState(&rate, &revised, nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(5000u, revised);
    LONGLONG after = Srv()->ScanMgr()->DueOf(group);
    EXPECT_EQ(4000 * TicksPerMs(), after - before);
    rate = 2000;
    g->SetState(&rate, &revised, nullptr, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(after - 3000 * TicksPerMs(), Srv()->ScanMgr()->DueOf(group));
}

TEST_F(GroupTest, ARateChangedWhileTheScanThreadHoldsTheGroupCountsForItsNextScan)
{
    // From a minute to 10 ms after the thread's Update and before the
    // thread put the group back (the group's lock is taken in that gap):
    // the group must not wait the minute for its next scan.
    auto g = AddGroup(L"slow", FALSE, 60000);
    COPCGroup* group = Impl(g.Get());
    CUpdateScanMgr* mgr = Srv()->ScanMgr();
    const OPCHANDLE h = AddItems(g.Get(), {L"set331.item"})[0];
    AdviseSinkSpy& sink = NewSink();
    Advise(g.Get(), &sink, g_cfData);
    DWORD revised, slow = 60000, fast = 10;
    int inTheGap = 0;
    for (int round = 0; round < 1000 && inTheGap < 5; ++round) {
        g->SetState(&slow, &revised, nullptr, nullptr, nullptr, nullptr, nullptr);
        SetCache(group, h, round + 1.0);
        const size_t before = sink.count();
        group->SetActive(TRUE);  // due at once; its Update sends the new value
        // Waiting for the lock while Update holds it: the lock goes to the
        // waiter when Update leaves, before the thread takes it again.
        for (DWORD start = GetTickCount(); GetTickCount() - start < 2000;) {
            EnterCriticalSection(group->m_cs.native());
            const bool updated = sink.count() > before;
            if (updated && mgr->DueOf(group) < 0) {
                g->SetState(&fast, &revised, nullptr, nullptr, nullptr, nullptr, nullptr);
                ++inTheGap;
            }
            LeaveCriticalSection(group->m_cs.native());
            if (updated)
                break;
        }
        ASSERT_TRUE(WaitFirstScan(group, Srv(), 2000));
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        const LONGLONG due = mgr->DueOf(group);
        EXPECT_TRUE(due < 0 || revised == slow || due - now.QuadPart < 1000 * TicksPerMs()) << "round " << round;
        group->SetActive(FALSE);
    }
    EXPECT_GT(inTheGap, 0);
}

TEST_F(GroupTest, SetNameRules)
{
    auto a = AddGroup(L"alpha");
    auto b = AddGroup(L"beta");
    EXPECT_EQ(OPC_E_DUPLICATENAME, a->SetName(L"alpha"));  // its own name too
    EXPECT_EQ(OPC_E_DUPLICATENAME, a->SetName(L"beta"));
    EXPECT_EQ(S_OK, a->SetName(L"gamma"));
    ComPtr<IUnknown> found;
    EXPECT_EQ(S_OK, server->GetGroupByName(L"gamma", IID_IUnknown, found.GetAddressOf()));
    EXPECT_EQ(E_FAIL, server->GetGroupByName(L"alpha", IID_IUnknown, found.ReleaseAndGetAddressOf()));
    EXPECT_EQ(S_OK, a->SetName(nullptr));  // a generated name
    std::wstring generated = Impl(a.Get())->GetName();
    EXPECT_EQ(L"$Group_", generated.substr(0, 7));
    EXPECT_EQ(S_OK, server->GetGroupByName(generated.c_str(), IID_IUnknown, found.ReleaseAndGetAddressOf()));
    EXPECT_EQ(S_OK, a->SetName(L""));
    EXPECT_NE(generated, Impl(a.Get())->GetName());
}

TEST_F(GroupTest, CloneCopiesStateAndItemsAndStartsInactive)
{
    auto g = AddGroup(L"source", TRUE, 750, 42);
    DWORD revised;
    FLOAT deadband = 5.0f;
    g->SetState(nullptr, &revised, nullptr, nullptr, &deadband, nullptr, nullptr);
    std::vector<OPCHANDLE> active = AddItems(g.Get(), {L"set341.item", L"set341.on"}, TRUE);
    std::vector<OPCHANDLE> idle = AddItems(g.Get(), {L"set341.period"}, FALSE, VT_R4, nullptr, 200);
    ComPtr<IOPCGroupStateMgt> clone;
    ASSERT_EQ(S_OK, g->CloneGroup(L"copy", IID_IOPCGroupStateMgt, reinterpret_cast<IUnknown**>(clone.GetAddressOf())));
    COPCGroup* c = Impl(clone.Get());
    EXPECT_FALSE(c->IsActive());
    EXPECT_EQ(750u, c->GetUpdateRate());
    EXPECT_EQ(42u, c->m_hClient);
    EXPECT_FLOAT_EQ(5.0f, c->m_fPercentDeadband);
    EXPECT_NE(Impl(g.Get())->GetServerHandle(), c->GetServerHandle());
    ASSERT_EQ(3u, c->m_items.size());
    int activeCount = 0;
    for (auto& entry : c->m_items) {
        COPCItem* item = entry.second;
        EXPECT_EQ(nullptr, Impl(g.Get())->GetItem(entry.first));  // new server handles
        if (item->IsActive())
            ++activeCount;
        if (item->m_strItemID == L"set341.period") {
            EXPECT_EQ(200u, item->m_hClient);
            EXPECT_EQ(VT_R4, item->m_vtRequested);
        }
    }
    EXPECT_EQ(2, activeCount);
    EXPECT_EQ(OPC_E_DUPLICATENAME,
              g->CloneGroup(L"copy", IID_IUnknown, reinterpret_cast<IUnknown**>(clone.ReleaseAndGetAddressOf())));
}

TEST_F(GroupTest, CallsOnARemovedGroupFail)
{
    OPCHANDLE h = 0;
    auto g = AddGroup(L"gone", TRUE, 100, 1, &h);
    AddItems(g.Get(), {L"set351.item"});
    EXPECT_EQ(S_OK, server->RemoveGroup(h, FALSE));
    EXPECT_EQ(E_INVALIDARG, server->RemoveGroup(h, FALSE));
    COPCGroup* group = Impl(g.Get());
    EXPECT_TRUE(group->IsRemoved());
    EXPECT_FALSE(group->IsActive());
    DWORD revised;
    EXPECT_EQ(E_FAIL, g->SetState(nullptr, &revised, nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(E_FAIL, g->SetName(L"again"));
    ComPtr<IOPCItemMgt> mgt;
    g.As(&mgt);
    HRESULT* errors = nullptr;
    OPCHANDLE any = 1;
    EXPECT_EQ(E_FAIL, mgt->RemoveItems(1, &any, &errors));
    EXPECT_EQ(nullptr, errors);
    ComPtr<IUnknown> found;
    EXPECT_EQ(E_FAIL, server->GetGroupByName(L"gone", IID_IUnknown, found.GetAddressOf()));
}

TEST_F(GroupTest, ForcedRemovalLetsHoldersKeepAValidObject)
{
    OPCHANDLE h = 0;
    auto g = AddGroup(L"forced", TRUE, 10, 1, &h);
    AddItems(g.Get(), {L"set361.item"});
    TraceCapture trace;
    EXPECT_EQ(S_OK, server->RemoveGroup(h, TRUE));
    // Still referenced here: not destroyed yet, every call fails cleanly.
    EXPECT_FALSE(trace.contains(L"destructing"));
    DWORD revised;
    EXPECT_EQ(E_FAIL, g->SetState(nullptr, &revised, nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(0, Impl(g.Get())->PendingUses());
    g.Reset();
    EXPECT_TRUE(trace.contains(L"OPCGroup \"forced\""));
}
