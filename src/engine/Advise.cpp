#include "engine/Advise.h"

#include "core/IdMgr.h"

#include <new>

PFN_CREATE_CONNECTION_DATA pfnCreateConnectionData = nullptr;

CConnectionData::CConnectionData(const FORMATETC* pFormatetc, DWORD advf, IAdviseSink* pAdvSink)
    : m_formatetc(*pFormatetc), m_advf(advf), m_pAdvSink(pAdvSink)
{
    if (m_pAdvSink)
        m_pAdvSink->AddRef();
}

CConnectionData::~CConnectionData()
{
    if (m_pAdvSink)
        m_pAdvSink->Release();
}

CMarshaledConnectionData::~CMarshaledConnectionData() { g_idMgr.ReleaseId(m_dwConnection); }

HRESULT CMarshaledConnectionData::GetSink(IAdviseSink** ppSink)
{
    *ppSink = m_pAdvSink;
    return 0;
}

HRESULT CMarshaledConnectionData::NotifySink(STGMEDIUM* pMedium)
{
    m_pAdvSink->OnDataChange(&m_formatetc, pMedium);
    return 0;
}

HRESULT CreateMarshaledConnectionData(const FORMATETC* pFormatetc, DWORD advf, IAdviseSink* pAdvSink,
                                      CConnectionData** ppData)
{
    *ppData = nullptr;
    auto* data = new (std::nothrow) CMarshaledConnectionData(pFormatetc, advf, pAdvSink);
    if (!data)
        return E_OUTOFMEMORY;
    data->m_dwConnection = g_idMgr.Allocate();
    *ppData = data;
    return S_OK;
}

CAdvisoryConnectionMgr::~CAdvisoryConnectionMgr() { RemoveAllConnections(); }

HRESULT CAdvisoryConnectionMgr::AddConnection(const FORMATETC* pFormatetc, DWORD advf, IAdviseSink* pAdvSink,
                                              DWORD* pdwConnection)
{
    CCsLock lock(m_cs);
    CConnectionData* data = nullptr;
    PFN_CREATE_CONNECTION_DATA create = pfnCreateConnectionData ? pfnCreateConnectionData
                                                                : &CreateMarshaledConnectionData;
    HRESULT hr = create(pFormatetc, advf, pAdvSink, &data);
    if (FAILED(hr))
        return hr;
    try {
        push_back(data);
    } catch (const std::bad_alloc&) {
        delete data;
        return E_OUTOFMEMORY;
    }
    *pdwConnection = data->m_dwConnection;
    ++m_nConnections;
    return S_OK;
}

int CAdvisoryConnectionMgr::RemoveConnection(DWORD dwConnection)
{
    CConnectionData* found = nullptr;
    {
        CCsLock lock(m_cs);
        for (auto it = begin(); it != end(); ++it) {
            if ((*it)->m_dwConnection == dwConnection) {
                found = *it;
                erase(it);
                --m_nConnections;
                break;
            }
        }
    }
    if (!found)
        return 1;
    delete found;  // releases the sink outside the list lock
    return 0;
}

void CAdvisoryConnectionMgr::RemoveAllConnections()
{
    std::list<CConnectionData*> records;
    {
        CCsLock lock(m_cs);
        records.swap(*this);
        m_nConnections = 0;
    }
    for (CConnectionData* data : records)
        delete data;
}

BOOL CAdvisoryConnectionMgr::HasConnection(DWORD dwConnection)
{
    CCsLock lock(m_cs);
    for (CConnectionData* data : *this) {
        if (data->m_dwConnection == dwConnection)
            return TRUE;
    }
    return FALSE;
}

HRESULT CAdvisoryConnectionMgr::NotifyConnection(DWORD dwConnection, STGMEDIUM* pMedium)
{
    CCsLock lock(m_cs);
    for (CConnectionData* data : *this) {
        if (data->m_dwConnection == dwConnection)
            return data->NotifySink(pMedium);
    }
    return 1;
}

HRESULT CAdvisoryConnectionMgr::NotifyAll(STGMEDIUM* pMedium)
{
    CCsLock lock(m_cs);
    HRESULT hr = 0;
    for (CConnectionData* data : *this)
        hr = data->NotifySink(pMedium);
    return hr;
}

LONG CAdvisoryConnectionMgr::GetConnectionCount()
{
    CCsLock lock(m_cs);
    return m_nConnections;
}
