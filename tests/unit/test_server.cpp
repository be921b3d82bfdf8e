// The server object: groups by name and handle, enumerators, removal,
// shared components.
#include "core/AddrSpace.h"
#include "core/IdMgr.h"
#include "OpcTestUtil.h"
#include "TraceCapture.h"

using ServerTest = ServerFixture;

TEST_F(ServerTest, GeneratedNamesAndDuplicates)
{
    OPCHANDLE h1 = 0, h2 = 0;
    auto a = AddGroup(nullptr, FALSE, 1000, 1, &h1);
    auto b = AddGroup(L"", FALSE, 1000, 1, &h2);
    std::wstring na = Impl(a.Get())->GetName(), nb = Impl(b.Get())->GetName();
    EXPECT_EQ(L"$Group_", na.substr(0, 7));
    EXPECT_NE(na, nb);
    // A generated name consumes an identifier before the group's handle.
    unsigned long next = g_idMgr.Allocate();
    EXPECT_EQ(h2 + 1, next);
    ComPtr<IUnknown> found;
    EXPECT_EQ(S_OK, server->GetGroupByName(na.c_str(), IID_IUnknown, found.GetAddressOf()));
    EXPECT_EQ(S_OK, server->GetGroupByName(nb.c_str(), IID_IUnknown, found.ReleaseAndGetAddressOf()));

    auto named = AddGroup(L"Plant");
    ComPtr<IUnknown> dup;
    OPCHANDLE h = 99;
    DWORD revised = 0;
    unsigned long before = g_idMgr.Allocate();
    EXPECT_EQ(OPC_E_DUPLICATENAME, server->AddGroup(L"Plant", FALSE, 10, 1, nullptr, nullptr, 0, &h, &revised,
                                                     IID_IUnknown, dup.GetAddressOf()));
    EXPECT_EQ(before + 1, g_idMgr.Allocate());  // no identifier consumed
    EXPECT_EQ(0u, h);
    EXPECT_EQ(nullptr, dup.Get());
    EXPECT_EQ(E_FAIL, server->GetGroupByName(L"plant", IID_IUnknown, found.ReleaseAndGetAddressOf()));
    EXPECT_EQ(E_INVALIDARG, server->GetGroupByName(nullptr, IID_IUnknown, found.ReleaseAndGetAddressOf()));

    // Another server object may use the same name.
    ComPtr<IOPCServer> other;
    ASSERT_EQ(S_OK, COPCServer::CreateInstance(nullptr, IID_IOPCServer, reinterpret_cast<void**>(other.GetAddressOf())));
    ComPtr<IUnknown> g;
    EXPECT_EQ(S_OK, other->AddGroup(L"Plant", FALSE, 10, 1, nullptr, nullptr, 0, &h, &revised, IID_IUnknown,
                                    g.GetAddressOf()));
}

TEST_F(ServerTest, AddGroupUndoesAFailureCompletely)
{
    ComPtr<IUnknown> unk;
    OPCHANDLE h = 77;
    DWORD revised = 0;
    TraceCapture trace;
    EXPECT_EQ(E_NOINTERFACE, server->AddGroup(L"nope", FALSE, 0, 1, nullptr, nullptr, 0, &h, &revised,
                                              IID_IOPCServer, unk.GetAddressOf()));
    EXPECT_EQ(nullptr, unk.Get());
    EXPECT_EQ(0u, h);
    EXPECT_TRUE(trace.contains(L"OPCGroup \"nope\""));  // destroyed
    OPCSERVERSTATUS* status = nullptr;
    server->GetStatus(&status);
    EXPECT_EQ(0u, status->dwGroupCount);
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);
    auto again = AddGroup(L"nope", FALSE, 0);  // the name is free again
    EXPECT_NE(nullptr, again.Get());
    EXPECT_EQ(E_INVALIDARG, server->AddGroup(L"x", FALSE, 0, 1, nullptr, nullptr, 0, nullptr, &revised, IID_IUnknown,
                                             unk.GetAddressOf()));
}

TEST_F(ServerTest, RevisedRateIsTheRequestedOne)
{
    ComPtr<IUnknown> unk;
    OPCHANDLE h = 0;
    DWORD revised = 99;
    ASSERT_EQ(S_OK, server->AddGroup(L"zero", FALSE, 0, 1, nullptr, nullptr, 0, &h, &revised, IID_IUnknown,
                                     unk.GetAddressOf()));
    EXPECT_EQ(0u, revised);
}

TEST_F(ServerTest, RemoveGroupTwiceAndWithoutForce)
{
    OPCHANDLE h = 0;
    auto g = AddGroup(L"keep", FALSE, 1000, 1, &h);
    EXPECT_EQ(S_OK, server->RemoveGroup(h, FALSE));
    EXPECT_EQ(E_INVALIDARG, server->RemoveGroup(h, FALSE));
    ComPtr<IUnknown> found;
    EXPECT_EQ(E_FAIL, server->GetGroupByName(L"keep", IID_IUnknown, found.GetAddressOf()));
    ComPtr<IUnknown> e;
    EXPECT_EQ(S_FALSE, server->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumString, e.GetAddressOf()));
    EXPECT_EQ(nullptr, e.Get());
}

TEST_F(ServerTest, GroupEnumeratorsNextSkipResetClone)
{
    AddGroup(L"b");
    AddGroup(L"a");
    AddGroup(L"c");
    ComPtr<IUnknown> unk;
    EXPECT_EQ(S_FALSE, server->CreateGroupEnumerator(OPC_ENUM_PUBLIC, IID_IEnumString, unk.GetAddressOf()));
    EXPECT_EQ(E_NOINTERFACE, server->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IOPCServer, unk.GetAddressOf()));
    ASSERT_EQ(S_OK, server->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumString, unk.GetAddressOf()));
    ComPtr<IEnumString> names;
    unk.As(&names);
    LPOLESTR s[4] = {};
    ULONG fetched = 0;
    EXPECT_EQ(S_OK, names->Next(1, s, nullptr));  // celt 1 needs no count
    EXPECT_STREQ(L"a", s[0]);
    CoTaskMemFree(s[0]);
    EXPECT_EQ(E_POINTER, names->Next(2, s, nullptr));
    ComPtr<IEnumString> clone;
    ASSERT_EQ(S_OK, names->Clone(clone.GetAddressOf()));
    names.Reset();
    unk.Reset();  // the clone keeps the snapshot
    EXPECT_EQ(S_FALSE, clone->Next(4, s, &fetched));
    ASSERT_EQ(2u, fetched);
    EXPECT_STREQ(L"b", s[0]);
    EXPECT_STREQ(L"c", s[1]);
    CoTaskMemFree(s[0]);
    CoTaskMemFree(s[1]);
    EXPECT_EQ(S_OK, clone->Reset());
    EXPECT_EQ(S_OK, clone->Skip(3));  // exactly to the end
    EXPECT_EQ(S_FALSE, clone->Skip(1));

    ASSERT_EQ(S_OK, server->CreateGroupEnumerator(OPC_ENUM_ALL_CONNECTIONS, IID_IEnumUnknown, unk.GetAddressOf()));
    ComPtr<IEnumUnknown> groups;
    unk.As(&groups);
    IUnknown* items[3] = {};
    ASSERT_EQ(S_OK, groups->Next(3, items, &fetched));
    for (IUnknown* i : items) {
        ComPtr<IOPCGroupStateMgt> state;
        EXPECT_EQ(S_OK, i->QueryInterface(IID_IOPCGroupStateMgt, reinterpret_cast<void**>(state.GetAddressOf())));
        i->Release();
    }
}

TEST_F(ServerTest, LastServerRemovesItsGroupsAndTheSharedComponents)
{
    auto g = AddGroup(L"left", TRUE, 50);
    AddItems(g.Get(), {L"set401.item"});
    EXPECT_NE(nullptr, COPCServer::AddressSpace());
    TraceCapture trace;
    server.Reset();
    EXPECT_EQ(nullptr, COPCServer::AddressSpace());
    EXPECT_TRUE(trace.contains(L"TERMINATE event\n"));
    EXPECT_TRUE(trace.contains(L"COPCServer destructing\n"));
    // The group survives its server while referenced, refusing calls.
    DWORD revised;
    EXPECT_EQ(E_FAIL, g->SetState(nullptr, &revised, nullptr, nullptr, nullptr, nullptr, nullptr));
    g.Reset();
    EXPECT_TRUE(trace.contains(L"OPCGroup \"left\""));

    // A new first server builds a new address space and dumps it.
    TraceCapture trace2;
    ASSERT_EQ(S_OK, COPCServer::CreateInstance(nullptr, IID_IOPCServer, reinterpret_cast<void**>(server.GetAddressOf())));
    EXPECT_NE(nullptr, COPCServer::AddressSpace());
    EXPECT_TRUE(trace2.contains(L"= Server Address Space =\n"));
}

TEST_F(ServerTest, StatusCountsGroupsAndRecordsDataChanges)
{
    std::vector<OPCHANDLE> h;
    auto g = ActiveGroupWithItems(L"status", {L"set411.item"}, &h);
    OPCSERVERSTATUS* status = nullptr;
    server->GetStatus(&status);
    EXPECT_EQ(1u, status->dwGroupCount);
    EXPECT_EQ(0u, status->ftLastUpdateTime.dwHighDateTime);
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);
    AdviseSinkSpy& sink = NewSink();
    Advise(g.Get(), &sink, g_cfData);  // a refresh: not a data change
    server->GetStatus(&status);
    EXPECT_EQ(0u, status->ftLastUpdateTime.dwHighDateTime);
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);
    SetCache(Impl(g.Get()), h[0], 0.5);
    LONGLONG due;
    Impl(g.Get())->Update(&due);
    server->GetStatus(&status);
    EXPECT_NE(0u, status->ftLastUpdateTime.dwHighDateTime);
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);
}

TEST_F(ServerTest, GroupLifecyclesGiveEveryIdentifierBack)
{
    // Names, group and item handles, connections and transactions all come
    // back, so the identifier manager does not grow with churn.
    auto nodes = [] {
        CLockGuard<CIdMgr> lock(g_idMgr);
        size_t n = 0;
        for (auto* p = g_idMgr.m_setSpare.Head(); p; p = p->next)
            ++n;
        return n;
    };
    AdviseSinkSpy sink;  // outlives the groups: a read may complete after removal
    auto lifecycle = [&] {
        OPCHANDLE h = 0;
        auto g = AddGroup(nullptr, TRUE, 10, 1, &h);
        auto items = AddItems(g.Get(), {L"set1.item", L"set2.item", L"set3.fct"});
        ComPtr<IDataObject> data;
        g.As(&data);
        FORMATETC fmt = StreamFormat(g_cfDataTime);
        DWORD conn = 0;
        ASSERT_EQ(S_OK, data->DAdvise(&fmt, 0, &sink, &conn));
        ComPtr<IOPCAsyncIO> async;
        g.As(&async);
        DWORD tid = 0;
        HRESULT* errors = nullptr;
        ASSERT_EQ(S_OK, async->Read(conn, OPC_DS_CACHE, 1, items.data(), &tid, &errors));
        CoTaskMemFree(errors);
        data.Reset();
        async.Reset();
        g.Reset();
        EXPECT_EQ(S_OK, server->RemoveGroup(h, FALSE));
    };
    auto completed = [&](size_t n) {
        for (int i = 0; i < 500 && sink.count() < n; ++i)
            Sleep(10);
        return sink.count() >= n;
    };
    lifecycle();
    ASSERT_TRUE(completed(1));
    const size_t before = nodes();
    for (int i = 0; i < 50; ++i)
        lifecycle();
    ASSERT_TRUE(completed(51));
    Sleep(50);  // the last transaction is destroyed after its completion
    EXPECT_LE(nodes(), before + 1);
}
