// One connection point (IConnectionPoint) for one callback interface, and the
// container functions over a fixed set of points. Used by the server object
// (IOPCShutdown) and the group (IOPCDataCallback).
//
// A point lives inside its container and passes AddRef and Release on to the
// container's IUnknown, so a client holding the point keeps the container.
// Sinks are called outside every lock of the point: Sinks() hands out a
// snapshot with a reference on each.
#pragma once
#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

#include "core/Locks.h"

#include <vector>

class CConnectionPoint : public IConnectionPoint {
public:
    // container: the owner (not counted); iid: the callback interface;
    // maxConnections: 0 for no limit.
    CConnectionPoint(IConnectionPointContainer* container, IUnknown* owner, REFIID iid, DWORD maxConnections);
    virtual ~CConnectionPoint();
    CConnectionPoint(const CConnectionPoint&) = delete;
    CConnectionPoint& operator=(const CConnectionPoint&) = delete;

    // IUnknown: its own interface table, the owner's count.
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // IConnectionPoint
    STDMETHODIMP GetConnectionInterface(IID* pIID) override;
    STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** ppCPC) override;
    STDMETHODIMP Advise(IUnknown* pUnkSink, DWORD* pdwCookie) override;
    STDMETHODIMP Unadvise(DWORD dwCookie) override;
    STDMETHODIMP EnumConnections(IEnumConnections** ppEnum) override;

    struct Connection {
        DWORD cookie;
        IUnknown* sink;  // the sink's pointer for the point's interface, one reference
    };
    // The connections now, each with a reference of its own the caller
    // releases (ReleaseSnapshot).
    std::vector<Connection> Sinks();
    static void ReleaseSnapshot(std::vector<Connection>& sinks);
    bool HasConnections();
    const IID& Iid() const { return m_iid; }
    // After a call to the sink of dwCookie answered hr: drops the connection
    // when hr says its client is gone (its process, apartment or object), as
    // Unadvise would. Returns true when it was dropped.
    bool DropIfClientGone(DWORD dwCookie, HRESULT hr);
    // Releases every sink (the owner goes).
    void UnadviseAll();

private:
    IConnectionPointContainer* m_pContainer;
    IUnknown* m_pOwner;
    IID m_iid;
    DWORD m_dwMax;
    CCriticalSection m_cs;  // a leaf: no call out is made under it
    std::vector<Connection> m_connections;
};

// IConnectionPointContainer over the owner's points.
HRESULT FindConnectionPointIn(CConnectionPoint* const* points, size_t count, REFIID riid, IConnectionPoint** ppCP);
HRESULT EnumConnectionPointsIn(CConnectionPoint* const* points, size_t count, IEnumConnectionPoints** ppEnum);
