#include "engine/ConnectionPoint.h"

#include "common/ComUtil.h"
#include "common/Trace.h"
#include "core/IdMgr.h"
#include "engine/SinkHandOut.h"
#include "opc/ComEnum.h"

namespace {
struct CEnumConnectionsPolicy {
    using Interface = IEnumConnections;
    using Element = CONNECTDATA;
    static const IID& Iid() { return IID_IEnumConnections; }
    static bool HandOut(Element source, Element* target)
    {
        *target = CONNECTDATA{HandOutSink(source.pUnk), source.dwCookie};
        return true;
    }
    static void Destroy(Element e) { e.pUnk->Release(); }
};

struct CEnumConnectionPointsPolicy {
    using Interface = IEnumConnectionPoints;
    using Element = IConnectionPoint*;
    static const IID& Iid() { return IID_IEnumConnectionPoints; }
    static bool HandOut(Element source, Element* target)
    {
        source->AddRef();
        *target = source;
        return true;
    }
    static void Destroy(Element e) { e->Release(); }
};

template <class Policy>
HRESULT MakeEnumerator(std::shared_ptr<typename CComEnum2<Policy>::Snapshot> snapshot,
                       typename Policy::Interface** ppEnum)
{
    auto* e = CComEnum2<Policy>::Create(std::move(snapshot));
    if (!e)
        return E_OUTOFMEMORY;
    e->AddRef();
    HRESULT hr = e->QueryInterface(Policy::Iid(), reinterpret_cast<void**>(ppEnum));
    e->Release();  // the caller's reference is the one left, if any
    return hr;
}
}  // namespace

CConnectionPoint::CConnectionPoint(IConnectionPointContainer* container, IUnknown* owner, REFIID iid,
                                   DWORD maxConnections)
    : m_pContainer(container), m_pOwner(owner), m_iid(iid), m_dwMax(maxConnections)
{
}

CConnectionPoint::~CConnectionPoint() { UnadviseAll(); }

STDMETHODIMP CConnectionPoint::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IConnectionPoint) {
        *ppv = static_cast<IConnectionPoint*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CConnectionPoint::AddRef() { return m_pOwner->AddRef(); }
STDMETHODIMP_(ULONG) CConnectionPoint::Release() { return m_pOwner->Release(); }

STDMETHODIMP CConnectionPoint::GetConnectionInterface(IID* pIID)
{
    if (!IsWritableOut(pIID, sizeof(IID)))
        return E_POINTER;
    *pIID = m_iid;
    return S_OK;
}

STDMETHODIMP CConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** ppCPC)
{
    if (!IsWritableOut(ppCPC))
        return E_POINTER;
    m_pContainer->AddRef();
    *ppCPC = m_pContainer;
    return S_OK;
}

STDMETHODIMP CConnectionPoint::Advise(IUnknown* pUnkSink, DWORD* pdwCookie)
{
    if (!IsWritableOut(pdwCookie))
        return E_POINTER;
    *pdwCookie = 0;
    if (!pUnkSink)
        return E_POINTER;
    {
        CCsLock lock(m_cs);
        if (m_dwMax && m_connections.size() >= m_dwMax)
            return CONNECT_E_ADVISELIMIT;
    }
    // The sink is asked for the callback interface outside the lock: the
    // question may go to another process.
    IUnknown* sink = nullptr;
    if (FAILED(pUnkSink->QueryInterface(m_iid, reinterpret_cast<void**>(&sink))) || !sink)
        return CONNECT_E_CANNOTCONNECT;
    HRESULT hr = ComBoundary([&]() -> HRESULT {
        CCsLock lock(m_cs);
        if (m_dwMax && m_connections.size() >= m_dwMax)
            return CONNECT_E_ADVISELIMIT;
        DWORD cookie = g_idMgr.Allocate();
        m_connections.push_back(Connection{cookie, sink});
        *pdwCookie = cookie;
        return S_OK;
    });
    if (hr != S_OK)
        sink->Release();
    return hr;
}

STDMETHODIMP CConnectionPoint::Unadvise(DWORD dwCookie)
{
    IUnknown* sink = nullptr;
    {
        CCsLock lock(m_cs);
        for (auto it = m_connections.begin(); it != m_connections.end(); ++it) {
            if (it->cookie == dwCookie) {
                sink = it->sink;
                m_connections.erase(it);
                break;
            }
        }
    }
    if (!sink)
        return CONNECT_E_NOCONNECTION;
    g_idMgr.ReleaseId(dwCookie);
    sink->Release();  // outside the lock: it may call into another process
    return S_OK;
}

STDMETHODIMP CConnectionPoint::EnumConnections(IEnumConnections** ppEnum)
{
    if (!IsWritableOut(ppEnum))
        return E_POINTER;
    *ppEnum = nullptr;
    return ComBoundary([&]() -> HRESULT {
        auto snapshot = std::make_shared<CComEnum2<CEnumConnectionsPolicy>::Snapshot>();
        {
            CCsLock lock(m_cs);
            snapshot->items.reserve(m_connections.size());
            for (const Connection& c : m_connections) {
                c.sink->AddRef();
                snapshot->items.push_back(CONNECTDATA{c.sink, c.cookie});
            }
        }
        return MakeEnumerator<CEnumConnectionsPolicy>(std::move(snapshot), ppEnum);
    });
}

std::vector<CConnectionPoint::Connection> CConnectionPoint::Sinks()
{
    CCsLock lock(m_cs);
    std::vector<Connection> out = m_connections;
    for (Connection& c : out)
        c.sink->AddRef();
    return out;
}

void CConnectionPoint::ReleaseSnapshot(std::vector<Connection>& sinks)
{
    for (Connection& c : sinks)
        c.sink->Release();
    sinks.clear();
}

bool CConnectionPoint::DropIfClientGone(DWORD dwCookie, HRESULT hr)
{
    const bool gone = hr == RPC_E_DISCONNECTED || hr == CO_E_OBJNOTCONNECTED ||
                      (FAILED(hr) && HRESULT_FACILITY(hr) == FACILITY_WIN32);
    return gone && Unadvise(dwCookie) == S_OK;
}

bool CConnectionPoint::HasConnections()
{
    CCsLock lock(m_cs);
    return !m_connections.empty();
}

void CConnectionPoint::UnadviseAll()
{
    std::vector<Connection> gone;
    {
        CCsLock lock(m_cs);
        gone.swap(m_connections);
    }
    for (Connection& c : gone) {
        g_idMgr.ReleaseId(c.cookie);
        c.sink->Release();
    }
}

HRESULT FindConnectionPointIn(CConnectionPoint* const* points, size_t count, REFIID riid, IConnectionPoint** ppCP)
{
    if (!IsWritableOut(ppCP))
        return E_POINTER;
    *ppCP = nullptr;
    for (size_t i = 0; i < count; ++i) {
        if (IsEqualIID(points[i]->Iid(), riid)) {
            points[i]->AddRef();
            *ppCP = points[i];
            return S_OK;
        }
    }
    return CONNECT_E_NOCONNECTION;
}

HRESULT EnumConnectionPointsIn(CConnectionPoint* const* points, size_t count, IEnumConnectionPoints** ppEnum)
{
    if (!IsWritableOut(ppEnum))
        return E_POINTER;
    *ppEnum = nullptr;
    return ComBoundary([&]() -> HRESULT {
        auto snapshot = std::make_shared<CComEnum2<CEnumConnectionPointsPolicy>::Snapshot>();
        for (size_t i = 0; i < count; ++i) {
            points[i]->AddRef();
            snapshot->items.push_back(points[i]);
        }
        return MakeEnumerator<CEnumConnectionPointsPolicy>(std::move(snapshot), ppEnum);
    });
}
