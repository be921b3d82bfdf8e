// The group's IOPCDataCallback connection point and the delivery of data
// changes to it.
#include "DataCallbackSpy.h"
#include "OpcTestUtil.h"

#include <ocidl.h>
#include <algorithm>
#include <atomic>
#include <thread>
#include <olectl.h>

namespace {
class CallbackTest : public ServerFixture {
protected:
    ComPtr<IConnectionPoint> Point(IOPCGroupStateMgt* g)
    {
        ComPtr<IConnectionPointContainer> cpc;
        EXPECT_EQ(S_OK, g->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(cpc.GetAddressOf())));
        ComPtr<IConnectionPoint> cp;
        EXPECT_EQ(S_OK, cpc->FindConnectionPoint(IID_IOPCDataCallback, cp.GetAddressOf()));
        return cp;
    }
    static void Activate(IOPCGroupStateMgt* g, BOOL active)
    {
        DWORD revised;
        g->SetState(nullptr, &revised, &active, nullptr, nullptr, nullptr, nullptr);
    }
};
}  // namespace

TEST_F(CallbackTest, DataChangesReachTheCallbackAndTheStreamSinksAlike)
{
    OPCHANDLE h = 0;
    auto g = AddGroup(L"cb", FALSE, 10, 77, &h);
    auto items = AddItems(g.Get(), {L"set1.item", L"set2.item"}, TRUE, VT_I4);
    auto cp = Point(g.Get());
    DataCallbackSpy spy, second;
    AdviseSinkSpy& stream = NewSink();
    Advise(g.Get(), &stream, g_cfDataTime);
    DWORD cookie = 0, other = 5;
    AdviseSinkSpy wrong;
    EXPECT_EQ(CONNECT_E_CANNOTCONNECT, cp->Advise(&wrong, &other));  // not an IOPCDataCallback
    ASSERT_EQ(S_OK, cp->Advise(&spy, &cookie));
    EXPECT_EQ(CONNECT_E_ADVISELIMIT, cp->Advise(&second, &other));  // one connection per group
    EXPECT_EQ(0u, other);
    ComPtr<IConnectionPointContainer> cpc;
    g.As(&cpc);
    ComPtr<IConnectionPoint> none;
    EXPECT_EQ(CONNECT_E_NOCONNECTION, cpc->FindConnectionPoint(IID_IOPCShutdown, none.GetAddressOf()));

    Activate(g.Get(), TRUE);
    // The device thread does not run in-process: the test is the device.
    SetCache(Impl(g.Get()), items[0], 1.5);
    SetCache(Impl(g.Get()), items[1], 2.5);
    ASSERT_TRUE(spy.WaitFor(1));
    {
        std::lock_guard<std::mutex> lock(spy.mutex);
        const auto& c = spy.changes[0];
        EXPECT_EQ(0u, c.transid);
        EXPECT_EQ(77u, c.hGroup);  // the group's client handle
        ASSERT_EQ(2u, c.clients.size());
        std::vector<OPCHANDLE> sorted = c.clients;
        std::sort(sorted.begin(), sorted.end());
        EXPECT_EQ((std::vector<OPCHANDLE>{100, 101}), sorted);
        EXPECT_EQ(VT_I4, c.types[0]);  // the requested type
        bool allGood = true;
        for (WORD q : c.qualities)
            allGood = allGood && (q & OPC_QUALITY_MASK) == OPC_QUALITY_GOOD;
        EXPECT_EQ(allGood ? S_OK : S_FALSE, c.hrQuality);
        EXPECT_EQ(S_OK, c.hrError);
    }
    EXPECT_GE(stream.count(), 1u);  // the same change, as a stream block

    EXPECT_EQ(S_OK, cp->Unadvise(cookie));
    EXPECT_EQ(1, spy.refs);
    Activate(g.Get(), FALSE);
    cp.Reset();
    cpc.Reset();
    g.Reset();
    server->RemoveGroup(h, TRUE);
}

TEST_F(CallbackTest, ClientMayRemoveOrChangeGroupsFromInsideTheCallback)
{
    OPCHANDLE h1 = 0, h2 = 0;
    auto g1 = AddGroup(L"one", FALSE, 10, 1, &h1);
    auto g2 = AddGroup(L"two", FALSE, 10, 2, &h2);
    auto i1 = AddItems(g1.Get(), {L"set1.item"});
    auto i2 = AddItems(g2.Get(), {L"set2.item"});
    DataCallbackSpy removing, changing;
    HRESULT removed = E_PENDING, changed = E_PENDING;
    volatile LONG done = 0;
    removing.onData = [&] {
        if (removed == E_PENDING) {
            removed = server->RemoveGroup(h1, TRUE);
            InterlockedIncrement(&done);
        }
    };
    changing.onData = [&] {
        if (changed == E_PENDING) {
            DWORD rate = 20, revised = 0;
            changed = g2->SetState(&rate, &revised, nullptr, nullptr, nullptr, nullptr, nullptr);
            InterlockedIncrement(&done);
        }
    };
    DWORD c1 = 0, c2 = 0;
    ASSERT_EQ(S_OK, Point(g1.Get())->Advise(&removing, &c1));
    ASSERT_EQ(S_OK, Point(g2.Get())->Advise(&changing, &c2));
    Activate(g1.Get(), TRUE);
    Activate(g2.Get(), TRUE);
    SetCache(Impl(g1.Get()), i1[0], 1.0);
    SetCache(Impl(g2.Get()), i2[0], 2.0);
    for (int i = 0; i < 500 && done < 2; ++i)
        Sleep(10);
    EXPECT_EQ(2, done) << "a call from inside the callback did not return";
    EXPECT_EQ(S_OK, removed);
    EXPECT_EQ(S_OK, changed);
    EXPECT_EQ(E_FAIL, g1->SetName(L"gone"));  // removed
    g1.Reset();
    Activate(g2.Get(), FALSE);
    g2.Reset();
    server->RemoveGroup(h2, TRUE);
    EXPECT_TRUE(removing.WaitForRefs(1)) << removing.refs;  // the removed group let go of its callback
}

TEST_F(CallbackTest, ACallbackWhoseClientIsGoneIsDropped)
{
    OPCHANDLE h = 0;
    auto g = AddGroup(L"dead", FALSE, 10, 1, &h);
    auto items = AddItems(g.Get(), {L"set1.item"});
    DataCallbackSpy dead;
    dead.answer = HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE);
    auto cp = Point(g.Get());
    DWORD cookie = 0;
    ASSERT_EQ(S_OK, cp->Advise(&dead, &cookie));
    Activate(g.Get(), TRUE);
    SetCache(Impl(g.Get()), items[0], 3.0);
    ASSERT_TRUE(dead.WaitFor(1));
    EXPECT_TRUE(dead.WaitForRefs(1)) << dead.refs;
    EXPECT_EQ(CONNECT_E_NOCONNECTION, cp->Unadvise(cookie));
    DataCallbackSpy next;  // the place is free again
    EXPECT_EQ(S_OK, cp->Advise(&next, &cookie));
    EXPECT_EQ(S_OK, cp->Unadvise(cookie));
    Activate(g.Get(), FALSE);
    cp.Reset();
    g.Reset();
    server->RemoveGroup(h, TRUE);
}

TEST_F(CallbackTest, RemoveGroupWaitsForACallbackInProgressAndNoneStartsAfterIt)
{
    OPCHANDLE h = 0;
    auto g = AddGroup(L"slow", FALSE, 10, 1, &h);
    auto items = AddItems(g.Get(), {L"set1.item"});
    DataCallbackSpy slow;
    HANDLE inside = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    slow.onData = [&] {
        SetEvent(inside);
        WaitForSingleObject(release, 10000);
    };
    DWORD cookie = 0;
    ASSERT_EQ(S_OK, Point(g.Get())->Advise(&slow, &cookie));
    Activate(g.Get(), TRUE);
    SetCache(Impl(g.Get()), items[0], 4.0);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(inside, 5000));

    // Another thread of the client removes the group while the callback runs.
    std::atomic<bool> returned{false};
    HRESULT removed = E_PENDING;
    std::thread remover([&] {
        removed = server->RemoveGroup(h, TRUE);
        returned = true;
    });
    Sleep(300);
    EXPECT_FALSE(returned) << "RemoveGroup returned during the callback";
    const size_t seen = slow.count();
    SetEvent(release);
    remover.join();
    EXPECT_EQ(S_OK, removed);
    Sleep(100);
    EXPECT_EQ(seen, slow.count());  // nothing after the removal returned
    CloseHandle(inside);
    CloseHandle(release);
    g.Reset();
    EXPECT_EQ(1, slow.refs);
}
