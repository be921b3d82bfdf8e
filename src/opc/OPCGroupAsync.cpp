// The group's asynchronous reads, writes, refreshes and cancellation.
#include "common/ComUtil.h"
#include "core/IdMgr.h"
#include "engine/AsyncIO.h"
#include "opc/OPCGroup.h"
#include "opc/OPCItem.h"
#include "opc/OPCSrvr.h"

#include <memory>
#include <new>

namespace {
// Checks the handles into a new errors array; S_FALSE when one is unknown.
HRESULT CheckHandles(COPCGroup* group, DWORD dwCount, const OPCHANDLE* phServer, CTaskMem<HRESULT>& errors)
{
    if (!errors.Allocate(dwCount))
        return E_OUTOFMEMORY;
    HRESULT result = S_OK;
    for (DWORD i = 0; i < dwCount; ++i) {
        errors[i] = group->m_items.count(phServer[i]) ? S_OK : OPC_E_INVALIDHANDLE;
        if (errors[i] != S_OK)
            result = S_FALSE;
    }
    return result;
}

// Checks the handles, then queues the transaction made by make(id); the
// identifier and the errors array are handed out only when it is queued.
template <class Make>
HRESULT QueueItemTransaction(COPCGroup* group, CAsyncIOMgr* mgr, DWORD dwCount, const OPCHANDLE* phServer,
                             DWORD* pTransactionID, HRESULT** ppErrors, Make make)
{
    return ComBoundary([&]() -> HRESULT {
        CTaskMem<HRESULT> errors;
        HRESULT hr = CheckHandles(group, dwCount, phServer, errors);
        if (FAILED(hr))
            return hr;
        if (hr == S_FALSE) {
            *ppErrors = errors.Detach();
            return S_FALSE;
        }
        DWORD id = g_idMgr.Allocate();
        std::unique_ptr<CTransaction> t;
        hr = make(id, &t);
        if (FAILED(hr))
            return hr;
        mgr->QueueTransaction(t.release());
        *pTransactionID = id;
        *ppErrors = errors.Detach();
        return S_OK;
    });
}

bool IsDataConnection(COPCGroup* group, DWORD dwConnection)
{
    return group->m_connDataTime.HasConnection(dwConnection) || group->m_connData.HasConnection(dwConnection);
}
}  // namespace

STDMETHODIMP COPCGroup::Read(DWORD dwConnection, OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer,
                             DWORD* pTransactionID, HRESULT** ppErrors)
{
    CCsLock lock(m_cs);
    if (m_bRemoved)
        return E_FAIL;
    if (!IsWritableOut(pTransactionID) || !IsWritableOut(ppErrors))
        return E_INVALIDARG;
    *pTransactionID = 0;
    *ppErrors = nullptr;
    if (!IsDataConnection(this, dwConnection))
        return OLE_E_NOCONNECTION;
    if (dwSource != OPC_DS_CACHE && dwSource != OPC_DS_DEVICE)
        return E_INVALIDARG;
    CAsyncIOMgr* mgr = m_pServer ? m_pServer->AsyncIOMgr() : nullptr;
    if (!mgr)
        return E_FAIL;
    return QueueItemTransaction(this, mgr, dwCount, phServer, pTransactionID, ppErrors,
                                [&](DWORD id, std::unique_ptr<CTransaction>* t) {
                                    t->reset(new CReadTransaction(id, this, dwConnection, dwSource, dwCount, phServer));
                                    return S_OK;
                                });
}

STDMETHODIMP COPCGroup::Write(DWORD dwConnection, DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                              DWORD* pTransactionID, HRESULT** ppErrors)
{
    CCsLock lock(m_cs);
    if (m_bRemoved)
        return E_FAIL;
    if (!IsWritableOut(pTransactionID) || !IsWritableOut(ppErrors))
        return E_INVALIDARG;
    *pTransactionID = 0;
    *ppErrors = nullptr;
    if (!m_connWriteComplete.HasConnection(dwConnection))
        return OLE_E_NOCONNECTION;
    CAsyncIOMgr* mgr = m_pServer ? m_pServer->AsyncIOMgr() : nullptr;
    if (!mgr)
        return E_FAIL;
    return QueueItemTransaction(this, mgr, dwCount, phServer, pTransactionID, ppErrors,
                                [&](DWORD id, std::unique_ptr<CTransaction>* t) {
                                    auto* write = new CWriteTransaction(id, this, dwConnection, dwCount, phServer);
                                    t->reset(write);
                                    return write->SetValues(pItemValues);
                                });
}

STDMETHODIMP COPCGroup::Refresh(DWORD dwConnection, OPCDATASOURCE dwSource, DWORD* pTransactionID)
{
    CCsLock lock(m_cs);
    if (m_bRemoved)
        return E_FAIL;
    if (!IsWritableOut(pTransactionID))
        return E_INVALIDARG;
    *pTransactionID = 0;
    if (!IsDataConnection(this, dwConnection))
        return OLE_E_NOCONNECTION;
    if (dwSource != OPC_DS_CACHE && dwSource != OPC_DS_DEVICE)
        return E_INVALIDARG;
    if (!m_bActive || m_activeItems.empty())
        return E_FAIL;
    CAsyncIOMgr* mgr = m_pServer ? m_pServer->AsyncIOMgr() : nullptr;
    if (!mgr)
        return E_FAIL;
    return ComBoundary([&]() -> HRESULT {
        DWORD id = g_idMgr.Allocate();
        mgr->QueueTransaction(new CRefreshTransaction(id, this, dwConnection, dwSource));
        *pTransactionID = id;
        return S_OK;
    });
}

STDMETHODIMP COPCGroup::Cancel(DWORD dwTransactionID)
{
    CTransaction* t = nullptr;
    {
        CCsLock lock(m_cs);
        if (m_bRemoved)
            return E_FAIL;
        CAsyncIOMgr* mgr = m_pServer ? m_pServer->AsyncIOMgr() : nullptr;
        t = mgr ? mgr->RemoveTransaction(dwTransactionID) : nullptr;
    }
    if (!t)
        return E_FAIL;
    // Destroyed outside this group's lock: the transaction may belong to
    // another group, whose lock its destruction takes.
    HRESULT hr = t->OnCancel();
    delete t;
    return hr;
}
