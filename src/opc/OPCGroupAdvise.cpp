// The group's IDataObject and the senders of stream blocks to advise sinks.
#include "common/ComUtil.h"
#include "common/OPCGlob.h"
#include "common/Trace.h"
#include "engine/Streams.h"
#include "opc/OPCGroup.h"
#include "opc/OPCSrvr.h"

STDMETHODIMP COPCGroup::GetData(FORMATETC*, STGMEDIUM*) { return E_NOTIMPL; }
STDMETHODIMP COPCGroup::GetDataHere(FORMATETC*, STGMEDIUM*) { return E_NOTIMPL; }
STDMETHODIMP COPCGroup::GetCanonicalFormatEtc(FORMATETC*, FORMATETC*) { return E_NOTIMPL; }
STDMETHODIMP COPCGroup::SetData(FORMATETC*, STGMEDIUM*, BOOL) { return E_NOTIMPL; }
STDMETHODIMP COPCGroup::EnumFormatEtc(DWORD, IEnumFORMATETC**) { return E_NOTIMPL; }
STDMETHODIMP COPCGroup::EnumDAdvise(IEnumSTATDATA**) { return E_NOTIMPL; }

STDMETHODIMP COPCGroup::QueryGetData(FORMATETC* pformatetc)
{
    if (!pformatetc)
        return DV_E_FORMATETC;
    UINT cf = pformatetc->cfFormat;
    if (cf != g_cfData && cf != g_cfDataTime && cf != g_cfWriteComplete)
        return DV_E_FORMATETC;
    if (pformatetc->dwAspect != DVASPECT_CONTENT)
        return DV_E_FORMATETC;
    if (pformatetc->ptd != nullptr)
        return DV_E_FORMATETC;
    if (pformatetc->tymed != TYMED_HGLOBAL)
        return DV_E_FORMATETC;
    return pformatetc->lindex == -1 ? S_OK : DV_E_LINDEX;
}

STDMETHODIMP COPCGroup::DAdvise(FORMATETC* pformatetc, DWORD advf, IAdviseSink* pAdvSink, DWORD* pdwConnection)
{
    CCsLock lock(m_cs);
    // A null format, sink or connection pointer adds nothing.
    if (!pformatetc || !pAdvSink || !IsWritableOut(pdwConnection))
        return E_INVALIDARG;
    CAdvisoryConnectionMgr* mgr;
    UINT cf = pformatetc->cfFormat;
    if (cf == g_cfDataTime)
        mgr = &m_connDataTime;
    else if (cf == g_cfData)
        mgr = &m_connData;
    else if (cf == g_cfWriteComplete)
        mgr = &m_connWriteComplete;
    else
        return DV_E_FORMATETC;
    HRESULT hr = mgr->AddConnection(pformatetc, advf, pAdvSink, pdwConnection);
    if (SUCCEEDED(hr) && mgr != &m_connWriteComplete)
        Refresh(*pdwConnection, static_cast<DWORD>(OPC_DS_CACHE), static_cast<DWORD>(0));
    return hr;
}

STDMETHODIMP COPCGroup::DUnadvise(DWORD dwConnection)
{
    CCsLock lock(m_cs);
    if (m_connDataTime.RemoveConnection(dwConnection) == 0 || m_connData.RemoveConnection(dwConnection) == 0 ||
        m_connWriteComplete.RemoveConnection(dwConnection) == 0)
        return S_OK;
    return E_FAIL;
}

HRESULT COPCGroup::SendBlock(CAdvisoryConnectionMgr& mgr, HGLOBAL block, DWORD dwConnection, bool toAll)
{
    CHGlobal owner(block);  // the sinks only read it; freed after the last one returned
    STGMEDIUM medium = {};
    medium.tymed = TYMED_HGLOBAL;
    medium.hGlobal = block;
    medium.pUnkForRelease = nullptr;
    return toAll ? mgr.NotifyAll(&medium) : mgr.NotifyConnection(dwConnection, &medium);
}

HRESULT COPCGroup::SendDataChange(HRESULT hrStatus, DWORD dwCount, const OPCHANDLE* phClient,
                                  const VARIANT* pValues, const WORD* pQualities, const FILETIME* pTimeStamps)
{
    CCsLock lock(m_cs);
    HRESULT hr = S_OK;
    bool sent = false;
    if (m_connDataTime.GetConnectionCount() != 0) {
        HGLOBAL block = nullptr;
        hr = WriteDataTimeStream(m_hClient, 0, hrStatus, dwCount, phClient, pValues, pQualities, pTimeStamps,
                                 &block);
        VANTREL_ASSERT(SUCCEEDED(hr));
        if (SUCCEEDED(hr)) {
            hr = SendBlock(m_connDataTime, block, 0, true);
            sent = true;
        }
    }
    if (m_connData.GetConnectionCount() != 0) {
        HGLOBAL block = nullptr;
        hr = WriteDataStream(m_hClient, 0, hrStatus, dwCount, phClient, pValues, pQualities, &block);
        VANTREL_ASSERT(SUCCEEDED(hr));
        if (SUCCEEDED(hr)) {
            hr = SendBlock(m_connData, block, 0, true);
            sent = true;
        }
    }
    if (sent && m_pServer)
        m_pServer->RecordLastUpdateTime();
    return hr;
}

HRESULT COPCGroup::SendReadComplete(DWORD dwConnection, DWORD dwTransactionID, DWORD dwCount,
                                    const OPCHANDLE* phClient, const VARIANT* pValues, const WORD* pQualities,
                                    const FILETIME* pTimeStamps)
{
    CCsLock lock(m_cs);
    HGLOBAL block = nullptr;
    HRESULT hr;
    if (m_connDataTime.HasConnection(dwConnection)) {
        hr = WriteDataTimeStream(m_hClient, dwTransactionID, S_OK, dwCount, phClient, pValues, pQualities,
                                 pTimeStamps, &block);
        return FAILED(hr) ? hr : SendBlock(m_connDataTime, block, dwConnection, false);
    }
    if (m_connData.HasConnection(dwConnection)) {
        hr = WriteDataStream(m_hClient, dwTransactionID, S_OK, dwCount, phClient, pValues, pQualities, &block);
        return FAILED(hr) ? hr : SendBlock(m_connData, block, dwConnection, false);
    }
    return OLE_E_NOCONNECTION;
}

HRESULT COPCGroup::SendWriteComplete(DWORD dwConnection, DWORD dwTransactionID, DWORD dwCount,
                                     const OPCHANDLE* phClient, const HRESULT* pErrors)
{
    CCsLock lock(m_cs);
    if (!m_connWriteComplete.HasConnection(dwConnection))
        return OLE_E_NOCONNECTION;
    HGLOBAL block = nullptr;
    HRESULT hr = WriteWriteCompleteStream(m_hClient, dwTransactionID, S_OK, dwCount, phClient, pErrors, &block);
    if (FAILED(hr))
        return hr;
    return SendBlock(m_connWriteComplete, block, dwConnection, false);
}
