// Advise connections of a group: one list per stream format.
#pragma once
#include "common/OpcDefs.h"
#include "core/Locks.h"

#include <list>

class CConnectionData {
public:
    CConnectionData(const FORMATETC* pFormatetc, DWORD advf, IAdviseSink* pAdvSink);
    virtual ~CConnectionData();
    CConnectionData(const CConnectionData&) = delete;
    CConnectionData& operator=(const CConnectionData&) = delete;
    virtual HRESULT GetSink(IAdviseSink** ppSink) = 0;
    virtual HRESULT NotifySink(STGMEDIUM* pMedium) = 0;

    FORMATETC m_formatetc;
    DWORD m_advf;
    DWORD m_dwConnection = 0;
    IAdviseSink* m_pAdvSink;  // one reference, released by the destructor
};

// The record of every connection: the sink is called directly from whichever
// server thread sends (all of them are in the multithreaded apartment).
class CMarshaledConnectionData : public CConnectionData {
public:
    using CConnectionData::CConnectionData;
    ~CMarshaledConnectionData() override;
    HRESULT GetSink(IAdviseSink** ppSink) override;
    HRESULT NotifySink(STGMEDIUM* pMedium) override;
};

using PFN_CREATE_CONNECTION_DATA = HRESULT (*)(const FORMATETC* pFormatetc, DWORD advf, IAdviseSink* pAdvSink,
                                               CConnectionData** ppData);
// Set by the process entry before any client can connect.
extern PFN_CREATE_CONNECTION_DATA pfnCreateConnectionData;
HRESULT CreateMarshaledConnectionData(const FORMATETC* pFormatetc, DWORD advf, IAdviseSink* pAdvSink,
                                      CConnectionData** ppData);

class CAdvisoryConnectionMgr : public std::list<CConnectionData*> {
public:
    CAdvisoryConnectionMgr() = default;
    virtual ~CAdvisoryConnectionMgr();
    CAdvisoryConnectionMgr(const CAdvisoryConnectionMgr&) = delete;
    CAdvisoryConnectionMgr& operator=(const CAdvisoryConnectionMgr&) = delete;

    HRESULT AddConnection(const FORMATETC* pFormatetc, DWORD advf, IAdviseSink* pAdvSink, DWORD* pdwConnection);
    // 0 when found and removed, 1 when not found.
    int RemoveConnection(DWORD dwConnection);
    void RemoveAllConnections();
    BOOL HasConnection(DWORD dwConnection);
    // The record's NotifySink result, or 1 when no record has the number.
    HRESULT NotifyConnection(DWORD dwConnection, STGMEDIUM* pMedium);
    // Every record in advise order; the last result (0 for none).
    HRESULT NotifyAll(STGMEDIUM* pMedium);
    LONG GetConnectionCount();

    LONG m_nConnections = 0;
    CCriticalSection m_cs;
};
