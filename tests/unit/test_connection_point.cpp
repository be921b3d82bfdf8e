// The connection point alone: advise rules and codes, enumeration, lifetime.
#include "common/OpcDefs.h"
#include "engine/ConnectionPoint.h"
#include "ShutdownSinkSpy.h"

#include <gtest/gtest.h>
#include <wrl/client.h>

#include <set>

using Microsoft::WRL::ComPtr;

namespace {
// A container that counts the references its point passes on.
class FakeOwner : public IConnectionPointContainer {
public:
    FakeOwner() : point(this, this, IID_IOPCShutdown, 2) {}
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (riid == IID_IUnknown || riid == IID_IConnectionPointContainer) {
            *ppv = static_cast<IConnectionPointContainer*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&refs); }
    STDMETHODIMP_(ULONG) Release() override { return InterlockedDecrement(&refs); }
    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override
    {
        CConnectionPoint* points[] = {&point};
        return EnumConnectionPointsIn(points, 1, ppEnum);
    }
    STDMETHODIMP FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override
    {
        CConnectionPoint* points[] = {&point};
        return FindConnectionPointIn(points, 1, riid, ppCP);
    }
    volatile LONG refs = 1;
    CConnectionPoint point;
};


// Answers no callback interface.
class PlainSink : public IUnknown {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        *ppv = riid == IID_IUnknown ? this : nullptr;
        return *ppv ? S_OK : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
};
}  // namespace

TEST(ConnectionPoint, AdviseUnadviseAndTheirCodes)
{
    FakeOwner owner;
    ShutdownSinkSpy a, b, c;
    PlainSink plain;
    DWORD ca = 0, cb = 0, cc = 7;
    ASSERT_EQ(S_OK, owner.point.Advise(&a, &ca));
    ASSERT_EQ(S_OK, owner.point.Advise(&b, &cb));
    EXPECT_NE(0u, ca);
    EXPECT_NE(ca, cb);
    EXPECT_EQ(2, a.refs);  // the point holds one reference
    EXPECT_EQ(CONNECT_E_ADVISELIMIT, owner.point.Advise(&c, &cc));
    EXPECT_EQ(0u, cc);
    EXPECT_EQ(1, c.refs);
    EXPECT_EQ(S_OK, owner.point.Unadvise(ca));
    EXPECT_EQ(1, a.refs);
    EXPECT_EQ(CONNECT_E_NOCONNECTION, owner.point.Unadvise(ca));  // twice
    EXPECT_EQ(CONNECT_E_NOCONNECTION, owner.point.Unadvise(0xDEAD));
    EXPECT_EQ(CONNECT_E_CANNOTCONNECT, owner.point.Advise(&plain, &cc));  // the wrong interface
    EXPECT_EQ(E_POINTER, owner.point.Advise(nullptr, &cc));
    EXPECT_EQ(E_POINTER, owner.point.Advise(&c, nullptr));
    IID iid = IID_NULL;
    EXPECT_EQ(S_OK, owner.point.GetConnectionInterface(&iid));
    EXPECT_EQ(IID_IOPCShutdown, iid);
    EXPECT_EQ(E_POINTER, owner.point.GetConnectionInterface(nullptr));
    owner.point.UnadviseAll();
    EXPECT_EQ(1, b.refs);
    EXPECT_FALSE(owner.point.HasConnections());
    EXPECT_EQ(1, owner.refs);
}

TEST(ConnectionPoint, EnumerationAndTheContainer)
{
    FakeOwner owner;
    ShutdownSinkSpy a, b;
    DWORD ca = 0, cb = 0;
    owner.point.Advise(&a, &ca);
    owner.point.Advise(&b, &cb);
    {
        ComPtr<IEnumConnections> e;
        ASSERT_EQ(S_OK, owner.point.EnumConnections(e.GetAddressOf()));
        CONNECTDATA got[3] = {};
        ULONG n = 0;
        EXPECT_EQ(S_FALSE, e->Next(3, got, &n));
        ASSERT_EQ(2u, n);
        std::set<DWORD> cookies = {got[0].dwCookie, got[1].dwCookie};
        EXPECT_EQ((std::set<DWORD>{ca, cb}), cookies);
        for (ULONG i = 0; i < n; ++i)
            got[i].pUnk->Release();
    }
    EXPECT_EQ(2, a.refs);  // the enumerator's snapshot let go
    ComPtr<IConnectionPoint> found;
    ASSERT_EQ(S_OK, owner.FindConnectionPoint(IID_IOPCShutdown, found.GetAddressOf()));
    EXPECT_EQ(static_cast<IConnectionPoint*>(&owner.point), found.Get());
    EXPECT_EQ(2, owner.refs);  // a client holding the point holds the owner
    ComPtr<IConnectionPointContainer> back;
    EXPECT_EQ(S_OK, found->GetConnectionPointContainer(back.GetAddressOf()));
    EXPECT_EQ(static_cast<IConnectionPointContainer*>(&owner), back.Get());
    back.Reset();
    found.Reset();
    EXPECT_EQ(CONNECT_E_NOCONNECTION, owner.FindConnectionPoint(IID_IOPCDataCallback, found.GetAddressOf()));
    EXPECT_EQ(nullptr, found.Get());
    EXPECT_EQ(E_POINTER, owner.FindConnectionPoint(IID_IOPCShutdown, nullptr));
    ComPtr<IEnumConnectionPoints> points;
    ASSERT_EQ(S_OK, owner.EnumConnectionPoints(points.GetAddressOf()));
    IConnectionPoint* p[2] = {};
    ULONG n = 0;
    EXPECT_EQ(S_FALSE, points->Next(2, p, &n));
    ASSERT_EQ(1u, n);
    p[0]->Release();
    points.Reset();
    std::vector<CConnectionPoint::Connection> sinks = owner.point.Sinks();
    EXPECT_EQ(2u, sinks.size());
    EXPECT_EQ(3, a.refs);
    CConnectionPoint::ReleaseSnapshot(sinks);
    EXPECT_EQ(2, a.refs);
    owner.point.UnadviseAll();
    EXPECT_EQ(1, owner.refs);
}
